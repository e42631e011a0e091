r"""``orvane-forecast``: forecast a series from a CSV file on the command line.

The command reads a CSV file (or, given none, the built-in airline passengers
series), fits a forecaster on the chosen columns, and writes the forecast of
the next ``--horizon`` steps with its prediction interval as CSV. With
``--plot FILE.png`` it also draws the history, the forecast and the interval
band.

Examples
--------
Forecast the built-in series a year ahead and draw it::

    orvane-forecast --plot forecast.png

Forecast column ``sales`` of a file 6 steps ahead with a ridge regression,
using column ``price`` as an extra input::

    orvane-forecast data.csv --time-column date --target sales --features price \
        --horizon 6 --model Ridge --output forecast.csv

Bad input (a missing file, an unknown or repeated column name, a horizon below
1 or too large to fit in memory, non-numeric data, a series too short for the
look-back window, an option out of its range) ends with a one-line message on
standard error and exit status 2; a forecaster that fails on valid input ends
with exit status 1.
"""

import argparse
import csv
import difflib
import importlib
import io
import math
import os
import re
import sys
import traceback
import warnings
from dataclasses import dataclass
from time import perf_counter

import numpy as np
import pandas as pd

__all__ = ["main", "build_parser", "CliError"]

PROG = "orvane-forecast"

#: Ready-made forecasters selectable with ``--model``, by class name.
READY_MADE_MODELS = {
    "auto": "LocalizedFlattenAutoEnsembler",
    "localized": "LocalizedFlattenAutoEnsembler",
    "difference": "DifferenceFlattenAutoEnsembler",
    "flatten": "FlattenAutoEnsembler",
}

#: Windowing steps for a named regressor: (class for the targets alone, class with extra features).
WINDOW_STEPS = {
    "localized": ("LocalizedFlatten", "LocalizedFlattenX"),
    "difference": ("DifferenceFlatten", "DifferenceFlattenX"),
    "flatten": ("Flatten", "Flatten"),
}

#: Accepted ``--transform`` values; "none" means no data transformation.
TRANSFORM_SCHEMES = (
    "none", "auto", "log", "mean_division", "mean_substraction", "mean_division_log",
    "mean_substraction_log", "sqrt", "reciprocal", "anscombe", "fisher",
)

#: scikit-learn modules searched, in order, for a regressor named by ``--model``.
REGRESSOR_MODULES = (
    "sklearn.linear_model", "sklearn.ensemble", "sklearn.neighbors", "sklearn.tree",
    "sklearn.svm", "sklearn.kernel_ridge", "sklearn.neural_network",
    "sklearn.gaussian_process", "sklearn.cross_decomposition", "sklearn.dummy",
)

#: Fewest training windows the search and the interval calibration need.
MIN_WINDOWS = 10

#: History points drawn before the forecast: this many, or 8 per forecast step if more.
PLOTTED_HISTORY = 150

# Formats tried, in order, to read a time column as dates and to write future dates alike.
_DATE_FORMATS = ("%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d",
                 "%Y/%m/%d", "%d.%m.%Y", "%Y-%m")

_BUILTIN_SOURCE = "the built-in airline passengers series"

#: Seeds the random generators of the search and the intervals accept (32 bits, unsigned).
MAX_SEED = 2**32 - 1

#: Bytes a forecast step takes in memory: per target, the point forecast and its two bounds
#: as returned, as ordered and as written to the output table (8 float64 values); per step,
#: the step number.
_BYTES_PER_TARGET_AND_STEP = 8 * 8
_BYTES_PER_STEP = 8


class CliError(Exception):
    """A problem with the command line or the input data, told to the user in one line."""


class _Parser(argparse.ArgumentParser):
    """Argument parser whose errors become :class:`CliError` (one line, exit status 2)."""

    def error(self, message):
        raise CliError(message)


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def build_parser():
    """The argument parser of ``orvane-forecast``."""
    parser = _Parser(
        prog=PROG,
        description="Forecast the next steps of a time series held in a CSV file, with "
                    "prediction intervals. Without a file the built-in airline "
                    "passengers series is used.",
        epilog="Columns are given by name or by 0-based position. Exit status: 0 done, "
               "1 the forecaster failed, 2 bad input.",
    )
    parser.add_argument("csv", nargs="?", default=None,
                        help="CSV file with a header row, one row per time step "
                             "('-' reads standard input); default: the airline series")
    _add_reading_options(parser)
    data = parser.add_argument_group("columns")
    data.add_argument("--time-column", metavar="COL",
                      help="column of time stamps, used to label the forecast; default: the "
                           "first column when it is not numeric")
    data.add_argument("--target", nargs="+", metavar="COL",
                      help="column(s) to forecast; default: the last column")
    data.add_argument("--features", nargs="+", metavar="COL", default=[],
                      help="extra input columns whose past values help the forecast")
    model = parser.add_argument_group("forecaster")
    model.add_argument("--horizon", type=int, default=12, metavar="H",
                       help="number of steps to forecast (default 12)")
    model.add_argument("--lookback", type=int, default=24, metavar="L",
                       help="past steps each prediction looks at (default 24)")
    model.add_argument("--model", default="auto", metavar="NAME",
                       help="'auto' (= 'localized'), 'localized', 'difference' or 'flatten' "
                            "for a ready-made forecaster that searches and ensembles "
                            "regressors, or the name of a scikit-learn regressor such as "
                            "Ridge or RandomForestRegressor (or a dotted path such as "
                            "xgboost.XGBRegressor)")
    model.add_argument("--window", choices=sorted(WINDOW_STEPS), default="localized",
                       help="windowing step used with a named regressor (default localized)")
    model.add_argument("--strategy", choices=("recursive", "direct"),
                       help="'recursive' predicts one step at a time and feeds it back; "
                            "'direct' predicts all steps at once; default: recursive, or "
                            "direct when --features are given (their future is unknown)")
    model.add_argument("--transform", choices=TRANSFORM_SCHEMES, default="auto",
                       metavar="SCHEME",
                       help="data transformation: " + ", ".join(TRANSFORM_SCHEMES)
                            + " (default auto: log for positive data, else none)")
    model.add_argument("--confidence", type=float, default=0.95, metavar="P",
                       help="coverage of the prediction interval, between 0 and 1 "
                            "(default 0.95)")
    search = parser.add_argument_group("search")
    search.add_argument("--budget", type=float, default=2.0, metavar="MINUTES",
                        help="time budget of the search in minutes (default 2)")
    search.add_argument("--fast", action="store_true",
                        help="small search space and fewer interval models: a quick look")
    search.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="models fitted at once (default 1; -1 uses every core)")
    search.add_argument("--seed", type=int, default=0,
                        help="random seed of the search and the intervals (default 0)")
    output = parser.add_argument_group("output")
    output.add_argument("--output", "-o", default="-", metavar="FILE",
                        help="CSV file for the forecast (default: standard output)")
    output.add_argument("--plot", metavar="FILE.png",
                        help="also draw history, forecast and interval into this image "
                             "(needs matplotlib: pip install orvane[plot])")
    output.add_argument("--quiet", "-q", action="store_true",
                        help="no progress messages on standard error")
    output.add_argument("--debug", action="store_true",
                        help="show the full traceback when the forecaster fails")
    return parser


def _add_reading_options(parser):
    reading = parser.add_argument_group("reading the CSV file")
    reading.add_argument("--sep", metavar="CHAR",
                         help="field separator; default: detected (',', ';', tab or '|')")
    reading.add_argument("--decimal", metavar="CHAR",
                         help="decimal mark; default: detected (',' for numbers like 3,5 in a "
                              "file separated by ';', else '.')")
    reading.add_argument("--date-format", metavar="FORMAT",
                         help="strftime format of the time column, e.g. %%d/%%m/%%Y; default: "
                              "detected (ISO, US month-first, day-first, Excel serial days)")


def main(argv=None):
    """Run ``orvane-forecast``.

    Parameters
    ----------
    argv : list of str or None, default=None
        The arguments after the program name; None reads ``sys.argv``.

    Returns
    -------
    int
        Exit status: 0 on success, 1 when the forecaster failed, 2 for bad input.
    """
    debug = False
    try:
        args = build_parser().parse_args(argv)
        debug = args.debug
        return _run(args)
    except CliError as exc:
        _print_error(str(exc))
        return 2
    except SystemExit as exc:  # --help prints and exits through argparse
        return exc.code if isinstance(exc.code, int) else 0
    except _ForecasterFailure as exc:
        if debug:
            traceback.print_exception(exc.__cause__)
        _print_error(f"the forecaster failed: {exc} (run with --debug for the traceback)")
        return 1
    except KeyboardInterrupt:
        _print_error("interrupted")
        return 130


def _print_error(message):
    text = " ".join(str(message).split())  # one line, whatever the message held
    print(f"{PROG}: error: {text}", file=sys.stderr)


class _ForecasterFailure(Exception):
    """The forecaster raised on input that passed our checks; the cause is chained."""


def _run(args):
    progress = _Progress(enabled=not args.quiet)
    _check_options(args)
    _check_output_paths(args)
    if args.plot is not None:
        _require_matplotlib()
    frame, source = _read_frame(args.csv, args.sep, args.decimal)
    frame = _time_ordered(frame, args, progress)
    data = _select_series(frame, args)
    _check_horizon_fits(args.horizon, len(data.target_names))
    plan = _plan(args, data)
    _check_length(data, plan)
    progress.say(f"read {len(data.values)} rows of {', '.join(data.target_names)} from {source}")
    if data.feature_names and plan.strategy == "recursive":
        progress.say("note: the recursive strategy does not know the future values of "
                     f"{', '.join(data.feature_names)} and feeds zeros for them; the "
                     "direct strategy (the default with --features) avoids this")

    forecaster = _build_forecaster(plan)
    progress.say(f"fitting {plan.description} (look-back {plan.lookback}, horizon "
                 f"{plan.horizon}, {plan.strategy} strategy) ...")
    start = perf_counter()
    result = _fit_and_forecast(forecaster, data, plan)
    progress.say(f"done in {perf_counter() - start:.1f} s; {_best_pipeline_note(forecaster)}")

    table = _forecast_table(data, result, plan.horizon)
    _write_csv(table, args.output)
    if args.output != "-":
        progress.say(f"forecast written to {args.output}")
    if args.plot is not None:
        _write_plot(args.plot, data, table, plan)
        progress.say(f"plot written to {args.plot}")
    return 0


class _Progress:
    """Progress messages on standard error."""

    def __init__(self, enabled):
        self.enabled = enabled

    def say(self, message):
        if self.enabled:
            print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def _check_options(args):
    if args.horizon < 1:
        raise CliError(f"--horizon must be at least 1 (the number of steps to forecast); "
                       f"got {args.horizon}")
    if args.lookback < 1:
        raise CliError(f"--lookback must be at least 1 (past steps per prediction); "
                       f"got {args.lookback}")
    if not 0.0 < args.confidence < 1.0:
        raise CliError(f"--confidence must lie strictly between 0 and 1, for example 0.9; "
                       f"got {args.confidence}")
    if not args.budget > 0:
        raise CliError(f"--budget must be a positive number of minutes; got {args.budget}")
    if args.jobs == 0:
        raise CliError("--jobs must be a positive number of jobs or -1 for every core; got 0")
    _check_search_limits(args)
    _check_horizon_fits(args.horizon, n_targets=1)


def _check_search_limits(args):
    if not math.isfinite(args.budget):
        raise CliError(f"--budget must be a finite number of minutes; got {args.budget}")
    if not 0 <= args.seed <= MAX_SEED:
        raise CliError(f"--seed must be a whole number from 0 to {MAX_SEED}; got {args.seed}")
    processors = os.cpu_count() or 1
    if args.jobs > processors:  # more would only queue, and workers are started eagerly
        raise CliError(f"--jobs must be -1 or from 1 to {processors} (the processors of this "
                       f"machine); got {args.jobs}")


def _memory_bytes():
    """The machine's physical memory in bytes (sys.maxsize when the system does not tell)."""
    try:
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return sys.maxsize
    return min(total, sys.maxsize) if total > 0 else sys.maxsize


def _check_horizon_fits(horizon, n_targets):
    """Refuse at once a horizon whose forecast could never be held in memory."""
    step_bytes = _BYTES_PER_STEP + _BYTES_PER_TARGET_AND_STEP * n_targets
    memory = _memory_bytes()
    if horizon * step_bytes <= memory:
        return
    targets = f"{n_targets} target{'s' if n_targets != 1 else ''}"
    raise CliError(f"--horizon {horizon} is too large: forecasting it for {targets} needs "
                   f"{horizon * step_bytes / 2**30:.4g} GiB, more than this machine's "
                   f"{memory / 2**30:.4g} GiB of memory; forecast at most "
                   f"{memory // step_bytes} steps")


def _check_output_paths(args):
    """Fail before the search, not after it, when an output cannot be written."""
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        if path is None or path == "-":
            continue
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise CliError(f"{option} {path}: the folder {folder} does not exist")
        if os.path.isdir(path):
            raise CliError(f"{option} {path}: is a directory; give a file name")


def _require_matplotlib():
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        raise CliError("--plot needs matplotlib, which is not installed; "
                       "install it with: pip install orvane[plot]") from None


# ---------------------------------------------------------------------------
# Input data
# ---------------------------------------------------------------------------

@dataclass
class _Series:
    """The columns the forecaster works on.

    ``values`` holds the target columns first, then the extra feature columns.
    """

    values: np.ndarray
    target_names: list
    feature_names: list
    time_name: object
    time_values: object  # pandas Series of the time column, or None


def _read_frame(path, sep=None, decimal=None):
    """The input table and a description of where it came from."""
    if path is None:
        from orvane.datasets import load_airline
        return load_airline(), _BUILTIN_SOURCE
    source = "standard input" if path == "-" else f"'{path}'"
    try:
        text = sys.stdin.read() if path == "-" else _read_text(path)
        sep, decimal = _csv_dialect(text, sep, decimal)
        _check_header_names(text, sep, source)
        frame = _read_csv_quietly(io.StringIO(text), sep=sep, decimal=decimal)
    except FileNotFoundError:
        raise CliError(f"cannot read {source}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"cannot read {source}: it is a directory, not a CSV file") from None
    except pd.errors.EmptyDataError:
        raise CliError(f"cannot read {source}: the file is empty") from None
    except UnicodeDecodeError:
        raise CliError(f"cannot read {source}: it is not a text (UTF-8) CSV file") from None
    except (pd.errors.ParserError, OSError) as exc:
        raise CliError(f"cannot read {source}: {exc}") from None
    if frame.empty:
        raise CliError(f"{source} has a header but no data rows")
    return frame, source


def _check_header_names(text, sep, source):
    """Refuse duplicate column names in linear time.

    Renaming them is quadratic, and a name given with --target or --features would be ambiguous.
    """
    names = next(csv.reader([text.split("\n", 1)[0].rstrip("\r")], delimiter=sep), [])
    if len(set(names)) == len(names):
        return
    seen = set()
    for name in names:
        if name in seen:
            raise CliError(f"{source} names column '{name}' {names.count(name)} times; "
                           f"column names must be unique")
        seen.add(name)


def _read_csv_quietly(stream, **options):
    """``pd.read_csv`` without its mixed-types warning: a bad cell is reported by us, once."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pd.errors.DtypeWarning)
        return pd.read_csv(stream, **options)


def _read_text(path):
    with open(path, encoding="utf-8-sig") as handle:
        return handle.read()


_SEPARATORS = (",", ";", "\t", "|")
_DECIMAL_COMMA = re.compile(r"^\s*-?\d+,\d+\s*$")


def _csv_dialect(text, sep, decimal):
    """(separator, decimal mark): the ones given, or those the first lines use."""
    for option, value in (("--sep", sep), ("--decimal", decimal)):
        if value is not None and len(value.replace("\\t", "\t")) != 1:
            raise CliError(f"{option} must be one character; got {value!r}")
    sep = sep.replace("\\t", "\t") if sep is not None else _detected_separator(text)
    if decimal is None:
        decimal = "," if sep != "," and _has_decimal_commas(text, sep) else "."
    if decimal == sep:
        raise CliError(f"--decimal {decimal!r} is also the field separator; give --sep")
    return sep, decimal


def _detected_separator(text):
    lines = [line for line in text.splitlines()[:20] if line.strip()]
    if not lines:
        return ","
    # the separator that splits every line into the same number (> 1) of fields
    def consistency(candidate):
        counts = {line.count(candidate) for line in lines}
        return (len(counts) == 1 and lines[0].count(candidate) > 0, lines[0].count(candidate))
    best = max(_SEPARATORS, key=consistency)
    return best if lines[0].count(best) > 0 else ","


def _has_decimal_commas(text, sep):
    for line in text.splitlines()[1:21]:
        if any(_DECIMAL_COMMA.match(field) for field in line.split(sep)):
            return True
    return False


# ---------------------------------------------------------------------------
# Time column: dates in any order and format
# ---------------------------------------------------------------------------

# Day-month orders told apart by the data; the first that reads every value wins unless only
# the other one gives a regular series.
_AMBIGUOUS_DATE_FORMATS = (("%m/%d/%Y", "US month-first"), ("%d/%m/%Y", "day-first"),
                           ("%d.%m.%Y", "day-first"), ("%d-%m-%Y", "day-first"),
                           ("%m-%d-%Y", "US month-first"), ("%m/%d/%Y %H:%M", "US month-first"),
                           ("%d/%m/%Y %H:%M", "day-first"), ("%m/%d/%y", "US month-first"),
                           ("%d/%m/%y", "day-first"))
_EXCEL_EPOCH = pd.Timestamp("1899-12-30")
_EXCEL_SERIAL_RANGE = (20000, 80000)  # 1954 to 2119
_DATE_LIKE = re.compile(r"^\s*\d{1,4}[-/.]\d{1,2}([-/.]\d{1,4})?([ T].*)?$")
_TIME_WORDS = ("date", "time", "day", "month", "week", "year", "period", "timestamp")


def _time_ordered(frame, args, progress):
    """The table in time order, its time column rewritten as dates that the output reuses."""
    name = _time_column_name(frame, args)
    if name is None:
        return frame
    parsed = _parsed_dates(frame[name], name, args.date_format)
    if parsed is None:
        return frame
    dates, out_format = parsed
    frame = frame.copy()
    frame[name] = dates.dt.strftime(out_format)
    if not dates.is_monotonic_increasing:
        order = np.argsort(dates.to_numpy(), kind="stable")
        frame = frame.iloc[order].reset_index(drop=True)
        dates = dates.iloc[order].reset_index(drop=True)
        progress.say(f"the rows were not in time order; sorted them by '{name}' "
                     f"({dates.iloc[0]:%Y-%m-%d} to {dates.iloc[-1]:%Y-%m-%d})")
    _report_gaps(dates, name, progress)
    return frame


def _time_column_name(frame, args):
    if args.time_column is not None:
        return _resolve_column(frame, args.time_column, "--time-column")
    name = _default_time_column(frame)
    if name is None and _looks_like_excel_serials(frame[frame.columns[0]], frame.columns[0]):
        return frame.columns[0]
    return name


def _looks_like_excel_serials(column, name):
    if not _is_numeric_column(column) or str(name).strip().lower() not in _TIME_WORDS:
        return False
    values = column.to_numpy(dtype=float)
    low, high = _EXCEL_SERIAL_RANGE
    return bool(np.all((values >= low) & (values <= high)))


def _parsed_dates(column, name, date_format):
    """(dates, format to write them in), or None when the column does not hold dates."""
    if date_format is not None:
        return _dates_in_format(column, name, date_format), date_format
    if _looks_like_excel_serials(column, name):
        dates = _EXCEL_EPOCH + pd.to_timedelta(column.to_numpy(dtype=float), unit="D")
        return pd.Series(dates), "%Y-%m-%d"
    if _is_numeric_column(column):
        return None
    text = column.astype(str).str.strip()
    for known in _DATE_FORMATS:
        dates = pd.to_datetime(text, format=known, errors="coerce")
        if not dates.isna().any():
            return dates, known
    readable = [(fmt, label, pd.to_datetime(text, format=fmt, errors="coerce"))
                for fmt, label in _AMBIGUOUS_DATE_FORMATS]
    readable = [(fmt, label, dates) for fmt, label, dates in readable if not dates.isna().any()]
    regular = [item for item in readable if _frequency(item[2].sort_values()) is not None]
    chosen = (regular or readable)[:1]
    if chosen:
        return chosen[0][2], "%Y-%m-%d" if ":" not in chosen[0][0] else "%Y-%m-%d %H:%M"
    if text.str.match(_DATE_LIKE).mean() > 0.5:
        unreadable = pd.Series(True, index=text.index)
        for fmt, _ in _AMBIGUOUS_DATE_FORMATS[:2]:
            unreadable &= pd.to_datetime(text, format=fmt, errors="coerce").isna()
        example = text[unreadable].iloc[0] if unreadable.any() else text.iloc[0]
        tried = ", ".join(f"{fmt} ({label})" for fmt, label in _AMBIGUOUS_DATE_FORMATS[:3])
        raise CliError(f"column '{name}': cannot read {example!r} as a date in one format for "
                       f"every row (tried ISO, {tried} and Excel serial days); give the format "
                       f"with --date-format, e.g. --date-format %d/%m/%Y")
    return None


def _dates_in_format(column, name, date_format):
    text = column.astype(str).str.strip()
    try:
        dates = pd.to_datetime(text, format=date_format, errors="coerce")
    except ValueError as exc:
        raise CliError(f"--date-format {date_format}: {exc}") from None
    if dates.isna().any():
        row = int(np.flatnonzero(dates.isna().to_numpy())[0])
        raise CliError(f"column '{name}': {text.iloc[row]!r} in data row {row + 1} does not "
                       f"match --date-format {date_format}")
    return dates


def _frequency(dates):
    if len(dates) < 3 or dates.duplicated().any():
        return None
    try:
        return pd.DatetimeIndex(dates, freq="infer").freq
    except (TypeError, ValueError):
        return None


def _frequency_despite_gaps(dates):
    """The frequency of a regular series that holds all these dates (some may be missing)."""
    local = (_frequency(dates[i:i + 3].to_series()) for i in range(min(len(dates) - 2, 60)))
    for freq in {f.freqstr: f for f in local if f is not None}.values():
        if dates.isin(pd.date_range(dates[0], dates[-1], freq=freq)).all():
            return freq
    return None


def _missing_dates(dates):
    """The dates a regular series would have besides these, or None when there is no such series."""
    freq = _frequency_despite_gaps(dates)
    if freq is None:
        return None
    return pd.date_range(dates[0], dates[-1], freq=freq).difference(dates)


def _report_gaps(dates, name, progress):
    """Says when time stamps repeat, are missing, or are spaced irregularly."""
    if len(dates) < 3:
        return
    repeated = dates[dates.duplicated()]
    if len(repeated):
        raise CliError(f"column '{name}' has {len(repeated)} repeated time stamp(s), the first "
                       f"{repeated.iloc[0]:%Y-%m-%d %H:%M:%S}; one row per time step is needed")
    if _frequency(dates) is not None:
        return
    missing = _missing_dates(pd.DatetimeIndex(dates))
    if missing is not None and len(missing):
        progress.say(f"note: {len(missing)} date(s) missing from '{name}', the first "
                     f"{missing[0]:%Y-%m-%d}; rows are taken as consecutive steps")
    else:
        progress.say(f"note: the time stamps in '{name}' are irregularly spaced; rows are taken "
                     "as consecutive steps and the forecast is labelled by step only")


def _resolve_column(frame, column_ref, option):
    """Column name for ``column_ref``, a column name or a 0-based position."""
    columns = [str(name) for name in frame.columns]
    if column_ref in columns:
        return frame.columns[columns.index(column_ref)]
    text = column_ref.strip()
    if text.lstrip("-").isdigit():
        position = int(text)
        if 0 <= position < len(columns):
            return frame.columns[position]
        raise CliError(f"{option} {column_ref}: column position out of range; the data has "
                       f"{len(columns)} columns (positions 0 to {len(columns) - 1})")
    hint = difflib.get_close_matches(column_ref, columns, n=1)
    suggestion = f" (did you mean '{hint[0]}'?)" if hint else ""
    raise CliError(f"{option} {column_ref}: unknown column{suggestion}; the data has the columns "
                   f"{', '.join(columns)}")


def _is_numeric_column(column):
    return pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column)


def _numeric_values(frame, name):
    """Column ``name`` as float64, or a :class:`CliError` naming the first bad cell."""
    column = frame[name]
    if not _is_numeric_column(column):
        numbers = pd.to_numeric(column, errors="coerce")
        bad = numbers.isna() & column.notna()
        if bad.any():
            row = int(np.flatnonzero(bad.to_numpy())[0])
            raise CliError(f"column '{name}' holds the non-numeric value "
                           f"{str(column.iloc[row])!r} in data row {row + 1}; forecasting "
                           f"needs numbers")
        column = numbers
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    missing = np.flatnonzero(~np.isfinite(values))
    if missing.size:
        raise CliError(f"column '{name}' has {missing.size} missing or infinite value(s), "
                       f"the first in data row {missing[0] + 1}; fill them in or drop "
                       f"those rows first")
    return values


def _default_time_column(frame):
    first = frame.columns[0]
    return None if _is_numeric_column(frame[first]) else first


def _default_target(frame, time_name):
    """The last column that is not the time column."""
    candidates = [name for name in frame.columns if name != time_name]
    if not candidates:
        raise CliError("the data has no column to forecast besides the time column")
    return [candidates[-1]]


def _select_series(frame, args):
    if args.time_column is not None:
        time_name = _resolve_column(frame, args.time_column, "--time-column")
    else:
        time_name = _default_time_column(frame)
    if args.target:
        targets = _unique(_resolve_column(frame, column_ref, "--target")
                          for column_ref in args.target)
    else:
        targets = _default_target(frame, time_name)
    features = _unique(_resolve_column(frame, column_ref, "--features")
                       for column_ref in args.features)
    features = [name for name in features if name not in targets]
    for name in targets + features:
        if name == time_name:
            raise CliError(f"column '{name}' is the time column; it cannot also be a "
                           f"target or a feature")
    values = np.column_stack([_numeric_values(frame, name) for name in targets + features])
    time_values = None if time_name is None else frame[time_name].reset_index(drop=True)
    return _Series(values, [str(t) for t in targets], [str(f) for f in features],
                   time_name, time_values)


def _unique(names):
    seen = []
    for name in names:
        if name not in seen:
            seen.append(name)
    return seen


# ---------------------------------------------------------------------------
# Forecaster
# ---------------------------------------------------------------------------

@dataclass
class _Plan:
    """Everything needed to build the forecaster, derived from the options."""

    model: str
    window: str
    strategy: str
    horizon: int
    lookback: int
    n_targets: int
    n_features: int
    scheme: object
    budget: float
    fast: bool
    jobs: int
    seed: int
    confidence: float
    verbose: bool
    regressor: object = None  # an unfitted regressor when --model names one

    @property
    def description(self):
        if self.regressor is None:
            return READY_MADE_MODELS[self.model]
        return f"{type(self.regressor).__name__} on {self.window} windows"

    @property
    def pred_win(self):
        return self.horizon if self.strategy == "direct" else 1

    @property
    def n_windows_needed(self):
        """Rows needed for MIN_WINDOWS training windows."""
        return self.lookback + self.pred_win - 1 + MIN_WINDOWS


def _plan(args, data):
    strategy = args.strategy or ("direct" if data.feature_names else "recursive")
    model = args.model
    regressor = None
    if model.lower() in READY_MADE_MODELS:
        model = model.lower()
        window = "difference" if model == "difference" else (
            "flatten" if model == "flatten" else "localized")
    else:
        regressor = _resolve_regressor(model)
        window = args.window
    if window == "difference" and args.lookback < 2:
        raise CliError("--lookback must be at least 2 with differenced windows; got "
                       f"{args.lookback}")
    return _Plan(
        model=model, window=window, strategy=strategy, horizon=args.horizon,
        lookback=args.lookback, n_targets=len(data.target_names),
        n_features=len(data.feature_names),
        scheme=None if args.transform == "none" else args.transform,
        budget=args.budget, fast=args.fast, jobs=args.jobs, seed=args.seed,
        confidence=args.confidence, verbose=not args.quiet, regressor=regressor,
    )


def _resolve_regressor(name):
    """An unfitted instance of the regressor class named ``name``.

    ``name`` is a class name from scikit-learn or a dotted path such as
    ``xgboost.XGBRegressor``; the class is built with its default parameters.
    """
    if "." in name:
        module_name, _, class_name = name.rpartition(".")
        try:
            found = getattr(importlib.import_module(module_name), class_name, None)
        except ImportError as exc:
            raise CliError(f"--model {name}: cannot import {module_name} ({exc}); "
                           f"is the package installed?") from None
        if found is None:
            raise CliError(f"--model {name}: {module_name} has no {class_name}")
    else:
        found = _find_sklearn_regressor(name)
    from sklearn.base import is_regressor
    if not isinstance(found, type):
        raise CliError(f"--model {name} is not a class")
    try:
        regressor = found()
    except Exception as exc:
        raise CliError(f"--model {name} cannot be built without arguments ({exc})") from None
    if not is_regressor(regressor):
        raise CliError(f"--model {name} is not a regressor")
    return regressor


def _find_sklearn_regressor(name):
    for module_name in REGRESSOR_MODULES:
        found = getattr(importlib.import_module(module_name), name, None)
        if isinstance(found, type):
            return found
    known = list(READY_MADE_MODELS)
    for module_name in REGRESSOR_MODULES:
        module = importlib.import_module(module_name)
        known += [attr for attr in getattr(module, "__all__", []) if attr.endswith("Regressor")
                  or attr.endswith("Regression") or attr in ("Ridge", "Lasso", "ElasticNet")]
    hint = difflib.get_close_matches(name, known, n=3)
    suggestion = f"; did you mean {' or '.join(hint)}?" if hint else ""
    raise CliError(f"--model {name}: unknown model; use auto, localized, difference, flatten "
                   f"or a scikit-learn regressor such as Ridge{suggestion}")


def _check_length(data, plan):
    n_rows = len(data.values)
    needed = plan.n_windows_needed
    if n_rows >= needed:
        return
    rows = f"{n_rows} row{'s' if n_rows != 1 else ''}"
    largest_lookback = n_rows - needed + plan.lookback
    if largest_lookback < 1:
        raise CliError(f"the series has {rows}, too short to forecast"
                       + (f" {plan.horizon} steps at once" if plan.pred_win > 1 else "")
                       + f": at least {needed - plan.lookback + 1} rows are needed")
    raise CliError(f"the series has {rows}, too short for --lookback {plan.lookback}"
                   + (f" and --horizon {plan.horizon} (direct strategy)" if plan.pred_win > 1
                      else "")
                   + f": at least {needed} rows are needed; pass --lookback "
                   f"{largest_lookback} or less")


def _strategy_keywords(plan):
    if plan.strategy == "direct":
        return dict(pred_win=plan.horizon, multistep_prediction_strategy="multioutput",
                    multistep_prediction_win=plan.horizon)
    return dict(pred_win=1, multistep_prediction_strategy="recursive",
                multistep_prediction_win=plan.horizon)


def _column_keywords(plan):
    targets = list(range(plan.n_targets))
    features = list(range(plan.n_targets + plan.n_features))
    return dict(feature_columns=features, target_columns=targets)


def _search_settings(plan):
    """Search-space and interval settings of the ensemble regressor."""
    return dict(
        dag_granularity="tiny" if plan.fast else "default",
        n_leaders_for_ensemble=3 if plan.fast else 5,
        n_estimators_for_pred_interval=10 if plan.fast else 30,
        total_execution_time=plan.budget,
        execution_time_per_pipeline=min(1.0, plan.budget),
    )


def _build_forecaster(plan):
    """An unfitted forecaster for ``plan``; its last step is an ``EnsembleRegressor``."""
    from orvane.gusk.estimators.tembrel.models import gusk_estimators

    columns, strategy = _column_keywords(plan), _strategy_keywords(plan)
    settings = _search_settings(plan)
    if plan.regressor is None:
        forecaster_class = getattr(gusk_estimators, READY_MADE_MODELS[plan.model])
        forecaster = forecaster_class(lookback_win=plan.lookback,
                                      data_transformation_scheme=plan.scheme,
                                      **columns, **strategy, **settings)
    else:
        forecaster = _regressor_pipeline(plan, columns, strategy, settings)
    forecaster.steps[-1][1].set_params(
        random_state=plan.seed, verbose=plan.verbose, confidence_level=plan.confidence,
        n_jobs=plan.jobs,
    )
    return forecaster


def _regressor_pipeline(plan, columns, strategy, settings):
    """Windowing step + the named regressor, wrapped so that it also gives intervals.

    The regressor is the only candidate of an ``EnsembleRegressor``: the
    "search" just scores it, and its bootstrap copies give the intervals.
    """
    from orvane.gusk.estimators.regression.auto_ensemble_regressor import EnsembleRegressor
    from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator
    from orvane.gusk.transformers.preprocessing import ts_transformer

    plain_name, exogenous_name = WINDOW_STEPS[plan.window]
    step_name = exogenous_name if plan.n_features else plain_name
    window_class = getattr(ts_transformer, step_name)
    window_keywords = dict(feature_col_index=columns["feature_columns"],
                           target_col_index=columns["target_columns"],
                           lookback_win=plan.lookback, pred_win=strategy["pred_win"])
    if step_name != plain_name or plan.window == "flatten":
        window_keywords["look_ahead_fcol_index"] = []
    regressor = EnsembleRegressor(
        stages=[[plan.regressor]],
        total_execution_time=settings["total_execution_time"],
        execution_time_per_pipeline=settings["execution_time_per_pipeline"],
        n_leaders_for_ensemble=1,
        n_estimators_for_pred_interval=settings["n_estimators_for_pred_interval"],
    )
    return GUSKTimeSeriesEstimator(
        steps=[(step_name, window_class(**window_keywords)),
               (type(plan.regressor).__name__, regressor)],
        lookback_win=plan.lookback, data_transformation_scheme=plan.scheme,
        **columns, **strategy,
    )


@dataclass
class _Forecast:
    """Point forecast and interval bounds, each of shape (horizon, n_targets)."""

    point: np.ndarray
    lower: np.ndarray
    upper: np.ndarray


def _fit_and_forecast(forecaster, data, plan):
    """Fit on the whole series, forecast ``plan.horizon`` steps and their intervals."""
    shape = (plan.horizon, plan.n_targets)
    try:
        forecaster.fit(data.values)
        point = np.asarray(forecaster.predict(data.values), dtype=np.float64).reshape(shape)
        # The interval of the forecast comes from the last look-back window alone:
        # given more rows, the estimator returns one interval per window.
        bounds = np.asarray(forecaster.predict_proba(data.values[-plan.lookback:]),
                            dtype=np.float64)
        bounds = bounds.reshape(plan.horizon, plan.n_targets, 2)
    except Exception as exc:
        raise _ForecasterFailure(f"{type(exc).__name__}: {exc}") from exc
    return _Forecast(point, np.minimum(bounds[..., 0], bounds[..., 1]),
                     np.maximum(bounds[..., 0], bounds[..., 1]))


def _best_pipeline_note(forecaster):
    regressor = forecaster.steps[-1][1]
    names = getattr(regressor, "leader_names_", None)
    if not names:
        return "fitted"
    return f"best pipeline: {names[0]}"


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------

def _future_labels(time_values, horizon):
    """Time stamps of the next ``horizon`` steps, or None when they cannot be told."""
    if time_values is None or len(time_values) < 3:
        return None
    if _is_numeric_column(time_values):
        steps = np.diff(time_values.to_numpy())
        if np.all(steps == steps[0]) and steps[0] > 0:
            return [time_values.iloc[-1] + steps[0] * (i + 1) for i in range(horizon)]
        return None
    text = time_values.astype(str)
    for date_format in _DATE_FORMATS:
        dates = pd.to_datetime(text, format=date_format, errors="coerce")
        if dates.isna().any():
            continue
        try:
            frequency = pd.DatetimeIndex(dates, freq="infer").freq
        except (TypeError, ValueError):
            frequency = None
        frequency = frequency or _frequency_despite_gaps(pd.DatetimeIndex(dates))
        if frequency is None:
            return None
        future = pd.date_range(dates.iloc[-1], periods=horizon + 1, freq=frequency)[1:]
        return [stamp.strftime(date_format) for stamp in future]
    return None


def _forecast_table(data, result, horizon):
    """The forecast as a table: step, time stamp (if known), then per target value and bounds."""
    table = pd.DataFrame({"step": np.arange(1, horizon + 1)})
    labels = _future_labels(data.time_values, horizon)
    if labels is not None:
        table[str(data.time_name)] = labels
    for j, name in enumerate(data.target_names):
        table[name] = result.point[:, j]
        table[f"{name}_lower"] = result.lower[:, j]
        table[f"{name}_upper"] = result.upper[:, j]
    return table


def _write_csv(table, output):
    try:
        if output == "-":
            table.to_csv(sys.stdout, index=False, float_format="%.10g")
        else:
            table.to_csv(output, index=False, float_format="%.10g")
    except OSError as exc:
        raise CliError(f"cannot write {output!r}: {exc.strerror or exc}") from None


def _time_axis(data, table):
    """Values along x for the history and the forecast (dates when the time column has them)."""
    n_rows = len(data.values)
    if data.time_values is not None and str(data.time_name) in table:
        labels = table[str(data.time_name)]
        history = data.time_values
        if not _is_numeric_column(history):
            for date_format in _DATE_FORMATS:
                parsed = pd.to_datetime(history.astype(str), format=date_format,
                                        errors="coerce")
                if not parsed.isna().any():
                    return (parsed.to_numpy(),
                            pd.to_datetime(labels, format=date_format).to_numpy())
        else:
            return history.to_numpy(), labels.to_numpy()
    return np.arange(n_rows), np.arange(n_rows, n_rows + len(table))


def _write_plot(path, data, table, plan):
    """Draw each target's history, forecast and interval band into ``path``."""
    from matplotlib.figure import Figure

    history_x, future_x = _time_axis(data, table)
    first = max(0, len(history_x) - max(PLOTTED_HISTORY, 8 * plan.horizon))
    figure = Figure(figsize=(9, 3.2 * plan.n_targets), layout="constrained")
    axes = figure.subplots(plan.n_targets, 1, squeeze=False)[:, 0]
    for j, (ax, name) in enumerate(zip(axes, data.target_names, strict=True)):
        ax.plot(history_x[first:], data.values[first:, j], color="0.25", label="history")
        # The forecast line starts at the last observation so that the two join up.
        ax.plot(np.concatenate([history_x[-1:], future_x]),
                np.concatenate([data.values[-1:, j], table[name].to_numpy()]),
                color="tab:blue", marker=".", markevery=list(range(1, len(future_x) + 1)),
                label="forecast")
        ax.fill_between(future_x, table[f"{name}_lower"], table[f"{name}_upper"],
                        color="tab:blue", alpha=0.2,
                        label=f"{100 * plan.confidence:g}% interval")
        ax.set_ylabel(name)
        ax.legend(loc="upper left")
    axes[0].set_title(f"{', '.join(data.target_names)}: {plan.horizon}-step forecast, "
                      f"{plan.description}")
    try:
        figure.savefig(path)
    except (OSError, ValueError) as exc:
        raise CliError(f"cannot write the plot to {path!r}: {exc}") from None


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
