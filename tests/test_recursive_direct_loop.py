"""The recursive forecast's direct loop gives exactly what the step-by-step path gives.

A plain ``Flatten`` window with no data transformation scheme lets a recursive
forecast cut its windows itself instead of going through ``predict_sliding_window``
and the transformer at every step.  Every case here runs once on that loop and
once on the general path (forced by a ``Flatten`` subclass, which does not offer
the direct plan) and compares the results bit for bit.
"""

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.linear_model import Ridge

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
    for seen_direct, seen_general in zip(direct_windows, general_windows):
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
