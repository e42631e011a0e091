"""Windowing transformers: turn a multivariate time series into supervised rows.

Every transformer here cuts the series ``X`` (one row per time step, columns
addressed by index) into windows. Window position ``t`` runs from ``L`` to
``N - P`` where ``N`` is the number of rows, ``L`` the largest look-back and
``P`` the prediction window (``pred_win``). Window ``t`` takes its inputs from
rows ``t - L .. t - 1`` and its targets from rows ``t .. t + P - 1``, so with
``P == 1`` window ``i`` predicts row ``L + i``.

``transform(X)`` returns the pair ``(X_windows, y_windows)``; rows come in
window order. :class:`Flatten` emits one row per window. The other classes
emit one row per target column per window (``n_targets`` consecutive rows for
each window) and transform inputs and targets relative to each window, which
they undo with ``inverse_transform``.

The work is one vectorised pass over strided views of ``X``; the only Python
loops run over columns.
"""

from __future__ import annotations

from collections import namedtuple
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
from sklearn.base import BaseEstimator
from sklearn.exceptions import NotFittedError

from orvane.gusk.transformers.feature_engineering.base import TargetTransformer
from orvane.utils.thread_state import PER_THREAD_ATTRIBUTE, per_thread_state
from orvane.utils.validation import _is_int

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray
    from typing_extensions import Self

    #: Columns by 0-based position (names are resolved to positions by the estimators).
    Columns = Sequence[Union[int, str]]
    LookbackWin = Union[int, Sequence[Union[int, Sequence[int]]]]
    Windows = Tuple[NDArray[np.float64], NDArray[np.float64]]

__all__ = [
    "Flatten",
    "DifferenceFlatten",
    "LocalizedFlatten",
    "DifferenceFlattenX",
    "LocalizedFlattenX",
    "NormalizedFlatten",
    "DifferenceNormalizedFlatten",
]


# --------------------------------------------------------------------------
# Validation helpers
# --------------------------------------------------------------------------

def _as_float_matrix(X):
    """Return ``X`` as a 2-D float64 array without modifying the caller's data."""
    if hasattr(X, "toarray") or hasattr(X, "tocsr"):
        raise TypeError(
            "Sparse data is not supported: X must be a dense array with one row per "
            "time step. Convert it with X.toarray()."
        )
    array = np.asarray(X)
    if array.dtype.kind == "c":
        raise ValueError(
            "Complex data not supported: X must hold real numbers; take the real part "
            "or the magnitude first."
        )
    if array.dtype.kind == "O":
        array = _objects_as_floats(array)
    if array.dtype.kind not in "biuf":
        raise ValueError(
            f"X must hold numbers (bool, integer or float values); got dtype "
            f"{array.dtype}. Convert the data to a numeric array first."
        )
    if array.ndim != 2:
        raise ValueError(
            f"X must be a 2-D array with one row per time step; got an array with "
            f"{array.ndim} dimension(s). Reshape a single series with X.reshape(-1, 1)."
        )
    if array.shape[1] == 0:
        raise ValueError(
            f"Found array with 0 feature(s) (shape={array.shape}) while a minimum of 1 "
            f"is required: X needs at least one column."
        )
    array = array.astype(np.float64, copy=False)
    infinite = np.isinf(array)
    if infinite.any():
        # Relative windows would turn it into NaN, and the error would name the wrong value.
        row, column = np.argwhere(infinite)[0]
        raise ValueError(
            f"Input X contains infinity or a value too large for dtype('float64'): "
            f"{array[row, column]} at row {row}, column {column}."
        )
    return array


def _objects_as_floats(array):
    """An object array of numbers as floats; the conversion's own error type otherwise."""
    try:
        return array.astype(np.float64)
    except (TypeError, ValueError) as error:
        raise type(error)(
            f"X must hold numbers (bool, integer or float values); an element of its "
            f"object array cannot be read as one: {error}"
        ) from error


def _column_list(indices, name, n_columns):
    """Validate a list of column indices against the column count of X."""
    if indices is None:
        return []
    if isinstance(indices, np.ndarray):
        if indices.ndim != 1:
            raise ValueError(
                f"{name} must be a list of column indices; got an array with "
                f"{indices.ndim} dimension(s)."
            )
        indices = indices.tolist()
    if not isinstance(indices, (list, tuple)):
        raise ValueError(
            f"{name} must be a list of column indices such as [0]; got {indices!r}."
        )
    columns = []
    for index in indices:
        if not _is_int(index):
            raise ValueError(
                f"{name} must hold integer column indices; got {index!r}."
            )
        if not 0 <= index < n_columns:
            raise ValueError(
                f"{name} holds column index {index}, but X has {n_columns} column(s); "
                f"use indices from 0 to {n_columns - 1}."
            )
        columns.append(int(index))
    return columns


def _lags_of_entry(entry, position):
    """Lags (0 = most recent row) of one look-back entry, in output order."""
    if _is_int(entry):
        if entry < 1:
            raise ValueError(
                f"lookback_win[{position}] must be a positive window length; got {entry}."
            )
        return np.arange(int(entry) - 1, -1, -1)
    if isinstance(entry, np.ndarray):
        entry = entry.tolist() if entry.ndim == 1 else entry
    if isinstance(entry, (list, tuple)) and len(entry) > 0:
        if all(_is_int(lag) and lag >= 0 for lag in entry):
            return np.array([int(lag) for lag in entry], dtype=np.intp)
    raise ValueError(
        f"lookback_win[{position}] must be a positive int (window length) or a "
        f"non-empty list of non-negative int lags; got {entry!r}."
    )


def _lookback_plan(lookback_win, n_features):
    """Return ``(L, positions)`` for a look-back setting.

    ``L`` is the largest look-back. ``positions[i]`` holds, for feature column
    ``i``, the offsets inside a window of the ``L`` rows before the window
    position (offset 0 is the oldest row, ``L - 1`` the newest) in output order.
    """
    if isinstance(lookback_win, np.ndarray) and lookback_win.ndim == 0:
        lookback_win = lookback_win.item()
    if _is_int(lookback_win):
        if lookback_win < 1:
            raise ValueError(
                f"lookback_win must be a positive int or a list with one entry per "
                f"feature column; got {lookback_win}."
            )
        length = int(lookback_win)
        return length, [np.arange(length)] * n_features
    if isinstance(lookback_win, (list, tuple, np.ndarray)):
        entries = list(lookback_win)
        if len(entries) != n_features:
            raise ValueError(
                f"lookback_win has {len(entries)} entries but feature_col_index has "
                f"{n_features} column(s); give one look-back entry per feature column."
            )
        if not entries:
            raise ValueError(
                "lookback_win is an empty list; give one look-back entry per feature "
                "column or a single positive int."
            )
        lags = [_lags_of_entry(entry, k) for k, entry in enumerate(entries)]
        length = max(int(lag.max()) + 1 for lag in lags)
        return length, [length - 1 - lag for lag in lags]
    raise ValueError(
        f"lookback_win must be a positive int or a list with one entry per feature "
        f"column; got {lookback_win!r}."
    )


def _check_pred_win(pred_win):
    if not _is_int(pred_win) or pred_win < 1:
        raise ValueError(
            f"pred_win must be an int >= 1 (the number of steps each window "
            f"predicts); got {pred_win!r}."
        )
    return int(pred_win)


_Layout = namedtuple(
    "_Layout", "features targets look_ahead lookback positions selectors pred_win n_windows"
)


def _frozen(value):
    """A hashable snapshot of a parameter value (lists and arrays become tuples)."""
    if type(value) is int:
        return value
    if isinstance(value, (list, tuple)):
        return (type(value).__name__,) + tuple(map(_frozen, value))
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    try:
        hash(value)
    except TypeError:
        return ("unhashable", id(value))
    return (type(value).__name__, value)


# --------------------------------------------------------------------------
# Shared machinery
# --------------------------------------------------------------------------

class _WindowTransformer(BaseEstimator):
    """Validation, fitting and column handling shared by every windowing transformer.

    Windowing learns nothing from the data: ``fit`` validates its input and
    records ``n_features_in_``, and ``transform`` works on any series with
    enough rows, fitted or not.
    """

    feature_col_index: Columns
    target_col_index: Columns
    _has_look_ahead = False

    def fit(self, X: ArrayLike, y: Any = None) -> Self:
        """Validate the parameters against ``X``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_columns)
            The series, one row per time step.
        y : ignored
            Targets come from the target columns of ``X``.

        Returns
        -------
        self
        """
        array = _as_float_matrix(X)
        self._layout(array)
        self.n_features_in_ = array.shape[1]
        return self

    def transform(self, X: ArrayLike) -> Windows:
        """Cut ``X`` into windows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_columns)
            The series, one row per time step. It is not modified.

        Returns
        -------
        X_windows : ndarray of shape (n_rows, n_inputs)
        y_windows : ndarray
            The targets of each row; see the class documentation for the shape.
        """
        array = _as_float_matrix(X)
        return self._windows(array, self._layout(array))

    def fit_transform(self, X: ArrayLike, y: Any = None) -> Windows:
        """Fit to ``X`` and return its windows; ``y`` is ignored."""
        array = _as_float_matrix(X)
        layout = self._layout(array)
        self.n_features_in_ = array.shape[1]
        return self._windows(array, layout)

    def _adjust_indices(self, target_columns=None, feature_columns=None):
        """Switch the transformer to other target and feature columns.

        Parameters
        ----------
        target_columns : list of int or None
            New target columns; None keeps the current ones.
        feature_columns : list of int or None
            New feature columns; None keeps the current ones.
        """
        if target_columns is not None:
            self.target_col_index = list(target_columns)
        if feature_columns is not None:
            self.feature_col_index = list(feature_columns)

    def _layout(self, array):
        """Validate every parameter against ``array`` and describe the windows.

        The validated parameters are remembered for the column count and parameter
        values they were checked against, so that the many small transforms of a
        recursive forecast do not validate the same settings again.
        """
        n_rows, n_columns = array.shape
        key = (n_columns, _frozen(self.feature_col_index), _frozen(self.target_col_index),
               _frozen(getattr(self, "look_ahead_fcol_index", None)),
               _frozen(self.lookback_win), _frozen(self.pred_win))
        cached = self.__dict__.get("_plan_cache")
        if cached is not None and cached[0] == key:
            plan = cached[1]
        else:
            plan = self._plan(n_columns)
            self.__dict__["_plan_cache"] = (key, plan)
        features, targets, look_ahead, lookback, positions, selectors, pred_win = plan
        n_windows = n_rows - lookback - pred_win + 1
        if n_windows < 1:
            raise ValueError(
                f"X has {n_rows} row(s) (n_samples={n_rows}), but a look-back of {lookback} "
                f"and pred_win of {pred_win} need at least {lookback + pred_win} rows."
            )
        return _Layout(features, targets, look_ahead, lookback, positions, selectors,
                       pred_win, n_windows)

    def _plan(self, n_columns):
        """Validated settings for ``n_columns`` columns.

        (features, targets, look_ahead, lookback, positions, selectors, pred_win).
        """
        features = _column_list(self.feature_col_index, "feature_col_index", n_columns)
        targets = _column_list(self.target_col_index, "target_col_index", n_columns)
        if not targets:
            raise ValueError(
                "target_col_index is empty; name at least one target column."
            )
        look_ahead = []
        if self._has_look_ahead:
            look_ahead = _column_list(
                self.look_ahead_fcol_index, "look_ahead_fcol_index", n_columns
            )
        lookback, positions = _lookback_plan(self.lookback_win, len(features))
        pred_win = _check_pred_win(self.pred_win)
        self._check_lookback(lookback)
        selectors = [_position_selector(p) for p in positions]
        return features, targets, look_ahead, lookback, positions, selectors, pred_win

    def __getstate__(self):
        state = super().__getstate__()
        state = dict(state)
        state.pop("_plan_cache", None)
        state.pop(PER_THREAD_ATTRIBUTE, None)
        return state

    def _check_lookback(self, lookback):
        """Hook for transformers that need a minimum look-back."""

    def _windows(self, array, layout):
        raise NotImplementedError


# --------------------------------------------------------------------------
# Flatten
# --------------------------------------------------------------------------

class Flatten(_WindowTransformer):
    """Cut a series into windows, one output row per window.

    Each row holds, for every feature column in ``feature_col_index`` order,
    that column's look-back values from oldest to newest, followed by the values
    of each look-ahead column at the predicted steps. Its targets are the target
    columns at the predicted steps.

    Parameters
    ----------
    feature_col_index : list of int
        Columns of ``X`` used as model inputs.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        An int: every feature column contributes its last ``lookback_win``
        values. A list: one entry per feature column, either an int (window
        length) or a list of lags (lag 0 is the row just before the window
        position, lag k is k rows earlier), emitted in list order.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.
    look_ahead_fcol_index : list of int or None, default=None
        Feature columns whose future values are known; each adds its values at
        the ``pred_win`` predicted steps to the row.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.

    Notes
    -----
    ``transform`` returns ``y`` of shape ``(n_windows, pred_win * n_targets)``
    laid out step-major (all targets of the first step, then of the second, ...)
    and 1-D of shape ``(n_windows,)`` when ``pred_win * n_targets == 1``.

    The windows are a new C-contiguous, writeable matrix that shares no memory
    with ``X``: scikit-learn estimators take it without converting it again, so
    fitting on it costs what fitting on a prebuilt lag matrix costs.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.arange(6.0).reshape(-1, 1)
    >>> Xw, yw = Flatten([0], [0], lookback_win=2).transform(X)
    >>> Xw[:1], yw[:1]
    (array([[0., 1.]]), array([2.]))
    """

    _has_look_ahead = True

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1,
                 look_ahead_fcol_index: Optional[Columns] = None) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win
        self.look_ahead_fcol_index = look_ahead_fcol_index

    def _windows(self, array, layout):
        n_windows, lookback, pred_win = layout.n_windows, layout.lookback, layout.pred_win
        widths = [len(pos) for pos in layout.positions]
        inputs = np.empty((n_windows, sum(widths) + pred_win * len(layout.look_ahead)))
        offset = 0
        for column, selector, width in zip(layout.features, layout.selectors, widths, strict=True):
            windows = _past_windows(array[:, column], lookback, n_windows)
            inputs[:, offset:offset + width] = windows[:, selector]
            offset += width
        for column in layout.look_ahead:
            series = np.ascontiguousarray(array[lookback:, column])
            inputs[:, offset:offset + pred_win] = sliding_window_view(series, pred_win)
            offset += pred_win
        return inputs, _step_major_targets(array, layout)

    def _full_window_plan(self, X):
        """How a caller may cut the windows of ``X`` itself without calling transform.

        Returns ``(feature columns, look-back)`` when every row of ``transform(X)``
        is made of ``look-back`` consecutive values of each feature column, in that
        order, with no look-ahead values and one target step (row ``w`` starts at
        row ``w`` of ``X``); ``None`` otherwise (a subclass, a replaced method, lags
        or settings that ``transform`` rejects), in which case the caller must call
        ``transform``.
        """
        cls = type(self)
        if cls is not Flatten or any(
                getattr(cls, name) is not original or name in self.__dict__
                for name, original in _FLATTEN_METHODS.items()):
            return None
        try:
            layout = self._layout(_as_float_matrix(X))
        except Exception:
            return None
        if layout.look_ahead or layout.pred_win != 1 or not _full_windows(layout):
            return None
        return list(layout.features), layout.lookback


#: The methods behind ``Flatten.transform``; the prediction code cuts windows itself only
#: while none of them has been replaced.
_FLATTEN_METHODS = {name: getattr(Flatten, name)
                    for name in ("transform", "_layout", "_plan", "_windows")}


def _full_windows(layout):
    """Whether every feature column contributes its whole look-back, oldest first."""
    full_window = slice(0, layout.lookback)
    return all(isinstance(selector, slice) and selector == full_window
               for selector in layout.selectors)


def _past_windows(series, lookback, n_windows):
    """View of shape (n_windows, lookback): row w holds rows w .. w + lookback - 1."""
    if n_windows == 1:
        # The one window of a forecast: a plain slice is far cheaper than a strided view.
        return series[:lookback].reshape(1, lookback)
    contiguous = np.ascontiguousarray(series[:n_windows + lookback - 1])
    return sliding_window_view(contiguous, lookback)


def _position_selector(positions):
    """How to pick window offsets: a slice when they form an ascending run, else the array."""
    first = positions[0]
    if np.array_equal(positions, np.arange(first, first + len(positions))):
        return slice(first, first + len(positions))
    return positions


def _step_major_targets(array, layout):
    """Targets of each window, step-major, 1-D when there is a single value."""
    n_windows, pred_win = layout.n_windows, layout.pred_win
    if pred_win == 1 and len(layout.targets) == 1:
        return array[layout.lookback:, layout.targets[0]].copy()
    future = array[layout.lookback:, layout.targets]
    if pred_win == 1:
        targets = future
    else:
        # [w, j, k] = value of target j at step k of window w; make it [w, k, j].
        stacked = sliding_window_view(future, pred_win, axis=0)
        targets = stacked.transpose(0, 2, 1).reshape(n_windows, -1)
    if targets.shape[1] == 1:
        return targets.ravel()
    return targets


# --------------------------------------------------------------------------
# Target transformers: one row per target column per window
# --------------------------------------------------------------------------

class _TargetWindowTransformer(TargetTransformer, _WindowTransformer):
    """One row per target column per window, with inputs and targets re-expressed.

    Subclasses provide ``_encode`` (raw windows to transformed inputs and
    targets plus the per-window references needed to undo it) and
    ``_decode`` (transformed targets back to raw values using the stored
    references).
    """

    _with_exogenous = False

    def _windows(self, array, layout):
        n_windows, lookback = layout.n_windows, layout.lookback
        n_targets = len(layout.targets)
        extra = []
        look_ahead = []
        if self._with_exogenous:
            extra = [c for c in layout.features if c not in layout.targets]
            look_ahead = layout.look_ahead
        columns = layout.targets + extra + look_ahead
        # [w, c, k]: column c at row w + k, i.e. the L past values of window w
        # followed by its P future values.
        raw = sliding_window_view(array[:, columns], lookback + layout.pred_win, axis=0)
        past, future, references = self._encode(raw, lookback)

        n_rows = n_windows * n_targets
        latest = {name: np.ascontiguousarray(values[:, :n_targets]).reshape(n_rows)
                  for name, values in references.items()}
        latest["n_target_rows_"] = n_rows
        latest["n_target_steps_"] = layout.pred_win
        # Kept as attributes for inspection, and per thread for inverse_transform, so that
        # threads sharing one fitted pipeline each undo their own latest transform.
        for name, value in latest.items():
            setattr(self, name, value)
        per_thread_state(self).latest = latest

        y = future[:, :n_targets].reshape(n_rows, layout.pred_win)
        if layout.pred_win == 1:
            y = y.ravel()
        if not columns[n_targets:]:
            return past.reshape(n_rows, past.shape[2]), y
        return _exogenous_rows(past, future, n_targets, len(extra)), y

    def inverse_transform(self, y: ArrayLike) -> NDArray[np.float64]:
        """Undo the target transformation of the latest ``transform``.

        Parameters
        ----------
        y : array-like
            Values for the rows of the latest ``transform``: shape ``(R,)``,
            ``(R, 1)``, ``(R, pred_win)`` or ``(R / n_targets, n_targets)``, where
            ``R`` is its row count. It is read as ``(R, pred_win)`` in C order.

        Returns
        -------
        ndarray
            A new array of the shape of ``y`` on the raw target scale.
        """
        latest = getattr(per_thread_state(self), "latest", None)
        if latest is None:
            if not hasattr(self, "n_target_rows_"):
                raise NotFittedError(
                    f"This {type(self).__name__} has not transformed any data yet; call "
                    f"transform or fit_transform before inverse_transform."
                )
            latest = self.__dict__
        values = np.asarray(y, dtype=np.float64)
        n_rows, n_steps = latest["n_target_rows_"], latest["n_target_steps_"]
        if values.size != n_rows * n_steps:
            raise ValueError(
                f"y holds {values.size} value(s), but the latest transform produced "
                f"{n_rows} row(s) of {n_steps} step(s), i.e. {n_rows * n_steps} "
                f"values; pass the predictions for exactly those rows."
            )
        restored = self._decode(values.reshape(n_rows, n_steps), latest)
        return restored.reshape(values.shape)


def _exogenous_rows(past, future, n_targets, n_extra):
    """Rows of the X variants: own window, other features' windows, look-ahead steps."""
    n_windows, _, n_past = past.shape
    n_look_ahead = past.shape[1] - n_targets - n_extra
    n_steps = future.shape[2]
    extra_width = n_extra * n_past
    width = n_past + extra_width + n_look_ahead * n_steps
    rows = np.empty((n_windows, n_targets, width))
    rows[:, :, :n_past] = past[:, :n_targets]
    # Features and look-ahead values are shared by all targets of a window.
    rows[:, :, n_past:n_past + extra_width] = (
        past[:, n_targets:n_targets + n_extra].reshape(n_windows, 1, extra_width))
    rows[:, :, n_past + extra_width:] = (
        future[:, n_targets + n_extra:].reshape(n_windows, 1, n_look_ahead * n_steps))
    return rows.reshape(n_windows * n_targets, width)


def _safe_scale(std, mean):
    """Standard deviations, with windows that are constant (up to rounding) scaled by 1."""
    constant = std <= 4.0 * np.finfo(np.float64).eps * np.abs(mean)
    return np.where(constant, 1.0, std)


class _LocalizedEncoding:
    """Values relative to the last value of the look-back window."""

    def _encode(self, raw, lookback):
        last = raw[..., lookback - 1]
        shifted = raw - last[..., None]
        return shifted[..., :lookback], shifted[..., lookback:], {"target_last_": last}

    def _decode(self, values, latest):
        return values + latest["target_last_"][:, None]


class _DifferenceEncoding:
    """First differences; the targets continue from the last look-back value."""

    def _check_lookback(self, lookback):
        _require_two_rows(type(self).__name__, lookback)

    def _encode(self, raw, lookback):
        steps = np.diff(raw, axis=-1)
        references = {"target_last_": raw[..., lookback - 1]}
        return steps[..., :lookback - 1], steps[..., lookback - 1:], references

    def _decode(self, values, latest):
        return np.cumsum(values, axis=1) + latest["target_last_"][:, None]


class _NormalizedEncoding:
    """Values standardised by the mean and standard deviation of the look-back window."""

    def _encode(self, raw, lookback):
        window = raw[..., :lookback]
        mean = window.mean(axis=-1)
        scale = _safe_scale(window.std(axis=-1), mean)
        scaled = (raw - mean[..., None]) / scale[..., None]
        references = {"target_mean_": mean, "target_scale_": scale}
        return scaled[..., :lookback], scaled[..., lookback:], references

    def _decode(self, values, latest):
        return values * latest["target_scale_"][:, None] + latest["target_mean_"][:, None]


class _DifferenceNormalizedEncoding:
    """First differences standardised by the look-back differences' mean and deviation."""

    def _check_lookback(self, lookback):
        _require_two_rows(type(self).__name__, lookback)

    def _encode(self, raw, lookback):
        steps = np.diff(raw, axis=-1)
        window = steps[..., :lookback - 1]
        mean = window.mean(axis=-1)
        scale = _safe_scale(window.std(axis=-1), mean)
        scaled = (steps - mean[..., None]) / scale[..., None]
        references = {
            "target_last_": raw[..., lookback - 1],
            "target_mean_": mean,
            "target_scale_": scale,
        }
        return scaled[..., :lookback - 1], scaled[..., lookback - 1:], references

    def _decode(self, values, latest):
        steps = values * latest["target_scale_"][:, None] + latest["target_mean_"][:, None]
        return np.cumsum(steps, axis=1) + latest["target_last_"][:, None]


def _require_two_rows(class_name, lookback):
    if lookback < 2:
        raise ValueError(
            f"{class_name} differences its windows and needs a look-back of at least 2; "
            f"got lookback_win giving a look-back of {lookback}."
        )


class LocalizedFlatten(_LocalizedEncoding, _TargetWindowTransformer):
    """Windows of each target relative to the window's last value.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values minus the last of
    them (the newest input is always 0); its targets are target ``j``'s next
    ``pred_win`` values, transformed the same way. Feature columns are not read.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. They only set how many entries a list ``lookback_win``
        has.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_last_ : ndarray of shape (n_rows,)
        Last look-back value of the target, one per row of the latest transform.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.array([[1.0], [2.0], [4.0], [7.0], [11.0]])
    >>> window = LocalizedFlatten([0], [0], lookback_win=2)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[-1.,  0.],
           [-2.,  0.],
           [-3.,  0.]])
    >>> yw
    array([2., 3., 4.])
    >>> window.inverse_transform(yw)
    array([ 4.,  7., 11.])
    """

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win


class DifferenceFlatten(_DifferenceEncoding, _TargetWindowTransformer):
    """Windows of each target as first differences.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values as their ``L - 1``
    first differences (``L`` must be at least 2); the first target difference is
    taken from the last look-back value; its targets are target ``j``'s next
    ``pred_win`` values, transformed the same way. Feature columns are not read.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. They only set how many entries a list ``lookback_win``
        has.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_last_ : ndarray of shape (n_rows,)
        Last look-back value of the target, one per row of the latest transform.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.array([[1.0], [2.0], [4.0], [7.0], [11.0]])
    >>> window = DifferenceFlatten([0], [0], lookback_win=3)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[1., 2.],
           [2., 3.]])
    >>> yw
    array([3., 4.])
    >>> window.inverse_transform(yw)
    array([ 7., 11.])
    """

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win


class NormalizedFlatten(_NormalizedEncoding, _TargetWindowTransformer):
    """Windows of each target standardised by the look-back mean and deviation.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values as ``(v - mean) /
    std`` over those values (a constant window has std 1); its targets are
    target ``j``'s next ``pred_win`` values, transformed the same way. Feature
    columns are not read.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. They only set how many entries a list ``lookback_win``
        has.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_mean_ : ndarray of shape (n_rows,)
        Mean subtracted, one per row of the latest transform.
    target_scale_ : ndarray of shape (n_rows,)
        Standard deviation divided by (1 for constant windows), one per row.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.array([[1.0], [3.0], [5.0], [9.0], [13.0]])
    >>> window = NormalizedFlatten([0], [0], lookback_win=2)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[-1.,  1.],
           [-1.,  1.],
           [-1.,  1.]])
    >>> yw
    array([3., 5., 3.])
    >>> window.inverse_transform(yw)
    array([ 5.,  9., 13.])
    """

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win


class DifferenceNormalizedFlatten(_DifferenceNormalizedEncoding, _TargetWindowTransformer):
    """Windows of each target as standardised first differences.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values as their ``L - 1``
    first differences (``L`` must be at least 2), standardised by the mean and
    deviation of those differences (std 0 counts as 1); the target differences
    continue from the last look-back value; its targets are target ``j``'s next
    ``pred_win`` values, transformed the same way. Feature columns are not read.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. They only set how many entries a list ``lookback_win``
        has.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_last_ : ndarray of shape (n_rows,)
        Last look-back value of the target, one per row of the latest transform.
    target_mean_ : ndarray of shape (n_rows,)
        Mean subtracted, one per row of the latest transform.
    target_scale_ : ndarray of shape (n_rows,)
        Standard deviation divided by (1 for constant windows), one per row.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.array([[1.0], [2.0], [4.0], [5.0], [7.0], [8.0]])
    >>> window = DifferenceNormalizedFlatten([0], [0], lookback_win=3)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[-1.,  1.],
           [ 1., -1.],
           [-1.,  1.]])
    >>> yw
    array([-1.,  1., -1.])
    >>> window.inverse_transform(yw)
    array([5., 7., 8.])
    """

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win


class LocalizedFlattenX(_LocalizedEncoding, _TargetWindowTransformer):
    """Localized windows of each target, with exogenous and look-ahead columns.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values minus the last of
    them; then the last ``L`` values of every feature column that is not a
    target column (each minus its own last look-back value); then each
    look-ahead column's values at the ``pred_win`` predicted steps (minus that
    column's last look-back value). Its targets are target ``j``'s next
    ``pred_win`` values, transformed like its inputs.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. Those that are not target columns add their windows to
        every row.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.
    look_ahead_fcol_index : list of int or None, default=None
        Feature columns whose values at the predicted steps are known.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_last_ : ndarray of shape (n_rows,)
        Last look-back value of the target, one per row of the latest transform.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    Column 1 is a feature that is not forecast; its windows follow the target's.

    >>> import numpy as np
    >>> X = np.array([[1.0, 10.0], [2.0, 12.0], [4.0, 11.0], [7.0, 15.0], [11.0, 14.0]])
    >>> window = LocalizedFlattenX([0, 1], [0], lookback_win=2)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[-1.,  0., -2.,  0.],
           [-2.,  0.,  1.,  0.],
           [-3.,  0., -4.,  0.]])
    >>> window.inverse_transform(yw)
    array([ 4.,  7., 11.])
    """

    _has_look_ahead = True
    _with_exogenous = True

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1,
                 look_ahead_fcol_index: Optional[Columns] = None) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win
        self.look_ahead_fcol_index = look_ahead_fcol_index


class DifferenceFlattenX(_DifferenceEncoding, _TargetWindowTransformer):
    """Differenced windows of each target, with exogenous and look-ahead columns.

    Each window yields one row per target column: row ``w * n_targets + j``
    belongs to window ``w`` and target ``j``, so the rows of a window stand
    next to each other. ``y`` has shape ``(n_windows * n_targets, pred_win)``,
    1-D when ``pred_win == 1``; ``inverse_transform`` maps predictions for
    those rows back to raw values.

    Row ``(w, j)`` holds target ``j``'s own last ``L`` values as ``L - 1`` first
    differences (``L`` must be at least 2); then the last ``L`` values of every
    feature column that is not a target column (as first differences); then each
    look-ahead column's values at the ``pred_win`` predicted steps (as
    differences continuing from its last look-back value). Its targets are
    target ``j``'s next ``pred_win`` values, transformed like its inputs.

    Parameters
    ----------
    feature_col_index : list of int
        Feature columns. Those that are not target columns add their windows to
        every row.
    target_col_index : list of int
        Columns of ``X`` to forecast.
    lookback_win : int or list, default=5
        Look-back length ``L``, or one entry per feature column (an int window
        length or a list of lags, lag 0 being the row just before the window
        position); a list sets ``L`` to its largest look-back.
    pred_win : int, default=1
        Number of consecutive steps each window predicts.
    look_ahead_fcol_index : list of int or None, default=None
        Feature columns whose values at the predicted steps are known.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns of the ``X`` given to ``fit``.
    target_last_ : ndarray of shape (n_rows,)
        Last look-back value of the target, one per row of the latest transform.
    n_target_rows_ : int
        Number of rows of the latest transform.
    n_target_steps_ : int
        ``pred_win`` of the latest transform.

    Examples
    --------
    Column 1 is a feature that is not forecast; its differences follow the target's.

    >>> import numpy as np
    >>> X = np.array([[1.0, 10.0], [2.0, 12.0], [4.0, 11.0], [7.0, 15.0], [11.0, 14.0]])
    >>> window = DifferenceFlattenX([0, 1], [0], lookback_win=3)
    >>> Xw, yw = window.transform(X)
    >>> Xw
    array([[ 1.,  2.,  2., -1.],
           [ 2.,  3., -1.,  4.]])
    >>> window.inverse_transform(yw)
    array([ 7., 11.])
    """

    _has_look_ahead = True
    _with_exogenous = True

    def __init__(self, feature_col_index: Columns, target_col_index: Columns,
                 lookback_win: LookbackWin = 5, pred_win: int = 1,
                 look_ahead_fcol_index: Optional[Columns] = None) -> None:
        self.feature_col_index = feature_col_index
        self.target_col_index = target_col_index
        self.lookback_win = lookback_win
        self.pred_win = pred_win
        self.look_ahead_fcol_index = look_ahead_fcol_index
