import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal
from sklearn.base import clone
from sklearn.exceptions import NotFittedError

from orvane.gusk.transformers.feature_engineering.base import TargetTransformer
from orvane.gusk.transformers.preprocessing.ts_transformer import (
    DifferenceFlatten,
    DifferenceFlattenX,
    DifferenceNormalizedFlatten,
    Flatten,
    LocalizedFlatten,
    LocalizedFlattenX,
    NormalizedFlatten,
)

FAMILY = [LocalizedFlatten, DifferenceFlatten, NormalizedFlatten, DifferenceNormalizedFlatten]
X_VARIANTS = [LocalizedFlattenX, DifferenceFlattenX]
TARGET_CLASSES = FAMILY + X_VARIANTS
ALL_CLASSES = [Flatten] + TARGET_CLASSES


def series(n_rows=12):
    """Columns: t, 10 t, 1000 + t**2 (t = 0 .. n_rows - 1)."""
    t = np.arange(n_rows, dtype=float)
    return np.column_stack([t, 10 * t, 1000 + t**2])


def raw_targets(transformer, y):
    """Targets on the raw scale, whatever the class."""
    if isinstance(transformer, TargetTransformer):
        return transformer.inverse_transform(y)
    return y


def test_class_relations():
    assert not isinstance(Flatten([0], [0]), TargetTransformer)
    for cls in TARGET_CLASSES:
        assert issubclass(cls, TargetTransformer)
    for cls in X_VARIANTS + [Flatten]:
        assert not issubclass(cls, tuple(FAMILY))
    for cls in FAMILY:
        assert [c for c in FAMILY if issubclass(cls, c)] == [cls]
        assert not issubclass(cls, tuple(X_VARIANTS))


def test_flatten_exact_windows():
    Xw, y = Flatten([0], [0], lookback_win=3).fit_transform(series(8))
    assert_array_equal(Xw, [[0, 1, 2], [1, 2, 3], [2, 3, 4], [3, 4, 5], [4, 5, 6]])
    assert_array_equal(y, [3, 4, 5, 6, 7])


def test_flatten_multi_feature_multi_target_step_major():
    Xw, y = Flatten([1, 0], [0, 1], lookback_win=2, pred_win=2).transform(series(6))
    assert_array_equal(Xw, [[0, 10, 0, 1], [10, 20, 1, 2], [20, 30, 2, 3]])
    assert_array_equal(y, [[2, 20, 3, 30], [3, 30, 4, 40], [4, 40, 5, 50]])


def test_flatten_lag_lists_and_look_ahead():
    flatten = Flatten([0, 1], [0], lookback_win=[[0, 2], 2], pred_win=2,
                      look_ahead_fcol_index=[2])
    Xw, y = flatten.transform(series(7))
    # L = 3: column 0 at lags 0 and 2, column 1's last two values, column 2 at t, t+1.
    assert_array_equal(Xw, [[2, 0, 10, 20, 1009, 1016],
                            [3, 1, 20, 30, 1016, 1025],
                            [4, 2, 30, 40, 1025, 1036]])
    assert_array_equal(y, [[3, 4], [4, 5], [5, 6]])


@pytest.mark.parametrize("cls", ALL_CLASSES)
@pytest.mark.parametrize("lookback", [2, 4, [3, [0, 4]]])
def test_window_i_predicts_row_lookback_plus_i(cls, lookback):
    X = series(12)
    transformer = cls([0, 1], [2], lookback_win=lookback)
    Xw, y = transformer.fit_transform(X)
    L = 5 if isinstance(lookback, list) else lookback
    assert Xw.shape[0] == y.shape[0] == 12 - L
    assert_allclose(raw_targets(transformer, y), X[L:, 2], rtol=0, atol=1e-12)


# Prediction 0 on the transformed scale, mapped back, for history 0, 1, 4, 9 (L = 4).
ZERO_PREDICTION = {
    Flatten: None,
    LocalizedFlatten: 9.0,
    DifferenceFlatten: 9.0,
    NormalizedFlatten: 3.5,
    DifferenceNormalizedFlatten: 12.0,
    LocalizedFlattenX: 9.0,
    DifferenceFlattenX: 9.0,
}


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_history_plus_placeholder_gives_one_window(cls):
    history = np.column_stack([np.arange(4.0) ** 2, np.arange(4.0)])
    X = np.vstack([history, np.zeros((1, 2))])
    transformer = cls([0, 1], [0], lookback_win=4)
    transformer.fit(np.arange(40.0).reshape(20, 2))
    Xw, y = transformer.transform(X)
    assert Xw.shape[0] == 1 and y.shape == (1,)
    if cls is Flatten:
        assert_array_equal(Xw, [[0, 1, 4, 9, 0, 1, 2, 3]])
    else:
        assert_allclose(transformer.inverse_transform(np.zeros(1)), [ZERO_PREDICTION[cls]])


S = np.sqrt(2 / 3)        # std of three consecutive integers
Q = np.sqrt(8 / 3)        # std of the differences 1, 3, 5
EXPECTED_TWO_TARGETS = {  # look-back 3 (4 when differencing), pred_win 2, first window
    LocalizedFlatten: ([[-2, -1, 0], [-20, -10, 0]], [[1, 2], [10, 20]]),
    DifferenceFlatten: ([[1, 1], [10, 10]], [[1, 1], [10, 10]]),
    NormalizedFlatten: ([[-1 / S, 0, 1 / S], [-1 / S, 0, 1 / S]], [[2 / S, 3 / S]] * 2),
    DifferenceNormalizedFlatten: ([[-2 / Q, 0, 2 / Q], [0, 0, 0]],
                                  [[4 / Q, 6 / Q], [0, 0]]),
}


@pytest.mark.parametrize("cls", FAMILY)
def test_family_rows_are_step_major_blocks(cls):
    X = series(9)
    targets = [0, 1] if cls is not DifferenceNormalizedFlatten else [2, 1]
    lookback = 4 if cls is DifferenceNormalizedFlatten else 3
    transformer = cls([0, 1, 2], targets, lookback_win=lookback, pred_win=2)
    Xw, y = transformer.fit_transform(X)
    n_windows = 9 - lookback - 2 + 1
    assert Xw.shape[0] == y.shape[0] == 2 * n_windows
    expected_X, expected_y = EXPECTED_TWO_TARGETS[cls]
    assert_allclose(Xw[:2], expected_X, rtol=1e-13, atol=1e-13)
    assert_allclose(y[:2], expected_y, rtol=1e-13, atol=1e-13)
    # Rows alternate between the two targets, window after window.
    raw = transformer.inverse_transform(y)
    for j, column in enumerate(targets):
        expected = np.column_stack([X[lookback + k:lookback + k + n_windows, column]
                                    for k in range(2)])
        assert_allclose(raw[j::2], expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("cls, expected_X, expected_y", [
    (LocalizedFlattenX,
     [[-2, -1, 0, -2, -1, 0, 5, 12], [-20, -10, 0, -2, -1, 0, 5, 12]],
     [[1, 2], [10, 20]]),
    (DifferenceFlattenX,
     [[1, 1, 1, 1, 5, 7], [10, 10, 1, 1, 5, 7]],
     [[1, 1], [10, 10]]),
])
def test_x_variants_carry_features_and_look_ahead(cls, expected_X, expected_y):
    # Columns t, 10 t, 1000 + t**2 and t again; column 3 is a feature but no target,
    # so its window (after each target's own) is shared by both rows of a window.
    X = np.column_stack([series(7), np.arange(7.0)])
    transformer = cls([0, 3], [0, 1], lookback_win=3, pred_win=2, look_ahead_fcol_index=[2])
    Xw, y = transformer.fit_transform(X)
    assert Xw.shape == (2 * 3, len(expected_X[0]))
    assert_array_equal(Xw[:2], expected_X)
    assert_array_equal(y[:2], expected_y)
    assert_allclose(transformer.inverse_transform(y)[1::2], [[30, 40], [40, 50], [50, 60]])


@pytest.mark.parametrize("cls", TARGET_CLASSES)
@pytest.mark.parametrize("shape_kind", ["flat", "column", "steps", "per_target"])
def test_inverse_round_trip_for_every_shape(cls, shape_kind):
    t = np.arange(30.0)
    X = np.column_stack([t**1.5, np.sqrt(t) * 7, 3 * t])
    pred_win = 3 if shape_kind == "steps" else 1
    transformer = cls([0, 1, 2], [0, 1], lookback_win=4, pred_win=pred_win)
    _, y = transformer.fit_transform(X)
    n_windows = 30 - 4 - pred_win + 1
    # expected[w, j, k]: target j at step k of window w
    expected = np.stack([X[4 + k:4 + k + n_windows, :2] for k in range(pred_win)], axis=-1)
    shaped = {"flat": y, "column": y.reshape(-1, 1), "steps": y,
              "per_target": y.reshape(-1, 2)}[shape_kind]
    before = shaped.copy()
    restored = transformer.inverse_transform(shaped)
    assert restored.shape == shaped.shape and restored is not shaped
    assert_array_equal(shaped, before)
    assert_allclose(restored.reshape(-1, pred_win), expected.reshape(-1, pred_win),
                    rtol=0, atol=1e-12)


@pytest.mark.parametrize("cls", TARGET_CLASSES)
def test_inverse_transform_errors(cls):
    transformer = cls([0], [0], lookback_win=3)
    with pytest.raises(NotFittedError, match="inverse_transform"):
        transformer.inverse_transform(np.zeros(3))
    transformer.transform(series(8))
    with pytest.raises(ValueError, match=r"y holds 4 value.*5 row\(s\) of 1 step"):
        transformer.inverse_transform(np.zeros(4))


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_set_params_adjust_indices_and_clone(cls):
    X = series(10)
    transformer = cls([0, 1], [0], lookback_win=3)
    transformer.set_params(lookback_win=5)
    Xw, y = transformer.fit_transform(X)
    assert Xw.shape[0] == 5 and transformer.n_features_in_ == 3
    transformer._adjust_indices(target_columns=[2], feature_columns=[2])
    assert transformer.target_col_index == [2] and transformer.feature_col_index == [2]
    _, y = transformer.transform(X)
    assert_allclose(raw_targets(transformer, y), X[5:, 2], atol=1e-12)
    copy = clone(transformer)
    assert copy.get_params() == transformer.get_params()
    assert not hasattr(copy, "n_features_in_") and not hasattr(copy, "n_target_rows_")


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_input_is_not_modified_and_int_or_bool_is_accepted(cls):
    X = np.arange(24).reshape(8, 3)
    before = X.copy()
    transformer = cls([0], [1], lookback_win=2)
    assert transformer.fit(X) is transformer
    Xw, _ = transformer.transform(X)
    assert Xw.dtype == np.float64
    assert_array_equal(X, before)
    assert transformer.transform(X % 2 == 0)[0].shape[0] == 6


def make(cls, **changes):
    params = dict(feature_col_index=[0, 1], target_col_index=[0], lookback_win=3)
    params.update(changes)
    return cls(**params)


BAD_SETTINGS = [
    (dict(), np.array([["a", "b"]] * 8), "must hold numbers"),
    (dict(), np.array([[1, "one"]] * 8, dtype=object), "must hold numbers.*could not convert"),
    (dict(), np.arange(8.0), "2-D array"),
    (dict(), np.where(np.arange(24.0).reshape(8, 3) == 10, -np.inf, 1.0), "-inf at row 3, column 1"),
    (dict(target_col_index=[3]), None, "column index 3, but X has 3 column"),
    (dict(feature_col_index=[0, -1], lookback_win=3), None, "column index -1"),
    (dict(feature_col_index=[0, 1.0]), None, "integer column indices"),
    (dict(target_col_index=0), None, "list of column indices"),
    (dict(target_col_index=[]), None, "target_col_index is empty"),
    (dict(lookback_win=0), None, "lookback_win must be a positive int"),
    (dict(lookback_win=2.5), None, "lookback_win must be a positive int"),
    (dict(lookback_win=[3]), None, "1 entries but feature_col_index has 2"),
    (dict(lookback_win=[3, []]), None, r"lookback_win\[1\]"),
    (dict(lookback_win=[[0, -1], 2]), None, r"lookback_win\[0\]"),
    (dict(lookback_win=[3, 0]), None, r"lookback_win\[1\] must be a positive"),
    (dict(pred_win=0), None, "pred_win must be an int >= 1"),
    (dict(pred_win=True), None, "pred_win must be an int >= 1"),
    (dict(lookback_win=6, pred_win=3), None, "8 row.*need at least 9 rows"),
]


@pytest.mark.parametrize("cls", ALL_CLASSES)
@pytest.mark.parametrize("changes, X, message", BAD_SETTINGS)
def test_invalid_input_raises_value_error(cls, changes, X, message):
    X = series(8) if X is None else X
    with pytest.raises(ValueError, match=message):
        make(cls, **changes).fit_transform(X)


@pytest.mark.parametrize("cls", [Flatten] + X_VARIANTS)
def test_bad_look_ahead_column(cls):
    with pytest.raises(ValueError, match="look_ahead_fcol_index holds column index 5"):
        make(cls, look_ahead_fcol_index=[5]).transform(series(8))


@pytest.mark.parametrize("cls", [DifferenceFlatten, DifferenceNormalizedFlatten,
                                 DifferenceFlattenX])
def test_differencing_needs_two_rows_of_look_back(cls):
    with pytest.raises(ValueError, match=f"{cls.__name__} differences.*at least 2"):
        make(cls, lookback_win=1).transform(series(8))


@pytest.mark.parametrize("cls", [Flatten] + X_VARIANTS)
def test_empty_look_ahead_list_means_none(cls):
    X = series(9)
    with_none = make(cls, look_ahead_fcol_index=None).transform(X)
    with_empty = make(cls, look_ahead_fcol_index=[]).transform(X)
    for got, expected in zip(with_empty, with_none, strict=True):
        assert_array_equal(got, expected)
    assert with_none[0].shape[1] < make(cls, look_ahead_fcol_index=[2]).transform(X)[0].shape[1]


@pytest.mark.parametrize(("features", "lookback", "pred_win", "look_ahead"), [
    ([0], 4, 1, None),
    ([1], 3, 2, None),
    ([0], 4, 1, [1]),      # look-ahead values follow the window
    ([0, 1], 3, 1, None),  # two columns per row
    ([0], [[0, 2]], 1, None),  # lags
])
def test_windows_are_a_writeable_contiguous_matrix_of_their_own(
        features, lookback, pred_win, look_ahead):
    X = np.arange(40.0).reshape(20, 2) ** 1.5
    flatten = Flatten(features, [0], lookback_win=lookback, pred_win=pred_win,
                      look_ahead_fcol_index=look_ahead)
    windows, targets = flatten.transform(X)
    expected = np.array(windows)
    assert windows.flags.writeable and windows.flags.c_contiguous and windows.flags.owndata
    assert np.shares_memory(windows, X) is False
    if len(features) == 1 and look_ahead is None and isinstance(lookback, int):
        # row w is the column's rows w .. w + lookback - 1
        assert_array_equal(windows, np.lib.stride_tricks.sliding_window_view(
            X[:len(windows) + lookback - 1, features[0]], lookback))
    X[:] = -1.0  # the caller reuses its array: the windows keep their values
    assert_array_equal(windows, expected)
    assert_array_equal(flatten.transform(np.arange(40.0).reshape(20, 2) ** 1.5)[1], targets)


def test_windows_feed_scikit_learn_pipelines_that_scale_in_place():
    from sklearn.linear_model import Ridge
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X = np.sin(np.arange(200.0) / 5).reshape(-1, 1)
    flatten = Flatten([0], [0], lookback_win=8)
    windows, targets = flatten.transform(X)
    reference = make_pipeline(StandardScaler(), Ridge(alpha=1e-6)).fit(np.array(windows), targets)
    model = make_pipeline(StandardScaler(copy=False), Ridge(alpha=1e-6)).fit(windows, targets)
    fresh = flatten.transform(X)[0]
    assert_allclose(model.predict(fresh.copy()), reference.predict(fresh), atol=1e-12)
    assert_array_equal(X[:, 0], np.sin(np.arange(200.0) / 5))  # the series itself is untouched
