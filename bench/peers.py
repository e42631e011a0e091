"""Recursive forecasting with Ridge on 24 lags: orvane next to other forecasting libraries.

Every library gets the same task: a 10,000-point series, scikit-learn ``Ridge``
on the last 24 values, fit, then a 100-step recursive forecast. Ours is
``GUSKTimeSeriesEstimator`` with ``Flatten(lookback_win=24)`` + ``Ridge``, the
"recursive" strategy and ``multistep_prediction_win=100``.

For each library the script prints the best wall-clock time of a few runs for
fit and for the forecast, its ratio to ours, the share of that time spent inside
``Ridge.fit`` / ``Ridge.predict`` themselves (measured by a ``Ridge`` subclass
that records its own time: the floor no library can go below), and how far its
forecast is from ours (all should agree closely: same model, same lags).

Libraries that are not installed are reported as missing. Install them with
``pip install ".[peers]"`` in a virtual environment of their own (some of them pin older
pandas or scikit-learn releases).

Run: PYTHONPATH=src python bench/peers.py [--points N] [--steps H] [--repeat K] [--profile]
     [--threads T]
"""

import argparse
import cProfile
import contextlib
import inspect
import io
import os
import pstats
import time
import warnings

import numpy as np
from sklearn.linear_model import Ridge
from threadpoolctl import threadpool_limits

LAGS = 24


# ---------------------------------------------------------------------------
# The floor: time spent inside Ridge itself
# ---------------------------------------------------------------------------

class RidgeClock:
    """Seconds spent inside ``TimedRidge.fit`` and ``TimedRidge.predict`` since the last reset."""

    fit = 0.0
    predict = 0.0
    predict_calls = 0

    @classmethod
    def reset(cls):
        cls.fit, cls.predict, cls.predict_calls = 0.0, 0.0, 0


class TimedRidge(Ridge):
    """``Ridge`` that adds the time of its own ``fit`` and ``predict`` to :class:`RidgeClock`.

    It takes exactly Ridge's parameters, so cloning (which some libraries do) keeps it.
    """

    def fit(self, X, y, sample_weight=None):
        start = time.perf_counter()
        try:
            return super().fit(X, y, sample_weight=sample_weight)
        finally:
            RidgeClock.fit += time.perf_counter() - start

    def predict(self, X):
        start = time.perf_counter()
        try:
            return super().predict(X)
        finally:
            RidgeClock.predict += time.perf_counter() - start
            RidgeClock.predict_calls += 1


# ---------------------------------------------------------------------------
# One adapter per library: build(y) -> fitted model, forecast(model, y, steps) -> array
# ---------------------------------------------------------------------------

class Ours:
    name = "orvane"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
        from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

        model = GUSKTimeSeriesEstimator(
            steps=[("flatten", Flatten([0], [0], lookback_win=LAGS)), ("ridge", TimedRidge())],
            feature_columns=[0], target_columns=[0], lookback_win=LAGS,
            multistep_prediction_strategy="recursive", multistep_prediction_win=self.steps,
        )
        return model.fit(y.reshape(-1, 1))

    def forecast(self, model, y):
        return model.predict(y.reshape(-1, 1))[:, 0]


class Skforecast:
    name = "skforecast"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        import pandas as pd
        try:
            from skforecast.recursive import ForecasterRecursive
        except ImportError:  # releases before 0.14
            from skforecast.ForecasterAutoreg import ForecasterAutoreg as ForecasterRecursive
        # The model argument was renamed from "regressor" to "estimator" in recent releases.
        parameters = inspect.signature(ForecasterRecursive).parameters
        keyword = "estimator" if "estimator" in parameters else "regressor"
        forecaster = ForecasterRecursive(**{keyword: TimedRidge()}, lags=LAGS)
        forecaster.fit(y=pd.Series(y))
        return forecaster

    def forecast(self, model, y):
        return np.asarray(model.predict(steps=self.steps), dtype=float)


class Sktime:
    name = "sktime"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        import pandas as pd
        from sktime.forecasting.compose import make_reduction

        forecaster = make_reduction(TimedRidge(), window_length=LAGS, strategy="recursive")
        return forecaster.fit(pd.Series(y))

    def forecast(self, model, y):
        return np.asarray(model.predict(fh=np.arange(1, self.steps + 1)), dtype=float)


class Darts:
    name = "darts"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        from darts import TimeSeries
        import darts.models as models

        model_class = getattr(models, "SKLearnModel", None) or models.RegressionModel
        model = model_class(lags=LAGS, model=TimedRidge())
        return model.fit(TimeSeries.from_values(y))

    def forecast(self, model, y):
        return np.asarray(model.predict(self.steps).values(), dtype=float)[:, 0]


class MLForecast:
    name = "mlforecast"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        import pandas as pd
        from mlforecast import MLForecast as Forecaster

        frame = pd.DataFrame({"unique_id": "series", "ds": np.arange(len(y)), "y": y})
        forecaster = Forecaster(models={"ridge": TimedRidge()}, freq=1,
                                lags=list(range(1, LAGS + 1)))
        return forecaster.fit(frame)

    def forecast(self, model, y):
        return model.predict(h=self.steps)["ridge"].to_numpy(dtype=float)


LIBRARIES = [Ours, Skforecast, Sktime, Darts, MLForecast]


# ---------------------------------------------------------------------------
# Measurement
# ---------------------------------------------------------------------------

def make_series(n_points, seed=0):
    """A seasonal AR(2) series with trend; the same for every library."""
    rng = np.random.default_rng(seed)
    noise = rng.normal(0.0, 1.0, n_points)
    ar = np.zeros(n_points)
    for t in range(2, n_points):
        ar[t] = 0.6 * ar[t - 1] - 0.2 * ar[t - 2] + noise[t]
    t = np.arange(n_points)
    return 100.0 + 0.002 * t + 10.0 * np.sin(2 * np.pi * t / 24) + ar


@contextlib.contextmanager
def quiet():
    """Hide the libraries' own chatter (warnings, banners) while they run."""
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()):
        warnings.simplefilter("ignore")
        yield


def best_of(repeat, run):
    """Best (wall time, Ridge time, result) of ``repeat`` calls of ``run``.

    ``run`` returns its result; the Ridge time is the clock of that same best run.
    """
    best = None
    for _ in range(repeat):
        RidgeClock.reset()
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        if best is None or elapsed < best[0]:
            best = (elapsed, RidgeClock.fit + RidgeClock.predict, RidgeClock.predict_calls, result)
    return best


def measure(library, y, repeat):
    """Timings of one library, or None when it is not installed."""
    try:
        with quiet():
            library.fit(y[:200])  # import and warm up
    except ImportError as exc:
        return {"missing": str(exc).splitlines()[0]}
    with quiet():
        fit_time, fit_floor, _, model = best_of(repeat, lambda: library.fit(y))
        predict_time, predict_floor, calls, forecast = best_of(
            repeat, lambda: library.forecast(model, y))
    return {"fit": fit_time, "fit_floor": fit_floor, "predict": predict_time,
            "predict_floor": predict_floor, "predict_calls": calls,
            "forecast": np.asarray(forecast, dtype=float)}


def print_table(results, steps):
    ours = results["orvane"]
    print(f"{'library':>11} | {'fit s':>8} {'/ours':>6} {'/floor':>7} | "
          f"{f'{steps} steps s':>11} {'/ours':>6} {'/floor':>7} {'Ridge calls':>11} | "
          f"{'max |diff|':>10}")
    for name, result in results.items():
        if "missing" in result:
            print(f"{name:>11} | missing ({result['missing']})")
            continue
        diff = np.max(np.abs(result["forecast"] - ours["forecast"]))
        print(f"{name:>11} | {result['fit']:8.4f} {result['fit'] / ours['fit']:6.2f} "
              f"{result['fit'] / result['fit_floor']:7.1f} | "
              f"{result['predict']:11.4f} {result['predict'] / ours['predict']:6.2f} "
              f"{result['predict'] / result['predict_floor']:7.1f} "
              f"{result['predict_calls']:11d} | {diff:10.2e}")
    print()
    print("/ours : the library's time divided by ours (above 1: we are faster)")
    print("/floor: the library's time divided by the time spent inside Ridge.fit / "
          "Ridge.predict during it")
    print(f"ours over the floor: fit {ours['fit'] / ours['fit_floor']:.1f}x, "
          f"{steps}-step forecast {ours['predict'] / ours['predict_floor']:.1f}x "
          f"({1e6 * (ours['predict'] - ours['predict_floor']) / steps:.0f} us of our own "
          f"per step)")


def profile_ours(y, steps, top):
    """cProfile of our recursive forecast: where the time of each step goes."""
    library = Ours(steps)
    model = library.fit(y)
    library.forecast(model, y)  # warm up
    profiler = cProfile.Profile()
    profiler.enable()
    library.forecast(model, y)
    profiler.disable()
    for order in ("tottime", "cumulative"):
        print(f"\n--- profile of one {steps}-step recursive forecast, by {order} ---")
        stream = io.StringIO()
        pstats.Stats(profiler, stream=stream).strip_dirs().sort_stats(order).print_stats(top)
        print("\n".join(line for line in stream.getvalue().splitlines() if line.strip()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--profile", action="store_true",
                        help="also print a cProfile of our recursive forecast")
    parser.add_argument("--top", type=int, default=25, help="profile lines to print")
    parser.add_argument("--threads", type=int, default=1,
                        help="BLAS and OpenMP threads (default 1: stable timings on a busy "
                             "machine, the same for every library)")
    args = parser.parse_args()
    # Multi-threaded BLAS on a busy machine makes the same Ridge.fit take 5 ms or 450 ms
    # from one run to the next; one thread keeps the comparison stable and equal for all.
    with threadpool_limits(args.threads):
        run(args)


def run(args):
    """Measure every library and print the table (and the profile when asked)."""
    y = make_series(args.points)
    print(f"series: {args.points} points; Ridge on {LAGS} lags; {args.steps}-step recursive "
          f"forecast; best of {args.repeat} runs; {args.threads} BLAS thread(s), "
          f"{os.cpu_count()} cores")
    results = {}
    for library_class in LIBRARIES:
        library = library_class(args.steps)
        results[library.name] = measure(library, y, args.repeat)
    print_table(results, args.steps)
    if args.profile:
        profile_ours(y, args.steps, args.top)


if __name__ == "__main__":
    main()
