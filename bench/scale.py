"""Fit and sliding-window prediction on long series: time and memory over the floor.

For 10^4, 10^5 and 10^6 rows the script times ``GUSKTimeSeriesEstimator``
(``Flatten(lookback_win=24)`` + ``Ridge``): ``fit(X)`` and
``predict(X, prediction_type="sliding_window")`` (one in-sample prediction per
row). The floor is ``Ridge`` itself, fitted and predicting on the
same windowed matrix built beforehand: what any windowing library has to pay
for the model. Ratios above 1 are our overhead (windowing, data checks,
reshaping, padding).

Peak memory is the largest amount of memory allocated at once during the call,
measured with ``tracemalloc`` (NumPy reports its buffers to it) in a separate
run, since tracing slows Python code down. The process's peak resident size
(``resource.getrusage``) is printed at the end for reference.

Run: PYTHONPATH=src python bench/scale.py [--rows 10000 100000 1000000] [--repeat K]
     [--threads T]
"""

import argparse
import gc
import resource
import sys
import time
import tracemalloc

import numpy as np
from sklearn.linear_model import Ridge
from threadpoolctl import threadpool_limits

from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

LOOKBACK = 24


def make_series(n_rows, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n_rows)
    return (np.sin(2 * np.pi * t / 24) + 0.1 * rng.normal(size=n_rows)).reshape(-1, 1)


def make_model():
    return GUSKTimeSeriesEstimator(
        steps=[("flatten", Flatten([0], [0], lookback_win=LOOKBACK)),
               ("ridge", Ridge())],
        feature_columns=[0], target_columns=[0], lookback_win=LOOKBACK,
    )


def best_time(run, repeat):
    """Smallest wall-clock time of ``repeat`` calls of ``run``."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def peak_bytes(run):
    """Largest traced allocation total during one call of ``run``, above what was there before."""
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    baseline = tracemalloc.get_traced_memory()[0]
    result = run()
    peak = tracemalloc.get_traced_memory()[1] - baseline
    tracemalloc.stop()
    del result
    return peak


def measure(n_rows, repeat):
    X = make_series(n_rows)
    windows, targets = Flatten([0], [0], lookback_win=LOOKBACK).fit_transform(X)
    windows = np.ascontiguousarray(windows)  # the floor: a plain prebuilt lag matrix

    fitted = make_model().fit(X)
    floor_model = Ridge().fit(windows, targets)
    runs = {
        "fit": (lambda: make_model().fit(X),
                lambda: Ridge().fit(windows, targets)),
        "sliding-window predict": (
            lambda: fitted.predict(X, prediction_type="sliding_window"),
            lambda: floor_model.predict(windows)),
    }
    rows = []
    for name, (ours, floor) in runs.items():
        rows.append((name,
                     best_time(ours, repeat), best_time(floor, repeat),
                     peak_bytes(ours), peak_bytes(floor)))
    # Same model, same windows: the in-sample predictions must agree with the floor's.
    ours_pred = fitted.predict(X, prediction_type="sliding_window")[LOOKBACK:, 0]
    agreement = float(np.max(np.abs(ours_pred - floor_model.predict(windows))))
    return rows, agreement


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1,
                        help="BLAS and OpenMP threads (default 1: stable timings on a busy "
                             "machine, the same for ours and the floor)")
    args = parser.parse_args()
    with threadpool_limits(args.threads):
        run(args)


def run(args):
    """Measure every series length and print the table."""
    mib = 2.0 ** 20
    print(f"Flatten(lookback_win={LOOKBACK}) + Ridge, one column; best of "
          f"{args.repeat} runs; {args.threads} BLAS thread(s); memory = peak traced "
          f"allocation during the call")
    print(f"{'rows':>9} {'operation':>23} | {'ours s':>8} {'floor s':>8} {'ratio':>6} | "
          f"{'ours MiB':>9} {'floor MiB':>9} {'ratio':>6} | {'max |diff|':>10}")
    for n_rows in args.rows:
        rows, agreement = measure(n_rows, args.repeat)
        for name, ours_t, floor_t, ours_m, floor_m in rows:
            print(f"{n_rows:>9} {name:>23} | {ours_t:8.4f} {floor_t:8.4f} "
                  f"{ours_t / floor_t:6.2f} | {ours_m / mib:9.1f} {floor_m / mib:9.1f} "
                  f"{ours_m / max(floor_m, 1):6.2f} | {agreement:10.2e}")
    scale = 1024.0 if sys.platform != "darwin" else 1.0  # ru_maxrss is KiB on Linux
    peak_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale / mib
    print(f"process peak resident size: {peak_rss:.0f} MiB")
    print("ratio: ours divided by the floor (Ridge's own fit / predict on the "
          "windowed matrix, built beforehand)")


if __name__ == "__main__":
    main()
