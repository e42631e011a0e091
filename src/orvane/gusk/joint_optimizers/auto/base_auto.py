"""Time-budgeted search over a space of scikit-learn regression pipelines.

:class:`GUSKAuto` enumerates the candidate pipelines of a search space (see
:mod:`orvane.gusk.joint_optimizers.utils.regression_dag`), scores each one on
a time-ordered hold-out and refits the best on all rows.  Candidates run
through ``joblib.Parallel``, so whatever joblib backend is active (loky,
threads, Dask, Ray, Spark) carries them.

The worker functions at the top of this module take only picklable
arguments (candidate steps are step descriptions or unfitted estimators) so
that process and cluster backends can ship them.
"""

import contextlib
import functools
import numbers
import pickle
import sys
import threading
import warnings
from time import perf_counter

import numpy as np
from joblib import Parallel, delayed, effective_n_jobs
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.multioutput import MultiOutputRegressor, RegressorChain
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

from orvane.gusk.joint_optimizers.cv.tembrel_splits import TimeSeriesTrainTestSplit
from orvane.gusk.joint_optimizers.utils.regression_dag import build_pipeline, enumerate_candidates
from orvane.utils.validation import _is_int

__all__ = ["GUSKAuto", "EXECUTION_PLATFORMS"]

#: Accepted values of ``execution_platform``, mapped to "search in random order?".
EXECUTION_PLATFORMS = {
    "spark_node_random_search": True,
    "single_node_random_search": True,
    "spark_node_complete_search": False,
    "single_node_complete_search": False,
}

#: Share of the rows, from the start, that candidates are trained on while being scored.
HOLDOUT_TRAIN_SHARE = 0.75

#: Below this many rows there is no hold-out: the first candidate that fits is used.
MIN_ROWS_FOR_HOLDOUT = 4

_MAX_SEED = np.iinfo(np.int32).max


# ---------------------------------------------------------------------------
# Candidate helpers (run inside joblib workers)
# ---------------------------------------------------------------------------

@contextlib.contextmanager
def _silenced_warnings():
    """Silence the warnings of candidate models (convergence, numerical noise).

    Warning filters are process-wide and ``catch_warnings`` is not
    thread-safe, so only the main thread of a process installs the filter;
    thread workers are covered by the filter of the thread that started them.
    """
    if threading.current_thread() is threading.main_thread():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    else:
        yield


def _handles_several_targets(estimator):
    """Whether ``estimator`` accepts a two-dimensional target as it is."""
    try:
        from sklearn.utils import get_tags
    except ImportError:  # scikit-learn < 1.6
        return bool(estimator._get_tags().get("multioutput", False))
    try:
        return bool(get_tags(estimator).target_tags.multi_output)
    except Exception:  # an estimator without usable tags: assume one target
        return False


def _needs_two_dimensional_target(estimator):
    return isinstance(estimator, (MultiOutputRegressor, RegressorChain))


def _seed_pipeline(pipeline, seed):
    """Set every ``random_state`` parameter of the pipeline (nested ones too) to ``seed``."""
    params = pipeline.get_params(deep=True)
    updates = {key: seed for key in params if key.rsplit("__", 1)[-1] == "random_state"}
    if updates:
        pipeline.set_params(**updates)


def _prepare_pipeline(steps, n_outputs, seed):
    """Build a candidate; with several targets wrap a single-output final model."""
    pipeline = build_pipeline(steps)
    name, final = pipeline.steps[-1]
    if n_outputs > 1 and not _handles_several_targets(final):
        pipeline.steps[-1] = (name, MultiOutputRegressor(final))
    if seed is not None:
        _seed_pipeline(pipeline, seed)
    return pipeline


def _target_for(pipeline, y):
    """The target as the pipeline's final model wants it (``y`` is always 2-D)."""
    if y.shape[1] == 1 and not _needs_two_dimensional_target(pipeline.steps[-1][1]):
        return y[:, 0]
    return y


def _fit_candidate(steps, X, y, seed):
    """Build and fit a candidate pipeline on ``(X, y)``; ``y`` has shape (n, k)."""
    pipeline = _prepare_pipeline(steps, y.shape[1], seed)
    pipeline.fit(X, _target_for(pipeline, y))
    return pipeline


#: Predictions for at most this many rows run on one native thread.
SINGLE_THREAD_MAX_ROWS = 256

@functools.lru_cache(maxsize=None)
def _threadpool_controller():
    from threadpoolctl import ThreadpoolController
    return ThreadpoolController()


def _native_threads_for(n_rows):
    """Context that keeps the native thread pools to one thread for small predictions.

    A forecast asks for one row at a time, and for a single row the OpenMP
    and BLAS pools of models such as nearest neighbours cost far more than
    the work they share out: on a busy machine their waiting threads made
    one prediction take tens of milliseconds instead of a fraction of one.
    """
    if n_rows > SINGLE_THREAD_MAX_ROWS:
        return contextlib.nullcontext()
    return _threadpool_controller().limit(limits=1)


def _predict_outputs(pipeline, X, n_outputs):
    """Predictions of a fitted candidate as an array of shape (n, n_outputs)."""
    with _native_threads_for(len(X)):
        predictions = np.asarray(pipeline.predict(X), dtype=np.float64)
    if predictions.size != len(X) * n_outputs:
        raise ValueError(
            f"The pipeline predicted an array of shape {predictions.shape} for "
            f"{len(X)} rows and {n_outputs} targets."
        )
    return predictions.reshape(len(X), n_outputs)


def _transportable(exc):
    """The exception itself if it can travel back from a process worker, else a stand-in."""
    try:
        pickle.dumps(exc)
        return exc
    except Exception:
        return RuntimeError(f"{type(exc).__name__}: {exc}")


def _score_candidate(candidate, X_train, y_train, X_valid, y_valid, seed):
    """Fit a candidate on the training rows; return its validation MAE and fit time.

    Returns
    -------
    tuple
        ``(score, fit_time, error)``; ``error`` is ``None`` on success, and
        ``score`` is NaN on failure.
    """
    with _silenced_warnings():
        start = perf_counter()
        try:
            pipeline = _fit_candidate(candidate.steps, X_train, y_train, seed)
            fit_time = perf_counter() - start
            predictions = _predict_outputs(pipeline, X_valid, y_valid.shape[1])
            score = float(np.mean(np.abs(predictions - y_valid)))
            if not np.isfinite(score):
                raise ValueError("the pipeline's validation predictions are not finite")
            return score, fit_time, None
        except Exception as exc:
            return float("nan"), perf_counter() - start, _transportable(exc)


def _try_fit_candidate(steps, X, y, seed):
    """Fit a candidate; return ``(pipeline, None)`` or ``(None, error)``."""
    with _silenced_warnings():
        try:
            return _fit_candidate(steps, X, y, seed), None
        except Exception as exc:
            return None, _transportable(exc)


#: Characters of the progress bar shown with ``verbose``.
PROGRESS_BAR_WIDTH = 20


def _progress_bar(n_done, n_total):
    """``|#####-----|``: the share of the candidates evaluated so far."""
    filled = PROGRESS_BAR_WIDTH * n_done // max(1, n_total)
    return "|" + "#" * filled + "-" * (PROGRESS_BAR_WIDTH - filled) + "|"


# ---------------------------------------------------------------------------
# Parameter checks
# ---------------------------------------------------------------------------

def _is_real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _check_budget(value, name):
    if not _is_real(value) or not np.isfinite(value) or value < 0:
        raise ValueError(
            f"{name} must be a non-negative number of minutes; got {value!r}."
        )


def _check_positive_int(value, name):
    if not _is_int(value) or value < 1:
        raise ValueError(f"{name} must be an int >= 1; got {value!r}.")


class GUSKAuto(RegressorMixin, BaseEstimator):
    """Automatic regressor: pick the best pipeline of a search space within a time budget.

    Every candidate pipeline of the space is trained on the first 75 % of the
    rows and scored by its mean absolute error on the remaining rows (the
    rows are never shuffled, so validation data always follows training
    data).  The best candidate is then refitted on all rows.

    Parameters
    ----------
    stages : sequence of stages, callable or None, default=None
        Search space, see :mod:`orvane.gusk.joint_optimizers.utils.regression_dag`.
        ``None`` uses the default space; a callable is called with no
        arguments at fit time and must return a space.
    total_execution_time : float, default=2
        Budget of the search in minutes.  Candidates are evaluated in
        batches of as many candidates as there are parallel jobs; no new
        batch starts once the budget is spent (the first batch always runs).
    execution_time_per_pipeline : float, default=1
        Limit of one candidate's fit in minutes.  A running fit is not
        interrupted, but a candidate that needed longer is left out of the
        ranking (unless every candidate did).
    execution_platform : str, default="spark_node_random_search"
        ``"spark_node_random_search"`` or ``"single_node_random_search"``
        evaluate the candidates in a random order (seeded by
        ``random_state``); ``"spark_node_complete_search"`` or
        ``"single_node_complete_search"`` evaluate them in the space's order.
        The parallel resources themselves come from the active joblib backend.
    n_jobs : int or None, default=None
        Number of candidates evaluated at once, passed to ``joblib.Parallel``.
        ``None`` means one unless a ``joblib.parallel_config`` context says
        otherwise.
    random_state : int, RandomState instance or None, default=None
        Seeds the search order and, when given, the ``random_state`` of every
        candidate model, so that a fixed value gives the same result.
    verbose : bool, default=False
        Print a progress bar line per batch to standard error.

    Attributes
    ----------
    leaderboard_ : list of dict
        One entry per evaluated candidate, best first, with keys
        ``"pipeline"`` (name), ``"score"`` (validation MAE), ``"fit_time"``
        (seconds), ``"status"`` (``"ok"``, ``"too_slow"``, ``"failed"`` or
        ``"unscored"`` when there were too few rows to validate) and
        ``"error"`` (text of the failure or ``None``).
    ranked_candidates_ : list of Candidate
        The candidates usable as models, best first.
    search_time_ : float
        Seconds spent evaluating candidates.
    best_estimator_ : sklearn.pipeline.Pipeline
        The best candidate refitted on all rows.
    n_features_in_ : int
        Number of columns of X seen in fit.
    n_outputs_ : int
        Number of targets (columns of y).

    Examples
    --------
    A space of one stage with two models to choose from:

    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from sklearn.tree import DecisionTreeRegressor
    >>> X = np.arange(40, dtype=float).reshape(-1, 2)
    >>> y = X @ [1.0, 2.0]
    >>> stages = [[LinearRegression(), DecisionTreeRegressor(random_state=0)]]
    >>> model = GUSKAuto(stages=stages, random_state=0).fit(X, y)
    >>> [entry["pipeline"] for entry in model.leaderboard_]
    ['LinearRegression', 'DecisionTreeRegressor']
    >>> model.predict(X[:2]).round(6)
    array([2., 8.])
    """

    _progress_label = "GUSKAuto"

    def __init__(self, stages=None, total_execution_time=2, execution_time_per_pipeline=1,
                 execution_platform="spark_node_random_search", n_jobs=None,
                 random_state=None, verbose=False):
        self.stages = stages
        self.total_execution_time = total_execution_time
        self.execution_time_per_pipeline = execution_time_per_pipeline
        self.execution_platform = execution_platform
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    def __sklearn_tags__(self):
        """Scikit-learn's tags: several targets at once are supported."""
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        return tags

    # -- public API ---------------------------------------------------------

    def fit(self, X, y):
        """Search the space and fit the final model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Numeric input rows, in time order.
        y : array-like of shape (n_samples,) or (n_samples, n_outputs)
            Targets.  With several columns, single-output candidates are
            wrapped in a ``MultiOutputRegressor``.

        Returns
        -------
        self : object
            The fitted regressor.
        """
        X, y = self._validate_training_data(X, y)
        self._validate_params(n_samples=len(X))
        rng = check_random_state(self.random_state)
        seed = None if self.random_state is None else int(rng.randint(_MAX_SEED))
        self._search(X, y, rng, seed)
        self._fit_final_model(X, y, rng, seed)
        return self

    def predict(self, X):
        """Predict with the fitted model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        ndarray of shape (n_samples,) or (n_samples, n_outputs)
            One-dimensional when ``y`` was one-dimensional in fit.
        """
        X = self._validate_prediction_data(X)
        return self._as_target_shape(self._predict_outputs(X))

    # -- steps of fit, overridden by the ensembles -----------------------------

    def _validate_params(self, n_samples):
        if self.execution_platform not in EXECUTION_PLATFORMS:
            accepted = ", ".join(f'"{name}"' for name in EXECUTION_PLATFORMS)
            raise ValueError(
                f"execution_platform must be one of {accepted}; got "
                f"{self.execution_platform!r}."
            )
        _check_budget(self.total_execution_time, "total_execution_time")
        _check_budget(self.execution_time_per_pipeline, "execution_time_per_pipeline")

    def _fit_final_model(self, X, y, rng, seed):
        self.best_estimator_ = self._refit_leaders(X, y, 1, seed)[0][1]

    def _predict_outputs(self, X):
        check_is_fitted(self, "best_estimator_")
        return _predict_outputs(self.best_estimator_, X, self.n_outputs_)

    # -- data handling ------------------------------------------------------

    def _validate_training_data(self, X, y):
        X, y = check_X_y(X, y, multi_output=True, y_numeric=True, dtype=np.float64)
        y = np.asarray(y, dtype=np.float64)
        self.n_features_in_ = X.shape[1]
        self.target_is_1d_ = y.ndim == 1
        y = y.reshape(len(y), -1)
        self.n_outputs_ = y.shape[1]
        return X, y

    def _validate_prediction_data(self, X):
        check_is_fitted(self, "n_features_in_")
        X = check_array(X, dtype=np.float64)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is "
                f"expecting {self.n_features_in_} features as input (the columns "
                f"it was fitted on)."
            )
        return X

    def _as_target_shape(self, outputs):
        """(n, k) outputs -> the shape of ``y`` in fit."""
        return outputs[:, 0] if self.target_is_1d_ else outputs

    # -- the search ---------------------------------------------------------

    def _search_order(self, candidates, rng):
        if EXECUTION_PLATFORMS[self.execution_platform]:
            return [candidates[i] for i in rng.permutation(len(candidates))]
        return list(candidates)

    def _search(self, X, y, rng, seed):
        """Evaluate the candidates.

        Sets ``leaderboard_``, ``ranked_candidates_`` and ``search_time_``.
        """
        candidates = self._search_order(enumerate_candidates(self.stages), rng)
        if not candidates:
            raise ValueError(
                "stages describes no candidate pipeline: every stage option is "
                "None. Give at least one stage a model step."
            )
        start = perf_counter()
        if len(X) < MIN_ROWS_FOR_HOLDOUT:
            self._pick_without_validation(candidates, X, y, seed)
        else:
            outcomes = self._evaluate(candidates, X, y, seed, start)
            self._rank(candidates, outcomes)
        self.search_time_ = perf_counter() - start

    def _evaluate(self, candidates, X, y, seed, start):
        """Score candidates batch by batch until the space or the budget is exhausted."""
        n_valid = len(X) - int(len(X) * HOLDOUT_TRAIN_SHARE)
        train, valid = next(TimeSeriesTrainTestSplit(n_test_size=n_valid).split(X))
        budget = self.total_execution_time * 60.0
        batch_size = max(1, effective_n_jobs(self.n_jobs))
        X_train, y_train, X_valid, y_valid = X[train], y[train], X[valid], y[valid]
        outcomes = []
        with _silenced_warnings(), Parallel(n_jobs=self.n_jobs) as parallel:
            for first in range(0, len(candidates), batch_size):
                if outcomes and perf_counter() - start >= budget:
                    break
                batch = candidates[first:first + batch_size]
                outcomes.extend(parallel(
                    delayed(_score_candidate)(candidate, X_train, y_train, X_valid, y_valid,
                                              seed)
                    for candidate in batch
                ))
                self._report_progress(len(outcomes), len(candidates), outcomes, start)
        return outcomes

    def _rank(self, candidates, outcomes):
        limit = self.execution_time_per_pipeline * 60.0
        entries = []
        for candidate, (score, fit_time, error) in zip(candidates, outcomes, strict=False):
            if error is not None:
                status = "failed"
            elif fit_time > limit:
                status = "too_slow"
            else:
                status = "ok"
            entries.append((candidate, score, fit_time, status, error))

        statuses = {entry[3] for entry in entries}
        usable_status = "ok" if "ok" in statuses else "too_slow"
        if usable_status not in statuses:
            self._raise_no_candidate(entries[-1][4], len(entries))
        status_order = {"ok": 0, "too_slow": 1, "failed": 2}
        ordered = sorted(
            entries,
            key=lambda e: (status_order[e[3]], 0.0 if e[4] is not None else e[1]),
        )
        self.leaderboard_ = [self._leaderboard_entry(*entry) for entry in ordered]
        self.ranked_candidates_ = [entry[0] for entry in ordered if entry[3] == usable_status]

    def _pick_without_validation(self, candidates, X, y, seed):
        """Too few rows to validate: keep the first candidate that fits and return it fitted."""
        error = None
        with _silenced_warnings():
            for candidate in candidates:
                start = perf_counter()
                pipeline, error = _try_fit_candidate(candidate.steps, X, y, seed)
                if error is None:
                    self.leaderboard_ = [self._leaderboard_entry(
                        candidate, float("nan"), perf_counter() - start, "unscored", None)]
                    self.ranked_candidates_ = [candidate]
                    return pipeline
        self._raise_no_candidate(error, len(candidates))

    @staticmethod
    def _leaderboard_entry(candidate, score, fit_time, status, error):
        return {
            "pipeline": candidate.name,
            "score": score,
            "fit_time": fit_time,
            "status": status,
            "error": None if error is None else f"{type(error).__name__}: {error}",
        }

    @staticmethod
    def _raise_no_candidate(last_error, n_tried):
        raise ValueError(
            f"None of the {n_tried} candidate pipelines tried could be fitted; "
            f"the last one failed with {type(last_error).__name__}: "
            f"{str(last_error).rstrip('.')}. "
            f"Check that X and y are numeric and long enough, or pass a search "
            f"space (stages) suited to the data."
        ) from last_error

    def _refit_leaders(self, X, y, count, seed):
        """Refit the best ``count`` usable candidates on all rows, in parallel.

        Candidates that fail on all rows are skipped and the next ones tried.

        Returns
        -------
        list of (Candidate, Pipeline)
        """
        leaders, error = [], None
        remaining = list(self.ranked_candidates_)
        with _silenced_warnings(), Parallel(n_jobs=self.n_jobs) as parallel:
            while remaining and len(leaders) < count:
                missing = count - len(leaders)
                batch, remaining = remaining[:missing], remaining[missing:]
                results = parallel(delayed(_try_fit_candidate)(c.steps, X, y, seed) for c in batch)
                for candidate, (pipeline, failure) in zip(batch, results, strict=True):
                    if failure is None:
                        leaders.append((candidate, pipeline))
                    else:
                        error = failure
        if not leaders:
            self._raise_no_candidate(error, len(self.ranked_candidates_))
        return leaders

    def _report_progress(self, n_done, n_total, outcomes, start):
        if not self.verbose:
            return
        scores = [score for score, _, error in outcomes if error is None]
        best = f"{min(scores):.6g}" if scores else "none"
        print(
            f"[{self._progress_label}] {_progress_bar(n_done, n_total)} {n_done}/{n_total} "
            f"candidates evaluated, best validation MAE {best}, "
            f"{perf_counter() - start:.1f} s elapsed",
            file=sys.stderr,
        )
