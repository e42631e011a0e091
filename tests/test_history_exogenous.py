"""Look-back history stored at fit time, and future values of look-ahead columns."""

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from conftest import RecordingEstimator, RecordingStep

ROW_COUNT_MESSAGE = "number of rows in exogenous cols should match with pred win."
FORMAT_MESSAGE = "exogenous cols not in proper format."


def series(rows, columns=1):
    """Cell (r, c) holds 10 * r + c + 1: never 0, and every value tells where it came from."""
    return 10.0 * np.arange(rows)[:, None] + np.arange(columns) + 1.0


def make(gusk, log=None, n_columns=1, targets=(0,), **kwargs):
    steps = [("window", RecordingStep("window", log if log is not None else [])),
             ("model", RecordingEstimator(log=log))]
    return gusk.GUSKTimeSeriesEstimator(steps, list(range(n_columns)), list(targets), **kwargs)


# ---------------------------------------------------------------------------------------------
# Storing the history


def test_fit_stores_the_last_look_back_rows(gusk, log):
    est = make(gusk, log, n_columns=2, lookback_win=5, store_lookback_history=True)
    X = series(100, 2)
    assert est._store_lookback_history_X(X) is None
    np.testing.assert_array_equal(est.lookback_data_X, X[95:])
    refit = make(gusk, log, n_columns=2, lookback_win=5, store_lookback_history=True).fit(X)
    np.testing.assert_array_equal(refit.lookback_data_X, X[95:])
    assert not hasattr(refit, "look_ahead_mean")


def test_stored_history_is_a_copy(gusk):
    est = make(gusk, lookback_win=3, store_lookback_history=True)
    X = series(10)
    est.fit(X)
    X[:] = -1.0
    np.testing.assert_array_equal(est.lookback_data_X, series(10)[7:])


def test_history_is_the_raw_data_before_the_transformation_scheme(gusk):
    est = make(gusk, lookback_win=3, store_lookback_history=True, data_transformation_scheme="log")
    X = series(10)
    est.fit(X)
    np.testing.assert_array_equal(est.lookback_data_X, X[7:])


@pytest.mark.parametrize("lookback_win,rows", [([3, [2, 6]], 7), ([4, 2], 4), ([[0, 1], [3]], 4)])
def test_per_column_look_back_stores_the_largest_window(gusk, lookback_win, rows):
    est = make(gusk, n_columns=2, lookback_win=lookback_win, store_lookback_history=True)
    X = series(20, 2)
    est._store_lookback_history_X(X)
    np.testing.assert_array_equal(est.lookback_data_X, X[20 - rows:])


def test_look_ahead_means_ignore_missing_values(gusk):
    est = make(gusk, n_columns=3, lookback_win=4, pred_win=3, look_ahead_fcolumns=[2],
               store_lookback_history=True)
    X = series(10, 3)
    X[7, 2], X[9, 2] = np.nan, np.nan
    est._store_lookback_history_X(X)
    assert est.look_ahead_mean.shape == (3, 1)
    mean = (X[6, 2] + X[8, 2]) / 2
    np.testing.assert_array_equal(est.look_ahead_mean, [[mean], [mean], [mean]])


def test_look_ahead_means_follow_the_listed_column_order(gusk):
    est = make(gusk, n_columns=4, lookback_win=2, pred_win=2, look_ahead_fcolumns=[3, 1],
               store_lookback_history=True)
    X = series(6, 4)
    est._store_lookback_history_X(X)
    means = [X[4:, 3].mean(), X[4:, 1].mean()]
    np.testing.assert_array_equal(est.look_ahead_mean, [means, means])


@pytest.mark.parametrize("lookback_win", [0, -2])
def test_no_look_back_stores_none_and_keeps_the_means(gusk, lookback_win):
    est = make(gusk, n_columns=2, lookback_win=lookback_win, look_ahead_fcolumns=[1],
               store_lookback_history=True)
    est.look_ahead_mean = "untouched"
    est._store_lookback_history_X(series(6, 2))
    assert est.lookback_data_X is None and est.look_ahead_mean == "untouched"


@pytest.mark.parametrize("method", ["_store_lookback_history_X", "_add_lookback_history_to_X"])
def test_history_methods_need_store_lookback_history(gusk, messages, method):
    est = make(gusk, lookback_win=3)
    with pytest.raises(Exception) as info:
        getattr(est, method)(series(5))
    assert type(info.value) is Exception and info.value.args == ("ORVANE0045E",)
    assert messages.calls == [("ORVANE0045E", ())]
    assert not hasattr(est, "lookback_data_X")


# ---------------------------------------------------------------------------------------------
# Prepending the history


def test_history_rows_come_first(gusk):
    est = make(gusk, n_columns=2, lookback_win=5, store_lookback_history=True).fit(series(100, 2))
    new = series(2, 2) + 5000.0
    result = est._add_lookback_history_to_X(new)
    np.testing.assert_array_equal(result, np.vstack([series(100, 2)[95:], new]))


def test_no_rows_give_a_copy_of_the_history(gusk):
    est = make(gusk, lookback_win=5, store_lookback_history=True).fit(series(100))
    result = est._add_lookback_history_to_X(None)
    np.testing.assert_array_equal(result, est.lookback_data_X)
    assert result is not est.lookback_data_X
    result[:] = 0.0
    np.testing.assert_array_equal(est.lookback_data_X, series(100)[95:])


@pytest.mark.parametrize("X", [None, np.ones((2, 1))])
def test_without_look_back_rows_are_returned_unchanged(gusk, X):
    est = make(gusk, lookback_win=0, store_lookback_history=True)
    est.fit(series(6))
    assert est._add_lookback_history_to_X(X) is X


def test_different_column_counts_raise_0055_with_the_numpy_error_text(gusk, messages):
    est = make(gusk, n_columns=2, lookback_win=3, store_lookback_history=True).fit(series(10, 2))
    new = series(2, 3)
    with pytest.raises(ValueError) as numpy_error:
        np.concatenate([est.lookback_data_X, new])
    with pytest.raises(Exception) as info:
        est._add_lookback_history_to_X(new)
    assert type(info.value) is Exception
    assert info.value.args == (f"ORVANE0055E|{numpy_error.value}",)
    assert messages.calls == [("ORVANE0055E", (str(numpy_error.value),))]
    assert isinstance(info.value.__context__, ValueError)


def test_history_before_fit_is_an_attribute_error(gusk):
    est = make(gusk, lookback_win=3, store_lookback_history=True)
    with pytest.raises(AttributeError, match="lookback_data_X"):
        est._add_lookback_history_to_X(series(3))


def test_predict_with_two_new_rows_sees_history_and_new_rows(gusk, log):
    est = make(gusk, log, lookback_win=5, store_lookback_history=True).fit(series(100))
    log.clear()
    new = np.array([[7000.0], [8000.0]])
    seen = []
    native = type(est)._add_lookback_history_to_X
    est._add_lookback_history_to_X = lambda X: seen.append(native(est, X)) or seen[-1]
    est.predict(new)
    assert len(seen[0]) == 7
    window = [args[0] for who, method, args in log if method == "transform"][0]
    np.testing.assert_array_equal(window, np.vstack([series(100)[97:], new, [[0.0]]]))


def test_predict_without_rows_forecasts_from_the_history_alone(gusk, log):
    est = make(gusk, log, lookback_win=5, store_lookback_history=True).fit(series(100))
    log.clear()
    est.predict(None)
    window = [args[0] for who, method, args in log if method == "transform"][0]
    np.testing.assert_array_equal(window, np.vstack([series(100)[95:], [[0.0]]]))


# ---------------------------------------------------------------------------------------------
# Future values of look-ahead columns


def exogenous(gusk, pred_win=2, look_ahead=(3,)):
    return make(gusk, n_columns=4, pred_win=pred_win, look_ahead_fcolumns=list(look_ahead))


def test_future_rows_carry_the_look_ahead_values_and_nan_elsewhere(gusk):
    est = exogenous(gusk)
    X = series(3, 4)
    result = est._add_exogenous_to_X(X, np.array([7.0, 8.0]))
    expected = np.vstack([X, [[np.nan, np.nan, np.nan, 7.0], [np.nan, np.nan, np.nan, 8.0]]])
    np.testing.assert_array_equal(result, expected)
    np.testing.assert_array_equal(X, series(3, 4))


def test_look_ahead_columns_in_any_order(gusk):
    est = exogenous(gusk, look_ahead=(3, 1))
    result = est._add_exogenous_to_X(series(2, 4), np.array([[1.0, 2.0], [3.0, 4.0]]))
    np.testing.assert_array_equal(result[2:], [[np.nan, 2.0, np.nan, 1.0], [np.nan, 4.0, np.nan, 3.0]])


@pytest.mark.parametrize(
    "future,look_ahead,message",
    [
        (np.array([7.0, 8.0, 9.0]), (3,), ROW_COUNT_MESSAGE),
        (np.array([7.0]), (3,), ROW_COUNT_MESSAGE),
        (np.array([[7.0, 1.0], [8.0, 2.0]]), (3,), FORMAT_MESSAGE),
        (np.array([7.0, 8.0]), (3, 1), FORMAT_MESSAGE),
    ],
)
def test_malformed_future_values_fail_the_assertions(gusk, future, look_ahead, message):
    est = exogenous(gusk, look_ahead=look_ahead)
    state = dict(vars(est))
    with pytest.raises(AssertionError) as info:
        est._add_exogenous_to_X(series(3, 4), future)
    assert str(info.value) == message
    assert vars(est) == state


def test_predict_sets_missing_future_cells_to_zero(gusk, log):
    est = make(gusk, log, n_columns=4, lookback_win=2, pred_win=2, look_ahead_fcolumns=[3])
    est.fit(series(10, 4))
    log.clear()
    X = series(6, 4)
    est.predict(X, supporting_features=np.array([7.0, 8.0]))
    window = [args[0] for who, method, args in log if method == "transform"][0]
    expected = np.vstack([X[-2:], [[0.0, 0.0, 0.0, 7.0], [0.0, 0.0, 0.0, 8.0]]])
    np.testing.assert_array_equal(window, expected)


def test_predict_uses_the_stored_means_without_future_values(gusk, log):
    est = make(gusk, log, n_columns=4, lookback_win=2, pred_win=2, look_ahead_fcolumns=[3],
               store_lookback_history=True)
    X = series(10, 4)
    est.fit(X)
    log.clear()
    est.predict(None)
    window = [args[0] for who, method, args in log if method == "transform"][0]
    mean = X[8:, 3].mean()
    np.testing.assert_array_equal(window, np.vstack([X[8:], [[0.0, 0.0, 0.0, mean]] * 2]))


def test_predict_without_future_values_or_history_says_what_is_missing(gusk, log):
    est = make(gusk, log, n_columns=4, lookback_win=2, pred_win=2, look_ahead_fcolumns=[3]).fit(series(10, 4))
    with pytest.raises(ValueError, match=r"look_ahead_fcolumns=\[3\]: pass them to predict as supporting_features "
                                         r"\(2 rows, one per forecast step\), or fit with store_lookback_history=True"):
        est.predict(series(6, 4))


# ---------------------------------------------------------------------------------------------
# New observations without refitting


@pytest.mark.parametrize("chunks", [[3], [1, 2], [7, 0, 1]])
def test_update_moves_the_history_to_the_newest_rows(gusk, log, chunks):
    est = make(gusk, log, n_columns=2, lookback_win=3, look_ahead_fcolumns=[1], pred_win=2,
               store_lookback_history=True)
    X = series(30, 2)
    est.fit(X[:20])
    end = 20
    for rows in chunks:
        assert est.update(X[end:end + rows]) is est
        end += rows
    np.testing.assert_array_equal(est.lookback_data_X, X[end - 3:end])
    np.testing.assert_array_equal(est.look_ahead_mean, [[X[end - 3:end, 1].mean()]] * 2)
    log.clear()
    est.predict(None)
    window = [args[0] for who, method, args in log if method == "transform"][0]
    np.testing.assert_array_equal(window[:3], X[end - 3:end])


@pytest.mark.parametrize("store,fit,error,message", [
    (False, True, Exception, "ORVANE0045E"),
    (True, False, NotFittedError, "no stored history yet: call fit before update"),
    (True, True, ValueError, r"update\(X\) takes the new rows as a 2-D array"),
])
def test_update_needs_a_stored_history_and_rows(gusk, messages, store, fit, error, message):
    est = make(gusk, lookback_win=3, store_lookback_history=store)
    if fit:
        est.fit(series(10))
    with pytest.raises(error, match=message):
        est.update(np.ones(2))
