"""Fit time of the ready-made forecasters on long series, against their budget.

For each length (10^4, 10^5, 3 x 10^5 and 10^6 rows by default) the script
fits the ready-made forecasters on a series with a daily-like season of 24, a
slowly wandering level and noise, as a user runs them (one column, look-back
of two seasons, the recursive strategy, 24 steps ahead), and prints the fit's
seconds over the budget (``total_execution_time``): the search, the
calibration of the intervals and the final refit of the chosen members all
count, so a ratio above 1 is a fit that overran.  The forecast of the 24 held
out values is scored against the seasonal naive forecast's (MAE ratio), so
that a fit which kept to its budget by giving up shows.

Run: PYTHONPATH=src python bench/budget.py [--rows 10000 1000000] [--budget 1]
     [--models Localized Difference Flatten]
"""

import argparse
import time
import warnings

import numpy as np

SEASON = 24
HORIZON = 24
LOOKBACK = 2 * SEASON


def make_series(n_values, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n_values)
    return (10.0 + np.sin(2 * np.pi * t / SEASON) + 0.01 * np.cumsum(rng.normal(size=n_values))
            + 0.2 * rng.normal(size=n_values))


def forecaster_class(label):
    from orvane.gusk.estimators.tembrel.models import gusk_estimators as ge

    return {"Localized": ge.LocalizedFlattenAutoEnsembler,
            "Difference": ge.DifferenceFlattenAutoEnsembler,
            "Flatten": ge.FlattenAutoEnsembler}[label]


def run(label, series, budget):
    """Fit seconds and held-out MAE of one ready-made forecaster."""
    train, test = series[:-HORIZON], series[-HORIZON:]
    forecaster = forecaster_class(label)(
        feature_columns=[0], target_columns=[0], lookback_win=LOOKBACK, pred_win=1,
        multistep_prediction_strategy="recursive", multistep_prediction_win=HORIZON,
        total_execution_time=budget)
    start = time.perf_counter()
    forecaster.fit(train.reshape(-1, 1))
    seconds = time.perf_counter() - start
    point = np.asarray(forecaster.predict(train[-LOOKBACK:].reshape(-1, 1)), dtype=float)
    return seconds, float(np.mean(np.abs(point.reshape(-1)[:HORIZON] - test)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+",
                        default=[10_000, 100_000, 300_000, 1_000_000])
    parser.add_argument("--budget", type=float, default=1.0, help="minutes")
    parser.add_argument("--models", nargs="+", default=["Localized", "Difference", "Flatten"])
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    print(f"{'rows':>9} {'forecaster':<11} {'fit s':>7} {'fit / budget':>13} "
          f"{'MAE / seasonal naive':>21}")
    for n_rows in args.rows:
        series = make_series(n_rows + HORIZON)
        naive = float(np.mean(np.abs(series[-2 * SEASON:-SEASON] - series[-HORIZON:])))
        for label in args.models:
            seconds, error = run(label, series, args.budget)
            print(f"{n_rows:>9} {label:<11} {seconds:>7.1f} {seconds / (60 * args.budget):>13.2f} "
                  f"{error / naive:>21.2f}", flush=True)


if __name__ == "__main__":
    main()
