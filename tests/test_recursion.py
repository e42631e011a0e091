"""Recursive forecasts and the multi-step sliding-window methods."""

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

from conftest import RecordingEstimator, RecordingStep, linear_recurrence


def series(rows, columns=1):
    """Cell (r, c) holds 10 * r + c + 1: never 0, and every value tells where it came from."""
    return 10.0 * np.arange(rows)[:, None] + np.arange(columns) + 1.0


class CountingPrediction:
    """The k-th predict call (from 0) predicts 10 * k + 1, 10 * k + 2, ... for every row."""

    def __init__(self, n_targets):
        self.n_targets = n_targets
        self.calls = 0

    def __call__(self, X):
        values = 10.0 * self.calls + np.arange(1.0, self.n_targets + 1.0)
        self.calls += 1
        return np.tile(values, len(X))


def recording(gusk, log, targets=(1, 2), n_columns=3, features=None, **kwargs):
    """Pass-through transformer, counting model; fitted, with the fit calls cleared from ``log``."""
    model = RecordingEstimator(CountingPrediction(len(targets)), log)
    steps = [("window", RecordingStep("window", log)), ("model", model)]
    features = list(range(n_columns)) if features is None else list(features)
    est = gusk.GUSKTimeSeriesEstimator(steps, features, list(targets), lookback_win=3, **kwargs)
    est.fit(series(12, n_columns))
    log.clear()
    return est


def model_inputs(log):
    return [args[0] for who, method, args in log if (who, method) == ("estimator", "predict")]


def linear(gusk, lookback=2, targets=(0,), **kwargs):
    steps = [("flatten", gusk.Flatten(list(targets), list(targets), lookback_win=lookback)),
             ("model", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(steps, list(targets), list(targets), lookback_win=lookback,
                                        **kwargs)


RECURRENCE = linear_recurrence(60, a=1.0, b=-0.9, c=2.0)


def new_row(columns, values_at):
    row = np.zeros((1, columns))
    for column, value in values_at.items():
        row[0, column] = value
    return row


# ---------------------------------------------------------------------------------------------
# _recursive_predict_helper


def test_each_step_feeds_its_predicted_targets_into_the_next_window(gusk, log):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    X0 = np.vstack([series(3, 3), np.zeros((1, 3))])
    result = est._recursive_predict_helper(X0)
    np.testing.assert_array_equal(result, [[1.0, 2.0], [11.0, 12.0], [21.0, 22.0]])
    first, second, third = model_inputs(log)
    np.testing.assert_array_equal(first, X0)
    # Oldest row dropped, the first step's targets appended (other columns 0), then a placeholder.
    np.testing.assert_array_equal(second, np.vstack([X0[1:3], [[0.0, 1.0, 2.0]], np.zeros((1, 3))]))
    np.testing.assert_array_equal(
        third, np.vstack([X0[2:3], [[0.0, 1.0, 2.0]], [[0.0, 11.0, 12.0]], np.zeros((1, 3))]))


@pytest.mark.parametrize("targets", [(1, 2), (2, 0), (0,)])
def test_predicted_values_go_to_the_target_columns_in_target_order(gusk, log, targets):
    est = recording(gusk, log, targets=targets, multistep_prediction_strategy="recursive",
                    multistep_prediction_win=2)
    X0 = np.vstack([series(3, 3), np.zeros((1, 3))])
    result = est._recursive_predict_helper(X0)
    assert result.shape == (2, len(targets))
    appended = model_inputs(log)[1][-2]
    expected = new_row(3, {column: 1.0 + k for k, column in enumerate(targets)})
    np.testing.assert_array_equal(appended, expected[0])


def test_predict_forecasts_recursively_from_the_last_look_back_rows(gusk, log):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=4)
    X = series(8, 3)
    # Column 0 is a feature but not a target: each step reads its planned value.
    result = est.predict(X, supporting_features=[[5.0], [6.0], [7.0], [8.0]])
    assert result.shape == (4, 2)
    np.testing.assert_array_equal(result[:, 0], [1.0, 11.0, 21.0, 31.0])
    inputs = model_inputs(log)
    np.testing.assert_array_equal(inputs[0], np.vstack([X[-3:], [[5.0, 0.0, 0.0]]]))
    np.testing.assert_array_equal(inputs[3][-4:], [[5.0, *result[0]], [6.0, *result[1]],
                                                   [7.0, *result[2]], [8.0, 0.0, 0.0]])


@pytest.mark.parametrize("flag", [True, 1])
def test_recursive_multi_step_sliding_flag_gives_plain_sliding_predictions(gusk, log, flag):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    est.is_recursive_multi_step_sliding = flag
    X = series(7, 3)
    result = est._recursive_predict_helper(X)
    # One pass over all windows; the rows of the look-back history are dropped.
    np.testing.assert_array_equal(result, np.tile([1.0, 2.0], (4, 1)))
    assert len(model_inputs(log)) == 1


def test_false_flag_keeps_the_recursion(gusk, log):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    est.is_recursive_multi_step_sliding = False
    est._recursive_predict_helper(np.vstack([series(3, 3), np.zeros((1, 3))]))
    assert len(model_inputs(log)) == 3


def test_zero_steps_fail_on_the_empty_result(gusk, log):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=0)
    with pytest.raises(AttributeError, match="flatten"):
        est._recursive_predict_helper(np.vstack([series(3, 3), np.zeros((1, 3))]))
    assert log == []


# ---------------------------------------------------------------------------------------------
# predict_multi_step_sliding_window


@pytest.mark.parametrize(
    "pred_win,steps,named",
    [(0, 1, "pred_win"), (-1, 2, "pred_win"), (2, 0, "multistep_prediction_win"),
     (1, -1, "multistep_prediction_win")],
)
def test_multi_step_sliding_window_rejects_non_positive_windows(gusk, log, messages, pred_win, steps, named):
    est = recording(gusk, log, multistep_prediction_strategy="recursive")
    est.pred_win, est.multistep_prediction_win = pred_win, steps
    with pytest.raises(Exception) as info:
        est.predict_multi_step_sliding_window(series(8, 3))
    assert type(info.value) is Exception
    ((message_id, args),) = messages.calls
    assert message_id == "ORVANE0051E" and named in " ".join(map(str, args))
    assert info.value.args[0].startswith("ORVANE0051E")
    assert log == []


def test_multi_output_version_is_predict(gusk, log):
    est = recording(gusk, log, pred_win=2)
    sentinel, received = object(), []
    est._predict = lambda X: received.append(X) or sentinel
    X = series(8, 3)
    assert est._use_multioutput_version_of_multi_step_sliding_window(X) is sentinel
    assert received == [X]


def test_multi_output_windows_are_step_major_rows(gusk):
    t = np.arange(40.0)
    X = np.column_stack([t, 100.0 + 2.0 * t])
    steps = [("flatten", gusk.Flatten([0, 1], [0, 1], lookback_win=3, pred_win=2)), ("model", LinearRegression())]
    est = gusk.GUSKTimeSeriesEstimator(steps, [0, 1], [0, 1], lookback_win=3, pred_win=2,
                                       multistep_prediction_strategy="multioutput", multistep_prediction_win=2)
    est.fit(X[:30])
    result = est.predict_multi_step_sliding_window(X[30:])
    # Six windows (rows 33..38 start them); each predicts both targets at two steps.
    assert result.shape == (6, 4)
    for i in range(6):
        np.testing.assert_allclose(result[i], X[33 + i:35 + i].ravel(), atol=1e-8)
    np.testing.assert_allclose(result.reshape(-1, 2)[:2], X[33:35], atol=1e-8)


@pytest.mark.parametrize("strategy", [None, "multioutput"])
def test_one_step_model_needs_the_recursive_strategy(gusk, log, messages, strategy):
    est = recording(gusk, log, multistep_prediction_strategy=strategy, multistep_prediction_win=3)
    with pytest.raises(Exception) as info:
        est.predict_multi_step_sliding_window(series(8, 3))
    assert info.value.args[0].startswith("ORVANE0051E")
    assert [message_id for message_id, _ in messages.calls] == ["ORVANE0051E"]


# A multi-output model uses the multi-output version, a one-step model the parallel one; the
# flag is set for the call only.
@pytest.mark.parametrize("settings,version,flag_during_call", [
    ({"pred_win": 2, "multistep_prediction_win": 2},
     "_use_multioutput_version_of_multi_step_sliding_window", False),
    ({"multistep_prediction_strategy": "recursive", "multistep_prediction_win": 1},
     "_use_parallel_version_of_multi_step_sliding_window", True),
    ({"multistep_prediction_strategy": "recursive", "multistep_prediction_win": 3},
     "_use_parallel_version_of_multi_step_sliding_window", False),
])
def test_each_model_uses_its_version_with_the_flag_set_for_the_call_only(gusk, log, settings, version,
                                                                        flag_during_call):
    est = recording(gusk, log, **settings)
    est.is_recursive_multi_step_sliding = True
    sentinel, flags = object(), []

    def recorded_version(X):
        flags.append(est.is_recursive_multi_step_sliding)
        return sentinel

    setattr(est, version, recorded_version)
    assert est.predict_multi_step_sliding_window(series(8, 3)) is sentinel
    assert flags == [flag_during_call]
    assert est.is_recursive_multi_step_sliding is False


def test_flag_is_reset_when_the_parallel_version_fails(gusk, log):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=1)

    def failing(X):
        raise ValueError("worker failed")

    est._use_parallel_version_of_multi_step_sliding_window = failing
    with pytest.raises(ValueError, match="worker failed"):
        est.predict_multi_step_sliding_window(series(8, 3))
    assert est.is_recursive_multi_step_sliding is False


# ---------------------------------------------------------------------------------------------
# _use_parallel_version_of_multi_step_sliding_window


class SerialParallel:
    """Stands in for joblib's Parallel: records its settings and runs the tasks in order."""

    def __init__(self, **settings):
        self.settings = settings
        self.tasks = []
        SerialParallel.created.append(self)

    def __call__(self, tasks):
        self.tasks = list(tasks)
        return [function(*args, **kwargs) for function, args, kwargs in self.tasks]


def serial_delayed(function):
    def task(*args, **kwargs):
        return function, args, kwargs

    return task


@pytest.fixture
def serial(gusk, monkeypatch):
    SerialParallel.created = []
    jobs = []

    def optimized_n_jobs(**kwargs):
        jobs.append(kwargs)
        return 4

    monkeypatch.setattr(gusk, "Parallel", SerialParallel)
    monkeypatch.setattr(gusk, "delayed", serial_delayed)
    monkeypatch.setattr(gusk, "get_optimized_n_jobs", optimized_n_jobs)
    return jobs


def test_parallel_version_with_the_flag_is_the_recursive_helper(gusk, log, serial):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    est.is_recursive_multi_step_sliding = True
    sentinel, received = object(), []
    est._recursive_predict_helper = lambda X: received.append(X) or sentinel
    X = series(8, 3)
    assert est._use_parallel_version_of_multi_step_sliding_window(X) is sentinel
    assert received == [X] and SerialParallel.created == []


@pytest.mark.parametrize("flag", ["absent", False])
def test_parallel_version_forecasts_every_window_recursively(gusk, log, serial, flag):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=2)
    if flag != "absent":
        est.is_recursive_multi_step_sliding = flag
    received, plans = [], []

    def helper(window, supporting_features):
        received.append(window)
        plans.append(supporting_features)
        return np.arange(4.0).reshape(2, 2) + 100.0 * (len(received) - 1)

    est._recursive_predict_helper = helper
    X = series(9, 3)
    result = est._use_parallel_version_of_multi_step_sliding_window(X)
    # Windows start at rows 3..7 (3 look-back rows before, 2 forecast rows inside X).
    assert result.shape == (5, 4)
    np.testing.assert_array_equal(result, np.arange(4.0) + 100.0 * np.arange(5)[:, None])
    for i, window in enumerate(received):
        np.testing.assert_array_equal(window, np.vstack([X[i:i + 3], np.zeros((1, 3))]))
        # Column 0 is a feature but not a target: the rows after the window plan it.
        np.testing.assert_array_equal(plans[i], X[i + 3:i + 5, :1])
    (parallel,) = SerialParallel.created
    assert parallel.settings == {"n_jobs": 4}
    assert [task[0] for task in parallel.tasks] == [helper] * 5
    assert serial == [{"n_jobs": -1, "no_outputs": 5}]


@pytest.mark.parametrize("n_jobs,expected", [("absent", -1), (None, -1), (0, -1), (3, 3), (-1, -1)])
def test_parallel_version_job_count_comes_from_n_jobs_or_minus_one(gusk, log, serial, n_jobs, expected):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=2)
    if n_jobs != "absent":
        est.n_jobs = n_jobs
    est._recursive_predict_helper = lambda window, supporting_features: np.zeros((2, 2))
    est._use_parallel_version_of_multi_step_sliding_window(series(9, 3))
    assert serial == [{"n_jobs": expected, "no_outputs": 5}]


def test_parallel_version_needs_at_least_one_window(gusk, log, messages, serial):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=2)
    with pytest.raises(Exception) as info:
        est._use_parallel_version_of_multi_step_sliding_window(series(4, 3))
    assert info.value.args[0].startswith("ORVANE0051E")
    ((message_id, args),) = messages.calls
    assert message_id == "ORVANE0051E" and "rows" in " ".join(map(str, args))
    assert SerialParallel.created == []


def test_recursive_sliding_forecasts_match_the_series(gusk):
    y = RECURRENCE
    est = linear(gusk, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    est.fit(y[:40].reshape(-1, 1))
    est.n_jobs = 1
    result = est.predict_multi_step_sliding_window(y[20:40].reshape(-1, 1))
    assert result.shape == (16, 3)
    for i in range(16):
        np.testing.assert_allclose(result[i], y[22 + i:25 + i], atol=1e-8)
    np.testing.assert_allclose(result.reshape(-1, 1)[:3, 0], y[22:25], atol=1e-8)


def test_one_step_sliding_through_the_multi_step_method(gusk):
    y = RECURRENCE
    est = linear(gusk, multistep_prediction_strategy="recursive", multistep_prediction_win=1)
    est.fit(y[:40].reshape(-1, 1))
    result = est.predict_multi_step_sliding_window(y[20:40].reshape(-1, 1))
    np.testing.assert_allclose(result[:, 0], y[22:40], atol=1e-8)


# ---------------------------------------------------------------------------------------------
# predit_recursive_multi_step


@pytest.mark.parametrize("strategy", [None, "multioutput"])
def test_recursive_multi_step_needs_the_recursive_strategy(gusk, log, messages, strategy):
    est = recording(gusk, log, multistep_prediction_strategy=strategy, multistep_prediction_win=3)
    with pytest.raises(Exception) as info:
        est.predit_recursive_multi_step(series(8, 3))
    assert type(info.value) is Exception and info.value.args == (f"ORVANE0048E|{strategy}",)
    assert messages.calls == [("ORVANE0048E", (strategy,))]


# A recursive multi-step forecast needs a one-step model and enough look-back rows.
@pytest.mark.parametrize("setting,value,rows,message_id,message_args", [
    ("pred_win", 2, 8, "ORVANE0049E", (2,)),
    ("lookback_win", 5, 4, "ORVANE0050E", ("5", "4")),
])
def test_recursive_multi_step_refuses_what_it_cannot_forecast(gusk, log, messages, setting, value, rows,
                                                              message_id, message_args):
    est = recording(gusk, log, multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    setattr(est, setting, value)
    with pytest.raises(Exception) as info:
        est.predit_recursive_multi_step(series(rows, 3))
    assert info.value.args == ("|".join([message_id, *map(str, message_args)]),)
    assert messages.calls == [(message_id, message_args)]
    assert log == []


def test_recursive_multi_step_counts_the_stored_history(gusk, log, messages):
    est = recording(gusk, log, features=(1, 2), multistep_prediction_strategy="recursive", multistep_prediction_win=2,
                    store_lookback_history=True)
    est.lookback_win = 5  # three rows stored at fit time
    with pytest.raises(Exception) as info:
        est.predit_recursive_multi_step(series(1, 3))
    assert info.value.args == ("ORVANE0050E|5|4",)
    received = []
    est._recursive_predict_helper = lambda X: received.append(X) or np.zeros((2, 2))
    X = series(2, 3) + 1000.0
    est.predit_recursive_multi_step(X)
    expected = np.vstack([est.lookback_data_X, X, np.zeros((1, 3))])
    np.testing.assert_array_equal(received[0], expected)


@pytest.mark.parametrize("features", [(1, 2), (0, 1, 2)])
def test_recursive_multi_step_starts_from_the_last_look_back_rows(gusk, log, features):
    est = recording(gusk, log, features=features, multistep_prediction_strategy="recursive",
                    multistep_prediction_win=3)
    X = series(8, 3)
    if 0 in features:  # a feature that is not a target has no known future here
        with pytest.raises(ValueError, match=r"needs the values of columns \[0\] \(features that are not targets\)"):
            est.predit_recursive_multi_step(X)
        return
    result = est.predit_recursive_multi_step(X)
    assert result.shape == (3, 2)
    np.testing.assert_array_equal(result, [[1.0, 2.0], [11.0, 12.0], [21.0, 22.0]])
    np.testing.assert_array_equal(model_inputs(log)[0], np.vstack([X[-3:], np.zeros((1, 3))]))


@pytest.mark.parametrize("steps", [1, 5])
def test_recursive_multi_step_forecasts_the_series(gusk, steps):
    y = RECURRENCE
    est = linear(gusk, multistep_prediction_strategy="recursive", multistep_prediction_win=steps)
    est.fit(y[:40].reshape(-1, 1))
    result = est.predit_recursive_multi_step(y[:45].reshape(-1, 1))
    assert result.shape == (steps, 1)
    np.testing.assert_allclose(result[:, 0], y[45:45 + steps], atol=1e-8)


def test_recursive_multi_step_with_two_targets(gusk):
    y1, y2 = RECURRENCE, linear_recurrence(60, a=1.0, b=-0.9, c=2.0, start=(-3.0, 4.0))
    X = np.column_stack([y1, y2])
    est = linear(gusk, targets=(0, 1), multistep_prediction_strategy="recursive", multistep_prediction_win=4)
    est.fit(X[:40])
    result = est.predit_recursive_multi_step(X[:45])
    assert result.shape == (4, 2)
    np.testing.assert_allclose(result, X[45:49], atol=1e-8)
