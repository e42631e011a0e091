"""orvane.backtest: origins, refits, training windows, metrics and progress."""

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.metrics import max_error

import orvane

# A series no linear model forecasts exactly, so that a wrong training window shows.
Y = 20 + np.arange(60.0) + 5 * np.sin(np.arange(60.0) ** 1.3)


def recursive_ridge():
    return orvane.GUSKTimeSeriesEstimator(
        steps=[("window", orvane.Flatten([0], [0], lookback_win=4)), ("model", Ridge())],
        feature_columns=[0], target_columns=[0], lookback_win=4,
        multistep_prediction_strategy="recursive", multistep_prediction_win=5)


def by_hand(origins, fit_end, train_start):
    """Forecasts made the long way: fit on the given rows, predict from each origin."""
    forecasts = []
    for origin in origins:
        model = clone(recursive_ridge()).fit(Y[train_start(fit_end[origin]):fit_end[origin], None])
        forecasts.append(model.predict(Y[:origin, None])[:, 0])
    return np.concatenate(forecasts)


@pytest.mark.parametrize("options, origins, fit_end, window", [
    ({"origins": 3}, [45, 50, 55], {45: 45, 50: 50, 55: 55}, None),
    ({"origins": 3, "refit": False}, [45, 50, 55], {45: 45, 50: 45, 55: 45}, None),
    ({"origins": 4, "refit": 2, "step": 3}, [46, 49, 52, 55], {46: 46, 49: 46, 52: 52, 55: 52}, None),
    ({"origins": 3, "strategy": "sliding"}, [45, 50, 55], {45: 45, 50: 50, 55: 55}, 45),
    ({"initial_train_size": 40, "step": 10}, [40, 50], {40: 40, 50: 50}, None),
])
def test_forecasts_match_fits_by_hand(options, origins, fit_end, window):
    result = orvane.backtest(recursive_ridge(), Y[:, None], horizon=5, n_jobs=2, **options)
    forecasts = result.forecasts
    assert forecasts["origin"].unique().tolist() == [o - 1 for o in origins]
    assert forecasts.index.tolist() == [o + s for o in origins for s in range(5)]
    np.testing.assert_array_equal(forecasts["actual"], Y[forecasts.index])
    start = (lambda end: 0) if window is None else (lambda end: end - window)
    np.testing.assert_allclose(forecasts["forecast"], by_hand(origins, fit_end, start), rtol=1e-12)


def test_metrics_summarise_the_forecasts():
    frame = pd.DataFrame({"y": Y}, index=pd.date_range("2020-01-01", periods=60, freq="MS"))
    model = orvane.GUSKTimeSeriesEstimator(
        steps=[("window", orvane.Flatten(["y"], ["y"], lookback_win=4)), ("model", LinearRegression())],
        feature_columns=["y"], target_columns=["y"], lookback_win=4,
        multistep_prediction_strategy="recursive", multistep_prediction_win=5)
    result = orvane.backtest(model, frame, horizon=5, origins=2, metrics=["MAE", "MASE", max_error])
    errors = (result.forecasts["actual"] - result.forecasts["forecast"]).abs().to_numpy()
    naive = [np.mean(np.abs(np.diff(Y[:end]))) for end in (50, 55)]
    assert result.forecasts.index[0] == pd.Timestamp("2024-03-01")
    assert list(result.metrics.columns) == ["MAE", "MASE", "max_error"]
    np.testing.assert_allclose(result.metrics.loc["y", "MAE"], errors.mean())
    np.testing.assert_allclose(result.metrics.loc["y", "MASE"],
                               np.mean(errors / np.repeat(naive, 5)))
    assert result.metrics.loc["y", "max_error"] == errors.max()


def test_interval_coverage_and_progress(capsys):
    model = recursive_ridge()
    model.steps[-1] = ("model", orvane.EnsembleRegressor(
        stages=[[Ridge()]], n_leaders_for_ensemble=1, n_estimators_for_pred_interval=5,
        random_state=0))
    result = orvane.backtest(model, Y[:, None], horizon=5, origins=2, intervals=True, verbose=True)
    rows = result.forecasts
    inside = (rows["actual"] >= rows["lower"]) & (rows["actual"] <= rows["upper"])
    assert result.metrics.loc["0", "coverage"] == inside.mean()
    assert "2/2 origins" in capsys.readouterr().err


@pytest.mark.parametrize("options, message", [
    ({"horizon": 0}, "horizon must be a positive int"),
    ({"horizon": 5, "origins": 20}, "leave no room for the origins"),
    ({"horizon": 5, "refit": "yes"}, "refit must be True, False or a positive int"),
    ({"horizon": 5, "strategy": "rolling"}, "strategy must be one of"),
    ({"horizon": 5, "metrics": ["R2"]}, "unknown metric 'R2'"),
    ({"horizon": 9}, "forecasts 5 steps, fewer than the horizon 9"),
])
def test_bad_settings_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        orvane.backtest(recursive_ridge(), Y[:, None], **options)
