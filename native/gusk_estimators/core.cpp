// Construction, the parameter protocol, fitting, scoring and column index adjustment.
#include "gusk_estimators/gusk.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace gusk {
namespace core {
namespace {

using pyclass::Args;

py::object list_of_step_objects(py::handle steps) {
    py::list objects;
    for (py::handle step : steps) objects.append(pyclass::item(step, 1));
    return objects;
}

py::object all_but_last(py::handle sequence) {
    return pyclass::slice(sequence, py::none(), py::int_(-1));
}

// ---------------------------------------------------------------------------------------------
// Parameters that change nothing: warned about, with the valid names closest to them

py::object constructor_parameter_names(py::handle self) {
    py::list names = py::module_::import("builtins").attr("list")(self.attr("_get_param_names")());
    if (!truthy(names.attr("__contains__")("estimator"))) names.append("estimator");
    return names;
}

std::string quoted_names(py::handle names) {
    std::string text;
    for (py::handle name : names) text += (text.empty() ? "" : ", ") + py::repr(name).cast<std::string>();
    return text;
}

// "'ridge_alpha' (did you mean 'ridge__alpha'?)" for each unknown name.
std::string names_with_suggestions(py::handle unknown, py::handle candidates) {
    py::object close_matches = py::module_::import("difflib").attr("get_close_matches");
    std::string text;
    for (py::handle name : unknown) {
        text += (text.empty() ? "" : ", ") + py::repr(name).cast<std::string>();
        py::object close = close_matches(py::str(name), candidates, py::arg("n") = 3);
        if (pyclass::length(close) > 0) text += " (did you mean " + quoted_names(close) + "?)";
    }
    return text;
}

void warn_unused(const std::string& message) {
    py::object category =
        pyclass::import_from("orvane.utils.parameter_warnings", "UnusedParameterWarning");
    if (PyErr_WarnEx(category.ptr(), message.c_str(), 1) < 0) throw py::error_already_set();
}

std::string class_name_of(py::handle self) {
    return py::str(self.attr("__class__").attr("__name__")).cast<std::string>();
}

void warn_ignored_keywords(py::handle self, const py::dict& kwarg) {
    py::list ignored;
    for (auto entry : kwarg) {
        if (!pyclass::py_eq(entry.first, py::str("estimator"))) ignored.append(entry.first);
    }
    if (ignored.empty()) return;
    warn_unused(class_name_of(self) + " ignores the keyword argument(s) " +
                names_with_suggestions(ignored, constructor_parameter_names(self)) + ".");
}

// ---------------------------------------------------------------------------------------------
// Construction and parameters

GUSK_METHOD(init, "__init__",
"Store the pipeline steps and the column layout; nothing is checked here.",
{"self"}, {"steps"}, {"feature_columns"}, {"target_columns"}, {"look_ahead_fcolumns", "None"}, {"lookback_win", "5"}, {"pred_win", "1"}, {"time_column", "-1"}, {"init_time_optimization", "False"}, {"data_transformation_scheme", "None"}, {"multistep_prediction_strategy", "None"}, {"multistep_prediction_win", "1"}, {"multivariate_column_encoding", "False"}, {"store_lookback_history", "False"}, pyclass::var_keyword("kwarg")) {
    py::object self = a["self"];
    super_of(classes().estimator, self).attr("__init__")();

    py::object look_ahead_fcolumns = a["look_ahead_fcolumns"];
    if (is_none(look_ahead_fcolumns)) look_ahead_fcolumns = py::list();

    py::object scheme = a["data_transformation_scheme"];
    self.attr("steps") = a["steps"];
    self.attr("scoring") = global("SCORERS")["neg_mean_absolute_error"];
    self.attr("cv") = py::none();
    self.attr("feature_columns") = a["feature_columns"];
    self.attr("target_columns") = a["target_columns"];
    self.attr("time_column") = a["time_column"];
    self.attr("lookback_win") = a["lookback_win"];
    self.attr("pred_win") = a["pred_win"];
    self.attr("init_time_optimization") = a["init_time_optimization"];
    self.attr("data_transformation_scheme") = scheme;
    self.attr("algorithm") = py::str("_") + py::str(scheme);
    self.attr("multistep_prediction_strategy") = a["multistep_prediction_strategy"];
    self.attr("multistep_prediction_win") = a["multistep_prediction_win"];
    self.attr("multivariate_column_encoding") = a["multivariate_column_encoding"];
    self.attr("store_lookback_history") = a["store_lookback_history"];
    self.attr("named_steps") = self.attr("_get_named_steps")(self.attr("steps"));
    self.attr("transformer_steps") = py::none();
    self.attr("is_automate_run") = py::bool_(true);
    self.attr("look_ahead_fcolumns") = look_ahead_fcolumns;

    const py::dict& kwarg = a.kwargs();
    if (!kwarg.empty() && kwarg.contains("estimator")) self.attr("estimator") = kwarg["estimator"];
    warn_ignored_keywords(self, kwarg);
    return py::none();
}

GUSK_METHOD(get_named_steps, "_get_named_steps",
"Return a new dict mapping each step's name to its object.",
{"self"}, {"steps"}) {
    py::dict named;
    for (py::handle step : a["steps"]) named[pyclass::item(step, 0)] = pyclass::item(step, 1);
    return named;
}

GUSK_METHOD(validate_steps, "_validate_steps",
"Check that the steps hold at least one transformer and end with an estimator.",
{"self"}, {"steps"}) {
    py::object steps = a["steps"];
    py::object transformers = list_of_step_objects(all_but_last(steps));
    py::object estimator = pyclass::item(pyclass::item(steps, -1), 1);
    if (pyclass::length(transformers) == 0) raise_catalogue("ORVANE0043E");
    if (truthy(global("check_object_is_estimator")(estimator))) return py::none();
    raise_catalogue("ORVANE0044E");
}

// The final estimator reported by get_params before `fit` has set one: the last step's object,
// or None when the steps are empty or malformed. Cloning an unfitted estimator must work.
py::object estimator_for_params(py::handle self) {
    if (pyclass::has_attr(self, "estimator")) return self.attr("estimator");
    try {
        return pyclass::item(pyclass::item(self.attr("steps"), -1), 1);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_IndexError) || e.matches(PyExc_TypeError) ||
            e.matches(PyExc_KeyError) || e.matches(PyExc_AttributeError)) {
            return py::none();
        }
        throw;
    }
}

GUSK_METHOD(get_params, "get_params",
"The constructor parameters plus the final ``estimator``.",
{"self"}, {"deep", "True"}) {
    py::object self = a["self"];
    py::object params =
        super_of(classes().estimator, self).attr("get_params")(py::arg("deep") = a["deep"]);
    params["estimator"] = estimator_for_params(self);
    return params;
}

bool starts_with(py::handle text, py::handle prefix) {
    return truthy(text.attr("startswith")(prefix));
}

// The layout settings held both by the estimator and by its windowing step, by their names on
// each. They must agree, or the windows are cut for one layout and read back for another.
struct SharedSetting {
    const char* estimator_name;
    const char* step_name;
};
constexpr SharedSetting kSharedSettings[] = {{"feature_columns", "feature_col_index"},
                                             {"target_columns", "target_col_index"},
                                             {"lookback_win", "lookback_win"},
                                             {"pred_win", "pred_win"},
                                             {"look_ahead_fcolumns", "look_ahead_fcol_index"}};

// The step's own constructor parameters, or None for a step without `get_params`.
py::object step_parameters(py::handle step) {
    if (!pyclass::has_attr(step, "get_params")) return py::none();
    return step.attr("get_params")(py::arg("deep") = false);
}

bool step_takes(py::handle parameters, const char* name) {
    if (is_none(parameters)) return false;
    const int found = PySequence_Contains(parameters.ptr(), py::str(name).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// `set_params(pred_win=7)` and the like change the windowing step too, as `lookback_win`
// always has (that one is routed by the loop of set_params itself).
void route_shared_settings(py::handle self, const py::dict& params) {
    py::object window;
    py::object parameters;
    for (const SharedSetting& setting : kSharedSettings) {
        if (std::string(setting.estimator_name) == "lookback_win" || !params.contains(setting.estimator_name)) continue;
        if (!window) {
            window = pyclass::item(pyclass::item(self.attr("steps"), 0), 1);
            parameters = step_parameters(window);
        }
        if (!step_takes(parameters, setting.step_name)) continue;
        py::dict routed;
        routed[setting.step_name] = params[setting.estimator_name];
        window.attr("set_params")(**routed);
    }
}

// `set_params(ridge=obj)` puts obj in place of the step named "ridge", as scikit-learn's
// Pipeline does; such keys are then done with.
void replace_named_steps(py::handle self, const py::dict& params, py::handle temp_params) {
    py::list steps;
    bool replaced = false;
    bool last_replaced = false;
    for (py::handle step : self.attr("steps")) {
        py::object name = pyclass::item(step, 0);
        last_replaced = params.contains(name);
        if (!last_replaced) {
            steps.append(step);
            continue;
        }
        steps.append(py::make_tuple(name, params[name]));
        temp_params.attr("pop")(name);
        replaced = true;
    }
    if (!replaced) return;
    self.attr("steps") = steps;
    self.attr("named_steps") = self.attr("_get_named_steps")(steps);
    if (last_replaced && pyclass::has_attr(self, "estimator")) {
        self.attr("estimator") = pyclass::item(pyclass::item(steps, -1), 1);
    }
}

// Every name set_params could mean: the constructor parameters, the steps, and the
// parameters of each step as "step__parameter".
py::list valid_parameter_names(py::handle self) {
    py::list names = constructor_parameter_names(self);
    for (py::handle step : self.attr("steps")) {
        py::object name = pyclass::item(step, 0);
        names.append(name);
        py::object parameters = step_parameters(pyclass::item(step, 1));
        if (is_none(parameters)) continue;
        for (py::handle key : parameters) names.append(py::str(name) + py::str("__") + py::str(key));
    }
    return names;
}

// Keys left to become attributes that are neither constructor parameters nor attributes the
// estimator already has: set, as always, but they change nothing.
py::list unknown_parameter_keys(py::handle self, py::handle temp_params) {
    py::object known = constructor_parameter_names(self);
    py::list unknown;
    for (py::handle key : temp_params.attr("keys")()) {
        if (truthy(known.attr("__contains__")(key)) || PyObject_HasAttr(self.ptr(), key.ptr()) ||
            starts_with(key, py::str("lookback_win"))) {
            continue;
        }
        unknown.append(key);
    }
    return unknown;
}

GUSK_METHOD(set_params, "set_params",
"Route ``name__param`` keywords to the named steps, ``lookback_win`` to the first step, and\n"
    "set every other keyword as an attribute; return self.",
{"self"}, {"attr", "'steps'"}, pyclass::var_keyword("params")) {
    py::object self = a["self"];
    const py::dict& params = a.kwargs();
    py::object temp_params = global("copy").attr("deepcopy")(params);
    const py::str separator("__");
    replace_named_steps(self, params, temp_params);

    for (py::handle step : self.attr("steps")) {
        py::dict est_params;
        py::object prefix = pyclass::item(step, 0) + separator;
        for (auto entry : params) {
            py::handle param = entry.first;
            if (!starts_with(param, prefix)) continue;
            py::object key = pyclass::item(param.attr("split")(separator), 1);
            est_params[key] = temp_params.attr("pop")(param);
        }
        pyclass::item(step, 1).attr("set_params")(**est_params);
    }
    for (auto entry : params) {
        if (starts_with(entry.first, py::str("lookback_win"))) {
            pyclass::item(pyclass::item(self.attr("steps"), 0), 1)
                .attr("set_params")(py::arg("lookback_win") = entry.second);
        }
    }
    route_shared_settings(self, params);
    py::list unknown = unknown_parameter_keys(self, temp_params);
    for (py::handle attr : temp_params.attr("keys")()) {
        py::setattr(self, attr, temp_params[attr]);
    }
    if (!unknown.empty()) {
        warn_unused("set_params: no setting of " + class_name_of(self) + " and no step takes " +
                    names_with_suggestions(unknown, valid_parameter_names(self)) +
                    "; kept as attributes, which change nothing.");
    }
    return self;
}

GUSK_METHOD(set_forecast_output, "set_forecast_output",
"Choose what predict and predict_proba return when X is a pandas object: 'pandas' (the\n"
    "default) gives a DataFrame indexed by the forecast's time stamps when X has a regular time\n"
    "index, 'numpy' always gives arrays; return self.",
{"self"}, {"output", "'pandas'"}) {
    return frames("set_forecast_output")(a["self"], a["output"]);
}

GUSK_METHOD(str, "__str__",
"The class name and the sorted parameters, one per line.",
{"self"}) {
    py::object self = a["self"];
    const char* const separator = ",\n\t\t\t\t";
    py::object builtins = py::module_::import("builtins");
    py::str text = py::str(self.attr("__class__").attr("__name__")) + py::str("(");
    py::object items = builtins.attr("sorted")(builtins.attr("list")(self.attr("get_params")().attr("items")()));
    for (py::handle pair : items) {
        py::object key = pyclass::item(pair, 0);
        if (pyclass::py_eq(key, py::str("estimator"))) continue;
        text = text + py::str(key) + py::str("=") + py::str(pyclass::item(pair, 1)) + py::str(separator);
    }
    return text.attr("rstrip")(separator) + py::str(")");
}

GUSK_METHOD(setstate, "__setstate__",
"Restore a pickled estimator (older pickles lack look_ahead_fcolumns).",
{"self"}, {"state"}) {
    py::object self = a["self"];
    super_of(classes().estimator, self).attr("__setstate__")(a["state"]);
    if (!pyclass::has_attr(self, "look_ahead_fcolumns")) self.attr("look_ahead_fcolumns") = py::none();
    return py::none();
}

// A clone has the same parameters and is unfitted; like scikit-learn's own output settings,
// the scorer chosen with set_scoring is carried over, so that cross-validation and grid
// searches score with it.
GUSK_METHOD(sklearn_clone, "__sklearn_clone__",
"An unfitted copy with the same parameters and scorer.",
{"self"}) {
    py::object self = a["self"];
    py::object base = super_of(classes().estimator, self);
    py::object clone = pyclass::has_attr(base, "__sklearn_clone__")
                           ? base.attr("__sklearn_clone__")()
                           : pyclass::import_from("sklearn.base", "clone")(self, py::arg("safe") = false);
    if (pyclass::has_attr(self, "scoring")) clone.attr("scoring") = self.attr("scoring");
    return clone;
}

bool is_exogenous(py::handle self) {
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    if (is_none(look_ahead)) return false;
    if (pyclass::length(look_ahead) > 0) return true;
    py::object builtins = py::module_::import("builtins");
    py::object features = self.attr("feature_columns");
    py::object targets = self.attr("target_columns");
    if (pyclass::py_ne(builtins.attr("set")(features), builtins.attr("set")(targets))) return true;
    return pyclass::length(features) == 0;
}

GUSK_PROPERTY(is_exogenous_pipeline, "is_exogenous_pipeline_",
"Whether the pipeline takes look-ahead columns or features other than its targets.",
{"self"}) { return py::bool_(is_exogenous(a["self"])); }

GUSK_PROPERTY(is_future_exogenous_pipeline, "is_future_exogenous_pipeline_",
"Whether the pipeline is exogenous with at least one look-ahead column.",
{"self"}) {
    py::object self = a["self"];
    if (!truthy(self.attr("is_exogenous_pipeline_"))) return py::bool_(false);
    return py::bool_(pyclass::length(self.attr("look_ahead_fcolumns")) >= 1);
}

GUSK_METHOD(set_scoring, "set_scoring",
"Use ``scoring(estimator, X, y)``, or the scikit-learn scorer of that name, in ``score``;\n"
                              "return self. Clones keep it.",
{"self"}, {"scoring"}) {
    py::object self = a["self"];
    self.attr("scoring") = a["scoring"];
    return self;
}

GUSK_METHOD(set_cross_validation, "set_cross_validation",
"Use ``cv`` as the split setting; return self.",
{"self"}, {"cv"}) {
    py::object self = a["self"];
    self.attr("cv") = a["cv"];
    return self;
}

// ---------------------------------------------------------------------------------------------
// Fitting and scoring

GUSK_METHOD(init_transformer_and_estimator, "_init_transformer_and_estimator",
"Validate the steps and pick the transformers and the final estimator.",
{"self"}) {
    py::object self = a["self"];
    self.attr("_validate_steps")(self.attr("steps"));
    self.attr("transformer_steps") = list_of_step_objects(all_but_last(self.attr("steps")));
    const bool keep_estimator =
        truthy(self.attr("init_time_optimization")) && truthy(self.attr("is_automate_run"));
    if (!keep_estimator) self.attr("estimator") = pyclass::item(pyclass::item(self.attr("steps"), -1), 1);
    return py::none();
}

GUSK_METHOD(data_fit_transform, "_data_fit_transform",
"Fit every transformer in turn; return the windowed (X, y).",
{"self"}, {"X"}, {"y", "None"}) {
    py::object X = a["X"];
    py::object y = a["y"];
    for (py::handle transformer : a["self"].attr("transformer_steps")) {
        py::object result = pyclass::has_attr(transformer, "fit_transform")
                                ? transformer.attr("fit_transform")(X, y)
                                : transformer.attr("fit")(X, y).attr("transform")(X);
        X = pyclass::item(result, 0);
        y = pyclass::item(result, 1);
    }
    return py::make_tuple(X, y);
}

GUSK_METHOD(data_transform, "_data_transform",
"Run every fitted transformer's ``transform``; return the windowed (X, y).",
{"self"}, {"X"}, {"y", "None"}) {
    py::object X = a["X"];
    py::object y = a["y"];
    for (py::handle transformer : a["self"].attr("transformer_steps")) {
        py::object result = transformer.attr("transform")(X);
        X = pyclass::item(result, 0);
        y = pyclass::item(result, 1);
    }
    return py::make_tuple(X, y);
}

GUSK_METHOD(display_transformations, "_display_transformations",
"Return the (Xt, yt) that fitting would train on (refits the transformers).",
{"self"}, {"X"}, {"y", "None"}) {
    py::object self = a["self"];
    py::object X = self.attr("_input_data_transformation")(a["X"]);
    auto [Xt, yt] = pyclass::unpack_pair(self.attr("_data_fit_transform")(X, a["y"]));
    return py::make_tuple(Xt, yt);
}

py::object default_split(py::handle Xt) {
    py::object split_class =
        pyclass::import_from("orvane.gusk.joint_optimizers.cv.tembrel_splits", "TimeSeriesTrainTestSplit");
    const double test_rows = static_cast<double>(pyclass::length(Xt)) * 0.3;
    return split_class(py::arg("n_test_size") = py::int_(static_cast<long long>(test_rows)));
}

// What scikit-learn's protocol and scoring need of the data `fit` saw: its column count, and
// its last look-back rows (a copy), from which the rows that follow it take their look-back.
void remember_fitted_data(py::handle self, py::handle X) {
    py::object numpy = global("np");
    py::object shape = numpy.attr("shape")(X);
    if (pyclass::length(shape) != 2) return;
    self.attr("n_features_in_") = pyclass::item(shape, 1);
    py::object lookback = global("get_max_lookback")(self.attr("lookback_win"));
    if (!PyIndex_Check(lookback.ptr()) || !pyclass::py_gt(lookback, py::int_(0))) return;
    py::object rows = numpy.attr("asarray")(X);
    self.attr("last_fit_rows_") = pyclass::slice(rows, -lookback, py::none()).attr("copy")();
}

// Lists, tuples and arrays compare by their items; a missing look-ahead list is an empty one.
py::object comparable_setting(py::handle value) {
    if (is_none(value)) return py::list();
    if (pyclass::has_attr(value, "tolist")) return value.attr("tolist")();
    if (PyTuple_Check(value.ptr())) return py::module_::import("builtins").attr("list")(value);
    return py::reinterpret_borrow<py::object>(value);
}

std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

// The windowing step must cut the windows the estimator reads back: same columns, look-back,
// steps ahead and look-ahead columns.
void check_shared_settings(py::handle self) {
    py::object step = pyclass::item(self.attr("steps"), 0);
    const std::string step_name = py::str(pyclass::item(step, 0)).cast<std::string>();
    py::object window = pyclass::item(step, 1);
    py::object parameters = step_parameters(window);
    if (is_none(parameters)) return;
    for (const SharedSetting& setting : kSharedSettings) {
        py::object own = self.attr(setting.estimator_name);
        if (!step_takes(parameters, setting.step_name)) {
            const bool lost_look_ahead = std::string(setting.estimator_name) == "look_ahead_fcolumns" &&
                                         pyclass::length(comparable_setting(own)) > 0;
            if (!lost_look_ahead) continue;
            raise_value_error("look_ahead_fcolumns=" + repr_of(own) + ", but the windowing step '" + step_name +
                              "' (" + py::str(py::type::of(window).attr("__name__")).cast<std::string>() +
                              ") takes no look-ahead columns; use a windowing step with "
                              "look_ahead_fcol_index=" + repr_of(own) + " or drop look_ahead_fcolumns.");
        }
        py::object theirs = parameters[setting.step_name];
        if (pyclass::py_eq(comparable_setting(own), comparable_setting(theirs))) continue;
        raise_value_error(std::string("The estimator has ") + setting.estimator_name + "=" + repr_of(own) +
                          " but its windowing step '" + step_name + "' has " + setting.step_name + "=" +
                          repr_of(theirs) + "; they must agree. set_params(" + setting.estimator_name +
                          "=...) sets both.");
    }
}

bool is_windowing_step(py::handle step) {
    return is_instance_of_globals(step, {"Flatten", "DifferenceFlatten", "LocalizedFlatten",
                                         "DifferenceFlattenX", "LocalizedFlattenX", "NormalizedFlatten",
                                         "DifferenceNormalizedFlatten"});
}

// A y that merely repeats the target columns of X (as scikit-learn tools pass it) is harmless.
bool y_repeats_target_columns(py::handle self, py::handle X, py::handle y) {
    py::object numpy = global("np");
    try {
        py::object series = numpy.attr("asarray")(X);
        py::object targets = numpy.attr("asarray")(y);
        py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
        py::object expected = series[py::make_tuple(all_rows, self.attr("target_columns"))];
        if (!pyclass::py_eq(targets.attr("size"), expected.attr("size")) ||
            pyclass::length(targets) != pyclass::length(series)) {
            return false;
        }
        return truthy(numpy.attr("array_equal")(targets.attr("reshape")(expected.attr("shape")), expected,
                                                py::arg("equal_nan") = true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The windowing transformers build the targets from the target columns of X; a y given beside
// them would be dropped without a word, and the model would forecast other columns.
void refuse_unused_y(py::handle self, py::handle X, py::handle y) {
    if (is_none(y) || !is_windowing_step(pyclass::item(self.attr("transformer_steps"), 0))) return;
    if (y_repeats_target_columns(self, X, y)) return;
    raise_value_error("fit(X, y) got a y that the windowing step does not use: the targets are the columns "
                      "of X named by target_columns=" + repr_of(self.attr("target_columns")) +
                      ". Put the series to forecast among the columns of X, list them in target_columns, "
                      "and call fit(X).");
}

// What our own regressors need to judge candidates on the forecasts the user will ask for:
// how the rows were cut (the windowing step, when there is exactly one) and what prediction
// will do with them.
py::dict forecast_task_of(py::handle self) {
    py::object transformers = self.attr("transformer_steps");
    py::dict task;
    task["window"] = pyclass::length(transformers) == 1 ? pyclass::item(transformers, 0) : py::none();
    task["strategy"] = self.attr("multistep_prediction_strategy");
    task["pred_win"] = self.attr("pred_win");
    task["horizon"] = self.attr("multistep_prediction_win");
    return task;
}

void fit_final_estimator(py::handle self, py::handle Xt, py::handle yt) {
    py::object estimator = self.attr("estimator");
    if (accepts_forecast_task(estimator, "fit", "forecast_task")) {
        estimator.attr("fit")(Xt, yt, py::arg("forecast_task") = forecast_task_of(self));
    } else {
        recursive_loop::fit_estimator(self, Xt, yt);
    }
}

GUSK_METHOD(fit, "fit",
"Fit the transformers and the final estimator on the series X.\n\n"
    "Parameters\n----------\nX : ndarray of shape (n_rows, n_columns)\n"
    "    One row per time step; columns addressed by index.\ny : None\n"
    "    The windowing transformers take the targets from the target_columns of X; a y that\n"
    "    differs from those columns is refused.\n\nReturns\n-------\nself : object",
{"self"}, {"X"}, {"y", "None"}) {
    py::object self = a["self"];
    py::object X = frames("fit_input")(self, a["X"]);
    if (truthy(self.attr("store_lookback_history"))) self.attr("_store_lookback_history_X")(X);
    refuse_data_outside_scheme(self, X);
    X = self.attr("_input_data_transformation")(X);
    self.attr("_init_transformer_and_estimator")();
    check_shared_settings(self);
    refuse_unused_y(self, a["X"], a["y"]);
    auto [Xt, yt] = pyclass::unpack_pair(self.attr("_data_fit_transform")(X, a["y"]));
    if (truthy(self.attr("multivariate_column_encoding"))) {
        Xt = self.attr("_multi_variate_col_encoder")(Xt);
    }
    if (is_none(self.attr("cv"))) self.attr("cv") = default_split(Xt);
    fit_final_estimator(self, Xt, yt);
    self.attr("is_automate_run") = py::bool_(true);
    remember_fitted_data(self, a["X"]);
    return self;
}

// The first transformer step, or None when there is none.
py::object first_transformer(py::handle self) {
    py::object transformers = self.attr("transformer_steps");
    return pyclass::length(transformers) > 0 ? pyclass::item(transformers, 0) : py::object(py::none());
}

// Whether X holds the last rows of the fitted data (X is, or overlaps, that data) or, when X
// is shorter than they are, is their end.
bool overlaps_fitted_end(py::handle rows, py::handle before) {
    py::object numpy = global("np");
    const Py_ssize_t n_rows = pyclass::length(rows);
    const Py_ssize_t n_before = pyclass::length(before);
    if (n_rows < n_before) {
        py::object end = pyclass::slice(before, py::int_(n_before - n_rows), py::none());
        return truthy(numpy.attr("array_equal")(rows, end));
    }
    if (pyclass::py_ne(pyclass::item(rows.attr("shape"), 1), pyclass::item(before.attr("shape"), 1))) return false;
    py::object windows = numpy.attr("lib").attr("stride_tricks").attr("sliding_window_view")(
        rows, before.attr("shape"));
    py::object equal = (windows.attr("__eq__")(before)).attr("all")(py::make_tuple(-2, -1));
    return truthy(equal.attr("any")());
}

// Rows that continue the fitted data take their look-back from its last rows, so that every
// row is scored (the test folds of a time-series split are such rows). Rows that hold the end
// of the fitted data carry their own look-back. Only the windowing transformers need rows
// before the first target.
py::object with_rows_before(py::handle self, py::handle X) {
    py::object X_ = py::reinterpret_borrow<py::object>(X);
    if (!pyclass::has_attr(self, "last_fit_rows_")) return X_;
    py::object first = first_transformer(self);
    std::vector<const char*> windowing = flatten_family();
    for (const char* name : {"Flatten", "DifferenceFlattenX", "LocalizedFlattenX"}) windowing.push_back(name);
    if (!is_instance_of_globals(first, windowing)) return X_;
    py::object before = self.attr("last_fit_rows_");
    py::object rows = global("np").attr("asarray")(X);
    if (pyclass::length(rows) == 0 || overlaps_fitted_end(rows, before)) return X_;
    return global("np").attr("concatenate")(py::make_tuple(before, rows));
}

// Undoes the target transformer and the data transformation scheme, as a forecast does.
py::object in_data_units(py::handle self, py::object y) {
    py::object first = first_transformer(self);
    if (pyclass::is_instance(first, global("TargetTransformer"))) y = first.attr("inverse_transform")(y);
    return self.attr("_output_data_transformation")(y);
}

bool changes_target_units(py::handle self) {
    if (!is_none(self.attr("data_transformation_scheme"))) return true;
    return pyclass::is_instance(first_transformer(self), global("TargetTransformer"));
}

// The final estimator as the scorer should see it: answering in the units of the data.
py::object model_in_data_units(py::handle self) {
    if (!changes_target_units(self)) return self.attr("estimator");
    py::object owner = py::reinterpret_borrow<py::object>(self);
    py::cpp_function to_data_units([owner](py::object y) { return in_data_units(owner, std::move(y)); });
    return pyclass::import_from("orvane.utils.score", "InDataUnits")(self.attr("estimator"), to_data_units);
}

// A scorer object, or the name of one of scikit-learn's scorers.
py::object scorer_of(py::handle self) {
    py::object scoring = self.attr("scoring");
    if (!py::isinstance<py::str>(scoring)) return scoring;
    return pyclass::import_from("sklearn.metrics", "get_scorer")(scoring);
}

GUSK_METHOD(score, "score",
"Score the fitted pipeline on X with ``self.scoring`` (negated mean absolute error by\n"
    "default, or the name of a scikit-learn scorer); the transformers are not refitted.\n\n"
    "Predictions and targets are compared in the units of the data. Rows that continue the\n"
    "fitted data (the test fold of a time-series split) take their look-back from the last\n"
    "rows seen by ``fit``, so every row of X is scored; data that holds the end of the fitted\n"
    "rows is scored on its own windows.",
{"self"}, {"X"}, {"y", "None"}, {"sample_weight", "None"}) {
    py::object self = a["self"];
    require_fitted(self, "score");
    py::object X_in = frames("to_array")(self, a["X"]);
    require_fitted_columns(self, X_in);
    py::object X = self.attr("_input_data_transformation")(with_rows_before(self, X_in));
    auto [Xt, yt] = pyclass::unpack_pair(self.attr("_data_transform")(X, py::arg("y") = a["y"]));
    yt = changes_target_units(self) ? in_data_units(self, yt) : self.attr("_output_data_transformation")(yt);
    py::dict keywords;
    py::object sample_weight = a["sample_weight"];
    if (!is_none(sample_weight)) keywords["sample_weight"] = sample_weight;
    return scorer_of(self)(model_in_data_units(self), Xt, yt, **keywords);
}

// ---------------------------------------------------------------------------------------------
// Column indices

GUSK_METHOD(adjust_indices, "_adjust_indices",
"Re-target the column lists of a non-exogenous pipeline and pass them to the transformers.",
{"self"}, {"target_columns", "None"}, {"feature_columns", "None"}) {
    py::object self = a["self"];
    if (truthy(self.attr("is_exogenous_pipeline_"))) {
        pyclass::raise(PyExc_RuntimeError, "Should not call adjust_indices on an exogenous pipeline");
    }
    py::object target_columns = a["target_columns"];
    py::object feature_columns = a["feature_columns"];
    if (is_none(target_columns)) target_columns = py::list();
    if (is_none(feature_columns)) feature_columns = py::list();
    self.attr("target_columns") = target_columns;
    self.attr("feature_columns") = feature_columns;
    for (py::handle step : self.attr("transformer_steps")) {
        if (!pyclass::has_attr(step, "_adjust_indices")) continue;
        const bool targets_only = is_instance_of_globals(
            step, {"DifferenceFlattenAutoEnsembler", "LocalizedFlattenAutoEnsembler"});
        step.attr("_adjust_indices")(py::arg("target_columns") = target_columns,
                                     py::arg("feature_columns") = targets_only ? target_columns
                                                                               : feature_columns);
    }
    return py::none();
}

GUSK_METHOD(reset_fc_cols_and_lookback, "_reset_fc_cols_and_lookback",
"Split feature columns with a negative look-back into look-ahead columns.\n\n"
    "Returns (fc_cols, new_lookback_win, look_ahead_fc_cols).",
{"self"}, {"feature_columns"}, {"target_columns"}, {"lookback_win"}, {"pred_win"}) {
    py::object feature_columns = a["feature_columns"];
    py::object target_columns = a["target_columns"];
    py::list look_ahead_fc_cols;
    py::list fc_cols;
    py::list new_lookback_win;
    const py::int_ zero(0);
    Py_ssize_t idx = 0;
    for (py::handle entry : a["lookback_win"]) {
        py::object column = pyclass::item(feature_columns, idx);
        if (pyclass::py_lt(entry, zero)) {
            if (pyclass::assertions_enabled() && PySequence_Contains(target_columns.ptr(), column.ptr()) != 0) {
                if (PyErr_Occurred()) throw py::error_already_set();
                pyclass::raise(PyExc_AssertionError, "feature col should not be part of target col.");
            }
            look_ahead_fc_cols.append(column);
        } else {
            fc_cols.append(column);
            new_lookback_win.append(entry);
        }
        ++idx;
    }
    return py::make_tuple(fc_cols, new_lookback_win, look_ahead_fc_cols);
}

}  // namespace
}  // namespace core

void require_fitted(py::handle self, const char* method) {
    if (!pyclass::has_attr(self, "transformer_steps") || !is_none(self.attr("transformer_steps"))) return;
    const std::string name = py::str(py::type::of(self).attr("__name__"));
    py::object not_fitted = pyclass::import_from("sklearn.exceptions", "NotFittedError");
    pyclass::raise(not_fitted, py::str("This " + name + " instance is not fitted yet. Call 'fit' with "
                                       "the training series before calling '" + method + "'."));
}

void require_fitted_columns(py::handle self, py::handle X) {
    py::object shape = global("np").attr("shape")(X);
    if (pyclass::length(shape) != 2) {
        pyclass::raise(PyExc_ValueError,
                       "Expected a 2-D array with one row per time step and one column per "
                       "variable, got an array of shape " + std::string(py::str(shape)) +
                           ". Reshape your data with X.reshape(-1, 1) if it holds a single series.");
    }
    if (!pyclass::has_attr(self, "n_features_in_")) return;
    py::object expected = self.attr("n_features_in_");
    py::object columns = pyclass::item(shape, 1);
    if (pyclass::py_eq(columns, expected)) return;
    const std::string name = py::str(py::type::of(self).attr("__name__"));
    pyclass::raise(PyExc_ValueError,
                   "X has " + std::string(py::str(columns)) + " features, but " + name +
                       " is expecting " + std::string(py::str(expected)) +
                       " features as input (the columns of the data it was fitted on).");
}

}  // namespace gusk
