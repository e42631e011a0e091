"""Fitting: choosing the transformers and the final estimator, running the transformers,
the default time-ordered split, and an end-to-end fit of a windowed linear model."""

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal
from sklearn.linear_model import LinearRegression

import orvane.gusk.joint_optimizers.cv.tembrel_splits as splits_module
from orvane.gusk.joint_optimizers.cv.tembrel_splits import TimeSeriesTrainTestSplit
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten, NormalizedFlatten

from conftest import RecordingEstimator, RecordingStep, linear_recurrence


def make(gusk, steps, feature_columns=(0,), target_columns=(0,), **kwargs):
    return gusk.GUSKTimeSeriesEstimator(steps, list(feature_columns), list(target_columns), **kwargs)


def series(rows, columns=2):
    return np.arange(1.0, rows * columns + 1.0).reshape(rows, columns)


def pipeline(gusk, log, result=None, **kwargs):
    step = RecordingStep("t", log, result=result)
    model = RecordingEstimator(log=log)
    return make(gusk, [("t", step), ("m", model)], **kwargs), step, model


class RecordingSplit:
    """Stands in for the split class; records how it was constructed."""

    calls = []

    def __init__(self, *args, **kwargs):
        type(self).calls.append((args, kwargs))


@pytest.fixture
def recording_split(monkeypatch):
    fake = type("TimeSeriesTrainTestSplit", (RecordingSplit,), {"calls": []})
    monkeypatch.setattr(splits_module, "TimeSeriesTrainTestSplit", fake)
    return fake


# ---------------------------------------------------------------------------------------------
# Call order and arguments


def test_fit_runs_each_transformer_on_the_previous_output_then_the_estimator(gusk, log):
    made = []

    def first(X, y):
        made.append((X[1:], X[1:, 0] * 10))
        return made[-1]

    def second(X, y):
        made.append((X * 2, y + 1))
        return made[-1]

    a, b = RecordingStep("a", log, result=first), RecordingStep("b", log, result=second)
    model = RecordingEstimator(log=log)
    est = make(gusk, [("a", a), ("b", b), ("m", model)])
    X, y = series(6), np.arange(6.0)

    assert est.fit(X, y) is est
    assert log.names() == [("a", "fit_transform"), ("b", "fit_transform"), ("estimator", "fit")]
    assert log[0][2][0] is X and log[0][2][1] is y
    assert log[1][2][0] is made[0][0] and log[1][2][1] is made[0][1]
    assert log[2][2][0] is made[1][0] and log[2][2][1] is made[1][1]
    assert_array_equal(model.fitted_on_[0], X[1:] * 2)
    assert_array_equal(model.fitted_on_[1], X[1:, 0] * 10 + 1)


def test_transformer_steps_and_estimator_are_the_step_objects(gusk, log):
    a, b, model = RecordingStep("a", log), RecordingStep("b", log), RecordingEstimator()
    steps = [("a", a), ("b", b), ("m", model)]
    est = make(gusk, steps)
    assert est._init_transformer_and_estimator() is None
    assert type(est.transformer_steps) is list and est.transformer_steps is not steps
    assert len(est.transformer_steps) == 2
    assert est.transformer_steps[0] is a and est.transformer_steps[1] is b
    assert est.estimator is model
    assert log == []


class FittedHelper:
    def __init__(self, log):
        self.log = log

    def transform(self, X):
        self.log.append(("helper", "transform", (X,)))
        return X[2:], X[2:, 1]


class FitOnlyStep:
    """Has no fit_transform; its fit returns another object that does the transforming."""

    def __init__(self, log):
        self.log = log
        self.helper = FittedHelper(log)

    def fit(self, X, y=None):
        self.log.append(("fit_only", "fit", (X, y)))
        return self.helper

    def transform(self, X):
        self.log.append(("fit_only", "transform", (X,)))
        return X, None


def test_transformer_without_fit_transform_is_fitted_then_the_returned_object_transforms(gusk, log):
    step, model = FitOnlyStep(log), RecordingEstimator(log=log)
    est = make(gusk, [("f", step), ("m", model)])
    X, y = series(5), np.zeros(5)
    est.fit(X, y)
    assert log.names() == [("fit_only", "fit"), ("helper", "transform"), ("estimator", "fit")]
    assert log[0][2][0] is X and log[0][2][1] is y
    assert log[1][2][0] is X
    assert_array_equal(model.fitted_on_[0], X[2:])
    assert_array_equal(model.fitted_on_[1], X[2:, 1])


def test_data_transform_calls_transform_with_X_only(gusk, log):
    a = RecordingStep("a", log, result=lambda X, y: (X + 1, X[:, 0]))
    b = RecordingStep("b", log, result=lambda X, y: (X * 3, X[:, 1]))
    est = make(gusk, [("a", a), ("b", b), ("m", RecordingEstimator())])
    est.transformer_steps = [a, b]
    X = series(3)
    Xt, yt = est._data_transform(X, y=np.ones(3))
    assert log.names() == [("a", "transform"), ("b", "transform")]
    assert log[0][2] == (X,)
    assert_array_equal(Xt, (X + 1) * 3)
    assert_array_equal(yt, X[:, 1] + 1)


@pytest.mark.parametrize("method", ["_data_fit_transform", "_data_transform"])
def test_without_transformers_the_inputs_come_back(gusk, method):
    est = make(gusk, [("t", RecordingStep("t", [])), ("m", RecordingEstimator())])
    est.transformer_steps = []
    X, y = series(3), np.arange(3.0)
    result = getattr(est, method)(X, y)
    assert len(result) == 2 and result[0] is X and result[1] is y


@pytest.mark.parametrize("method", ["_data_fit_transform", "_data_transform"])
def test_transformer_results_only_need_items_0_and_1(gusk, log, method):
    extra = RecordingStep("t", log, result=lambda X, y: [X[:1], "targets", "ignored"])
    est = make(gusk, [("t", extra), ("m", RecordingEstimator())])
    est.transformer_steps = [extra]
    X = series(3)
    Xt, yt = getattr(est, method)(X)
    assert_array_equal(Xt, X[:1])
    assert yt == "targets"


def test_transformer_result_that_cannot_be_indexed_fails(gusk, log):
    est, _, model = pipeline(gusk, log, result=lambda X, y: None)
    with pytest.raises(TypeError):
        est.fit(series(4))
    assert not hasattr(model, "fitted_on_")


@pytest.mark.parametrize("method", ["fit", "_display_transformations"])
@pytest.mark.parametrize("pair", [lambda X, y: (X,), lambda X, y: (X, y, None)])
def test_result_that_does_not_unpack_into_two_values(gusk, log, method, pair):
    est, _, model = pipeline(gusk, log)
    est._init_transformer_and_estimator()
    est._data_fit_transform = pair
    with pytest.raises(ValueError, match="values to unpack"):
        getattr(est, method)(series(4))
    assert not hasattr(model, "fitted_on_")


# ---------------------------------------------------------------------------------------------
# Validation


@pytest.mark.parametrize(
    "make_steps,message",
    [
        (lambda log: [("m", RecordingEstimator(log=log))], "ORVANE0043E"),
        (lambda log: [("t", RecordingStep("t", log)), ("m", object())], "ORVANE0044E"),
        (lambda log: [("t", RecordingStep("t", log)), ("m", LinearRegression)], "ORVANE0044E"),
    ],
)
def test_invalid_steps_fail_before_any_transformer_runs(gusk, messages, log, make_steps, message):
    est = make(gusk, make_steps(log))
    with pytest.raises(Exception) as info:
        est.fit(series(4))
    assert type(info.value) is Exception and info.value.args == (message,)
    assert messages.calls == [(message, ())]
    assert log == [] and est.transformer_steps is None and est.cv is None


# ---------------------------------------------------------------------------------------------
# The default split


@pytest.mark.parametrize(
    "rows,dropped,n_test",
    [(102, 2, 30), (9, 2, 2), (10, 0, 3), (3, 0, 0)],
)
def test_default_split_tests_on_thirty_percent_of_the_windowed_rows(gusk, log, rows, dropped, n_test):
    est, _, _ = pipeline(gusk, log, result=lambda X, y: (X[dropped:], X[dropped:, 0]))
    est.fit(series(rows))
    assert type(est.cv) is TimeSeriesTrainTestSplit
    assert est.cv.n_test_size == n_test and type(est.cv.n_test_size) is int


def test_split_class_is_imported_at_every_fit(gusk, log, monkeypatch):
    est, _, _ = pipeline(gusk, log)
    est.fit(series(100))
    assert type(est.cv) is TimeSeriesTrainTestSplit

    fake = type("TimeSeriesTrainTestSplit", (RecordingSplit,), {"calls": []})
    monkeypatch.setattr(splits_module, "TimeSeriesTrainTestSplit", fake)
    est.set_cross_validation(None)
    est.fit(series(100))
    assert type(est.cv) is fake
    assert fake.calls == [((), {"n_test_size": 30})]


def test_existing_cv_is_kept(gusk, log, recording_split):
    est, _, _ = pipeline(gusk, log)
    chosen = object()
    est.set_cross_validation(chosen)
    est.fit(series(20))
    assert est.cv is chosen
    assert recording_split.calls == []


def test_second_fit_reuses_the_split_of_the_first(gusk, log, recording_split):
    est, _, _ = pipeline(gusk, log)
    est.fit(series(20))
    first = est.cv
    est.fit(series(50))
    assert est.cv is first
    assert recording_split.calls == [((), {"n_test_size": 6})]


# ---------------------------------------------------------------------------------------------
# Options that change the fitting road


@pytest.mark.parametrize("store", [True, False])
def test_history_is_stored_from_the_raw_X_before_the_scheme(gusk, log, store):
    est, step, _ = pipeline(gusk, log, store_lookback_history=store, data_transformation_scheme="log")
    est._store_lookback_history_X = lambda X: log.append(("history", "store", (X,)))
    X = series(6)
    est.fit(X)
    if store:
        assert log.names() == [("history", "store"), ("t", "fit_transform"), ("estimator", "fit")]
        assert log[0][2][0] is X
    else:
        assert log.names() == [("t", "fit_transform"), ("estimator", "fit")]
    transformed = log.pop(-2)[2][0]
    assert_array_equal(transformed[:, 0], np.log(1 + X[:, 0]))
    assert_array_equal(transformed[:, 1], X[:, 1])  # not a feature or target column


def test_stored_history_holds_raw_rows(gusk, log):
    est, _, _ = pipeline(gusk, log, store_lookback_history=True, lookback_win=3,
                         data_transformation_scheme="mean_division")
    X = series(10)
    est.fit(X)
    assert_array_equal(est.lookback_data_X, X[-3:])


@pytest.mark.parametrize("encode", [True, False])
def test_column_encoding_happens_after_the_transformers_and_before_the_estimator(gusk, log, encode):
    est, _, model = pipeline(gusk, log, result=lambda X, y: (X[1:], X[1:, 0]),
                             multivariate_column_encoding=encode)
    marker = np.full((3, 1), 7.0)

    def encoder(Xt):
        log.append(("encoder", "encode", (Xt,)))
        return marker

    est._multi_variate_col_encoder = encoder
    X = series(4)
    est.fit(X)
    if encode:
        assert log.names() == [("t", "fit_transform"), ("encoder", "encode"), ("estimator", "fit")]
        assert_array_equal(log[1][2][0], X[1:])
        assert model.fitted_on_[0] is marker
    else:
        assert log.names() == [("t", "fit_transform"), ("estimator", "fit")]
        assert_array_equal(model.fitted_on_[0], X[1:])


def test_column_encoding_with_a_step_major_transformer(gusk, log):
    X = np.column_stack([np.arange(1.0, 9.0), np.arange(2.0, 17.0, 2.0)])
    first = NormalizedFlatten([0, 1], [0, 1], lookback_win=3)
    model = RecordingEstimator()
    est = make(gusk, [("n", first), ("m", model)], [0, 1], [0, 1], lookback_win=3, multivariate_column_encoding=True)
    est.fit(X)
    plain_Xt, plain_yt = NormalizedFlatten([0, 1], [0, 1], lookback_win=3).fit_transform(X)
    expected = np.hstack((plain_Xt, np.tile(np.eye(2), (len(plain_Xt) // 2, 1))))
    assert_array_equal(model.fitted_on_[0], expected)
    assert_array_equal(model.fitted_on_[1], plain_yt)


@pytest.mark.parametrize(
    "init_time_optimization,automate_run,keeps_chosen",
    [(True, True, True), (True, False, False), (False, True, False), (False, False, False)],
)
def test_init_time_optimization_keeps_the_estimator_chosen_earlier(
        gusk, log, init_time_optimization, automate_run, keeps_chosen):
    chosen, last = RecordingEstimator(), RecordingEstimator()
    est = make(gusk, [("t", RecordingStep("t", log)), ("m", last)],
               init_time_optimization=init_time_optimization, estimator=chosen)
    est.is_automate_run = automate_run
    est.fit(series(5))
    fitted, untouched = (chosen, last) if keeps_chosen else (last, chosen)
    assert est.estimator is fitted
    assert hasattr(fitted, "fitted_on_") and not hasattr(untouched, "fitted_on_")
    assert est.is_automate_run is True


def test_init_time_optimization_without_a_chosen_estimator_fails(gusk, log):
    est, step, _ = pipeline(gusk, log, init_time_optimization=True)
    with pytest.raises(AttributeError, match="estimator"):
        est.fit(series(5))
    assert est.transformer_steps == [step]


def test_errors_of_the_estimator_propagate_with_earlier_attributes_set(gusk, log):
    class Failing(RecordingEstimator):
        def fit(self, X, y=None):
            raise ValueError("cannot fit")

    step = RecordingStep("t", log)
    est = make(gusk, [("t", step), ("m", Failing())])
    with pytest.raises(ValueError, match="cannot fit"):
        est.fit(series(10))
    assert est.transformer_steps == [step] and type(est.cv) is TimeSeriesTrainTestSplit


# ---------------------------------------------------------------------------------------------
# _display_transformations and the end-to-end fit


def test_display_transformations_refits_transformers_and_not_the_estimator(gusk, log, capsys):
    est, step, model = pipeline(gusk, log, result=lambda X, y: (X[:, :1], X[:, 1]),
                                feature_columns=(0, 1), target_columns=(0, 1),
                                data_transformation_scheme="sqrt")
    est._init_transformer_and_estimator()
    X = np.array([[1.0, 4.0], [9.0, 16.0]])
    Xt, yt = est._display_transformations(X)
    assert log.names() == [("t", "fit_transform")]
    assert_array_equal(Xt, [[1.0], [3.0]])
    assert_array_equal(yt, [2.0, 4.0])
    assert capsys.readouterr() == ("", "")
    assert not hasattr(model, "fitted_on_")


def recurrence_estimator(gusk, n_rows, **kwargs):
    y = linear_recurrence(n=n_rows)
    X = np.column_stack([np.arange(float(n_rows)), y])  # time column, then the series
    flatten = Flatten([1], [1], lookback_win=2)
    est = gusk.GUSKTimeSeriesEstimator([("flatten", flatten), ("model", LinearRegression())],
                                       [1], [1], lookback_win=2, time_column=0, **kwargs)
    return est, X, y


def test_windows_of_a_linear_recurrence_by_hand(gusk):
    est, X, _ = recurrence_estimator(gusk, 6)
    est._init_transformer_and_estimator()
    Xt, yt = est._display_transformations(X)
    # y = 1, 2, then y[t] = 0.5 y[t-1] + 0.3 y[t-2] + 1: 2.3, 2.75, 3.065, 3.3575
    assert_allclose(Xt, [[1.0, 2.0], [2.0, 2.3], [2.3, 2.75], [2.75, 3.065]], rtol=1e-14)
    assert_allclose(yt, [2.3, 2.75, 3.065, 3.3575], rtol=1e-14)


@pytest.mark.parametrize("scheme,transform", [(None, lambda v: v), ("log", lambda v: np.log(1 + v))])
def test_display_transformations_gives_the_training_windows(gusk, scheme, transform):
    est, X, y = recurrence_estimator(gusk, 40, data_transformation_scheme=scheme)
    est._init_transformer_and_estimator()
    Xt, yt = est._display_transformations(X)
    assert_array_equal(Xt, np.column_stack([transform(y[:-2]), transform(y[1:-1])]))
    assert_array_equal(yt, transform(y[2:]))


def test_end_to_end_fit_learns_the_recurrence(gusk):
    est, X, _ = recurrence_estimator(gusk, 40)
    assert est.fit(X) is est
    model = est.estimator
    assert model is est.steps[-1][1]
    assert_allclose(model.coef_, [0.3, 0.5], rtol=1e-9)
    assert model.intercept_ == pytest.approx(1.0, rel=1e-9)
    assert est.cv.n_test_size == int(38 * 0.3)
    assert est.transformer_steps[0].n_features_in_ == 2


# ---------------------------------------------------------------------------------------------
# Misuse refused before the model is trained on the wrong data

WAVE = 5 * np.sin(np.arange(30.0) / 3)


@pytest.mark.parametrize(
    "window,settings,X,y,message",
    [
        (Flatten([0], [0], lookback_win=3), {"pred_win": 7}, series(30), None, r"pred_win=7 .* pred_win=1"),
        (Flatten([0], [0], lookback_win=3), {"target_columns": [1]}, series(30), None,
         r"target_columns=\[1\] .* target_col_index=\[0\]"),
        (NormalizedFlatten([0, 1], [0], lookback_win=3), {"look_ahead_fcolumns": [1]}, series(30), None,
         "'w' \\(NormalizedFlatten\\) takes no look-ahead columns"),
        (Flatten([0], [0], lookback_win=3), {}, series(30), np.arange(29.0), r"target_columns=\[0\]"),
        (Flatten([0], [0], lookback_win=3), {}, series(30), series(30)[:, 1], "targets are the columns of X"),
        (Flatten([0], [0], lookback_win=3), {"data_transformation_scheme": "fisher"}, series(30), None,
         "'fisher' cannot represent column 0: it needs values between -1 and 1, and the column has the value 3.0"),
        (Flatten([0], [0], lookback_win=3), {"data_transformation_scheme": "sqrt"}, np.c_[WAVE, WAVE], None,
         r"'sqrt' cannot represent column 0: .* the value -\d"),
        (Flatten([1], [1], lookback_win=3), {"data_transformation_scheme": "mean_division"},
         np.c_[WAVE, WAVE - WAVE.mean()], None, "column 1: it needs a column mean clearly away from 0"),
        (Flatten([0], [0], lookback_win=3), {"data_transformation_scheme": "reciprocal"},
         np.c_[WAVE, WAVE] * 0 - 1, None, "needs values other than -1"),
    ],
)
def test_fit_refuses_settings_and_data_it_would_silently_misuse(gusk, window, settings, X, y, message):
    settings = {"feature_columns": window.feature_col_index, "target_columns": window.target_col_index,
                "lookback_win": 3, **settings}
    est = gusk.GUSKTimeSeriesEstimator([("w", window), ("m", LinearRegression())], **settings)
    with pytest.raises(ValueError, match=message):
        est.fit(X, y)


def test_fit_accepts_a_y_that_repeats_the_target_columns(gusk):
    X = np.c_[linear_recurrence(40), np.arange(40.0)]
    est = make(gusk, [("w", Flatten([0], [0], lookback_win=2)), ("m", LinearRegression())], lookback_win=2)
    assert_allclose(est.fit(X, X[:, 0]).predict(X), make(
        gusk, [("w", Flatten([0], [0], lookback_win=2)), ("m", LinearRegression())], lookback_win=2).fit(X).predict(X))
