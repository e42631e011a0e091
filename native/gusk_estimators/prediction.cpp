// Forecasts: the prediction engine behind every forecast and sliding window, and predict
// itself; the helpers the prediction files share.
#include "gusk_estimators/prediction.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gusk {

Py_ssize_t n_targets(py::handle self) { return length(self.attr("target_columns")); }

py::object rows_from(py::handle X, const pyclass::Bound& start) { return slice(X, start, py::none()); }

py::object row_count(py::handle X) { return item(X.attr("shape"), 0); }

bool has_look_ahead_setting(py::handle self) { return py_ne(self.attr("look_ahead_fcolumns"), py::none()); }

bool has_look_ahead_columns(py::handle self) {
    return has_look_ahead_setting(self) && length(self.attr("look_ahead_fcolumns")) > 0;
}

py::object max_lookback_of(py::handle self) { return global("get_max_lookback")(self.attr("lookback_win")); }

py::object prediction_lookback(py::handle self) {
    return has_look_ahead_setting(self) ? max_lookback_of(self) : self.attr("lookback_win");
}

std::string strategy_word(py::handle self) {
    py::object strategy = self.attr("multistep_prediction_strategy");
    if (!py::isinstance<py::str>(strategy)) return "";
    return strategy.attr("lower")().cast<std::string>();
}

bool strategy_is_recursive(py::handle self) { return strategy_word(self) == "recursive"; }

void refuse_unallocatable_rows(const char* setting, py::handle rows, py::handle columns) {
    if (!PyIndex_Check(rows.ptr()) || !PyLong_Check(columns.ptr())) return;
    const Py_ssize_t width = std::max<Py_ssize_t>(1, PyNumber_AsSsize_t(columns.ptr(), nullptr));
    if (PyErr_Occurred()) throw py::error_already_set();
    const Py_ssize_t most_rows = pyclass::allocatable_bytes() / width / Py_ssize_t{8};
    if (!py_gt(rows, most_rows)) return;
    pyclass::raise(PyExc_ValueError, std::string(setting) + "=" + std::string(py::str(rows)) + " needs " +
                                         std::string(py::str(rows)) + " rows of " + std::to_string(width) +
                                         " float64 values, more than this machine can ever allocate (" +
                                         std::to_string(pyclass::allocatable_bytes()) + " bytes)");
}

py::object zero_rows(py::handle rows, py::handle X, const char* setting) {
    py::object columns = item(X.attr("shape"), 1);
    refuse_unallocatable_rows(setting, rows, columns);
    return np().attr("full")(py::make_tuple(rows, columns), 0.0);
}

py::object append_rows(py::handle X, py::handle rows) {
    return np().attr("concatenate")(py::make_tuple(X, rows));
}

py::object row_with_targets(py::handle self, py::handle X, py::handle values) {
    py::object numpy = np();
    py::object new_row = numpy.attr("zeros")(py::make_tuple(1, item(X.attr("shape"), 1)));
    numpy.attr("put")(new_row, self.attr("target_columns"), values);
    return new_row;
}

py::object next_rows(py::handle self, py::handle X, py::handle pred) {
    py::object pred_win = self.attr("pred_win");
    if (!PyLong_CheckExact(pred_win.ptr()) || py_lt(pred_win, 0)) {
        return append_rows(row_with_targets(self, X, pred), zero_rows(pred_win, X));
    }
    py::object numpy = np();
    py::object columns = item(X.attr("shape"), 1);
    refuse_unallocatable_rows("pred_win", pred_win, columns);
    py::object block = numpy.attr("zeros")(py::make_tuple(py::int_(1) + pred_win, columns));
    numpy.attr("put")(slice(block, py::none(), 1), self.attr("target_columns"), pred);
    return block;
}

bool is_plain_float64_matrix(py::handle X) {
    if (!py::type::handle_of(X).is(np().attr("ndarray"))) return false;
    const py::array array = py::reinterpret_borrow<py::array>(X);
    return array.ndim() == 2 && array.shape(1) >= 1 && array.dtype().is(py::dtype::of<double>());
}

py::object validated_input(py::handle X) {
    if (is_plain_float64_matrix(X)) return py::reinterpret_borrow<py::object>(X);
    py::dict keywords;
    keywords["dtype"] = np().attr("float64");
    keywords[check_array_finite_keyword()] = false;
    keywords["ensure_2d"] = false;
    keywords["ensure_min_samples"] = 0;
    return global("check_array")(X, **keywords);
}

// ---------------------------------------------------------------------------------------------
// Horizons that could never be served
//
// A forecast of `steps` steps holds at least steps x n_targets float64 values (times the number
// of windows forecast at once). When that could never be allocated on this machine, the request
// is refused before the first step: otherwise the loop would run for hours before failing, or
// its size arithmetic would wrap around.

Py_ssize_t targets_for_sizing(py::handle self) {
    PyObject* columns = PyObject_GetAttrString(self.ptr(), "target_columns");
    const Py_ssize_t count = columns ? PyObject_Length(columns) : -1;
    Py_XDECREF(columns);
    if (count < 0) PyErr_Clear();
    return std::max<Py_ssize_t>(1, count);
}

void refuse_unservable_horizon(py::handle self, Py_ssize_t windows) {
    py::object steps_value = self.attr("multistep_prediction_win");
    if (!PyIndex_Check(steps_value.ptr())) return;
    const py::object steps = py::reinterpret_steal<py::object>(PyNumber_Index(steps_value.ptr()));
    if (!steps) throw py::error_already_set();
    const Py_ssize_t targets = targets_for_sizing(self);
    const Py_ssize_t limit = pyclass::allocatable_bytes();
    // Compared as a quotient, so that no product can overflow.
    const Py_ssize_t most_steps = limit / std::max<Py_ssize_t>(1, windows) / targets / Py_ssize_t{8};
    if (!py_gt(steps, most_steps)) return;
    const py::object bytes = steps * py::int_(targets) * py::int_(windows) * py::int_(8);
    std::string text = "multistep_prediction_win=" + std::string(py::str(steps)) + " asks for " +
                       std::string(py::str(steps)) + " forecast steps x " + std::to_string(targets) +
                       " target(s)";
    if (windows > 1) text += " x " + std::to_string(windows) + " windows";
    text += " x 8 bytes = " + std::string(py::str(bytes)) +
            " bytes, more than this machine can ever allocate (" + std::to_string(limit) +
            " bytes); forecast at most " + std::to_string(most_steps) + " steps";
    pyclass::raise(PyExc_ValueError, text);
}

namespace {

using pyclass::Args;

// ---------------------------------------------------------------------------------------------
// The prediction engine

// Undo the first transformer's target transformation (step 6 of the engine).
py::object inverse_target_transformation(py::handle self, py::object y_pred) {
    py::object first = item(self.attr("transformer_steps"), 0);
    const bool target_transformer = is_instance(first, global("TargetTransformer"));
    if (py_eq(self.attr("pred_win"), 1)) {
        const Py_ssize_t targets = n_targets(self);
        y_pred = y_pred.attr("reshape")(-1, targets);
        if (target_transformer) {
            y_pred = first.attr("inverse_transform")(y_pred).attr("reshape")(-1, targets);
        }
        return y_pred;
    }
    return target_transformer ? first.attr("inverse_transform")(y_pred) : y_pred;
}

// Step-major blocks of rows (one row per target) are folded into one row per window. With
// pred_win 1 the reshape of the previous step has already done that, so blocks are folded only
// for multi-step rows.
py::object fold_step_major_rows(py::handle self, py::object y_pred) {
    if (py_eq(self.attr("pred_win"), 1)) return y_pred;
    py::object first = item(self.attr("transformer_steps"), 0);
    const bool step_major =
        has_look_ahead_setting(self)
            ? is_instance_of_globals(first,
                                     {"NormalizedFlatten", "DifferenceNormalizedFlatten", "LocalizedFlatten",
                                      "DifferenceFlatten", "LocalizedFlattenX", "DifferenceFlattenX"})
            : is_instance_of_globals(first, flatten_family());
    return step_major ? fold_target_blocks(y_pred, py::int_(n_targets(self))) : y_pred;
}

// The dtype of the null padding: numeric predictions are padded with NaN and stay numeric
// (complex and float keep their type, integers and booleans become float64); anything else
// is padded with None in an object array (null when the padding is not numeric).
py::object numeric_padding_dtype(py::handle y) {
    py::object dtype = y.attr("dtype");
    const std::string kind = py::str(dtype.attr("kind"));
    if (kind == "f" || kind == "c") return dtype;
    if (kind == "i" || kind == "u" || kind == "b") return np().attr("float64");
    return py::object();
}

// Null rows in front, so that the predictions end on the last input row: the null padding
// less its last num_predictions rows (or len(y_pred) rows), then the kept predictions.
py::object pad_in_front(py::handle y_pred, Py_ssize_t num_samples, py::handle num_predictions) {
    py::object numpy = np();
    const Py_ssize_t predicted = length(y_pred);
    const bool keep_last = py_gt(num_predictions, 0);
    // `padding[:-k]` of num_samples rows, and `y_pred[-k:]`.
    const Py_ssize_t k = keep_last ? index_value(num_predictions) : predicted;
    const Py_ssize_t pad_rows = k == 0 ? 0 : std::max<Py_ssize_t>(0, num_samples - k);
    py::object kept = keep_last ? slice(y_pred, -k, py::none()) : py::reinterpret_borrow<py::object>(y_pred);
    const Py_ssize_t rows = pad_rows + length(kept);
    py::object dtype = numeric_padding_dtype(y_pred);
    const bool numeric = static_cast<bool>(dtype);
    if (!numeric) dtype = py::module_::import("builtins").attr("object");
    py::object fill = numeric ? numpy.attr("nan") : py::object(py::none());
    py::object shape = py::len(y_pred.attr("shape")) == 1
                           ? py::object(py::make_tuple(rows))
                           : py::object(py::make_tuple(rows, item(y_pred.attr("shape"), 1)));
    py::object out = numpy.attr("full")(shape, fill, py::arg("dtype") = dtype);
    out[slice_key(pad_rows, py::none())] = kept;
    return out;
}

// The windows of X through the transformer, and the estimator's predictions for them.
py::object estimator_predictions(py::handle self, py::handle X) {
    auto transformed = unpack_pair(self.attr("_data_transform")(X, py::arg("y") = py::none()));
    py::object Xt = transformed.first;
    if (truthy(self.attr("multivariate_column_encoding"))) Xt = self.attr("_multi_variate_col_encoder")(Xt);
    return self.attr("estimator").attr("predict")(Xt);
}

GUSK_METHOD(predict_, "_predict",
            "Run the fitted transformers and estimator over every window of X; with pred_win 1 the\n"
            "result is padded in front with null rows to the length of X.",
            {"self"}, {"X"}, {"num_predictions", "-1"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object numpy = np();
    const Py_ssize_t num_samples = index_value(item(X.attr("shape"), 0));
    X = self.attr("_input_data_transformation")(X);
    py::object y_pred = recursive_loop::window_predictions(self, X);
    if (y_pred.is_none()) y_pred = estimator_predictions(self, X);
    y_pred = inverse_target_transformation(self, y_pred);
    y_pred = fold_step_major_rows(self, y_pred);
    y_pred = self.attr("_output_data_transformation")(y_pred);
    py::object infinite = numpy.attr("isinf")(y_pred);
    if (truthy(infinite.attr("any")())) y_pred[infinite] = py::none();
    if (!py_eq(self.attr("pred_win"), 1)) return y_pred;
    return pad_in_front(y_pred, num_samples, a["num_predictions"]);
}

GUSK_METHOD(predict_sliding_window, "predict_sliding_window",
            "One-step predictions for every window of X, padded in front to the length of X.", {"self"},
            {"X"}) {
    py::object self = a["self"];
    require_fitted(self, "predict_sliding_window");
    return self.attr("_predict")(a["X"]).attr("reshape")(-1, n_targets(self));
}

// In-sample predictions of the rows of X, the stored look-back rows in front: a model with
// history predicts the first rows of X too.
py::object sliding_window_after_history(py::handle self, py::handle X, bool one_step) {
    py::object history = self.attr("lookback_data_X");
    const Py_ssize_t history_rows = is_none(history) || is_none(X) ? 0 : length(history);
    py::object rows = self.attr("_add_lookback_history_to_X")(X);
    if (!one_step) return self.attr("predict_multi_step_sliding_window")(rows);
    return rows_from(self.attr("predict_sliding_window")(rows), history_rows);
}

// A multi-output model (pred_win > 1) asked for one forecast: its single window yields all
// pred_win steps at once, so the forecast takes pred_win placeholder rows and the multi-step
// path (the one-step sliding path would cut the unpadded steps away as history).
bool forecasts_one_multi_step_window(py::handle self) {
    return py_eq(self.attr("multistep_prediction_win"), 1) && py_gt(self.attr("pred_win"), 1);
}

// With pred_win > 1 a forecast is one window of pred_win steps, whatever the strategy: a
// horizon within it is its first steps, a longer one cannot be served. (A horizon of 1, the
// default, keeps meaning the whole window.)
bool horizon_within_window(py::handle self) {
    py::object pred_win = self.attr("pred_win");
    py::object steps = self.attr("multistep_prediction_win");
    return PyLong_Check(pred_win.ptr()) && PyLong_Check(steps.ptr()) && py_gt(pred_win, 1) &&
           py_gt(steps, 1) && py_lt(steps, pred_win);
}

void refuse_horizon_beyond_window(py::handle self) {
    py::object pred_win = self.attr("pred_win");
    py::object steps = self.attr("multistep_prediction_win");
    if (!PyLong_Check(pred_win.ptr()) || !PyLong_Check(steps.ptr()) || !py_gt(pred_win, 1) ||
        !py_gt(steps, pred_win)) {
        return;
    }
    raise_value_error("multistep_prediction_win=" + text_of(steps) +
                      " asks for more steps than the model forecasts "
                      "from one window (pred_win=" +
                      text_of(pred_win) +
                      "). Forecast at most pred_win steps, "
                      "fit with pred_win=" +
                      text_of(steps) +
                      ", or use pred_win=1 with "
                      "multistep_prediction_strategy='recursive' for longer horizons.");
}

// A recursive forecast's window holds its first step only: the plan's first pred_win rows, in
// its look-ahead columns; the loop brings in the later rows.
py::object first_step_of_plan(py::handle self, py::handle plan) {
    py::object rows = slice_key(py::none(), self.attr("pred_win"));
    py::object columns = slice_key(py::none(), length(self.attr("look_ahead_fcolumns")));
    return plan[py::make_tuple(rows, columns)];
}

// The model input of a forecast: the last look-back rows, then the rows to be forecast
// (future exogenous values, or placeholders).
py::object forecast_window(py::handle self, py::object X, py::handle supporting_features,
                           py::handle max_lookback) {
    py::object numpy = np();
    py::object pred_win = self.attr("pred_win");
    if (has_look_ahead_columns(self)) {
        py::object future = is_none(supporting_features)
                                ? self.attr("look_ahead_mean")
                                : py::reinterpret_borrow<py::object>(supporting_features);
        X = self.attr("_add_exogenous_to_X")(X, future);
        X = rows_from(X, row_count(X) - (max_lookback + pred_win));
        X[numpy.attr("isnan")(X)] = py::float_(0.0);
        return X;
    }
    py::object lookback = has_look_ahead_setting(self) ? py::reinterpret_borrow<py::object>(max_lookback)
                                                       : self.attr("lookback_win");
    X = rows_from(X, row_count(X) - lookback);
    if (py_gt(pred_win, 0)) {
        const bool window_of_steps = strategy_is_recursive(self) || forecasts_one_multi_step_window(self) ||
                                     horizon_within_window(self);
        py::object rows = window_of_steps ? pred_win : self.attr("multistep_prediction_win");
        X = append_rows(X, zero_rows(rows, X, window_of_steps ? "pred_win" : "multistep_prediction_win"));
    }
    return X;
}

// Only the last look-back rows of a forecast's input reach the model; a sliding-window
// prediction reads every row.
py::object rows_predict_reads(py::handle X, py::handle prediction_type, py::handle max_lookback) {
    py::object X_ = py::reinterpret_borrow<py::object>(X);
    if (py::isinstance<py::str>(prediction_type) &&
        py_eq(prediction_type.attr("lower")(), global("Score").attr("PREDICT_SLIDING_WINDOW"))) {
        return X_;
    }
    if (!PyIndex_Check(max_lookback.ptr()) || !py_gt(max_lookback, 0)) return X_;
    const Py_ssize_t skipped = length(X) - index_value(max_lookback);
    return skipped > 0 ? rows_from(X, skipped) : X_;
}

// Settings a forecast cannot do without, refused with what to use instead.
void check_forecast_settings(py::handle self) {
    py::object strategy = self.attr("multistep_prediction_strategy");
    const std::string word = strategy_word(self);
    if (!is_none(strategy) && word != "recursive" && word != "multioutput" && word != "direct") {
        pyclass::raise(PyExc_ValueError,
                       "multistep_prediction_strategy must be None, 'recursive' (one step at a time, "
                       "each prediction fed back) or 'multioutput' (all steps at once; 'direct' "
                       "means the same), in any letter case; got " +
                           std::string(py::repr(strategy)) + ".");
    }
    py::object steps = self.attr("multistep_prediction_win");
    if (PyIndex_Check(steps.ptr()) && py_lt(steps, 1)) {
        pyclass::raise(PyExc_ValueError,
                       "multistep_prediction_win is the number of steps to forecast and must be at "
                       "least 1; got " +
                           std::string(py::repr(steps)) + ". Use 1 for a one-step forecast.");
    }
}

// X as a float matrix, refused when the rows the model reads hold NaN.
py::object checked_input(py::handle self, py::object X, py::handle prediction_type, py::handle max_lookback) {
    if (is_none(X)) return X;
    py::object numpy = np();
    X = validated_input(X);
    require_fitted_columns(self, X);
    py::object read = rows_predict_reads(X, prediction_type, max_lookback);
    if (py_gt(numpy.attr("count_nonzero")(numpy.attr("isnan")(read)), 0)) raise_catalogue("ORVANE0067E");
    return X;
}

// The in-sample predictions that a sliding-window request asks for.
py::object sliding_window_predictions(py::handle self, py::handle X, py::handle prediction_type) {
    py::object pred_win = self.attr("pred_win");
    const bool one_step = py_eq(pred_win, 1);
    if (truthy(self.attr("store_lookback_history")) && (one_step || py_gt(pred_win, 1))) {
        return sliding_window_after_history(self, X, one_step);
    }
    if (one_step) return self.attr("predict_sliding_window")(X);
    if (py_gt(pred_win, 1)) return self.attr("predict_multi_step_sliding_window")(X);
    raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
}

// A forecast needs at least the look-back rows.
void refuse_short_input(py::handle X, py::handle max_lookback) {
    if (!py_lt(row_count(X) - max_lookback, 0)) return;
    py::object builtins = py::module_::import("builtins");
    raise_catalogue("ORVANE0047E", py::make_tuple(builtins.attr("format")(max_lookback),
                                                  builtins.attr("format")(row_count(X))));
}

// The forecast of the window X (look-back rows, then the rows to be forecast), by strategy.
py::object forecast_of_window(py::handle self, py::handle X, py::handle plan, bool recursive,
                              py::handle max_lookback) {
    if (py_eq(self.attr("multistep_prediction_win"), 1) && !forecasts_one_multi_step_window(self)) {
        py::object y_pred = self.attr("predict_sliding_window")(X);
        const bool no_placeholders = py_eq(self.attr("pred_win"), 0);
        return rows_from(y_pred, no_placeholders ? max_lookback - py::int_(1) : max_lookback);
    }
    if (py_eq(self.attr("pred_win"), 1) && strategy_is_recursive(self)) {
        return recursive && !is_none(plan)
                   ? self.attr("_recursive_predict_helper")(X, py::arg("supporting_features") = plan)
                   : self.attr("_recursive_predict_helper")(X);
    }
    py::object y_pred =
        self.attr("predict_multi_step_sliding_window")(X).attr("reshape")(-1, n_targets(self));
    if (!horizon_within_window(self)) return y_pred;
    return slice(y_pred, py::none(), self.attr("multistep_prediction_win"));
}

py::object forecast_from_arrays(const Args& a, py::object X) {
    py::object self = a["self"];
    py::object supporting_features = a["supporting_features"];
    py::object prediction_type = a["prediction_type"];
    py::object numpy = np();

    if (is_instance(supporting_features, numpy.attr("matrix"))) {
        supporting_features = numpy.attr("squeeze")(numpy.attr("asarray")(supporting_features));
    }
    require_fitted(self, "predict");
    py::object max_lookback = prediction_lookback(self);
    X = checked_input(self, X, prediction_type, max_lookback);
    if (!is_none(prediction_type)) {
        py::object score = global("Score");
        py::object lowered = prediction_type.attr("lower")();
        if (py_eq(lowered, score.attr("PREDICT_SLIDING_WINDOW"))) {
            return sliding_window_predictions(self, X, prediction_type);
        }
        if (py_ne(lowered, score.attr("PREDICT_FORECAST"))) {
            raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
        }
    }
    check_forecast_settings(self);
    refuse_unservable_horizon(self);
    if (truthy(self.attr("store_lookback_history"))) X = self.attr("_add_lookback_history_to_X")(X);
    refuse_short_input(X, max_lookback);
    refuse_horizon_beyond_window(self);
    const bool recursive = forecasts_recursively(self);
    py::object plan = future_plan(self, supporting_features, recursive);
    const bool recursive_look_ahead = recursive && has_look_ahead_columns(self);
    X = forecast_window(self, X, recursive_look_ahead ? first_step_of_plan(self, plan) : supporting_features,
                        max_lookback);
    return forecast_of_window(self, X, plan, recursive, max_lookback);
}

// A pandas X is read as an array, and the forecast made from it is labelled with its time stamps.
GUSK_METHOD(predict, "predict",
            "Forecast the steps after the end of X.\n\n"
            "Parameters\n----------\n"
            "X : array-like of shape (n_rows, n_columns), default None\n"
            "    The latest rows of the series (None: the stored look-back history alone).\n"
            "supporting_features : array-like, default None\n"
            "    Future values of the look-ahead columns, one row per predicted step (pred_win rows;\n"
            "    multistep_prediction_win rows for a recursive forecast, which also needs the future\n"
            "    of every other feature column that is not a target, in further columns).\n"
            "prediction_type : str, default None\n"
            "    'forecast' (default) or 'sliding_window' (in-sample predictions), any letter case.\n\n"
            "Returns\n-------\nndarray with one row per predicted step and one column per target.",
            {"self"}, {"X", "None"}, {"supporting_features", "None"}, {"prediction_type", "None"}) {
    py::object y_pred = forecast_from_arrays(a, frames("to_array")(a["self"], a["X"]));
    return frames("forecast_output")(a["self"], y_pred, a["X"], a["prediction_type"]);
}

}  // namespace
}  // namespace gusk
