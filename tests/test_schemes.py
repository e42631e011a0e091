"""Input data transformation schemes and their inverses on the prediction scale.

Every scheme is checked value for value against the one-number formula applied through
``np.vectorize``; the estimator computes the same formulas on whole arrays, so the results
must agree to the last bit.
"""

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_array_equal
from sklearn.linear_model import LinearRegression

from conftest import RecordingStep

FISHER_BOUND = 0.99999999


# ---------------------------------------------------------------------------------------------
# One-number reference formulas


def signed_log(x):
    return np.log(1 + x) if x >= 0 else -np.log(-x + 1)


def inverse_signed_log(x):
    return np.exp(x) - 1 if x >= 0 else 1 - np.exp(-x)


ELEMENT_FORMULAS = {
    "log": signed_log,
    "sqrt": lambda x: np.sqrt(x),
    "reciprocal": lambda x: np.divide(1, x + 1),
    "anscombe": lambda x: 2 * np.sqrt(x + 0.375),
    "fisher": lambda x: np.arctanh(np.clip(x, -FISHER_BOUND, FISHER_BOUND)),
}

INVERSE_ELEMENT_FORMULAS = {
    "log": inverse_signed_log,
    "sqrt": lambda v: np.square(v),
    "reciprocal": lambda v: np.reciprocal(v) - 1,
    "anscombe": lambda v: np.square(v) / 4.0 - 0.375,
    "fisher": lambda v: np.tanh(v),
}

# scheme -> (division?, then signed log?)
MEAN_SCHEMES = {
    "mean_division": (True, False),
    "mean_substraction": (False, False),
    "mean_division_log": (True, True),
    "mean_substraction_log": (False, True),
}

ALL_SCHEMES = list(ELEMENT_FORMULAS) + list(MEAN_SCHEMES)


def assert_bit_exact(actual, expected):
    """Equal values, NaN in the same places, and the same sign on every zero."""
    assert_array_equal(actual, expected)
    numbers = ~np.isnan(expected)
    assert_array_equal(np.signbit(actual[numbers]), np.signbit(expected[numbers]))


def reference_element_scheme(X, clm_index, scheme):
    expected = X.astype(float)
    expected[:, clm_index] = np.vectorize(ELEMENT_FORMULAS[scheme])(X[:, clm_index])
    return expected


def reference_mean_scheme(X, clm_index, scheme):
    """The reference result and the means the scheme must store."""
    division, then_log = MEAN_SCHEMES[scheme]
    selected = X[:, clm_index].astype(float)
    means = np.mean(selected, axis=0)
    if division:
        means = np.where(means == 0, 1.0, means)
        values = np.vectorize(lambda v, m: v / m)(selected, means)
    else:
        values = np.vectorize(lambda v, m: v - m)(selected, means)
    if then_log:
        values = np.vectorize(signed_log)(values)
    expected = X.astype(float)
    expected[:, clm_index] = values
    return expected, means


# ---------------------------------------------------------------------------------------------
# Helpers


def make(gusk, scheme, feature_columns=(1, 2, 4), target_columns=(4, 3)):
    steps = [("t", RecordingStep("t", [])), ("m", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(
        steps, list(feature_columns), list(target_columns), data_transformation_scheme=scheme)


def mixed_data(rows=40, seed=7):
    """Column 0 is a time column; the others mix negatives, zeros, NaN and the special points."""
    rng = np.random.default_rng(seed)
    X = rng.normal(scale=2.0, size=(rows, 5))
    X[:, 0] = np.arange(-5, rows - 5)
    X[3, :] = 0.0
    X[4, 1:] = -0.0
    X[5, 1:] = -1.0  # reciprocal pole
    X[6, 1:] = 1.0  # fisher clip
    X[7, 1:] = -0.375  # anscombe zero
    X[[9, rows - 3], 2] = np.nan
    X[12, 1:] = [0.5, -0.5, 0.999999995, -3.0]
    return X


def usual_clm_index(feature_columns=(1, 2, 4), target_columns=(4, 3)):
    return list(set(list(feature_columns) + list(target_columns)))


# ---------------------------------------------------------------------------------------------
# Forward schemes: bit-exact values


@pytest.mark.parametrize("scheme", list(ELEMENT_FORMULAS))
def test_element_schemes_match_the_one_number_formula(gusk, scheme):
    X = mixed_data()
    est = make(gusk, scheme)
    with np.errstate(invalid="ignore", divide="ignore"):
        result = est._input_data_transformation(X)
        expected = reference_element_scheme(X, usual_clm_index(), scheme)
    assert result.dtype == np.float64
    assert_bit_exact(result, expected)
    assert not hasattr(est, "mean_clm") and not hasattr(est, "mean_clm_index")


@pytest.mark.parametrize("scheme", list(MEAN_SCHEMES))
def test_mean_schemes_match_the_one_number_formula_and_store_the_means(gusk, scheme):
    X = mixed_data()
    est = make(gusk, scheme)
    result = est._input_data_transformation(X=X)
    expected, means = reference_mean_scheme(X, usual_clm_index(), scheme)
    assert_bit_exact(result, expected)
    assert est.mean_clm_index == usual_clm_index()
    assert_array_equal(est.mean_clm, means)
    assert np.isnan(est.mean_clm[1])  # column 2 holds NaN, so its mean is NaN


@pytest.mark.parametrize(
    "scheme,values,expected",
    [
        ("log", [3.0, -3.0, 0.0], [np.log(4.0), -np.log(4.0), 0.0]),
        ("fisher", [1.0, -1.0, 5.0], [np.arctanh(FISHER_BOUND), np.arctanh(-FISHER_BOUND),
                                     np.arctanh(FISHER_BOUND)]),
        ("anscombe", [3.0, -0.375, 0.0], [2 * np.sqrt(3.375), 0.0, 2 * np.sqrt(0.375)]),
        ("reciprocal", [3.0, 0.0, -3.0], [0.25, 1.0, -0.5]),
        ("sqrt", [16.0, 0.0, 2.25], [4.0, 0.0, 1.5]),
    ],
)
def test_known_values(gusk, scheme, values, expected):
    est = make(gusk, scheme, feature_columns=[0], target_columns=[0])
    result = est._input_data_transformation(np.array(values).reshape(-1, 1))
    assert_array_equal(result[:, 0], expected)


def test_fisher_of_one_is_finite(gusk):
    result = make(gusk, "fisher", [0], [0])._input_data_transformation(np.array([[1.0]]))
    assert np.isfinite(result[0, 0]) and result[0, 0] == pytest.approx(9.5569, abs=1e-4)


@pytest.mark.parametrize(
    "scheme,value,check",
    [("sqrt", -4.0, np.isnan), ("reciprocal", -1.0, np.isposinf), ("anscombe", -1.0, np.isnan)],
)
def test_invalid_values_warn_and_do_not_raise(gusk, scheme, value, check):
    est = make(gusk, scheme, [0], [0])
    with pytest.warns(RuntimeWarning):
        result = est._input_data_transformation(np.array([[value], [1.0]]))
    assert check(result[0, 0]) and np.isfinite(result[1, 0])


@pytest.mark.parametrize("scheme", list(ELEMENT_FORMULAS))
def test_zero_rows_give_an_empty_array(gusk, scheme):
    X = np.empty((0, 3))
    result = make(gusk, scheme, [0, 1], [1])._input_data_transformation(X)
    assert isinstance(result, np.ndarray) and result.shape == (0, 3) and result.dtype == np.float64
    assert result is not X


# ---------------------------------------------------------------------------------------------
# "auto" and None


@pytest.mark.parametrize(
    "X,resolved",
    [
        (np.array([[0.0, 1.0, 2.0], [1.0, 2.0, 3.0]]), None),  # zero only in the time column
        (np.array([[1.0, 1.0, 2.0], [1.0, -2.0, 3.0]]), None),
        (np.array([[1.0, 1.0, 2.0], [1.0, 2.0, 0.0]]), None),  # zero in a column outside both lists
        (np.array([[1.0, 1.0, 2.0], [2.0, 2.0, 3.0]]), "log"),
        (np.array([[1.0, np.nan, 2.0], [2.0, 2.0, 3.0]]), "log"),  # NaN is not <= 0
    ],
)
def test_auto_resolves_once_from_the_whole_array(gusk, X, resolved):
    est = make(gusk, "auto", feature_columns=[1], target_columns=[1])
    original = X.copy()
    result = est._input_data_transformation(X)
    assert est.data_transformation_scheme == resolved
    assert est.get_params()["data_transformation_scheme"] == resolved
    if resolved is None:
        assert result is X
    else:
        expected = reference_element_scheme(original, [1], "log")
        assert_array_equal(result, expected)
    assert_array_equal(X, original)


def test_auto_on_a_list_fails_in_the_comparison(gusk):
    with pytest.raises(TypeError):
        make(gusk, "auto", [0], [0])._input_data_transformation([[1.0], [2.0]])


def test_auto_is_not_resolved_again(gusk):
    to_log = make(gusk, "auto", [0], [0])
    to_log._input_data_transformation(np.array([[2.0]]))
    result = to_log._input_data_transformation(np.array([[0.0], [-3.0]]))
    assert to_log.data_transformation_scheme == "log"
    assert_array_equal(result[:, 0], [0.0, -np.log(4.0)])

    to_none = make(gusk, "auto", [0], [0])
    to_none._input_data_transformation(np.array([[0.0]]))
    positive = np.array([[3.0]])
    assert to_none._input_data_transformation(positive) is positive
    assert to_none.data_transformation_scheme is None


@pytest.mark.parametrize("X", [np.array([[1, 2], [3, 4]]), np.array([[1.5, -2.0]]), [[1, 2]]])
def test_none_returns_the_very_object(gusk, X):
    result = make(gusk, None, [0], [0])._input_data_transformation(X)
    assert result is X
    if isinstance(X, np.ndarray):
        assert result.dtype == X.dtype


# ---------------------------------------------------------------------------------------------
# Copies, dtypes, columns


@pytest.mark.parametrize("scheme", ALL_SCHEMES)
def test_int_array_comes_back_float64_with_other_columns_untouched(gusk, scheme):
    X = np.array([[10, 1, 2, 7], [20, 3, 4, 8], [30, 5, 9, 9]])
    est = make(gusk, scheme, feature_columns=[1], target_columns=[2])
    result = est._input_data_transformation(X)
    assert result.dtype == np.float64 and X.dtype.kind == "i"
    assert_array_equal(result[:, [0, 3]], X[:, [0, 3]].astype(float))
    if scheme in MEAN_SCHEMES:
        expected, _ = reference_mean_scheme(X, [1, 2], scheme)
    else:
        expected = reference_element_scheme(X, [1, 2], scheme)
    assert_array_equal(result, expected)


@pytest.mark.parametrize("scheme", ALL_SCHEMES)
def test_callers_array_is_never_modified(gusk, scheme):
    X = mixed_data(rows=15)
    original = X.copy()
    with np.errstate(invalid="ignore", divide="ignore"):
        result = make(gusk, scheme)._input_data_transformation(X)
    assert_array_equal(X, original)
    assert result is not X and not np.shares_memory(result, X)


@pytest.mark.parametrize("scheme", ALL_SCHEMES + ["no_such_scheme"])
@pytest.mark.parametrize("make_X", [lambda: [[1.0, 2.0], [3.0, 4.0]],
                                    lambda: pd.DataFrame({"a": [1.0, 3.0], "b": [2.0, 4.0]})])
def test_non_arrays_pass_through(gusk, messages, scheme, make_X):
    X = make_X()
    est = make(gusk, scheme, [0], [1])
    assert est._input_data_transformation(X) is X
    assert messages.calls == []
    assert not hasattr(est, "mean_clm")


def test_unknown_scheme_raises_the_catalogue_message(gusk, messages):
    est = make(gusk, "cube_root", [0], [0])
    before = dict(vars(est))
    with pytest.raises(Exception) as info:
        est._input_data_transformation(np.array([[1.0], [2.0]]))
    assert type(info.value) is Exception and info.value.args == ("ORVANE0042E",)
    assert messages.calls == [("ORVANE0042E", ())]
    assert vars(est) == before


# Mean division of a zero-mean column divides by one; mean subtraction keeps its zero mean.
@pytest.mark.parametrize("scheme,means,expected", [
    ("mean_division", [1.0, 5.0], [[-1.0, 0.4], [1.0, 0.8], [-2.0, 1.2], [2.0, 1.6]]),
    ("mean_substraction", [0.0, 5.0], [[-1.0, -3.0], [1.0, -1.0], [-2.0, 1.0], [2.0, 3.0]]),
])
def test_mean_schemes_on_a_zero_mean_column(gusk, scheme, means, expected):
    X = np.array([[-1.0, 2.0], [1.0, 4.0], [-2.0, 6.0], [2.0, 8.0]])
    est = make(gusk, scheme, [0, 1], [0, 1])
    result = est._input_data_transformation(X)
    assert_array_equal(est.mean_clm, means)
    assert_array_equal(result, expected)


def test_mean_attributes_follow_the_latest_mean_call_only(gusk):
    est = make(gusk, "mean_division", [0], [0])
    est._input_data_transformation(np.array([[2.0], [4.0]]))
    assert_array_equal(est.mean_clm, [3.0])
    est._input_data_transformation(np.array([[10.0], [30.0]]))
    assert_array_equal(est.mean_clm, [20.0])
    stored = est.mean_clm
    est.data_transformation_scheme = "log"
    est._input_data_transformation(np.array([[1.0], [7.0]]))
    assert est.mean_clm is stored and est.mean_clm_index == [0]


@pytest.mark.parametrize("scheme", ["log", "mean_division"])
def test_overlapping_feature_and_target_columns_are_transformed_once(gusk, scheme):
    X = np.array([[3.0, 3.0, 9.0], [5.0, 7.0, 9.0]])
    est = make(gusk, scheme, feature_columns=[0, 1], target_columns=[1])
    result = est._input_data_transformation(X)
    if scheme == "log":
        assert_array_equal(result, [[np.log(4.0), np.log(4.0), 9.0], [np.log(6.0), np.log(8.0), 9.0]])
    else:
        assert est.mean_clm_index == [0, 1]
        assert_array_equal(result, [[0.75, 0.6, 9.0], [1.25, 1.4, 9.0]])


# ---------------------------------------------------------------------------------------------
# Inverses


def prediction_like(rows=30, columns=3, seed=11):
    rng = np.random.default_rng(seed)
    y = rng.normal(scale=1.5, size=(rows, columns))
    y[0] = [0.0, -0.0, np.nan]
    y[1] = [np.log(4.0), -np.log(4.0), 0.25]
    return y


@pytest.mark.parametrize("scheme", list(INVERSE_ELEMENT_FORMULAS))
def test_element_inverses_match_the_one_number_formula(gusk, scheme):
    y = prediction_like()
    original = y.copy()
    est = make(gusk, scheme, [0], [0])
    with np.errstate(invalid="ignore", divide="ignore"):
        result = est._output_data_transformation(y)
        expected = np.vectorize(INVERSE_ELEMENT_FORMULAS[scheme])(y)
    assert_bit_exact(result, expected)
    assert_array_equal(y, original)
    assert result is not y


@pytest.mark.parametrize(
    "scheme,value,expected",
    [("log", 0.0, 0.0), ("reciprocal", 0.25, 3.0), ("anscombe", 2 * np.sqrt(3.375), 3.0)],
)
def test_inverse_known_values(gusk, scheme, value, expected):
    est = make(gusk, scheme, [0], [0])
    assert est._output_data_transformation(np.array([value]))[0] == expected
    assert est._output_data_transformation(y=np.float64(value)) == expected


@pytest.mark.parametrize("value,expected", [(np.log(4.0), 3.0), (-np.log(4.0), -3.0)])
def test_log_inverse_undoes_the_signed_log(gusk, value, expected):
    result = make(gusk, "log", [0], [0])._output_data_transformation(np.array([value]))
    assert result[0] == pytest.approx(expected, rel=1e-15)


def test_reciprocal_inverse_of_zero_is_infinite_with_a_warning(gusk):
    with pytest.warns(RuntimeWarning):
        result = make(gusk, "reciprocal", [0], [0])._output_data_transformation(np.array([0.0, 0.5]))
    assert np.isposinf(result[0]) and result[1] == 1.0


@pytest.mark.parametrize("scheme", list(MEAN_SCHEMES))
@pytest.mark.parametrize("shape", [(6,), (4, 3), (2, 1)])
def test_mean_inverse_with_one_target_uses_the_single_mean(gusk, scheme, shape):
    division, then_log = MEAN_SCHEMES[scheme]
    est = make(gusk, scheme, [0], [0])
    est.mean_clm, est.mean_clm_index = np.array([4.0]), [0]
    y = np.linspace(-1.5, 2.5, int(np.prod(shape))).reshape(shape)
    result = est._output_data_transformation(y)
    values = np.vectorize(inverse_signed_log)(y) if then_log else y
    expected = np.vectorize((lambda v: v * 4.0) if division else (lambda v: v + 4.0))(values)
    assert result.shape == shape
    assert_bit_exact(result, expected)


@pytest.mark.parametrize("scheme", list(MEAN_SCHEMES))
@pytest.mark.parametrize("window", [1, 3])
def test_mean_inverse_with_two_targets_pairs_each_value_with_its_target(gusk, scheme, window):
    division, then_log = MEAN_SCHEMES[scheme]
    est = make(gusk, scheme, [0, 1], [0, 1])
    est.mean_clm, est.mean_clm_index = np.array([2.0, 10.0]), [0, 1]
    y = np.arange(5 * 2 * window, dtype=float).reshape(5, 2 * window) / 7.0 - 1.0
    result = est._output_data_transformation(y)
    per_column_mean = np.tile([2.0, 10.0], window)  # step-major: target 0, target 1, target 0, ...
    values = np.vectorize(inverse_signed_log)(y) if then_log else y
    op = (lambda v, m: v * m) if division else (lambda v, m: v + m)
    assert result.shape == y.shape
    assert_bit_exact(result, np.vectorize(op)(values, per_column_mean))


def test_mean_inverse_reads_means_by_stored_positions(gusk):
    est = make(gusk, "mean_division", [0, 1, 2], [2, 0])
    est.mean_clm, est.mean_clm_index = np.array([2.0, 3.0, 5.0]), [2, 0]
    result = est._output_data_transformation(np.array([[1.0, 1.0], [2.0, 3.0]]))
    assert_array_equal(result, [[5.0, 2.0], [10.0, 6.0]])


def test_mean_inverse_before_any_forward_call_fails(gusk):
    with pytest.raises(AttributeError, match="mean_clm"):
        make(gusk, "mean_division", [0], [0])._output_data_transformation(np.array([1.0]))


@pytest.mark.parametrize("scheme", ALL_SCHEMES + [None, "auto", "no_such_scheme"])
def test_list_predictions_are_returned_unchanged(gusk, scheme):
    y = [0.5, 1.5]
    assert make(gusk, scheme, [0], [0])._output_data_transformation(y) is y


@pytest.mark.parametrize("scheme", [None, "auto", "no_such_scheme"])
def test_no_inverse_applies(gusk, scheme):
    y = np.array([0.5, -1.5])
    assert make(gusk, scheme, [0], [0])._output_data_transformation(y) is y


# ---------------------------------------------------------------------------------------------
# Round trip in the usual layout


@pytest.mark.parametrize("scheme", ALL_SCHEMES)
@pytest.mark.parametrize("targets", [[0], [0, 1]])
def test_round_trip_on_valid_values(gusk, scheme, targets):
    rng = np.random.default_rng(3)
    X = rng.uniform(0.05, 0.95, size=(30, len(targets)))
    est = make(gusk, scheme, targets, targets)
    back = est._output_data_transformation(est._input_data_transformation(X)[:, targets])
    np.testing.assert_allclose(back, X, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("scheme", ["log"] + list(MEAN_SCHEMES))
def test_round_trip_on_signed_values(gusk, scheme):
    X = np.random.default_rng(5).normal(scale=3.0, size=(25, 3))
    targets = [0, 1, 2]
    est = make(gusk, scheme, targets, targets)
    back = est._output_data_transformation(est._input_data_transformation(X)[:, targets])
    np.testing.assert_allclose(back, X, rtol=1e-12, atol=1e-12)


def test_fisher_round_trip_comes_back_within_the_clip(gusk):
    X = np.array([[1.0, -1.0], [0.5, -0.25], [3.0, 0.0]])
    est = make(gusk, "fisher", [0, 1], [0, 1])
    back = est._output_data_transformation(est._input_data_transformation(X)[:, [0, 1]])
    np.testing.assert_allclose(back, np.clip(X, -FISHER_BOUND, FISHER_BOUND), rtol=1e-12, atol=0)
    assert np.all(np.abs(back) < 1.0)
