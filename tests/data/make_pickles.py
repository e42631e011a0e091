"""Write the pickled estimator that tests/test_persistence.py loads, and its expected forecasts.

Run from the repository root with the built package on the path::

    PYTHONPATH=src python tests/data/make_pickles.py

It writes, next to this script:

- ``gusk_estimator_v0_1.pkl``: a ``GUSKTimeSeriesEstimator`` (a ``Flatten`` step and a
  ``LinearRegression``, log transformation, stored look-back history) fitted on the airline
  passengers series, pickled with protocol 4 by ``orvane.utils.portable_pickle`` so that it
  loads under every supported NumPy and scikit-learn release;
- ``gusk_estimator_v0_1_expected.npz``: what that estimator predicted when it was written.

The files are a compatibility fixture: once committed they are not regenerated, so that a
change that stops old pickles from loading, or from forecasting as they did, shows up in the
tests. Write a new pair under a new version name instead of overwriting this one.
"""

from pathlib import Path

import numpy as np
from sklearn.linear_model import LinearRegression

from orvane.datasets import load_airline
from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten
from orvane.utils import portable_pickle

HERE = Path(__file__).resolve().parent
PICKLE_PATH = HERE / "gusk_estimator_v0_1.pkl"
EXPECTED_PATH = HERE / "gusk_estimator_v0_1_expected.npz"
PICKLE_PROTOCOL = 4
LOOKBACK = 12


def airline_matrix():
    """The airline series as a (144, 2) float array: month number, passengers."""
    passengers = load_airline()["Passengers"].to_numpy(dtype=float)
    return np.column_stack([np.arange(len(passengers), dtype=float), passengers])


def build_estimator():
    """Monthly passengers forecast one step ahead from the last twelve months, on a log scale."""
    flatten = Flatten(feature_col_index=[1], target_col_index=[1], lookback_win=LOOKBACK, pred_win=1)
    return GUSKTimeSeriesEstimator(
        steps=[("flatten", flatten), ("model", LinearRegression())],
        feature_columns=[1],
        target_columns=[1],
        lookback_win=LOOKBACK,
        pred_win=1,
        time_column=0,
        data_transformation_scheme="log",
        store_lookback_history=True,
    )


def expected_predictions(estimator, X):
    """The forecasts the fixture test compares against, by name."""
    return {
        "forecast_after_last_two_years": estimator.predict(X[-24:]),
        "forecast_from_history": estimator.predict(None),
        "sliding_window_last_two_years": estimator.predict(X[-24:], prediction_type="sliding_window"),
    }


def main():
    X = airline_matrix()
    estimator = build_estimator().fit(X[:-24])
    with open(PICKLE_PATH, "wb") as handle:
        portable_pickle.dump(estimator, handle, protocol=PICKLE_PROTOCOL)
    np.savez(EXPECTED_PATH, **expected_predictions(estimator, X))
    print(f"wrote {PICKLE_PATH.name} and {EXPECTED_PATH.name}")


if __name__ == "__main__":
    main()
