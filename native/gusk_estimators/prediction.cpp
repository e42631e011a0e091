// Forecasts, sliding-window and recursive prediction, look-back history, exogenous input,
// prediction intervals and the multi-step sliding-window methods.
#include "gusk_estimators/gusk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gusk {
namespace {

using pyclass::Args;

py::object np() { return global("np"); }

Py_ssize_t n_targets(py::handle self) { return pyclass::length(self.attr("target_columns")); }

py::object rows_from(py::handle X, py::handle start) { return pyclass::slice(X, start, py::none()); }

// `X.shape[0]` as a Python int.
py::object row_count(py::handle X) { return pyclass::item(X.attr("shape"), 0); }

// `self.look_ahead_fcolumns != None` (an inequality test, as the pipeline has always used).
bool has_look_ahead_setting(py::handle self) {
    return pyclass::py_ne(self.attr("look_ahead_fcolumns"), py::none());
}

bool has_look_ahead_columns(py::handle self) {
    return has_look_ahead_setting(self) && pyclass::length(self.attr("look_ahead_fcolumns")) > 0;
}

py::object max_lookback_of(py::handle self) {
    return global("get_max_lookback")(self.attr("lookback_win"));
}

// The look-back that predict and the interval helper use: the maximum over per-column windows
// when a look-ahead setting exists, else `lookback_win` itself.
py::object prediction_lookback(py::handle self) {
    return has_look_ahead_setting(self) ? max_lookback_of(self) : self.attr("lookback_win");
}

// The strategy in lower case ("recursive", "multioutput" or the command line's "direct"), or
// an empty text for None or a value that is not text.
std::string strategy_word(py::handle self) {
    py::object strategy = self.attr("multistep_prediction_strategy");
    if (!py::isinstance<py::str>(strategy)) return "";
    return strategy.attr("lower")().cast<std::string>();
}

bool strategy_is_recursive(py::handle self) { return strategy_word(self) == "recursive"; }

// ValueError naming `setting` when `rows` rows of `columns` float64 values could never be
// allocated on this machine; counts that are not integers are left to NumPy.
void refuse_unallocatable_rows(const char* setting, py::handle rows, py::handle columns) {
    if (!PyIndex_Check(rows.ptr()) || !PyLong_Check(columns.ptr())) return;
    const Py_ssize_t width = std::max<Py_ssize_t>(1, PyNumber_AsSsize_t(columns.ptr(), nullptr));
    if (PyErr_Occurred()) throw py::error_already_set();
    const Py_ssize_t most_rows = pyclass::allocatable_bytes() / width / Py_ssize_t{8};
    if (!pyclass::py_gt(rows, py::int_(most_rows))) return;
    pyclass::raise(PyExc_ValueError,
                   std::string(setting) + "=" + std::string(py::str(rows)) + " needs " +
                       std::string(py::str(rows)) + " rows of " + std::to_string(width) +
                       " float64 values, more than this machine can ever allocate (" +
                       std::to_string(pyclass::allocatable_bytes()) + " bytes)");
}

// `np.full((rows, X.shape[1]), 0.0)`, the placeholder rows counted by `setting`.
py::object zero_rows(py::handle rows, py::handle X, const char* setting = "pred_win") {
    py::object columns = pyclass::item(X.attr("shape"), 1);
    refuse_unallocatable_rows(setting, rows, columns);
    return np().attr("full")(py::make_tuple(rows, columns), 0.0);
}

py::object append_rows(py::handle X, py::handle rows) {
    return np().attr("concatenate")(py::make_tuple(X, rows));
}

// A new row whose target columns hold `values` (flat positions equal column indices for one
// row) and whose other cells are 0.
py::object row_with_targets(py::handle self, py::handle X, py::handle values) {
    py::object numpy = np();
    py::object new_row = numpy.attr("zeros")(py::make_tuple(1, pyclass::item(X.attr("shape"), 1)));
    numpy.attr("put")(new_row, self.attr("target_columns"), values);
    return new_row;
}

// The rows that follow the shortened window in a recursive step: one row carrying the
// predicted targets, then pred_win placeholder rows, built as one block when pred_win is a
// plain non-negative int.
py::object next_rows(py::handle self, py::handle X, py::handle pred) {
    py::object pred_win = self.attr("pred_win");
    if (!PyLong_CheckExact(pred_win.ptr()) || pyclass::py_lt(pred_win, py::int_(0))) {
        return append_rows(row_with_targets(self, X, pred), zero_rows(pred_win, X));
    }
    py::object numpy = np();
    py::object columns = pyclass::item(X.attr("shape"), 1);
    refuse_unallocatable_rows("pred_win", pred_win, columns);
    py::object block = numpy.attr("zeros")(py::make_tuple(py::int_(1) + pred_win, columns));
    numpy.attr("put")(pyclass::slice(block, py::none(), py::int_(1)), self.attr("target_columns"), pred);
    return block;
}

// A plain 2-D float64 ndarray with at least one column, which check_array below would hand back
// as it is: the common case is spared its cost (tens of microseconds per forecast).
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

// The number of targets to size a forecast with: at least 1, and 1 when target_columns has no
// length (the prediction path itself reports that).
Py_ssize_t targets_for_sizing(py::handle self) {
    PyObject* columns = PyObject_GetAttrString(self.ptr(), "target_columns");
    const Py_ssize_t count = columns ? PyObject_Length(columns) : -1;
    Py_XDECREF(columns);
    if (count < 0) PyErr_Clear();
    return std::max<Py_ssize_t>(1, count);
}

// ValueError naming multistep_prediction_win when `windows` forecasts of that many steps could
// never be allocated. A value that is not an integer is left to the code that uses it.
void refuse_unservable_horizon(py::handle self, Py_ssize_t windows = 1) {
    py::object steps_value = self.attr("multistep_prediction_win");
    if (!PyIndex_Check(steps_value.ptr())) return;
    const py::object steps = py::reinterpret_steal<py::object>(PyNumber_Index(steps_value.ptr()));
    if (!steps) throw py::error_already_set();
    const Py_ssize_t targets = targets_for_sizing(self);
    const Py_ssize_t limit = pyclass::allocatable_bytes();
    // Compared as a quotient, so that no product can overflow.
    const Py_ssize_t most_steps = limit / std::max<Py_ssize_t>(1, windows) / targets / Py_ssize_t{8};
    if (!pyclass::py_gt(steps, py::int_(most_steps))) return;
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

// ---------------------------------------------------------------------------------------------
// Look-back history and exogenous input

GUSK_METHOD(store_lookback_history_X, "_store_lookback_history_X",
"Keep (a copy of) the last look-back rows of X, and the look-ahead means of exogenous\n"
    "pipelines, for later forecasts.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (!truthy(self.attr("store_lookback_history"))) raise_catalogue("ORVANE0045E");
    py::object max_lookback = max_lookback_of(self);
    if (!pyclass::py_gt(max_lookback, py::int_(0))) {
        self.attr("lookback_data_X") = py::none();
        return py::none();
    }
    py::object numpy = np();
    py::object start = row_count(X) - max_lookback;
    py::object key = py::make_tuple(py::reinterpret_steal<py::object>(PySlice_New(start.ptr(), nullptr, nullptr)),
                                    py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr)));
    // A copy: the history must not change when the caller later reuses its array.
    py::object history = numpy.attr("array")(X[key]);
    self.attr("lookback_data_X") = history;
    if (has_look_ahead_columns(self)) {
        py::object look_ahead = self.attr("look_ahead_fcolumns");
        py::object columns = py::make_tuple(py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr)),
                                            look_ahead);
        py::object mean = numpy.attr("nanmean")(history[columns], py::arg("axis") = 0);
        mean = mean.attr("reshape")(-1, pyclass::length(look_ahead));
        self.attr("look_ahead_mean") =
            numpy.attr("repeat")(mean, self.attr("pred_win"), py::arg("axis") = 0);
    }
    return py::none();
}

GUSK_METHOD(add_lookback_history_to_X, "_add_lookback_history_to_X",
"Prepend the stored look-back rows to X (X may be None).",
{"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (!truthy(self.attr("store_lookback_history"))) raise_catalogue("ORVANE0045E");
    const bool has_history = pyclass::py_gt(max_lookback_of(self), py::int_(0));
    if (is_none(X)) {
        return has_history ? self.attr("lookback_data_X").attr("copy")() : X;
    }
    if (!has_history) return X;
    py::object history = self.attr("lookback_data_X");
    try {
        py::list parts;
        parts.append(history);
        parts.append(X);
        return np().attr("concatenate")(parts);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_catalogue_from("ORVANE0055E", py::make_tuple(py::str(e.value())), e);
    }
}

// New observations join the stored look-back rows, so the next forecast starts after them
// without refitting; the look-ahead means follow the newest rows too.
GUSK_METHOD(update, "update",
"Add new observations to the stored look-back history without refitting.\n\n"
    "Parameters\n----------\n"
    "X : array-like of shape (n_rows, n_columns)\n"
    "    The rows observed since the last fit or update, oldest first, with the columns of\n"
    "    the data given to fit. Needs store_lookback_history=True.\n\n"
    "Returns\n-------\nself : object\n"
    "    ``predict(None)`` then forecasts the steps after these rows.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    if (!truthy(self.attr("store_lookback_history"))) raise_catalogue("ORVANE0045E");
    if (!pyclass::has_attr(self, "lookback_data_X")) {
        pyclass::raise(pyclass::import_from("sklearn.exceptions", "NotFittedError"),
                       py::str("This " + py::str(self.attr("__class__").attr("__name__")).cast<std::string>() +
                               " has no stored history yet: call fit before update."));
    }
    py::object X = validated_input(a["X"]);
    if (!pyclass::py_eq(X.attr("ndim"), py::int_(2))) {
        pyclass::raise(PyExc_ValueError, "update(X) takes the new rows as a 2-D array (one row per time step, the "
                                         "columns of the data given to fit); got an array of shape " +
                                             py::str(X.attr("shape")).cast<std::string>() + ".");
    }
    self.attr("_store_lookback_history_X")(self.attr("_add_lookback_history_to_X")(X));
    return self;
}

// In-sample predictions of the rows of X, the stored look-back rows in front: a model with
// history predicts the first rows of X too.
py::object sliding_window_after_history(py::handle self, py::handle X, bool one_step) {
    py::object history = self.attr("lookback_data_X");
    const Py_ssize_t history_rows = is_none(history) || is_none(X) ? 0 : pyclass::length(history);
    py::object rows = self.attr("_add_lookback_history_to_X")(X);
    if (!one_step) return self.attr("predict_multi_step_sliding_window")(rows);
    return rows_from(self.attr("predict_sliding_window")(rows), py::int_(history_rows));
}

[[noreturn]] void raise_assertion(const char* message) { pyclass::raise(PyExc_AssertionError, message); }

GUSK_METHOD(add_exogenous_to_X, "_add_exogenous_to_X",
"Append pred_win future rows carrying the known look-ahead values (other cells NaN).",
{"self"}, {"X"}, {"exogenous"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object exogenous = a["exogenous"];
    py::object numpy = np();
    if (pyclass::length(exogenous.attr("shape")) == 1) exogenous = exogenous.attr("reshape")(-1, 1);
    py::object pred_win = self.attr("pred_win");
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    if (pyclass::assertions_enabled()) {
        if (!pyclass::py_eq(pred_win, py::int_(pyclass::length(exogenous)))) {
            raise_assertion("number of rows in exogenous cols should match with pred win.");
        }
        if (!pyclass::py_eq(py::int_(pyclass::length(look_ahead)), pyclass::item(exogenous.attr("shape"), 1))) {
            raise_assertion("exogenous cols not in proper format.");
        }
    }
    py::object new_rows = numpy.attr("full")(py::make_tuple(pred_win, pyclass::item(X.attr("shape"), 1)),
                                             numpy.attr("nan"));
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    Py_ssize_t idx = 0;
    for (py::handle column : look_ahead) {
        new_rows[py::make_tuple(all_rows, column)] = exogenous[py::make_tuple(all_rows, py::int_(idx))];
        ++idx;
    }
    return numpy.attr("vstack")(py::make_tuple(X, new_rows));
}

// ---------------------------------------------------------------------------------------------
// Known future values ("plans")
//
// A forecast reads some feature columns at the steps it forecasts: the look-ahead columns, and,
// when it feeds its own predictions back as input, every other feature column that is not a
// target. Their values there are not in X, so they come from the caller's plan (one row per
// forecast step) or, for look-ahead columns, from the means stored with the history. They are
// never made up as zeros.

bool forecasts_recursively(py::handle self) {
    return !pyclass::py_eq(self.attr("multistep_prediction_win"), py::int_(1)) &&
           pyclass::py_eq(self.attr("pred_win"), py::int_(1)) && strategy_is_recursive(self);
}

bool contains(py::handle sequence, py::handle value) {
    const int found = PySequence_Contains(sequence.ptr(), value.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// The columns a plan fills, in the order of its columns: the look-ahead columns, then (for a
// recursive forecast) the other feature columns that are not targets.
py::list plan_columns(py::handle self, bool recursive) {
    py::list columns;
    if (has_look_ahead_columns(self)) {
        for (py::handle column : self.attr("look_ahead_fcolumns")) columns.append(column);
    }
    if (!recursive) return columns;
    py::object targets = py::module_::import("builtins").attr("list")(self.attr("target_columns"));
    for (py::handle column : self.attr("feature_columns")) {
        if (!contains(targets, column) && !contains(columns, column)) columns.append(column);
    }
    return columns;
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// The caller's plan as a float matrix of exactly the rows and columns the forecast needs.
py::object checked_plan(py::handle supporting_features, const py::list& columns, py::handle rows) {
    py::object numpy = np();
    py::object plan = numpy.attr("array")(supporting_features, py::arg("dtype") = numpy.attr("float64"));
    if (pyclass::py_eq(plan.attr("ndim"), py::int_(1))) plan = plan.attr("reshape")(-1, 1);
    const bool fits = pyclass::py_eq(plan.attr("ndim"), py::int_(2)) &&
                      pyclass::py_eq(row_count(plan), rows) &&
                      pyclass::py_eq(pyclass::item(plan.attr("shape"), 1), py::int_(pyclass::length(columns)));
    if (!fits) {
        raise_value_error("supporting_features has shape " + text_of(plan.attr("shape")) + ", but this forecast needs " +
                          text_of(rows) + " rows (one per forecast step) and " +
                          std::to_string(pyclass::length(columns)) + " column(s), the future values of columns " +
                          text_of(columns) + " in that order.");
    }
    return plan;
}

// The future values of the plan columns at every forecast step: the caller's plan, the stored
// look-ahead means, or a ValueError that says what is missing. None when nothing is needed.
py::object future_plan(py::handle self, py::handle supporting_features, bool recursive) {
    py::list columns = plan_columns(self, recursive);
    if (pyclass::length(columns) == 0) return py::none();
    py::object rows = recursive ? self.attr("multistep_prediction_win") : self.attr("pred_win");
    if (!is_none(supporting_features)) return checked_plan(supporting_features, columns, rows);
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    const bool only_look_ahead = has_look_ahead_columns(self) && pyclass::length(look_ahead) == pyclass::length(columns);
    if (only_look_ahead && pyclass::has_attr(self, "look_ahead_mean")) {
        py::object means = self.attr("look_ahead_mean");
        if (!recursive) return means;
        return np().attr("repeat")(rows_from(means, py::int_(-1)), rows, py::arg("axis") = 0);
    }
    if (only_look_ahead) {
        raise_value_error("This model reads the future values of look_ahead_fcolumns=" + text_of(look_ahead) +
                          ": pass them to predict as supporting_features (" + text_of(rows) +
                          " rows, one per forecast step), or fit with store_lookback_history=True to use "
                          "their recent means.");
    }
    raise_value_error("A recursive forecast of " + text_of(rows) +
                      " steps feeds its predictions back as input, so it needs the values of columns " +
                      text_of(columns) + " (features that are not targets) at every forecast step, and X "
                      "does not hold them. Pass them as supporting_features (" + text_of(rows) +
                      " rows, one column per column listed), or forecast all steps at once with "
                      "multistep_prediction_strategy='multioutput' and pred_win=" + text_of(rows) + ".");
}

// `rows[:n, columns] = plan[:n]`, n the rows both have; NaN in the plan enter as 0, as in every
// forecast window.
void write_plan_rows(py::handle self, py::handle rows, py::handle plan, bool recursive) {
    py::object numpy = np();
    const Py_ssize_t n = std::min(pyclass::length(rows), pyclass::length(plan));
    py::object values = numpy.attr("nan_to_num")(pyclass::slice(plan, py::none(), py::int_(n)),
                                                 py::arg("nan") = 0.0, py::arg("posinf") = numpy.attr("inf"),
                                                 py::arg("neginf") = -std::numeric_limits<double>::infinity());
    py::object first_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, py::int_(n).ptr(), nullptr));
    rows[py::make_tuple(first_rows, plan_columns(self, recursive))] = values;
}

// ---------------------------------------------------------------------------------------------
// The prediction engine

// Undo the first transformer's target transformation (step 6 of the engine).
py::object inverse_target_transformation(py::handle self, py::object y_pred) {
    py::object first = pyclass::item(self.attr("transformer_steps"), 0);
    const bool target_transformer = pyclass::is_instance(first, global("TargetTransformer"));
    if (pyclass::py_eq(self.attr("pred_win"), py::int_(1))) {
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
    if (pyclass::py_eq(self.attr("pred_win"), py::int_(1))) return y_pred;
    py::object first = pyclass::item(self.attr("transformer_steps"), 0);
    const bool step_major =
        has_look_ahead_setting(self)
            ? is_instance_of_globals(first, {"NormalizedFlatten", "DifferenceNormalizedFlatten",
                                             "LocalizedFlatten", "DifferenceFlatten",
                                             "LocalizedFlattenX", "DifferenceFlattenX"})
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
    const Py_ssize_t predicted = pyclass::length(y_pred);
    const bool keep_last = pyclass::py_gt(num_predictions, py::int_(0));
    // `padding[:-k]` of num_samples rows, and `y_pred[-k:]`.
    const Py_ssize_t k = keep_last ? pyclass::index_value(num_predictions) : predicted;
    const Py_ssize_t pad_rows = k == 0 ? 0 : std::max<Py_ssize_t>(0, num_samples - k);
    py::object kept = keep_last ? pyclass::slice(y_pred, py::int_(-k), py::none())
                                : py::reinterpret_borrow<py::object>(y_pred);
    const Py_ssize_t rows = pad_rows + pyclass::length(kept);
    py::object dtype = numeric_padding_dtype(y_pred);
    const bool numeric = static_cast<bool>(dtype);
    if (!numeric) dtype = py::module_::import("builtins").attr("object");
    py::object fill = numeric ? numpy.attr("nan") : py::object(py::none());
    py::object shape = py::len(y_pred.attr("shape")) == 1
                           ? py::object(py::make_tuple(rows))
                           : py::object(py::make_tuple(rows, pyclass::item(y_pred.attr("shape"), 1)));
    py::object out = numpy.attr("full")(shape, fill, py::arg("dtype") = dtype);
    out[py::reinterpret_steal<py::object>(PySlice_New(py::int_(pad_rows).ptr(), nullptr, nullptr))] = kept;
    return out;
}

// The windows of X through the transformer, and the estimator's predictions for them.
py::object estimator_predictions(py::handle self, py::handle X) {
    auto transformed = pyclass::unpack_pair(self.attr("_data_transform")(X, py::arg("y") = py::none()));
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
    const Py_ssize_t num_samples = pyclass::index_value(pyclass::item(X.attr("shape"), 0));
    X = self.attr("_input_data_transformation")(X);
    py::object y_pred = recursive_loop::window_predictions(self, X);
    if (y_pred.is_none()) y_pred = estimator_predictions(self, X);
    y_pred = inverse_target_transformation(self, y_pred);
    y_pred = fold_step_major_rows(self, y_pred);
    y_pred = self.attr("_output_data_transformation")(y_pred);
    py::object infinite = numpy.attr("isinf")(y_pred);
    if (truthy(infinite.attr("any")())) y_pred[infinite] = py::none();
    if (!pyclass::py_eq(self.attr("pred_win"), py::int_(1))) return y_pred;
    return pad_in_front(y_pred, num_samples, a["num_predictions"]);
}

GUSK_METHOD(predict_sliding_window, "predict_sliding_window",
"One-step predictions for every window of X, padded in front to the length of X.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    require_fitted(self, "predict_sliding_window");
    return self.attr("_predict")(a["X"]).attr("reshape")(-1, n_targets(self));
}

// The recursive loop with a plan: before each step the row being forecast receives that
// step's planned values, and it keeps them when it becomes part of the look-back.
py::object recursive_steps_with_plan(py::handle self, py::handle X, py::handle plan, py::handle max_lookback) {
    py::object numpy = np();
    py::object window = numpy.attr("array")(rows_from(X, row_count(X) - max_lookback - py::int_(1)),
                                            py::arg("dtype") = numpy.attr("float64"));
    const py::tuple newest_row_targets = py::make_tuple(-2, self.attr("target_columns"));
    py::list preds;
    const Py_ssize_t steps = pyclass::loop_count(self.attr("multistep_prediction_win"));
    for (Py_ssize_t step = 0; step < steps; ++step) {
        write_plan_rows(self, rows_from(window, py::int_(-1)), pyclass::slice(plan, py::int_(step), py::none()), true);
        py::object pred = rows_from(self.attr("predict_sliding_window")(window), max_lookback);
        preds.append(pred);
        window = append_rows(rows_from(window, py::int_(1)), zero_rows(py::int_(1), window));
        window[newest_row_targets] = pred.attr("reshape")(-1);
    }
    if (preds.empty()) return preds.attr("flatten")();  // the interpreter's AttributeError
    return numpy.attr("concatenate")(preds).attr("reshape")(-1, n_targets(self));
}

GUSK_METHOD(recursive_predict_helper, "_recursive_predict_helper",
"Forecast multistep_prediction_win steps by feeding each one-step prediction back; a plan\n"
    "(one row per step) gives the future values of the columns the model does not forecast.",
{"self"}, {"X"}, {"supporting_features", "None"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object max_lookback = max_lookback_of(self);
    if (pyclass::has_attr(self, "is_recursive_multi_step_sliding") &&
        pyclass::py_eq(self.attr("is_recursive_multi_step_sliding"), py::bool_(true))) {
        return rows_from(self.attr("predict_sliding_window")(X), max_lookback);
    }
    refuse_unservable_horizon(self);
    if (!is_none(a["supporting_features"])) {
        return recursive_steps_with_plan(self, X, a["supporting_features"], max_lookback);
    }
    py::list preds;
    const Py_ssize_t steps = pyclass::loop_count(self.attr("multistep_prediction_win"));
    Py_ssize_t step = 0;
    if (steps > 0) {
        py::object made_rows = recursive_loop::direct_steps(self, X, max_lookback, steps, step);
        if (step == steps) return made_rows;
        if (step > 0) preds.append(made_rows);
    }
    for (; step < steps; ++step) {
        py::object pred = rows_from(self.attr("predict_sliding_window")(X), max_lookback);
        X = pyclass::slice(X, py::int_(1), max_lookback);
        X = append_rows(X, next_rows(self, X, pred));
        preds.append(pred);
    }
    if (preds.empty()) return preds.attr("flatten")();  // the interpreter's AttributeError
    return np().attr("concatenate")(preds).attr("flatten")().attr("reshape")(-1, n_targets(self));
}

// A multi-output model (pred_win > 1) asked for one forecast: its single window yields all
// pred_win steps at once, so the forecast takes pred_win placeholder rows and the multi-step
// path (the one-step sliding path would cut the unpadded steps away as history).
bool forecasts_one_multi_step_window(py::handle self) {
    return pyclass::py_eq(self.attr("multistep_prediction_win"), py::int_(1)) &&
           pyclass::py_gt(self.attr("pred_win"), py::int_(1));
}

// With pred_win > 1 a forecast is one window of pred_win steps, whatever the strategy: a
// horizon within it is its first steps, a longer one cannot be served. (A horizon of 1, the
// default, keeps meaning the whole window.)
bool horizon_within_window(py::handle self) {
    py::object pred_win = self.attr("pred_win");
    py::object steps = self.attr("multistep_prediction_win");
    return PyLong_Check(pred_win.ptr()) && PyLong_Check(steps.ptr()) && pyclass::py_gt(pred_win, py::int_(1)) &&
           pyclass::py_gt(steps, py::int_(1)) && pyclass::py_lt(steps, pred_win);
}

void refuse_horizon_beyond_window(py::handle self) {
    py::object pred_win = self.attr("pred_win");
    py::object steps = self.attr("multistep_prediction_win");
    if (!PyLong_Check(pred_win.ptr()) || !PyLong_Check(steps.ptr()) || !pyclass::py_gt(pred_win, py::int_(1)) ||
        !pyclass::py_gt(steps, pred_win)) {
        return;
    }
    raise_value_error("multistep_prediction_win=" + text_of(steps) + " asks for more steps than the model forecasts "
                      "from one window (pred_win=" + text_of(pred_win) + "). Forecast at most pred_win steps, "
                      "fit with pred_win=" + text_of(steps) + ", or use pred_win=1 with "
                      "multistep_prediction_strategy='recursive' for longer horizons.");
}

// A recursive forecast's window holds its first step only: the plan's first pred_win rows, in
// its look-ahead columns; the loop brings in the later rows.
py::object first_step_of_plan(py::handle self, py::handle plan) {
    py::object rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, self.attr("pred_win").ptr(), nullptr));
    py::object look_ahead_count = py::int_(pyclass::length(self.attr("look_ahead_fcolumns")));
    py::object columns = py::reinterpret_steal<py::object>(PySlice_New(nullptr, look_ahead_count.ptr(), nullptr));
    return plan[py::make_tuple(rows, columns)];
}

// The model input of a forecast: the last look-back rows, then the rows to be forecast
// (future exogenous values, or placeholders).
py::object forecast_window(py::handle self, py::object X, py::handle supporting_features,
                           py::handle max_lookback) {
    py::object numpy = np();
    py::object pred_win = self.attr("pred_win");
    if (has_look_ahead_columns(self)) {
        py::object future = is_none(supporting_features) ? self.attr("look_ahead_mean")
                                                         : py::reinterpret_borrow<py::object>(supporting_features);
        X = self.attr("_add_exogenous_to_X")(X, future);
        X = rows_from(X, row_count(X) - (max_lookback + pred_win));
        X[numpy.attr("isnan")(X)] = py::float_(0.0);
        return X;
    }
    py::object lookback = has_look_ahead_setting(self) ? py::reinterpret_borrow<py::object>(max_lookback)
                                                       : self.attr("lookback_win");
    X = rows_from(X, row_count(X) - lookback);
    if (pyclass::py_gt(pred_win, py::int_(0))) {
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
        pyclass::py_eq(prediction_type.attr("lower")(), global("Score").attr("PREDICT_SLIDING_WINDOW"))) {
        return X_;
    }
    if (!PyIndex_Check(max_lookback.ptr()) || !pyclass::py_gt(max_lookback, py::int_(0))) return X_;
    const Py_ssize_t skipped = pyclass::length(X) - pyclass::index_value(max_lookback);
    return skipped > 0 ? rows_from(X, py::int_(skipped)) : X_;
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
    if (PyIndex_Check(steps.ptr()) && pyclass::py_lt(steps, py::int_(1))) {
        pyclass::raise(PyExc_ValueError,
                       "multistep_prediction_win is the number of steps to forecast and must be at "
                       "least 1; got " + std::string(py::repr(steps)) +
                           ". Use 1 for a one-step forecast.");
    }
}

py::object forecast_from_arrays(const Args& a, py::object X) {
    py::object self = a["self"];
    py::object supporting_features = a["supporting_features"];
    py::object prediction_type = a["prediction_type"];
    py::object numpy = np();

    if (pyclass::is_instance(supporting_features, numpy.attr("matrix"))) {
        supporting_features = numpy.attr("squeeze")(numpy.attr("asarray")(supporting_features));
    }
    require_fitted(self, "predict");
    py::object max_lookback = prediction_lookback(self);
    if (!is_none(X)) {
        X = validated_input(X);
        require_fitted_columns(self, X);
        py::object read = rows_predict_reads(X, prediction_type, max_lookback);
        if (pyclass::py_gt(numpy.attr("count_nonzero")(numpy.attr("isnan")(read)), py::int_(0))) {
            raise_catalogue("ORVANE0067E");
        }
    }
    if (!is_none(prediction_type)) {
        py::object score = global("Score");
        py::object lowered = prediction_type.attr("lower")();
        if (pyclass::py_eq(lowered, score.attr("PREDICT_SLIDING_WINDOW"))) {
            py::object pred_win = self.attr("pred_win");
            const bool one_step = pyclass::py_eq(pred_win, py::int_(1));
            if (truthy(self.attr("store_lookback_history")) && (one_step || pyclass::py_gt(pred_win, py::int_(1)))) {
                return sliding_window_after_history(self, X, one_step);
            }
            if (one_step) return self.attr("predict_sliding_window")(X);
            if (pyclass::py_gt(pred_win, py::int_(1))) return self.attr("predict_multi_step_sliding_window")(X);
            raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
        } else if (pyclass::py_ne(lowered, score.attr("PREDICT_FORECAST"))) {
            raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
        }
    }
    check_forecast_settings(self);
    refuse_unservable_horizon(self);
    if (truthy(self.attr("store_lookback_history"))) X = self.attr("_add_lookback_history_to_X")(X);
    py::object builtins = py::module_::import("builtins");
    if (pyclass::py_lt(row_count(X) - max_lookback, py::int_(0))) {
        raise_catalogue("ORVANE0047E", py::make_tuple(builtins.attr("format")(max_lookback),
                                                      builtins.attr("format")(row_count(X))));
    }
    refuse_horizon_beyond_window(self);
    const bool recursive = forecasts_recursively(self);
    py::object plan = future_plan(self, supporting_features, recursive);
    const bool recursive_look_ahead = recursive && has_look_ahead_columns(self);
    X = forecast_window(self, X, recursive_look_ahead ? first_step_of_plan(self, plan) : supporting_features,
                        max_lookback);

    py::object y_pred;
    if (pyclass::py_eq(self.attr("multistep_prediction_win"), py::int_(1)) &&
        !forecasts_one_multi_step_window(self)) {
        y_pred = self.attr("predict_sliding_window")(X);
        const bool no_placeholders = pyclass::py_eq(self.attr("pred_win"), py::int_(0));
        y_pred = rows_from(y_pred, no_placeholders ? max_lookback - py::int_(1) : max_lookback);
    } else if (pyclass::py_eq(self.attr("pred_win"), py::int_(1)) && strategy_is_recursive(self)) {
        y_pred = recursive && !is_none(plan)
                     ? self.attr("_recursive_predict_helper")(X, py::arg("supporting_features") = plan)
                     : self.attr("_recursive_predict_helper")(X);
    } else {
        y_pred = self.attr("predict_multi_step_sliding_window")(X).attr("reshape")(-1, n_targets(self));
        if (horizon_within_window(self)) y_pred = pyclass::slice(y_pred, py::none(), self.attr("multistep_prediction_win"));
    }
    return y_pred;
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

// ---------------------------------------------------------------------------------------------
// Multi-step sliding windows

[[noreturn]] void cannot_serve(const std::string& reason) {
    raise_catalogue("ORVANE0051E", py::make_tuple(py::str(reason)));
}

GUSK_METHOD(predict_multi_step_sliding_window, "predict_multi_step_sliding_window",
"For every window of X, the forecast of the next steps: one row per window; reshape it\n"
    "with (-1, len(target_columns)) for one row per predicted step.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object pred_win = self.attr("pred_win");
    py::object steps = self.attr("multistep_prediction_win");
    if (!pyclass::py_ge(pred_win, py::int_(1))) cannot_serve("pred_win must be at least 1");
    if (!pyclass::py_ge(steps, py::int_(1))) cannot_serve("multistep_prediction_win must be at least 1");
    if (pyclass::py_gt(pred_win, py::int_(1))) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        return self.attr("_use_multioutput_version_of_multi_step_sliding_window")(X);
    }
    if (!strategy_is_recursive(self)) {
        cannot_serve("a one-step model (pred_win=1) forecasts several steps only with "
                     "multistep_prediction_strategy='recursive'");
    }
    // One step ahead needs no recursion: the sliding-window pass serves every window at once.
    self.attr("is_recursive_multi_step_sliding") = py::bool_(pyclass::py_eq(steps, py::int_(1)));
    try {
        py::object result = self.attr("_use_parallel_version_of_multi_step_sliding_window")(X);
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        return result;
    } catch (...) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        throw;
    }
}

GUSK_METHOD(use_multioutput_version_of_multi_step_sliding_window, "_use_multioutput_version_of_multi_step_sliding_window",
"Multi-step forecasts of every window of X from a multi-output model, in one pass.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    return self.attr("_predict")(a["X"]);
}

GUSK_METHOD(use_parallel_version_of_multi_step_sliding_window, "_use_parallel_version_of_multi_step_sliding_window",
"Recursive multi-step forecasts of every window of X, the windows spread over joblib workers.",
{"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object numpy = np();
    if (pyclass::has_attr(self, "is_recursive_multi_step_sliding") &&
        truthy(self.attr("is_recursive_multi_step_sliding"))) {
        return self.attr("_recursive_predict_helper")(X);
    }
    // Counts of any size are compared as Python ints, before anything is allocated.
    py::object lookback_value = max_lookback_of(self);
    py::object steps_value = self.attr("multistep_prediction_win");
    if (!pyclass::py_ge(lookback_value, py::int_(1))) cannot_serve("the look-back must be at least 1");
    if (!pyclass::py_ge(steps_value, py::int_(1))) cannot_serve("multistep_prediction_win must be at least 1");
    const Py_ssize_t rows = pyclass::length(X);
    py::object free_rows = py::int_(rows) - lookback_value - steps_value + py::int_(1);
    if (pyclass::py_lt(free_rows, py::int_(1))) {
        cannot_serve("X has " + std::to_string(rows) + " rows; every window needs " +
                     std::string(py::str(lookback_value)) + " look-back rows and " +
                     std::string(py::str(steps_value)) + " rows to forecast");
    }
    const Py_ssize_t lookback = pyclass::index_value(lookback_value);
    const Py_ssize_t windows = pyclass::index_value(free_rows);
    refuse_unservable_horizon(self, windows);
    // Every window is forecast recursively on its own; the windows are spread over workers.
    py::object helper = self.attr("_recursive_predict_helper");
    py::object delayed = global("delayed");
    // In-sample, the columns a recursive forecast does not predict are known: the rows of X
    // after each window are its plan.
    py::list columns = plan_columns(self, true);
    const bool planned = pyclass::length(columns) > 0;
    py::list tasks;
    for (Py_ssize_t t = lookback; t < lookback + windows; ++t) {
        py::object window = pyclass::slice(X, py::int_(t - lookback), py::int_(t));
        window = append_rows(window, zero_rows(self.attr("pred_win"), window));
        if (!planned) {
            tasks.append(delayed(helper)(window));
            continue;
        }
        py::object future = pyclass::slice(X, py::int_(t), py::int_(t) + steps_value);
        tasks.append(delayed(helper)(window, py::arg("supporting_features") =
                                                 future[py::make_tuple(py::slice(), columns)]));
    }
    // The ready-made forecasters carry their worker count; anything else uses every processor
    // but one (as `self.n_jobs or -1` would).
    py::object n_jobs = pyclass::has_attr(self, "n_jobs") ? self.attr("n_jobs") : py::object(py::none());
    if (!truthy(n_jobs)) n_jobs = py::int_(-1);
    py::object workers = global("get_optimized_n_jobs")(py::arg("n_jobs") = n_jobs,
                                                        py::arg("no_outputs") = windows);
    py::object results = global("Parallel")(py::arg("n_jobs") = workers)(tasks);
    py::list flat_rows;
    for (py::handle forecast : results) flat_rows.append(forecast.attr("reshape")(-1));
    return numpy.attr("array")(flat_rows);
}

GUSK_METHOD(predit_recursive_multi_step, "predit_recursive_multi_step",
"Forecast multistep_prediction_win steps after X recursively with a one-step model\n"
    "(multistep_prediction_strategy='recursive', pred_win=1).",
{"self"}, {"X"}) {
    py::object self = a["self"];
    py::object strategy = self.attr("multistep_prediction_strategy");
    if (!strategy_is_recursive(self)) raise_catalogue("ORVANE0048E", py::make_tuple(strategy));
    py::object pred_win = self.attr("pred_win");
    if (!pyclass::py_eq(pred_win, py::int_(1))) raise_catalogue("ORVANE0049E", py::make_tuple(pred_win));
    refuse_unservable_horizon(self);
    py::object X = a["X"];
    if (!is_none(X)) X = validated_input(X);
    if (truthy(self.attr("store_lookback_history"))) X = self.attr("_add_lookback_history_to_X")(X);
    py::object max_lookback = max_lookback_of(self);
    py::object builtins = py::module_::import("builtins");
    const py::object rows = is_none(X) ? py::object(py::int_(0)) : row_count(X);
    if (is_none(X) || pyclass::py_lt(rows, max_lookback)) {
        raise_catalogue("ORVANE0050E", py::make_tuple(builtins.attr("format")(max_lookback),
                                                      builtins.attr("format")(rows)));
    }
    X = rows_from(X, rows - max_lookback);
    X = append_rows(X, zero_rows(pred_win, X));
    if (pyclass::has_attr(self, "is_recursive_multi_step_sliding")) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
    }
    // Columns the model reads but does not forecast: the stored look-ahead means, or a clear error.
    py::object plan = future_plan(self, py::none(), true);
    if (!is_none(plan)) return self.attr("_recursive_predict_helper")(X, py::arg("supporting_features") = plan);
    return self.attr("_recursive_predict_helper")(X);
}

// ---------------------------------------------------------------------------------------------
// Prediction intervals

// During a recursive interval forecast our own regressors are told which step the window
// serves (the counter falls from multistep_prediction_win - 1 to 0), so that each step gets
// the width calibrated for it; other estimators get the plain call.
py::object estimator_intervals(py::handle self, py::handle Xt) {
    py::object estimator = self.attr("estimator");
    if (pyclass::has_attr(self, "recursive_cnt") &&
        accepts_forecast_task(estimator, "predict_proba", "forecast_step")) {
        py::object step = py::object(self.attr("multistep_prediction_win")) - py::int_(1) -
                          py::object(self.attr("recursive_cnt"));
        return estimator.attr("predict_proba")(Xt, py::arg("forecast_step") = step);
    }
    return estimator.attr("predict_proba")(Xt);
}

py::object interval_from_bounds(py::handle self, py::handle Xt) {
    py::object numpy = np();
    py::object yt = estimator_intervals(self, Xt).attr("transpose")();
    py::object lower = pyclass::item(yt, 0);
    py::object upper = pyclass::item(yt, 1);
    py::object first = pyclass::item(self.attr("transformer_steps"), 0);
    const bool target_transformer = pyclass::is_instance(first, global("TargetTransformer"));
    if (pyclass::py_gt(self.attr("pred_win"), py::int_(1))) {
        if (target_transformer) {
            lower = first.attr("inverse_transform")(lower);
            upper = first.attr("inverse_transform")(upper);
            if (is_instance_of_globals(first, flatten_family())) {
                lower = self.attr("_transformer_helper")(lower);
                upper = self.attr("_transformer_helper")(upper);
            }
        }
    } else {
        const Py_ssize_t targets = n_targets(self);
        if (targets == 1 && pyclass::length(lower.attr("shape")) == 1) {
            lower = lower.attr("reshape")(-1, 1);
            upper = upper.attr("reshape")(-1, 1);
        }
        if (target_transformer) {
            lower = first.attr("inverse_transform")(lower).attr("reshape")(-1, targets);
            upper = first.attr("inverse_transform")(upper).attr("reshape")(-1, targets);
        }
    }
    py::object low_pred_yt = self.attr("_output_data_transformation")(lower);
    py::object upper_pred_yt = self.attr("_output_data_transformation")(upper);
    py::list bounds;
    bounds.append(low_pred_yt);
    bounds.append(upper_pred_yt);
    return numpy.attr("array")(bounds).attr("transpose")();
}

py::object bounds_from_arrays(const Args& a, py::object X) {
    py::object self = a["self"];
    require_fitted(self, "predict_proba");
    if (!pyclass::is_instance(self.attr("estimator"), global("EnsembleRegressor"))) {
        raise_catalogue("ORVANE0053E");
    }
    require_fitted_columns(self, X);
    py::object pred_win = self.attr("pred_win");
    py::object supporting_features = a["supporting_features"];
    if (pyclass::py_gt(pred_win, py::int_(0))) {
        refuse_unservable_horizon(self);
        py::object dummy;
        if (strategy_is_recursive(self)) {
            if (pyclass::has_attr(self, "recursive_cnt")) {
                self.attr("recursive_cnt") = py::object(self.attr("recursive_cnt")) - py::int_(1);
                dummy = zero_rows(pred_win, X);
                if (!is_none(supporting_features)) {
                    write_plan_rows(self, dummy, supporting_features, forecasts_recursively(self));
                }
            } else {
                // The outer call: drive the steps, and never leave the counter behind.
                py::object plan = future_plan(self, supporting_features, forecasts_recursively(self));
                self.attr("recursive_cnt") = self.attr("multistep_prediction_win");
                py::object predict_probs;
                try {
                    predict_probs = is_none(plan) ? self.attr("_recursive_predict_proba_helper")(X)
                                                  : self.attr("_recursive_predict_proba_helper")(
                                                        X, py::arg("supporting_features") = plan);
                } catch (...) {
                    if (pyclass::has_attr(self, "recursive_cnt")) py::delattr(self, "recursive_cnt");
                    throw;
                }
                py::delattr(self, "recursive_cnt");
                return predict_probs;
            }
        } else {
            dummy = zero_rows(self.attr("multistep_prediction_win"), X, "multistep_prediction_win");
            py::object plan = future_plan(self, supporting_features, false);
            if (!is_none(plan)) write_plan_rows(self, dummy, checked_plan(plan, plan_columns(self, false), pred_win), false);
        }
        X = append_rows(X, dummy);
    }
    X = self.attr("_input_data_transformation")(X);
    auto transformed = pyclass::unpack_pair(self.attr("_data_transform")(X, py::arg("y") = py::none()));
    try {
        return interval_from_bounds(self, transformed.first);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_catalogue_from("ORVANE0052E", py::tuple(), e);
    }
}

GUSK_METHOD(predict_proba, "predict_proba",
"Lower and upper bounds of the forecast after X (needs an EnsembleRegressor final\n"
    "estimator); ``result[..., 0]`` is the lower and ``result[..., 1]`` the upper bound.\n"
    "``supporting_features`` are the future values ``predict`` takes, used the same way.",
{"self"}, {"X"}, {"supporting_features", "None"}) {
    py::object bounds = bounds_from_arrays(a, frames("to_array")(a["self"], a["X"]));
    return frames("interval_output")(a["self"], bounds, a["X"]);
}

GUSK_METHOD(recursive_predict_proba_helper, "_recursive_predict_proba_helper",
"Interval rows of every recursive step, stacked along the first axis.",
{"self"}, {"X"}, {"supporting_features", "None"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    refuse_unservable_horizon(self);
    py::object max_lookback = prediction_lookback(self);
    py::object plan = a["supporting_features"];
    py::object predictions = (is_none(plan) ? self.attr("predict")(X)
                                            : self.attr("predict")(X, py::arg("supporting_features") = plan))
                                 .attr("reshape")(-1, n_targets(self));
    // Each step's future row, and the look-back row it becomes, carry that step's planned values.
    const auto planned = [&](py::handle rows, Py_ssize_t step) {
        if (!is_none(plan)) {
            write_plan_rows(self, rows, pyclass::slice(plan, py::int_(step), py::none()), forecasts_recursively(self));
        }
        return rows;
    };
    const auto interval_of = [&](py::handle window, Py_ssize_t step) -> py::object {
        if (is_none(plan)) return self.attr("predict_proba")(window);
        return self.attr("predict_proba")(window, pyclass::slice(plan, py::int_(step), py::int_(step + 1)));
    };
    // Every step works on the window at the end of X (its last max_lookback rows), like the
    // point forecasts, so each step contributes one interval block of the same shape.
    X = rows_from(X, row_count(X) - max_lookback);
    py::object pred_probs;
    const Py_ssize_t steps = pyclass::loop_count(self.attr("multistep_prediction_win"));
    for (Py_ssize_t step = 0; step < steps; ++step) {
        if (step == 0) {
            pred_probs = interval_of(X, step);
            continue;
        }
        if (!pyclass::py_gt(self.attr("recursive_cnt"), py::int_(0))) continue;
        py::object pre_pred = pyclass::item(predictions, step - 1);
        // Slide by one row: drop the oldest row, append the previous step's point forecast.
        X = pyclass::slice(rows_from(X, row_count(X) - max_lookback), py::int_(1), py::none());
        X = append_rows(X, planned(row_with_targets(self, X, pre_pred), step - 1));
        pred_probs = append_rows(pred_probs, interval_of(X, step));
    }
    if (!pred_probs) {
        pyclass::raise(PyExc_UnboundLocalError,
                       "cannot access local variable 'pred_probs' where it is not associated with a value");
    }
    return pred_probs;
}

}  // namespace

}  // namespace gusk
