"""pandas in, pandas out: the thin layer between data frames and the estimators' arrays.

The estimators work on 2-D float arrays whose columns are addressed by position. Their entry
points (``fit``, ``predict``, ``predict_proba``, ``score``) hand what the caller gave to the
functions here: a ``DataFrame`` or ``Series`` becomes such an array (column names given in the
column settings are resolved to positions at ``fit``), and a forecast made from a frame with a
regular time index comes back as a frame indexed by the future time stamps. Anything that is
not a pandas object passes through untouched, so the array contracts stay as they are.
"""

import numpy as np
import pandas as pd

from orvane.utils.validation import _is_int

OUTPUT_KINDS = ("pandas", "numpy")

# Settings of the estimator that hold column lists, and of the windowing steps.
_ESTIMATOR_COLUMN_LISTS = ("feature_columns", "target_columns", "look_ahead_fcolumns")
_STEP_COLUMN_LISTS = ("feature_col_index", "target_col_index", "look_ahead_fcol_index")


def _is_pandas(X):
    return isinstance(X, (pd.DataFrame, pd.Series))


def _as_frame(X):
    return X.to_frame() if isinstance(X, pd.Series) else X




# ---------------------------------------------------------------------------------------------
# Column names to positions


def _position_of(columns, entry, setting):
    if _is_int(entry):
        return entry
    if entry in columns:
        return columns.get_loc(entry)
    raise ValueError(
        f"{setting}: column {entry!r} is not in the data; its columns are {list(columns)}")


def _resolved_list(columns, entries, setting):
    if entries is None or isinstance(entries, (str, bytes)) or not hasattr(entries, "__iter__"):
        return entries
    entries = list(entries)
    if all(_is_int(entry) for entry in entries):
        return entries
    return [_position_of(columns, entry, setting) for entry in entries]


def _resolved_time_column(columns, time_column):
    if _is_int(time_column) or time_column is None:
        return time_column
    if isinstance(time_column, str) or time_column in columns:
        return _position_of(columns, time_column, "time_column")
    return time_column


def _resolve_column_names(estimator, columns):
    """Replace column names in the estimator's and its windowing steps' settings by positions."""
    for setting in _ESTIMATOR_COLUMN_LISTS:
        value = getattr(estimator, setting, None)
        resolved = _resolved_list(columns, value, setting)
        if resolved is not value and resolved != value:
            setattr(estimator, setting, resolved)
    time_column = getattr(estimator, "time_column", -1)
    resolved_time = _resolved_time_column(columns, time_column)
    if resolved_time is not time_column:
        estimator.time_column = resolved_time
    for step in _transformer_steps(estimator):
        for setting in _STEP_COLUMN_LISTS:
            value = getattr(step, setting, None)
            resolved = _resolved_list(columns, value, setting)
            if resolved is not value and resolved != value:
                setattr(step, setting, resolved)


def _transformer_steps(estimator):
    steps = getattr(estimator, "steps", None) or []
    try:
        return [step[1] for step in steps[:-1]]
    except (TypeError, IndexError, KeyError):
        return []


def _used_positions(estimator, n_columns):
    """Positions the estimator reads, or None when its settings do not say (then all are)."""
    used: set[int] = set()
    for setting in _ESTIMATOR_COLUMN_LISTS:
        value = getattr(estimator, setting, None)
        if value is None:
            continue
        try:
            entries = list(value)
        except TypeError:
            return None
        if not all(_is_int(entry) and -n_columns <= entry < n_columns for entry in entries):
            return None
        used.update(int(entry) % n_columns for entry in entries)
    return used


# ---------------------------------------------------------------------------------------------
# Time stamps


def _time_position(estimator, n_columns):
    time_column = getattr(estimator, "time_column", -1)
    if _is_int(time_column) and 0 <= time_column < n_columns:
        return int(time_column)
    return None


def _time_stamps(frame, position):
    column = frame.iloc[:, position]
    if pd.api.types.is_datetime64_any_dtype(column) or isinstance(column.dtype, pd.PeriodDtype):
        return column
    if pd.api.types.is_numeric_dtype(column):
        return column
    try:
        return pd.to_datetime(column)
    except (ValueError, TypeError) as error:
        raise ValueError(
            f"time_column: column {frame.columns[position]!r} does not hold time stamps ({error})"
        ) from None


def _ordered_by_time(frame, estimator):
    """The frame sorted by its time column, indexed by it when it holds dates."""
    position = _time_position(estimator, frame.shape[1])
    if position is None:
        return frame, None
    stamps = _time_stamps(frame, position)
    order = np.argsort(stamps.to_numpy(), kind="stable")
    frame = frame.iloc[order]
    stamps = stamps.iloc[order]
    if pd.api.types.is_numeric_dtype(stamps):
        return frame, None
    return frame, pd.Index(stamps.to_numpy(), name=frame.columns[position])


def _regular_time_index(index):
    """(index, frequency) when the index is a regular DatetimeIndex or PeriodIndex, else None."""
    if isinstance(index, pd.PeriodIndex):
        if len(index) and (index == pd.period_range(index[0], periods=len(index),
                                                      freq=index.freq)).all():
            return index, index.freq
        return None
    if not isinstance(index, pd.DatetimeIndex) or len(index) < 3:
        return None
    try:
        freq = index.freq or pd.DatetimeIndex(index, freq="infer").freq
    except (TypeError, ValueError):
        return None
    return (index, freq) if freq is not None else None


def _future_stamps(last, freq, periods):
    if isinstance(last, pd.Period):
        return pd.period_range(last + 1, periods=periods, freq=freq)
    return pd.date_range(last, periods=periods + 1, freq=freq)[1:]


# ---------------------------------------------------------------------------------------------
# Values


def _column_values(frame, position, used, time_position):
    column = frame.iloc[:, position]
    if position == time_position:
        return np.arange(len(frame), dtype=float)
    if pd.api.types.is_bool_dtype(column) or pd.api.types.is_numeric_dtype(column):
        return column.to_numpy(dtype=float, na_value=np.nan)
    if used is not None and position not in used:
        return np.zeros(len(frame))
    try:
        return column.to_numpy(dtype=float, na_value=np.nan)
    except (ValueError, TypeError):
        raise ValueError(
            f"column {frame.columns[position]!r} holds {column.dtype} values that are not numbers; "
            "leave it out of the feature and target columns or convert it"
        ) from None


def _values(frame, estimator):
    n_columns = frame.shape[1]
    used = _used_positions(estimator, n_columns)
    time_position = _time_position(estimator, n_columns)
    if all(isinstance(dtype, np.dtype) and dtype == np.float64 for dtype in frame.dtypes):
        values = frame.to_numpy(dtype=float)
        if time_position is not None:
            values[:, time_position] = np.arange(len(frame), dtype=float)
        return values
    columns = [_column_values(frame, i, used, time_position) for i in range(n_columns)]
    return np.column_stack(columns) if columns else np.empty((len(frame), 0))


def _sorted_rows(X, estimator):
    """An ndarray with a time column, its rows in time order (a sorted copy when they are not)."""
    if not isinstance(X, np.ndarray) or X.ndim != 2:
        return X
    position = _time_position(estimator, X.shape[1])
    if position is None or X.dtype.kind not in "fiu":
        return X
    stamps = X[:, position]
    if len(stamps) < 2 or bool(np.all(stamps[1:] >= stamps[:-1])):
        return X
    return X[np.argsort(stamps, kind="stable")]


# ---------------------------------------------------------------------------------------------
# Entry points called by the native methods


def stamped_last(estimator, X, rows):
    """``rows``, to be appended to ``X``, with the time stamp of its last row.

    A recursive step appends its forecast as a new row; stamped like the row
    before it, the row stays last when the window is put in time order again.
    """
    position = _time_position(estimator, X.shape[1])
    if position is not None and len(X):
        rows = np.array(rows, dtype=float)
        rows[:, position] = X[-1, position]
    return rows


def fit_input(estimator, X):
    """The array ``fit`` works on; a frame's column names are resolved and its time index kept."""
    if not _is_pandas(X):
        _forget_frame(estimator)
        return _sorted_rows(X, estimator)
    frame = _as_frame(X)
    _resolve_column_names(estimator, frame.columns)
    frame, stamps = _ordered_by_time(frame, estimator)
    estimator.feature_names_in_ = np.asarray(frame.columns, dtype=object)
    regular = _regular_time_index(stamps if stamps is not None else frame.index)
    estimator.time_index_end_ = (regular[0][-1], regular[1]) if regular else None
    return _values(frame, estimator)


def _forget_frame(estimator):
    """A refit on arrays drops what an earlier fit on a frame learnt about its columns."""
    for name in ("feature_names_in_", "time_index_end_"):
        if name in getattr(estimator, "__dict__", ()):
            delattr(estimator, name)


def _frame_in_fit_order(frame, estimator):
    names = getattr(estimator, "feature_names_in_", None)
    if names is None or list(frame.columns) == list(names):
        return frame
    missing = [name for name in names if name not in frame.columns]
    if missing:
        raise ValueError(f"X lacks the columns {missing} that the estimator was fitted on")
    return frame[list(names)]


def to_array(estimator, X):
    """The array ``predict``, ``predict_proba`` and ``score`` work on."""
    if not _is_pandas(X):
        return _sorted_rows(X, estimator)
    frame = _frame_in_fit_order(_as_frame(X), estimator)
    frame, _ = _ordered_by_time(frame, estimator)
    return _values(frame, estimator)


def _row_index(estimator, X):
    """The time-ordered index of the rows of a frame: its time column's stamps, or its index."""
    frame, stamps = _ordered_by_time(_as_frame(X), estimator)
    return stamps if stamps is not None else frame.index


def _time_index_of(estimator, X):
    """(last stamp, frequency) of the rows of X, or of the fitted data when X is None."""
    if X is None:
        return getattr(estimator, "time_index_end_", None)
    regular = _regular_time_index(_row_index(estimator, X))
    return (regular[0][-1], regular[1]) if regular else None


def _wants_frame(estimator, X):
    if getattr(estimator, "_forecast_output", "pandas") != "pandas":
        return False
    return _is_pandas(X) or (X is None and getattr(estimator, "time_index_end_", None) is not None)


def _target_names(estimator, n_targets):
    names = getattr(estimator, "feature_names_in_", None)
    targets = getattr(estimator, "target_columns", None) or []
    try:
        return [names[int(i)] for i in targets] if names is not None else [str(i) for i in targets]
    except (TypeError, IndexError, ValueError):
        return [str(i) for i in range(n_targets)]


def _is_sliding_window(prediction_type):
    return isinstance(prediction_type, str) and prediction_type.lower() == "sliding_window"


def forecast_output(estimator, y_pred, X, prediction_type=None):
    """``predict``'s result: indexed by time when X was a frame with a regular time index."""
    if not _wants_frame(estimator, X) or not isinstance(y_pred, np.ndarray) or y_pred.ndim != 2:
        return y_pred
    if _is_sliding_window(prediction_type):
        index = _row_index(estimator, X) if _is_pandas(X) else None
        if index is None or len(index) != len(y_pred):
            return y_pred
        names = _target_names(estimator, y_pred.shape[1])
        if len(names) != y_pred.shape[1]:
            return y_pred
        return pd.DataFrame(y_pred, index=index, columns=names)
    end = _time_index_of(estimator, X)
    names = _target_names(estimator, y_pred.shape[1])
    if end is None or len(names) != y_pred.shape[1]:
        return y_pred
    return pd.DataFrame(y_pred, index=_future_stamps(end[0], end[1], len(y_pred)), columns=names)


def _bounds_by_step(estimator, bounds):
    """(steps, targets, 2) bounds for one stamp per row, or None when the layout is not known."""
    if not isinstance(bounds, np.ndarray) or bounds.ndim != 3 or bounds.shape[2] != 2:
        return None
    names = _target_names(estimator, 0)
    n_targets = len(names)
    if n_targets == 0:
        return None
    if bounds.shape[1] == 1 and bounds.shape[0] % n_targets == 0:
        return bounds.reshape(-1, n_targets, 2)
    if bounds.shape[0] == n_targets:
        return bounds.transpose(1, 0, 2)
    return None


def interval_output(estimator, bounds, X):
    """``predict_proba``'s result: ``<target>_lower``/``<target>_upper`` columns indexed by time."""
    if not _wants_frame(estimator, X):
        return bounds
    by_step = _bounds_by_step(estimator, bounds)
    end = _time_index_of(estimator, X)
    if by_step is None or end is None:
        return bounds
    names = _target_names(estimator, by_step.shape[1])
    recursive_steps = bounds.shape[1] == 1
    if recursive_steps:
        index = _future_stamps(end[0], end[1], len(by_step))
    else:
        # one interval per window of X, the last one for the step after X
        stamps = _row_index(estimator, X).append(_future_stamps(end[0], end[1], 1))
        index = stamps[-len(by_step):]
    columns = {}
    for j, name in enumerate(names):
        columns[f"{name}_lower"] = by_step[:, j, 0]
        columns[f"{name}_upper"] = by_step[:, j, 1]
    return pd.DataFrame(columns, index=index)


def set_forecast_output(estimator, output):
    """Choose what ``predict`` and ``predict_proba`` give for frames; return the estimator."""
    if output not in OUTPUT_KINDS:
        raise ValueError(f"output must be one of {OUTPUT_KINDS}, got {output!r}")
    estimator._forecast_output = output
    return estimator
