"""Concurrent predictions with one fitted estimator.

The native methods hold the interpreter lock while they run and keep no state of their own, so
pipelines under the ``None`` and ``"log"`` data transformation schemes forecast the same from
many threads as from one. Target transformers (``DifferenceFlatten``, ``LocalizedFlatten``)
remember their latest ``transform`` per thread for the inverse, so they are safe to share too.
The mean schemes store the means of their latest input on the estimator, so concurrent calls on
one such estimator may mix their states; they must still never crash. Each thread using its own
copy is the supported way to forecast with those in parallel.
"""

import copy
import functools
import re
import sys
import threading

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
from orvane.gusk.estimators.regression.auto_ensemble_regressor import EnsembleRegressor
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

N_THREADS = 8
#: Text that only a C++ exception turned into a Python one would carry.
CXX_TEXT = re.compile(r"std::|basic_string|pybind11|internal error|Unable to cast", re.IGNORECASE)
ROUNDS = 2


def series(n_rows=80):
    t = np.arange(n_rows, dtype=float)
    return np.column_stack([50.0 + 10.0 * np.sin(t / 3.0) + t, 30.0 + 5.0 * np.cos(t / 4.0)])


#: Twelve inputs of different lengths and contents, so that mixed-up calls cannot agree by chance.
INPUTS = [series()[i:i + 20 + i % 5] for i in range(12)]


def flatten_linear(**settings):
    steps = [("flatten", Flatten(feature_col_index=[0, 1], target_col_index=[0, 1], lookback_win=4)),
             ("model", LinearRegression())]
    return gusk_module.GUSKTimeSeriesEstimator(steps, [0, 1], [0, 1], lookback_win=4, **settings)


def ready_made(cls, **settings):
    estimator = cls([0, 1], [0, 1], 4, 1, dag_granularity="tiny", total_execution_time=0.02,
                    execution_time_per_pipeline=0.02, n_leaders_for_ensemble=2,
                    n_estimators_for_pred_interval=3, n_jobs=1, **settings)
    estimator.steps[-1][1].set_params(random_state=0)
    return estimator


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    """Switch threads as often as the interpreter allows, to make interleavings likely."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def run_in_threads(work, n_threads=N_THREADS):
    """Run ``work(thread_index)`` in n_threads threads started together; return their results.

    An exception in a thread is returned in place of its result.
    """
    barrier = threading.Barrier(n_threads)
    results = [None] * n_threads

    def target(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as exc:  # reported to the test, which runs in another thread
            results[index] = exc

    threads = [threading.Thread(target=target, args=(index,)) for index in range(n_threads)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def every_input_in_turn(predict):
    """A thread's work: each input, ROUNDS times, starting at a thread-specific input."""

    def work(index):
        outputs = {}
        for _round in range(ROUNDS):
            for step in range(len(INPUTS)):
                which = (index + step) % len(INPUTS)
                outputs.setdefault(which, []).append(predict(INPUTS[which]))
        return outputs

    return work


def assert_threads_match_serial(predict):
    expected = [predict(X) for X in INPUTS]
    results = run_in_threads(every_input_in_turn(predict))
    failures = [r for r in results if isinstance(r, BaseException)]
    assert failures == []
    for outputs in results:
        assert sorted(outputs) == list(range(len(INPUTS)))
        for which, arrays in outputs.items():
            for array in arrays:
                np.testing.assert_array_equal(array, expected[which])


PREDICTIONS = {
    "forecast": lambda estimator: estimator.predict,
    "sliding_window": lambda estimator: (
        lambda X: estimator.predict(X, prediction_type="sliding_window")),
    "score": lambda estimator: (lambda X: np.array(estimator.score(X))),
}


@pytest.mark.parametrize("scheme", [None, "log"])
@pytest.mark.parametrize("kind", sorted(PREDICTIONS))
def test_pipeline_estimator_predicts_the_same_from_many_threads(scheme, kind):
    estimator = flatten_linear(data_transformation_scheme=scheme).fit(series()[:50])
    assert_threads_match_serial(PREDICTIONS[kind](estimator))


def test_forecast_from_stored_history_is_the_same_from_many_threads():
    estimator = flatten_linear(store_lookback_history=True, data_transformation_scheme="log")
    estimator.fit(series()[:50])
    assert_threads_match_serial(lambda X: estimator.predict(X[-3:]))


def test_recursive_forecast_is_the_same_from_many_threads():
    estimator = flatten_linear(multistep_prediction_strategy="recursive", multistep_prediction_win=3)
    estimator.fit(series()[:50])
    assert_threads_match_serial(estimator.predict)


@pytest.mark.parametrize("cls", [gusk_module.DifferenceFlattenAutoEnsembler,
                                 gusk_module.LocalizedFlattenAutoEnsembler], ids=lambda c: c.__name__)
def test_target_transformer_forecasters_predict_the_same_from_per_thread_copies(cls):
    estimator = ready_made(cls).fit(series()[:50])
    expected = [estimator.predict(X) for X in INPUTS]
    copies = [copy.deepcopy(estimator) for _ in range(N_THREADS)]
    results = run_in_threads(lambda index: every_input_in_turn(copies[index].predict)(index))
    for outputs in results:
        assert not isinstance(outputs, BaseException), outputs
        for which, arrays in outputs.items():
            for array in arrays:
                np.testing.assert_array_equal(array, expected[which])


@pytest.mark.parametrize("kind", ["forecast", "sliding_window", "interval"])
@pytest.mark.parametrize("cls", [gusk_module.FlattenAutoEnsembler, gusk_module.DifferenceFlattenAutoEnsembler,
                                 gusk_module.LocalizedFlattenAutoEnsembler], ids=lambda c: c.__name__)
def test_shared_forecaster_predicts_the_same_from_many_threads(cls, kind):
    estimator = ready_made(cls).fit(series()[:50])
    predict = estimator.predict_proba if kind == "interval" else PREDICTIONS[kind](estimator)
    assert_threads_match_serial(predict)


def test_shared_recursive_ensemble_forecasts_the_same_from_many_threads():
    estimator = gusk_module.LocalizedFlattenAutoEnsembler(
        [0], [0], 6, 1, multistep_prediction_strategy="recursive", multistep_prediction_win=4,
        # A budget that instrumented builds also finish the small search in.
        dag_granularity="tiny", total_execution_time=0.2, execution_time_per_pipeline=0.2,
        n_estimators_for_pred_interval=3, n_jobs=1)
    estimator.steps[-1][1].set_params(random_state=0)
    estimator.fit(series()[:50] + np.random.RandomState(0).normal(size=(50, 2)))
    assert len(estimator.steps[-1][1].estimators_) > 1  # each thread follows its own members' paths
    assert_threads_match_serial(estimator.predict)


def interval_pipeline(**settings):
    """Recursive, with intervals from its one candidate model: fits fast, and alike every time."""
    regressor = EnsembleRegressor(stages=[[LinearRegression()]], total_execution_time=0.02,
                                  execution_time_per_pipeline=0.02, n_leaders_for_ensemble=1,
                                  n_estimators_for_pred_interval=3, n_jobs=1, random_state=0)
    return gusk_module.GUSKTimeSeriesEstimator(
        [("flatten", Flatten([0, 1], [0, 1], lookback_win=4)), ("model", regressor)], [0, 1], [0, 1],
        lookback_win=4, multistep_prediction_win=3, multistep_prediction_strategy="recursive", **settings)


@pytest.mark.parametrize("make, refits", [
    (functools.partial(ready_made, gusk_module.DifferenceFlattenAutoEnsembler), False),
    (functools.partial(ready_made, gusk_module.LocalizedFlattenAutoEnsembler), False),
    (interval_pipeline, True)])
def test_shared_forecaster_never_crashes(make, refits):
    """Shared stateful steps may mix calls up; each call still returns or raises a plain error."""
    estimator = make(data_transformation_scheme="mean_division").fit(series()[:50])
    calls = (estimator.predict, estimator.predict_proba,
             lambda X: estimator.predict(X, prediction_type="sliding_window"))
    calls += (lambda X: estimator.fit(series()[:50]),) if refits else ()

    def work(index):
        outcomes = []
        for _round in range(ROUNDS):
            for step, X in enumerate(INPUTS):
                try:
                    outcomes.append(calls[(index + step) % len(calls)](X))
                except Exception as exc:  # mixed-up states are allowed to fail, plainly
                    outcomes.append(exc)
        return outcomes

    results = run_in_threads(work)
    for outcomes in results:
        assert not isinstance(outcomes, BaseException), outcomes
        assert len(outcomes) == ROUNDS * len(INPUTS)
        for outcome in outcomes:
            assert isinstance(outcome, (np.ndarray, Exception, type(estimator)))
            assert not isinstance(outcome, SystemError), outcome
            assert not CXX_TEXT.search(str(outcome) if isinstance(outcome, Exception) else "")
    # The estimator is intact afterwards: alone, it forecasts what a fresh copy does.
    X = INPUTS[0]
    np.testing.assert_array_equal(estimator.predict(X), copy.deepcopy(estimator).predict(X))
    if refits:
        alone = make(data_transformation_scheme="mean_division").fit(series()[:50])
        for X in INPUTS[:4]:  # the intervals of a recursive forecast run its point forecast first
            np.testing.assert_array_equal(estimator.predict_proba(X), alone.predict_proba(X))
