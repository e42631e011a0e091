"""Rolling-origin evaluation of a forecaster: ``orvane.backtest``."""

import sys
from collections import namedtuple
from typing import Callable

import numpy as np
import pandas as pd
from joblib import Parallel, delayed
from sklearn.base import clone

from orvane import _frames

__all__ = ["backtest", "BacktestResult"]

BacktestResult = namedtuple("BacktestResult", ["forecasts", "metrics"])
BacktestResult.__doc__ = """What ``backtest`` returns: every origin's forecasts and their metrics.

forecasts : DataFrame, one row per origin, step and target, indexed by the forecast's time
    stamp (or row number): ``origin``, ``step``, ``target``, ``actual``, ``forecast``, and
    ``lower``/``upper`` when intervals were asked for.
metrics : DataFrame, one row per target: the metrics asked for over all origins and steps.
"""

WINDOWS = ("expanding", "sliding")
DEFAULT_METRICS = ("MAE", "RMSE", "MAPE", "sMAPE", "MASE", "coverage")


def _mae(actual, forecast, scale, lower, upper):
    return np.mean(np.abs(actual - forecast))


def _rmse(actual, forecast, scale, lower, upper):
    return np.sqrt(np.mean((actual - forecast) ** 2))


def _mape(actual, forecast, scale, lower, upper):
    return 100 * np.mean(np.abs(actual - forecast) / np.abs(actual))


def _smape(actual, forecast, scale, lower, upper):
    return 100 * np.mean(2 * np.abs(actual - forecast) / (np.abs(actual) + np.abs(forecast)))


def _mase(actual, forecast, scale, lower, upper):
    # each error scaled by the in-sample naive error of the data its model was trained on
    return np.mean(np.abs(actual - forecast) / scale)


def _coverage(actual, forecast, scale, lower, upper):
    if lower is None:
        return np.nan
    return np.mean((actual >= lower) & (actual <= upper))


_METRICS = {"MAE": _mae, "RMSE": _rmse, "MAPE": _mape, "sMAPE": _smape, "MASE": _mase,
            "coverage": _coverage}


# ---------------------------------------------------------------------------------------------
# Origins and fits


def _origins(n_rows, horizon, origins, step, initial_train_size):
    """Row positions where forecasts start; the last forecast ends with the data."""
    step = horizon if step is None else step
    if not isinstance(step, (int, np.integer)) or step < 1:
        raise ValueError(f"step must be a positive int, got {step!r}")
    last = n_rows - horizon
    if initial_train_size is not None:
        first = initial_train_size
    elif origins is None and step != horizon:
        first = n_rows // 2
    else:
        count = 5 if origins is None else origins
        if not isinstance(count, (int, np.integer)) or count < 1:
            raise ValueError(f"origins must be a positive int, got {origins!r}")
        first = last - (count - 1) * step
    positions = list(range(first, last + 1, step))
    if origins is not None and initial_train_size is not None:
        positions = positions[-origins:]
    if not positions or positions[0] < 2:
        raise ValueError(
            f"{n_rows} rows leave no room for the origins asked for "
            f"(horizon {horizon}, step {step}); "
            "ask for fewer origins or a shorter horizon"
        )
    return positions


def _fit_groups(positions, refit):
    """Groups of origins that share one fitted model: its training end and its origins."""
    if refit is True:
        every = 1
    elif refit is False:
        every = len(positions)
    elif isinstance(refit, (int, np.integer)) and refit >= 1:
        every = int(refit)
    else:
        raise ValueError(f"refit must be True, False or a positive int, got {refit!r}")
    return [positions[i:i + every] for i in range(0, len(positions), every)]


def _max_lookback(estimator):
    from orvane.gusk.estimators.utils.tembrel import get_max_lookback

    return int(get_max_lookback(estimator.lookback_win))


def _as_numpy_output(estimator):
    if hasattr(estimator, "set_forecast_output"):
        estimator.set_forecast_output("numpy")
    return estimator


def _supporting_rows(estimator, values, origin, horizon):
    columns = list(getattr(estimator, "look_ahead_fcolumns", None) or [])
    if not columns:
        return None
    return values[origin:origin + horizon][:, columns]


def _bounds_per_step(bounds, n_targets, horizon):
    bounds = np.asarray(bounds)
    if bounds.ndim == 3 and bounds.shape[1] == 1:
        return bounds.reshape(-1, n_targets, 2)[:horizon]
    # one interval per window, the last one for the step after the data
    return bounds[:, -1:, :].transpose(1, 0, 2)


def _forecast_one_origin(model, data, values, origin, horizon, lookback, intervals, n_targets):
    history = data.iloc[:origin] if hasattr(data, "iloc") else data[:origin]
    supporting = _supporting_rows(model, values, origin, horizon)
    kwargs = {} if supporting is None else {"supporting_features": supporting}
    forecast = np.asarray(model.predict(history, **kwargs), dtype=float).reshape(-1, n_targets)
    if len(forecast) < horizon:
        raise ValueError(
            f"the estimator forecasts {len(forecast)} steps, fewer than the horizon {horizon}; "
            "set its multistep_prediction_win to the horizon"
        )
    bounds = None
    if intervals:
        recent = history.iloc[-lookback:] if hasattr(history, "iloc") else history[-lookback:]
        bounds = _bounds_per_step(model.predict_proba(recent), n_targets, horizon)
        if len(bounds) < horizon:
            bounds = None
    return origin, forecast[:horizon], bounds


def _run_group(estimator, data, values, group, train_start, horizon, intervals, n_targets):
    """Fits one model at the group's first origin and forecasts from each of its origins."""
    model = _as_numpy_output(clone(estimator))
    first = group[0]
    train = slice(train_start(first), first)
    model.fit(data.iloc[train] if hasattr(data, "iloc") else data[train])
    lookback = _max_lookback(model)
    return [_forecast_one_origin(model, data, values, origin, horizon, lookback, intervals,
                                 n_targets)
            for origin in group]


# ---------------------------------------------------------------------------------------------
# Data


def _prepared(estimator, X):
    """(data the estimator is given, float values, time labels, target positions, target names)."""
    probe = clone(estimator)
    if _frames._is_pandas(X):
        frame = _frames._as_frame(X)
        _frames._resolve_column_names(probe, frame.columns)
        frame, stamps = _frames._ordered_by_time(frame, probe)
        labels = stamps if stamps is not None else frame.index
        values = _frames._values(frame, probe)
        names = [frame.columns[i] for i in probe.target_columns]
        return frame, values, pd.Index(labels), list(probe.target_columns), names
    values = np.asarray(X, dtype=float)
    if values.ndim != 2:
        raise ValueError(f"X must be 2-D (one row per time step), got shape {values.shape}")
    targets = list(probe.target_columns)
    return X, values, pd.RangeIndex(len(values)), targets, [str(t) for t in targets]


def _naive_scale(target_values, end, season):
    """Mean absolute error of the seasonal naive forecast in the rows before ``end``."""
    history = target_values[:end]
    if len(history) <= season:
        return np.full(history.shape[1], np.nan)
    scale = np.mean(np.abs(history[season:] - history[:-season]), axis=0)
    return np.where(scale > 0, scale, np.nan)


# ---------------------------------------------------------------------------------------------
# Results


def _forecast_table(results, labels, target_values, names, horizon, fit_end_of, season):
    rows = []
    for origin, forecast, bounds in results:
        scale = _naive_scale(target_values, fit_end_of[origin], season)
        for step in range(horizon):
            position = origin + step
            for j, name in enumerate(names):
                row = {"time": labels[position], "origin": labels[origin - 1], "step": step + 1,
                       "target": name, "actual": target_values[position, j],
                       "forecast": forecast[step, j], "scale": scale[j]}
                if bounds is not None:
                    row["lower"], row["upper"] = bounds[step, j, 0], bounds[step, j, 1]
                rows.append(row)
    return pd.DataFrame(rows).set_index("time")


def _metric_functions(metrics, intervals):
    if metrics is None:
        metrics = [m for m in DEFAULT_METRICS if intervals or m != "coverage"]
    functions: dict[str, Callable[..., float]] = {}
    for metric in metrics:
        if callable(metric):
            functions[getattr(metric, "__name__", repr(metric))] = (
                lambda a, f, s, lo, up, fn=metric: fn(a, f))
        elif metric in _METRICS:
            functions[metric] = _METRICS[metric]
        else:
            raise ValueError(
                f"unknown metric {metric!r}; use callables or names from {list(_METRICS)}")
    return functions


def _metrics_table(table, functions):
    summary = {}
    for name, rows in table.groupby("target", sort=False):
        lower = rows["lower"].to_numpy() if "lower" in rows else None
        upper = rows["upper"].to_numpy() if "upper" in rows else None
        args = (rows["actual"].to_numpy(), rows["forecast"].to_numpy(), rows["scale"].to_numpy(),
                lower, upper)
        summary[name] = {metric: float(fn(*args)) for metric, fn in functions.items()}
    return pd.DataFrame.from_dict(summary, orient="index")


def _progress(tasks, total, verbose):
    done = 0
    for result in tasks:
        done += len(result)
        if verbose:
            bar = "#" * (20 * done // total)
            print(f"\rbacktest [{bar:<20}] {done}/{total} origins", end="", file=sys.stderr,
                  flush=True)
        yield result
    if verbose:
        print(file=sys.stderr)


def backtest(estimator, X, horizon, *, origins=None, step=None, initial_train_size=None,
             refit=True, strategy="expanding", metrics=None, intervals=False, seasonal_period=1,
             n_jobs=None, verbose=False):
    """Evaluate a forecaster on rolling origins at the end of the series.

    At each origin the estimator (a fresh clone) is fitted on the rows before it and forecasts
    the ``horizon`` rows after it; the forecasts are compared with the actual values.

    Parameters
    ----------
    estimator : forecaster
        Any estimator of this package, or a scikit-learn regressor in a windowing pipeline
        (``GUSKTimeSeriesEstimator``); it must forecast at least ``horizon`` steps.
    X : array-like or DataFrame of shape (n_rows, n_columns)
        The whole series, one row per time step.
    horizon : int
        Steps forecast from each origin.
    origins : int, default None
        Number of origins; the last one leaves exactly ``horizon`` rows. Five when neither
        ``origins`` nor ``step`` is given.
    step : int, default None
        Rows between consecutive origins (default ``horizon``: folds do not overlap).
    initial_train_size : int, default None
        Rows before the first origin; by default derived from ``origins`` and ``step``.
    refit : bool or int, default True
        True refits at every origin, False fits once at the first origin, n refits at every
        n-th origin.
    strategy : {"expanding", "sliding"}, default "expanding"
        Training rows: all rows before the origin, or as many as before the first origin.
    metrics : list of str or callable, default None
        Names among "MAE", "RMSE", "MAPE", "sMAPE", "MASE", "coverage", or functions
        ``f(actual, forecast)``; default all of them ("coverage" with ``intervals``).
    intervals : bool, default False
        Also forecast prediction intervals (needs an ``EnsembleRegressor`` final step).
    seasonal_period : int, default 1
        Season of the naive forecast that scales MASE (12 for monthly data with a yearly cycle).
    n_jobs : int, default None
        Fits run in parallel through joblib (any backend of ``joblib.parallel_config``).
    verbose : bool, default False
        A progress bar on standard error.

    Returns
    -------
    BacktestResult
        ``(forecasts, metrics)``: both DataFrames, see ``BacktestResult``.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from orvane import Flatten, GUSKTimeSeriesEstimator
    >>> model = GUSKTimeSeriesEstimator(
    ...     [("window", Flatten([0], [0], lookback_win=3)), ("model", LinearRegression())],
    ...     [0], [0], lookback_win=3, multistep_prediction_strategy="recursive",
    ...     multistep_prediction_win=3)
    >>> result = backtest(model, np.arange(30.0).reshape(-1, 1), horizon=3, origins=2)
    >>> result.forecasts["origin"].tolist()
    [23, 23, 23, 26, 26, 26]
    >>> result.forecasts["forecast"].round(6).tolist()
    [24.0, 25.0, 26.0, 27.0, 28.0, 29.0]
    """
    if not isinstance(horizon, (int, np.integer)) or isinstance(horizon, bool) or horizon < 1:
        raise ValueError(f"horizon must be a positive int, got {horizon!r}")
    if strategy not in WINDOWS:
        raise ValueError(f"strategy must be one of {WINDOWS}, got {strategy!r}")
    functions = _metric_functions(metrics, intervals)
    data, values, labels, targets, names = _prepared(estimator, X)
    positions = _origins(len(values), horizon, origins, step, initial_train_size)
    groups = _fit_groups(positions, refit)
    width = positions[0]

    def train_start(end):
        return 0 if strategy == "expanding" else end - width

    fit_end_of = {origin: group[0] for group in groups for origin in group}
    tasks = Parallel(n_jobs=n_jobs, return_as="generator")(
        delayed(_run_group)(estimator, data, values, group, train_start, horizon, intervals,
                            len(targets))
        for group in groups)
    results = [item for group in _progress(tasks, len(positions), verbose) for item in group]
    table = _forecast_table(results, labels, values[:, targets], names, horizon, fit_end_of,
                            seasonal_period)
    summary = _metrics_table(table, functions)
    return BacktestResult(table.drop(columns="scale"), summary)
