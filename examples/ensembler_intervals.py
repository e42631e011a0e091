"""A ready-made forecaster with prediction intervals, checked on a held-out year.

Fits LocalizedFlattenAutoEnsembler on the airline passengers series without its
last year, forecasts that year with 90 % intervals, prints how many actual
values fall inside, and draws history, forecast, interval band and the actual
values into a PNG file (skipped when matplotlib is not installed).

Run: python examples/ensembler_intervals.py [PLOT.png] [--fast]
     (the plot goes to a temporary folder when no file is given)
"""

import argparse
import os
import tempfile

import numpy as np

from orvane import LocalizedFlattenAutoEnsembler, load_airline

HORIZON = 12
LOOKBACK = 24
CONFIDENCE = 0.9


def fit_forecaster(history, fast=False):
    forecaster = LocalizedFlattenAutoEnsembler(
        feature_columns=[0],
        target_columns=[0],
        lookback_win=LOOKBACK,
        pred_win=1,
        multistep_prediction_strategy="recursive",
        multistep_prediction_win=HORIZON,
        data_transformation_scheme="log",
        dag_granularity="tiny" if fast else "default",
        n_estimators_for_pred_interval=10 if fast else 30,
    )
    # The ensemble regressor is the last step: ask it for 90 % intervals and fix its seed.
    forecaster.steps[-1][1].set_params(confidence_level=CONFIDENCE, random_state=0)
    return forecaster.fit(history)


def forecast_with_intervals(forecaster, history):
    """Point forecast and (lower, upper) bounds, each of shape (HORIZON,)."""
    forecast = forecaster.predict(history)[:, 0]
    # Given the last look-back window, the recursive interval prediction returns one
    # (1, 1, 2) block per step, stacked: shape (HORIZON, 1, 2), last axis (lower, upper).
    bounds = forecaster.predict_proba(history[-LOOKBACK:])
    return forecast, bounds[:, 0, 0], bounds[:, 0, 1]


def plot(path, dates, series, forecast, lower, upper):
    """Draw the series, the forecast and its interval band; return False without matplotlib."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return False
    months = np.array(dates, dtype="datetime64[M]")
    figure = Figure(figsize=(9, 3.5), layout="constrained")
    ax = figure.subplots()
    ax.plot(months, series, color="0.3", label="passengers")
    ax.plot(months[-HORIZON:], forecast, color="tab:blue", marker=".", label="forecast")
    ax.fill_between(months[-HORIZON:], lower, upper, color="tab:blue", alpha=0.2,
                    label=f"{CONFIDENCE:.0%} interval")
    ax.set_title("Airline passengers: the last year forecast from the years before it")
    ax.set_ylabel("thousands")
    ax.legend(loc="upper left")
    figure.savefig(path)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plot", nargs="?", help="PNG file for the plot")
    parser.add_argument("--fast", action="store_true", help="small search, fewer interval models")
    args = parser.parse_args(argv)

    frame = load_airline()
    series = frame[["Passengers"]].to_numpy()
    history, actual = series[:-HORIZON], series[-HORIZON:, 0]

    forecaster = fit_forecaster(history, fast=args.fast)
    forecast, lower, upper = forecast_with_intervals(forecaster, history)
    inside = (lower <= actual) & (actual <= upper)

    print(f"ensemble of: {', '.join(forecaster.steps[-1][1].leader_names_)}")
    print(f"{'month':>8} {'actual':>7} {'forecast':>9} {'lower':>7} {'upper':>7}  inside")
    for month, values, hit in zip(frame["Date"].iloc[-HORIZON:],
                                  zip(actual, forecast, lower, upper, strict=True), inside,
                                  strict=True):
        numbers = " ".join(f"{value:7.1f}" for value in values)
        print(f"{month:>8} {numbers}  {'yes' if hit else 'no'}")
    print(f"{inside.sum()} of {HORIZON} actual values inside the {CONFIDENCE:.0%} intervals")

    path = args.plot or os.path.join(tempfile.mkdtemp(prefix="orvane-"), "intervals.png")
    if plot(path, frame["Date"], series[:, 0], forecast, lower, upper):
        print(f"plot written to {path}")
    else:
        print("plot skipped: matplotlib is not installed (pip install orvane[plot])")
    return forecast, lower, upper, actual


if __name__ == "__main__":
    main()
