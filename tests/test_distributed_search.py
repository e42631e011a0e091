"""The search carried by a real dask.distributed cluster of separate worker processes."""

import os

import numpy as np
import pytest
from joblib import parallel_config

distributed = pytest.importorskip("distributed")

from orvane.gusk.estimators.regression.auto_ensemble_regressor import EnsembleRegressor  # noqa: E402
from orvane.gusk.joint_optimizers.auto.auto_regression import AutoRegression  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=50)
    with cluster, distributed.Client(cluster) as dask_client:
        yield dask_client


def seasonal_windows(n_rows=160, width=12, seed=3):
    rng = np.random.RandomState(seed)
    t = np.arange(n_rows + width)
    series = 0.05 * t + np.sin(2 * np.pi * t / 12) + rng.normal(scale=0.3, size=len(t))
    X = np.lib.stride_tricks.sliding_window_view(series[:-1], width)[:n_rows]
    return X.copy(), series[width:width + n_rows]


def assert_same_leaderboard(remote, local):
    """Same pipelines in the same order with the same scores; fit times differ by nature.

    Scores may differ in the last bit: a forest sums its trees' predictions in
    whatever order the worker's threads finish them.
    """
    def ranking(board):
        return [(e["pipeline"], e["status"], e["error"]) for e in board]

    assert ranking(remote) == ranking(local)
    np.testing.assert_allclose([e["score"] for e in remote], [e["score"] for e in local],
                               rtol=1e-12)


def test_cluster_workers_are_other_processes(client):
    worker_pids = set(client.run(os.getpid).values())
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids


@pytest.mark.parametrize("platform", ["spark_node_random_search",
                                      "single_node_complete_search"])
def test_cluster_search_gives_the_local_leaderboard(client, platform):
    X, y = seasonal_windows()
    local = AutoRegression(execution_platform=platform, random_state=7).fit(X, y)

    with distributed.get_task_stream(client) as stream, parallel_config(backend="dask"):
        remote = AutoRegression(execution_platform=platform, n_jobs=2, random_state=7).fit(X, y)

    assert len(local.leaderboard_) == 8
    assert_same_leaderboard(remote.leaderboard_, local.leaderboard_)
    np.testing.assert_allclose(remote.predict(X[-5:]), local.predict(X[-5:]), rtol=1e-12)
    # the candidates really ran on the cluster's workers
    assert len({task["worker"] for task in stream.data}) == 2


def test_cluster_ensemble_gives_the_local_ensemble_and_intervals(client):
    X, y = seasonal_windows()
    settings = dict(n_leaders_for_ensemble=3, n_estimators_for_pred_interval=10,
                    ensemble_type="stacked", random_state=1)
    local = EnsembleRegressor(**settings).fit(X, y)
    with parallel_config(backend="dask"):
        remote = EnsembleRegressor(n_jobs=2, **settings).fit(X, y)

    assert remote.leader_names_ == local.leader_names_
    np.testing.assert_allclose(remote.ensemble_weights_, local.ensemble_weights_, rtol=1e-12)
    np.testing.assert_allclose(remote.predict_proba(X[-5:]), local.predict_proba(X[-5:]),
                               rtol=1e-12)
