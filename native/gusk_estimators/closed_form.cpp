// Recognising models whose prediction is a known closed form, and reading that form off their
// fitted state.
#include "gusk_estimators/closed_form.hpp"

#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace gusk {
namespace {

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

}  // namespace

bool is_library_class(py::handle obj, const char* module, const char* name,
                      std::initializer_list<const char*> methods, const char* package) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    const char* dot = std::strrchr(type->tp_name, '.');
    if (std::strcmp(dot ? dot + 1 : type->tp_name, name) != 0) return false;  // cheap first look
    py::handle cls = reinterpret_cast<PyObject*>(type);
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) return false;
    py::object loaded = modules[module];
    if (!has_attr(loaded, name) || !py::object(loaded.attr(name)).is(cls)) return false;
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

namespace {

bool is_linear_model(py::handle model) {
    return is_one_of(model, "sklearn.linear_model",
                     {"LinearRegression", "Ridge", "RidgeCV", "Lasso", "ElasticNet", "LassoCV",
                      "ElasticNetCV", "SGDRegressor", "HuberRegressor"},
                     {"predict", "_decision_function"}, "sklearn") ||
           is_one_of(model, "sklearn.svm", {"LinearSVR"}, {"predict", "_decision_function"}, "sklearn");
}

}  // namespace

bool holds_float64(const py::array& array) { return array.dtype().num() == py::dtype::of<double>().num(); }

namespace {

// A float64 vector of exactly `size` values read from `values`, or nothing.
std::optional<std::vector<double>> float64_values(py::handle values, Py_ssize_t size) {
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(values);
    if (!holds_float64(array) || array.size() != size) return std::nullopt;
    DoubleArray flat = DoubleArray::ensure(array);
    if (!flat) throw py::error_already_set();
    return std::vector<double>(flat.data(), flat.data() + size);
}

bool add_operation(std::vector<ColumnOperation>& out, ColumnOperation::Kind kind, py::handle operand,
                   Py_ssize_t width) {
    auto values = float64_values(operand, width);
    if (!values) return false;
    out.push_back({kind, std::move(*values)});
    return true;
}

// A scaler that subtracts a centre and then divides by a scale, each behind its own switch.
struct CentreThenScale {
    const char* name;
    const char* centre_switch;
    const char* centre;
    const char* scale_switch;
};

constexpr CentreThenScale kCentreThenScale[] = {
    {"StandardScaler", "with_mean", "mean_", "with_std"},
    {"RobustScaler", "with_centering", "center_", "with_scaling"},
};

bool centre_then_scale(py::handle scaler, const CentreThenScale& kind, Py_ssize_t width,
                       std::vector<ColumnOperation>& out) {
    using Op = ColumnOperation;
    if (truthy(scaler.attr(kind.centre_switch)) &&
        !add_operation(out, Op::subtract, scaler.attr(kind.centre), width)) {
        return false;
    }
    return !truthy(scaler.attr(kind.scale_switch)) ||
           add_operation(out, Op::divide, scaler.attr("scale_"), width);
}

// The element-wise operations of a fitted scaler's transform, in the order it applies them.
bool scaler_operations(py::handle scaler, Py_ssize_t width, std::vector<ColumnOperation>& out) {
    const char* module = "sklearn.preprocessing";
    const auto own = {"transform"};
    using Op = ColumnOperation;
    for (const CentreThenScale& kind : kCentreThenScale) {
        if (is_library_class(scaler, module, kind.name, own, "sklearn")) {
            return centre_then_scale(scaler, kind, width, out);
        }
    }
    if (is_library_class(scaler, module, "MaxAbsScaler", own, "sklearn")) {
        // Releases before the clip option have none: they never clip.
        return !truthy(py::getattr(scaler, "clip", py::bool_(false))) &&
               add_operation(out, Op::divide, scaler.attr("scale_"), width);
    }
    if (is_library_class(scaler, module, "MinMaxScaler", own, "sklearn")) {
        return !truthy(scaler.attr("clip")) &&
               add_operation(out, Op::multiply, scaler.attr("scale_"), width) &&
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
            py::object step = item(PyList_GET_ITEM(steps.ptr(), i), 1);
            if (step.is_none() ||
                (py::isinstance<py::str>(step) && step.cast<std::string>() == "passthrough")) {
                continue;  // skipped by the pipeline as well
            }
            if (!scaler_operations(step, width, affine.scaling)) return std::nullopt;
        }
        keep_final = item(PyList_GET_ITEM(steps.ptr(), n - 1), 1);
        final_model = keep_final;
    }
    if (!is_linear_model(final_model) || !linear_terms(final_model, width, affine)) return std::nullopt;
    return affine;
}

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

// Our ensembles: einsum("mnk,km->nk", member predictions, ensemble_weights_). One fitted for a
// recursive forecasting task with several members is not a closed form: on a row of a recursion
// it averages the members' own recursive forecasts, which only its predict can follow.
bool ensemble_plan(py::handle model, Py_ssize_t width, LinearPlan& plan) {
    if (!py::getattr(model, "forecast_task_", py::none()).is_none() &&
        length(model.attr("estimators_")) > 1) {
        return false;
    }
    py::object outputs = model.attr("n_outputs_");
    if (!PyLong_CheckExact(outputs.ptr()) || index_value(outputs) != plan.n_targets) return false;
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

}  // namespace

std::optional<LinearPlan> linear_plan(py::handle model, Py_ssize_t width, Py_ssize_t n_targets) {
    LinearPlan plan;
    plan.n_targets = n_targets;
    try {
        if (is_library_class(model, "sklearn.ensemble", "VotingRegressor", {"predict", "_predict"},
                             "sklearn")) {
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

}  // namespace gusk
