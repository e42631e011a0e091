"""Property-based robustness checks of the two native modules.

Every public and private method of ``GUSKTimeSeriesEstimator``, of the three ready-made
forecasters and every function of ``tembrel`` is called with random arguments: arrays of random
shapes, dtypes and memory layouts (NaN and infinity included), lists, tuples, None, wrong types,
huge and negative window sizes, column indices out of range, mismatched column lists. The calls
are made on fitted and unfitted estimators, optionally after some of their attributes were set
to random values (on a deep copy, so the shared fitted estimators never change).

Each call must either return or raise an ordinary Python exception: never ``SystemError``,
never a message that looks like a C++ exception, never a hang. Every array handed to a method
must come back bit-for-bit unchanged (data, dtype, shape, strides and flags), and the arrays a
method documents as new must not share memory with its arguments.

Two profiles: a fast, derandomised one used by default, and a long one selected with
``ORVANE_FUZZ=long`` that makes well over 100,000 calls (``ORVANE_FUZZ_EXAMPLES`` changes its
number of examples per test, 900 by default). The module prints the number of calls it made
and, when ``ORVANE_FUZZ_REPORT`` names a file, writes a summary of the outcomes there.
"""

import collections
import contextlib
import copy
import functools
import json
import os
import pickle
import re
import signal
import threading
import warnings
from unittest import mock

import joblib
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from sklearn.linear_model import LinearRegression

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
import orvane.gusk.estimators.utils.tembrel as tembrel_module
from orvane.utils.parameter_warnings import UnusedParameterWarning
from orvane.gusk.transformers.preprocessing.ts_transformer import (
    DifferenceFlatten,
    Flatten,
    LocalizedFlatten,
)

GUSK = gusk_module.GUSKTimeSeriesEstimator
READY_MADE = (
    gusk_module.FlattenAutoEnsembler,
    gusk_module.DifferenceFlattenAutoEnsembler,
    gusk_module.LocalizedFlattenAutoEnsembler,
)

# ---------------------------------------------------------------------------------------------
# Profiles

LONG_RUN = os.environ.get("ORVANE_FUZZ", "").strip().lower() == "long"

_QUIET_HEALTH_CHECKS = [
    HealthCheck.too_slow,
    HealthCheck.data_too_large,
    HealthCheck.filter_too_much,
    HealthCheck.large_base_example,
]
settings.register_profile(
    "orvane-fuzz-fast",
    max_examples=12,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=_QUIET_HEALTH_CHECKS,
)
settings.register_profile(
    "orvane-fuzz-long",
    max_examples=int(os.environ.get("ORVANE_FUZZ_EXAMPLES", "900")),
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=_QUIET_HEALTH_CHECKS,
)
_profile = settings.get_profile("orvane-fuzz-long" if LONG_RUN else "orvane-fuzz-fast")


def fuzz_settings(test):
    """Apply the active profile, and load Hypothesis' failure-report helpers quietly.

    When a Hypothesis test fails, its pytest plugin imports a module whose dependencies emit a
    DeprecationWarning while the report is made; under ``filterwarnings = error`` that turns
    the failure into an internal error of pytest. Importing it once, with warnings silenced,
    before the failure propagates keeps the report intact.
    """

    configured = _profile(test)

    @functools.wraps(configured)
    def reporting_cleanly(*args, **kwargs):
        try:
            return configured(*args, **kwargs)
        except BaseException:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                with contextlib.suppress(ImportError):
                    import hypothesis.extra._patching  # noqa: F401
            raise

    return reporting_cleanly


#: Wall-clock limit of one call; the slowest legitimate call (fitting a ready-made forecaster on
#: a fuzzed series) takes well under a second.
CALL_TIME_LIMIT = 30.0 if LONG_RUN else 15.0

#: Text that only a C++ exception turned into a Python one would carry.
CXX_MESSAGE = re.compile(
    r"std::|basic_string|\bvector\b|pybind11|internal error|Unable to cast Python instance",
    re.IGNORECASE,
)

# ---------------------------------------------------------------------------------------------
# The checked call


class CallTimedOut(BaseException):
    """Raised by the watchdog inside a call that ran longer than CALL_TIME_LIMIT.

    A BaseException, so that no ``except Exception`` on the way swallows it.
    """


class FuzzLedger:
    """Counts the calls and their outcomes over the whole module."""

    calls = 0
    outcomes = collections.Counter()

    @classmethod
    def record(cls, label, outcome):
        cls.calls += 1
        cls.outcomes[(label, outcome)] += 1


@contextlib.contextmanager
def watchdog(seconds):
    """Raise CallTimedOut in the main thread when the block runs longer than ``seconds``."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def _expired(signum, frame):
        raise CallTimedOut(f"call still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, _expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def quiet_and_in_process():
    """No warnings (NumPy's runtime warnings are expected here) and joblib work in-process.

    The sequential backend keeps every fan-out in this process, where the watchdog and the
    sanitizers can see it, whatever the core count of the machine.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with joblib.parallel_config(backend="sequential"):
            yield


class ArraySnapshot:
    """Everything observable about one array the caller owns, taken before a call."""

    FLAGS = ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE", "ALIGNED", "WRITEBACKIFCOPY")

    def __init__(self, where, array):
        self.where = where
        self.array = array
        self.dtype = array.dtype
        self.shape = array.shape
        self.strides = array.strides
        self.flags = {name: array.flags[name] for name in self.FLAGS}
        self.data = array.tobytes(order="A")

    def differences(self):
        array = self.array
        found = []
        if array.dtype != self.dtype:
            found.append(f"dtype {self.dtype} -> {array.dtype}")
        if array.shape != self.shape:
            found.append(f"shape {self.shape} -> {array.shape}")
        if array.strides != self.strides:
            found.append(f"strides {self.strides} -> {array.strides}")
        flags = {name: array.flags[name] for name in self.FLAGS}
        if flags != self.flags:
            found.append(f"flags {self.flags} -> {flags}")
        if not found and array.tobytes(order="A") != self.data:
            found.append("data changed")
        return [f"{self.where}: {text}" for text in found]


class FrameSnapshot:
    """The same for a pandas DataFrame: values, dtypes, index and columns."""

    def __init__(self, where, frame):
        self.where = where
        self.frame = frame
        self.saved = frame.copy(deep=True)

    def differences(self):
        frame, saved = self.frame, self.saved
        same = (
            frame.shape == saved.shape
            and list(frame.dtypes) == list(saved.dtypes)
            and frame.index.equals(saved.index)
            and frame.columns.equals(saved.columns)
            and np.array_equal(frame.to_numpy(), saved.to_numpy(), equal_nan=True)
        )
        return [] if same else [f"{self.where}: DataFrame changed"]


def snapshot_arrays(value, where="argument", depth=0, seen=None):
    """Snapshots of every array and DataFrame reachable through lists, tuples and dicts."""
    seen = set() if seen is None else seen
    if id(value) in seen or depth > 4:
        return []
    seen.add(id(value))
    if isinstance(value, np.ndarray):
        return [ArraySnapshot(where, value)]
    if isinstance(value, pd.DataFrame):
        return [FrameSnapshot(where, value)]
    if isinstance(value, (list, tuple)):
        found = []
        for i, item in enumerate(value):
            found += snapshot_arrays(item, f"{where}[{i}]", depth + 1, seen)
        return found
    if isinstance(value, dict):
        found = []
        for key, item in value.items():
            found += snapshot_arrays(item, f"{where}[{key!r}]", depth + 1, seen)
        return found
    return []


def describe(value, limit=400):
    """A short, mostly runnable text for a value, used in failure messages."""
    if isinstance(value, np.ndarray):
        if value.size <= 40 and value.dtype != object:
            body = np.array2string(value, separator=", ", precision=17, threshold=1000)
            text = f"np.array({body}, dtype=np.{value.dtype.name})"
        else:
            text = f"<ndarray shape={value.shape} dtype={value.dtype}>"
        if not value.flags.writeable:
            text += " (read-only)"
        if not value.flags.c_contiguous:
            text += " (not C-contiguous)"
        return text
    try:
        text = repr(value)
    except Exception as exc:  # estimators in a broken state cannot always print themselves
        text = f"<{type(value).__name__} object; repr failed with {type(exc).__name__}>"
    return text if len(text) <= limit else text[:limit] + "..."


def call_text(name, args, kwargs):
    parts = [describe(a) for a in args] + [f"{k}={describe(v)}" for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


class Violation(AssertionError):
    """A broken robustness rule, with the call that broke it."""


def checked_call(label, function, *args, context="", fresh_result=False, **kwargs):
    """Call ``function`` and enforce the robustness rules.

    Parameters
    ----------
    label : str
        Name of what is called, for the ledger and the messages.
    function : callable
    context : str
        How the receiver was prepared (estimator, attribute changes), for the messages.
    fresh_result : bool
        The result is documented as a new array: it must not share memory with any argument.

    Returns
    -------
    tuple
        ``("returned", result)`` or ``("raised", exception)``.
    """
    snapshots = snapshot_arrays((args, kwargs))

    def where():
        return f"{context}\n    call: {call_text(label, args, kwargs)}"

    try:
        with quiet_and_in_process(), watchdog(CALL_TIME_LIMIT):
            result = function(*args, **kwargs)
    except CallTimedOut:
        FuzzLedger.record(label, "hang")
        raise Violation(f"call did not finish within {CALL_TIME_LIMIT} s\n{where()}") from None
    except SystemError as exc:
        FuzzLedger.record(label, "SystemError")
        raise Violation(f"SystemError escaped: {exc!r}\n{where()}") from exc
    except Exception as exc:  # every ordinary exception is an acceptable outcome
        FuzzLedger.record(label, type(exc).__name__)
        message = str(exc)
        if CXX_MESSAGE.search(message) or CXX_MESSAGE.search(type(exc).__name__):
            raise Violation(
                f"{type(exc).__name__} with a C++-looking message: {message[:300]!r}\n{where()}"
            ) from exc
        outcome = ("raised", exc)
    else:
        FuzzLedger.record(label, "returned")
        outcome = ("returned", result)
    changed = [text for snap in snapshots for text in snap.differences()]
    if changed:
        raise Violation("the caller's data was modified: " + "; ".join(changed) + f"\n{where()}")
    if fresh_result and outcome[0] == "returned" and isinstance(outcome[1], np.ndarray):
        shared = [snap.where for snap in snapshots
                  if isinstance(snap, ArraySnapshot) and np.shares_memory(outcome[1], snap.array)]
        if shared:
            raise Violation(f"the result shares memory with {', '.join(shared)}\n{where()}")
    return outcome


def _write_first_cell(array):
    array.flat[0] = 99


def _raise(exc):
    raise exc


@pytest.mark.parametrize("function, message", [
    (_write_first_cell, "data changed"),
    (lambda a: a.setflags(write=False), "flags"),
    (lambda a: a.resize((1,), refcheck=False), "shape"),
    (lambda a: _raise(SystemError("bad call")), "SystemError escaped"),
    (lambda a: _raise(RuntimeError("Unable to cast Python instance of type <class 'int'>")), r"C\+\+-looking"),
    (lambda a: _raise(ValueError("std::bad_alloc")), r"C\+\+-looking"),
    (lambda a: np.asarray(a)[:1], "shares memory"),
])
def test_checked_call_reports_each_broken_rule(function, message):
    array = np.arange(4.0)
    with pytest.raises(Violation, match=message):
        checked_call("probe", function, array, fresh_result=True)


@pytest.mark.parametrize("function, outcome", [
    (lambda a: a.sum(), "returned"),
    (lambda a: a.copy(), "returned"),
    (lambda a: _raise(ValueError("X must be a 2-D array")), "raised"),
    (lambda a: _raise(Exception("ORVANE0047E: not enough rows")), "raised"),
])
def test_checked_call_accepts_results_and_ordinary_errors(function, outcome):
    array = np.arange(4.0)
    assert checked_call("probe", function, array, fresh_result=True)[0] == outcome
    np.testing.assert_array_equal(array, np.arange(4.0))


# ---------------------------------------------------------------------------------------------
# Estimators


def training_series(n_rows=40):
    """Three columns: two smooth positive series and a small integer-valued driver."""
    t = np.arange(n_rows, dtype=float)
    return np.column_stack([20.0 + 10.0 * np.sin(t / 5.0), 10.0 + 5.0 * np.cos(t / 7.0), 1.0 + t % 3])


def fast_ready_made(cls, **overrides):
    """A ready-made forecaster with the smallest search and interval settings."""
    settings_ = dict(
        dag_granularity="tiny",
        total_execution_time=0.02,
        execution_time_per_pipeline=0.02,
        n_leaders_for_ensemble=2,
        n_estimators_for_pred_interval=3,
        n_jobs=1,
    )
    settings_.update(overrides)
    feature_columns = settings_.pop("feature_columns", [0, 1])
    target_columns = settings_.pop("target_columns", [0, 1])
    lookback_win = settings_.pop("lookback_win", 3)
    pred_win = settings_.pop("pred_win", 1)
    estimator = cls(feature_columns, target_columns, lookback_win, pred_win, **settings_)
    estimator.steps[-1][1].set_params(random_state=0)
    return estimator


def flatten_pipeline(transformer=Flatten, features=(0, 1), targets=(0, 1), lookback=3, pred_win=1,
                     look_ahead=None, **estimator_settings):
    """A pipeline estimator: one windowing transformer and a linear regression."""
    keywords = dict(feature_col_index=list(features), target_col_index=list(targets),
                    lookback_win=lookback, pred_win=pred_win)
    if look_ahead is not None:
        keywords["look_ahead_fcol_index"] = list(look_ahead)
    steps = [("window", transformer(**keywords)), ("model", LinearRegression())]
    return GUSK(steps, list(features), list(targets), lookback_win=lookback, pred_win=pred_win,
                look_ahead_fcolumns=None if look_ahead is None else list(look_ahead),
                **estimator_settings)


ESTIMATOR_FACTORIES = {
    "flatten": lambda: flatten_pipeline(),
    "flatten_log_history": lambda: flatten_pipeline(
        data_transformation_scheme="log", store_lookback_history=True),
    "difference_mean_encoded": lambda: flatten_pipeline(
        DifferenceFlatten, data_transformation_scheme="mean_division",
        multivariate_column_encoding=True),
    "localized_sqrt": lambda: flatten_pipeline(LocalizedFlatten, data_transformation_scheme="sqrt"),
    "exogenous_two_steps": lambda: flatten_pipeline(
        features=(0, 1), targets=(0,), pred_win=2, look_ahead=(2,), store_lookback_history=True),
    "recursive": lambda: flatten_pipeline(
        multistep_prediction_strategy="recursive", multistep_prediction_win=3),
    "recursive_lookback_1": lambda: flatten_pipeline(
        features=(0, 1, 2), targets=(0, 1, 2), lookback=1, multistep_prediction_strategy="recursive",
        multistep_prediction_win=2),
    "multioutput": lambda: flatten_pipeline(
        pred_win=3, multistep_prediction_strategy="multioutput", multistep_prediction_win=3),
    "flatten_auto": lambda: fast_ready_made(gusk_module.FlattenAutoEnsembler),
    "difference_auto": lambda: fast_ready_made(gusk_module.DifferenceFlattenAutoEnsembler),
    "localized_auto_recursive": lambda: fast_ready_made(
        gusk_module.LocalizedFlattenAutoEnsembler, multistep_prediction_strategy="recursive",
        multistep_prediction_win=2),
}
READY_MADE_NAMES = ("flatten_auto", "difference_auto", "localized_auto_recursive")


class EstimatorPool:
    """Fitted estimators made once per module; callers receive deep copies."""

    def __init__(self):
        X = training_series()
        self.fitted = {}
        with quiet_and_in_process():
            for name, factory in ESTIMATOR_FACTORIES.items():
                self.fitted[name] = factory().fit(X)

    def get(self, name, fitted):
        if fitted:
            return copy.deepcopy(self.fitted[name])
        with quiet_and_in_process():
            return ESTIMATOR_FACTORIES[name]()


@pytest.fixture(scope="module")
def pool():
    return EstimatorPool()


@pytest.fixture(scope="module", autouse=True)
def call_count_report(request):
    """Print (and optionally record) how many calls the module made and how they ended."""
    start = FuzzLedger.calls
    yield
    calls = FuzzLedger.calls - start
    line = f"fuzz: {calls} checked calls ({'long' if LONG_RUN else 'fast'} profile)"
    plugins = request.config.pluginmanager
    reporter, capture = plugins.get_plugin("terminalreporter"), plugins.get_plugin("capturemanager")
    if reporter is not None:
        # Past pytest's output capture, so that the count shows whatever the outcome.
        with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
            reporter.write("\n")
            reporter.write_line(line)
    report_path = os.environ.get("ORVANE_FUZZ_REPORT")
    if report_path:
        summary = collections.defaultdict(dict)
        for (label, outcome), count in FuzzLedger.outcomes.items():
            summary[label][outcome] = count
        with open(report_path, "w") as handle:
            json.dump({"profile": "long" if LONG_RUN else "fast", "calls": calls,
                       "outcomes": summary}, handle, indent=1, sort_keys=True)


# ---------------------------------------------------------------------------------------------
# Value strategies

#: Both sides of the boundaries of the C integer types the native code converts to: int,
#: unsigned int, the integers a double holds exactly, Py_ssize_t (long long), unsigned long long.
C_BOUNDARY_INTS = (2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**53, 2**53 + 1, 2**62, 2**63 - 1, 2**63,
                   2**64 - 1, 2**64, -1, -(2**31), -(2**31) - 1, -(2**53), -(2**63), -(2**63) - 1)
HUGE_INTS = (2**40, 10**30, -(10**30)) + C_BOUNDARY_INTS

#: As window sizes and step counts, only sizes no machine could ever allocate (2^40 rows and
#: more) and negative ones: a size some machine can allocate (2^31 rows of 8 bytes, 16 GiB)
#: would really be allocated or looped over, which tells nothing and stalls a shared machine.
UNALLOCATABLE_INTS = tuple(n for n in HUGE_INTS if n >= 2**40 or n < 0)

#: Values that break arithmetic, sprinkled into otherwise ordinary series.
SPECIAL_VALUES = (0.0, -1.0, 1.0, np.nan, np.inf, -np.inf, 1e300, -1e-300)

#: Any float64, special values included; for arrays that are not meant to be a clean series.
series_elements = st.one_of(
    st.floats(min_value=-1e3, max_value=1e3, allow_nan=False, allow_infinity=False),
    st.sampled_from(SPECIAL_VALUES),
)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-10, 10),
    st.sampled_from(HUGE_INTS),
    st.floats(),
    st.text(max_size=4),
    st.binary(max_size=3),
    st.sampled_from([np.float64("nan"), np.int64(3), np.bool_(True), np.float32(-2.5), 1 + 2j]),
)

junk = st.one_of(
    scalars,
    st.lists(st.integers(-3, 5), max_size=4),
    st.tuples(st.integers(-3, 5), st.none()),
    st.dictionaries(st.text(max_size=2), st.integers(-2, 2), max_size=2),
    st.sampled_from([object(), len, LinearRegression, range(3), {1, 2}, frozenset()]),
)

odd_dtypes = st.sampled_from([
    np.int64, np.int32, np.uint8, np.float32, np.float64, np.bool_, np.complex128,
    np.dtype("U3"), np.dtype("S2"), np.dtype("datetime64[D]"), np.dtype("timedelta64[s]"),
])
object_elements = st.one_of(st.none(), st.integers(-5, 5), st.floats(), st.text(max_size=2),
                            st.lists(st.integers(), max_size=2))


@st.composite
def laid_out(draw, array):
    """The same values in another memory layout: Fortran order, strided or read-only."""
    layout = draw(st.sampled_from(["plain", "plain", "fortran", "strided", "read-only"]))
    if layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "strided" and array.ndim >= 1:
        doubled = np.repeat(array, 2, axis=0)
        array = doubled[::2]
    elif layout == "read-only":
        array = array.copy()
        array.setflags(write=False)
    return array


@st.composite
def float_series(draw, n_columns=None, max_rows=24):
    """Two-dimensional float64 series: 0 to max_rows rows; n_columns columns when given.

    Most are ordinary finite numbers; one in four gets a few special values (NaN, infinities,
    zeros, extremes) at random cells.
    """
    rows = draw(st.integers(0, max_rows))
    columns = n_columns if n_columns is not None else draw(st.integers(0, 5))
    finite = st.floats(min_value=-1e3, max_value=1e3, allow_nan=False, allow_infinity=False)
    array = draw(hnp.arrays(np.float64, (rows, columns), elements=finite))
    if array.size and draw(st.integers(0, 3)) == 0:
        for _ in range(draw(st.integers(1, 3))):
            cell = (draw(st.integers(0, rows - 1)), draw(st.integers(0, columns - 1)))
            array[cell] = draw(st.sampled_from(SPECIAL_VALUES))
    return draw(laid_out(array))


_FINITE = st.floats(min_value=-1e3, max_value=1e3, allow_nan=False, allow_infinity=False)
#: Float64 series with more columns than rows.
wide_series = hnp.arrays(np.float64, st.integers(0, 4).flatmap(lambda n: st.tuples(st.just(n), st.integers(n + 1, 12))),
                         elements=_FINITE)
#: What the native recursive loop takes: C-contiguous float64 windows of look-back + 1 rows
#: (the pool's recursive pipelines look back 1 or 3 rows).
native_loop_windows = hnp.arrays(np.float64, st.tuples(st.sampled_from([2, 4]), st.integers(3, 6)), elements=_FINITE)


def odd_arrays(max_dims=3):
    """Arrays of 0 to max_dims dimensions, any side from 0 to 6, odd dtypes, odd layouts."""
    shapes = hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=6)
    typed = hnp.arrays(odd_dtypes, shapes)
    objects = hnp.arrays(object, shapes, elements=object_elements)
    return st.one_of(typed, objects, hnp.arrays(np.float64, shapes, elements=series_elements)).flatmap(laid_out)


def quietly(function):
    """``function`` with NumPy's warnings (overflow in a cast, say) silenced while it runs."""

    @functools.wraps(function)
    def silenced(*args):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return function(*args)

    return silenced


@quietly
def as_integers(array):
    """The series rounded into int64 (NaN and infinities become 0)."""
    return np.nan_to_num(np.clip(array, -1e6, 1e6), nan=0.0).astype(np.int64)


def as_matrix(array):
    """``np.asmatrix(array)``; the matrix class warns that it is pending deprecation."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(array)


def series_values(n_columns=3):
    """What a caller might pass as X: mostly well-formed series, often not."""
    good = float_series(n_columns)
    return st.one_of(
        good, good, good,
        float_series(),
        wide_series,
        good.map(as_integers),
        good.map(quietly(lambda a: a.astype(np.float32))),
        good.map(lambda a: a.astype(object)),
        good.map(lambda a: a.tolist()),
        good.map(lambda a: pd.DataFrame(a)),
        good.map(as_matrix),
        odd_arrays(),
        junk,
    )


def target_values():
    """What a caller might pass as y or as a prediction array."""
    one_dim = hnp.arrays(np.float64, st.integers(0, 24), elements=series_elements)
    two_dim = float_series(max_rows=12)
    return st.one_of(one_dim, two_dim, two_dim, odd_arrays(), junk)


window_values = st.one_of(
    st.integers(-3, 8), st.integers(-3, 8), st.integers(-3, 8),
    st.sampled_from(UNALLOCATABLE_INTS),
    st.lists(st.one_of(st.integers(-2, 6), st.lists(st.integers(-1, 6), max_size=3)), max_size=4),
    st.sampled_from([None, 2.5, "3", np.int64(4), np.float64(2.0), True, (3, 2), np.array([2, 3])]),
)

#: Step counts drive loops of one prediction per step: small ones, or ones whose forecast could
#: never be allocated (refused before the first step).
step_counts = st.one_of(st.integers(-3, 4), st.integers(-3, 4), st.sampled_from(UNALLOCATABLE_INTS),
                        st.sampled_from([None, 1.5, "2", np.int64(2), True, np.int64(2**62)]))

valid_columns = st.lists(st.integers(0, 2), min_size=1, max_size=3, unique=True)
column_lists = st.one_of(
    valid_columns, valid_columns,
    st.lists(st.integers(-4, 6), max_size=4),
    st.lists(st.sampled_from(HUGE_INTS), min_size=1, max_size=2),
    st.sampled_from([None, [], (0, 1), np.array([0, 1]), np.array([[0]]), "01", [0.5], [None], 1,
                     [True], range(2), {0: 1}]),
)

schemes = st.sampled_from([
    None, "auto", "log", "mean_division", "mean_substraction", "mean_division_log",
    "mean_substraction_log", "sqrt", "reciprocal", "anscombe", "fisher", "LOG", "bogus", "", 3,
    b"log",
])

prediction_types = st.one_of(
    st.none(),
    st.sampled_from(["forecast", "FORECAST", "sliding_window", "Sliding_Window", "bogus", ""]),
    junk,
)


def step_lists():
    """Pipeline step lists, valid and not."""
    transformer = st.builds(Flatten, feature_col_index=st.just([0, 1]), target_col_index=st.just([0]),
                            lookback_win=st.integers(1, 4))
    valid = st.builds(lambda t: [("window", t), ("model", LinearRegression())], transformer)
    return st.one_of(
        valid, valid,
        st.just([("model", LinearRegression())]),
        st.just([("window", Flatten([0], [0])), ("not_a_model", Flatten([0], [0]))]),
        st.just([("a", Flatten([0], [0])), ("a", Flatten([1], [1])), ("m", LinearRegression())]),
        st.just([]),
        st.lists(st.tuples(st.text(max_size=2), junk), max_size=3),
        st.lists(junk, max_size=2),
        junk,
    )


def attribute_values():
    """Random values for the attributes the methods read, by attribute name."""
    return {
        "lookback_win": window_values,
        "pred_win": window_values,
        "multistep_prediction_win": step_counts,
        "feature_columns": column_lists,
        "target_columns": column_lists,
        "look_ahead_fcolumns": column_lists,
        "time_column": scalars,
        "data_transformation_scheme": schemes,
        "multistep_prediction_strategy": st.sampled_from([None, "recursive", "multioutput", "RECURSIVE", 1]),
        "store_lookback_history": st.one_of(st.booleans(), scalars),
        "multivariate_column_encoding": st.one_of(st.booleans(), scalars),
        "init_time_optimization": st.one_of(st.booleans(), scalars),
        "is_automate_run": st.one_of(st.booleans(), scalars),
        "transformer_steps": st.one_of(
            st.sampled_from([None, [], [None], "ab"]),
            st.just([DifferenceFlatten([0, 1], [0, 1], lookback_win=2)]),
            st.just([Flatten([0], [0], lookback_win=2), Flatten([0], [0], lookback_win=1)]),
        ),
        "estimator": st.sampled_from([None, "model", 1, LinearRegression()]),
        "steps": step_lists(),
        "named_steps": junk,
        "scoring": st.sampled_from([None, "neg_mean_absolute_error", len, print]),
        "cv": junk,
        "mean_clm": st.one_of(target_values(), junk),
        "mean_clm_index": st.one_of(column_lists, junk),
        "lookback_data_X": st.one_of(float_series(3, max_rows=6), odd_arrays(), junk),
        "look_ahead_mean": st.one_of(float_series(max_rows=4), odd_arrays(), junk),
        "recursive_cnt": st.one_of(st.integers(-2, 3), junk),
        "is_recursive_multi_step_sliding": st.one_of(
            st.booleans(), st.sampled_from([None, "yes", np.array([True, False]), 2])),
        "n_jobs": st.one_of(st.integers(-3, 3), st.sampled_from([None, 2**64, "2"])),
    }


ATTRIBUTE_VALUES = attribute_values()


@st.composite
def attribute_changes(draw):
    """Up to three (attribute, value) pairs, or an attribute deleted."""
    changes = []
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2, 3]))):
        name = draw(st.sampled_from(sorted(ATTRIBUTE_VALUES)))
        if draw(st.integers(0, 9)) == 0:
            changes.append((name, "<deleted>"))
        else:
            changes.append((name, draw(ATTRIBUTE_VALUES[name])))
    return changes


def apply_changes(estimator, changes):
    for name, value in changes:
        if isinstance(value, str) and value == "<deleted>":
            estimator.__dict__.pop(name, None)
        else:
            # Through the instance dict: a property or a custom __setattr__ is not the point here.
            estimator.__dict__[name] = value


# ---------------------------------------------------------------------------------------------
# Arguments of each method


def arguments(*positional, **keyword):
    """A strategy of (args, kwargs); every keyword argument may be left out."""
    positional_part = st.tuples(*positional) if positional else st.just(())
    keyword_parts = {name: st.one_of(st.just(_LEFT_OUT), strategy) for name, strategy in keyword.items()}
    keyword_part = st.fixed_dictionaries(keyword_parts) if keyword_parts else st.just({})
    return st.tuples(positional_part, keyword_part).map(
        lambda pair: (pair[0], {k: v for k, v in pair[1].items() if v is not _LEFT_OUT}))


_LEFT_OUT = object()

X_any = series_values()
#: Inputs of the recursive loops: the native loop's own input half of the time.
X_recursive = st.one_of(native_loop_windows, X_any)
exogenous_values = st.one_of(
    hnp.arrays(np.float64, st.sampled_from([(2,), (2, 1), (1, 1), (3, 1), (2, 2), (0,)]),
               elements=series_elements),
    hnp.arrays(np.float64, st.sampled_from([(2, 1), (2,)]), elements=series_elements).map(as_matrix),
    odd_arrays(),
    junk,
)

ESTIMATOR_METHOD_ARGUMENTS = {
    "__init__": None,  # checked by its own test
    "_get_named_steps": arguments(step_lists()),
    "set_scoring": arguments(junk),
    "_multi_variate_col_encoder": arguments(st.one_of(float_series(max_rows=12), odd_arrays(), junk)),
    "_adjust_indices": arguments(target_columns=column_lists, feature_columns=column_lists),
    "set_cross_validation": arguments(junk),
    "_input_data_transformation": arguments(X_any),
    "_output_data_transformation": arguments(target_values()),
    "_validate_steps": arguments(step_lists()),
    "_data_fit_transform": arguments(X_any, y=st.one_of(st.none(), target_values())),
    "_data_transform": arguments(X_any, y=st.one_of(st.none(), target_values())),
    "_init_transformer_and_estimator": arguments(),
    "_store_lookback_history_X": arguments(X_any),
    "_add_lookback_history_to_X": arguments(st.one_of(st.none(), X_any)),
    "_display_transformations": arguments(X_any, y=st.one_of(st.none(), target_values())),
    "fit": arguments(X_any, y=st.one_of(st.none(), target_values())),
    "predict_sliding_window": arguments(X_any),
    "_add_exogenous_to_X": arguments(X_any, exogenous_values),
    "__str__": arguments(),
    "_recursive_predict_helper": arguments(X_recursive),
    "predict": arguments(X=st.one_of(st.none(), X_any), supporting_features=exogenous_values,
                         prediction_type=prediction_types),
    "_predict": arguments(X_any, num_predictions=st.one_of(st.integers(-3, 30), st.sampled_from(HUGE_INTS), junk)),
    "score": arguments(X_any, y=st.one_of(st.none(), target_values()),
                       sample_weight=st.one_of(st.none(), target_values())),
    "set_params": None,  # checked by its own test
    "predit_recursive_multi_step": arguments(st.one_of(st.none(), X_recursive)),
    "_use_parallel_version_of_multi_step_sliding_window": arguments(X_recursive),
    "_use_multioutput_version_of_multi_step_sliding_window": arguments(X_any),
    "predict_multi_step_sliding_window": arguments(X_recursive),
    "_transformer_helper": arguments(target_values()),
    "_recursive_predict_proba_helper": arguments(X_recursive),
    "predict_proba": arguments(X_any, supporting_features=exogenous_values),
    "_reset_fc_cols_and_lookback": arguments(column_lists, column_lists, window_values, window_values),
    "get_params": arguments(deep=st.one_of(st.booleans(), scalars)),
    "is_exogenous_pipeline_": None,  # properties: read, see below
    "is_future_exogenous_pipeline_": None,
    "__setstate__": None,  # checked by its own test
    "__sklearn_clone__": arguments(),
    "set_forecast_output": arguments(st.one_of(st.sampled_from(["pandas", "numpy"]), junk)),
    "update": arguments(X_any),
}

#: Methods documented to return a new array (never a view of an argument).
FRESH_RESULTS = {"_transformer_helper", "_add_exogenous_to_X", "predict", "predict_proba",
                 "predict_sliding_window", "_predict"}

#: Cheap calls made after the fuzzed ones, to see that the estimator is still usable.
FOLLOW_UPS = ("__str__", "get_params", "predict", "is_exogenous_pipeline_")


def test_every_estimator_member_is_fuzzed():
    """The argument table covers exactly the members the class body binds."""
    members = {name for name, value in vars(GUSK).items()
               if callable(value) or isinstance(value, property)}
    members -= {"__module__", "__qualname__", "__doc__"}
    assert members == set(ESTIMATOR_METHOD_ARGUMENTS)


# ---------------------------------------------------------------------------------------------
# The fuzz tests

estimator_names = st.sampled_from(sorted(ESTIMATOR_FACTORIES))


class Prepared:
    """An estimator made for one example, and how it was made.

    Hypothesis prints every drawn value when it reports a failure; the estimator's own repr
    would fail on the very states this module creates, so the draw is this wrapper.
    """

    def __init__(self, estimator, context):
        self.estimator = estimator
        self.context = context

    def __repr__(self):
        return f"<{self.context}>"


@st.composite
def prepared_estimators(draw, pool, names=estimator_names):
    """A fresh estimator (deep copy of a fitted one, or a new unfitted one) and its changes."""
    name = draw(names)
    fitted = draw(st.sampled_from([True, True, True, False]))
    changes = draw(attribute_changes())
    estimator = pool.get(name, fitted)
    apply_changes(estimator, changes)
    context = (f"estimator: {'fitted' if fitted else 'unfitted'} {name!r} "
               f"(see ESTIMATOR_FACTORIES), attributes set: {describe(changes)}")
    return Prepared(estimator, context)


def call_member(estimator, member, args, kwargs, context):
    if isinstance(getattr(type(estimator), member, None), property):
        return checked_call(member, lambda: getattr(estimator, member), context=context)
    function = getattr(estimator, member)
    if member == "__str__":
        function = lambda: str(estimator)  # noqa: E731 - the way callers reach it
    return checked_call(member, function, *args, context=context,
                        fresh_result=member in FRESH_RESULTS, **kwargs)


def follow_up(data, estimator, context):
    member = data.draw(st.sampled_from(FOLLOW_UPS), label="follow-up")
    args = (training_series()[-6:],) if member == "predict" else ()
    call_member(estimator, member, args, {}, context + "\n    after the calls above")


RECURSIVE_NAMES = ("recursive", "recursive_lookback_1", "localized_auto_recursive")
#: The estimators on which a method has most to do; they are drawn three times in four.
PREFERRED_ESTIMATORS = {
    "predict_proba": READY_MADE_NAMES,
    "predict": ("recursive", "recursive_lookback_1"),
    "_recursive_predict_proba_helper": ("localized_auto_recursive",),
    "_recursive_predict_helper": RECURSIVE_NAMES,
    "predit_recursive_multi_step": RECURSIVE_NAMES,
    "_use_parallel_version_of_multi_step_sliding_window": RECURSIVE_NAMES,
    "_use_multioutput_version_of_multi_step_sliding_window": ("multioutput",),
    "predict_multi_step_sliding_window": ("recursive", "multioutput", "localized_auto_recursive"),
    "_add_exogenous_to_X": ("exogenous_two_steps",),
    "_store_lookback_history_X": ("flatten_log_history", "exogenous_two_steps"),
    "_add_lookback_history_to_X": ("flatten_log_history", "exogenous_two_steps"),
    "update": ("flatten_log_history", "exogenous_two_steps"),
    "_multi_variate_col_encoder": ("difference_mean_encoded", "difference_auto"),
    "_transformer_helper": ("difference_mean_encoded", "difference_auto"),
    "_output_data_transformation": ("difference_mean_encoded", "flatten_log_history", "localized_sqrt"),
    "_adjust_indices": ("flatten", "difference_auto", "localized_auto_recursive"),
}


def estimators_for(member):
    preferred = PREFERRED_ESTIMATORS.get(member)
    if not preferred:
        return estimator_names
    favourite = st.sampled_from(preferred)
    return st.one_of(favourite, favourite, favourite, estimator_names)


FUZZED_METHODS = sorted(name for name, strategy in ESTIMATOR_METHOD_ARGUMENTS.items()
                        if strategy is not None)


@pytest.mark.parametrize("member", FUZZED_METHODS)
@fuzz_settings
@given(data=st.data())
def test_estimator_method_survives_random_arguments(pool, member, data):
    prepared = data.draw(prepared_estimators(pool, estimators_for(member)), label="estimator")
    estimator, context = prepared.estimator, prepared.context
    for _ in range(data.draw(st.integers(1, 3), label="calls")):
        args, kwargs = data.draw(ESTIMATOR_METHOD_ARGUMENTS[member], label=f"{member} arguments")
        call_member(estimator, member, args, kwargs, context)
    follow_up(data, estimator, context)


@pytest.mark.parametrize("member", ["is_exogenous_pipeline_", "is_future_exogenous_pipeline_",
                                    "__str__", "get_params"])
@fuzz_settings
@given(data=st.data())
def test_read_only_members_survive_random_state(pool, member, data):
    prepared = data.draw(prepared_estimators(pool), label="estimator")
    estimator, context = prepared.estimator, prepared.context
    call_member(estimator, member, (), {}, context)


set_params_keys = st.one_of(
    st.sampled_from([
        "lookback_win", "lookback_win_extra", "pred_win", "window__lookback_win", "window__pred_win",
        "window__nonexistent", "model__fit_intercept", "model__bogus", "Flatten__lookback_win",
        "DifferenceFlatten__pred_win", "LocalizedFlatten__lookback_win",
        "AutoEnsemble__n_leaders_for_ensemble", "AutoEnsemble__random_state", "target_columns",
        "data_transformation_scheme", "steps", "estimator", "__", "window__", "a__b__c",
    ]),
    st.text(max_size=6),
)


@fuzz_settings
@given(data=st.data())
def test_set_params_survives_random_parameters(pool, data):
    prepared = data.draw(prepared_estimators(pool), label="estimator")
    estimator, context = prepared.estimator, prepared.context
    params = data.draw(st.dictionaries(set_params_keys, st.one_of(window_values, junk), max_size=3),
                       label="params")
    args = data.draw(st.sampled_from([(), ("steps",), (None,)]), label="attr")
    checked_call("set_params", estimator.set_params, *args, context=context, **params)
    follow_up(data, estimator, context)


@fuzz_settings
@given(data=st.data())
def test_setstate_survives_random_states(pool, data):
    prepared = data.draw(prepared_estimators(pool), label="estimator")
    estimator, context = prepared.estimator, prepared.context
    state = dict(estimator.__dict__)
    removed = data.draw(st.lists(st.sampled_from(sorted(state) or ["steps"]), max_size=3), label="removed")
    for key in removed:
        state.pop(key, None)
    states = st.one_of(st.just(state), st.dictionaries(st.text(max_size=3), junk, max_size=3), junk)
    chosen = data.draw(states, label="state")
    target = GUSK.__new__(type(estimator))
    checked_call("__setstate__", target.__setstate__, chosen, context=context)
    follow_up(data, target, context)


init_keywords = {
    "look_ahead_fcolumns": column_lists,
    "lookback_win": window_values,
    "pred_win": window_values,
    "time_column": scalars,
    "init_time_optimization": scalars,
    "data_transformation_scheme": schemes,
    "multistep_prediction_strategy": junk,
    "multistep_prediction_win": step_counts,
    "multivariate_column_encoding": scalars,
    "store_lookback_history": scalars,
    "estimator": st.sampled_from([None, LinearRegression(), "model"]),
    "unknown_keyword": junk,
}


@fuzz_settings
@given(data=st.data())
def test_estimator_init_survives_random_arguments(data):
    args = data.draw(st.tuples(step_lists(), column_lists, column_lists), label="positional")
    args = args[:data.draw(st.sampled_from([3, 3, 3, 2, 0]), label="positional count")]
    kwargs = data.draw(arguments(**init_keywords), label="keywords")[1]
    outcome = checked_call("GUSKTimeSeriesEstimator", GUSK, *args, **kwargs)
    if outcome[0] == "returned":
        follow_up(data, outcome[1], f"estimator built by {call_text('GUSKTimeSeriesEstimator', args, kwargs)}")


ready_made_keywords = {
    "time_column": scalars,
    "data_transformation_scheme": schemes,
    "total_execution_time": st.one_of(st.sampled_from([0.02, 0, -1, None, "2", 2**64]), junk),
    "execution_time_per_pipeline": st.sampled_from([0.02, 0, -1, None, "1"]),
    "dag_granularity": st.sampled_from(["tiny", "default", "Default", "flat", "multioutput_tiny",
                                        "regression_chain_tiny", "MIMO_flat", "multi_lgbm",
                                        "xgboost", "bogus", None, 3]),
    "execution_platform": st.sampled_from(["spark_node_random_search", "nowhere", None]),
    "n_leaders_for_ensemble": st.one_of(st.integers(-1, 3), junk),
    "n_estimators_for_pred_interval": st.one_of(st.integers(-1, 3), junk),
    "max_samples_for_pred_interval": st.one_of(st.sampled_from([1.0, 0.5, 0, 2, -1.0]), junk),
    "multistep_prediction_strategy": junk,
    "multistep_prediction_win": step_counts,
    "ensemble_type": st.sampled_from(["voting", "stacked", "bogus", None]),
    "store_lookback_history": scalars,
    "n_jobs": st.one_of(st.integers(-3, 3), st.integers(-3, 3), st.sampled_from(HUGE_INTS), junk),
    "look_ahead_fcolumns": column_lists,
    "multivariate_column_encoding": scalars,
    "estimator": st.sampled_from([None, LinearRegression()]),
}

#: Keywords the ready-made forecasters pass on to the base class themselves: giving one again
#: is a TypeError, drawn now and then.
repeated_keywords = st.one_of(
    st.just({}), st.just({}), st.just({}), st.just({}),
    st.dictionaries(st.sampled_from(["steps", "feature_columns", "pred_win"]), junk, max_size=1),
)


@pytest.mark.parametrize("cls", READY_MADE, ids=lambda c: c.__name__)
@fuzz_settings
@given(data=st.data())
def test_ready_made_init_survives_random_arguments(cls, data):
    positional = data.draw(st.tuples(column_lists, column_lists, window_values, window_values),
                           label="positional")
    positional = positional[:data.draw(st.sampled_from([4, 4, 4, 3, 0]), label="positional count")]
    kwargs = data.draw(arguments(**ready_made_keywords), label="keywords")[1]
    kwargs.update(data.draw(repeated_keywords, label="repeated keywords"))
    outcome = checked_call(cls.__name__, cls, *positional, **kwargs)
    if outcome[0] == "returned":
        estimator = outcome[1]
        context = f"estimator built by {call_text(cls.__name__, positional, kwargs)}"
        member = data.draw(st.sampled_from(["name", "__str__", "get_params", "is_exogenous_pipeline_"]))
        call_member(estimator, member, (), {}, context)


@pytest.mark.parametrize("member", ["set_params", "name", "__init__"])
@fuzz_settings
@given(data=st.data())
def test_ready_made_members_survive_random_arguments(pool, member, data):
    prepared = data.draw(prepared_estimators(pool, names=st.sampled_from(READY_MADE_NAMES)),
                         label="estimator")
    estimator, context = prepared.estimator, prepared.context
    if member == "set_params":
        params = data.draw(st.dictionaries(set_params_keys, st.one_of(window_values, junk), max_size=3))
        checked_call("set_params", estimator.set_params, context=context, **params)
    elif member == "name":
        args = data.draw(st.sampled_from([(), (1,)]), label="name arguments")
        checked_call("name", estimator.name, *args, context=context)
    else:
        positional = data.draw(st.tuples(column_lists, column_lists, window_values, window_values))
        kwargs = data.draw(arguments(**ready_made_keywords), label="keywords")[1]
        checked_call("__init__ (again)", estimator.__init__, *positional, context=context, **kwargs)
    follow_up(data, estimator, context)


tembrel_arguments = {
    "check_object_is_estimator": arguments(st.one_of(junk, st.just(LinearRegression()),
                                                     st.just(Flatten([0], [0])))),
    "get_optimized_n_jobs": arguments(n_jobs=st.one_of(scalars, st.integers(-3, 16)),
                                      no_outputs=st.one_of(scalars, st.integers(-3, 16))),
    "get_max_lookback": arguments(st.one_of(window_values, junk,
                                            st.lists(st.lists(st.one_of(st.integers(), scalars), max_size=3),
                                                     max_size=3))),
    "prepare_regressor": arguments(
        st.sampled_from(["tiny", "default", "Default", "flat", "multioutput_tiny", "multioutput_flat",
                         "optimised_multioutput_flat", "regression_chain_flat", "regression_chain_tiny",
                         "MIMO_flat", "MINO_complete_flat", "multi_xgboost", "multi_lgbm", "xgboost",
                         "lgbm", "bogus", None, 3, b"tiny"]),
        st.one_of(st.sampled_from([2, 0.02]), scalars),
        st.one_of(st.sampled_from([1, 0.02]), scalars),
        st.one_of(st.sampled_from(["AutoRegressor", "AutoEnsemble", "autoensemble"]), scalars),
        execution_platform=scalars,
        n_leaders_for_ensemble=scalars,
        n_estimators_for_pred_interval=scalars,
        max_samples_for_pred_interval=scalars,
        ensemble_type=scalars,
        n_jobs=st.one_of(st.integers(-3, 3), scalars),
    ),
}


@pytest.mark.parametrize("function", sorted(tembrel_arguments))
@fuzz_settings
@given(data=st.data())
def test_tembrel_function_survives_random_arguments(function, data):
    for _ in range(data.draw(st.integers(1, 4), label="calls")):
        args, kwargs = data.draw(tembrel_arguments[function], label="arguments")
        extra = data.draw(st.sampled_from([{}, {}, {}, {"bogus": 1}]), label="extra keyword")
        checked_call(function, getattr(tembrel_module, function), *args, **kwargs, **extra)


@fuzz_settings
@given(data=st.data())
def test_pickle_round_trip_of_fuzzed_estimators(pool, data):
    """Whatever state an estimator is in, pickling either fails cleanly or round-trips."""
    prepared = data.draw(prepared_estimators(pool), label="estimator")
    estimator, context = prepared.estimator, prepared.context
    outcome = checked_call("pickle.dumps", pickle.dumps, estimator, context=context)
    if outcome[0] == "returned":
        checked_call("pickle.loads", pickle.loads, outcome[1], context=context)


# ---------------------------------------------------------------------------------------------
# Reproducers of what the fuzzing found, checked on every run


@pytest.fixture
def recursive_estimator(pool):
    return pool.get("recursive", fitted=True)


@pytest.mark.parametrize(
    "member, attribute, value",
    [
        ("_use_parallel_version_of_multi_step_sliding_window", "lookback_win", 2**64),
        ("_use_parallel_version_of_multi_step_sliding_window", "multistep_prediction_win", 2**64),
        ("predict_multi_step_sliding_window", "lookback_win", 2**64),
    ],
)
def test_oversized_windows_leave_no_window_to_forecast(recursive_estimator, member, attribute, value):
    """A window wider than any series leaves no window: the catalogue error, not a cast error."""
    setattr(recursive_estimator, attribute, value)
    with quiet_and_in_process(), pytest.raises(Exception) as raised:
        getattr(recursive_estimator, member)(training_series())
    assert type(raised.value) is Exception
    assert "ORVANE0051E" in str(raised.value)


class FirstStepReached(Exception):
    """Raised by the model when a forecast step first asks it for a prediction."""


@pytest.mark.parametrize("steps, refused", [(2**62, True), (2**63 - 1, True), (2**64, True),
                                            (10**15, True), (np.int64(2**62), True), (10**6, False)])
@pytest.mark.parametrize("name, member", [
    ("recursive", "predict"), ("recursive", "_recursive_predict_helper"), ("recursive", "predit_recursive_multi_step"),
    ("localized_auto_recursive", "predict"), ("localized_auto_recursive", "predict_proba"), ("multioutput", "predict"),
    ("localized_auto_recursive", "_recursive_predict_proba_helper")])
def test_only_horizons_that_could_never_be_allocated_are_refused(pool, name, member, steps, refused):
    """Refused before the first step, naming the setting; a million steps start normally."""
    refused = refused or name == "multioutput"  # also beyond the one window of pred_win steps it forecasts
    estimator = pool.get(name, fitted=True)
    estimator.multistep_prediction_win = steps
    estimator.estimator.predict = model = mock.Mock(side_effect=FirstStepReached)
    X = training_series()[-4:] if member == "_recursive_predict_helper" else training_series()
    with quiet_and_in_process(), pytest.raises(ValueError if refused else FirstStepReached) as raised:
        getattr(estimator, member)(X)
    assert model.call_count == (0 if refused else 1)
    assert str(raised.value).startswith(f"multistep_prediction_win={int(steps)} asks for" if refused else "")


@pytest.mark.parametrize("size", [2**40, 2**62, 2**63 - 1, np.int64(2**62)])
@pytest.mark.parametrize("name", ["flatten", "recursive"])
def test_oversized_pred_win_is_refused_by_name(pool, name, size):
    estimator = pool.get(name, fitted=True)
    estimator.pred_win = size
    with quiet_and_in_process(), pytest.raises(ValueError, match=f"^pred_win={size} needs {size} rows of 3 "):
        estimator.predict(training_series())


def test_transformer_helper_returns_a_new_array(pool):
    """Folding per-target blocks builds a new array even when one target makes it a reshape."""
    estimator = pool.get("difference_mean_encoded", fitted=True)
    estimator.target_columns = [0]
    y_pred = np.arange(12.0).reshape(4, 3)
    folded = estimator._transformer_helper(y_pred)
    np.testing.assert_array_equal(folded, y_pred)
    assert not np.shares_memory(folded, y_pred)


def test_keywords_that_are_not_utf8_encodable_are_set_like_any_other(pool):
    """set_params sets an unrouted keyword as an attribute, whatever characters its name holds."""
    estimator = pool.get("flatten", fitted=True)
    name = "caf\udce9"
    with pytest.warns(UnusedParameterWarning):
        estimator.set_params(**{name: 7})
    assert getattr(estimator, name) == 7
