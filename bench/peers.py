"""Recursive forecasting with Ridge on 24 lags: orvane next to other forecasting libraries.

Every library gets the same task: a 10,000-point series, scikit-learn ``Ridge``
on the last 24 values, fit, then a 100-step recursive forecast. Ours is
``GUSKTimeSeriesEstimator`` with ``Flatten(lookback_win=24)`` + ``Ridge``, the
"recursive" strategy and ``multistep_prediction_win=100``.

Each peer runs in a virtual environment of its own (they pin other pandas releases),
on the same scikit-learn and NumPy: this script starts ``<prefix><library>/bin/python``
on itself with ``--worker`` for each of them and collects its timings, so that the
ratios come from one run on one machine. ``bench/make_peer_venvs.sh PREFIX`` creates
those environments. A peer without an environment (or not installed in it) is
reported as missing.

Printed ratios (best wall-clock time of a few runs each):

- every library's fit and forecast time divided by ours;
- our fit over ``Ridge.fit`` on a prebuilt lag matrix (the fit floor);
- our forecast over a floor that does nothing but the forecast's dot products in a
  NumPy loop, and over our own 2-step forecast (the same call with two dot products:
  what the further steps add to it);
- with non-linear models, our forecast over the time of the model's own ``predict``
  calls on the same 100 windows;
- with a voting ensemble of k linear pipelines, our forecast over k single forecasts.

Run: PYTHONPATH=src python bench/peers.py [--venv-prefix PREFIX] [--baseline SRC] [--points N]
     [--steps H] [--repeat K] [--threads T] [--markdown]
"""

import argparse
import contextlib
import datetime
import importlib.metadata
import inspect
import io
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
from sklearn.linear_model import Ridge
from threadpoolctl import threadpool_limits

LAGS = 24


# ---------------------------------------------------------------------------
# One adapter per library: fit(y) -> fitted model, forecast(model, y) -> array
# ---------------------------------------------------------------------------

class Ours:
    name = "orvane"
    package = "orvane"

    def __init__(self, steps, model=None):
        self.steps = steps
        self.model = model

    def fit(self, y):
        from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
        from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

        model = GUSKTimeSeriesEstimator(
            steps=[("flatten", Flatten([0], [0], lookback_win=LAGS)),
                   ("model", Ridge() if self.model is None else self.model)],
            feature_columns=[0], target_columns=[0], lookback_win=LAGS,
            multistep_prediction_strategy="recursive", multistep_prediction_win=self.steps,
        )
        return model.fit(y.reshape(-1, 1))

    def forecast(self, model, y):
        return model.predict(y.reshape(-1, 1))[:, 0]


class Skforecast:
    name = "skforecast"
    package = "skforecast"

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
        forecaster = ForecasterRecursive(**{keyword: Ridge()}, lags=LAGS)
        forecaster.fit(y=pd.Series(y))
        return forecaster

    def forecast(self, model, y):
        return np.asarray(model.predict(steps=self.steps), dtype=float)


class Sktime:
    name = "sktime"
    package = "sktime"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        import pandas as pd
        from sktime.forecasting.compose import make_reduction

        forecaster = make_reduction(Ridge(), window_length=LAGS, strategy="recursive")
        return forecaster.fit(pd.Series(y))

    def forecast(self, model, y):
        return np.asarray(model.predict(fh=np.arange(1, self.steps + 1)), dtype=float)


class Darts:
    name = "darts"
    package = "darts"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        from darts import TimeSeries
        import darts.models as models

        model_class = getattr(models, "SKLearnModel", None) or models.RegressionModel
        model = model_class(lags=LAGS, model=Ridge())
        return model.fit(TimeSeries.from_values(y))

    def forecast(self, model, y):
        return np.asarray(model.predict(self.steps).values(), dtype=float)[:, 0]


class MLForecast:
    name = "mlforecast"
    package = "mlforecast"

    def __init__(self, steps):
        self.steps = steps

    def fit(self, y):
        import pandas as pd
        from mlforecast import MLForecast as Forecaster

        frame = pd.DataFrame({"unique_id": "series", "ds": np.arange(len(y)), "y": y})
        forecaster = Forecaster(models={"ridge": Ridge()}, freq=1,
                                lags=list(range(1, LAGS + 1)))
        return forecaster.fit(frame)

    def forecast(self, model, y):
        return model.predict(h=self.steps)["ridge"].to_numpy(dtype=float)


LIBRARIES = {library.name: library for library in (Ours, Skforecast, Sktime, Darts, MLForecast)}
PEERS = ["skforecast", "sktime", "darts", "mlforecast"]


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
    """Best wall time of ``repeat`` calls of ``run``, and the result of the last call."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def measure(library, y, repeat):
    """Fit and forecast times of one library, its forecast and its version."""
    with quiet():
        library.fit(y[:200])  # import and warm up
        fit_time, model = best_of(repeat, lambda: library.fit(y))
        library.forecast(model, y)
        predict_time, forecast = best_of(repeat, lambda: library.forecast(model, y))
    return {"fit": fit_time, "predict": predict_time,
            "forecast": np.asarray(forecast, dtype=float).tolist(),
            "version": package_version(library.package)}


def package_version(package):
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:  # a development checkout on PYTHONPATH
        return "checkout " + subprocess.run(["git", "describe", "--always", "--dirty"],
                                            capture_output=True, text=True).stdout.strip()


def worker(args):
    """Measure one peer in this interpreter and print its result as JSON."""
    y = make_series(args.points)
    try:
        result = measure(LIBRARIES[args.worker](args.steps), y, args.repeat)
    except ImportError as exc:
        result = {"missing": str(exc).splitlines()[0]}
    result["stack"] = stack_versions()
    print(json.dumps(result))


def stack_versions():
    import sklearn
    return f"scikit-learn {sklearn.__version__}, NumPy {np.__version__}"


def measure_peer(name, args, source=None):
    """Run the peer's worker in its own environment (ours: from the checkout at ``source``);
    its result, or why it is missing."""
    python = (f"{args.venv_prefix}{name}/bin/python" if args.venv_prefix and not source
              else sys.executable)
    if not os.path.exists(python):
        return {"missing": f"no environment at {python}"}
    command = [python, os.path.abspath(__file__), "--worker", name, "--points", str(args.points),
               "--steps", str(args.steps), "--repeat", str(args.repeat),
               "--threads", str(args.threads)]
    env = dict(os.environ, PYTHONPATH=source) if source else None
    done = subprocess.run(command, capture_output=True, text=True, check=False, env=env)
    if done.returncode != 0:
        return {"missing": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Our floors
# ---------------------------------------------------------------------------

def lag_matrix(y):
    windows = np.lib.stride_tricks.sliding_window_view(y[:-1], LAGS)
    return np.ascontiguousarray(windows), y[LAGS:]


def numpy_loop_floor(model, y, steps):
    """The forecast's dot products alone, one NumPy call per step."""
    coef, intercept = model.estimator.coef_.ravel(), float(model.estimator.intercept_)
    window = y[-LAGS:].copy()
    out = np.empty(steps)
    for step in range(steps):
        out[step] = window @ coef + intercept
        window[:-1] = window[1:]
        window[-1] = out[step]
    return out


# The recursion's dot products alone, each step fed by the one before, as tight as C++ makes
# them: argv[1] lags, argv[2] steps; prints the best nanoseconds per step.
CPP_DOT_PRODUCTS = r"""
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>
int main(int argc, char** argv) {
    const int lags = std::atoi(argv[1]), steps = std::atoi(argv[2]);
    std::vector<double> coef(lags, 0.9 / lags), values(lags + steps, 1.0);
    double best = 1e30, sink = 0.0;
    for (int run = 0; run < 2000; ++run) {
        const auto start = std::chrono::steady_clock::now();
        for (int s = 0; s < steps; ++s) {
            const double* window = values.data() + s;
            double sums[4] = {0.0, 0.0, 0.0, 0.0};
            int j = 0;
            for (; j + 4 <= lags; j += 4) {
                for (int k = 0; k < 4; ++k) sums[k] += coef[j + k] * window[j + k];
            }
            for (; j < lags; ++j) sums[0] += coef[j] * window[j];
            values[lags + s] = (sums[0] + sums[1]) + (sums[2] + sums[3]) + 0.1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        sink += values[lags + steps - 1];
        if (took.count() < best) best = took.count();
    }
    std::printf("%.4f\n", best * 1e9 / steps + (sink < 0 ? 1.0 : 0.0));
}
"""


def cpp_dot_products_per_step(steps):
    """Nanoseconds per step of the recursion's dot products in C++, or None without a compiler."""
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        return None
    with tempfile.TemporaryDirectory() as folder:
        source, program = os.path.join(folder, "floor.cpp"), os.path.join(folder, "floor")
        with open(source, "w") as handle:
            handle.write(CPP_DOT_PRODUCTS)
        subprocess.run([compiler, "-O3", "-o", program, source], check=True)
        done = subprocess.run([program, str(LAGS), str(steps)], capture_output=True, text=True,
                              check=True)
    return float(done.stdout)


def our_forecast_time(y, horizon, calls):
    """Best time of our ``horizon``-step forecast over ``calls`` calls, after one warm-up."""
    library = Ours(horizon)
    model = library.fit(y)
    library.forecast(model, y)
    return best_of(calls, lambda: library.forecast(model, y))[0]


def own_predict_calls(model, forecast_of, y, steps):
    """The windows a recursive forecast asks about, and the time of predict on them alone."""
    series = np.concatenate([y, forecast_of])
    windows = [series[len(y) - LAGS + step:len(y) + step].reshape(1, -1) for step in range(steps)]
    start = time.perf_counter()
    for window in windows:
        model.estimator.predict(window)
    return time.perf_counter() - start


def nonlinear_rows(y, args):
    from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestRegressor
    rows = []
    for name, make in (("HistGradientBoostingRegressor",
                        lambda: HistGradientBoostingRegressor(random_state=0)),
                       ("RandomForestRegressor(n_estimators=50)",
                        lambda: RandomForestRegressor(n_estimators=50, random_state=0))):
        library = Ours(args.steps, model=make())
        model = library.fit(y[-2000:])
        forecast = library.forecast(model, y)
        # Alternated, so that a slower spell of the machine weighs on both alike.
        ours, floor = float("inf"), float("inf")
        for _ in range(max(args.repeat, 15)):
            start = time.perf_counter()
            library.forecast(model, y)
            ours = min(ours, time.perf_counter() - start)
            floor = min(floor, own_predict_calls(model, forecast, y, args.steps))
        rows.append((name, ours, floor))
    return rows


def ensemble_row(y, args, k=3):
    from sklearn.ensemble import VotingRegressor
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    members = [(f"ridge{i}", make_pipeline(StandardScaler(), Ridge(alpha=0.5 + i)))
               for i in range(k)]
    voting = Ours(args.steps, model=VotingRegressor(members))
    single = Ours(args.steps, model=make_pipeline(StandardScaler(), Ridge()))
    voting_model, single_model = voting.fit(y), single.fit(y)
    voting_time = best_of(args.repeat, lambda: voting.forecast(voting_model, y))[0]
    single_time = best_of(args.repeat, lambda: single.forecast(single_model, y))[0]
    return k, voting_time, single_time


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def print_report(results, floors, args):
    ours = results["orvane"]
    md = args.markdown
    print(f"{datetime.date.today().isoformat()}, {platform.machine()} {platform.system()}, "
          f"{os.cpu_count()} cores, Python {platform.python_version()}, {ours['stack']}; "
          f"{args.points}-point series, Ridge on {LAGS} lags, {args.steps}-step recursive "
          f"forecast, best of {args.repeat} runs, {args.threads} BLAS thread(s)\n")
    head = ("library", "version", "fit ms", "fit / ours", f"{args.steps}-step forecast ms",
            "forecast / ours", "largest difference to our forecast")
    lines = []
    for name, result in results.items():
        if "missing" in result:
            lines.append((name, "missing", result["missing"], "", "", "", ""))
            continue
        diff = np.max(np.abs(np.asarray(result["forecast"]) - np.asarray(ours["forecast"])))
        lines.append((name, result["version"], f"{1e3 * result['fit']:.2f}",
                      f"{result['fit'] / ours['fit']:.2f}", f"{1e3 * result['predict']:.3f}",
                      f"{result['predict'] / ours['predict']:.2f}", f"{diff:.1e}"))
    print_table(head, lines, md)
    print()
    print_table(("ratio", "value", "target"), floors, md)


def print_table(head, lines, md):
    if md:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for line in lines:
            print("| " + " | ".join(line) + " |")
        return
    widths = [max(len(str(row[i])) for row in [head, *lines]) for i in range(len(head))]
    for row in [head, *lines]:
        print("  ".join(str(cell).rjust(width) for cell, width in zip(row, widths, strict=False)))


def floor_ratios(results, y, args):
    ours = results["orvane"]
    model = Ours(args.steps).fit(y)
    X, target = lag_matrix(y)
    ridge_fit = best_of(args.repeat, lambda: Ridge().fit(X, target))[0]
    numpy_floor = best_of(args.repeat, lambda: numpy_loop_floor(model, y, args.steps))[0]
    # The two calls are timed back to back, many times each: their difference is microseconds.
    calls = max(args.repeat, 200)
    hundred_steps = best_of(calls, lambda: Ours(args.steps).forecast(model, y))[0]
    two_steps = our_forecast_time(y, 2, calls)
    rows = [
        (f"our fit / Ridge.fit on a prebuilt lag matrix ({args.points} points; 10^6: "
         "bench/scale.py)", f"{ours['fit'] / ridge_fit:.2f}", ""),
        ("our forecast / NumPy loop of the dot products",
         f"{ours['predict'] / numpy_floor:.2f}", ""),
        (f"our {args.steps}-step forecast / our 2-step forecast (the steps' own cost)",
         f"{hundred_steps / two_steps:.2f}", "<= 1.1"),
    ]
    # Long horizons, so that the difference of the two calls is well above the timer's noise.
    floor = cpp_dot_products_per_step(20000)
    if floor is not None:
        # What each further step adds: a (20,000 + 2)-step call minus a 2-step one, timed
        # right after each other so that both see the machine in the same state.
        long_call = our_forecast_time(y, 20002, calls)
        per_step = (long_call - our_forecast_time(y, 2, calls)) * 1e9 / 20000
        rows.append((f"our cost per further step ({per_step:.1f} ns) / the dot products alone in "
                     f"C++ ({floor:.1f} ns)", f"{per_step / floor:.2f}", "<= 1.1"))
    if "missing" not in results.get("skforecast", {"missing": ""}):
        rows.append(("our forecast / skforecast's forecast",
                     f"{ours['predict'] / results['skforecast']['predict']:.2f}", "<= 0.33"))
    for name, ours_time, floor in nonlinear_rows(y, args):
        rows.append((f"{name}: our forecast / its own predict calls",
                     f"{ours_time / floor:.3f}", "<= 1.05"))
    k, voting_time, single_time = ensemble_row(y, args)
    rows.append((f"voting ensemble of {k} scaled Ridge pipelines / {k} x one pipeline",
                 f"{voting_time / (k * single_time):.2f}", "about 1"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--venv-prefix", default=os.environ.get("ORVANE_PEER_VENV_PREFIX", ""),
                        help="peers run with <prefix><library>/bin/python (default: "
                             "$ORVANE_PEER_VENV_PREFIX, else this interpreter)")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    parser.add_argument("--baseline", metavar="SRC",
                        help="also time orvane imported from another checkout's src directory "
                             "(built in place), e.g. the main branch, as a row of its own")
    parser.add_argument("--worker", choices=list(LIBRARIES), help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, default=1,
                        help="BLAS and OpenMP threads (default 1: stable timings on a busy "
                             "machine, the same for every library)")
    args = parser.parse_args()
    with threadpool_limits(args.threads):
        if args.worker:
            worker(args)
        else:
            run(args)


def run(args):
    y = make_series(args.points)
    results = {"orvane": measure(Ours(args.steps), y, args.repeat)}
    results["orvane"]["stack"] = stack_versions()
    if args.baseline:
        results["orvane baseline"] = measure_peer("orvane", args, source=args.baseline)
        results["orvane baseline"]["version"] = f"from {args.baseline}"
    for name in PEERS:
        results[name] = measure_peer(name, args)
        stack = results[name].get("stack")
        if stack and stack != results["orvane"]["stack"]:
            results[name]["version"] = f"{results[name].get('version')} ({stack})"
    print_report(results, floor_ratios(results, y, args), args)


if __name__ == "__main__":
    main()
