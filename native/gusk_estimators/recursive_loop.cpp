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
#include "gusk_estimators/gusk.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace gusk {
namespace {

using DoubleArray = py::array_t<double, py::array::c_style>;

// ---------------------------------------------------------------------------------------------
// Whether the loop may replace the estimator's own step methods

// None of `members` is replaced on the instance, in a subclass or by patching the class: the
// estimator still runs this module's own functions for them.
bool runs_own_members(py::handle self, std::initializer_list<Member> members) {
    py::object instance_dict = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr));
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

struct DirectWindows {
    std::vector<Py_ssize_t> features;  // columns of the window, in order
    std::vector<Py_ssize_t> targets;   // columns the forecasts are written back to
    Py_ssize_t lookback = 0;
    Py_ssize_t columns = 0;
    Py_ssize_t width = 0;              // values in one window: features x look-back
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

// `a * b`, or nothing when the product does not fit.
std::optional<Py_ssize_t> product(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
    return result;
}

// The windows of X when they are plain Flatten windows (every row made of consecutive values of
// each feature column, one step forecast per row) that this module may cut itself; nothing when
// the transformer and the estimator's own methods must run.
std::optional<DirectWindows> full_windows(py::handle self, py::handle X) {
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
    if (!pyclass::has_attr(transformer, "_full_window_plan") || !runs_own_step_methods(self)) {
        return std::nullopt;
    }
    py::object plan = transformer.attr("_full_window_plan")(X);
    if (is_none(plan)) return std::nullopt;
    DirectWindows windows;
    windows.columns = array.shape(1);
    py::object lookback = pyclass::item(plan, 1);
    if (!PyLong_CheckExact(lookback.ptr())) return std::nullopt;
    windows.lookback = pyclass::index_value(lookback);
    if (windows.lookback < 1 || array.shape(0) <= windows.lookback) return std::nullopt;
    py::object targets = self.attr("target_columns");
    if (!PyList_CheckExact(targets.ptr()) || PyList_GET_SIZE(targets.ptr()) == 0) return std::nullopt;
    if (!columns_within(pyclass::item(plan, 0), windows.columns, windows.features) ||
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
    if (!windows || !pyclass::py_eq(py::int_(windows->lookback), max_lookback)) return std::nullopt;
    if (py::reinterpret_borrow<py::array>(X).shape(0) != windows->lookback + 1) return std::nullopt;
    return windows;
}

// ---------------------------------------------------------------------------------------------
// Recognising models whose prediction is a known closed form

// A library method as first seen, so that a later patch of the class is noticed. The method is
// the class attribute itself as the class stores it (a function, or a descriptor making one),
// and it must come from the library: a function's code lives in the library's directory, any
// other descriptor is of a type the library defines.
class LibraryMethods {
public:
    bool is_own(py::handle cls, const char* name, const char* package) {
        PyObject* found_raw = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), py::str(name).ptr());
        if (found_raw == nullptr) return false;
        py::object method = py::reinterpret_borrow<py::object>(found_raw);
        auto key = std::make_pair(cls.ptr(), std::string(name));
        auto found = seen_.find(key);
        if (found != seen_.end()) return found->second.second.is(method);
        if (!comes_from(method, package)) return false;
        seen_.emplace(key, std::make_pair(py::reinterpret_borrow<py::object>(cls), method));
        return true;
    }

private:
    static bool comes_from(py::handle method, const std::string& package) {
        if (PyFunction_Check(method.ptr())) {
            const std::string file = py::str(method.attr("__code__").attr("co_filename"));
            return file.find("/" + package + "/") != std::string::npos;
        }
        const std::string module = py::str(py::type::handle_of(method).attr("__module__"));
        return module.rfind(package + ".", 0) == 0;
    }

    std::map<std::pair<PyObject*, std::string>, std::pair<py::object, py::object>> seen_;
};

LibraryMethods& library_methods() {
    static LibraryMethods* methods = new LibraryMethods();  // outlives interpreter shutdown calls
    return *methods;
}

// `type(obj)` is exactly the class `module.name` (when that module is loaded at all), and the
// methods it runs are that library's own, on the class and not replaced on the instance.
bool is_library_class(py::handle obj, const char* module, const char* name,
                      std::initializer_list<const char*> methods, const char* package) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    const char* dot = std::strrchr(type->tp_name, '.');
    if (std::strcmp(dot ? dot + 1 : type->tp_name, name) != 0) return false;  // cheap first look
    py::handle cls = reinterpret_cast<PyObject*>(type);
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) return false;
    py::object loaded = modules[module];
    if (!pyclass::has_attr(loaded, name) || !py::object(loaded.attr(name)).is(cls)) return false;
    py::object instance_dict = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(obj.ptr(), nullptr));
    if (!instance_dict) {
        PyErr_Clear();
        return false;
    }
    for (const char* method : methods) {
        if (PyDict_GetItemString(instance_dict.ptr(), method) != nullptr) return false;
        if (!library_methods().is_own(cls, method, package)) return false;
    }
    return true;
}

bool is_one_of(py::handle obj, const char* module, std::initializer_list<const char*> names,
               std::initializer_list<const char*> methods, const char* package) {
    for (const char* name : names) {
        if (is_library_class(obj, module, name, methods, package)) return true;
    }
    return false;
}

bool is_linear_model(py::handle model) {
    return is_one_of(model, "sklearn.linear_model",
                     {"LinearRegression", "Ridge", "RidgeCV", "Lasso", "ElasticNet", "LassoCV",
                      "ElasticNetCV", "SGDRegressor", "HuberRegressor"},
                     {"predict", "_decision_function"}, "sklearn") ||
           is_one_of(model, "sklearn.svm", {"LinearSVR"}, {"predict", "_decision_function"}, "sklearn");
}

// float64 values in any byte order (the dtype object itself need not be numpy's shared one).
bool holds_float64(const py::array& array) { return array.dtype().num() == py::dtype::of<double>().num(); }

// A float64 vector of exactly `size` values read from `values`, or nothing.
std::optional<std::vector<double>> float64_values(py::handle values, Py_ssize_t size) {
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(values);
    if (!holds_float64(array) || array.size() != size) return std::nullopt;
    DoubleArray flat = DoubleArray::ensure(array);
    if (!flat) throw py::error_already_set();
    return std::vector<double>(flat.data(), flat.data() + size);
}

// One element-wise operation of a scaler's transform, with one operand per column.
struct ColumnOperation {
    enum Kind { subtract, divide, multiply, add } kind;
    std::vector<double> operand;
};

// A linear model, possibly behind scalers: outputs = scale(window) @ coef.T + intercept.
struct AffineModel {
    std::vector<ColumnOperation> scaling;
    std::vector<double> coef;       // outputs x width, row-major
    std::vector<double> intercept;  // one per output
    Py_ssize_t outputs = 0;
};

bool add_operation(std::vector<ColumnOperation>& out, ColumnOperation::Kind kind, py::handle operand,
                   Py_ssize_t width) {
    auto values = float64_values(operand, width);
    if (!values) return false;
    out.push_back({kind, std::move(*values)});
    return true;
}

// The element-wise operations of a fitted scaler's transform, in the order it applies them.
bool scaler_operations(py::handle scaler, Py_ssize_t width, std::vector<ColumnOperation>& out) {
    const char* module = "sklearn.preprocessing";
    const auto own = {"transform"};
    using Op = ColumnOperation;
    if (is_library_class(scaler, module, "StandardScaler", own, "sklearn")) {
        if (truthy(scaler.attr("with_mean")) && !add_operation(out, Op::subtract, scaler.attr("mean_"), width)) {
            return false;
        }
        return !truthy(scaler.attr("with_std")) || add_operation(out, Op::divide, scaler.attr("scale_"), width);
    }
    if (is_library_class(scaler, module, "RobustScaler", own, "sklearn")) {
        if (truthy(scaler.attr("with_centering")) &&
            !add_operation(out, Op::subtract, scaler.attr("center_"), width)) {
            return false;
        }
        return !truthy(scaler.attr("with_scaling")) || add_operation(out, Op::divide, scaler.attr("scale_"), width);
    }
    if (is_library_class(scaler, module, "MaxAbsScaler", own, "sklearn")) {
        // Releases before the clip option have none: they never clip.
        return !truthy(py::getattr(scaler, "clip", py::bool_(false))) &&
               add_operation(out, Op::divide, scaler.attr("scale_"), width);
    }
    if (is_library_class(scaler, module, "MinMaxScaler", own, "sklearn")) {
        return !truthy(scaler.attr("clip")) && add_operation(out, Op::multiply, scaler.attr("scale_"), width) &&
               add_operation(out, Op::add, scaler.attr("min_"), width);
    }
    return false;
}

// coef_ (a vector, or one row per output) and intercept_ (a number, or one per output).
bool linear_terms(py::handle model, Py_ssize_t width, AffineModel& out) {
    py::object coef = model.attr("coef_");
    if (!py::isinstance<py::array>(coef)) return false;
    const py::array coef_array = py::reinterpret_borrow<py::array>(coef);
    if (coef_array.ndim() != 1 && coef_array.ndim() != 2) return false;
    if (coef_array.shape(coef_array.ndim() - 1) != width) return false;
    out.outputs = coef_array.ndim() == 1 ? 1 : coef_array.shape(0);
    auto weights = float64_values(coef, coef_array.size());
    if (!weights || out.outputs < 1) return false;
    out.coef = std::move(*weights);
    py::object intercept = model.attr("intercept_");
    if (PyFloat_Check(intercept.ptr())) {  // a float, or numpy's float64 scalar
        out.intercept.assign(static_cast<size_t>(out.outputs), PyFloat_AS_DOUBLE(intercept.ptr()));
        return true;
    }
    // a 1-element intercept broadcasts over the outputs, as in `X @ coef_.T + intercept_`
    auto one = float64_values(intercept, 1);
    if (one) {
        out.intercept.assign(static_cast<size_t>(out.outputs), (*one)[0]);
        return true;
    }
    auto each = float64_values(intercept, out.outputs);
    if (!each) return false;
    out.intercept = std::move(*each);
    return true;
}

// A fitted linear model, or a scikit-learn Pipeline of scalers ending in one.
std::optional<AffineModel> affine_model(py::handle model, Py_ssize_t width) {
    AffineModel affine;
    py::handle final_model = model;
    py::object keep_final;
    if (is_library_class(model, "sklearn.pipeline", "Pipeline", {"predict", "_iter"}, "sklearn")) {
        py::object steps = model.attr("steps");
        if (!PyList_Check(steps.ptr()) || PyList_GET_SIZE(steps.ptr()) < 1) return std::nullopt;
        const Py_ssize_t n = PyList_GET_SIZE(steps.ptr());
        for (Py_ssize_t i = 0; i < n - 1; ++i) {
            py::object step = pyclass::item(PyList_GET_ITEM(steps.ptr(), i), 1);
            if (step.is_none() || (py::isinstance<py::str>(step) && step.cast<std::string>() == "passthrough")) {
                continue;  // skipped by the pipeline as well
            }
            if (!scaler_operations(step, width, affine.scaling)) return std::nullopt;
        }
        keep_final = pyclass::item(PyList_GET_ITEM(steps.ptr(), n - 1), 1);
        final_model = keep_final;
    }
    if (!is_linear_model(final_model) || !linear_terms(final_model, width, affine)) return std::nullopt;
    return affine;
}

// The model as a weighted combination of affine models:
// output k = sum over members m of weight[k][m] * member_m(window)[k], divided by `divisor`.
struct LinearPlan {
    std::vector<AffineModel> members;
    std::vector<double> weights;  // n_targets x members, row-major
    double divisor = 1.0;
    Py_ssize_t n_targets = 0;
};

bool add_members(py::handle members, Py_ssize_t width, Py_ssize_t outputs, LinearPlan& plan) {
    for (py::handle member : members) {
        auto affine = affine_model(member, width);
        if (!affine || affine->outputs != outputs) return false;
        plan.members.push_back(std::move(*affine));
    }
    return !plan.members.empty();
}

// `VotingRegressor.predict`: np.average of the members' predictions, weighted or not.
bool voting_plan(py::handle model, Py_ssize_t width, LinearPlan& plan) {
    if (plan.n_targets != 1 || !add_members(model.attr("estimators_"), width, 1, plan)) return false;
    const Py_ssize_t m = static_cast<Py_ssize_t>(plan.members.size());
    py::object weights = model.attr("_weights_not_none");
    if (weights.is_none()) {
        plan.weights.assign(static_cast<size_t>(m), 1.0);
        plan.divisor = static_cast<double>(m);
        return true;
    }
    auto values = float64_values(global("np").attr("asarray")(weights, py::arg("dtype") = "float64"), m);
    if (!values) return false;
    plan.divisor = 0.0;
    for (double w : *values) plan.divisor += w;
    if (!(plan.divisor != 0.0) || !std::isfinite(plan.divisor)) return false;  // np.average refuses it
    plan.weights = std::move(*values);
    return true;
}

// Our ensembles: einsum("mnk,km->nk", member predictions, ensemble_weights_).
bool ensemble_plan(py::handle model, Py_ssize_t width, LinearPlan& plan) {
    py::object outputs = model.attr("n_outputs_");
    if (!PyLong_CheckExact(outputs.ptr()) || pyclass::index_value(outputs) != plan.n_targets) return false;
    if (!add_members(model.attr("estimators_"), width, plan.n_targets, plan)) return false;
    const auto cells = product(plan.n_targets, static_cast<Py_ssize_t>(plan.members.size()));
    if (!cells) return false;
    auto values = float64_values(model.attr("ensemble_weights_"), *cells);
    if (!values) return false;
    plan.weights = std::move(*values);
    return true;
}

bool is_own_ensemble(py::handle model) {
    const auto methods = {"predict", "_predict_outputs", "_validate_prediction_data", "_as_target_shape"};
    const char* module = "orvane.gusk.estimators.regression.auto_ensemble_regressor";
    return is_one_of(model, module, {"GUSKEnsemble", "EnsembleRegressor"}, methods, "orvane");
}

std::optional<LinearPlan> linear_plan(py::handle model, Py_ssize_t width, Py_ssize_t n_targets) {
    LinearPlan plan;
    plan.n_targets = n_targets;
    try {
        if (is_library_class(model, "sklearn.ensemble", "VotingRegressor", {"predict", "_predict"}, "sklearn")) {
            if (!voting_plan(model, width, plan)) return std::nullopt;
        } else if (is_own_ensemble(model)) {
            if (!ensemble_plan(model, width, plan)) return std::nullopt;
        } else {
            auto single = affine_model(model, width);
            if (!single || single->outputs != n_targets) return std::nullopt;
            plan.members.push_back(std::move(*single));
            plan.weights.assign(static_cast<size_t>(n_targets), 1.0);
        }
    } catch (py::error_already_set&) {
        return std::nullopt;  // anything unexpected in the fitted state: the model decides itself
    }
    return plan;
}

// sum of coef[j] * values[j * stride], in four independent sums so the additions overlap.
double strided_dot(const double* coef, const double* values, Py_ssize_t stride, size_t n) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (size_t lane = 0; lane < 4; ++lane) sums[lane] += coef[j + lane] * values[(j + lane) * stride];
    }
    for (; j < n; ++j) sums[0] += coef[j] * values[j * stride];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

bool all_finite(const std::vector<double>& values) {
    for (double value : values) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

// Evaluates the plan on `window`, or returns false where predict would refuse a scaled window.
class LinearEvaluator {
public:
    LinearEvaluator(LinearPlan plan, Py_ssize_t width)
        : plan_(std::move(plan)), scaled_(static_cast<size_t>(width)),
          member_outputs_(plan_.members.size() * static_cast<size_t>(plan_.n_targets)) {}

    bool evaluate(const std::vector<double>& window, std::vector<double>& out) {
        const size_t targets = static_cast<size_t>(plan_.n_targets);
        for (size_t m = 0; m < plan_.members.size(); ++m) {
            const AffineModel& member = plan_.members[m];
            const std::vector<double>* input = &window;
            if (!member.scaling.empty()) {
                if (!scale(member, window)) return false;
                input = &scaled_;
            }
            for (size_t k = 0; k < targets; ++k) {
                member_outputs_[m * targets + k] = dot(member.coef.data() + k * input->size(), *input) +
                                                   member.intercept[k];
            }
        }
        for (size_t k = 0; k < targets; ++k) {
            double sum = 0.0;
            for (size_t m = 0; m < plan_.members.size(); ++m) {
                sum += plan_.weights[k * plan_.members.size() + m] * member_outputs_[m * targets + k];
            }
            out[k] = plan_.divisor == 1.0 ? sum : sum / plan_.divisor;
        }
        return true;
    }

    // One linear model, unscaled, one output: its value is read straight off the series.
    bool is_plain_single_output() const {
        return plan_.members.size() == 1 && plan_.members[0].scaling.empty() && plan_.n_targets == 1 &&
               plan_.divisor == 1.0 && plan_.weights[0] == 1.0;
    }
    double plain_output(const double* series, Py_ssize_t w, const DirectWindows& windows) const {
        const AffineModel& model = plan_.members[0];
        double sum = 0.0;
        for (size_t f = 0; f < windows.features.size(); ++f) {
            const double* first = series + w * windows.columns + windows.features[f];
            sum += strided_dot(model.coef.data() + f * windows.lookback, first, windows.columns,
                               static_cast<size_t>(windows.lookback));
        }
        return sum + model.intercept[0];
    }

private:
    static double dot(const double* coef, const std::vector<double>& values) {
        return strided_dot(coef, values.data(), 1, values.size());
    }

    // The scalers' transform; a value they make infinite is refused by the model's own checks.
    bool scale(const AffineModel& member, const std::vector<double>& window) {
        scaled_ = window;
        for (const ColumnOperation& operation : member.scaling) {
            const double* operand = operation.operand.data();
            for (size_t j = 0; j < scaled_.size(); ++j) {
                switch (operation.kind) {
                    case ColumnOperation::subtract: scaled_[j] -= operand[j]; break;
                    case ColumnOperation::divide: scaled_[j] /= operand[j]; break;
                    case ColumnOperation::multiply: scaled_[j] *= operand[j]; break;
                    case ColumnOperation::add: scaled_[j] += operand[j]; break;
                }
            }
        }
        return all_finite(scaled_);
    }

    LinearPlan plan_;
    std::vector<double> scaled_;
    std::vector<double> member_outputs_;
};

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
    if (!holds_float64(values) ||
        static_cast<size_t>(values.size()) != out.size()) {
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
        pyclass::raise(PyExc_ValueError,
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
        const double value = std::isinf(state.values[t]) ? std::numeric_limits<double>::quiet_NaN() : state.values[t];
        next_row[plan.targets[t]] = value;
        forecasts[static_cast<size_t>(state.made) * n_targets + t] = value;
    }
}

// Steps computed here from the closed form, until a window that predict would refuse.
void linear_steps(RowRing& ring, const DirectWindows& plan, LinearEvaluator& evaluator, Py_ssize_t steps,
                  StepState& state, double* forecasts) {
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
           pyclass::has_attr(estimator, "copy_X") && py::object(estimator.attr("copy_X")).is(py::bool_(true));
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
    return pyclass::slice(forecasts, py::none(), py::int_(made));
}

}  // namespace recursive_loop
}  // namespace gusk
