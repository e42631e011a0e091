"""Indicator columns for step-major multi-target rows, and folding those rows back per step."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal
from sklearn.linear_model import LinearRegression

from orvane.gusk.transformers.preprocessing.ts_transformer import (
    DifferenceFlatten,
    DifferenceFlattenX,
    DifferenceNormalizedFlatten,
    Flatten,
    LocalizedFlatten,
    LocalizedFlattenX,
    NormalizedFlatten,
)

STEP_MAJOR = [NormalizedFlatten, DifferenceNormalizedFlatten, LocalizedFlatten, DifferenceFlatten]
ONE_ROW_PER_WINDOW = [Flatten, LocalizedFlattenX, DifferenceFlattenX]


def make(gusk, target_columns, first=None):
    """An estimator whose first transformer is ``first`` (unfitted: the encoder only tests its type)."""
    targets = list(target_columns)
    first = first if first is not None else NormalizedFlatten([0, 1, 2], targets or [0])
    est = gusk.GUSKTimeSeriesEstimator([("first", first), ("model", LinearRegression())],
                                       [0, 1, 2], targets)
    est.transformer_steps = [first]
    return est


def transformed_rows(rows, columns=3):
    return np.arange(rows * columns, dtype=float).reshape(rows, columns)


# ---------------------------------------------------------------------------------------------
# _multi_variate_col_encoder


@pytest.mark.parametrize("transformer_class", STEP_MAJOR)
def test_step_major_transformers_get_indicator_columns(gusk, transformer_class):
    Xt = transformed_rows(5)
    est = make(gusk, [0, 1], transformer_class([0, 1, 2], [0, 1]))
    result = est._multi_variate_col_encoder(Xt)
    assert result.shape == (5, 5) and result.dtype == np.float64
    assert_array_equal(result[:, :3], Xt)
    assert_array_equal(result[:, 3:], [[1, 0], [0, 1], [1, 0], [0, 1], [0, 0]])


def test_three_targets_mark_row_modulo_three_and_leave_the_incomplete_block_blank(gusk):
    Xt = transformed_rows(8, columns=2)
    result = make(gusk, [0, 1, 2])._multi_variate_col_encoder(Xt=Xt)
    indicators = np.vstack([np.eye(3), np.eye(3), np.zeros((2, 3))])
    assert_array_equal(result, np.hstack((Xt, indicators)))


def test_indicators_follow_the_rows_a_real_transformer_emits(gusk):
    series = np.column_stack([np.arange(1.0, 9.0), np.arange(11.0, 19.0), np.arange(21.0, 29.0)])
    first = NormalizedFlatten([0, 1, 2], [1, 2], lookback_win=3)
    Xt, yt = first.fit_transform(series)
    est = make(gusk, [1, 2], first)
    result = est._multi_variate_col_encoder(Xt)
    assert len(Xt) == 2 * 5  # five windows, two target rows each
    assert_array_equal(result[:, -2:], np.tile(np.eye(2), (5, 1)))
    assert_array_equal(result[:, :-2], Xt)


@pytest.mark.parametrize("transformer_class", ONE_ROW_PER_WINDOW)
def test_one_row_per_window_transformers_get_no_indicators(gusk, transformer_class):
    Xt = transformed_rows(4)
    est = make(gusk, [0, 1], transformer_class([0, 1, 2], [0, 1]))
    assert est._multi_variate_col_encoder(Xt) is Xt


@pytest.mark.parametrize("target_columns", [[0], []])
def test_at_most_one_target_returns_the_same_object_without_reading_transformers(gusk, target_columns):
    Xt = transformed_rows(4)
    est = make(gusk, target_columns)
    est.transformer_steps = None  # would fail if it were read
    assert est._multi_variate_col_encoder(Xt) is Xt
    assert_array_equal(Xt, transformed_rows(4))


def test_two_targets_without_transformers_fail(gusk):
    est = make(gusk, [0, 1])
    est.transformer_steps = []
    with pytest.raises(IndexError):
        est._multi_variate_col_encoder(transformed_rows(4))


def test_encoder_reads_the_transformer_classes_from_the_module(gusk, monkeypatch):
    """A transformer class the module is told to treat as step-major gets indicators."""
    monkeypatch.setattr(gusk, "NormalizedFlatten", Flatten)
    est = make(gusk, [0, 1], Flatten([0, 1, 2], [0, 1]))
    assert est._multi_variate_col_encoder(transformed_rows(2)).shape == (2, 5)


# ---------------------------------------------------------------------------------------------
# _transformer_helper


@pytest.mark.parametrize("as_list", [False, True])
def test_helper_folds_one_dimensional_blocks_and_drops_the_incomplete_one(gusk, as_list):
    y_pred = [1.0, 2.0, 3.0, 4.0, 5.0]
    result = make(gusk, [0, 1])._transformer_helper(y_pred if as_list else np.array(y_pred))
    assert isinstance(result, np.ndarray)
    assert_array_equal(result, [[1.0, 2.0], [3.0, 4.0]])


# Each block of rows (one per target) becomes one row: all targets of horizon step 0, then of
# step 1, ...; an incomplete last block is dropped.
@pytest.mark.parametrize("targets,shape,by_keyword,expected", [
    ([0, 1], (4, 3), True, [[0, 3, 1, 4, 2, 5], [6, 9, 7, 10, 8, 11]]),
    ([0, 1], (5, 3), True, [[0, 3, 1, 4, 2, 5], [6, 9, 7, 10, 8, 11]]),
    ([0, 1, 2], (7, 2), False, [[0, 2, 4, 1, 3, 5], [6, 8, 10, 7, 9, 11]]),
])
def test_helper_transposes_two_dimensional_blocks(gusk, targets, shape, by_keyword, expected):
    y_pred = np.arange(np.prod(shape), dtype=float).reshape(shape)
    helper = make(gusk, targets)._transformer_helper
    result = helper(y_pred=y_pred) if by_keyword else helper(y_pred)
    assert_array_equal(result, expected)


def test_helper_with_one_target_makes_one_column(gusk):
    result = make(gusk, [0])._transformer_helper(np.array([4.0, 5.0, 6.0]))
    assert result.shape == (3, 1)
    assert_array_equal(result[:, 0], [4.0, 5.0, 6.0])


def test_helper_with_fewer_rows_than_targets_returns_an_empty_array(gusk):
    result = make(gusk, [0, 1])._transformer_helper(np.array([7.0]))
    assert isinstance(result, np.ndarray) and result.shape == (0,)


def test_helper_returns_a_new_array(gusk):
    y_pred = np.arange(6, dtype=float)
    result = make(gusk, [0, 1])._transformer_helper(y_pred)
    assert not np.shares_memory(result, y_pred)
    result[0, 0] = 99.0
    assert y_pred[0] == 0.0


def test_helper_without_targets_divides_by_zero(gusk):
    with pytest.raises(ZeroDivisionError):
        make(gusk, [])._transformer_helper(np.arange(4.0))
