"""Scoring a fitted pipeline, and the scorer and split settings."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression
from sklearn.metrics import mean_absolute_error, r2_score
from sklearn.model_selection import TimeSeriesSplit, cross_val_score

from orvane.datasets import load_airline
from orvane.gusk.joint_optimizers.cv.tembrel_splits import TimeSeriesTrainTestSplit
from orvane.gusk.transformers.preprocessing.ts_transformer import DifferenceFlatten, Flatten

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


@pytest.mark.parametrize("method", ["score", "predict", "predict_proba", "predict_sliding_window"])
def test_unfitted_estimator_cannot_score_or_predict(gusk, log, method):
    est = gusk.GUSKTimeSeriesEstimator([("t", RecordingStep("t", log)), ("m", RecordingEstimator())],
                                       [0], [0])
    with pytest.raises(NotFittedError, match=f"Call 'fit' .* before calling '{method}'"):
        getattr(est, method)(np.ones((3, 1)))
    assert log == []


AIRLINE = load_airline().iloc[:, -1].to_numpy(dtype=float).reshape(-1, 1)


def airline_pipeline(gusk, window=Flatten, scheme=None, lookback=12):
    steps = [("window", window([0], [0], lookback_win=lookback)), ("model", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(steps, [0], [0], lookback_win=lookback, data_transformation_scheme=scheme)


@pytest.mark.parametrize("scoring,sign,metric", [(None, -1, mean_absolute_error), ("r2", 1, r2_score)])
@pytest.mark.parametrize("window,scheme", [(Flatten, None), (Flatten, "log"), (Flatten, "mean_division"),
                                           (DifferenceFlatten, "sqrt")])
def test_score_compares_forecasts_and_rows_in_the_units_of_the_data(gusk, window, scheme, scoring, sign, metric):
    est = airline_pipeline(gusk, window, scheme).fit(AIRLINE[:120])
    est.set_scoring(scoring or est.scoring)
    held_out = AIRLINE[96:]  # holds the end of the fitted rows: only its own windows are scored
    predictions = est.predict_sliding_window(held_out)[12:, 0]
    assert est.score(held_out) == pytest.approx(sign * metric(held_out[12:, 0], predictions))


def test_a_test_fold_scores_every_row_taking_its_look_back_from_the_rows_before(gusk):
    scores = cross_val_score(airline_pipeline(gusk, lookback=24).set_scoring("r2"), AIRLINE,
                             cv=TimeSeriesSplit(n_splits=2, test_size=24))
    predictions = airline_pipeline(gusk, lookback=24).fit(AIRLINE[:120]).predict_sliding_window(AIRLINE[96:])
    assert scores[-1] == pytest.approx(r2_score(AIRLINE[120:, 0], predictions[24:, 0]))


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
