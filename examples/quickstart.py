"""Forecast the airline passengers series a year ahead with a ready-made forecaster.

Run: python examples/quickstart.py
"""

import numpy as np

from orvane import LocalizedFlattenAutoEnsembler, load_airline


def main(horizon=12):
    frame = load_airline()
    series = frame[["Passengers"]].to_numpy()
    history, future = series[:-horizon], series[-horizon:, 0]

    forecaster = LocalizedFlattenAutoEnsembler(
        feature_columns=[0],
        target_columns=[0],
        lookback_win=24,
        pred_win=1,
        multistep_prediction_strategy="recursive",
        multistep_prediction_win=horizon,
        data_transformation_scheme="log",
    )
    forecaster.fit(history)
    forecast = forecaster.predict(history)[:, 0]

    print(f"{'month':>8} {'actual':>8} {'forecast':>9}")
    months = frame["Date"].iloc[-horizon:]
    for month, actual, predicted in zip(months, future, forecast, strict=True):
        print(f"{month:>8} {actual:8.0f} {predicted:9.1f}")
    error = np.mean(np.abs(forecast - future) / future)
    print(f"mean absolute percentage error: {100 * error:.1f}%")
    return forecast


if __name__ == "__main__":
    main()
