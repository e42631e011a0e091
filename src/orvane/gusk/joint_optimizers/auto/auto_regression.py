"""Automatic regressor that returns the single best pipeline of a search space."""

from orvane.gusk.joint_optimizers.auto.base_auto import GUSKAuto

__all__ = ["AutoRegression"]


class AutoRegression(GUSKAuto):
    """Pick the best regression pipeline of a search space within a time budget.

    Every candidate pipeline is trained on the first 75 % of the rows and
    scored by its mean absolute error on the rest (time order is kept); the
    best one is refitted on all rows and used for predictions.

    Parameters
    ----------
    stages : sequence of stages, callable or None, default=None
        Search space (see :mod:`orvane.gusk.joint_optimizers.utils.regression_dag`);
        ``None`` uses the default space, a callable is called at fit time.
    total_execution_time : float, default=2
        Budget of the search in minutes; no new batch of candidates starts
        once it is spent.
    execution_time_per_pipeline : float, default=1
        Candidates whose fit took longer than this many minutes are left out
        of the ranking.
    execution_platform : str, default="spark_node_random_search"
        ``"spark_node_random_search"``/``"single_node_random_search"`` (random
        order) or ``"spark_node_complete_search"``/``"single_node_complete_search"``
        (the space's order).
    n_jobs : int or None, default=None
        Candidates evaluated at once through ``joblib.Parallel``.
    random_state : int, RandomState instance or None, default=None
        Seeds the search order and the candidates' own ``random_state``.
    verbose : bool, default=False
        Print a progress bar line per batch to standard error.

    Attributes
    ----------
    leaderboard_ : list of dict
        Evaluated candidates, best first (``pipeline``, ``score``,
        ``fit_time``, ``status``, ``error``).
    ranked_candidates_ : list of Candidate
        Usable candidates, best first.
    search_time_ : float
        Seconds spent evaluating candidates.
    best_estimator_ : sklearn.pipeline.Pipeline
        The best candidate refitted on all rows.
    n_features_in_ : int
        Number of columns of X seen in fit.
    n_outputs_ : int
        Number of targets.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.arange(40, dtype=float).reshape(-1, 2)
    >>> y = X @ [1.0, 2.0]
    >>> model = AutoRegression(random_state=0).fit(X, y)
    >>> model.leaderboard_[0]["pipeline"]
    'LinearRegression'
    """

    _progress_label = "AutoRegression"

    def __init__(self, stages=None, total_execution_time=2, execution_time_per_pipeline=1,
                 execution_platform="spark_node_random_search", n_jobs=None,
                 random_state=None, verbose=False):
        super().__init__(
            stages=stages,
            total_execution_time=total_execution_time,
            execution_time_per_pipeline=execution_time_per_pipeline,
            execution_platform=execution_platform,
            n_jobs=n_jobs,
            random_state=random_state,
            verbose=verbose,
        )
