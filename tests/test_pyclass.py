"""The native class layer: signatures, argument binding, class creation, persistence."""

import copy
import gc
import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import ParameterGrid

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

E = inspect.Parameter.empty

ESTIMATOR_SIGNATURES = {
    "__init__": "(self, steps, feature_columns, target_columns, look_ahead_fcolumns=None, "
    "lookback_win=5, pred_win=1, time_column=-1, init_time_optimization=False, "
    "data_transformation_scheme=None, multistep_prediction_strategy=None, "
    "multistep_prediction_win=1, multivariate_column_encoding=False, "
    "store_lookback_history=False, **kwarg)",
    "_get_named_steps": "(self, steps)",
    "set_scoring": "(self, scoring)",
    "_multi_variate_col_encoder": "(self, Xt)",
    "_adjust_indices": "(self, target_columns=None, feature_columns=None)",
    "set_cross_validation": "(self, cv)",
    "_input_data_transformation": "(self, X)",
    "_output_data_transformation": "(self, y)",
    "_validate_steps": "(self, steps)",
    "_data_fit_transform": "(self, X, y=None)",
    "_data_transform": "(self, X, y=None)",
    "_init_transformer_and_estimator": "(self)",
    "_store_lookback_history_X": "(self, X)",
    "_add_lookback_history_to_X": "(self, X)",
    "_display_transformations": "(self, X, y=None)",
    "fit": "(self, X, y=None)",
    "predict_sliding_window": "(self, X)",
    "_add_exogenous_to_X": "(self, X, exogenous)",
    "__str__": "(self)",
    "_recursive_predict_helper": "(self, X, supporting_features=None)",
    "predict": "(self, X=None, supporting_features=None, prediction_type=None)",
    "_predict": "(self, X, num_predictions=-1)",
    "score": "(self, X, y=None, sample_weight=None)",
    "set_params": "(self, attr='steps', **params)",
    "predit_recursive_multi_step": "(self, X)",
    "_use_parallel_version_of_multi_step_sliding_window": "(self, X)",
    "_use_multioutput_version_of_multi_step_sliding_window": "(self, X)",
    "predict_multi_step_sliding_window": "(self, X)",
    "_transformer_helper": "(self, y_pred)",
    "_recursive_predict_proba_helper": "(self, X, supporting_features=None)",
    "predict_proba": "(self, X, supporting_features=None)",
    "_reset_fc_cols_and_lookback": "(self, feature_columns, target_columns, lookback_win, pred_win)",
    "get_params": "(self, deep=True)",
    "__setstate__": "(self, state)",
    "__sklearn_clone__": "(self)",
    "update": "(self, X)",
}

ENSEMBLER_INIT_HEAD = (
    "(self, feature_columns, target_columns, lookback_win, pred_win, time_column=-1, "
    "init_time_optimization=False, data_transformation_scheme=None, total_execution_time=2, "
    "execution_time_per_pipeline=1, dag_granularity='default', "
    "execution_platform='spark_node_random_search', n_leaders_for_ensemble=5, "
    "n_estimators_for_pred_interval=30, max_samples_for_pred_interval=1.0, "
    "multistep_prediction_strategy=None, multistep_prediction_win=1, ensemble_type='voting', "
)
ENSEMBLER_INIT_TAIL = "store_lookback_history=False, n_jobs=-1, look_ahead_fcolumns=None, **kwarg)"


def simple_estimator(gusk, **kwargs):
    steps = [("flatten", Flatten([0], [0], lookback_win=3)), ("model", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(steps, [0], [0], lookback_win=3, **kwargs)


def test_members_are_bound_in_class_body_order(gusk):
    members = [
        name
        for name in vars(gusk.GUSKTimeSeriesEstimator)
        if name in ESTIMATOR_SIGNATURES or name.endswith("pipeline_")
    ]
    expected = list(ESTIMATOR_SIGNATURES)
    expected.insert(expected.index("__setstate__"), "is_exogenous_pipeline_")
    expected.insert(expected.index("__setstate__"), "is_future_exogenous_pipeline_")
    assert members == expected


@pytest.mark.parametrize("name,signature", sorted(ESTIMATOR_SIGNATURES.items()))
def test_estimator_method_signatures(gusk, name, signature):
    method = vars(gusk.GUSKTimeSeriesEstimator)[name]
    assert str(inspect.signature(getattr(gusk.GUSKTimeSeriesEstimator, name))) == signature
    assert method.__doc__  # help() has something to show


@pytest.mark.parametrize(
    "cls,extra",
    [
        ("FlattenAutoEnsembler", ""),
        ("DifferenceFlattenAutoEnsembler", "multivariate_column_encoding=False, "),
        ("LocalizedFlattenAutoEnsembler", "multivariate_column_encoding=False, "),
    ],
)
def test_ensembler_signatures(gusk, cls, extra):
    klass = getattr(gusk, cls)
    assert str(inspect.signature(klass.__init__)) == ENSEMBLER_INIT_HEAD + extra + ENSEMBLER_INIT_TAIL
    assert str(inspect.signature(klass.set_params)) == "(self, attr='steps', **params)"
    assert str(inspect.signature(klass.name)) == "(self)"
    assert str(inspect.signature(klass)) == "(" + (ENSEMBLER_INIT_HEAD + extra + ENSEMBLER_INIT_TAIL)[7:]


def test_bound_method_signature_drops_self(gusk):
    est = simple_estimator(gusk)
    assert str(inspect.signature(est.fit)) == "(X, y=None)"
    assert str(inspect.signature(type(est))) == "(" + ESTIMATOR_SIGNATURES["__init__"][7:]
    own = type("Own", (type(est),), {"__init__": lambda self, steps, depth=3: None})
    assert str(inspect.signature(own)) == "(steps, depth=3)" and not hasattr(est, "__signature__")
    assert est.fit.__self__ is est


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda e: e.fit(), "fit() missing 1 required positional argument: 'X'"),
        (lambda e: e.fit(1, 2, 3), "fit() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda e: e.fit(1, X=2), "fit() got multiple values for argument 'X'"),
        (lambda e: e.fit(1, z=2), "fit() got an unexpected keyword argument 'z'"),
        (lambda e: e._get_named_steps(), "_get_named_steps() missing 1 required positional argument: 'steps'"),
        (lambda e: e._reset_fc_cols_and_lookback(1),
         "_reset_fc_cols_and_lookback() missing 3 required positional arguments: "
         "'target_columns', 'lookback_win', and 'pred_win'"),
        (lambda e: e._add_exogenous_to_X(), "_add_exogenous_to_X() missing 2 required positional "
         "arguments: 'X' and 'exogenous'"),
        (lambda e: e.set_scoring(1, 2), "set_scoring() takes 2 positional arguments but 3 were given"),
        (lambda e: type(e).__str__(), "__str__() missing 1 required positional argument: 'self'"),
    ],
)
def test_argument_binding_errors_are_worded_like_python(gusk, call, message):
    est = simple_estimator(gusk)
    with pytest.raises(TypeError) as info:
        call(est)
    assert str(info.value) == message


def test_keyword_and_positional_binding_agree(gusk):
    est = simple_estimator(gusk)
    by_keyword = type(est)(steps=est.steps, target_columns=[0], feature_columns=[0], pred_win=2)
    assert (by_keyword.feature_columns, by_keyword.target_columns, by_keyword.pred_win) == ([0], [0], 2)
    # set_params collects unknown keywords into **params; attr may be passed by keyword.
    assert est.set_params(attr="x", time_column=3) is est
    assert est.time_column == 3


def test_classes_are_ordinary_python_classes(gusk):
    cls = gusk.GUSKTimeSeriesEstimator
    assert type(cls) is type
    assert cls.__module__ == gusk.__name__
    assert cls.__qualname__ == "GUSKTimeSeriesEstimator"
    assert "wrapper" in cls.__doc__ and "lookback_win" in cls.__doc__
    assert BaseEstimator in cls.__mro__ and RegressorMixin not in cls.__mro__
    assert isinstance(vars(cls)["is_exogenous_pipeline_"], property)
    assert inspect.isfunction(vars(gusk.FlattenAutoEnsembler)["name"]) is False  # native
    assert callable(vars(gusk.FlattenAutoEnsembler)["name"])
    for sub in ("FlattenAutoEnsembler", "DifferenceFlattenAutoEnsembler", "LocalizedFlattenAutoEnsembler"):
        assert getattr(gusk, sub).__bases__ == (cls,)


def test_get_params_clone_and_repr_on_unfitted_estimator(gusk):
    est = simple_estimator(gusk)
    params = est.get_params(deep=False)
    assert params["estimator"] is est.steps[-1][1]
    twin = clone(est)
    assert type(twin) is type(est)
    assert twin.lookback_win == 3 and twin.steps is not est.steps
    assert "GUSKTimeSeriesEstimator(" in repr(est)


@pytest.mark.parametrize("steps", [[], None, [("only",)], 5])
def test_get_params_without_estimator_and_malformed_steps_reports_none(gusk, steps):
    est = gusk.GUSKTimeSeriesEstimator.__new__(gusk.GUSKTimeSeriesEstimator)
    est.__dict__.update(simple_estimator(gusk).__dict__)
    est.steps = steps
    assert est.get_params(deep=False)["estimator"] is None


def test_grid_search_style_parameter_setting(gusk):
    est = simple_estimator(gusk)
    for params in ParameterGrid({"flatten__lookback_win": [2, 4], "pred_win": [1]}):
        candidate = clone(est).set_params(**params)
        assert candidate.steps[0][1].lookback_win == params["flatten__lookback_win"]
        assert est.steps[0][1].lookback_win == 3  # the original is untouched


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_deepcopy_round_trip(gusk, protocol):
    X = np.arange(40, dtype=float).reshape(-1, 1)
    est = simple_estimator(gusk).fit(X)
    for restored in (pickle.loads(pickle.dumps(est, protocol=protocol)), copy.deepcopy(est)):
        assert type(restored) is gusk.GUSKTimeSeriesEstimator
        np.testing.assert_allclose(restored.predict(X), est.predict(X))


class TracedEstimator(gusk_module.GUSKTimeSeriesEstimator):
    """A Python subclass: native methods must reach its overrides through the instance."""

    calls = []

    def _input_data_transformation(self, X):
        self.calls.append("input")
        return super()._input_data_transformation(X)

    def _data_fit_transform(self, X, y=None):
        self.calls.append("fit_transform")
        return super()._data_fit_transform(X, y)


def test_python_subclass_overrides_are_used_by_native_code():
    steps = [("flatten", Flatten([0], [0], lookback_win=3)), ("model", LinearRegression())]
    est = TracedEstimator(steps, [0], [0], lookback_win=3)
    TracedEstimator.calls.clear()
    est.fit(np.arange(30, dtype=float).reshape(-1, 1))
    assert TracedEstimator.calls == ["input", "fit_transform"]
    assert str(est).startswith("TracedEstimator(")
    restored = pickle.loads(pickle.dumps(est))
    assert type(restored) is TracedEstimator and restored.lookback_win == 3


def test_native_calls_do_not_leak_objects(gusk):
    est = simple_estimator(gusk)
    X = np.arange(40, dtype=float).reshape(-1, 1)

    def exercise():
        est.get_params()
        str(est)
        est.set_params(time_column=-1)
        est._get_named_steps(est.steps)
        est.fit(X)
        est.predict(X)
        for bad in (lambda: est.fit(), lambda: est.predict(X, 1, 2, 3), lambda: est._validate_steps([])):
            try:
                bad()
            except (TypeError, IndexError):
                pass

    for _ in range(20):
        exercise()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(200):
        exercise()
    gc.collect()
    assert len(gc.get_objects()) - before < 50
