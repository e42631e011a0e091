// Prediction intervals, point forecast by point forecast, in the units of the data.
#include "gusk_estimators/prediction.hpp"

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

// ---------------------------------------------------------------------------------------------
// Prediction intervals

// During a recursive interval forecast our own regressors are told which step the window
// serves (the counter falls from multistep_prediction_win - 1 to 0), so that each step gets
// the width calibrated for it; other estimators get the plain call.
py::object estimator_intervals(py::handle self, py::handle Xt) {
    py::object estimator = self.attr("estimator");
    if (has_attr(self, "recursive_cnt") &&
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
    py::object lower = item(yt, 0);
    py::object upper = item(yt, 1);
    py::object first = item(self.attr("transformer_steps"), 0);
    const bool target_transformer = is_instance(first, global("TargetTransformer"));
    if (py_gt(self.attr("pred_win"), 1)) {
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
        if (targets == 1 && length(lower.attr("shape")) == 1) {
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
    if (!is_instance(self.attr("estimator"), global("EnsembleRegressor"))) {
        raise_catalogue("ORVANE0053E");
    }
    require_fitted_columns(self, X);
    py::object pred_win = self.attr("pred_win");
    py::object supporting_features = a["supporting_features"];
    if (py_gt(pred_win, 0)) {
        refuse_unservable_horizon(self);
        py::object dummy;
        if (strategy_is_recursive(self)) {
            if (has_attr(self, "recursive_cnt")) {
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
                    if (has_attr(self, "recursive_cnt")) py::delattr(self, "recursive_cnt");
                    throw;
                }
                py::delattr(self, "recursive_cnt");
                return predict_probs;
            }
        } else {
            dummy = zero_rows(self.attr("multistep_prediction_win"), X, "multistep_prediction_win");
            py::object plan = future_plan(self, supporting_features, false);
            if (!is_none(plan))
                write_plan_rows(self, dummy, checked_plan(plan, plan_columns(self, false), pred_win), false);
        }
        X = append_rows(X, dummy);
    }
    X = self.attr("_input_data_transformation")(X);
    auto transformed = unpack_pair(self.attr("_data_transform")(X, py::arg("y") = py::none()));
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
            "Interval rows of every recursive step, stacked along the first axis.", {"self"}, {"X"},
            {"supporting_features", "None"}) {
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
            write_plan_rows(self, rows, slice(plan, step, py::none()), forecasts_recursively(self));
        }
        return rows;
    };
    const auto interval_of = [&](py::handle window, Py_ssize_t step) -> py::object {
        if (is_none(plan)) return self.attr("predict_proba")(window);
        return self.attr("predict_proba")(window, slice(plan, step, step + 1));
    };
    // Every step works on the window at the end of X (its last max_lookback rows), like the
    // point forecasts, so each step contributes one interval block of the same shape.
    X = rows_from(X, row_count(X) - max_lookback);
    py::object pred_probs;
    const Py_ssize_t steps = loop_count(self.attr("multistep_prediction_win"));
    for (Py_ssize_t step = 0; step < steps; ++step) {
        if (step == 0) {
            pred_probs = interval_of(X, step);
            continue;
        }
        if (!py_gt(self.attr("recursive_cnt"), 0)) continue;
        py::object pre_pred = item(predictions, step - 1);
        // Slide by one row: drop the oldest row, append the previous step's point forecast,
        // stamped so that putting the window in time order keeps it last.
        X = slice(rows_from(X, row_count(X) - max_lookback), 1, py::none());
        py::object next = row_with_targets(self, X, pre_pred);
        planned(next, step - 1);
        X = append_rows(X, frames("stamped_last")(self, X, next));
        pred_probs = append_rows(pred_probs, interval_of(X, step));
    }
    if (!pred_probs) {
        // A loop that never ran leaves the Python method's local unbound: the same error here.
        pyclass::raise(PyExc_UnboundLocalError,
                       "cannot access local variable 'pred_probs' where it is not associated with a value");
    }
    return pred_probs;
}

GUSK_METHOD(transformer_helper, "_transformer_helper",
            "Fold each block of per-target rows into one row per time step.", {"self"}, {"y_pred"}) {
    py::object self = a["self"];
    return fold_target_blocks(a["y_pred"], py::int_(length(self.attr("target_columns"))));
}

}  // namespace
}  // namespace gusk
