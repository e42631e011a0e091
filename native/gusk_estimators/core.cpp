// Construction, the parameter protocol, fitting, scoring and column index adjustment.
#include "gusk_estimators/gusk.hpp"

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
// Construction and parameters

py::object init_body(const Args& a) {
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
    return py::none();
}

py::object get_named_steps_body(const Args& a) {
    py::dict named;
    for (py::handle step : a["steps"]) named[pyclass::item(step, 0)] = pyclass::item(step, 1);
    return named;
}

py::object validate_steps_body(const Args& a) {
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

py::object get_params_body(const Args& a) {
    py::object self = a["self"];
    py::object params =
        super_of(classes().estimator, self).attr("get_params")(py::arg("deep") = a["deep"]);
    params["estimator"] = estimator_for_params(self);
    return params;
}

bool starts_with(py::handle text, py::handle prefix) {
    return truthy(text.attr("startswith")(prefix));
}

py::object set_params_body(const Args& a) {
    py::object self = a["self"];
    const py::dict& params = a.kwargs();
    py::object temp_params = global("copy").attr("deepcopy")(params);
    const py::str separator("__");

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
    for (py::handle attr : temp_params.attr("keys")()) {
        py::setattr(self, attr, temp_params[attr]);
    }
    return self;
}

py::object str_body(const Args& a) {
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

py::object setstate_body(const Args& a) {
    py::object self = a["self"];
    super_of(classes().estimator, self).attr("__setstate__")(a["state"]);
    if (!pyclass::has_attr(self, "look_ahead_fcolumns")) self.attr("look_ahead_fcolumns") = py::none();
    return py::none();
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

py::object is_exogenous_pipeline_body(const Args& a) { return py::bool_(is_exogenous(a["self"])); }

py::object is_future_exogenous_pipeline_body(const Args& a) {
    py::object self = a["self"];
    if (!truthy(self.attr("is_exogenous_pipeline_"))) return py::bool_(false);
    return py::bool_(pyclass::length(self.attr("look_ahead_fcolumns")) >= 1);
}

py::object set_scoring_body(const Args& a) {
    py::object self = a["self"];
    self.attr("scoring") = a["scoring"];
    return self;
}

py::object set_cross_validation_body(const Args& a) {
    py::object self = a["self"];
    self.attr("cv") = a["cv"];
    return self;
}

// ---------------------------------------------------------------------------------------------
// Fitting and scoring

py::object init_transformer_and_estimator_body(const Args& a) {
    py::object self = a["self"];
    self.attr("_validate_steps")(self.attr("steps"));
    self.attr("transformer_steps") = list_of_step_objects(all_but_last(self.attr("steps")));
    const bool keep_estimator =
        truthy(self.attr("init_time_optimization")) && truthy(self.attr("is_automate_run"));
    if (!keep_estimator) self.attr("estimator") = pyclass::item(pyclass::item(self.attr("steps"), -1), 1);
    return py::none();
}

py::object data_fit_transform_body(const Args& a) {
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

py::object data_transform_body(const Args& a) {
    py::object X = a["X"];
    py::object y = a["y"];
    for (py::handle transformer : a["self"].attr("transformer_steps")) {
        py::object result = transformer.attr("transform")(X);
        X = pyclass::item(result, 0);
        y = pyclass::item(result, 1);
    }
    return py::make_tuple(X, y);
}

py::object display_transformations_body(const Args& a) {
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
        estimator.attr("fit")(Xt, yt);
    }
}

py::object fit_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (truthy(self.attr("store_lookback_history"))) self.attr("_store_lookback_history_X")(X);
    X = self.attr("_input_data_transformation")(X);
    self.attr("_init_transformer_and_estimator")();
    auto [Xt, yt] = pyclass::unpack_pair(self.attr("_data_fit_transform")(X, a["y"]));
    if (truthy(self.attr("multivariate_column_encoding"))) {
        Xt = self.attr("_multi_variate_col_encoder")(Xt);
    }
    if (is_none(self.attr("cv"))) self.attr("cv") = default_split(Xt);
    fit_final_estimator(self, Xt, yt);
    self.attr("is_automate_run") = py::bool_(true);
    return self;
}

py::object score_body(const Args& a) {
    py::object self = a["self"];
    py::object X = self.attr("_input_data_transformation")(a["X"]);
    auto [Xt, yt] = pyclass::unpack_pair(self.attr("_data_transform")(X, py::arg("y") = a["y"]));
    yt = self.attr("_output_data_transformation")(yt);
    py::dict keywords;
    py::object sample_weight = a["sample_weight"];
    if (!is_none(sample_weight)) keywords["sample_weight"] = sample_weight;
    return self.attr("scoring")(self.attr("estimator"), Xt, yt, **keywords);
}

// ---------------------------------------------------------------------------------------------
// Column indices

py::object adjust_indices_body(const Args& a) {
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

py::object reset_fc_cols_and_lookback_body(const Args& a) {
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

pyclass::Function init{
    "__init__",
    {{"self"},
     {"steps"},
     {"feature_columns"},
     {"target_columns"},
     {"look_ahead_fcolumns", "None"},
     {"lookback_win", "5"},
     {"pred_win", "1"},
     {"time_column", "-1"},
     {"init_time_optimization", "False"},
     {"data_transformation_scheme", "None"},
     {"multistep_prediction_strategy", "None"},
     {"multistep_prediction_win", "1"},
     {"multivariate_column_encoding", "False"},
     {"store_lookback_history", "False"},
     pyclass::var_keyword("kwarg")},
    &init_body,
    "Store the pipeline steps and the column layout; nothing is checked here."};

pyclass::Function get_named_steps{"_get_named_steps", {{"self"}, {"steps"}}, &get_named_steps_body,
                                  "Return a new dict mapping each step's name to its object."};
pyclass::Function set_scoring{"set_scoring", {{"self"}, {"scoring"}}, &set_scoring_body,
                              "Use ``scoring(estimator, X, y)`` in ``score``; return self."};
pyclass::Function adjust_indices{
    "_adjust_indices",
    {{"self"}, {"target_columns", "None"}, {"feature_columns", "None"}},
    &adjust_indices_body,
    "Re-target the column lists of a non-exogenous pipeline and pass them to the transformers."};
pyclass::Function set_cross_validation{"set_cross_validation", {{"self"}, {"cv"}},
                                       &set_cross_validation_body,
                                       "Use ``cv`` as the split setting; return self."};
pyclass::Function validate_steps{
    "_validate_steps", {{"self"}, {"steps"}}, &validate_steps_body,
    "Check that the steps hold at least one transformer and end with an estimator."};
pyclass::Function data_fit_transform{
    "_data_fit_transform", {{"self"}, {"X"}, {"y", "None"}}, &data_fit_transform_body,
    "Fit every transformer in turn; return the windowed (X, y)."};
pyclass::Function data_transform{
    "_data_transform", {{"self"}, {"X"}, {"y", "None"}}, &data_transform_body,
    "Run every fitted transformer's ``transform``; return the windowed (X, y)."};
pyclass::Function init_transformer_and_estimator{
    "_init_transformer_and_estimator", {{"self"}}, &init_transformer_and_estimator_body,
    "Validate the steps and pick the transformers and the final estimator."};
pyclass::Function display_transformations{
    "_display_transformations", {{"self"}, {"X"}, {"y", "None"}}, &display_transformations_body,
    "Return the (Xt, yt) that fitting would train on (refits the transformers)."};
pyclass::Function fit{
    "fit", {{"self"}, {"X"}, {"y", "None"}}, &fit_body,
    "Fit the transformers and the final estimator on the series X.\n\n"
    "Parameters\n----------\nX : ndarray of shape (n_rows, n_columns)\n"
    "    One row per time step; columns addressed by index.\ny : ignored by the windowing\n"
    "    transformers, which take the targets from X.\n\nReturns\n-------\nself : object"};
pyclass::Function str{"__str__", {{"self"}}, &str_body,
                      "The class name and the sorted parameters, one per line."};
pyclass::Function score{
    "score", {{"self"}, {"X"}, {"y", "None"}, {"sample_weight", "None"}}, &score_body,
    "Score the fitted pipeline on X with ``self.scoring`` (negated mean absolute error by\n"
    "default); the transformers are not refitted."};
pyclass::Function set_params{
    "set_params", {{"self"}, {"attr", "'steps'"}, pyclass::var_keyword("params")}, &set_params_body,
    "Route ``name__param`` keywords to the named steps, ``lookback_win`` to the first step, and\n"
    "set every other keyword as an attribute; return self."};
pyclass::Function reset_fc_cols_and_lookback{
    "_reset_fc_cols_and_lookback",
    {{"self"}, {"feature_columns"}, {"target_columns"}, {"lookback_win"}, {"pred_win"}},
    &reset_fc_cols_and_lookback_body,
    "Split feature columns with a negative look-back into look-ahead columns.\n\n"
    "Returns (fc_cols, new_lookback_win, look_ahead_fc_cols)."};
pyclass::Function get_params{"get_params", {{"self"}, {"deep", "True"}}, &get_params_body,
                             "The constructor parameters plus the final ``estimator``."};
pyclass::Function is_exogenous_pipeline{
    "is_exogenous_pipeline_", {{"self"}}, &is_exogenous_pipeline_body,
    "Whether the pipeline takes look-ahead columns or features other than its targets."};
pyclass::Function is_future_exogenous_pipeline{
    "is_future_exogenous_pipeline_", {{"self"}}, &is_future_exogenous_pipeline_body,
    "Whether the pipeline is exogenous with at least one look-ahead column."};
pyclass::Function setstate{"__setstate__", {{"self"}, {"state"}}, &setstate_body,
                           "Restore a pickled estimator (older pickles lack look_ahead_fcolumns)."};

}  // namespace core
}  // namespace gusk
