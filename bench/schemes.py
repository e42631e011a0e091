"""Time the data transformation schemes against a per-element np.vectorize version.

For every scheme, the estimator's forward transformation (``_input_data_transformation``)
and its inverse (``_output_data_transformation``) run on 1,000,000 values (a
250,000 x 4 series, every column a feature and a target). Each is timed next to an
implementation of the same scheme that applies the one-number formula through
``np.vectorize``, measured in the same process on the same data, and the script prints
the speed-up and whether the two results agree bit for bit.

Run with ``PYTHONPATH=src python bench/schemes.py [--rows N] [--repeat K]``.
"""

import argparse
import time

import numpy as np
from sklearn.linear_model import LinearRegression

from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

N_COLUMNS = 4
FISHER_BOUND = 0.99999999


def signed_log(x):
    return np.log(1 + x) if x >= 0 else -np.log(-x + 1)


def inverse_signed_log(x):
    return np.exp(x) - 1 if x >= 0 else 1 - np.exp(-x)


ELEMENT = {
    "log": (signed_log, inverse_signed_log),
    "sqrt": (np.sqrt, np.square),
    "reciprocal": (lambda x: np.divide(1, x + 1), lambda v: np.reciprocal(v) - 1),
    "anscombe": (lambda x: 2 * np.sqrt(x + 0.375), lambda v: np.square(v) / 4.0 - 0.375),
    "fisher": (lambda x: np.arctanh(np.clip(x, -FISHER_BOUND, FISHER_BOUND)), np.tanh),
}

# scheme -> (divide by the mean (else subtract it), then apply the signed logarithm)
MEAN = {
    "mean_division": (True, False),
    "mean_substraction": (False, False),
    "mean_division_log": (True, True),
    "mean_substraction_log": (False, True),
}


def vectorized_forward(X, columns, scheme):
    """The scheme applied element by element; returns the result and the column means."""
    X = X.copy().astype(float)
    selected = X[:, columns]
    means = None
    if scheme in ELEMENT:
        X[:, columns] = np.vectorize(ELEMENT[scheme][0])(selected)
        return X, means
    division, then_log = MEAN[scheme]
    means = np.mean(selected, axis=0)
    if division:
        means[means == 0] = 1.0
        values = np.vectorize(lambda v, m: v / m)(selected, means)
    else:
        values = np.vectorize(lambda v, m: v - m)(selected, means)
    if then_log:
        values = np.vectorize(signed_log)(values)
    X[:, columns] = values
    return X, means


def vectorized_inverse(y, scheme, means):
    """The inverse applied element by element (one column per target)."""
    if scheme in ELEMENT:
        return np.vectorize(ELEMENT[scheme][1])(y)
    division, then_log = MEAN[scheme]
    if then_log:
        y = np.vectorize(inverse_signed_log)(y)
    if division:
        return np.vectorize(lambda v, m: v * m)(y, means)
    return np.vectorize(lambda v, m: v + m)(y, means)


def best_time(function, repeat):
    """Smallest wall-clock time of ``repeat`` calls, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def same_bits(a, b):
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=True))


def estimator_for(scheme, columns):
    steps = [("flatten", Flatten(columns, columns)), ("model", LinearRegression())]
    return GUSKTimeSeriesEstimator(steps, columns, columns, data_transformation_scheme=scheme)


def measure(scheme, X, columns, repeat):
    """Forward and inverse timings of one scheme: (fast, vectorized, bit-exact) for each."""
    est = estimator_for(scheme, columns)
    forward_time, forward = best_time(lambda: est._input_data_transformation(X), repeat)
    reference_forward_time, (reference, means) = best_time(
        lambda: vectorized_forward(X, columns, scheme), 1)
    forward_row = (forward_time, reference_forward_time, same_bits(forward, reference))

    # The forward call above left the means of X on the estimator for the inverse.
    y = forward[:, columns]
    inverse_time, inverse = best_time(lambda: est._output_data_transformation(y), repeat)
    reference_inverse_time, reference_inverse = best_time(
        lambda: vectorized_inverse(y, scheme, means), 1)
    inverse_row = (inverse_time, reference_inverse_time, same_bits(inverse, reference_inverse))
    return forward_row, inverse_row


def print_table(title, rows):
    print(title)
    print(f"  {'scheme':<22}{'estimator':>12}{'np.vectorize':>15}{'speed-up':>11}  bit-exact")
    for scheme, (fast, slow, exact) in rows:
        print(f"  {scheme:<22}{fast * 1e3:>9.1f} ms{slow * 1e3:>12.1f} ms{slow / fast:>10.0f}x"
              f"  {'yes' if exact else 'NO'}")
    speed_ups = [slow / fast for _, (fast, slow, _) in rows]
    print(f"  smallest speed-up {min(speed_ups):.0f}x (aim >= 50x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=250_000)
    parser.add_argument("--repeat", type=int, default=5,
                        help="runs of the estimator's version; the best one counts")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    # Both signs, so both branches of the signed logarithm run; NaN where sqrt and anscombe
    # meet negative values, as they would on real data.
    X = rng.uniform(-0.9, 0.9, size=(args.rows, N_COLUMNS))
    columns = list(range(N_COLUMNS))

    forward_rows, inverse_rows = [], []
    with np.errstate(invalid="ignore"):
        for scheme in list(ELEMENT) + list(MEAN):
            forward_row, inverse_row = measure(scheme, X, columns, args.repeat)
            forward_rows.append((scheme, forward_row))
            inverse_rows.append((scheme, inverse_row))

    print(f"data: {args.rows} rows x {N_COLUMNS} columns = {args.rows * N_COLUMNS} values, "
          f"all columns features and targets; estimator best of {args.repeat}, np.vectorize once")
    print_table("forward (_input_data_transformation)", forward_rows)
    print_table("inverse (_output_data_transformation)", inverse_rows)


if __name__ == "__main__":
    main()
