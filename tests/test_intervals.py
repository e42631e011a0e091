"""Prediction intervals: the final-estimator check, the rows the transformers see, the
recursive steps, the shapes, error wrapping, and the intervals of the ready-made forecasters."""

import numpy as np
import pytest
from sklearn.linear_model import Ridge

from conftest import RecordingEstimator, RecordingStep
from orvane.gusk.estimators.regression.auto_ensemble_regressor import EnsembleRegressor, GUSKEnsemble
from orvane.gusk.estimators.regression.forecast_task import ForecastTask
from orvane.gusk.transformers.preprocessing.ts_transformer import LocalizedFlatten


def series(rows, columns=1):
    """Cell (r, c) holds 10 * r + c + 1: never 0, and every value tells where it came from."""
    return 10.0 * np.arange(rows)[:, None] + np.arange(columns) + 1.0


def around_last_column(X):
    """Bounds of shape (n, 2): last column minus and plus one."""
    last = np.asarray(X)[:, -1]
    return np.column_stack([last - 1.0, last + 1.0])


class FakeEnsemble(EnsembleRegressor):
    """An EnsembleRegressor that learns nothing; ``bounds(X)`` gives its intervals."""

    def __init__(self, bounds=around_last_column, log=None):
        self.bounds = bounds
        self.log = log

    def fit(self, X, y=None):
        return self

    def predict(self, X):
        return np.asarray(X)[:, -1].copy()

    def predict_proba(self, X):
        if self.log is not None:
            self.log.append(("estimator", "predict_proba", (X,)))
        return self.bounds(X)


class CallCountBounds:
    """The k-th call (from 0) returns one interval, [k, k + 10]."""

    def __init__(self):
        self.calls = 0

    def __call__(self, X):
        result = np.array([[float(self.calls), self.calls + 10.0]])
        self.calls += 1
        return result


def fitted(gusk, log, model=None, n_columns=1, targets=None, window=None, **kwargs):
    targets = list(targets) if targets is not None else [n_columns - 1]
    model = model if model is not None else FakeEnsemble(log=log)
    steps = [("window", window or RecordingStep("window", log)), ("model", model)]
    est = gusk.GUSKTimeSeriesEstimator(steps, list(range(n_columns)), targets, **kwargs)
    est.fit(series(12, n_columns))
    log.clear()
    return est


def transformed(log):
    return [args[0] for who, method, args in log if (who, method) == ("window", "transform")]


def trace_counter(est):
    """Wrap predict_proba on the instance to record ``recursive_cnt`` at every call."""
    seen = []
    native = type(est).predict_proba

    def predict_proba(X, *plan, **keywords):
        seen.append(getattr(est, "recursive_cnt", "absent"))
        return native(est, X, *plan, **keywords)

    est.predict_proba = predict_proba
    return seen


# ---------------------------------------------------------------------------------------------
# Final estimator check


@pytest.mark.parametrize("model", [RecordingEstimator(), GUSKEnsemble()], ids=["regressor", "parent-class"])
def test_other_final_estimators_raise_0053_before_x_is_touched(gusk, log, messages, model):
    est = fitted(gusk, log)
    est.estimator = model
    state = dict(vars(est))
    with pytest.raises(Exception) as info:
        est.predict_proba(object())
    assert type(info.value) is Exception and info.value.args == ("ORVANE0053E",)
    assert messages.calls == [("ORVANE0053E", ())]
    assert log == [] and vars(est) == state


# ---------------------------------------------------------------------------------------------
# One pass (no recursion)


@pytest.mark.parametrize("look_ahead,plan,future", [([], None, np.zeros((3, 4))),
                                                    ([1], [[7.0]], [[0, 7, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0]])])
def test_placeholder_rows_are_appended_before_the_transformers_run(gusk, log, look_ahead, plan, future):
    est = fitted(gusk, log, n_columns=4, multistep_prediction_win=3, look_ahead_fcolumns=look_ahead)
    X = series(20, 4)
    result = est.predict_proba(X, supporting_features=plan)
    (seen,) = transformed(log)
    assert seen.shape == (23, 4)
    # Planned future values of look-ahead columns, as predict uses them.
    np.testing.assert_array_equal(seen, np.vstack([X, future]))
    assert result.shape == (1, 23, 2)
    np.testing.assert_array_equal(result[0], around_last_column(seen))


def test_one_step_one_target_bounds_become_a_column(gusk, log):
    est = fitted(gusk, log, n_columns=2)
    X = series(6, 2)
    result = est.predict_proba(X)
    assert result.shape == (1, 7, 2)
    np.testing.assert_array_equal(result[0, :6, 0], X[:, -1] - 1.0)
    np.testing.assert_array_equal(result[0, :6, 1], X[:, -1] + 1.0)
    np.testing.assert_array_equal(result[0, 6], [-1.0, 1.0])


def test_two_target_bounds_give_one_block_per_target(gusk, log):
    def two_targets(X):
        lower = np.asarray(X)[:, :2] - 1.0
        return np.array([lower, lower + 2.0]).transpose()

    est = fitted(gusk, log, model=FakeEnsemble(two_targets, log), n_columns=2, targets=(0, 1))
    X = series(5, 2)
    result = est.predict_proba(X)
    assert result.shape == (2, 6, 2)
    np.testing.assert_array_equal(result[1, :5, 0], X[:, 1] - 1.0)
    np.testing.assert_array_equal(result[0, :5, 1], X[:, 0] + 1.0)


def test_target_transformer_undoes_both_bounds(gusk, log):
    def unit_interval(X):
        return np.column_stack([np.zeros(len(X)), np.ones(len(X))])

    window = gusk.LocalizedFlatten([0], [0], lookback_win=3)
    est = fitted(gusk, log, model=FakeEnsemble(unit_interval), window=window, lookback_win=3)
    X = series(8)
    result = est.predict_proba(X)
    last_values = X[2:, 0]  # the newest look-back value of each of the six windows
    assert result.shape == (1, 6, 2)
    np.testing.assert_array_equal(result[0, :, 0], last_values)
    np.testing.assert_array_equal(result[0, :, 1], last_values + 1.0)


def test_multi_step_target_rows_are_folded_per_window(gusk, log):
    def unit_interval(X):
        lower = np.zeros((len(X), 2))
        return np.array([lower, lower + 1.0]).transpose()

    window = gusk.LocalizedFlatten([0, 1], [0, 1], lookback_win=3, pred_win=2)
    est = fitted(gusk, log, model=FakeEnsemble(unit_interval), window=window, n_columns=2,
                 targets=(0, 1), lookback_win=3, pred_win=2, multistep_prediction_win=2)
    X = series(6, 2)
    result = est.predict_proba(X)
    # 8 rows, look-back 3, two steps: four windows; each row is step-major over both targets.
    assert result.shape == (4, 4, 2)
    for w in range(4):
        last = np.vstack([X, np.zeros((2, 2))])[w + 2]
        np.testing.assert_array_equal(result[:, w, 0], np.tile(last, 2))
        np.testing.assert_array_equal(result[:, w, 1], np.tile(last, 2) + 1.0)


# ---------------------------------------------------------------------------------------------
# Recursion


def test_recursive_single_step_is_one_inner_call(gusk, log):
    est = fitted(gusk, log, n_columns=2, lookback_win=3, multistep_prediction_strategy="recursive",
                 multistep_prediction_win=1)
    X = series(3, 2)
    est.recursive_cnt = 1
    expected = est.predict_proba(X)
    del est.recursive_cnt
    seen = trace_counter(est)
    result = est.predict_proba(X)
    np.testing.assert_array_equal(result, expected)
    assert seen == ["absent", 1]
    assert not hasattr(est, "recursive_cnt")
    assert len([entry for entry in log if entry[1] == "predict_proba"]) == 2  # expected + one inner


@pytest.mark.parametrize("rows", [3, 8])
def test_recursive_steps_slide_the_window_and_feed_the_point_forecasts(gusk, log, rows):
    est = fitted(gusk, log, model=FakeEnsemble(CallCountBounds(), log), n_columns=3, targets=(1,),
                 lookback_win=3, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    plans = []
    forecast = np.array([[100.0], [200.0], [300.0]])
    est.predict = lambda X, supporting_features: plans.append(supporting_features) or forecast
    seen = trace_counter(est)
    X = series(rows, 3)
    # Columns 0 and 2 are features but not targets: their future comes from the plan.
    result = est.predict_proba(X, supporting_features=[[7.0, 8.0], [9.0, 10.0], [11.0, 12.0]])
    np.testing.assert_array_equal(result, [[[0.0, 10.0]], [[1.0, 11.0]], [[2.0, 12.0]]])
    assert seen == ["absent", 3, 2, 1] and not hasattr(est, "recursive_cnt")
    np.testing.assert_array_equal(plans[0], [[7.0, 8.0], [9.0, 10.0], [11.0, 12.0]])
    first, second = [[7.0, 100.0, 8.0]], [[9.0, 200.0, 10.0]]
    windows = transformed(log)
    assert len(windows) == 3
    # Every step, the first included, works on the last max_lookback rows of X.
    np.testing.assert_array_equal(windows[0], np.vstack([X[-3:], [[7.0, 0.0, 8.0]]]))
    np.testing.assert_array_equal(windows[1], np.vstack([X[-2:], first, [[9.0, 0.0, 10.0]]]))
    np.testing.assert_array_equal(windows[2], np.vstack([X[-1:], first, second, [[11.0, 0.0, 12.0]]]))


def test_failed_recursion_still_removes_the_counter(gusk, log):
    est = fitted(gusk, log, lookback_win=3, multistep_prediction_strategy="recursive",
                 multistep_prediction_win=0)
    est.predict = lambda X: np.zeros((0, 1))
    with pytest.raises(UnboundLocalError, match="pred_probs"):
        est.predict_proba(series(3))
    assert not hasattr(est, "recursive_cnt")


# ---------------------------------------------------------------------------------------------
# Failures


def raise_value_error(X):
    raise ValueError("no interval for these rows")


@pytest.mark.parametrize(
    "bounds,cause",
    [(raise_value_error, ValueError), (lambda X: np.zeros(1), IndexError)],
    ids=["estimator", "indexing"],
)
def test_failures_inside_the_interval_block_become_0052(gusk, log, messages, bounds, cause):
    est = fitted(gusk, log, model=FakeEnsemble(bounds))
    with pytest.raises(Exception) as info:
        est.predict_proba(series(5))
    assert type(info.value) is Exception and info.value.args == ("ORVANE0052E",)
    assert messages.calls == [("ORVANE0052E", ())]
    assert type(info.value.__context__) is cause and info.value.__cause__ is None
    if cause is ValueError:
        assert str(info.value.__context__) == "no interval for these rows"


def test_transformer_failures_propagate_unchanged(gusk, log):
    est = fitted(gusk, log)

    def failing(X, y):
        raise KeyError("window failed")

    est.transformer_steps[0].result = failing
    with pytest.raises(KeyError, match="window failed"):
        est.predict_proba(series(5))


# ---------------------------------------------------------------------------------------------
# The ready-made forecasters


def noisy_seasonal(rows, columns=1):
    t = np.arange(rows)
    noise = np.random.default_rng(0).normal(0.0, 0.3, (rows, columns))
    return (10.0 + 3.0 * np.sin(2 * np.pi * t / 12) + 0.05 * t)[:, None] + noise


SEARCH = dict(dag_granularity="tiny", total_execution_time=0.1, execution_time_per_pipeline=0.1,
              n_leaders_for_ensemble=2, n_estimators_for_pred_interval=10)


@pytest.mark.parametrize(
    "cls,targets,pred_win",
    [("FlattenAutoEnsembler", [0], 1), ("FlattenAutoEnsembler", [0, 1], 1),
     ("DifferenceFlattenAutoEnsembler", [0, 1], 3), ("LocalizedFlattenAutoEnsembler", [0], 1)],
)
def test_ready_made_forecasters_give_ordered_bounds_of_the_documented_shape(gusk, cls, targets, pred_win):
    X = noisy_seasonal(120, 2)
    extra = dict(multistep_prediction_strategy="multioutput", multistep_prediction_win=pred_win) if pred_win > 1 else {}
    est = getattr(gusk, cls)(targets, targets, 12, pred_win, **SEARCH, **extra)
    est.fit(X[:100])
    result = est.predict_proba(X[100:])
    # 20 rows and pred_win placeholder rows give 9 windows of 12 look-back rows.
    assert result.shape == (pred_win * len(targets), 9, 2)
    assert np.isfinite(result).all()
    assert (result[..., 0] <= result[..., 1]).all() and (result[..., 0] < result[..., 1]).any()


def test_ready_made_forecaster_recursive_intervals_stack_one_block_per_step(gusk):
    X = noisy_seasonal(120)
    est = gusk.FlattenAutoEnsembler([0], [0], 12, 1, multistep_prediction_strategy="recursive",
                                    multistep_prediction_win=3, **SEARCH)
    est.fit(X[:100])
    result = est.predict_proba(X[88:100])
    assert result.shape == (3, 1, 2)
    assert (result[..., 0] <= result[..., 1]).all()
    assert not hasattr(est, "recursive_cnt")


class TaskAwareEnsemble(FakeEnsemble):
    """Takes the forecasting task at fit and the step index of each interval call."""

    def fit(self, X, y=None, forecast_task=None):
        self.log.append(("estimator", "fit", forecast_task))
        return self

    def predict_proba(self, X, forecast_step=None):
        self.log.append(("estimator", "step", forecast_step))
        return self.bounds(X)


@pytest.mark.parametrize("strategy,steps", [("recursive", [0, 1, 2]), ("multioutput", [None])])
def test_our_regressor_learns_the_task_and_each_recursive_step(gusk, log, strategy, steps):
    model = TaskAwareEnsemble(log=log)
    est = gusk.GUSKTimeSeriesEstimator([("window", RecordingStep("window", log)), ("model", model)],
                                       [0], [0], lookback_win=2, multistep_prediction_strategy=strategy,
                                       multistep_prediction_win=3)
    est.fit(series(12))
    task = [args for who, method, args in log if method == "fit" and who == "estimator"][0]
    assert task == {"window": est.steps[0][1], "strategy": strategy, "pred_win": 1, "horizon": 3}
    log.clear()
    est.predict_proba(series(4))
    assert [args for who, method, args in log if method == "step"] == steps


# With a time column, every recursive step's window must stay in time order.
@pytest.mark.parametrize("cls,encoding,time_column", [("FlattenAutoEnsembler", "level", -1),
                                                      ("DifferenceFlattenAutoEnsembler", "difference", -1),
                                                      ("LocalizedFlattenAutoEnsembler", "localized", -1),
                                                      ("FlattenAutoEnsembler", "level", 1)])
def test_ready_made_recursive_intervals_hold_the_point_and_widen_per_step(gusk, cls, encoding, time_column):
    X = np.c_[noisy_seasonal(120), np.arange(120.0)]
    est = getattr(gusk, cls)([0], [0], 12, 1, multistep_prediction_strategy="recursive",
                             multistep_prediction_win=6, time_column=time_column, **SEARCH)
    est.fit(X[:100])
    regressor = est.steps[-1][1]
    # A positive series: forecasts may fall by at most its last value.
    assert regressor.forecast_task_ == ForecastTask(encoding, 6, True, 12, -X[99, 0])
    point = est.predict(X[88:100]).ravel()
    bounds = est.predict_proba(X[88:100]).reshape(-1, 2)
    np.testing.assert_allclose(bounds.mean(axis=1), point)
    np.testing.assert_allclose(bounds[:, 1] - bounds[:, 0], 2 * regressor.interval_half_widths_)
    assert (np.diff(regressor.interval_half_widths_) >= 0).all()


# 23 values leave few rolling origins; the intervals must still be of the noise's scale,
# within 2.5 times the width of the exact 95 % interval of unit shocks.  With 80 values the
# 20 origins measure the errors well, and the intervals are within 1.5 times it.  With 15
# (four rows for a horizon of five) nothing can be validated, and the in-sample residuals
# with the naive forecasts' spread must still give intervals of the noise's scale.
@pytest.mark.parametrize("noise,length,max_ratio", [("random walk", 80, 1.5), ("white noise", 80, 1.5),
                                                    ("random walk", 23, 2.5), ("white noise", 15, 2.5)])
def test_recursive_intervals_cover_series_with_known_noise(gusk, noise, length, max_ratio):
    rng = np.random.RandomState(7)
    hits, widths = [], []
    for _ in range(25):
        shocks = rng.normal(size=length)
        values = (np.cumsum(shocks) if noise == "random walk" else 5.0 + shocks)[:, None]
        est = gusk.GUSKTimeSeriesEstimator(
            [("window", LocalizedFlatten([0], [0], 6)),
             ("model", EnsembleRegressor(stages=[[Ridge()]], random_state=0))],
            [0], [0], lookback_win=6, multistep_prediction_strategy="recursive",
            multistep_prediction_win=5)
        est.fit(values[:-5])
        bounds = est.predict_proba(values[-11:-5]).reshape(-1, 2)
        hits.append((bounds[:, 0] <= values[-5:, 0]) & (values[-5:, 0] <= bounds[:, 1]))
        widths.append(bounds[:, 1] - bounds[:, 0])
    assert 0.88 <= np.mean(hits) <= 1.0
    exact = 2 * 1.96 * (np.sqrt(np.arange(1, 6)) if noise == "random walk" else np.ones(5))
    assert np.mean(widths) < max_ratio * np.mean(exact)
