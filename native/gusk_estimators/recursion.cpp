// Recursive forecasts: each one-step forecast fed back as the newest row of the window, either
// by the direct loop (recursive_loop.cpp) or, from the step where it cannot go on, by asking
// predict_sliding_window step by step; with a plan, the planned values of the feature columns
// enter each step's row first.
#include "gusk_estimators/prediction.hpp"

namespace gusk {
namespace {

// The recursive loop with a plan: before each step the row being forecast receives that
// step's planned values, and it keeps them when it becomes part of the look-back.
py::object recursive_steps_with_plan(py::handle self, py::handle X, py::handle plan,
                                     py::handle max_lookback) {
    py::object numpy = np();
    py::object window = numpy.attr("array")(rows_from(X, row_count(X) - max_lookback - py::int_(1)),
                                            py::arg("dtype") = numpy.attr("float64"));
    const py::tuple newest_row_targets = py::make_tuple(-2, self.attr("target_columns"));
    py::list preds;
    const Py_ssize_t steps = loop_count(self.attr("multistep_prediction_win"));
    for (Py_ssize_t step = 0; step < steps; ++step) {
        write_plan_rows(self, rows_from(window, -1), slice(plan, step, py::none()), true);
        py::object pred = rows_from(self.attr("predict_sliding_window")(window), max_lookback);
        preds.append(pred);
        window = append_rows(rows_from(window, 1), zero_rows(py::int_(1), window));
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
    if (has_attr(self, "is_recursive_multi_step_sliding") &&
        py_eq(self.attr("is_recursive_multi_step_sliding"), py::bool_(true))) {
        return rows_from(self.attr("predict_sliding_window")(X), max_lookback);
    }
    refuse_unservable_horizon(self);
    if (!is_none(a["supporting_features"])) {
        return recursive_steps_with_plan(self, X, a["supporting_features"], max_lookback);
    }
    py::list preds;
    const Py_ssize_t steps = loop_count(self.attr("multistep_prediction_win"));
    Py_ssize_t step = 0;
    if (steps > 0) {
        py::object made_rows = recursive_loop::direct_steps(self, X, max_lookback, steps, step);
        if (step == steps) return made_rows;
        if (step > 0) preds.append(made_rows);
    }
    for (; step < steps; ++step) {
        py::object pred = rows_from(self.attr("predict_sliding_window")(X), max_lookback);
        X = slice(X, 1, max_lookback);
        X = append_rows(X, next_rows(self, X, pred));
        preds.append(pred);
    }
    if (preds.empty()) return preds.attr("flatten")();  // the interpreter's AttributeError
    return np().attr("concatenate")(preds).attr("flatten")().attr("reshape")(-1, n_targets(self));
}

}  // namespace
}  // namespace gusk
