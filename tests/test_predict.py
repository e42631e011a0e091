"""Forecasts and sliding-window predictions: input checks, the model window, dispatch, padding."""

import numpy as np
import pytest

from sklearn.linear_model import LinearRegression

from conftest import RecordingEstimator, RecordingStep, linear_recurrence


def series(rows, columns=1):
    """Cell (r, c) holds 10 * r + c + 1: never 0, and every value tells where it came from."""
    return 10.0 * np.arange(rows)[:, None] + np.arange(columns) + 1.0


def fitted(gusk, log, features=(0,), targets=(0,), n_columns=1, predict_fn=None, window=None,
           **kwargs):
    """An estimator whose transformer passes X through (or applies ``window``) and whose model
    records what it is asked to predict; fitted on 12 rows, with the fit calls cleared from ``log``."""
    steps = [("window", RecordingStep("window", log, result=window)),
             ("model", RecordingEstimator(predict_fn, log))]
    est = gusk.GUSKTimeSeriesEstimator(steps, list(features), list(targets), **kwargs)
    est.fit(series(12, n_columns))
    log.clear()
    return est


def seen_by(log, who, method):
    return [args[0] for name, called, args in log if (name, called) == (who, method)]


class DispatchRecorder:
    """Replaces, on one instance, the three methods ``predict`` hands its window to."""

    NAMES = ("predict_sliding_window", "_recursive_predict_helper", "predict_multi_step_sliding_window")

    def __init__(self, est, result=None):
        self.calls = []
        self.result = result
        for name in self.NAMES:
            setattr(est, name, self._method(name))

    def _method(self, name):
        def method(X):
            self.calls.append((name, X))
            if self.result is not None:
                return self.result
            return np.arange(float(len(X))).reshape(-1, 1)

        return method

    def only_call(self):
        assert len(self.calls) == 1
        return self.calls[0]


def zeros(rows, columns):
    return np.zeros((rows, columns))


# ---------------------------------------------------------------------------------------------
# Input checks


def test_input_is_validated_into_a_float64_array(gusk, log):
    est = fitted(gusk, log, lookback_win=3)
    est.predict([[1], [2], [3], [4]])
    (window,) = seen_by(log, "window", "transform")
    assert window.dtype == np.float64
    np.testing.assert_array_equal(window, [[2.0], [3.0], [4.0], [0.0]])
    (model_input,) = seen_by(log, "estimator", "predict")
    np.testing.assert_array_equal(model_input, window)


@pytest.mark.parametrize(
    "X,message",
    [(np.zeros((6, 1, 1)), "dim 3"), ([["a"], ["b"], ["c"], ["d"], ["e"], ["f"]], "could not convert")],
)
def test_input_rejected_by_check_array_raises_its_error(gusk, log, X, message):
    est = fitted(gusk, log, lookback_win=3)
    with pytest.raises(ValueError, match=message):
        est.predict(X)
    assert log == []


def test_infinite_inputs_are_allowed_through(gusk, log):
    # The model returns a new array: infinite predictions are set to NaN in place.
    est = fitted(gusk, log, lookback_win=3, predict_fn=lambda X: X[:, -1].copy())
    X = series(5)
    X[3, 0] = np.inf
    est.predict(X)
    (window,) = seen_by(log, "window", "transform")
    np.testing.assert_array_equal(window[:, 0], [21.0, np.inf, 41.0, 0.0])


@pytest.mark.parametrize("prediction_type,nan_row", [
    (None, 3), ("forecast", 5), ("sliding_window", 1), ("sliding_window", 5)])
def test_nan_in_input_raises_0067_before_anything_runs(gusk, log, messages, prediction_type, nan_row):
    est = fitted(gusk, log, lookback_win=3)
    X = series(6)
    X[nan_row, 0] = np.nan
    with pytest.raises(Exception) as info:
        est.predict(X, prediction_type=prediction_type)
    assert type(info.value) is Exception and info.value.args == ("ORVANE0067E",)
    assert messages.calls == [("ORVANE0067E", ())]
    assert log == []


@pytest.mark.parametrize("settings,message", [
    (dict(multistep_prediction_win=0), "must be at least 1; got 0. Use 1 for a one-step"),
    (dict(multistep_prediction_strategy="ahead"),
     "None, 'recursive' .* or 'multioutput' .*'direct' means the same.*'ahead'"),
])
def test_misuse_is_refused_with_what_to_do(gusk, log, settings, message):
    with pytest.raises(ValueError, match=message):
        fitted(gusk, log, lookback_win=3, **settings).predict(series(8))


@pytest.mark.parametrize("nan_rows", [[0], [0, 1, 2]])
def test_nan_before_the_last_look_back_rows_is_ignored_by_a_forecast(gusk, log, nan_rows):
    X, est = series(6), fitted(gusk, log, lookback_win=3)
    X[nan_rows, 0] = np.nan
    np.testing.assert_array_equal(est.predict(X), est.predict(series(6)))


# ---------------------------------------------------------------------------------------------
# Prediction type


@pytest.mark.parametrize("prediction_type", ["forecast", "FORECAST", "Forecast", "fOrEcAsT"])
def test_forecast_type_in_any_letter_case_behaves_as_none(gusk, log, prediction_type):
    est = fitted(gusk, log, lookback_win=3)
    X = series(7)
    expected = est.predict(X)
    baseline = seen_by(log, "window", "transform")
    log.clear()
    np.testing.assert_array_equal(est.predict(X, prediction_type=prediction_type), expected)
    np.testing.assert_array_equal(seen_by(log, "window", "transform")[0], baseline[0])


@pytest.mark.parametrize("store", [False, True])
@pytest.mark.parametrize("prediction_type", ["sliding_window", "SLIDING_WINDOW", "Sliding_Window"])
def test_sliding_window_type_predicts_every_row_of_x(gusk, log, prediction_type, store):
    est = fitted(gusk, log, lookback_win=3, store_lookback_history=store)
    recorder = DispatchRecorder(est)
    X = series(7)
    result = est.predict(X, prediction_type=prediction_type)
    name, window = recorder.only_call()
    # No placeholder rows appended; the stored look-back rows (fit on 12 rows) in front, and
    # their predictions dropped again.
    assert name == "predict_sliding_window"
    np.testing.assert_array_equal(window, np.vstack([series(12)[-3:], X]) if store else X)
    np.testing.assert_array_equal(result[:, 0], np.arange(3.0, 10.0) if store else np.arange(7.0))


def test_sliding_window_type_with_a_multi_step_model_uses_the_multi_step_method(gusk, log):
    est = fitted(gusk, log, lookback_win=3)
    est.pred_win = 2
    sentinel = object()
    recorder = DispatchRecorder(est, result=sentinel)
    X = series(7)
    assert est.predict(X, prediction_type="sliding_window") is sentinel
    name, window = recorder.only_call()
    assert name == "predict_multi_step_sliding_window"
    np.testing.assert_array_equal(window, X)


def test_score_constants_are_read_when_predict_runs(gusk, log, messages, monkeypatch):
    class OtherScore:
        PREDICT_SLIDING_WINDOW = "in_sample"
        PREDICT_FORECAST = "ahead"

    monkeypatch.setattr(gusk, "Score", OtherScore)
    est = fitted(gusk, log, lookback_win=3)
    recorder = DispatchRecorder(est)
    X = series(7)

    np.testing.assert_array_equal(est.predict(X, prediction_type="IN_SAMPLE"), np.arange(7.0)[:, None])
    np.testing.assert_array_equal(recorder.calls[-1][1], X)
    np.testing.assert_array_equal(est.predict(X, prediction_type="Ahead"), [[3.0]])
    assert len(recorder.calls[-1][1]) == 4  # look-back rows and one placeholder row

    for old_value in ("forecast", "sliding_window"):
        with pytest.raises(Exception) as info:
            est.predict(X, prediction_type=old_value)
        assert info.value.args == (f"ORVANE0046E|{old_value}",)


@pytest.mark.parametrize("prediction_type", ["Bogus_Type", "FORECASTING", ""])
def test_unknown_prediction_type_raises_0046_with_the_type_as_passed(gusk, log, messages, prediction_type):
    est = fitted(gusk, log, lookback_win=3)
    state = dict(vars(est))
    with pytest.raises(Exception) as info:
        est.predict(series(7), prediction_type=prediction_type)
    assert type(info.value) is Exception
    assert info.value.args == (f"ORVANE0046E|{prediction_type}",)
    assert messages.calls == [("ORVANE0046E", (prediction_type,))]
    assert log == [] and vars(est) == state


@pytest.mark.parametrize("pred_win", [0, -1])
def test_sliding_window_type_needs_a_positive_pred_win(gusk, log, messages, pred_win):
    est = fitted(gusk, log, lookback_win=3)
    est.pred_win = pred_win
    with pytest.raises(Exception) as info:
        est.predict(series(7), prediction_type="Sliding_Window")
    assert info.value.args == ("ORVANE0046E|Sliding_Window",)
    assert messages.calls == [("ORVANE0046E", ("Sliding_Window",))]


# ---------------------------------------------------------------------------------------------
# Row count


def test_too_few_rows_raise_0047_with_look_back_and_row_count_as_strings(gusk, log, messages):
    est = fitted(gusk, log, lookback_win=5)
    with pytest.raises(Exception) as info:
        est.predict(series(4))
    assert type(info.value) is Exception and info.value.args == ("ORVANE0047E|5|4",)
    assert messages.calls == [("ORVANE0047E", ("5", "4"))]
    assert log == []


def test_exactly_look_back_rows_are_enough(gusk, log):
    est = fitted(gusk, log, lookback_win=5)
    est.predict(series(5))
    (window,) = seen_by(log, "window", "transform")
    np.testing.assert_array_equal(window, np.vstack([series(5), zeros(1, 1)]))


def test_row_count_is_checked_after_the_history_is_prepended(gusk, log, messages):
    est = fitted(gusk, log, lookback_win=[3, [2, 6]], n_columns=2, features=(0, 1),
                 store_lookback_history=True)
    assert len(est.lookback_data_X) == 7
    est.lookback_win = [9]
    with pytest.raises(Exception) as info:
        est.predict(series(1, 2))
    assert info.value.args == ("ORVANE0047E|9|8",)
    assert messages.calls == [("ORVANE0047E", ("9", "8"))]


# ---------------------------------------------------------------------------------------------
# The model window (no look-ahead columns: cut to the look-back, then placeholder rows)


@pytest.mark.parametrize(
    "strategy,pred_win,steps,placeholders,method",
    [
        (None, 1, 1, 1, "predict_sliding_window"),
        ("multioutput", 3, 2, 3, "predict_multi_step_sliding_window"),
        ("recursive", 3, 2, 3, "predict_multi_step_sliding_window"),
        ("recursive", 1, 4, 1, "_recursive_predict_helper"),
        ("Recursive", 1, 4, 1, "_recursive_predict_helper"),
        ("direct", 3, 2, 3, "predict_multi_step_sliding_window"),
        ("recursive", 1, 1, 1, "predict_sliding_window"),
        (None, 0, 1, 0, "predict_sliding_window"),
    ],
)
def test_window_is_the_last_look_back_rows_then_placeholders(gusk, log, strategy, pred_win, steps,
                                                             placeholders, method):
    est = fitted(gusk, log, n_columns=2, features=(1,), targets=(1,), lookback_win=3, pred_win=pred_win,
                 multistep_prediction_strategy=strategy, multistep_prediction_win=steps)
    recorder = DispatchRecorder(est)
    X = series(8, 2)
    est.predict(X)
    name, window = recorder.only_call()
    assert name == method
    np.testing.assert_array_equal(window, np.vstack([X[-3:], zeros(placeholders, 2)]))


@pytest.mark.parametrize("strategy", ["multioutput", "recursive"])
def test_a_horizon_within_the_window_is_its_first_steps_and_a_longer_one_is_refused(gusk, strategy):
    X = linear_recurrence(40)[:, None]

    def model(horizon):
        steps = [("w", gusk.Flatten([0], [0], lookback_win=2, pred_win=3)), ("m", LinearRegression())]
        return gusk.GUSKTimeSeriesEstimator(steps, [0], [0], lookback_win=2, pred_win=3,
                                            multistep_prediction_win=horizon,
                                            multistep_prediction_strategy=strategy).fit(X)

    assert model(3).predict(X).shape == (3, 1)
    np.testing.assert_array_equal(model(2).predict(X), model(3).predict(X)[:2])
    with pytest.raises(ValueError, match=r"multistep_prediction_win=6 asks for more steps .*\(pred_win=3\)"):
        model(6).predict(X)


def test_window_reaches_model_through_the_transformer(gusk, log):
    est = fitted(gusk, log, n_columns=2, targets=(1,), lookback_win=3)
    X = series(8, 2)
    est.predict(X)
    expected = np.vstack([X[-3:], zeros(1, 2)])
    assert [(name, method) for name, method, _ in log] == [("window", "transform"), ("estimator", "predict")]
    np.testing.assert_array_equal(seen_by(log, "window", "transform")[0], expected)
    np.testing.assert_array_equal(seen_by(log, "estimator", "predict")[0], expected)


def test_per_column_look_back_cuts_to_the_largest_window(gusk, log):
    est = fitted(gusk, log, n_columns=2, features=(0, 1), lookback_win=[2, [0, 3]])
    recorder = DispatchRecorder(est)
    X = series(8, 2)
    est.predict(X)
    np.testing.assert_array_equal(recorder.only_call()[1], np.vstack([X[-4:], zeros(1, 2)]))


def test_max_lookback_is_read_from_the_module_when_predict_runs(gusk, log, monkeypatch):
    est = fitted(gusk, log, lookback_win=3)
    monkeypatch.setattr(gusk, "get_max_lookback", lambda lookback_win: 2)
    recorder = DispatchRecorder(est)
    X = series(8)
    est.predict(X)
    np.testing.assert_array_equal(recorder.only_call()[1], np.vstack([X[-2:], zeros(1, 1)]))


def test_without_look_ahead_setting_the_look_back_attribute_is_used_as_is(gusk, log, monkeypatch):
    est = fitted(gusk, log, lookback_win=3)
    est.look_ahead_fcolumns = None

    def must_not_run(lookback_win):
        raise AssertionError("get_max_lookback called")

    monkeypatch.setattr(gusk, "get_max_lookback", must_not_run)
    recorder = DispatchRecorder(est)
    X = series(8)
    np.testing.assert_array_equal(est.predict(X), [[3.0]])
    np.testing.assert_array_equal(recorder.only_call()[1], np.vstack([X[-3:], zeros(1, 1)]))


# ---------------------------------------------------------------------------------------------
# The model window with look-ahead columns: future values instead of placeholders


def exogenous_estimator(gusk, log, **kwargs):
    return fitted(gusk, log, n_columns=3, features=(0, 2), targets=(0,), look_ahead_fcolumns=[1],
                  lookback_win=3, pred_win=2, **kwargs)


def test_look_ahead_window_carries_the_supplied_future_values(gusk, log):
    est = exogenous_estimator(gusk, log)
    recorder = DispatchRecorder(est)
    X = series(9, 3)
    est.predict(X, supporting_features=np.array([[7.0], [8.0]]))
    name, window = recorder.only_call()
    # pred_win 2: the single window yields both steps, through the multi-step path.
    assert name == "predict_multi_step_sliding_window"
    expected = np.vstack([X[-3:], [[0.0, 7.0, 0.0], [0.0, 8.0, 0.0]]])
    np.testing.assert_array_equal(window, expected)


def test_look_ahead_window_sets_missing_cells_to_zero(gusk, log):
    est = exogenous_estimator(gusk, log)
    recorder = DispatchRecorder(est)
    X = series(5, 3)
    est.predict(X, supporting_features=np.array([7.0, np.nan]))
    window = recorder.only_call()[1]
    assert not np.isnan(window).any()
    np.testing.assert_array_equal(window[-2:], [[0.0, 7.0, 0.0], [0.0, 0.0, 0.0]])
    np.testing.assert_array_equal(window[:3], X[-3:])


def test_look_ahead_window_falls_back_to_the_stored_means(gusk, log):
    est = exogenous_estimator(gusk, log)
    est.look_ahead_mean = np.array([[5.0], [6.0]])
    recorder = DispatchRecorder(est)
    X = series(6, 3)
    est.predict(X)
    expected = np.vstack([X[-3:], [[0.0, 5.0, 0.0], [0.0, 6.0, 0.0]]])
    np.testing.assert_array_equal(recorder.only_call()[1], expected)


def test_matrix_supporting_features_are_squeezed_into_an_array(gusk, log):
    est = exogenous_estimator(gusk, log)
    received = []
    native = type(est)._add_exogenous_to_X

    def add_exogenous(X, exogenous):
        received.append(exogenous)
        return native(est, X, exogenous)

    est._add_exogenous_to_X = add_exogenous
    recorder = DispatchRecorder(est)
    with pytest.warns(PendingDeprecationWarning):
        future = np.matrix([[7.0], [8.0]])
    est.predict(series(5, 3), supporting_features=future)
    (exogenous,) = received
    assert type(exogenous) is np.ndarray and exogenous.shape == (2,)
    np.testing.assert_array_equal(exogenous, [7.0, 8.0])
    np.testing.assert_array_equal(recorder.only_call()[1][-2:, 1], [7.0, 8.0])


# ---------------------------------------------------------------------------------------------
# Dispatch


@pytest.mark.parametrize("pred_win,expected", [(1, [[3.0]]), (0, [[2.0]])])
def test_one_step_dispatch_drops_the_history_rows(gusk, log, pred_win, expected):
    est = fitted(gusk, log, lookback_win=3, pred_win=pred_win, multistep_prediction_win=1,
                 multistep_prediction_strategy="recursive")
    DispatchRecorder(est)
    np.testing.assert_array_equal(est.predict(series(6)), expected)


@pytest.mark.parametrize("strategy", ["recursive", "multioutput", None])
def test_multi_output_model_forecast_takes_the_multi_step_path(gusk, log, strategy):
    # A pred_win 3 model asked for one forecast: pred_win placeholder rows, and the steps of
    # its single window come back whole instead of being cut as history rows.
    est = fitted(gusk, log, lookback_win=3, pred_win=3, multistep_prediction_win=1,
                 multistep_prediction_strategy=strategy)
    recorder = DispatchRecorder(est, result=np.array([[7.0, 8.0, 9.0]]))
    X = series(6)
    np.testing.assert_array_equal(est.predict(X), [[7.0], [8.0], [9.0]])
    name, window = recorder.only_call()
    assert name == "predict_multi_step_sliding_window"
    np.testing.assert_array_equal(window, np.vstack([X[-3:], zeros(3, 1)]))


def test_recursive_dispatch_returns_the_helper_result_unchanged(gusk, log):
    est = fitted(gusk, log, lookback_win=3, multistep_prediction_strategy="recursive",
                 multistep_prediction_win=3)
    sentinel = object()
    recorder = DispatchRecorder(est, result=sentinel)
    assert est.predict(series(6)) is sentinel
    assert recorder.only_call()[0] == "_recursive_predict_helper"


@pytest.mark.parametrize("strategy,pred_win", [("multioutput", 1), (None, 1), ("multioutput", 3), ("recursive", 3)])
def test_multi_step_dispatch_reshapes_to_one_row_per_step(gusk, log, strategy, pred_win):
    est = fitted(gusk, log, n_columns=2, features=(0, 1), targets=(0, 1), lookback_win=3,
                 pred_win=pred_win, multistep_prediction_strategy=strategy, multistep_prediction_win=3)
    recorder = DispatchRecorder(est, result=np.arange(6.0))
    np.testing.assert_array_equal(est.predict(series(6, 2)), np.arange(6.0).reshape(3, 2))
    assert recorder.only_call()[0] == "predict_multi_step_sliding_window"


# ---------------------------------------------------------------------------------------------
# _predict: padding, infinities; predict_sliding_window


def drop_first_four(X, y):
    return X[4:], None


# All predictions are padded in front to the input length; a positive num_predictions keeps
# only the last ones.
@pytest.mark.parametrize("args,kwargs,first_kept", [
    ((-1,), {}, 4), ((0,), {}, 4), ((), {"num_predictions": 3}, 7),
])
def test_predictions_are_padded_in_front_to_the_input_length(gusk, log, args, kwargs, first_kept):
    est = fitted(gusk, log, window=drop_first_four)
    X = series(10)
    result = est._predict(X, *args, **kwargs)
    assert result.shape == (10, 1) and result.dtype == np.float64
    assert np.isnan(result[:first_kept]).all()
    np.testing.assert_array_equal(result[first_kept:, 0], X[first_kept:, 0])


def test_no_predictions_give_an_empty_result(gusk, log):
    est = fitted(gusk, log, predict_fn=lambda X: np.empty(0))
    result = est._predict(series(10))
    assert result.shape == (0, 1)


def test_multi_step_predictions_are_not_padded(gusk, log):
    est = fitted(gusk, log, window=drop_first_four)
    est.pred_win = 2
    X = series(10)
    result = est._predict(X)
    np.testing.assert_array_equal(result, X[4:, 0])


def test_infinite_predictions_come_back_as_nan(gusk, log):
    est = fitted(gusk, log, predict_fn=lambda X: np.array([1.0, np.inf, -np.inf, 2.0]))
    result = est._predict(series(4))
    np.testing.assert_array_equal(result[:, 0], [1.0, np.nan, np.nan, 2.0])


def test_sliding_window_reshapes_to_one_column_per_target(gusk, log):
    est = fitted(gusk, log, n_columns=2, features=(0, 1), targets=(0, 1))
    est._predict = lambda X: np.arange(6.0)
    np.testing.assert_array_equal(est.predict_sliding_window(series(3, 2)), [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]])


def test_sliding_window_of_two_targets_gives_one_row_per_input_row(gusk, log):
    est = fitted(gusk, log, n_columns=2, features=(0, 1), targets=(0, 1), predict_fn=lambda X: X.ravel())
    X = series(5, 2)
    np.testing.assert_array_equal(est.predict_sliding_window(X), X)


# ---------------------------------------------------------------------------------------------
# _predict: target transformers, step-major rows, output scale, column encoding


def pass_through(base):
    """A subclass of a windowing transformer that leaves X as it is and inverts nothing, so the
    estimator's own output reaches the reordering step unchanged."""

    class PassThrough(base):
        def fit_transform(self, X, y=None):
            return X, y

        def transform(self, X):
            return X, None

        def inverse_transform(self, y):
            return np.asarray(y)

    return PassThrough


def with_first_transformer(gusk, transformer, targets=(0, 1), predict_fn=None, **kwargs):
    steps = [("window", transformer), ("model", RecordingEstimator(predict_fn))]
    kwargs.setdefault("lookback_win", transformer.lookback_win)
    est = gusk.GUSKTimeSeriesEstimator(steps, [0, 1], list(targets), **kwargs)
    return est.fit(series(12, 2))


FOLDED = [[0.0, 2.0, 1.0, 3.0], [4.0, 6.0, 5.0, 7.0]]


# Multi-step rows of the flatten family, (window 0, target 0), (window 0, target 1), ..., are
# folded so that each window's block becomes one step-major row; Flatten's rows and one-step
# rows (one row per window) are not.
@pytest.mark.parametrize("name,pred_win,predicted_shape,folded", [
    ("LocalizedFlatten", 2, (4, 2), True), ("DifferenceFlatten", 2, (4, 2), True),
    ("NormalizedFlatten", 2, (4, 2), True), ("DifferenceNormalizedFlatten", 2, (4, 2), True),
    ("Flatten", 2, (4, 2), False), ("LocalizedFlatten", 1, (8,), False),
])
def test_multi_step_rows_of_the_flatten_family_are_folded_per_window(gusk, name, pred_win, predicted_shape,
                                                                     folded):
    transformer = pass_through(getattr(gusk, name))([0, 1], [0, 1], lookback_win=2, pred_win=pred_win)
    est = with_first_transformer(gusk, transformer, pred_win=pred_win,
                                 predict_fn=lambda X: np.arange(8.0).reshape(predicted_shape))
    expected = FOLDED if folded else np.arange(8.0).reshape(4, 2)
    np.testing.assert_array_equal(est._predict(series(4, 2)), expected)


@pytest.mark.parametrize("look_ahead,folded", [([], True), (None, False)])
@pytest.mark.parametrize("name", ["LocalizedFlattenX", "DifferenceFlattenX"])
def test_exogenous_variants_are_folded_only_with_a_look_ahead_setting(gusk, name, look_ahead, folded):
    transformer = pass_through(getattr(gusk, name))([0, 1], [0, 1], lookback_win=2, pred_win=2)
    est = with_first_transformer(gusk, transformer, pred_win=2, predict_fn=lambda X: np.arange(8.0).reshape(4, 2))
    est.look_ahead_fcolumns = look_ahead
    expected = FOLDED if folded else np.arange(8.0).reshape(4, 2)
    np.testing.assert_array_equal(est._predict(series(4, 2)), expected)


def test_no_target_columns_fail_when_multi_step_rows_are_folded(gusk):
    transformer = pass_through(gusk.LocalizedFlatten)([0, 1], [0, 1], lookback_win=2, pred_win=2)
    est = with_first_transformer(gusk, transformer, pred_win=2, predict_fn=lambda X: np.arange(8.0).reshape(4, 2))
    est.target_columns = []
    with pytest.raises(ZeroDivisionError):
        est._predict(series(4, 2))


def test_target_transformer_inverse_is_applied_to_one_step_predictions(gusk):
    class Shifted(pass_through(gusk.LocalizedFlatten)):
        def inverse_transform(self, y):
            return np.asarray(y) + 100.0

    est = with_first_transformer(gusk, Shifted([0, 1], [0, 1], lookback_win=2), predict_fn=lambda X: np.arange(8.0))
    np.testing.assert_array_equal(est._predict(series(4, 2)), np.arange(8.0).reshape(4, 2) + 100.0)


def test_predictions_come_back_on_the_raw_scale(gusk, log):
    est = fitted(gusk, log, n_columns=2, features=(0, 1), targets=(1,), data_transformation_scheme="sqrt",
                 predict_fn=lambda X: X[:, -1].copy())
    X = series(5, 2)
    np.testing.assert_allclose(est._predict(X)[:, 0], X[:, 1], rtol=1e-12)


def test_column_encoding_widens_the_model_input(gusk, log):
    transformer = pass_through(gusk.LocalizedFlatten)([0, 1], [0, 1], lookback_win=2)
    steps = [("window", transformer), ("model", RecordingEstimator(lambda X: np.zeros(2 * len(X)), log))]
    est = gusk.GUSKTimeSeriesEstimator(steps, [0, 1], [0, 1], lookback_win=2, multivariate_column_encoding=True)
    est.fit(series(12, 2))
    log.clear()
    est._predict(series(4, 2))
    (model_input,) = seen_by(log, "estimator", "predict")
    np.testing.assert_array_equal(model_input, np.hstack([series(4, 2), np.tile(np.eye(2), (2, 1))]))
