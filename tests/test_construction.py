"""Construction, named steps, validation, the parameter protocol, text form and unpickling."""

import pickle

import pytest
from sklearn.base import clone
from sklearn.linear_model import LinearRegression, Ridge

from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten
from orvane.utils.parameter_warnings import UnusedParameterWarning

from conftest import RecordingStep


def make(gusk, steps=None, feature_columns=(1,), target_columns=(1,), **kwargs):
    steps = steps if steps is not None else [("t", object()), ("m", LinearRegression())]
    return gusk.GUSKTimeSeriesEstimator(steps, list(feature_columns), list(target_columns), **kwargs)


def test_defaults(gusk):
    est = make(gusk)
    assert est.look_ahead_fcolumns == [] and est.algorithm == "_None"
    assert (est.lookback_win, est.pred_win, est.time_column) == (5, 1, -1)
    assert est.cv is None and est.transformer_steps is None and est.is_automate_run is True
    assert est.scoring is gusk.SCORERS["neg_mean_absolute_error"]
    assert not hasattr(est, "estimator")
    assert make(gusk).look_ahead_fcolumns is not est.look_ahead_fcolumns


def test_attributes_are_set_in_order_and_stored_unchanged(gusk):
    steps = [("t", object()), ("m", LinearRegression())]
    features = [0, 2]
    message = "GUSKTimeSeriesEstimator ignores the keyword argument\\(s\\) 'extra'"
    with pytest.warns(UnusedParameterWarning, match=message):
        est = gusk.GUSKTimeSeriesEstimator(steps, features, [2], lookback_win=[3, 4], extra=1)
    assert list(vars(est)) == [
        "steps", "scoring", "cv", "feature_columns", "target_columns", "time_column",
        "lookback_win", "pred_win", "init_time_optimization", "data_transformation_scheme",
        "algorithm", "multistep_prediction_strategy", "multistep_prediction_win",
        "multivariate_column_encoding", "store_lookback_history", "named_steps",
        "transformer_steps", "is_automate_run", "look_ahead_fcolumns",
    ]
    assert est.steps is steps and est.feature_columns is features


@pytest.mark.parametrize("scheme,algorithm", [("log", "_log"), ("auto", "_auto"), (3, "_3")])
def test_algorithm_label(gusk, scheme, algorithm):
    assert make(gusk, data_transformation_scheme=scheme).algorithm == algorithm


def test_estimator_keyword(gusk):
    model = LinearRegression()
    assert make(gusk, estimator=model).estimator is model
    with pytest.warns(UnusedParameterWarning, match="'other'"):
        assert not hasattr(make(gusk, other=model), "estimator")


def test_named_steps_later_duplicate_wins(gusk):
    first, second = object(), object()
    est = make(gusk, steps=[("a", first), ("a", second), ("m", LinearRegression())])
    assert est.named_steps == {"a": second, "m": est.steps[-1][1]}
    assert est._get_named_steps([]) == {}


@pytest.mark.parametrize(
    "steps,message",
    [([("m", LinearRegression())], "ORVANE0043E"), ([("t", object()), ("m", object())], "ORVANE0044E")],
)
def test_validate_steps_errors(gusk, messages, steps, message):
    with pytest.raises(Exception) as info:
        make(gusk)._validate_steps(steps)
    assert type(info.value) is Exception and info.value.args == (message,)
    assert messages.calls == [(message, ())]


def test_validate_steps_accepts_estimator_and_rejects_empty(gusk):
    assert make(gusk)._validate_steps([("t", object()), ("m", LinearRegression())]) is None
    with pytest.raises(IndexError):
        make(gusk)._validate_steps([])


def test_get_params_reports_estimator(gusk):
    model = LinearRegression()
    est = make(gusk, estimator=model)
    params = est.get_params()
    assert params["estimator"] is model
    assert params["lookback_win"] == 5 and "steps" in params
    assert "algorithm" not in params


def test_set_params_routes_by_step_name(gusk, log):
    flatten, model = RecordingStep("flatten", log), RecordingStep("model", log)
    est = make(gusk, steps=[("flatten", flatten), ("model", model)])
    before = dict(vars(est))
    assert est.set_params(flatten__lookback_win=3) is est
    assert log == [("flatten", "set_params", {"lookback_win": 3}), ("model", "set_params", {})]
    assert vars(est) == before


def test_set_params_lookback_goes_to_first_step_and_attribute(gusk, log):
    est = make(gusk, steps=[("flatten", RecordingStep("flatten", log)), ("model", RecordingStep("model", log))])
    est.set_params(lookback_win=8)
    assert log == [("flatten", "set_params", {}), ("model", "set_params", {}),
                   ("flatten", "set_params", {"lookback_win": 8})]
    assert est.lookback_win == 8


@pytest.mark.parametrize("key,step_key,value", [("pred_win", "pred_win", 7),
                                                ("target_columns", "target_col_index", [1]),
                                                ("feature_columns", "feature_col_index", [0, 1]),
                                                ("look_ahead_fcolumns", "look_ahead_fcol_index", [2])])
def test_set_params_routes_the_shared_layout_to_the_windowing_step(gusk, key, step_key, value):
    window = Flatten([1], [1], lookback_win=5)
    est = make(gusk, steps=[("window", window), ("m", LinearRegression())])
    est.set_params(**{key: value})
    assert getattr(window, step_key) == value and getattr(est, key) == value


@pytest.mark.parametrize("params,message", [
    ({"ridge_alpha": 5}, r"takes 'ridge_alpha' \(did you mean 'ridge__alpha'"),
    ({"lookbak_win": 3}, r"takes 'lookbak_win' \(did you mean 'lookback_win'"),
    ({"rige__alpha": 5, "time_column": 0},
     r"takes 'rige__alpha' \(did you mean 'ridge__alpha', 'ridge__tol'\?\); kept"),
])
def test_set_params_warns_about_keys_that_change_nothing(gusk, params, message):
    est = make(gusk, steps=[("window", Flatten([1], [1])), ("ridge", Ridge())])
    with pytest.warns(UnusedParameterWarning, match=message):
        est.set_params(**params)
    assert {key: getattr(est, key) for key in params} == params


def test_set_params_with_a_step_name_replaces_that_step(gusk):
    replacement = Ridge()
    est = make(gusk, steps=[("window", Flatten([1], [1])), ("model", LinearRegression())])
    est.set_params(model=replacement, model__alpha=3.0)
    assert est.steps[-1] == ("model", replacement) and est.named_steps["model"] is replacement
    assert replacement.alpha == 3.0 and not hasattr(est, "model")
    assert est.get_params()["estimator"] is replacement


def test_set_params_sets_deep_copies_and_stops_at_first_error(gusk, log):
    class Failing(RecordingStep):
        def set_params(self, **params):
            raise ValueError("bad parameter")

    value = [1, 2]
    est = make(gusk, steps=[("a", RecordingStep("a", log)), ("b", Failing("b", log))])
    with pytest.raises(ValueError, match="bad parameter"):
        est.set_params(a__x=1, time_column=value)
    assert log == [("a", "set_params", {"x": 1})]
    assert est.time_column == -1
    est2 = make(gusk, steps=[("a", RecordingStep("a", log))])
    est2.set_params(time_column=value)
    assert est2.time_column == value and est2.time_column is not value


def test_str_lists_sorted_parameters_without_estimator(gusk):
    est = make(gusk, estimator=LinearRegression())
    text = str(est)
    assert text.startswith("GUSKTimeSeriesEstimator(data_transformation_scheme=None,\n\t\t\t\tfeature_columns=[1],")
    assert text.endswith("target_columns=[1],\n\t\t\t\ttime_column=-1)")
    assert "estimator=" not in text.replace("_estimator", "")


def test_str_of_a_subclass_with_two_parameters(gusk):
    class Two(gusk.GUSKTimeSeriesEstimator):
        def __init__(self, a=1, b=2):
            self.a, self.b = a, b
            self.estimator = None

    assert str(Two()) == "Two(a=1,\n\t\t\t\tb=2)"


def test_unpickling_old_state_without_look_ahead(gusk):
    est = make(gusk, steps=[("t", 1), ("m", LinearRegression())])
    state = dict(est.__getstate__())
    del state["look_ahead_fcolumns"]
    restored = gusk.GUSKTimeSeriesEstimator.__new__(gusk.GUSKTimeSeriesEstimator)
    assert restored.__setstate__(state) is None
    assert restored.look_ahead_fcolumns is None
    assert restored.is_exogenous_pipeline_ is False and restored.is_future_exogenous_pipeline_ is False
    assert pickle.loads(pickle.dumps(est)).look_ahead_fcolumns == []


@pytest.mark.parametrize(
    "look_ahead,features,targets,exogenous,future",
    [
        ([], [0, 1], [1, 0], False, False),
        ([], [0, 2], [0], True, False),
        ([3], [0], [0], True, True),
        ([], [], [], True, False),
        (None, [0, 2], [0], False, False),
    ],
)
def test_exogenous_properties(gusk, look_ahead, features, targets, exogenous, future):
    est = make(gusk, feature_columns=features, target_columns=targets)
    est.look_ahead_fcolumns = look_ahead
    assert est.is_exogenous_pipeline_ is exogenous
    assert est.is_future_exogenous_pipeline_ is future


def test_clone_of_fitted_style_estimator_keeps_parameters(gusk):
    est = make(gusk, steps=[("t", RecordingStep("t", [])), ("m", LinearRegression())], lookback_win=7)
    twin = clone(est)
    assert twin.lookback_win == 7 and isinstance(twin.estimator, LinearRegression)
    assert twin.estimator is not est.steps[-1][1]


@pytest.mark.parametrize("setter,attr", [("set_scoring", "scoring"), ("set_cross_validation", "cv")])
def test_setters_return_self(gusk, setter, attr):
    est = make(gusk)
    token = object()
    assert getattr(est, setter)(token) is est and getattr(est, attr) is token
