"""The utilities module: its frame, the estimator check, job counts, look-back, regressors."""

import importlib
import sys

import numpy as np
import scipy
import pytest
from sklearn.base import BaseEstimator
from sklearn.linear_model import LinearRegression

import orvane.gusk.joint_optimizers.utils.regression_dag as regression_dag

IMPORTED_NAMES = [
    "f_regression", "mutual_info_regression", "cross_val_score", "RandomForestRegressor",
    "Parallel", "delayed", "cpu_count", "fft", "arange", "signal", "column_or_1d",
    "mean_absolute_error", "r2_score", "mean_squared_error", "AutoRegression",
    "EnsembleRegressor", "xgb_dag", "lgbm_dag", "tiny_reg_dag", "flat_reg_dag",
    "multi_output_flat_dag", "multi_output_tiny_dag", "optimised_multi_output_flat_dag",
    "regression_chain_flat_dag", "regression_chain_tiny_dag", "mimo_flat_dag",
    "complete_mino_flat_dag", "xgboost_multi_dag", "lgbm_multi_dag", "BaseEstimator", "Messages",
]


def test_module_binds_imports_in_order_then_functions(tembrel):
    names = [n for n in vars(tembrel) if not n.startswith("__")]
    assert names == IMPORTED_NAMES + [
        "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR", "check_object_is_estimator",
        "get_optimized_n_jobs", "prepare_regressor", "get_max_lookback",
    ]
    assert tembrel.arange is getattr(scipy, "arange", np.arange)
    assert tembrel.tiny_reg_dag is regression_dag.tiny_reg_dag
    assert tembrel.MODEL_TYPES_SUPPORTED_AS_ESTIMATOR == [BaseEstimator]


def test_second_initialisation_is_refused(tembrel, monkeypatch):
    monkeypatch.delitem(sys.modules, tembrel.__name__)
    with pytest.raises(ImportError, match="only once per process"):
        importlib.import_module(tembrel.__name__)


@pytest.mark.parametrize(
    "model,expected",
    [(LinearRegression(), True), (LinearRegression, False), (None, False), (object(), False)],
)
def test_check_object_is_estimator(tembrel, model, expected):
    assert tembrel.check_object_is_estimator(model) is expected


def test_estimator_types_are_read_at_each_call(tembrel, monkeypatch):
    class Custom:
        pass

    assert tembrel.check_object_is_estimator(Custom()) is False
    monkeypatch.setattr(tembrel, "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR", [BaseEstimator, Custom])
    assert tembrel.check_object_is_estimator(Custom()) is True
    monkeypatch.setattr(tembrel, "MODEL_TYPES_SUPPORTED_AS_ESTIMATOR", ["not a type"])
    with pytest.raises(TypeError):
        tembrel.check_object_is_estimator(Custom())


@pytest.mark.parametrize(
    "cpus,args,expected",
    [
        (8, (), 1), (8, (-1, 100), 7), (8, (-1, 3), 3), (8, (0, 5), 1), (8, (-4, 5), 1),
        (8, (16, 10), 10), (1, (-1, 10), 1), (8, (-1.0, 100), 7), (4, (2, 2), 2),
    ],
)
def test_get_optimized_n_jobs(tembrel, monkeypatch, cpus, args, expected):
    monkeypatch.setattr(tembrel, "cpu_count", lambda: cpus)
    assert tembrel.get_optimized_n_jobs(*args) == expected


def test_get_optimized_n_jobs_returns_no_outputs_object_on_tie_and_rejects_none(tembrel):
    outputs = 10**30
    assert tembrel.get_optimized_n_jobs(10**30, outputs) is outputs
    with pytest.raises(TypeError):
        tembrel.get_optimized_n_jobs(2, None)
    assert tembrel.get_optimized_n_jobs(no_outputs=1, n_jobs=3) == 1


@pytest.mark.parametrize(
    "lookback,expected",
    [(5, 5), ([3, 7], 7), ([[0, 2, 5], 4], 6), ([[0, 1], [3]], 4), ([], -1), ([3, [2, 6]], 7),
     ([4, 4], 4), ((3, 9), (3, 9)), ("x", "x")],
)
def test_get_max_lookback(tembrel, lookback, expected):
    assert tembrel.get_max_lookback(lookback) == expected


def test_get_max_lookback_edge_types(tembrel):
    arr = np.array([1, 9])
    assert tembrel.get_max_lookback(arr) is arr
    with pytest.raises(ValueError):
        tembrel.get_max_lookback([[]])
    with pytest.raises(TypeError):
        tembrel.get_max_lookback([3, "a"])


class RecordingRegressor:
    created = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.created.append(self)


@pytest.fixture
def fake_regressors(tembrel, monkeypatch):
    auto = type("AutoRegression", (RecordingRegressor,), {"created": []})
    ensemble = type("EnsembleRegressor", (RecordingRegressor,), {"created": []})
    monkeypatch.setattr(tembrel, "AutoRegression", auto)
    monkeypatch.setattr(tembrel, "EnsembleRegressor", ensemble)
    return auto, ensemble


@pytest.fixture
def builder_calls(monkeypatch):
    calls = []

    def builder(name):
        def build(*args):
            calls.append((name, args))
            return ("dag", name, args)
        return build

    for name in ["get_flat_dag", "get_multi_output_tiny_dag", "get_multi_output_flat_dag",
                 "get_optimised_multi_output_flat_dag", "get_xgboost_multi_dag", "get_lgbm_multi_dag"]:
        monkeypatch.setattr(regression_dag, name, builder(name))
    return calls


COMMON = {"total_execution_time": 2, "execution_time_per_pipeline": 1,
          "execution_platform": "spark_node_random_search"}


def test_prepare_regressor_default_auto_regressor(tembrel, fake_regressors):
    auto, _ = fake_regressors
    name, regressor = tembrel.prepare_regressor("default", 2, 1, "AutoRegressor")
    assert name == "AutoRegressor" and type(regressor) is auto
    assert regressor.kwargs == COMMON
    assert list(regressor.kwargs) == list(COMMON)


def test_prepare_regressor_ensemble_receives_ensemble_options(tembrel, fake_regressors):
    _, ensemble = fake_regressors
    result = tembrel.prepare_regressor("default", 3, 2, "AutoEnsemble", "x", 4, 6, 0.5, "stacked", 9)
    assert isinstance(result, tuple) and result[0] == "AutoEnsemble"
    assert type(result[1]) is ensemble
    assert list(result[1].kwargs.items()) == [
        ("total_execution_time", 3), ("execution_time_per_pipeline", 2), ("execution_platform", "x"),
        ("n_leaders_for_ensemble", 4), ("n_estimators_for_pred_interval", 6),
        ("max_samples_for_pred_interval", 0.5), ("ensemble_type", "stacked")]


@pytest.mark.parametrize(
    "granularity,stages",
    [
        ("tiny", "tiny_reg_dag"), ("regression_chain_flat", "regression_chain_flat_dag"),
        ("regression_chain_tiny", "regression_chain_tiny_dag"), ("MIMO_flat", "mimo_flat_dag"),
        ("MINO_complete_flat", "complete_mino_flat_dag"), ("xgboost", "xgb_dag"), ("lgbm", "lgbm_dag"),
    ],
)
def test_module_value_rows_pass_the_same_object(tembrel, fake_regressors, builder_calls, granularity, stages):
    first = tembrel.prepare_regressor(granularity, 2, 1, "AutoRegressor")[1]
    second = tembrel.prepare_regressor(granularity, 2, 1, "AutoRegressor")[1]
    assert first.kwargs["stages"] is getattr(tembrel, stages)
    assert second.kwargs["stages"] is first.kwargs["stages"]
    assert builder_calls == []


@pytest.mark.parametrize(
    "granularity,builder,n_jobs,expected_args",
    [
        ("flat", "get_flat_dag", 4, ()),
        ("multioutput_tiny", "get_multi_output_tiny_dag", 4, (4,)),
        ("multioutput_flat", "get_multi_output_flat_dag", 0, (1,)),
        ("multioutput_flat", "get_multi_output_flat_dag", -1, (-1,)),
        ("optimised_multioutput_flat", "get_optimised_multi_output_flat_dag", 0.0, (1,)),
        ("multi_xgboost", "get_xgboost_multi_dag", 3, (3,)),
    ],
)
def test_builder_rows_build_a_fresh_dag(tembrel, fake_regressors, builder_calls, granularity,
                                        builder, n_jobs, expected_args):
    regressor = tembrel.prepare_regressor(granularity, 2, 1, "AutoEnsemble", n_jobs=n_jobs)[1]
    assert builder_calls == [(builder, expected_args)]
    assert regressor.kwargs["stages"] == ("dag", builder, expected_args)


def test_multi_lgbm_passes_the_builder_uncalled(tembrel, fake_regressors, builder_calls):
    regressor = tembrel.prepare_regressor("multi_lgbm", 2, 1, "AutoEnsemble")[1]
    assert regressor.kwargs["stages"] is regression_dag.get_lgbm_multi_dag
    assert builder_calls == []


@pytest.mark.parametrize(
    "granularity,r_type,message",
    [
        ("default", "Auto", ("ORVANE0036E", ("Auto",))),
        ("nope", "Auto", ("ORVANE0036E", ("Auto",))),
        ("Default", "AutoRegressor", ("ORVANE0037E", ())),
        ("nope", "AutoEnsemble", ("ORVANE0037E", ())),
    ],
)
def test_prepare_regressor_errors(tembrel, fake_regressors, messages, granularity, r_type, message):
    with pytest.raises(Exception) as info:
        tembrel.prepare_regressor(granularity, 2, 1, r_type)
    assert type(info.value) is Exception
    assert messages.calls == [message]
    assert info.value.args == ("|".join([message[0], *message[1]]),)
    assert fake_regressors[0].created == [] and fake_regressors[1].created == []


def test_missing_builder_fails_only_for_its_row(tembrel, fake_regressors, monkeypatch):
    monkeypatch.delattr(regression_dag, "get_flat_dag")
    with pytest.raises(ImportError, match="get_flat_dag"):
        tembrel.prepare_regressor("flat", 2, 1, "AutoRegressor")
    assert tembrel.prepare_regressor("tiny", 2, 1, "AutoRegressor")[0] == "AutoRegressor"


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda t: t.prepare_regressor("default", 2, 1), "missing 1 required positional argument: 'r_type'"),
        (lambda t: t.prepare_regressor(*range(11)), "takes from 4 to 10 positional arguments but 11 were given"),
        (lambda t: t.prepare_regressor("default", 2, 1, "AutoRegressor", jobs=2), "unexpected keyword argument 'jobs'"),
        (lambda t: t.get_max_lookback(), "missing 1 required positional argument: 'lookback_win'"),
        (lambda t: t.get_optimized_n_jobs(1, 2, 3), "takes from 0 to 2 positional arguments but 3 were given"),
    ],
)
def test_bad_calls_raise_type_error(tembrel, call, error):
    with pytest.raises(TypeError, match=error):
        call(tembrel)


def test_real_prepare_regressor_builds_working_regressors(tembrel):
    name, regressor = tembrel.prepare_regressor("default", 2, 1, "AutoEnsemble", n_leaders_for_ensemble=2)
    assert name == "AutoEnsemble" and isinstance(regressor, tembrel.EnsembleRegressor)
    assert (regressor.n_leaders_for_ensemble, regressor.ensemble_type) == (2, "voting")
    _, tiny = tembrel.prepare_regressor("tiny", 2, 1, "AutoRegressor")
    X = np.arange(60, dtype=float).reshape(-1, 2)
    y = X @ np.array([1.0, 2.0]) + 3.0
    np.testing.assert_allclose(tiny.fit(X, y).predict(X[:3]), y[:3], rtol=1e-6, atol=1e-6)
