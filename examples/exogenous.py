"""An exogenous column whose future values are known: planned promotions.

``examples/sales.csv`` holds two years of simulated daily sales and a 0/1
promotion flag that is planned ahead. The forecaster reads the promotion flag
of the days it predicts (``look_ahead_fcolumns``) and is given the plan for the
next week at prediction time (``predict(..., supporting_features=plan)``).

The example fits on the first 600 days, then forecasts each of the following
weeks twice: with the promotion plan, and without it (the estimator then
assumes the average promotion rate of the stored history). It prints the mean
absolute error of both.

Run: python examples/exogenous.py
"""

import os

import numpy as np
import pandas as pd
from sklearn.linear_model import Ridge

from orvane import Flatten, GUSKTimeSeriesEstimator

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sales.csv")
SALES, PROMOTION = 0, 1      # column positions in X
LOOKBACK = 14
WEEK = 7
TRAINING_DAYS = 600


def load_sales():
    """Dates and the (n_days, 2) array [sales, promotion]."""
    frame = pd.read_csv(DATA)
    return frame["date"], frame[["sales", "promotion"]].to_numpy(dtype=float)


def make_forecaster():
    """Direct 7-day forecaster that knows the promotion flag of the days it predicts."""
    window = Flatten(
        feature_col_index=[SALES, PROMOTION],
        target_col_index=[SALES],
        lookback_win=LOOKBACK,
        pred_win=WEEK,
        look_ahead_fcol_index=[PROMOTION],   # adds the flag of each predicted day
    )
    return GUSKTimeSeriesEstimator(
        steps=[("window", window), ("ridge", Ridge(alpha=1.0))],
        feature_columns=[SALES, PROMOTION],
        target_columns=[SALES],
        look_ahead_fcolumns=[PROMOTION],
        lookback_win=LOOKBACK,
        pred_win=WEEK,
        multistep_prediction_strategy="multioutput",
        multistep_prediction_win=WEEK,
        store_lookback_history=True,   # keeps the mean promotion rate for predict without a plan
    )


def main():
    """Print the weekly errors; return the mean absolute errors (with plan, without plan)."""
    dates, X = load_sales()
    forecaster = make_forecaster().fit(X[:TRAINING_DAYS])

    print(f"{'week from':>10} {'promotions':>10} {'MAE with plan':>14} {'MAE without':>12}")
    errors_with, errors_without = [], []
    for start in range(TRAINING_DAYS, len(X) - WEEK + 1, WEEK):
        past, week = X[:start], X[start:start + WEEK]
        plan = week[:, PROMOTION]                                  # known in advance
        with_plan = forecaster.predict(past, supporting_features=plan)[:, 0]
        without_plan = forecaster.predict(past)[:, 0]
        errors_with.append(np.mean(np.abs(with_plan - week[:, SALES])))
        errors_without.append(np.mean(np.abs(without_plan - week[:, SALES])))
        print(f"{dates.iloc[start]:>10} {int(plan.sum()):>10} {errors_with[-1]:14.1f} "
              f"{errors_without[-1]:12.1f}")
    mae_with, mae_without = float(np.mean(errors_with)), float(np.mean(errors_without))
    print(f"mean absolute error over {len(errors_with)} weeks: {mae_with:.1f} with the "
          f"promotion plan, {mae_without:.1f} without it")
    return mae_with, mae_without


if __name__ == "__main__":
    main()
