// Construction and the parameter protocol: get_params, set_params, clone, pickling, the
// scorer and split settings, and the warnings for parameters that change nothing.
#include "gusk_estimators/gusk.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace gusk {
namespace core {

py::object list_of_step_objects(py::handle steps) {
    py::list objects;
    for (py::handle step : steps) objects.append(item(step, 1));
    return objects;
}

py::object all_but_last(py::handle sequence) { return slice(sequence, py::none(), -1); }

py::object step_parameters(py::handle step) {
    if (!has_attr(step, "get_params")) return py::none();
    return step.attr("get_params")(py::arg("deep") = false);
}

bool step_takes(py::handle parameters, const char* name) {
    if (is_none(parameters)) return false;
    const int found = PySequence_Contains(parameters.ptr(), py::str(name).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

namespace {

using pyclass::Args;

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
        if (length(close) > 0) text += " (did you mean " + quoted_names(close) + "?)";
    }
    return text;
}

void warn_unused(const std::string& message) {
    py::object category = pyclass::import_from("orvane.utils.parameter_warnings", "UnusedParameterWarning");
    if (PyErr_WarnEx(category.ptr(), message.c_str(), 1) < 0) throw py::error_already_set();
}

std::string class_name_of(py::handle self) {
    return py::str(self.attr("__class__").attr("__name__")).cast<std::string>();
}

void warn_ignored_keywords(py::handle self, const py::dict& kwarg) {
    py::list ignored;
    for (auto entry : kwarg) {
        if (!py_eq(entry.first, py::str("estimator"))) ignored.append(entry.first);
    }
    if (ignored.empty()) return;
    warn_unused(class_name_of(self) + " ignores the keyword argument(s) " +
                names_with_suggestions(ignored, constructor_parameter_names(self)) + ".");
}

// ---------------------------------------------------------------------------------------------
// Construction and parameters

GUSK_METHOD(init, "__init__", "Store the pipeline steps and the column layout; nothing is checked here.",
            {"self"}, {"steps"}, {"feature_columns"}, {"target_columns"}, {"look_ahead_fcolumns", "None"},
            {"lookback_win", "5"}, {"pred_win", "1"}, {"time_column", "-1"},
            {"init_time_optimization", "False"}, {"data_transformation_scheme", "None"},
            {"multistep_prediction_strategy", "None"}, {"multistep_prediction_win", "1"},
            {"multivariate_column_encoding", "False"}, {"store_lookback_history", "False"},
            pyclass::var_keyword("kwarg")) {
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

GUSK_METHOD(get_named_steps, "_get_named_steps", "Return a new dict mapping each step's name to its object.",
            {"self"}, {"steps"}) {
    py::dict named;
    for (py::handle step : a["steps"]) named[item(step, 0)] = item(step, 1);
    return named;
}

GUSK_METHOD(validate_steps, "_validate_steps",
            "Check that the steps hold at least one transformer and end with an estimator.", {"self"},
            {"steps"}) {
    py::object steps = a["steps"];
    py::object transformers = list_of_step_objects(all_but_last(steps));
    py::object estimator = item(item(steps, -1), 1);
    if (length(transformers) == 0) raise_catalogue("ORVANE0043E");
    if (truthy(global("check_object_is_estimator")(estimator))) return py::none();
    raise_catalogue("ORVANE0044E");
}

// The final estimator reported by get_params before `fit` has set one: the last step's object,
// or None when the steps are empty or malformed. Cloning an unfitted estimator must work.
py::object estimator_for_params(py::handle self) {
    if (has_attr(self, "estimator")) return self.attr("estimator");
    try {
        return item(item(self.attr("steps"), -1), 1);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_IndexError) || e.matches(PyExc_TypeError) || e.matches(PyExc_KeyError) ||
            e.matches(PyExc_AttributeError)) {
            return py::none();
        }
        throw;
    }
}

GUSK_METHOD(get_params, "get_params", "The constructor parameters plus the final ``estimator``.", {"self"},
            {"deep", "True"}) {
    py::object self = a["self"];
    py::object params = super_of(classes().estimator, self).attr("get_params")(py::arg("deep") = a["deep"]);
    params["estimator"] = estimator_for_params(self);
    return params;
}

bool starts_with(py::handle text, py::handle prefix) { return truthy(text.attr("startswith")(prefix)); }

// `set_params(pred_win=7)` and the like change the windowing step too, as `lookback_win`
// always has (that one is routed by the loop of set_params itself).
void route_shared_settings(py::handle self, const py::dict& params) {
    py::object window;
    py::object parameters;
    for (const SharedSetting& setting : kSharedSettings) {
        if (std::string(setting.estimator_name) == "lookback_win" || !params.contains(setting.estimator_name))
            continue;
        if (!window) {
            window = item(item(self.attr("steps"), 0), 1);
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
        py::object name = item(step, 0);
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
    if (last_replaced && has_attr(self, "estimator")) {
        self.attr("estimator") = item(item(steps, -1), 1);
    }
}

// Every name set_params could mean: the constructor parameters, the steps, and the
// parameters of each step as "step__parameter".
py::list valid_parameter_names(py::handle self) {
    py::list names = constructor_parameter_names(self);
    for (py::handle step : self.attr("steps")) {
        py::object name = item(step, 0);
        names.append(name);
        py::object parameters = step_parameters(item(step, 1));
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
        py::object prefix = item(step, 0) + separator;
        for (auto entry : params) {
            py::handle param = entry.first;
            if (!starts_with(param, prefix)) continue;
            py::object key = item(param.attr("split")(separator), 1);
            est_params[key] = temp_params.attr("pop")(param);
        }
        item(step, 1).attr("set_params")(**est_params);
    }
    for (auto entry : params) {
        if (starts_with(entry.first, py::str("lookback_win"))) {
            item(item(self.attr("steps"), 0), 1).attr("set_params")(py::arg("lookback_win") = entry.second);
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

GUSK_METHOD(str, "__str__", "The class name and the sorted parameters, one per line.", {"self"}) {
    py::object self = a["self"];
    const char* const separator = ",\n\t\t\t\t";
    py::object builtins = py::module_::import("builtins");
    py::str text = py::str(self.attr("__class__").attr("__name__")) + py::str("(");
    py::object items =
        builtins.attr("sorted")(builtins.attr("list")(self.attr("get_params")().attr("items")()));
    for (py::handle pair : items) {
        py::object key = item(pair, 0);
        if (py_eq(key, py::str("estimator"))) continue;
        text = text + py::str(key) + py::str("=") + py::str(item(pair, 1)) + py::str(separator);
    }
    return text.attr("rstrip")(separator) + py::str(")");
}

GUSK_METHOD(setstate, "__setstate__", "Restore a pickled estimator (older pickles lack look_ahead_fcolumns).",
            {"self"}, {"state"}) {
    py::object self = a["self"];
    super_of(classes().estimator, self).attr("__setstate__")(a["state"]);
    if (!has_attr(self, "look_ahead_fcolumns")) self.attr("look_ahead_fcolumns") = py::none();
    return py::none();
}

// A clone has the same parameters and is unfitted; like scikit-learn's own output settings,
// the scorer chosen with set_scoring is carried over, so that cross-validation and grid
// searches score with it.
GUSK_METHOD(sklearn_clone, "__sklearn_clone__", "An unfitted copy with the same parameters and scorer.",
            {"self"}) {
    py::object self = a["self"];
    py::object base = super_of(classes().estimator, self);
    py::object clone = has_attr(base, "__sklearn_clone__")
                           ? base.attr("__sklearn_clone__")()
                           : pyclass::import_from("sklearn.base", "clone")(self, py::arg("safe") = false);
    if (has_attr(self, "scoring")) clone.attr("scoring") = self.attr("scoring");
    return clone;
}

bool is_exogenous(py::handle self) {
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    if (is_none(look_ahead)) return false;
    if (length(look_ahead) > 0) return true;
    py::object builtins = py::module_::import("builtins");
    py::object features = self.attr("feature_columns");
    py::object targets = self.attr("target_columns");
    if (py_ne(builtins.attr("set")(features), builtins.attr("set")(targets))) return true;
    return length(features) == 0;
}

GUSK_PROPERTY(is_exogenous_pipeline, "is_exogenous_pipeline_",
              "Whether the pipeline takes look-ahead columns or features other than its targets.", {"self"}) {
    return py::bool_(is_exogenous(a["self"]));
}

GUSK_PROPERTY(is_future_exogenous_pipeline, "is_future_exogenous_pipeline_",
              "Whether the pipeline is exogenous with at least one look-ahead column.", {"self"}) {
    py::object self = a["self"];
    if (!truthy(self.attr("is_exogenous_pipeline_"))) return py::bool_(false);
    return py::bool_(length(self.attr("look_ahead_fcolumns")) >= 1);
}

GUSK_METHOD(set_scoring, "set_scoring",
            "Use ``scoring(estimator, X, y)``, or the scikit-learn scorer of that name, in ``score``;\n"
            "return self. Clones keep it.",
            {"self"}, {"scoring"}) {
    py::object self = a["self"];
    self.attr("scoring") = a["scoring"];
    return self;
}

GUSK_METHOD(set_cross_validation, "set_cross_validation", "Use ``cv`` as the split setting; return self.",
            {"self"}, {"cv"}) {
    py::object self = a["self"];
    self.attr("cv") = a["cv"];
    return self;
}

}  // namespace
}  // namespace core
}  // namespace gusk
