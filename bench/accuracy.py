"""Forecast accuracy of the ready-made ensemblers on real series, against two baselines.

Every series ships inside an installed package (sktime and statsmodels, the
``bench`` extra).  The last ``h`` points of each series are held out (with
``--origins k`` also the ``h`` points before them, and so on, each forecast
from the points that precede it); the three ready-made ensemblers are fitted
with their default settings on the rest and forecast ``h`` steps, with 95 %
intervals.  The table prints, per
series:

* MASE (mean absolute error over the in-sample mean absolute error of the
  seasonal naive forecast) of each ensembler, of the seasonal naive forecast
  and of statsmodels' exponential smoothing (the configuration with the
  lowest AIC among no/damped trend and no/additive season);
* the share of held-out points inside each ensembler's 95 % interval;
* the fit time of each ensembler.

Run:  python bench/accuracy.py [--strategy recursive|direct] [--origins k] [--series ...]
"""

import argparse
import time
import warnings
from dataclasses import dataclass

import numpy as np

from orvane.gusk.estimators.tembrel.models.gusk_estimators import (
    DifferenceFlattenAutoEnsembler,
    FlattenAutoEnsembler,
    LocalizedFlattenAutoEnsembler,
)

ENSEMBLERS = {
    "Flatten": FlattenAutoEnsembler,
    "Difference": DifferenceFlattenAutoEnsembler,
    "Localized": LocalizedFlattenAutoEnsembler,
}


@dataclass
class Series:
    name: str
    values: np.ndarray
    season: int      # seasonal period of the naive baseline and of the scaling
    horizon: int     # points held out and forecast
    lookback: int    # look-back window of the ensemblers


def _sktime(loader_name):
    from sktime import datasets
    return getattr(datasets, loader_name)().to_numpy(dtype=float)


def _statsmodels(dataset, column):
    import statsmodels.api as sm
    return getattr(sm.datasets, dataset).load_pandas().data[column].to_numpy(dtype=float)


def _monthly_co2():
    import statsmodels.api as sm
    weekly = sm.datasets.co2.load_pandas().data["co2"]
    return weekly.resample("MS").mean().interpolate().to_numpy(dtype=float)


def load_series():
    """The benchmark series with their season, horizon and look-back."""
    return [
        Series("airline", _sktime("load_airline"), 12, 12, 24),
        Series("lynx", _sktime("load_lynx"), 10, 10, 20),
        Series("shampoo", _sktime("load_shampoo_sales"), 12, 6, 12),
        Series("sunspots", _statsmodels("sunspots", "SUNACTIVITY"), 11, 11, 22),
        Series("co2", _monthly_co2(), 12, 12, 24),
        Series("nile", _statsmodels("nile", "volume"), 1, 10, 10),
    ]


def mase(actual, forecast, train, season):
    scale = np.mean(np.abs(train[season:] - train[:-season]))
    return float(np.mean(np.abs(actual - forecast)) / scale)


def seasonal_naive(train, season, horizon):
    last = train[-season:]
    return np.array([last[step % season] for step in range(horizon)])


def exponential_smoothing(train, season, horizon):
    """Forecast of the exponential smoothing configuration with the lowest AIC."""
    from statsmodels.tsa.holtwinters import ExponentialSmoothing

    best = None
    seasonal_options = [None] + (["add"] if season > 1 and len(train) >= 2 * season else [])
    for trend, damped in ((None, False), ("add", True)):
        for seasonal in seasonal_options:
            model = ExponentialSmoothing(
                train, trend=trend, damped_trend=damped, seasonal=seasonal,
                seasonal_periods=season if seasonal else None,
                initialization_method="estimated",
            ).fit()
            if best is None or model.aic < best.aic:
                best = model
    return best.forecast(horizon)


def strategy_keywords(strategy, horizon):
    if strategy == "direct":
        return dict(pred_win=horizon, multistep_prediction_strategy="multioutput",
                    multistep_prediction_win=horizon)
    return dict(pred_win=1, multistep_prediction_strategy="recursive",
                multistep_prediction_win=horizon)


def run_ensembler(cls, series, train, strategy, seed):
    forecaster = cls(feature_columns=[0], target_columns=[0], lookback_win=series.lookback,
                     **strategy_keywords(strategy, series.horizon))
    # the regressor step seeds the search and the bootstrap, so runs are repeatable
    forecaster.steps[-1][1].set_params(random_state=seed)
    X = train.reshape(-1, 1)
    start = time.perf_counter()
    forecaster.fit(X)
    fit_time = time.perf_counter() - start
    history = X[-series.lookback:]
    forecast = np.asarray(forecaster.predict(history), dtype=float).reshape(-1)
    bounds = np.asarray(forecaster.predict_proba(history), dtype=float).reshape(-1, 2)
    return forecast[:series.horizon], bounds[:series.horizon], fit_time


def evaluate_origin(series, values, strategy, seed):
    """Scores of one forecast origin: ``values`` ends with the held-out points."""
    train, actual = values[:-series.horizon], values[-series.horizon:]
    row = {
        "naive": mase(actual, seasonal_naive(train, series.season, series.horizon), train,
                      series.season),
        "ets": mase(actual, exponential_smoothing(train, series.season, series.horizon),
                    train, series.season),
    }
    for label, cls in ENSEMBLERS.items():
        forecast, bounds, fit_time = run_ensembler(cls, series, train, strategy, seed)
        row[label] = mase(actual, forecast, train, series.season)
        row[label + " cover"] = (bounds[:, 0] <= actual) & (actual <= bounds[:, 1])
        row[label + " fit"] = fit_time
    return row


def evaluate(series, strategy, seed, origins):
    """Scores of a series over ``origins`` forecast origins, one horizon apart.

    MASE is averaged over the origins, coverage pooled, fit time the longest.
    """
    rows = [evaluate_origin(series, series.values[:len(series.values) - k * series.horizon],
                            strategy, seed)
            for k in range(origins)]
    merged = {}
    for key in rows[0]:
        values = [row[key] for row in rows]
        if key.endswith(" cover"):
            merged[key] = np.concatenate(values)
        elif key.endswith(" fit"):
            merged[key] = max(values)
        else:
            merged[key] = float(np.mean(values))
    return merged


def print_table(rows, series_names):
    labels = list(ENSEMBLERS)

    def columns(fmt, values):
        return "".join(format(value, fmt) for value in values)

    print(f"{'series':<10}" + columns(">17", [f"MASE {label}" for label in labels])
          + f"{'MASE naive':>12}{'MASE ETS':>10}"
          + columns(">17", [f"cover {label}" for label in labels])
          + columns(">17", [f"fit s {label}" for label in labels]))
    for series_name, row in zip(series_names, rows):
        print(f"{series_name:<10}" + columns(">17.3f", [row[label] for label in labels])
              + f"{row['naive']:>12.3f}{row['ets']:>10.3f}"
              + columns(">17.0%", [row[label + " cover"].mean() for label in labels])
              + columns(">17.1f", [row[label + " fit"] for label in labels]))
    mean = {key: np.mean([row[key] for row in rows]) for key in labels + ["naive", "ets"]}
    pooled = [np.concatenate([row[label + " cover"] for row in rows]).mean() for label in labels]
    longest = [max(row[label + " fit"] for row in rows) for label in labels]
    print(f"{'mean':<10}" + columns(">17.3f", [mean[label] for label in labels])
          + f"{mean['naive']:>12.3f}{mean['ets']:>10.3f}"
          + columns(">17.0%", pooled) + columns(">17.1f", longest))
    print("\n(mean row: mean MASE, coverage pooled over all held-out points, longest fit)")
    for label in labels:
        beats = sum(row[label] < row["naive"] for row in rows)
        print(f"{label}: beats seasonal naive on {beats}/{len(rows)} series; mean MASE "
              f"{mean[label] / mean['ets']:.2f}x that of exponential smoothing")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--strategy", choices=("recursive", "direct"), default="recursive")
    parser.add_argument("--series", nargs="*", help="names of the series to run (default: all)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--origins", type=int, default=1,
                        help="forecast origins per series, one horizon apart, the last "
                             "first (default: 1, the end of the series)")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    chosen = [s for s in load_series() if not args.series or s.name in args.series]
    rows = []
    for series in chosen:
        rows.append(evaluate(series, args.strategy, args.seed, args.origins))
        print(f"... {series.name} done", flush=True)
    print(f"\nstrategy: {args.strategy}; origins per series: {args.origins}; held-out "
          f"points: {args.origins * sum(s.horizon for s in chosen)}\n")
    print_table(rows, [s.name for s in chosen])


if __name__ == "__main__":
    main()
