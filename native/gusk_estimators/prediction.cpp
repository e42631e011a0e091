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

bool strategy_is_recursive(py::handle self) {
    return pyclass::py_eq(self.attr("multistep_prediction_strategy"), py::str("recursive"));
}

// `np.full((rows, X.shape[1]), 0.0)`.
py::object zero_rows(py::handle rows, py::handle X) {
    return np().attr("full")(py::make_tuple(rows, pyclass::item(X.attr("shape"), 1)), 0.0);
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
    py::object block = numpy.attr("zeros")(
        py::make_tuple(py::int_(1) + pred_win, pyclass::item(X.attr("shape"), 1)));
    numpy.attr("put")(pyclass::slice(block, py::none(), py::int_(1)), self.attr("target_columns"), pred);
    return block;
}

py::object validated_input(py::handle X) {
    py::dict keywords;
    keywords["dtype"] = np().attr("float64");
    keywords[check_array_finite_keyword()] = false;
    keywords["ensure_2d"] = false;
    keywords["ensure_min_samples"] = 0;
    return global("check_array")(X, **keywords);
}

// ---------------------------------------------------------------------------------------------
// Look-back history and exogenous input

py::object store_lookback_history_X_body(const Args& a) {
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

py::object add_lookback_history_to_X_body(const Args& a) {
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

[[noreturn]] void raise_assertion(const char* message) { pyclass::raise(PyExc_AssertionError, message); }

py::object add_exogenous_to_X_body(const Args& a) {
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

py::object predict_engine_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object numpy = np();
    const Py_ssize_t num_samples = pyclass::index_value(pyclass::item(X.attr("shape"), 0));
    X = self.attr("_input_data_transformation")(X);
    auto transformed = pyclass::unpack_pair(self.attr("_data_transform")(X, py::arg("y") = py::none()));
    py::object Xt = transformed.first;
    if (truthy(self.attr("multivariate_column_encoding"))) Xt = self.attr("_multi_variate_col_encoder")(Xt);
    py::object y_pred = self.attr("estimator").attr("predict")(Xt);
    y_pred = inverse_target_transformation(self, y_pred);
    y_pred = fold_step_major_rows(self, y_pred);
    y_pred = self.attr("_output_data_transformation")(y_pred);
    py::object infinite = numpy.attr("isinf")(y_pred);
    if (truthy(infinite.attr("any")())) y_pred[infinite] = py::none();
    if (!pyclass::py_eq(self.attr("pred_win"), py::int_(1))) return y_pred;
    return pad_in_front(y_pred, num_samples, a["num_predictions"]);
}

py::object predict_sliding_window_body(const Args& a) {
    py::object self = a["self"];
    return self.attr("_predict")(a["X"]).attr("reshape")(-1, n_targets(self));
}

// ---------------------------------------------------------------------------------------------
// Recursive forecasting without the per-step round trip through numpy and the transformer
//
// In the common case (a plain Flatten window, no data transformation scheme, one step per
// window) each recursive step only copies the last look-back values into a new row, calls the
// model and writes its forecast back. The loop below does exactly that on a private buffer and
// gives bit-for-bit the rows the general loop gives; whenever anything differs from that case
// (a replaced method, another transformer, a model answering with something other than float64
// values) the general loop takes over from the step reached.

using DoubleArray = py::array_t<double, py::array::c_style>;

// The estimator still runs this module's own methods for everything a recursive step goes
// through: none is replaced on the instance, in a subclass or by patching the class.
bool runs_own_step_methods(py::handle self) {
    const std::pair<const char*, const pyclass::Function*> own[] = {
        {"predict_sliding_window", &prediction::predict_sliding_window},
        {"_predict", &prediction::predict_},
        {"_data_transform", &core::data_transform},
        {"_input_data_transformation", &transformations::input_data_transformation},
        {"_output_data_transformation", &transformations::output_data_transformation},
    };
    py::object instance_dict = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!instance_dict) {  // no instance dictionary: leave everything to the general loop
        PyErr_Clear();
        return false;
    }
    py::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
    for (const auto& [name, function] : own) {
        if (PyDict_GetItemString(instance_dict.ptr(), name) != nullptr) return false;
        if (!function->is(cls.attr(name))) return false;
    }
    return true;
}

struct DirectWindows {
    std::vector<Py_ssize_t> features;  // columns of the window, in order
    std::vector<Py_ssize_t> targets;   // columns the forecasts are written back to
    Py_ssize_t lookback = 0;
    Py_ssize_t columns = 0;
};

bool columns_within(py::handle values, Py_ssize_t columns, std::vector<Py_ssize_t>& out) {
    for (py::handle value : values) {
        if (!PyLong_CheckExact(value.ptr())) return false;
        const long long column = PyLong_AsLongLong(value.ptr());
        if (column == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (column < 0 || column >= columns) return false;
        out.push_back(static_cast<Py_ssize_t>(column));
    }
    return true;
}

// The plan of the direct loop, or nothing when the general loop must run.
std::optional<DirectWindows> direct_windows(py::handle self, py::handle X, py::handle max_lookback) {
    if (!is_none(self.attr("data_transformation_scheme")) || truthy(self.attr("multivariate_column_encoding"))) {
        return std::nullopt;
    }
    py::object pred_win = self.attr("pred_win");
    if (!PyLong_CheckExact(pred_win.ptr()) || !pyclass::py_eq(pred_win, py::int_(1))) return std::nullopt;
    if (!DoubleArray::check_(X)) return std::nullopt;  // not a C-contiguous float64 array
    py::array array = py::reinterpret_borrow<py::array>(X);
    if (array.ndim() != 2) return std::nullopt;
    py::object steps = self.attr("transformer_steps");
    if (!PyList_CheckExact(steps.ptr()) || PyList_GET_SIZE(steps.ptr()) != 1) return std::nullopt;
    py::handle transformer = PyList_GET_ITEM(steps.ptr(), 0);
    if (!pyclass::has_attr(transformer, "_recursive_window_plan") || !runs_own_step_methods(self)) {
        return std::nullopt;
    }
    py::object plan = transformer.attr("_recursive_window_plan")(X);
    if (is_none(plan)) return std::nullopt;
    DirectWindows windows;
    windows.columns = array.shape(1);
    py::object lookback = pyclass::item(plan, 1);
    if (!PyLong_CheckExact(lookback.ptr()) || !pyclass::py_eq(lookback, max_lookback)) return std::nullopt;
    windows.lookback = pyclass::index_value(lookback);
    if (array.shape(0) != windows.lookback + 1) return std::nullopt;
    py::object targets = self.attr("target_columns");
    if (!PyList_CheckExact(targets.ptr()) || PyList_GET_SIZE(targets.ptr()) == 0) return std::nullopt;
    if (!columns_within(pyclass::item(plan, 0), windows.columns, windows.features) ||
        !columns_within(targets, windows.columns, windows.targets)) {
        return std::nullopt;
    }
    return windows;
}

// One forecast of the model for `window`, as n_targets values, or false when its answer is not
// a plain ndarray of exactly that many float64 values.
bool forecast_values(py::handle predict, py::handle ndarray, const DoubleArray& window,
                     std::vector<double>& out) {
    py::object answer = predict(window);
    if (!py::type::handle_of(answer).is(ndarray)) return false;  // subclasses take the general path
    py::array values = py::reinterpret_borrow<py::array>(answer);
    if (!values.dtype().is(py::dtype::of<double>()) ||
        static_cast<size_t>(values.size()) != out.size()) {
        return false;
    }
    DoubleArray flat = DoubleArray::ensure(values);
    if (!flat) throw py::error_already_set();
    const double* data = flat.data();
    for (size_t i = 0; i < out.size(); ++i) {
        // The general path replaces infinite forecasts by None, which a float array stores as NaN.
        out[i] = std::isinf(data[i]) ? std::numeric_limits<double>::quiet_NaN() : data[i];
    }
    return true;
}

// Runs the recursive steps it can. Returns the forecasts made, as a (steps made, n_targets)
// array, and leaves in `X` the input of the next step exactly as the general loop would.
py::object direct_recursive_steps(py::handle self, py::object& X, const DirectWindows& plan,
                                  Py_ssize_t steps, Py_ssize_t& made) {
    const Py_ssize_t L = plan.lookback, C = plan.columns;
    const Py_ssize_t n_features = static_cast<Py_ssize_t>(plan.features.size());
    const Py_ssize_t n_targets = static_cast<Py_ssize_t>(plan.targets.size());
    // Rows of the series so far: the look-back rows of X, then one row per forecast step.
    std::vector<double> history(static_cast<size_t>((L + steps) * C), 0.0);
    {
        const auto input = py::reinterpret_borrow<DoubleArray>(X);  // checked by direct_windows
        std::copy(input.data(), input.data() + L * C, history.begin());
    }
    std::vector<double> forecasts;
    forecasts.reserve(static_cast<size_t>(steps * n_targets));
    std::vector<double> values(static_cast<size_t>(n_targets));
    py::object predict = self.attr("estimator").attr("predict");
    py::object ndarray = np().attr("ndarray");
    made = 0;
    for (; made < steps; ++made) {
        DoubleArray window({Py_ssize_t{1}, n_features * L});
        double* cell = window.mutable_data();
        for (Py_ssize_t f = 0; f < n_features; ++f) {
            const double* column = history.data() + made * C + plan.features[f];
            for (Py_ssize_t k = 0; k < L; ++k) *cell++ = column[k * C];
        }
        if (!forecast_values(predict, ndarray, window, values)) break;
        double* next_row = history.data() + (L + made) * C;
        for (Py_ssize_t t = 0; t < n_targets; ++t) next_row[plan.targets[t]] = values[t];
        forecasts.insert(forecasts.end(), values.begin(), values.end());
    }
    if (made < steps) {
        DoubleArray next({L + 1, C});
        double* rows = next.mutable_data();
        std::copy(history.begin() + made * C, history.begin() + (made + L) * C, rows);
        std::fill(rows + L * C, rows + (L + 1) * C, 0.0);
        X = next;
    }
    DoubleArray made_rows({made, n_targets});
    std::copy(forecasts.begin(), forecasts.end(), made_rows.mutable_data());
    return made_rows;
}

py::object recursive_predict_helper_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object max_lookback = max_lookback_of(self);
    if (pyclass::has_attr(self, "is_recursive_multi_step_sliding") &&
        pyclass::py_eq(self.attr("is_recursive_multi_step_sliding"), py::bool_(true))) {
        return rows_from(self.attr("predict_sliding_window")(X), max_lookback);
    }
    py::list preds;
    const Py_ssize_t steps = pyclass::loop_count(self.attr("multistep_prediction_win"));
    Py_ssize_t step = 0;
    if (steps > 0) {
        if (auto plan = direct_windows(self, X, max_lookback)) {
            py::object made_rows = direct_recursive_steps(self, X, *plan, steps, step);
            if (step == steps) return made_rows;
            if (step > 0) preds.append(made_rows);
        }
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
        const bool window_of_steps = strategy_is_recursive(self) || forecasts_one_multi_step_window(self);
        py::object rows = window_of_steps ? pred_win : self.attr("multistep_prediction_win");
        X = append_rows(X, zero_rows(rows, X));
    }
    return X;
}

py::object predict_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object supporting_features = a["supporting_features"];
    py::object prediction_type = a["prediction_type"];
    py::object numpy = np();

    if (pyclass::is_instance(supporting_features, numpy.attr("matrix"))) {
        supporting_features = numpy.attr("squeeze")(numpy.attr("asarray")(supporting_features));
    }
    py::object max_lookback = prediction_lookback(self);
    if (!is_none(X)) {
        X = validated_input(X);
        if (pyclass::py_gt(numpy.attr("count_nonzero")(numpy.attr("isnan")(X)), py::int_(0))) {
            raise_catalogue("ORVANE0067E");
        }
    }
    if (!is_none(prediction_type)) {
        py::object score = global("Score");
        py::object lowered = prediction_type.attr("lower")();
        if (pyclass::py_eq(lowered, score.attr("PREDICT_SLIDING_WINDOW"))) {
            py::object pred_win = self.attr("pred_win");
            if (pyclass::py_eq(pred_win, py::int_(1))) return self.attr("predict_sliding_window")(X);
            if (pyclass::py_gt(pred_win, py::int_(1))) return self.attr("predict_multi_step_sliding_window")(X);
            raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
        } else if (pyclass::py_ne(lowered, score.attr("PREDICT_FORECAST"))) {
            raise_catalogue("ORVANE0046E", py::make_tuple(prediction_type));
        }
    }
    if (truthy(self.attr("store_lookback_history"))) X = self.attr("_add_lookback_history_to_X")(X);
    py::object builtins = py::module_::import("builtins");
    if (pyclass::py_lt(row_count(X) - max_lookback, py::int_(0))) {
        raise_catalogue("ORVANE0047E", py::make_tuple(builtins.attr("format")(max_lookback),
                                                      builtins.attr("format")(row_count(X))));
    }
    X = forecast_window(self, X, supporting_features, max_lookback);

    py::object y_pred;
    if (pyclass::py_eq(self.attr("multistep_prediction_win"), py::int_(1)) &&
        !forecasts_one_multi_step_window(self)) {
        y_pred = self.attr("predict_sliding_window")(X);
        const bool no_placeholders = pyclass::py_eq(self.attr("pred_win"), py::int_(0));
        y_pred = rows_from(y_pred, no_placeholders ? max_lookback - py::int_(1) : max_lookback);
    } else if (pyclass::py_eq(self.attr("pred_win"), py::int_(1)) && strategy_is_recursive(self)) {
        y_pred = self.attr("_recursive_predict_helper")(X);
    } else {
        y_pred = self.attr("predict_multi_step_sliding_window")(X).attr("reshape")(-1, n_targets(self));
    }
    return y_pred;
}

// ---------------------------------------------------------------------------------------------
// Multi-step sliding windows

[[noreturn]] void cannot_serve(const std::string& reason) {
    raise_catalogue("ORVANE0051E", py::make_tuple(py::str(reason)));
}

py::object predict_multi_step_sliding_window_body(const Args& a) {
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

py::object use_multioutput_version_body(const Args& a) {
    py::object self = a["self"];
    return self.attr("_predict")(a["X"]);
}

py::object use_parallel_version_body(const Args& a) {
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
    // Every window is forecast recursively on its own; the windows are spread over workers.
    py::object helper = self.attr("_recursive_predict_helper");
    py::object delayed = global("delayed");
    py::list tasks;
    for (Py_ssize_t t = lookback; t < lookback + windows; ++t) {
        py::object window = pyclass::slice(X, py::int_(t - lookback), py::int_(t));
        window = append_rows(window, zero_rows(self.attr("pred_win"), window));
        tasks.append(delayed(helper)(window));
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

py::object predit_recursive_multi_step_body(const Args& a) {
    py::object self = a["self"];
    py::object strategy = self.attr("multistep_prediction_strategy");
    if (!strategy_is_recursive(self)) raise_catalogue("ORVANE0048E", py::make_tuple(strategy));
    py::object pred_win = self.attr("pred_win");
    if (!pyclass::py_eq(pred_win, py::int_(1))) raise_catalogue("ORVANE0049E", py::make_tuple(pred_win));
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

py::object predict_proba_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (!pyclass::is_instance(self.attr("estimator"), global("EnsembleRegressor"))) {
        raise_catalogue("ORVANE0053E");
    }
    py::object pred_win = self.attr("pred_win");
    if (pyclass::py_gt(pred_win, py::int_(0))) {
        py::object dummy;
        if (strategy_is_recursive(self)) {
            if (pyclass::has_attr(self, "recursive_cnt")) {
                self.attr("recursive_cnt") = py::object(self.attr("recursive_cnt")) - py::int_(1);
                dummy = zero_rows(pred_win, X);
            } else {
                // The outer call: drive the steps, and never leave the counter behind.
                self.attr("recursive_cnt") = self.attr("multistep_prediction_win");
                py::object predict_probs;
                try {
                    predict_probs = self.attr("_recursive_predict_proba_helper")(X);
                } catch (...) {
                    if (pyclass::has_attr(self, "recursive_cnt")) py::delattr(self, "recursive_cnt");
                    throw;
                }
                py::delattr(self, "recursive_cnt");
                return predict_probs;
            }
        } else {
            dummy = zero_rows(self.attr("multistep_prediction_win"), X);
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

py::object recursive_predict_proba_helper_body(const Args& a) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object max_lookback = prediction_lookback(self);
    py::object predictions = self.attr("predict")(X).attr("reshape")(-1, n_targets(self));
    // Every step works on the window at the end of X (its last max_lookback rows), like the
    // point forecasts, so each step contributes one interval block of the same shape.
    X = rows_from(X, row_count(X) - max_lookback);
    py::object pred_probs;
    const Py_ssize_t steps = pyclass::loop_count(self.attr("multistep_prediction_win"));
    for (Py_ssize_t step = 0; step < steps; ++step) {
        if (step == 0) {
            pred_probs = self.attr("predict_proba")(X);
            continue;
        }
        if (!pyclass::py_gt(self.attr("recursive_cnt"), py::int_(0))) continue;
        py::object pre_pred = pyclass::item(predictions, step - 1);
        // Slide by one row: drop the oldest row, append the previous step's point forecast.
        X = pyclass::slice(rows_from(X, row_count(X) - max_lookback), py::int_(1), py::none());
        X = append_rows(X, row_with_targets(self, X, pre_pred));
        pred_probs = append_rows(pred_probs, self.attr("predict_proba")(X));
    }
    if (!pred_probs) {
        pyclass::raise(PyExc_UnboundLocalError,
                       "cannot access local variable 'pred_probs' where it is not associated with a value");
    }
    return pred_probs;
}

}  // namespace

namespace prediction {

pyclass::Function store_lookback_history_X{
    "_store_lookback_history_X", {{"self"}, {"X"}}, &store_lookback_history_X_body,
    "Keep (a copy of) the last look-back rows of X, and the look-ahead means of exogenous\n"
    "pipelines, for later forecasts."};
pyclass::Function add_lookback_history_to_X{
    "_add_lookback_history_to_X", {{"self"}, {"X"}}, &add_lookback_history_to_X_body,
    "Prepend the stored look-back rows to X (X may be None)."};
pyclass::Function predict_sliding_window{
    "predict_sliding_window", {{"self"}, {"X"}}, &predict_sliding_window_body,
    "One-step predictions for every window of X, padded in front to the length of X."};
pyclass::Function add_exogenous_to_X{
    "_add_exogenous_to_X", {{"self"}, {"X"}, {"exogenous"}}, &add_exogenous_to_X_body,
    "Append pred_win future rows carrying the known look-ahead values (other cells NaN)."};
pyclass::Function recursive_predict_helper{
    "_recursive_predict_helper", {{"self"}, {"X"}}, &recursive_predict_helper_body,
    "Forecast multistep_prediction_win steps by feeding each one-step prediction back."};
pyclass::Function predict{
    "predict", {{"self"}, {"X", "None"}, {"supporting_features", "None"}, {"prediction_type", "None"}},
    &predict_body,
    "Forecast the steps after the end of X.\n\n"
    "Parameters\n----------\n"
    "X : array-like of shape (n_rows, n_columns), default None\n"
    "    The latest rows of the series (None: the stored look-back history alone).\n"
    "supporting_features : array-like, default None\n"
    "    Future values of the look-ahead columns, one row per predicted step.\n"
    "prediction_type : str, default None\n"
    "    'forecast' (default) or 'sliding_window' (in-sample predictions), any letter case.\n\n"
    "Returns\n-------\nndarray with one row per predicted step and one column per target."};
pyclass::Function predict_{
    "_predict", {{"self"}, {"X"}, {"num_predictions", "-1"}}, &predict_engine_body,
    "Run the fitted transformers and estimator over every window of X; with pred_win 1 the\n"
    "result is padded in front with null rows to the length of X."};
pyclass::Function predit_recursive_multi_step{
    "predit_recursive_multi_step", {{"self"}, {"X"}}, &predit_recursive_multi_step_body,
    "Forecast multistep_prediction_win steps after X recursively with a one-step model\n"
    "(multistep_prediction_strategy='recursive', pred_win=1)."};
pyclass::Function use_parallel_version_of_multi_step_sliding_window{
    "_use_parallel_version_of_multi_step_sliding_window", {{"self"}, {"X"}},
    &use_parallel_version_body,
    "Recursive multi-step forecasts of every window of X, the windows spread over joblib workers."};
pyclass::Function use_multioutput_version_of_multi_step_sliding_window{
    "_use_multioutput_version_of_multi_step_sliding_window", {{"self"}, {"X"}},
    &use_multioutput_version_body,
    "Multi-step forecasts of every window of X from a multi-output model, in one pass."};
pyclass::Function predict_multi_step_sliding_window{
    "predict_multi_step_sliding_window", {{"self"}, {"X"}}, &predict_multi_step_sliding_window_body,
    "For every window of X, the forecast of the next steps: one row per window; reshape it\n"
    "with (-1, len(target_columns)) for one row per predicted step."};
pyclass::Function recursive_predict_proba_helper{
    "_recursive_predict_proba_helper", {{"self"}, {"X"}}, &recursive_predict_proba_helper_body,
    "Interval rows of every recursive step, stacked along the first axis."};
pyclass::Function predict_proba{
    "predict_proba", {{"self"}, {"X"}}, &predict_proba_body,
    "Lower and upper bounds of the forecast after X (needs an EnsembleRegressor final\n"
    "estimator); ``result[..., 0]`` is the lower and ``result[..., 1]`` the upper bound."};

}  // namespace prediction
}  // namespace gusk
