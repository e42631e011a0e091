"""The estimator module's frame: imports in order, classes, module globals read at call time."""

import importlib
import inspect
import sys

import numpy as np
import pytest
import sklearn.metrics
from sklearn.base import BaseEstimator

GLOBALS_IN_ORDER = [
    "copy", "List", "Optional", "randint", "np", "pd", "BaseEstimator", "RegressorMixin",
    "cross_val_score", "check_array", "GUSKAuto", "TargetTransformer", "GUSKEnsemble",
    "EnsembleRegressor", "check_object_is_estimator", "Flatten", "DifferenceFlatten",
    "LocalizedFlatten", "DifferenceFlattenX", "LocalizedFlattenX", "NormalizedFlatten",
    "DifferenceNormalizedFlatten", "SCORERS", "Parallel", "delayed", "cpu_count",
    "prepare_regressor", "get_optimized_n_jobs", "Messages", "Score", "get_max_lookback",
    "GUSKTimeSeriesEstimator", "FlattenAutoEnsembler", "DifferenceFlattenAutoEnsembler",
    "LocalizedFlattenAutoEnsembler", "__test__",
]


def test_globals_are_bound_in_order(gusk):
    names = [n for n in vars(gusk) if not (n.startswith("__") and n != "__test__")]
    assert names == GLOBALS_IN_ORDER
    assert gusk.__test__ == {}
    assert "TimeSeriesTrainTestSplit" not in vars(gusk)


def test_imported_objects_are_the_dependencies(gusk, tembrel):
    import copy
    import pandas

    assert gusk.copy is copy and gusk.np is np and gusk.pd is pandas
    assert gusk.check_object_is_estimator is tembrel.check_object_is_estimator
    assert gusk.get_max_lookback is tembrel.get_max_lookback
    assert gusk.BaseEstimator is BaseEstimator
    assert gusk.Score.PREDICT_FORECAST == gusk.Score.PREDICT_FORECAST.lower()


def test_scorers_mapping_names_every_scorer(gusk):
    assert set(gusk.SCORERS) >= set(sklearn.metrics.get_scorer_names())
    scorer = gusk.SCORERS["neg_mean_absolute_error"]
    assert scorer._score_func is sklearn.metrics.mean_absolute_error and scorer._sign == -1


def test_class_hierarchy(gusk):
    cls = gusk.GUSKTimeSeriesEstimator
    assert cls.__bases__ == (BaseEstimator,)
    assert inspect.signature(gusk.FlattenAutoEnsembler.name).parameters.keys() == {"self"}
    for name in ("is_exogenous_pipeline_", "is_future_exogenous_pipeline_"):
        assert isinstance(getattr(cls, name), property)


def test_second_initialisation_is_refused(gusk, monkeypatch):
    monkeypatch.delitem(sys.modules, gusk.__name__)
    with pytest.raises(ImportError, match="only once per process"):
        importlib.import_module(gusk.__name__)


def test_module_globals_are_read_at_call_time(gusk, monkeypatch, messages):
    est = gusk.GUSKTimeSeriesEstimator([("a", object())], [0], [0])
    with pytest.raises(Exception, match="ORVANE0043E"):
        est._validate_steps(est.steps)
    assert messages.calls == [("ORVANE0043E", ())]
    monkeypatch.setattr(gusk, "check_object_is_estimator", lambda model: True)
    assert est._validate_steps([("t", object()), ("m", object())]) is None
