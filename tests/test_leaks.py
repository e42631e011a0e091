"""Repeated calls of the native methods keep no references and no memory.

Each case calls one method (or one error path) many times after a warm-up and checks that

- every object handed to the method has the same reference count as before (a reference kept
  by the native code per call shows up exactly),
- the number of objects the garbage collector tracks is flat,
- the number of memory blocks held by the interpreter's object allocator is flat (every leaked
  object, array headers, ints and floats included, holds at least one),
- the resident set size did not grow by more than a generous margin (for native allocations
  that neither of the above sees),
- and, on a debug interpreter, ``sys.gettotalrefcount()`` is flat.
"""

import gc
import os
import sys

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
import orvane.gusk.estimators.utils.tembrel as tembrel_module
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

#: Calls measured per case; a leak of one object per call exceeds every slack below.
REPEATS = 200
#: Allowed growth after the warm-up, for caches that fill once (NumPy, scikit-learn, typing).
OBJECT_SLACK = 100
BLOCK_SLACK = 100
RESIDENT_SLACK_BYTES = 16 * 1024 * 1024
#: AddressSanitizer holds freed memory in quarantine, so resident memory grows under it anyway.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
TOTAL_REFCOUNT_SLACK = 200


def series(n_rows=40):
    t = np.arange(n_rows, dtype=float)
    return np.column_stack([50.0 + 10.0 * np.sin(t / 3.0) + t, 30.0 + 5.0 * np.cos(t / 4.0), t % 5])


def flatten_linear(**settings):
    steps = [("flatten", Flatten(feature_col_index=[0, 1], target_col_index=[0, 1], lookback_win=3)),
             ("model", LinearRegression())]
    return gusk_module.GUSKTimeSeriesEstimator(steps, [0, 1], [0, 1], lookback_win=3, **settings)


def resident_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def total_refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def own_objects(objects):
    """The objects whose reference counts only this test moves: not None, numbers or literals.

    Text is watched only as a ``Label`` (a str subclass, never shared with other code).
    """
    return [obj for obj in objects
            if obj is not None and type(obj) not in (bool, int, float, str)]


class Label(str):
    """Text that is a distinct object, so that its reference count can be watched."""


class Measurement:
    """The counters of the process and of the watched objects at one moment."""

    def __init__(self, watched):
        # The interpreter's method cache keeps the latest attribute names looked up on each
        # type; names built per call (as the signature parsing behind get_params does) would
        # otherwise look like a slow leak until the cache is full.
        if hasattr(sys, "_clear_type_cache"):
            sys._clear_type_cache()
        gc.collect()
        self.refcounts = [sys.getrefcount(obj) for obj in own_objects(watched)]
        self.objects = len(gc.get_objects())
        self.blocks = sys.getallocatedblocks()
        self.resident = resident_bytes()
        self.total_refcount = total_refcount()


def assert_flat(call, watched, repeats=REPEATS, warmup=10):
    """Run ``call`` ``repeats`` times and check that nothing accumulates."""
    for _ in range(warmup):
        call()
    before = Measurement(watched)
    for _ in range(repeats):
        call()
    after = Measurement(watched)
    assert after.refcounts == before.refcounts, "a reference to an argument is kept per call"
    assert after.objects - before.objects <= OBJECT_SLACK, (
        f"{after.objects - before.objects} more tracked objects after {repeats} calls")
    assert after.blocks - before.blocks <= BLOCK_SLACK, (
        f"{after.blocks - before.blocks} more allocated blocks after {repeats} calls")
    if not UNDER_ADDRESS_SANITIZER:
        assert after.resident - before.resident <= RESIDENT_SLACK_BYTES, (
            f"resident memory grew by {after.resident - before.resident} bytes after {repeats} calls")
    if hasattr(sys, "gettotalrefcount"):
        assert after.total_refcount - before.total_refcount <= TOTAL_REFCOUNT_SLACK


def raising(function, *args, expected=Exception, **kwargs):
    """A call that must raise ``expected``; the exception is dropped at once."""

    def call():
        try:
            function(*args, **kwargs)
        except expected:
            return
        raise AssertionError(f"{function.__name__} did not raise {expected.__name__}")

    return call


@pytest.fixture(scope="module")
def fitted():
    X = series()
    return {
        "plain": flatten_linear().fit(X),
        "log_history": flatten_linear(data_transformation_scheme="log", store_lookback_history=True).fit(X),
        "mean": flatten_linear(data_transformation_scheme="mean_division").fit(X),
        "recursive": flatten_linear(multistep_prediction_strategy="recursive", multistep_prediction_win=3).fit(X),
    }


@pytest.fixture(scope="module")
def forecaster():
    estimator = gusk_module.FlattenAutoEnsembler(
        [0, 1], [0, 1], 3, 1, dag_granularity="tiny", total_execution_time=0.02,
        execution_time_per_pipeline=0.02, n_leaders_for_ensemble=2,
        n_estimators_for_pred_interval=3, n_jobs=1)
    estimator.steps[-1][1].set_params(random_state=0)
    return estimator.fit(series())


X_TAIL = series()[-8:]


@pytest.mark.parametrize("name, method, args, kwargs", [
    ("plain", "fit", (series(),), {}),
    ("plain", "predict", (X_TAIL,), {}),
    ("plain", "predict", (X_TAIL,), {"prediction_type": "sliding_window"}),
    ("log_history", "predict", (None,), {}),
    ("mean", "predict", (X_TAIL,), {}),
    ("recursive", "predict", (X_TAIL,), {}),
    ("plain", "score", (X_TAIL,), {}),
    ("plain", "get_params", (), {}),
    ("plain", "set_params", (), {"flatten__lookback_win": 3, "lookback_win": 3}),
    ("plain", "__str__", (), {}),
    ("plain", "_input_data_transformation", (X_TAIL,), {}),
    ("mean", "_output_data_transformation", (X_TAIL[:, :2].copy(),), {}),
    ("plain", "_transformer_helper", (np.arange(12.0).reshape(6, 2),), {}),
    ("plain", "_reset_fc_cols_and_lookback", ([3, 4, 5], [0], [5, -1, 2], 1), {}),
])
def test_repeated_calls_keep_nothing(fitted, name, method, args, kwargs):
    estimator = fitted[name]
    bound = getattr(estimator, method) if method != "__str__" else (lambda: str(estimator))
    assert_flat(lambda: bound(*args, **kwargs), [estimator, *args, *kwargs.values()])


@pytest.mark.parametrize("kind", ["forecast", "interval", "sliding_window"])
def test_forecaster_calls_keep_nothing(forecaster, kind):
    call = {
        "forecast": lambda: forecaster.predict(X_TAIL),
        "interval": lambda: forecaster.predict_proba(X_TAIL),
        "sliding_window": lambda: forecaster.predict(X_TAIL, prediction_type="sliding_window"),
    }[kind]
    assert_flat(call, [forecaster, X_TAIL], warmup=10)


class FailingIntervals(gusk_module.EnsembleRegressor):
    """An ensemble whose interval method fails, for the wrapped-error path of predict_proba."""

    def predict_proba(self, X):
        raise ValueError("no intervals today")


def error_cases(fitted):
    """(label, call, watched objects) for every error path worth repeating."""
    plain, history = fitted["plain"], fitted["log_history"]
    nan_X = X_TAIL.copy()
    nan_X[-1, 1] = np.nan  # in the look-back rows: earlier rows are not read
    short_X = X_TAIL[:2].copy()
    bogus_type = Label("bogus")
    unknown_scheme = flatten_linear(data_transformation_scheme="no_such_scheme")
    without_history = fitted["plain"]
    wrong_width = np.zeros((3, 5))
    failing = flatten_linear()
    failing.fit(series())
    failing.estimator = FailingIntervals()
    oversized = flatten_linear(multistep_prediction_strategy="recursive").fit(series())
    oversized.multistep_prediction_win = 2**64
    return {
        "nan input (ORVANE0067E)": (raising(plain.predict, nan_X), [plain, nan_X]),
        "too few rows (ORVANE0047E)": (raising(plain.predict, short_X), [plain, short_X]),
        "unknown prediction type (ORVANE0046E)": (
            raising(plain.predict, X_TAIL, prediction_type=bogus_type), [plain, bogus_type]),
        "no ensemble (ORVANE0053E)": (raising(plain.predict_proba, X_TAIL), [plain, X_TAIL]),
        "single step (ORVANE0043E)": (
            raising(plain._validate_steps, [("m", LinearRegression())]), [plain]),
        "unknown scheme (ORVANE0042E)": (
            raising(unknown_scheme._input_data_transformation, X_TAIL), [unknown_scheme, X_TAIL]),
        "no history (ORVANE0045E)": (
            raising(without_history._add_lookback_history_to_X, X_TAIL), [without_history]),
        "history width (ORVANE0055E, chained)": (
            raising(history._add_lookback_history_to_X, wrong_width), [history, wrong_width]),
        "failing intervals (ORVANE0052E, chained)": (
            raising(failing.predict_proba, X_TAIL), [failing, X_TAIL]),
        "unknown regressor type (ORVANE0036E)": (
            raising(tembrel_module.prepare_regressor, "tiny", 1, 1, bogus_type), [bogus_type]),
        "unknown granularity (ORVANE0037E)": (
            raising(tembrel_module.prepare_regressor, bogus_type, 1, 1, "AutoEnsemble"), [bogus_type]),
        "exogenous rows (AssertionError)": (
            raising(history._add_exogenous_to_X, X_TAIL, np.zeros(5), expected=AssertionError),
            [history, X_TAIL]),
        "look-ahead target (AssertionError)": (
            raising(plain._reset_fc_cols_and_lookback, [0], [0], [-1], 1, expected=AssertionError),
            [plain]),
        "unexpected keyword (TypeError)": (
            raising(plain.predict, X_TAIL, bogus=1, expected=TypeError), [plain, X_TAIL]),
        "too many positional (TypeError)": (
            raising(plain.predict, X_TAIL, None, None, None, expected=TypeError), [plain, X_TAIL]),
        "missing arguments (TypeError)": (
            raising(gusk_module.GUSKTimeSeriesEstimator, expected=TypeError), []),
        "repeated keyword (TypeError)": (
            raising(gusk_module.FlattenAutoEnsembler, [0], [0], 3, 1, steps=[], expected=TypeError), []),
        "bad n_jobs comparison (TypeError)": (
            raising(tembrel_module.get_optimized_n_jobs, None, expected=TypeError), []),
        # Two rows: the first of the (endless) steps already fails for want of rows.
        "oversized step count": (raising(oversized._recursive_predict_helper, X_TAIL[:2]),
                                 [oversized]),
    }


def test_error_paths_keep_nothing(fitted):
    """Every error path in turn, repeatedly; a kept reference is reported by its case."""
    cases = error_cases(fitted)
    assert len(cases) == 19

    def every_error_once():
        for call, _ in cases.values():
            call()

    watched = {label: own_objects(objects) for label, (_, objects) in cases.items()}
    before = {label: [sys.getrefcount(obj) for obj in objects] for label, objects in watched.items()}
    assert_flat(every_error_once, [])
    after = {label: [sys.getrefcount(obj) for obj in objects] for label, objects in watched.items()}
    assert {label for label in cases if after[label] != before[label]} == set()


def test_tembrel_functions_keep_nothing():
    lags = [[0, 2, 5], 4]
    model = LinearRegression()

    def call():
        assert tembrel_module.get_max_lookback(lags) == 6
        assert tembrel_module.get_optimized_n_jobs(-1, 3) >= 1
        assert tembrel_module.check_object_is_estimator(model) is True
        tembrel_module.prepare_regressor("tiny", 1, 1, "AutoEnsemble")

    assert_flat(call, [lags, model])
