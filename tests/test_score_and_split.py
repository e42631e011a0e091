"""Prediction-type constants and the time-ordered train/test split."""

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression
from sklearn.metrics import r2_score
from sklearn.model_selection import cross_val_score

from orvane.gusk.joint_optimizers.cv.tembrel_splits import TimeSeriesTrainTestSplit
from orvane.utils.score import Score


def test_prediction_type_constants_are_lower_case_names():
    assert Score.PREDICT_SLIDING_WINDOW == "sliding_window"
    assert Score.PREDICT_FORECAST == "forecast"


@pytest.mark.parametrize(("n_samples", "n_test", "train", "test"), [
    (10, 3, list(range(7)), [7, 8, 9]),
    (5, 1, [0, 1, 2, 3], [4]),
    (5, 4, [0], [1, 2, 3, 4]),
    (2, 1, [0], [1]),
])
def test_split_takes_the_last_rows_as_test(n_samples, n_test, train, test):
    X = np.arange(n_samples * 2).reshape(n_samples, 2)
    splits = list(TimeSeriesTrainTestSplit(n_test_size=n_test).split(X))
    assert len(splits) == 1
    np.testing.assert_array_equal(splits[0][0], train)
    np.testing.assert_array_equal(splits[0][1], test)


def test_split_accepts_numpy_integers_and_lists():
    train, test = next(TimeSeriesTrainTestSplit(n_test_size=np.int64(2)).split([[0], [1], [2]]))
    np.testing.assert_array_equal(train, [0])
    np.testing.assert_array_equal(test, [1, 2])


@pytest.mark.parametrize("bad", [0, -1, 10, 11, 2.5, 3.0, True, np.True_, None, "3"])
def test_invalid_test_size_is_accepted_at_construction_and_rejected_by_split(bad):
    splitter = TimeSeriesTrainTestSplit(n_test_size=bad)
    assert splitter.n_test_size is bad
    with pytest.raises(ValueError, match=r"n_test_size must be an int between 1 and .* = 9"):
        next(splitter.split(np.zeros((10, 1))))


def test_get_n_splits_and_repr():
    splitter = TimeSeriesTrainTestSplit(n_test_size=3)
    assert splitter.get_n_splits() == 1
    assert splitter.get_n_splits(np.zeros((10, 1))) == 1
    assert repr(splitter) == "TimeSeriesTrainTestSplit(n_test_size=3)"


def test_cross_val_score_scores_on_the_last_rows():
    rng = np.random.RandomState(0)
    X = rng.normal(size=(40, 3))
    y = X @ [1.0, -2.0, 0.5] + rng.normal(scale=0.3, size=40)
    scores = cross_val_score(LinearRegression(), X, y, cv=TimeSeriesTrainTestSplit(n_test_size=10))
    expected = r2_score(y[30:], LinearRegression().fit(X[:30], y[:30]).predict(X[30:]))
    assert scores.shape == (1,)
    assert scores[0] == pytest.approx(expected)
