// The direct loop of recursive forecasts: one-step forecasts fed back into a window the loop
// keeps itself, without the per-step round trip through numpy and the transformer.
//
// In the common case (a plain Flatten window, no data transformation scheme, one step per
// window) each recursive step only copies the last look-back values into a new row, asks the
// model and writes its forecast back. The loop below does exactly that on a ring of look-back + 1
// rows and gives the rows the general loop gives; whenever anything differs from that case (a
// replaced method, another transformer, a model answering with something other than float64
// values, a window holding NaN or an infinity) the general loop takes over from the step reached.
//
// When the model is one whose prediction is a known closed form (a scikit-learn linear model,
// possibly behind scalers in a Pipeline, or a voting ensemble of such), the loop computes that
// form itself from the fitted coefficients and makes no Python call per step. The same plain
// windows and closed forms serve the in-sample (sliding-window) predictions, which are then read
// straight off the series, and the fit, which lets such a model centre the window matrix made
// for it in place instead of copying it.
#include "gusk_estimators/closed_form.hpp"
#include "gusk_estimators/prediction.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gusk {
namespace {

// ---------------------------------------------------------------------------------------------
// Whether the loop may replace the estimator's own step methods

// None of `members` is replaced on the instance, in a subclass or by patching the class: the
// estimator still runs this module's own functions for them.
bool runs_own_members(py::handle self, std::initializer_list<Member> members) {
    py::object instance_dict =
        py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!instance_dict) {  // no instance dictionary: leave everything to the general loop
        PyErr_Clear();
        return false;
    }
    py::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
    for (const Member member : members) {
        const pyclass::Function& function = estimator_members().function(member);
        if (PyDict_GetItemString(instance_dict.ptr(), function.name()) != nullptr) return false;
        if (!function.is(cls.attr(function.name()))) return false;
    }
    return true;
}

// Everything a recursive step goes through is this module's own.
bool runs_own_step_methods(py::handle self) {
    return runs_own_members(self, {Member::predict_sliding_window, Member::predict_, Member::data_transform,
                                   Member::input_data_transformation, Member::output_data_transformation});
}

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

// The windows of X when they are plain Flatten windows (every row made of consecutive values of
// each feature column, one step forecast per row) that this module may cut itself; nothing when
// the transformer and the estimator's own methods must run.
std::optional<DirectWindows> full_windows(py::handle self, py::handle X) {
    if (!is_none(self.attr("data_transformation_scheme")) ||
        truthy(self.attr("multivariate_column_encoding"))) {
        return std::nullopt;
    }
    py::object pred_win = self.attr("pred_win");
    if (!PyLong_CheckExact(pred_win.ptr()) || !py_eq(pred_win, 1)) return std::nullopt;
    if (!DoubleArray::check_(X)) return std::nullopt;  // not a C-contiguous float64 array
    py::array array = py::reinterpret_borrow<py::array>(X);
    if (array.ndim() != 2) return std::nullopt;
    py::object steps = self.attr("transformer_steps");
    if (!PyList_CheckExact(steps.ptr()) || PyList_GET_SIZE(steps.ptr()) != 1) return std::nullopt;
    py::handle transformer = PyList_GET_ITEM(steps.ptr(), 0);
    if (!has_attr(transformer, "_full_window_plan") || !runs_own_step_methods(self)) {
        return std::nullopt;
    }
    py::object plan = transformer.attr("_full_window_plan")(X);
    if (is_none(plan)) return std::nullopt;
    DirectWindows windows;
    windows.columns = array.shape(1);
    py::object lookback = item(plan, 1);
    if (!PyLong_CheckExact(lookback.ptr())) return std::nullopt;
    windows.lookback = index_value(lookback);
    if (windows.lookback < 1 || array.shape(0) <= windows.lookback) return std::nullopt;
    py::object targets = self.attr("target_columns");
    if (!PyList_CheckExact(targets.ptr()) || PyList_GET_SIZE(targets.ptr()) == 0) return std::nullopt;
    if (!columns_within(item(plan, 0), windows.columns, windows.features) ||
        !columns_within(targets, windows.columns, windows.targets)) {
        return std::nullopt;
    }
    const auto width = product(static_cast<Py_ssize_t>(windows.features.size()), windows.lookback);
    if (!width) return std::nullopt;  // no model was fitted on windows that wide
    windows.width = *width;
    return windows;
}

// The plan of the direct loop, or nothing when the general loop must run: X must be the
// look-back rows and one placeholder row.
std::optional<DirectWindows> direct_windows(py::handle self, py::handle X, py::handle max_lookback) {
    auto windows = full_windows(self, X);
    if (!windows || !py_eq(py::int_(windows->lookback), max_lookback)) return std::nullopt;
    if (py::reinterpret_borrow<py::array>(X).shape(0) != windows->lookback + 1) return std::nullopt;
    return windows;
}

// ---------------------------------------------------------------------------------------------
// The loop

// The series as the loop needs it: the last look-back rows and the row being forecast, kept
// in a ring so that the memory does not grow with the horizon.
class RowRing {
public:
    RowRing(const DoubleArray& input, Py_ssize_t lookback, Py_ssize_t columns)
        : rows_(lookback + 1), columns_(columns), cells_(static_cast<size_t>((lookback + 1) * columns), 0.0) {
        std::copy(input.data(), input.data() + lookback * columns, cells_.begin());
    }

    double* row(Py_ssize_t index) { return cells_.data() + (index % rows_) * columns_; }

    // The window of the step whose first row is `first`: each feature's look-back values.
    void gather(Py_ssize_t first, const DirectWindows& plan, double* out) {
        const Py_ssize_t start = first % rows_;
        const Py_ssize_t before_wrap = std::min(plan.lookback, rows_ - start);
        for (Py_ssize_t column : plan.features) {
            const double* cell = cells_.data() + start * columns_ + column;
            for (Py_ssize_t k = 0; k < before_wrap; ++k, cell += columns_) *out++ = *cell;
            cell = cells_.data() + column;
            for (Py_ssize_t k = before_wrap; k < plan.lookback; ++k, cell += columns_) *out++ = *cell;
        }
    }

    // Rows first .. first + look-back - 1 and a zero row, as the general loop's next input.
    DoubleArray input_of_step(Py_ssize_t first, Py_ssize_t lookback) {
        DoubleArray next({lookback + 1, columns_});
        double* cells = next.mutable_data();
        for (Py_ssize_t k = 0; k < lookback; ++k, cells += columns_) {
            std::copy(row(first + k), row(first + k) + columns_, cells);
        }
        std::fill(cells, cells + columns_, 0.0);
        return next;
    }

private:
    Py_ssize_t rows_, columns_;
    std::vector<double> cells_;
};

// One forecast of the model for `window`, as n_targets values, or false when its answer is not
// a plain ndarray of exactly that many float64 values.
bool forecast_values(py::handle predict, py::handle ndarray, const DoubleArray& window,
                     std::vector<double>& out) {
    py::object answer = predict(window);
    if (!py::type::handle_of(answer).is(ndarray)) return false;  // subclasses take the general path
    py::array values = py::reinterpret_borrow<py::array>(answer);
    if (!holds_float64(values) || static_cast<size_t>(values.size()) != out.size()) {
        return false;
    }
    DoubleArray flat = DoubleArray::ensure(values);
    if (!flat) throw py::error_already_set();
    std::copy(flat.data(), flat.data() + out.size(), out.begin());
    return true;
}

// The forecasts of every step, allocated before the first one; a horizon whose forecasts could
// never be stored is refused with the argument's name.
DoubleArray forecast_rows(py::handle self, Py_ssize_t steps, Py_ssize_t n_targets) {
    const auto cells = product(steps, n_targets);
    if (!cells || !product(*cells, static_cast<Py_ssize_t>(sizeof(double)))) {
        pyclass::raise(
            PyExc_ValueError,
            "multistep_prediction_win=" + std::string(py::str(self.attr("multistep_prediction_win"))) +
                " is too large: " + std::to_string(n_targets) +
                " forecast value(s) per step for that many steps cannot be stored");
    }
    return DoubleArray({steps, n_targets});
}

// `sklearn.config_context(assume_finite=True)` while the model is asked about windows this loop
// has already found finite; left before any window that is not.
class AssumeFinite {
public:
    AssumeFinite() {
        py::object config_context = py::module_::import("sklearn").attr("config_context");
        context_ = config_context(py::arg("assume_finite") = true);
        context_.attr("__enter__")();
    }
    void leave() {
        if (!context_) return;
        py::object context = std::move(context_);
        context.attr("__exit__")(py::none(), py::none(), py::none());
    }
    // Left on an error too, keeping the error that is on its way out.
    ~AssumeFinite() {
        if (!context_) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            leave();
        } catch (py::error_already_set&) {
        }
        PyErr_Restore(type, value, traceback);
    }

private:
    py::object context_;
};

struct StepState {
    Py_ssize_t made = 0;
    std::vector<double> values;
};

void store_forecast(RowRing& ring, const DirectWindows& plan, StepState& state, double* forecasts) {
    double* next_row = ring.row(state.made + plan.lookback);
    std::fill(next_row, next_row + plan.columns, 0.0);
    const size_t n_targets = plan.targets.size();
    for (size_t t = 0; t < n_targets; ++t) {
        // The general path replaces infinite forecasts by None, which a float array stores as NaN.
        const double value =
            std::isinf(state.values[t]) ? std::numeric_limits<double>::quiet_NaN() : state.values[t];
        next_row[plan.targets[t]] = value;
        forecasts[static_cast<size_t>(state.made) * n_targets + t] = value;
    }
}

// One column that is the only feature and the only target, and a plain linear model: from the
// look-back-th step on, a window is nothing but the last look-back forecasts, so the steps read
// them straight from the forecasts themselves. A forecast that is not finite makes every later
// one non-finite too (it stays in the windows, and 0 * inf is NaN), so only the last one is
// checked; when it is not finite the steps are taken back to the first such forecast, with the
// ring holding that step's window, for the general steps to store it as they do.
void fed_back_steps(RowRing& ring, const DirectWindows& plan, const AffineModel& model, Py_ssize_t steps,
                    StepState& state, double* forecasts) {
    const Py_ssize_t lookback = plan.lookback;
    std::vector<double> start(static_cast<size_t>(2 * lookback));  // the given window, then forecasts
    ring.gather(0, plan, start.data());
    if (!std::all_of(start.begin(), start.begin() + lookback, [](double v) { return std::isfinite(v); }))
        return;
    const double* coef = model.coef.data();
    const double intercept = model.intercept[0];
    const size_t width = static_cast<size_t>(lookback);
    const Py_ssize_t head = std::min(lookback, steps);
    for (Py_ssize_t s = 0; s < head; ++s) {  // windows that still hold given values
        const double value = strided_dot(coef, start.data() + s, 1, width) + intercept;
        start[static_cast<size_t>(lookback + s)] = value;
        forecasts[s] = value;
    }
    for (Py_ssize_t s = lookback; s < steps; ++s) {
        forecasts[s] = strided_dot(coef, forecasts + (s - lookback), 1, width) + intercept;
    }
    Py_ssize_t made = steps;
    if (!std::isfinite(forecasts[steps - 1])) {
        made = std::find_if(forecasts, forecasts + steps, [](double v) { return !std::isfinite(v); }) -
               forecasts;
    }
    state.made = made;
    for (Py_ssize_t k = 0; k < lookback; ++k) {
        const Py_ssize_t at = made + k;  // in the given window followed by the forecasts
        *ring.row(at) = at < lookback ? start[static_cast<size_t>(at)] : forecasts[at - lookback];
    }
}

// Steps computed here from the closed form, until a window that predict would refuse.
void linear_steps(RowRing& ring, const DirectWindows& plan, LinearEvaluator& evaluator, Py_ssize_t steps,
                  StepState& state, double* forecasts) {
    if (state.made == 0 && steps > 0 && evaluator.is_plain_single_output() && plan.columns == 1 &&
        plan.features.size() == 1) {
        fed_back_steps(ring, plan, evaluator.plain_model(), steps, state, forecasts);
    }
    std::vector<double> window(static_cast<size_t>(plan.width));
    for (; state.made < steps; ++state.made) {
        ring.gather(state.made, plan, window.data());
        if (!all_finite(window) || !evaluator.evaluate(window, state.values)) return;
        store_forecast(ring, plan, state, forecasts);
    }
}

// Steps that ask the model, until a window that is not finite or an answer the loop cannot use.
void model_steps(py::handle self, RowRing& ring, const DirectWindows& plan, Py_ssize_t steps,
                 StepState& state, double* forecasts) {
    py::object predict = self.attr("estimator").attr("predict");
    py::object ndarray = global("np").attr("ndarray");
    AssumeFinite validated;
    for (; state.made < steps; ++state.made) {
        DoubleArray window({Py_ssize_t{1}, plan.width});
        ring.gather(state.made, plan, window.mutable_data());
        const double* cells = window.data();
        for (Py_ssize_t j = 0; j < plan.width; ++j) {
            if (!std::isfinite(cells[j])) return;  // the model checks this window itself
        }
        if (!forecast_values(predict, ndarray, window, state.values)) return;
        store_forecast(ring, plan, state, forecasts);
    }
}

bool features_finite(const DoubleArray& series, const DirectWindows& plan) {
    const double* cells = series.data();
    for (Py_ssize_t row = 0; row < series.shape(0); ++row, cells += plan.columns) {
        for (Py_ssize_t column : plan.features) {
            if (!std::isfinite(cells[column])) return false;
        }
    }
    return true;
}

// Window `w` of a C-contiguous (rows, columns) series: each feature's values at rows w .. w + L - 1.
void gather_window(const double* series, Py_ssize_t w, const DirectWindows& plan, double* out) {
    for (Py_ssize_t column : plan.features) {
        const double* cell = series + w * plan.columns + column;
        for (Py_ssize_t k = 0; k < plan.lookback; ++k, cell += plan.columns) *out++ = *cell;
    }
}

// Whether `Xt` is a window matrix our own Flatten has just made for this fit (a new array nobody
// else holds), and `estimator` a library linear model whose fit copies its input only to be
// allowed to centre it in place.
bool fits_on_own_windows(py::handle self, py::handle Xt, py::handle estimator) {
    if (truthy(self.attr("multivariate_column_encoding"))) return false;
    if (!py::type::handle_of(Xt).is(global("np").attr("ndarray")) || !DoubleArray::check_(Xt)) return false;
    const py::array windows = py::reinterpret_borrow<py::array>(Xt);
    if (!windows.owndata() || !windows.writeable()) return false;
    py::object steps = self.attr("transformer_steps");
    if (!PyList_CheckExact(steps.ptr()) || PyList_GET_SIZE(steps.ptr()) != 1) return false;
    const char* windowing = "orvane.gusk.transformers.preprocessing.ts_transformer";
    if (!is_library_class(PyList_GET_ITEM(steps.ptr(), 0), windowing, "Flatten",
                          {"fit_transform", "_layout", "_windows"}, "orvane")) {
        return false;
    }
    if (!runs_own_members(self, {Member::data_fit_transform})) return false;
    return is_one_of(estimator, "sklearn.linear_model", {"LinearRegression", "Ridge", "Lasso", "ElasticNet"},
                     {"fit"}, "sklearn") &&
           has_attr(estimator, "copy_X") && py::object(estimator.attr("copy_X")).is(py::bool_(true));
}

}  // namespace

namespace recursive_loop {

void fit_estimator(py::handle self, py::handle Xt, py::handle yt) {
    py::object estimator = self.attr("estimator");
    if (!fits_on_own_windows(self, Xt, estimator)) {
        estimator.attr("fit")(Xt, yt);
        return;
    }
    // The windows are ours and discarded after the fit: the model may centre them in place,
    // which gives the same coefficients at half the memory. Its setting is restored at once.
    estimator.attr("copy_X") = py::bool_(false);
    try {
        estimator.attr("fit")(Xt, yt);
    } catch (...) {
        estimator.attr("copy_X") = py::bool_(true);
        throw;
    }
    estimator.attr("copy_X") = py::bool_(true);
}

py::object window_predictions(py::handle self, py::handle X) {
    auto plan = full_windows(self, X);
    if (!plan) return py::none();
    const Py_ssize_t n_targets = static_cast<Py_ssize_t>(plan->targets.size());
    auto linear = linear_plan(self.attr("estimator"), plan->width, n_targets);
    if (!linear) return py::none();
    const auto input = py::reinterpret_borrow<DoubleArray>(X);
    const Py_ssize_t n_windows = input.shape(0) - plan->lookback;
    DoubleArray predictions({n_windows, n_targets});
    LinearEvaluator evaluator(std::move(*linear), plan->width);
    std::vector<double> window(static_cast<size_t>(plan->width));
    std::vector<double> values(static_cast<size_t>(n_targets));
    // a value the model's own checks would refuse: let it refuse it
    if (!features_finite(input, *plan)) return py::none();
    double* out = predictions.mutable_data();
    if (evaluator.is_plain_single_output()) {
        for (Py_ssize_t w = 0; w < n_windows; ++w) out[w] = evaluator.plain_output(input.data(), w, *plan);
        return std::move(predictions);
    }
    for (Py_ssize_t w = 0; w < n_windows; ++w) {
        gather_window(input.data(), w, *plan, window.data());
        if (!evaluator.evaluate(window, values)) return py::none();
        out = std::copy(values.begin(), values.end(), out);
    }
    return std::move(predictions);
}

py::object direct_steps(py::handle self, py::object& X, py::handle max_lookback, Py_ssize_t steps,
                        Py_ssize_t& made) {
    made = 0;
    auto plan = direct_windows(self, X, max_lookback);
    if (!plan) return py::none();
    const Py_ssize_t n_targets = static_cast<Py_ssize_t>(plan->targets.size());
    DoubleArray forecasts = forecast_rows(self, steps, n_targets);
    RowRing ring(py::reinterpret_borrow<DoubleArray>(X), plan->lookback, plan->columns);
    StepState state;
    state.values.resize(static_cast<size_t>(n_targets));
    if (auto linear = linear_plan(self.attr("estimator"), plan->width, n_targets)) {
        LinearEvaluator evaluator(std::move(*linear), plan->width);
        linear_steps(ring, *plan, evaluator, steps, state, forecasts.mutable_data());
    } else {
        model_steps(self, ring, *plan, steps, state, forecasts.mutable_data());
    }
    made = state.made;
    if (made < steps) X = ring.input_of_step(made, plan->lookback);
    if (made == steps) return std::move(forecasts);
    return slice(forecasts, py::none(), made);
}

}  // namespace recursive_loop
}  // namespace gusk
