// What the prediction files share: the look-back and strategy settings as a forecast reads them,
// rows and windows of the series, horizons that could never be served, and plans (known future
// values of feature columns).
#pragma once

#include "gusk_estimators/gusk.hpp"

#include <string>

namespace gusk {

Py_ssize_t n_targets(py::handle self);

// `X[start:]`.
py::object rows_from(py::handle X, const pyclass::Bound& start);

// `X.shape[0]` as a Python int.
py::object row_count(py::handle X);

// `self.look_ahead_fcolumns != None` (an inequality test, as the pipeline has always used).
bool has_look_ahead_setting(py::handle self);

bool has_look_ahead_columns(py::handle self);

py::object max_lookback_of(py::handle self);

// The look-back that predict and the interval helper use: the maximum over per-column windows
// when a look-ahead setting exists, else `lookback_win` itself.
py::object prediction_lookback(py::handle self);

// The strategy in lower case ("recursive", "multioutput" or the command line's "direct"), or
// an empty text for None or a value that is not text.
std::string strategy_word(py::handle self);

bool strategy_is_recursive(py::handle self);

// ValueError naming `setting` when `rows` rows of `columns` float64 values could never be
// allocated on this machine; counts that are not integers are left to NumPy.
void refuse_unallocatable_rows(const char* setting, py::handle rows, py::handle columns);

// `np.full((rows, X.shape[1]), 0.0)`, the placeholder rows counted by `setting`.
py::object zero_rows(py::handle rows, py::handle X, const char* setting = "pred_win");

py::object append_rows(py::handle X, py::handle rows);

// A new row whose target columns hold `values` (flat positions equal column indices for one
// row) and whose other cells are 0.
py::object row_with_targets(py::handle self, py::handle X, py::handle values);

// The rows that follow the shortened window in a recursive step: one row carrying the
// predicted targets, then pred_win placeholder rows, built as one block when pred_win is a
// plain non-negative int.
py::object next_rows(py::handle self, py::handle X, py::handle pred);

// A plain 2-D float64 ndarray with at least one column, which check_array below would hand back
// as it is: the common case is spared its cost (tens of microseconds per forecast).
bool is_plain_float64_matrix(py::handle X);

py::object validated_input(py::handle X);

// The number of targets to size a forecast with: at least 1, and 1 when target_columns has no
// length (the prediction path itself reports that).
Py_ssize_t targets_for_sizing(py::handle self);

// ValueError naming multistep_prediction_win when `windows` forecasts of that many steps could
// never be allocated. A value that is not an integer is left to the code that uses it.
void refuse_unservable_horizon(py::handle self, Py_ssize_t windows = 1);

// ---------------------------------------------------------------------------------------------
// Known future values ("plans")

bool forecasts_recursively(py::handle self);

bool contains(py::handle sequence, py::handle value);

// The columns a plan fills, in the order of its columns: the look-ahead columns, then (for a
// recursive forecast) the other feature columns that are not targets.
py::list plan_columns(py::handle self, bool recursive);

std::string text_of(py::handle value);

// The caller's plan as a float matrix of exactly the rows and columns the forecast needs.
py::object checked_plan(py::handle supporting_features, const py::list& columns, py::handle rows);

// The future values of the plan columns at every forecast step: the caller's plan, the stored
// look-ahead means, or a ValueError that says what is missing. None when nothing is needed.
py::object future_plan(py::handle self, py::handle supporting_features, bool recursive);

// `rows[:n, columns] = plan[:n]`, n the rows both have; NaN in the plan enter as 0, as in every
// forecast window.
void write_plan_rows(py::handle self, py::handle rows, py::handle plan, bool recursive);

}  // namespace gusk
