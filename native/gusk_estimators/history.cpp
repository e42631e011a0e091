// The look-back history stored at fit time, exogenous input, and plans: the known future
// values of feature columns that a forecast reads.
#include "gusk_estimators/prediction.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gusk {

// ---------------------------------------------------------------------------------------------
// Known future values ("plans")
//
// A forecast reads some feature columns at the steps it forecasts: the look-ahead columns, and,
// when it feeds its own predictions back as input, every other feature column that is not a
// target. Their values there are not in X, so they come from the caller's plan (one row per
// forecast step) or, for look-ahead columns, from the means stored with the history. They are
// never made up as zeros.

bool forecasts_recursively(py::handle self) {
    return !py_eq(self.attr("multistep_prediction_win"), 1) && py_eq(self.attr("pred_win"), 1) &&
           strategy_is_recursive(self);
}

bool contains(py::handle sequence, py::handle value) {
    const int found = PySequence_Contains(sequence.ptr(), value.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

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

py::object checked_plan(py::handle supporting_features, const py::list& columns, py::handle rows) {
    py::object numpy = np();
    py::object plan = numpy.attr("array")(supporting_features, py::arg("dtype") = numpy.attr("float64"));
    if (py_eq(plan.attr("ndim"), 1)) plan = plan.attr("reshape")(-1, 1);
    const bool fits = py_eq(plan.attr("ndim"), 2) && py_eq(row_count(plan), rows) &&
                      py_eq(item(plan.attr("shape"), 1), length(columns));
    if (!fits) {
        raise_value_error("supporting_features has shape " + text_of(plan.attr("shape")) +
                          ", but this forecast needs " + text_of(rows) +
                          " rows (one per forecast step) and " + std::to_string(length(columns)) +
                          " column(s), the future values of columns " + text_of(columns) + " in that order.");
    }
    return plan;
}

py::object future_plan(py::handle self, py::handle supporting_features, bool recursive) {
    py::list columns = plan_columns(self, recursive);
    if (length(columns) == 0) return py::none();
    py::object rows = recursive ? self.attr("multistep_prediction_win") : self.attr("pred_win");
    if (!is_none(supporting_features)) return checked_plan(supporting_features, columns, rows);
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    const bool only_look_ahead = has_look_ahead_columns(self) && length(look_ahead) == length(columns);
    if (only_look_ahead && has_attr(self, "look_ahead_mean")) {
        py::object means = self.attr("look_ahead_mean");
        if (!recursive) return means;
        return np().attr("repeat")(rows_from(means, -1), rows, py::arg("axis"));
    }
    if (only_look_ahead) {
        raise_value_error("This model reads the future values of look_ahead_fcolumns=" + text_of(look_ahead) +
                          ": pass them to predict as supporting_features (" + text_of(rows) +
                          " rows, one per forecast step), or fit with store_lookback_history=True to use "
                          "their recent means.");
    }
    raise_value_error("A recursive forecast of " + text_of(rows) +
                      " steps feeds its predictions back as input, so it needs the values of columns " +
                      text_of(columns) +
                      " (features that are not targets) at every forecast step, and X "
                      "does not hold them. Pass them as supporting_features (" +
                      text_of(rows) +
                      " rows, one column per column listed), or forecast all steps at once with "
                      "multistep_prediction_strategy='multioutput' and pred_win=" +
                      text_of(rows) + ".");
}

void write_plan_rows(py::handle self, py::handle rows, py::handle plan, bool recursive) {
    py::object numpy = np();
    const Py_ssize_t n = std::min(length(rows), length(plan));
    py::object values = numpy.attr("nan_to_num")(
        slice(plan, py::none(), n), py::arg("nan") = 0.0, py::arg("posinf") = numpy.attr("inf"),
        py::arg("neginf") = -std::numeric_limits<double>::infinity());
    rows[py::make_tuple(slice_key(py::none(), n), plan_columns(self, recursive))] = values;
}

namespace {

using pyclass::Args;

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
    if (!py_gt(max_lookback, 0)) {
        self.attr("lookback_data_X") = py::none();
        return py::none();
    }
    py::object numpy = np();
    py::object start = row_count(X) - max_lookback;
    py::object key = py::make_tuple(slice_key(start, py::none()), all_rows());
    // A copy: the history must not change when the caller later reuses its array.
    py::object history = numpy.attr("array")(X[key]);
    self.attr("lookback_data_X") = history;
    if (has_look_ahead_columns(self)) {
        py::object look_ahead = self.attr("look_ahead_fcolumns");
        py::object columns = py::make_tuple(all_rows(), look_ahead);
        py::object mean = numpy.attr("nanmean")(history[columns], py::arg("axis") = 0);
        mean = mean.attr("reshape")(-1, length(look_ahead));
        self.attr("look_ahead_mean") = numpy.attr("repeat")(mean, self.attr("pred_win"), py::arg("axis") = 0);
    }
    return py::none();
}

GUSK_METHOD(add_lookback_history_to_X, "_add_lookback_history_to_X",
            "Prepend the stored look-back rows to X (X may be None).", {"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (!truthy(self.attr("store_lookback_history"))) raise_catalogue("ORVANE0045E");
    const bool has_history = py_gt(max_lookback_of(self), 0);
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
    if (!has_attr(self, "lookback_data_X")) {
        pyclass::raise(
            pyclass::import_from("sklearn.exceptions", "NotFittedError"),
            py::str("This " + py::str(self.attr("__class__").attr("__name__")).cast<std::string>() +
                    " has no stored history yet: call fit before update."));
    }
    py::object X = validated_input(a["X"]);
    if (!py_eq(X.attr("ndim"), 2)) {
        pyclass::raise(PyExc_ValueError,
                       "update(X) takes the new rows as a 2-D array (one row per time step, the "
                       "columns of the data given to fit); got an array of shape " +
                           py::str(X.attr("shape")).cast<std::string>() + ".");
    }
    self.attr("_store_lookback_history_X")(self.attr("_add_lookback_history_to_X")(X));
    return self;
}

// The failure of an `assert` statement of the Python method (callers skip it under python -O).
[[noreturn]] void raise_assertion(const char* message) { pyclass::raise(PyExc_AssertionError, message); }

GUSK_METHOD(add_exogenous_to_X, "_add_exogenous_to_X",
            "Append pred_win future rows carrying the known look-ahead values (other cells NaN).", {"self"},
            {"X"}, {"exogenous"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    py::object exogenous = a["exogenous"];
    py::object numpy = np();
    if (length(exogenous.attr("shape")) == 1) exogenous = exogenous.attr("reshape")(-1, 1);
    py::object pred_win = self.attr("pred_win");
    py::object look_ahead = self.attr("look_ahead_fcolumns");
    if (pyclass::assertions_enabled()) {
        if (!py_eq(pred_win, length(exogenous))) {
            raise_assertion("number of rows in exogenous cols should match with pred win.");
        }
        if (!py_eq(py::int_(length(look_ahead)), item(exogenous.attr("shape"), 1))) {
            raise_assertion("exogenous cols not in proper format.");
        }
    }
    py::object new_rows =
        numpy.attr("full")(py::make_tuple(pred_win, item(X.attr("shape"), 1)), numpy.attr("nan"));
    py::object every_row = all_rows();
    Py_ssize_t idx = 0;
    for (py::handle column : look_ahead) {
        new_rows[py::make_tuple(every_row, column)] = exogenous[py::make_tuple(every_row, py::int_(idx))];
        ++idx;
    }
    return numpy.attr("vstack")(py::make_tuple(X, new_rows));
}

}  // namespace
}  // namespace gusk
