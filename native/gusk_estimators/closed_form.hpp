// Models whose prediction is a known closed form (a scikit-learn linear model, possibly behind
// scalers in a Pipeline, or a voting ensemble of such), recognised from their fitted state and
// evaluated here on plain Flatten windows without a Python call.
#pragma once

#include "gusk_estimators/gusk.hpp"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <vector>

namespace gusk {

using DoubleArray = py::array_t<double, py::array::c_style>;

// `a * b`, or nothing when the product does not fit.
inline std::optional<Py_ssize_t> product(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
    return result;
}

// Plain Flatten windows of a series: every row made of consecutive values of the feature columns.
struct DirectWindows {
    std::vector<Py_ssize_t> features;  // columns of the window, in order
    std::vector<Py_ssize_t> targets;   // columns the forecasts are written back to
    Py_ssize_t lookback = 0;
    Py_ssize_t columns = 0;
    Py_ssize_t width = 0;  // values in one window: features x look-back
};

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

// The model as a weighted combination of affine models:
// output k = sum over members m of weight[k][m] * member_m(window)[k], divided by `divisor`.
struct LinearPlan {
    std::vector<AffineModel> members;
    std::vector<double> weights;  // n_targets x members, row-major
    double divisor = 1.0;
    Py_ssize_t n_targets = 0;
};

// `type(obj)` is exactly the class `module.name` (when that module is loaded at all), and the
// methods it runs are that library's own, on the class and not replaced on the instance.
bool is_library_class(py::handle obj, const char* module, const char* name,
                      std::initializer_list<const char*> methods, const char* package);
// is_library_class for any of `names`.
bool is_one_of(py::handle obj, const char* module, std::initializer_list<const char*> names,
               std::initializer_list<const char*> methods, const char* package);
// float64 values in any byte order (the dtype object itself need not be numpy's shared one).
bool holds_float64(const py::array& array);
// The model as a linear plan for windows of `width` values, or nothing when it is not one.
std::optional<LinearPlan> linear_plan(py::handle model, Py_ssize_t width, Py_ssize_t n_targets);

// sum of coef[j] * values[j * stride], in four independent sums so the additions overlap.
inline double strided_dot(const double* coef, const double* values, Py_ssize_t stride, size_t n) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (size_t lane = 0; lane < 4; ++lane) sums[lane] += coef[j + lane] * values[(j + lane) * stride];
    }
    for (; j < n; ++j) sums[0] += coef[j] * values[j * stride];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

inline bool all_finite(const std::vector<double>& values) {
    for (double value : values) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

// Evaluates the plan on `window`, or returns false where predict would refuse a scaled window.
class LinearEvaluator {
public:
    LinearEvaluator(LinearPlan plan, Py_ssize_t width)
        : plan_(std::move(plan)),
          scaled_(static_cast<size_t>(width)),
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
                member_outputs_[m * targets + k] =
                    dot(member.coef.data() + k * input->size(), *input) + member.intercept[k];
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

    const AffineModel& plain_model() const { return plan_.members[0]; }

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
                    case ColumnOperation::subtract:
                        scaled_[j] -= operand[j];
                        break;
                    case ColumnOperation::divide:
                        scaled_[j] /= operand[j];
                        break;
                    case ColumnOperation::multiply:
                        scaled_[j] *= operand[j];
                        break;
                    case ColumnOperation::add:
                        scaled_[j] += operand[j];
                        break;
                }
            }
        }
        return all_finite(scaled_);
    }

    LinearPlan plan_;
    std::vector<double> scaled_;
    std::vector<double> member_outputs_;
};

}  // namespace gusk
