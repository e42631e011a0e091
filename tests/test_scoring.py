"""Scoring a fitted pipeline, and the scorer and split settings."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal
from sklearn.linear_model import LinearRegression

from orvane.gusk.joint_optimizers.cv.tembrel_splits import TimeSeriesTrainTestSplit
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

from conftest import RecordingEstimator, RecordingStep, linear_recurrence


def first_column_as_target(X, y):
    return X, X[:, 0]


def fitted(gusk, log, predict_fn=None, scheme=None, result=first_column_as_target):
    """A fitted two-step pipeline on column 0; the log is cleared after fitting."""
    step = RecordingStep("t", log, result=result)
    model = RecordingEstimator(predict_fn=predict_fn, log=log)
    est = gusk.GUSKTimeSeriesEstimator([("t", step), ("m", model)], [0], [0],
                                       data_transformation_scheme=scheme)
    est.fit(np.arange(1.0, 11.0).reshape(-1, 1))
    log.clear()
    return est


class RecordingScorer:
    def __init__(self, value=42.0):
        self.value = value
        self.calls = []

    def __call__(self, estimator, X, y, **keywords):
        self.calls.append((estimator, X, y, keywords))
        return self.value


def test_score_transforms_without_refitting(gusk, log):
    est = fitted(gusk, log)
    X = np.array([[3.0], [5.0]])
    est.score(X)
    assert log.names() == [("t", "transform"), ("estimator", "predict")]
    assert log[0][2][0] is X


@pytest.mark.parametrize("sample_weight", [None, np.array([1.0, 3.0])])
def test_scorer_gets_the_estimator_and_the_windowed_data(gusk, log, sample_weight):
    est = fitted(gusk, log)
    scorer = RecordingScorer()
    est.set_scoring(scorer)
    X = np.array([[3.0], [5.0]])
    assert est.score(X, sample_weight=sample_weight) == 42.0
    [(estimator, Xt, yt, keywords)] = scorer.calls
    assert estimator is est.estimator
    assert Xt is X
    assert_array_equal(yt, [3.0, 5.0])
    if sample_weight is None:
        assert keywords == {}
    else:
        assert keywords.keys() == {"sample_weight"} and keywords["sample_weight"] is sample_weight


def test_score_passes_y_by_keyword_and_scores_the_inverted_targets(gusk, log):
    est = fitted(gusk, log)
    windows, targets, inverted = np.ones((2, 1)), np.array([0.5, 0.25]), np.array([9.0, 8.0])
    calls = []

    def data_transform(*args, **kwargs):
        calls.append(("_data_transform", args, kwargs))
        return windows, targets

    def output_data_transformation(y):
        calls.append(("_output_data_transformation", (y,), {}))
        return inverted

    est._data_transform = data_transform
    est._output_data_transformation = output_data_transformation
    scorer = RecordingScorer()
    est.set_scoring(scorer)
    X, y = np.array([[3.0], [5.0]]), np.array([1.0, 2.0])
    est.score(X, y)
    assert calls == [("_data_transform", (X,), {"y": y}),
                     ("_output_data_transformation", (targets,), {})]
    assert scorer.calls == [(est.estimator, windows, inverted, {})]


def test_targets_are_brought_back_to_the_raw_scale(gusk, log):
    est = fitted(gusk, log, scheme="sqrt")
    scorer = RecordingScorer()
    est.set_scoring(scorer)
    X = np.array([[1.0], [4.0], [9.0], [16.0]])
    est.score(X)
    [(_, Xt, yt, _)] = scorer.calls
    assert_array_equal(Xt, [[1.0], [2.0], [3.0], [4.0]])  # the model sees the transformed scale
    assert_array_equal(yt, [1.0, 4.0, 9.0, 16.0])


@pytest.mark.parametrize(
    "predict_fn,sample_weight,expected",
    [
        (lambda Xt: Xt[:, 0], None, 0.0),
        (lambda Xt: Xt[:, 0] + 1.5, None, -1.5),
        (lambda Xt: Xt[:, 0] - np.arange(4.0), None, -1.5),
        (lambda Xt: Xt[:, 0] - np.arange(4.0), np.array([0.0, 0.0, 1.0, 1.0]), -2.5),
    ],
)
def test_default_scorer_is_the_negated_mean_absolute_error(gusk, log, predict_fn, sample_weight, expected):
    est = fitted(gusk, log, predict_fn=predict_fn)
    assert est.scoring is gusk.SCORERS["neg_mean_absolute_error"]
    assert est.score(np.array([[2.0], [4.0], [6.0], [8.0]]), sample_weight=sample_weight) == expected


def test_perfect_linear_fit_scores_zero_and_worse_fits_below(gusk):
    y = linear_recurrence(n=40)
    X = y.reshape(-1, 1)
    est = gusk.GUSKTimeSeriesEstimator(
        [("flatten", Flatten([0], [0], lookback_win=2)), ("model", LinearRegression())], [0], [0],
        lookback_win=2)
    est.fit(X)
    perfect = est.score(X)
    assert -1e-9 < perfect <= 0.0
    noisy = X + np.resize([0.5, -0.5], X.shape)
    assert est.score(noisy) < -0.1


def test_unfitted_estimator_cannot_score(gusk, log):
    est = gusk.GUSKTimeSeriesEstimator([("t", RecordingStep("t", log)), ("m", RecordingEstimator())],
                                       [0], [0])
    with pytest.raises((AttributeError, TypeError)):
        est.score(np.ones((3, 1)))
    assert log == []


def test_setters_chain_and_return_the_estimator(gusk, log):
    est = fitted(gusk, log)
    scorer, cv = RecordingScorer(), object()
    assert est.set_scoring(scorer).set_cross_validation(cv) is est
    assert est.scoring is scorer and est.cv is cv


def test_clearing_the_split_makes_the_next_fit_build_a_fresh_one(gusk, log):
    est = fitted(gusk, log)
    first = est.cv
    assert type(first) is TimeSeriesTrainTestSplit and first.n_test_size == 3

    custom = TimeSeriesTrainTestSplit(n_test_size=1)
    est.set_cross_validation(custom).fit(np.ones((20, 1)))
    assert est.cv is custom

    assert est.set_cross_validation(None) is est
    est.fit(np.ones((20, 1)))
    assert type(est.cv) is TimeSeriesTrainTestSplit
    assert est.cv is not first and est.cv is not custom
    assert est.cv.n_test_size == 6
