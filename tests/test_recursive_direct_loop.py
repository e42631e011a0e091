"""The recursive forecast's direct loop gives exactly what the step-by-step path gives.

A plain ``Flatten`` window with no data transformation scheme lets a recursive
forecast cut its windows itself instead of going through ``predict_sliding_window``
and the transformer at every step.  Every case here runs once on that loop and
once on the general path (forced by a ``Flatten`` subclass, which does not offer
the direct plan) and compares the results bit for bit.
"""

import contextlib
import inspect
import sys

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.ensemble import VotingRegressor
from sklearn.linear_model import (ElasticNet, ElasticNetCV, HuberRegressor, Lasso, LassoCV,
                                  LinearRegression, Ridge, RidgeCV, SGDRegressor)
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import MaxAbsScaler, MinMaxScaler, RobustScaler, StandardScaler
from sklearn.svm import LinearSVR

from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten


class StepByStepFlatten(Flatten):
    """Flatten as it is, but a subclass: recursive forecasts call its transform every step."""


class ScriptedModel(RegressorMixin, BaseEstimator):
    """Linear in its window; answers chosen calls with an infinity or with float32 values.

    It records every window it is asked about, so both paths can be compared call by call.
    """

    def __init__(self, n_targets=1, infinite_at=(), float32_from=None):
        self.n_targets = n_targets
        self.infinite_at = infinite_at
        self.float32_from = float32_from

    def fit(self, X, y):
        self.weights_ = np.linspace(0.6, -0.2, X.shape[1])[:, None] * np.arange(
            1.0, self.n_targets + 1)[None, :] / X.shape[1]
        self.windows_ = []
        return self

    def predict(self, X):
        call = len(self.windows_)
        self.windows_.append(np.array(X, copy=True))
        values = X @ self.weights_ + 0.25
        if call in self.infinite_at:
            values[:, 0] = np.inf
        if self.float32_from is not None and call >= self.float32_from:
            values = values.astype(np.float32)
        return values.ravel() if self.n_targets == 1 else values


def series(n_rows, n_columns, seed=0):
    rng = np.random.RandomState(seed)
    return np.cumsum(rng.normal(size=(n_rows, n_columns)), axis=0)


def forecaster(flatten_class, model, features, targets, lookback, steps):
    return GUSKTimeSeriesEstimator(
        steps=[("Flatten", flatten_class(features, targets, lookback_win=lookback)),
               ("model", model)],
        feature_columns=features, target_columns=targets, lookback_win=lookback, pred_win=1,
        multistep_prediction_strategy="recursive", multistep_prediction_win=steps)


def both_paths(make_model, features, targets, n_columns, lookback=6, steps=12, **predict):
    X = series(80, n_columns)
    results = []
    for flatten_class in (Flatten, StepByStepFlatten):
        model = forecaster(flatten_class, make_model(), features, targets, lookback, steps)
        model.fit(X)
        forecast = model.predict(X[-lookback - 3:], **predict)
        results.append((forecast, model.estimator.windows_))
    return results


@pytest.mark.parametrize(("features", "targets", "n_columns"), [
    ([0], [0], 1),
    ([0, 1], [1, 0], 2),
    ([1], [1, 0], 2),
    ([0, 1, 2], [2, 0, 1], 3),
    ([2], [2, 0], 3),
])
@pytest.mark.parametrize("model_settings", [
    {},
    {"infinite_at": (3,)},      # an infinite forecast becomes NaN and is fed back as NaN
    {"float32_from": 0},        # float32 answers: the step-by-step path from the start
    {"float32_from": 5},        # ... or from the sixth step on
])
def test_direct_loop_matches_the_step_by_step_path(features, targets, n_columns, model_settings):
    def make_model():
        return ScriptedModel(n_targets=len(targets), **model_settings)

    (direct, direct_windows), (general, general_windows) = both_paths(
        make_model, features, targets, n_columns)
    assert direct.shape == general.shape == (12, len(targets))
    assert direct.dtype == general.dtype
    np.testing.assert_array_equal(direct, general)
    handover = model_settings.get("float32_from")
    if handover is not None:
        # the general path takes over by asking again about the window it could not use
        general_windows = general_windows[:handover + 1] + general_windows[handover:]
    assert len(direct_windows) == len(general_windows)
    for seen_direct, seen_general in zip(direct_windows, general_windows, strict=True):
        assert seen_direct.dtype == seen_general.dtype and seen_direct.flags.c_contiguous
        np.testing.assert_array_equal(seen_direct, seen_general)


class RecordingRidge(Ridge):
    def fit(self, X, y, sample_weight=None):
        self.windows_ = []
        return super().fit(X, y, sample_weight)

    def predict(self, X):
        self.windows_.append(np.array(X, copy=True))
        return super().predict(X)


def test_direct_loop_answers_a_real_model_like_the_general_path():
    (direct, direct_windows), (general, general_windows) = both_paths(
        lambda: RecordingRidge(alpha=0.5), [0, 1], [0, 1], 2, lookback=24, steps=100)
    assert direct.shape == (100, 2)
    np.testing.assert_array_equal(direct, general)
    np.testing.assert_array_equal(np.concatenate(direct_windows), np.concatenate(general_windows))


@pytest.mark.parametrize("replace", ["predict_sliding_window", "_predict", "_data_transform"])
def test_replaced_step_methods_are_still_called_every_step(replace):
    calls = []

    class Watched(GUSKTimeSeriesEstimator):
        pass

    original = getattr(GUSKTimeSeriesEstimator, replace)

    def watched(self, *args, **kwargs):
        calls.append(replace)
        return original(self, *args, **kwargs)

    setattr(Watched, replace, watched)
    X = series(60, 1)
    model = Watched(steps=[("Flatten", Flatten([0], [0], lookback_win=5)),
                           ("model", ScriptedModel())],
                    feature_columns=[0], target_columns=[0], lookback_win=5, pred_win=1,
                    multistep_prediction_strategy="recursive", multistep_prediction_win=7)
    model.fit(X)
    calls.clear()
    model.predict(X[-5:])
    assert calls.count(replace) == 7


def test_a_patched_transform_is_still_called_every_step(monkeypatch):
    seen = []
    original = Flatten.transform

    def counting_transform(self, X):
        seen.append(len(X))
        return original(self, X)

    X = series(60, 1)
    model = forecaster(Flatten, ScriptedModel(), [0], [0], 5, 4)
    model.fit(X)
    monkeypatch.setattr(Flatten, "transform", counting_transform)
    model.predict(X[-5:])
    assert seen == [6, 6, 6, 6]


def test_models_answering_with_lists_fail_as_on_the_general_path():
    class ListModel(ScriptedModel):
        def predict(self, X):
            return list(super().predict(X))

    X = series(60, 1)
    for flatten_class in (Flatten, StepByStepFlatten):
        model = forecaster(flatten_class, ListModel(), [0], [0], 5, 3)
        model.fit(X)
        with pytest.raises(AttributeError, match="reshape"):
            model.predict(X[-5:])


class TaggedArray(np.ndarray):
    """An ndarray subclass, as some libraries return."""


def test_array_subclass_answers_take_the_general_path():
    class MatrixModel(ScriptedModel):
        def predict(self, X):
            return super().predict(X).view(TaggedArray)

    X = series(60, 1)
    forecasts = []
    for flatten_class in (Flatten, StepByStepFlatten):
        model = forecaster(flatten_class, MatrixModel(), [0], [0], 5, 4)
        model.fit(X)
        forecasts.append(model.predict(X[-5:]))
    assert type(forecasts[0]) is type(forecasts[1])
    np.testing.assert_array_equal(forecasts[0], forecasts[1])


@pytest.mark.parametrize("replace", ["predict_sliding_window", "_predict", "_data_transform",
                                     "_input_data_transformation",
                                     "_output_data_transformation"])
@pytest.mark.parametrize("where", ["class", "instance"])
def test_patched_step_methods_are_still_called_every_step(monkeypatch, replace, where):
    calls = []
    original = getattr(GUSKTimeSeriesEstimator, replace)
    X = series(60, 1)
    model = forecaster(Flatten, ScriptedModel(), [0], [0], 5, 6)
    model.fit(X)

    def watched(*args, **kwargs):
        calls.append(replace)
        if where == "instance":
            return original(model, *args, **kwargs)
        return original(*args, **kwargs)

    monkeypatch.setattr(GUSKTimeSeriesEstimator if where == "class" else model, replace, watched)
    model.predict(X[-5:])
    assert calls.count(replace) == 6


def _linear(cls, **settings):
    return lambda fit_intercept: cls(fit_intercept=fit_intercept, **settings)


def _voting(weights):
    return lambda fit_intercept: VotingRegressor(
        [("ridge", Ridge(alpha=0.3, fit_intercept=fit_intercept)),
         ("scaled", make_pipeline(StandardScaler(), LinearRegression(fit_intercept=fit_intercept)))],
        weights=weights)


MULTI_OUTPUT_MODELS = {
    "LinearRegression": _linear(LinearRegression),
    "Ridge": _linear(Ridge, alpha=0.5),
    "RidgeCV": _linear(RidgeCV),
    "Lasso": _linear(Lasso, alpha=0.01),
    "ElasticNet": _linear(ElasticNet, alpha=0.01),
}
SINGLE_OUTPUT_MODELS = {
    "LassoCV": _linear(LassoCV, cv=3),
    "ElasticNetCV": _linear(ElasticNetCV, cv=3),
    "SGDRegressor": _linear(SGDRegressor, random_state=0),
    "HuberRegressor": _linear(HuberRegressor),
    "LinearSVR": _linear(LinearSVR, random_state=0),
    "VotingRegressor": _voting(None),
    "weighted VotingRegressor": _voting([0.7, 2]),
}
SCALERS = {"Ridge": (None, StandardScaler, RobustScaler, MaxAbsScaler, MinMaxScaler)}
CLOSED_FORM_CASES = [
    (name, targets, scaler)
    for models, target_sets in ((MULTI_OUTPUT_MODELS, ([0], [0, 1])), (SINGLE_OUTPUT_MODELS, ([1],)))
    for name in models for targets in target_sets
    for scaler in ((None,) if name.endswith("VotingRegressor")
                   else SCALERS.get(name, (None, StandardScaler)))
]


@contextlib.contextmanager
def python_calls_of(function):
    """Counts the calls of a Python function while the block runs, without replacing it."""
    calls = []
    code = inspect.unwrap(function).__code__
    sys.setprofile(lambda frame, event, arg: calls.append(1)
                   if event == "call" and frame.f_code is code else None)
    try:
        yield calls
    finally:
        sys.setprofile(None)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(("name", "targets", "scaler"), CLOSED_FORM_CASES)
def test_linear_models_are_computed_in_the_loop_as_their_predict_computes_them(
        name, targets, scaler, fit_intercept):
    make = {**MULTI_OUTPUT_MODELS, **SINGLE_OUTPUT_MODELS}[name]
    X = series(80, 2)
    results = []
    for flatten_class in (Flatten, StepByStepFlatten):
        model = make(fit_intercept)
        model = make_pipeline(scaler(), model) if scaler else model
        fitted = forecaster(flatten_class, model, targets, targets, 6, 12).fit(X)
        with python_calls_of(type(model).predict) as calls:
            forecast = fitted.predict(X[-9:])
            sliding = fitted.predict(X, prediction_type="sliding_window")
        # fitted on our own windows (copy_X off during the fit where a model has it), or not
        results.append((forecast, sliding, len(calls), getattr(model, "coef_", None),
                        model.get_params()))
    (direct, direct_sliding, direct_calls, coef, params), general_results = results
    general, general_sliding, general_calls, general_coef, general_params = general_results
    assert (direct_calls, general_calls) == (0, 12 + 1)
    np.testing.assert_array_equal(coef, general_coef)
    assert repr(params) == repr(general_params)
    assert direct.shape == (12, len(targets))
    np.testing.assert_allclose(direct, general, rtol=1e-12, atol=0)
    np.testing.assert_allclose(direct_sliding, general_sliding, rtol=1e-12, atol=0)


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@pytest.mark.parametrize("growth", [None, 1.5])
def test_one_fed_back_column_matches_the_general_loop_over_long_horizons(growth):
    # 2000 steps run through several of the loop's buffers; growing by half a step each
    # time, the forecasts overflow on the way and both paths refuse the same window
    X = series(80, 1) if growth is None else growth ** np.arange(80.0).reshape(-1, 1)
    outcomes = []
    for flatten_class in (Flatten, StepByStepFlatten):
        fitted = forecaster(flatten_class, LinearRegression(), [0], [0], 6, 2000).fit(X)
        try:
            outcomes.append(fitted.predict(X))
        except ValueError as error:
            outcomes.append(str(error))
    if growth is None:
        np.testing.assert_allclose(outcomes[0], outcomes[1], rtol=1e-12, atol=0)
    else:
        assert "Input X contains NaN" in outcomes[0] and outcomes[0] == outcomes[1]


class PredictOverridingRidge(Ridge):
    def predict(self, X):
        return super().predict(X)


@pytest.mark.parametrize(("replace", "where"), [
    ("predict", "subclass"), ("predict", "class"), ("predict", "instance"),
    ("_decision_function", "class"), ("_decision_function", "instance"),
])
def test_models_whose_methods_are_not_the_library_own_are_asked_every_step(
        monkeypatch, replace, where):
    calls = []
    X = series(60, 1)
    model_class = PredictOverridingRidge if where == "subclass" else Ridge
    model = forecaster(Flatten, model_class(), [0], [0], 5, 7).fit(X)
    original = getattr(model_class, replace)

    def watched(*args):
        calls.append(replace)
        return original(model.estimator, *args[-1:])

    monkeypatch.setattr({"instance": model.estimator}.get(where, model_class), replace, watched)
    model.predict(X[-5:])
    assert calls == [replace] * 7


@pytest.mark.parametrize("scaled", [False, True])
def test_an_infinity_in_the_window_is_refused_as_predict_refuses_it(scaled):
    X = series(60, 1)
    latest = X[-5:].copy()
    latest[2, 0] = np.inf
    errors = []
    for flatten_class in (Flatten, StepByStepFlatten):
        model = make_pipeline(StandardScaler(), Ridge()) if scaled else Ridge()
        fitted = forecaster(flatten_class, model, [0], [0], 5, 4).fit(X)
        with pytest.raises(ValueError) as refused:
            fitted.predict(latest)
        errors.append(str(refused.value))
    assert errors[0] == errors[1] and "infinity" in errors[0]


@pytest.mark.parametrize(("n_columns", "lookback", "steps"), [
    (4, 1, 2**63 - 1),  # (look-back + steps) x columns used to wrap around
    (2, 1, 2**63 - 1),
    (1, 3, 2**62),      # steps x 8 bytes does not fit
])
def test_horizons_whose_forecasts_cannot_be_stored_are_refused(n_columns, lookback, steps):
    X = np.arange(80.0).reshape(-1, n_columns)
    columns = list(range(n_columns))
    model = forecaster(Flatten, Ridge(), columns, columns, lookback, steps).fit(X)
    with pytest.raises(ValueError, match=f"multistep_prediction_win={steps} (is too large|asks for)"):
        model.predict(X)
