// Multi-step sliding-window forecasts: sequential, parallel and multi-output versions.
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
    if (!py_ge(pred_win, 1)) cannot_serve("pred_win must be at least 1");
    if (!py_ge(steps, 1)) cannot_serve("multistep_prediction_win must be at least 1");
    if (py_gt(pred_win, 1)) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        return self.attr("_use_multioutput_version_of_multi_step_sliding_window")(X);
    }
    if (!strategy_is_recursive(self)) {
        cannot_serve(
            "a one-step model (pred_win=1) forecasts several steps only with "
            "multistep_prediction_strategy='recursive'");
    }
    // One step ahead needs no recursion: the sliding-window pass serves every window at once.
    self.attr("is_recursive_multi_step_sliding") = py::bool_(py_eq(steps, 1));
    try {
        py::object result = self.attr("_use_parallel_version_of_multi_step_sliding_window")(X);
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        return result;
    } catch (...) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
        throw;
    }
}

GUSK_METHOD(use_multioutput_version_of_multi_step_sliding_window,
            "_use_multioutput_version_of_multi_step_sliding_window",
            "Multi-step forecasts of every window of X from a multi-output model, in one pass.", {"self"},
            {"X"}) {
    py::object self = a["self"];
    return self.attr("_predict")(a["X"]);
}

GUSK_METHOD(use_parallel_version_of_multi_step_sliding_window,
            "_use_parallel_version_of_multi_step_sliding_window",
            "Recursive multi-step forecasts of every window of X, the windows spread over joblib workers.",
            {"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object numpy = np();
    if (has_attr(self, "is_recursive_multi_step_sliding") &&
        truthy(self.attr("is_recursive_multi_step_sliding"))) {
        return self.attr("_recursive_predict_helper")(X);
    }
    // Counts of any size are compared as Python ints, before anything is allocated.
    py::object lookback_value = max_lookback_of(self);
    py::object steps_value = self.attr("multistep_prediction_win");
    if (!py_ge(lookback_value, 1)) cannot_serve("the look-back must be at least 1");
    if (!py_ge(steps_value, 1)) cannot_serve("multistep_prediction_win must be at least 1");
    const Py_ssize_t rows = length(X);
    py::object free_rows = py::int_(rows) - lookback_value - steps_value + py::int_(1);
    if (py_lt(free_rows, 1)) {
        cannot_serve("X has " + std::to_string(rows) + " rows; every window needs " +
                     std::string(py::str(lookback_value)) + " look-back rows and " +
                     std::string(py::str(steps_value)) + " rows to forecast");
    }
    const Py_ssize_t lookback = index_value(lookback_value);
    const Py_ssize_t windows = index_value(free_rows);
    refuse_unservable_horizon(self, windows);
    // Every window is forecast recursively on its own; the windows are spread over workers.
    py::object helper = self.attr("_recursive_predict_helper");
    py::object delayed = global("delayed");
    // In-sample, the columns a recursive forecast does not predict are known: the rows of X
    // after each window are its plan.
    py::list columns = plan_columns(self, true);
    const bool planned = length(columns) > 0;
    py::list tasks;
    for (Py_ssize_t t = lookback; t < lookback + windows; ++t) {
        py::object window = slice(X, t - lookback, t);
        window = append_rows(window, zero_rows(self.attr("pred_win"), window));
        if (!planned) {
            tasks.append(delayed(helper)(window));
            continue;
        }
        py::object future = slice(X, t, py::int_(t) + steps_value);
        tasks.append(delayed(helper)(
            window, py::arg("supporting_features") = future[py::make_tuple(py::slice(), columns)]));
    }
    // The ready-made forecasters carry their worker count; anything else uses every processor
    // but one (as `self.n_jobs or -1` would).
    py::object n_jobs = has_attr(self, "n_jobs") ? self.attr("n_jobs") : py::object(py::none());
    if (!truthy(n_jobs)) n_jobs = py::int_(-1);
    py::object workers =
        global("get_optimized_n_jobs")(py::arg("n_jobs") = n_jobs, py::arg("no_outputs") = windows);
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
    if (!py_eq(pred_win, 1)) raise_catalogue("ORVANE0049E", py::make_tuple(pred_win));
    refuse_unservable_horizon(self);
    py::object X = a["X"];
    if (!is_none(X)) X = validated_input(X);
    if (truthy(self.attr("store_lookback_history"))) X = self.attr("_add_lookback_history_to_X")(X);
    py::object max_lookback = max_lookback_of(self);
    py::object builtins = py::module_::import("builtins");
    const py::object rows = is_none(X) ? py::object(py::int_(0)) : row_count(X);
    if (is_none(X) || py_lt(rows, max_lookback)) {
        raise_catalogue("ORVANE0050E",
                        py::make_tuple(builtins.attr("format")(max_lookback), builtins.attr("format")(rows)));
    }
    X = rows_from(X, rows - max_lookback);
    X = append_rows(X, zero_rows(pred_win, X));
    if (has_attr(self, "is_recursive_multi_step_sliding")) {
        self.attr("is_recursive_multi_step_sliding") = py::bool_(false);
    }
    // Columns the model reads but does not forecast: the stored look-ahead means, or a clear error.
    py::object plan = future_plan(self, py::none(), true);
    if (!is_none(plan))
        return self.attr("_recursive_predict_helper")(X, py::arg("supporting_features") = plan);
    return self.attr("_recursive_predict_helper")(X);
}

}  // namespace
}  // namespace gusk
