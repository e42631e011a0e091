"""Pipeline estimators on a real series: windowing transformer + scikit-learn regressor.

Forecasts the last year of the airline passengers series from the years before it
with every pairing of three windowing transformers and three regressors, prints
the error of each, then shows the in-sample one-step predictions of the best.

Run: python examples/pipeline_estimator.py
"""

import numpy as np
from sklearn.ensemble import RandomForestRegressor
from sklearn.linear_model import Ridge
from sklearn.neighbors import KNeighborsRegressor

from orvane import (
    DifferenceFlatten,
    Flatten,
    GUSKTimeSeriesEstimator,
    load_airline,
    LocalizedFlatten,
)

LOOKBACK = 24

WINDOWS = {
    "Flatten": Flatten,                    # raw values of the window
    "LocalizedFlatten": LocalizedFlatten,  # values relative to the window's last one
    "DifferenceFlatten": DifferenceFlatten,  # first differences of the window
}

REGRESSORS = {
    "Ridge": lambda: Ridge(alpha=1.0),
    "KNeighbors": lambda: KNeighborsRegressor(n_neighbors=3),
    "RandomForest": lambda: RandomForestRegressor(n_estimators=100, random_state=0),
}


def make_pipeline(window, regressor, horizon):
    """A recursive forecaster: one-step windows, each prediction fed back ``horizon`` times."""
    return GUSKTimeSeriesEstimator(
        steps=[(window, WINDOWS[window]([0], [0], lookback_win=LOOKBACK)),
               (regressor, REGRESSORS[regressor]())],
        feature_columns=[0],
        target_columns=[0],
        lookback_win=LOOKBACK,
        multistep_prediction_strategy="recursive",
        multistep_prediction_win=horizon,
        data_transformation_scheme="log",   # the seasonal swings grow with the level
    )


def mape(predicted, actual):
    """Mean absolute percentage error, in percent."""
    return 100.0 * float(np.mean(np.abs(predicted - actual) / np.abs(actual)))


def main(horizon=12):
    """Print the comparison; return ``{(window, regressor): MAPE}`` and the in-sample MAPE."""
    series = load_airline()[["Passengers"]].to_numpy()
    history, future = series[:-horizon], series[-horizon:, 0]

    errors: dict[tuple[str, str], float] = {}
    print(f"forecast of the last {horizon} months, mean absolute percentage error:")
    print(f"{'window':>18} " + " ".join(f"{name:>12}" for name in REGRESSORS))
    for window in WINDOWS:
        row = []
        for regressor in REGRESSORS:
            model = make_pipeline(window, regressor, horizon).fit(history)
            errors[window, regressor] = mape(model.predict(history)[:, 0], future)
            row.append(f"{errors[window, regressor]:11.1f}%")
        print(f"{window:>18} " + " ".join(row))

    best = min(errors, key=errors.__getitem__)
    print(f"best: {best[0]} + {best[1]} ({errors[best]:.1f}%)")

    # In-sample: one prediction per row of the history, each from the 24 rows before it.
    model = make_pipeline(*best, horizon).fit(history)
    in_sample = model.predict(history, prediction_type="sliding_window")[:, 0]
    print(f"in-sample one-step predictions: {len(in_sample)} rows, the first "
          f"{int(np.isnan(in_sample).sum())} are NaN (no full window before them)")
    in_sample_error = mape(in_sample[LOOKBACK:], history[LOOKBACK:, 0])
    print(f"in-sample one-step error: {in_sample_error:.1f}%")
    return errors, in_sample_error


if __name__ == "__main__":
    main()
