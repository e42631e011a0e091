"""Whole forecasts on series with a known answer: a linear model must reproduce them exactly."""

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

from conftest import linear_recurrence

EXACT = 1e-8

# y[t] = y[t-1] - 0.9 y[t-2] + 2: a slowly damped oscillation, far from constant over 60 steps.
Y = linear_recurrence(60, a=1.0, b=-0.9, c=2.0)
Y2 = linear_recurrence(60, a=1.0, b=-0.9, c=2.0, start=(-3.0, 4.0))

# y[t] = -0.02 y[t-1] + 1.02 y[t-2]: differences alternate in sign and grow by 2 % a step, so
# windows relative to their last value, their mean and deviation, or their differences follow a
# linear law as well.
RELATIVE = linear_recurrence(60, a=-0.02, b=1.02, c=0.0, start=(1.0, 3.0))
RELATIVE2 = linear_recurrence(60, a=-0.02, b=1.02, c=0.0, start=(-2.0, 0.5))


def column(y):
    return np.asarray(y, dtype=float).reshape(-1, 1)


def linear(gusk, transformer=None, targets=(0,), lookback=2, pred_win=1, **kwargs):
    targets = list(targets)
    transformer = transformer or gusk.Flatten(targets, targets, lookback_win=lookback, pred_win=pred_win)
    steps = [("window", transformer), ("model", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(steps, targets, targets, lookback_win=lookback, pred_win=pred_win,
                                        **kwargs)


# ---------------------------------------------------------------------------------------------
# One step ahead


def test_forecast_of_the_next_value(gusk):
    est = linear(gusk).fit(column(Y[:50]))
    np.testing.assert_allclose(est.predict(column(Y[:50])), [[Y[50]]], atol=EXACT)
    np.testing.assert_allclose(est.predict(column(Y[48:50])), [[Y[50]]], atol=EXACT)
    np.testing.assert_allclose(est.predict(column(Y[:55])), [[Y[55]]], atol=EXACT)


def test_forecast_from_the_stored_history(gusk):
    est = linear(gusk, store_lookback_history=True).fit(column(Y[:50]))
    np.testing.assert_allclose(est.predict(None), [[Y[50]]], atol=EXACT)
    np.testing.assert_allclose(est.predict(column(Y[50:52])), [[Y[52]]], atol=EXACT)
    np.testing.assert_allclose(est.predict(column(Y[50:51])), [[Y[51]]], atol=EXACT)


def test_forecast_of_two_targets(gusk):
    X = np.column_stack([Y, Y2])
    est = linear(gusk, targets=(0, 1)).fit(X[:50])
    np.testing.assert_allclose(est.predict(X[:50]), X[50:51], atol=EXACT)


# ---------------------------------------------------------------------------------------------
# Several steps ahead


@pytest.mark.parametrize("strategy,pred_win,horizon,targets", [
    ("recursive", 1, 10, (0,)), ("recursive", 1, 5, (0, 1)),
    ("multioutput", 3, 3, (0,)), ("multioutput", 3, 3, (0, 1)),
])
def test_forecast_several_steps_ahead(gusk, strategy, pred_win, horizon, targets):
    X = np.column_stack([Y, Y2])[:, :len(targets)]
    est = linear(gusk, targets=targets, pred_win=pred_win, multistep_prediction_strategy=strategy,
                 multistep_prediction_win=horizon)
    result = est.fit(X[:50]).predict(X[:50])
    assert result.shape == (horizon, len(targets))
    np.testing.assert_allclose(result, X[50:50 + horizon], atol=EXACT)


# ---------------------------------------------------------------------------------------------
# Transformers that re-express every window


FAMILY = ["LocalizedFlatten", "DifferenceFlatten", "NormalizedFlatten", "DifferenceNormalizedFlatten"]


@pytest.mark.parametrize("n_targets", [1, 2])
@pytest.mark.parametrize("pred_win", [1, 3])
@pytest.mark.parametrize("name", FAMILY)
def test_flatten_family_forecasts(gusk, name, pred_win, n_targets):
    X = np.column_stack([RELATIVE, RELATIVE2])[:, :n_targets]
    targets = list(range(n_targets))
    transformer = getattr(gusk, name)(targets, targets, lookback_win=3, pred_win=pred_win)
    extra = ({"multistep_prediction_strategy": "multioutput", "multistep_prediction_win": pred_win}
             if pred_win > 1 else {})
    est = linear(gusk, transformer, targets=targets, lookback=3, pred_win=pred_win, **extra)
    est.fit(X[:50])
    result = est.predict(X[:50])
    assert result.shape == (pred_win, n_targets)
    np.testing.assert_allclose(result, X[50:50 + pred_win], atol=EXACT)


@pytest.mark.parametrize("name", ["LocalizedFlatten", "DifferenceNormalizedFlatten"])
def test_flatten_family_recursive_forecast_of_two_targets(gusk, name):
    X = np.column_stack([RELATIVE, RELATIVE2])
    transformer = getattr(gusk, name)([0, 1], [0, 1], lookback_win=3)
    est = linear(gusk, transformer, targets=(0, 1), lookback=3, multistep_prediction_strategy="recursive",
                 multistep_prediction_win=4)
    est.fit(X[:50])
    np.testing.assert_allclose(est.predict(X[:50]), X[50:54], atol=EXACT)


# ---------------------------------------------------------------------------------------------
# Known future values of a feature


def exogenous_series(n=60):
    t = np.arange(n)
    x = 3.0 * np.sin(t / 3.0) + 0.1 * t
    y = np.zeros(n)
    y[0] = 1.0
    for i in range(1, n):
        y[i] = 0.5 * y[i - 1] + 2.0 * x[i] + 1.0
    return np.column_stack([y, x])


def test_forecast_with_supplied_future_values(gusk):
    X = exogenous_series()
    flatten = gusk.Flatten([0], [0], lookback_win=2, look_ahead_fcol_index=[1])
    steps = [("window", flatten), ("model", LinearRegression())]
    est = gusk.GUSKTimeSeriesEstimator(steps, [0], [0], look_ahead_fcolumns=[1], lookback_win=2)
    est.fit(X[:50])
    np.testing.assert_allclose(est.predict(X[:50], supporting_features=np.array([X[50, 1]])), [[X[50, 0]]],
                               atol=EXACT)
    # y[t] moves by 2 for every unit of x[t].
    shifted = est.predict(X[:50], supporting_features=np.array([[X[50, 1] + 1.0]]))
    np.testing.assert_allclose(shifted, [[X[50, 0] + 2.0]], atol=EXACT)


@pytest.mark.parametrize("look_ahead", [[1], []])
def test_recursive_forecast_reads_a_plan_row_at_every_step(gusk, look_ahead):
    # With look-ahead, each window sees x at the step it predicts; without, x only enters as a
    # past value, and a recursive forecast still needs it at the steps already forecast.
    X = exogenous_series()
    if look_ahead:
        flatten, features = gusk.Flatten([0], [0], lookback_win=2, look_ahead_fcol_index=[1]), [0]
    else:
        X = np.column_stack([X[:-1, 0], X[1:, 1]])  # y of a row then depends on x of the row before
        flatten, features = gusk.Flatten([0, 1], [0], lookback_win=2), [0, 1]
    est = gusk.GUSKTimeSeriesEstimator([("window", flatten), ("model", LinearRegression())], features, [0],
                                       look_ahead_fcolumns=look_ahead, lookback_win=2,
                                       multistep_prediction_strategy="recursive", multistep_prediction_win=5)
    est.fit(X[:50])
    np.testing.assert_allclose(est.predict(X[:50], supporting_features=X[50:55, 1]), X[50:55, :1], atol=1e-8)
    # In-sample, the rows after each window are its plan.
    in_sample = est.predict_multi_step_sliding_window(X[40:50])
    np.testing.assert_allclose(in_sample, [X[42 + i:47 + i, 0] for i in range(4)], atol=1e-8)
    with pytest.raises(ValueError, match=r"shape \(1, 1\), but this forecast needs 5 rows .* columns \[1\]"):
        est.predict(X[:50], supporting_features=X[50:51, 1])


# ---------------------------------------------------------------------------------------------
# Sliding windows


@pytest.mark.parametrize(
    "name,targets",
    [("Flatten", (0,)), ("Flatten", (0, 1)), ("LocalizedFlatten", (0, 1)), ("DifferenceFlatten", (0,))],
)
def test_sliding_window_rows_line_up_with_the_rows_they_predict(gusk, name, targets):
    source = (Y, Y2) if name == "Flatten" else (RELATIVE, RELATIVE2)
    X = np.column_stack(source)[:, :len(targets)]
    transformer = getattr(gusk, name)(list(targets), list(targets), lookback_win=3)
    est = linear(gusk, transformer, targets=targets, lookback=3).fit(X[:40])
    result = est.predict_sliding_window(X)
    assert result.shape == (60, len(targets))
    assert np.isnan(result[:3]).all()
    np.testing.assert_allclose(result[3:], X[3:], atol=EXACT)
    np.testing.assert_array_equal(est.predict(X, prediction_type="Sliding_Window"), result)


# ---------------------------------------------------------------------------------------------
# The ready-made forecasters


def seasonal(n):
    t = np.arange(n)
    return 10.0 + 3.0 * np.sin(2 * np.pi * t / 12) + 0.05 * t


@pytest.mark.parametrize(
    "cls", ["FlattenAutoEnsembler", "DifferenceFlattenAutoEnsembler", "LocalizedFlattenAutoEnsembler"]
)
def test_ready_made_forecasters_forecast_a_seasonal_series(gusk, cls):
    y = seasonal(212)
    est = getattr(gusk, cls)([0], [0], 12, 1, multistep_prediction_strategy="recursive",
                             multistep_prediction_win=12, dag_granularity="tiny", total_execution_time=0.1,
                             execution_time_per_pipeline=0.1, n_leaders_for_ensemble=1,
                             n_estimators_for_pred_interval=5)
    est.fit(column(y[:200]))
    result = est.predict(column(y[:200]))
    assert result.shape == (12, 1)
    # A season ahead, within a few percent of the seasonal amplitude (3).
    np.testing.assert_allclose(result[:, 0], y[200:212], atol=0.1)
