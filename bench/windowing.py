"""Time Flatten's windowing against a plain NumPy copy of the same output size.

Builds the windows of a 1,000,000-row, 4-column series (look-back 24, all
columns as features, one target) and prints the best of a few runs next to the
time NumPy takes to copy an array as large as the windowed output, measured in
the same process. The ratio is the cost of windowing over the memory traffic
any implementation has to pay.

Run with ``PYTHONPATH=src python bench/windowing.py [--rows N] [--repeat K]``.
"""

import argparse
import time

import numpy as np

from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

LOOKBACK = 24
N_COLUMNS = 4


def best_time(function, repeat):
    """Smallest wall-clock time of ``repeat`` calls, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None  # release the previous output before the next run
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    series = rng.normal(size=(args.rows, N_COLUMNS))
    flatten = Flatten(list(range(N_COLUMNS)), [0], lookback_win=LOOKBACK)

    windows_time, (X_windows, y_windows) = best_time(
        lambda: flatten.fit_transform(series), args.repeat)
    output_shape = X_windows.shape
    del X_windows, y_windows

    source = np.ones(output_shape)
    copy_time, _ = best_time(source.copy, args.repeat)
    del source

    megabytes = np.prod(output_shape) * 8 / 2**20
    print(f"series: {args.rows} rows x {N_COLUMNS} columns, look-back {LOOKBACK}")
    print(f"output: {output_shape[0]} x {output_shape[1]} float64 ({megabytes:.0f} MiB)")
    print(f"Flatten.fit_transform : {windows_time * 1e3:9.1f} ms")
    print(f"numpy copy (baseline) : {copy_time * 1e3:9.1f} ms")
    print(f"ratio                 : {windows_time / copy_time:9.2f}x (aim <= 3x)")


if __name__ == "__main__":
    main()
