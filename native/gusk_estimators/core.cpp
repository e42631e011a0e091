// Fitting, scoring and column index adjustment.
#include "gusk_estimators/gusk.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace gusk {
namespace core {
namespace {

using pyclass::Args;

// ---------------------------------------------------------------------------------------------
// Fitting and scoring

GUSK_METHOD(init_transformer_and_estimator, "_init_transformer_and_estimator",
            "Validate the steps and pick the transformers and the final estimator.", {"self"}) {
    py::object self = a["self"];
    self.attr("_validate_steps")(self.attr("steps"));
    self.attr("transformer_steps") = list_of_step_objects(all_but_last(self.attr("steps")));
    const bool keep_estimator =
        truthy(self.attr("init_time_optimization")) && truthy(self.attr("is_automate_run"));
    if (!keep_estimator) self.attr("estimator") = item(item(self.attr("steps"), -1), 1);
    return py::none();
}

GUSK_METHOD(data_fit_transform, "_data_fit_transform",
            "Fit every transformer in turn; return the windowed (X, y).", {"self"}, {"X"}, {"y", "None"}) {
    py::object X = a["X"];
    py::object y = a["y"];
    for (py::handle transformer : a["self"].attr("transformer_steps")) {
        py::object result = has_attr(transformer, "fit_transform")
                                ? transformer.attr("fit_transform")(X, y)
                                : transformer.attr("fit")(X, y).attr("transform")(X);
        X = item(result, 0);
        y = item(result, 1);
    }
    return py::make_tuple(X, y);
}

GUSK_METHOD(data_transform, "_data_transform",
            "Run every fitted transformer's ``transform``; return the windowed (X, y).", {"self"}, {"X"},
            {"y", "None"}) {
    py::object X = a["X"];
    py::object y = a["y"];
    for (py::handle transformer : a["self"].attr("transformer_steps")) {
        py::object result = transformer.attr("transform")(X);
        X = item(result, 0);
        y = item(result, 1);
    }
    return py::make_tuple(X, y);
}

GUSK_METHOD(display_transformations, "_display_transformations",
            "Return the (Xt, yt) that fitting would train on (refits the transformers).", {"self"}, {"X"},
            {"y", "None"}) {
    py::object self = a["self"];
    py::object X = self.attr("_input_data_transformation")(a["X"]);
    auto [Xt, yt] = unpack_pair(self.attr("_data_fit_transform")(X, a["y"]));
    return py::make_tuple(Xt, yt);
}

py::object default_split(py::handle Xt) {
    py::object split_class =
        pyclass::import_from("orvane.gusk.joint_optimizers.cv.tembrel_splits", "TimeSeriesTrainTestSplit");
    const double test_rows = static_cast<double>(length(Xt)) * 0.3;
    return split_class(py::arg("n_test_size") = py::int_(static_cast<long long>(test_rows)));
}

// What scikit-learn's protocol and scoring need of the data `fit` saw: its column count, and
// its last look-back rows (a copy), from which the rows that follow it take their look-back.
void remember_fitted_data(py::handle self, py::handle X) {
    py::object numpy = global("np");
    py::object shape = numpy.attr("shape")(X);
    if (length(shape) != 2) return;
    self.attr("n_features_in_") = item(shape, 1);
    py::object lookback = global("get_max_lookback")(self.attr("lookback_win"));
    if (!PyIndex_Check(lookback.ptr()) || !py_gt(lookback, 0)) return;
    py::object rows = numpy.attr("asarray")(X);
    self.attr("last_fit_rows_") = slice(rows, -lookback, py::none()).attr("copy")();
}

// Lists, tuples and arrays compare by their items; a missing look-ahead list is an empty one.
py::object comparable_setting(py::handle value) {
    if (is_none(value)) return py::list();
    if (has_attr(value, "tolist")) return value.attr("tolist")();
    if (PyTuple_Check(value.ptr())) return py::module_::import("builtins").attr("list")(value);
    return py::reinterpret_borrow<py::object>(value);
}

std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

// The windowing step must cut the windows the estimator reads back: same columns, look-back,
// steps ahead and look-ahead columns.
void check_shared_settings(py::handle self) {
    py::object step = item(self.attr("steps"), 0);
    const std::string step_name = py::str(item(step, 0)).cast<std::string>();
    py::object window = item(step, 1);
    py::object parameters = step_parameters(window);
    if (is_none(parameters)) return;
    for (const SharedSetting& setting : kSharedSettings) {
        py::object own = self.attr(setting.estimator_name);
        if (!step_takes(parameters, setting.step_name)) {
            const bool lost_look_ahead = std::string(setting.estimator_name) == "look_ahead_fcolumns" &&
                                         length(comparable_setting(own)) > 0;
            if (!lost_look_ahead) continue;
            raise_value_error("look_ahead_fcolumns=" + repr_of(own) + ", but the windowing step '" +
                              step_name + "' (" +
                              py::str(py::type::of(window).attr("__name__")).cast<std::string>() +
                              ") takes no look-ahead columns; use a windowing step with "
                              "look_ahead_fcol_index=" +
                              repr_of(own) + " or drop look_ahead_fcolumns.");
        }
        py::object theirs = parameters[setting.step_name];
        if (py_eq(comparable_setting(own), comparable_setting(theirs))) continue;
        raise_value_error(std::string("The estimator has ") + setting.estimator_name + "=" + repr_of(own) +
                          " but its windowing step '" + step_name + "' has " + setting.step_name + "=" +
                          repr_of(theirs) + "; they must agree. set_params(" + setting.estimator_name +
                          "=...) sets both.");
    }
}

bool is_windowing_step(py::handle step) {
    return is_instance_of_globals(
        step, {"Flatten", "DifferenceFlatten", "LocalizedFlatten", "DifferenceFlattenX", "LocalizedFlattenX",
               "NormalizedFlatten", "DifferenceNormalizedFlatten"});
}

// A y that merely repeats the target columns of X (as scikit-learn tools pass it) is harmless.
bool y_repeats_target_columns(py::handle self, py::handle X, py::handle y) {
    py::object numpy = global("np");
    try {
        py::object series = numpy.attr("asarray")(X);
        py::object targets = numpy.attr("asarray")(y);
        py::object expected = series[py::make_tuple(all_rows(), self.attr("target_columns"))];
        if (!py_eq(targets.attr("size"), expected.attr("size")) || length(targets) != length(series)) {
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
    if (is_none(y) || !is_windowing_step(item(self.attr("transformer_steps"), 0))) return;
    if (y_repeats_target_columns(self, X, y)) return;
    raise_value_error(
        "fit(X, y) got a y that the windowing step does not use: the targets are the columns "
        "of X named by target_columns=" +
        repr_of(self.attr("target_columns")) +
        ". Put the series to forecast among the columns of X, list them in target_columns, "
        "and call fit(X).");
}

// What our own regressors need to judge candidates on the forecasts the user will ask for:
// how the rows were cut (the windowing step, when there is exactly one) and what prediction
// will do with them.
py::dict forecast_task_of(py::handle self) {
    py::object transformers = self.attr("transformer_steps");
    py::dict task;
    task["window"] = length(transformers) == 1 ? item(transformers, 0) : py::none();
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
    auto [Xt, yt] = unpack_pair(self.attr("_data_fit_transform")(X, a["y"]));
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
    return length(transformers) > 0 ? item(transformers, 0) : py::object(py::none());
}

// Whether X holds the last rows of the fitted data (X is, or overlaps, that data) or, when X
// is shorter than they are, is their end.
bool overlaps_fitted_end(py::handle rows, py::handle before) {
    py::object numpy = global("np");
    const Py_ssize_t n_rows = length(rows);
    const Py_ssize_t n_before = length(before);
    if (n_rows < n_before) {
        py::object end = slice(before, n_before - n_rows, py::none());
        return truthy(numpy.attr("array_equal")(rows, end));
    }
    if (py_ne(item(rows.attr("shape"), 1), item(before.attr("shape"), 1))) return false;
    py::object windows =
        numpy.attr("lib").attr("stride_tricks").attr("sliding_window_view")(rows, before.attr("shape"));
    py::object equal = (windows.attr("__eq__")(before)).attr("all")(py::make_tuple(-2, -1));
    return truthy(equal.attr("any")());
}

// Rows that continue the fitted data take their look-back from its last rows, so that every
// row is scored (the test folds of a time-series split are such rows). Rows that hold the end
// of the fitted data carry their own look-back. Only the windowing transformers need rows
// before the first target.
py::object with_rows_before(py::handle self, py::handle X) {
    py::object X_ = py::reinterpret_borrow<py::object>(X);
    if (!has_attr(self, "last_fit_rows_")) return X_;
    py::object first = first_transformer(self);
    std::vector<const char*> windowing = flatten_family();
    for (const char* name : {"Flatten", "DifferenceFlattenX", "LocalizedFlattenX"}) windowing.push_back(name);
    if (!is_instance_of_globals(first, windowing)) return X_;
    py::object before = self.attr("last_fit_rows_");
    py::object rows = global("np").attr("asarray")(X);
    if (length(rows) == 0 || overlaps_fitted_end(rows, before)) return X_;
    return global("np").attr("concatenate")(py::make_tuple(before, rows));
}

// Undoes the target transformer and the data transformation scheme, as a forecast does.
py::object in_data_units(py::handle self, py::object y) {
    py::object first = first_transformer(self);
    if (is_instance(first, global("TargetTransformer"))) y = first.attr("inverse_transform")(y);
    return self.attr("_output_data_transformation")(y);
}

bool changes_target_units(py::handle self) {
    if (!is_none(self.attr("data_transformation_scheme"))) return true;
    return is_instance(first_transformer(self), global("TargetTransformer"));
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
    auto [Xt, yt] = unpack_pair(self.attr("_data_transform")(X, py::arg("y") = a["y"]));
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
        if (!has_attr(step, "_adjust_indices")) continue;
        const bool targets_only =
            is_instance_of_globals(step, {"DifferenceFlattenAutoEnsembler", "LocalizedFlattenAutoEnsembler"});
        step.attr("_adjust_indices")(
            py::arg("target_columns") = target_columns,
            py::arg("feature_columns") = targets_only ? target_columns : feature_columns);
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
        py::object column = item(feature_columns, idx);
        if (py_lt(entry, zero)) {
            if (pyclass::assertions_enabled() &&
                PySequence_Contains(target_columns.ptr(), column.ptr()) != 0) {
                if (PyErr_Occurred()) throw py::error_already_set();
                // The Python method's `assert`, skipped under python -O as the statement is.
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
    if (!has_attr(self, "transformer_steps") || !is_none(self.attr("transformer_steps"))) return;
    const std::string name = py::str(py::type::of(self).attr("__name__"));
    py::object not_fitted = pyclass::import_from("sklearn.exceptions", "NotFittedError");
    pyclass::raise(not_fitted, py::str("This " + name +
                                       " instance is not fitted yet. Call 'fit' with "
                                       "the training series before calling '" +
                                       method + "'."));
}

void require_fitted_columns(py::handle self, py::handle X) {
    py::object shape = global("np").attr("shape")(X);
    if (length(shape) != 2) {
        pyclass::raise(PyExc_ValueError,
                       "Expected a 2-D array with one row per time step and one column per "
                       "variable, got an array of shape " +
                           std::string(py::str(shape)) +
                           ". Reshape your data with X.reshape(-1, 1) if it holds a single series.");
    }
    if (!has_attr(self, "n_features_in_")) return;
    py::object expected = self.attr("n_features_in_");
    py::object columns = item(shape, 1);
    if (py_eq(columns, expected)) return;
    const std::string name = py::str(py::type::of(self).attr("__name__"));
    pyclass::raise(PyExc_ValueError, "X has " + std::string(py::str(columns)) + " features, but " + name +
                                         " is expecting " + std::string(py::str(expected)) +
                                         " features as input (the columns of the data it was fitted on).");
}

}  // namespace gusk
