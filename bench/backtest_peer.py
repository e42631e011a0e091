"""The airline backtest of the README, run by skforecast's backtesting on the same split.

Same series, same regressor (Ridge on the last 12 months, recursive), same three yearly
origins at the end of the data, refitted at each origin on all earlier months. Run it in a
virtual environment of its own that has skforecast (pip install ".[peers]"):

    python bench/backtest_peer.py
"""

import numpy as np
import pandas as pd
from sklearn.linear_model import Ridge
from sklearn.metrics import mean_absolute_error, mean_absolute_percentage_error, mean_squared_error
from skforecast.metrics import mean_absolute_scaled_error, symmetric_mean_absolute_percentage_error
from skforecast.model_selection import TimeSeriesFold, backtesting_forecaster
from skforecast.recursive import ForecasterRecursive

HORIZON, ORIGINS, LOOKBACK = 12, 3, 12
AIRLINE = "src/orvane/datasets/data/airline.csv"


def rmse(y_true, y_pred):
    return float(np.sqrt(mean_squared_error(y_true, y_pred)))


def main():
    frame = pd.read_csv(AIRLINE)
    y = pd.Series(frame["Passengers"].to_numpy(float),
                  index=pd.period_range(frame["Date"].iloc[0], periods=len(frame), freq="M")
                  .to_timestamp(), name="Passengers").asfreq("MS")
    forecaster = ForecasterRecursive(Ridge(), lags=LOOKBACK)
    fold = TimeSeriesFold(steps=HORIZON, initial_train_size=len(y) - ORIGINS * HORIZON,
                          refit=True, fixed_train_size=False, verbose=False)
    metrics, predictions = backtesting_forecaster(
        forecaster, y, cv=fold, show_progress=False, n_jobs=1,
        metric=[mean_absolute_error, rmse, mean_absolute_percentage_error,
                symmetric_mean_absolute_percentage_error, mean_absolute_scaled_error],
        interval=0.9, interval_method="conformal")
    actual = y.loc[predictions.index]
    inside = (actual >= predictions["lower_bound"]) & (actual <= predictions["upper_bound"])
    coverage = np.mean(inside)
    metrics = metrics.rename(columns={
        "mean_absolute_error": "MAE", "rmse": "RMSE", "mean_absolute_percentage_error": "MAPE",
        "symmetric_mean_absolute_percentage_error": "sMAPE", "mean_absolute_scaled_error": "MASE"})
    metrics["MAPE"] *= 100  # percent, as orvane reports it
    metrics["coverage"] = coverage
    with pd.option_context("display.precision", 3, "display.width", 120):
        print(predictions.head(3))
        print(metrics.drop(columns=[c for c in metrics.columns if c not in
                                    ("MAE", "RMSE", "MAPE", "sMAPE", "MASE", "coverage")]))


if __name__ == "__main__":
    main()
