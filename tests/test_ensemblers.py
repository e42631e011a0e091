"""The ready-made forecasters: the pipeline they build, their settings and their small methods."""

import inspect

import pytest

from orvane.gusk.estimators.regression.auto_ensemble_regressor import EnsembleRegressor
from orvane.utils.parameter_warnings import UnusedParameterWarning

CLASSES = ["FlattenAutoEnsembler", "DifferenceFlattenAutoEnsembler", "LocalizedFlattenAutoEnsembler"]

SEARCH_ATTRIBUTES = {
    "FlattenAutoEnsembler": [
        "dag_granularity", "execution_platform", "execution_time_per_pipeline", "total_execution_time",
        "n_leaders_for_ensemble", "n_estimators_for_pred_interval", "max_samples_for_pred_interval",
        "ensemble_type", "store_lookback_history", "n_jobs",
    ],
    "LocalizedFlattenAutoEnsembler": [
        "dag_granularity", "total_execution_time", "execution_time_per_pipeline", "execution_platform",
        "n_leaders_for_ensemble", "n_estimators_for_pred_interval", "max_samples_for_pred_interval",
        "ensemble_type", "store_lookback_history", "n_jobs",
    ],
}
SEARCH_ATTRIBUTES["DifferenceFlattenAutoEnsembler"] = SEARCH_ATTRIBUTES["FlattenAutoEnsembler"]

STEP_NAMES = {"FlattenAutoEnsembler": "Flatten", "DifferenceFlattenAutoEnsembler": "DifferenceFlatten",
              "LocalizedFlattenAutoEnsembler": "LocalizedFlatten"}

BASE_ATTRIBUTES = [
    "steps", "scoring", "cv", "feature_columns", "target_columns", "time_column", "lookback_win",
    "pred_win", "init_time_optimization", "data_transformation_scheme", "algorithm",
    "multistep_prediction_strategy", "multistep_prediction_win", "multivariate_column_encoding",
    "named_steps", "transformer_steps", "is_automate_run", "look_ahead_fcolumns",
]


class Recorder:
    """A callable that records its calls and returns ``result(*args, **kwargs)``."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(*args, **kwargs)

    def as_method(self):
        """A plain function, so that it binds to instances when placed on a class."""

        def method(*args, **kwargs):
            return self(*args, **kwargs)

        return method


@pytest.fixture
def prepare(gusk, monkeypatch):
    recorder = Recorder(lambda **kwargs: ("AutoEnsemble", EnsembleRegressor()))
    monkeypatch.setattr(gusk, "prepare_regressor", recorder)
    return recorder


@pytest.fixture
def eight_processors(tembrel, monkeypatch):
    monkeypatch.setattr(tembrel, "cpu_count", lambda: 8)


# ---------------------------------------------------------------------------------------------
# The pipeline


def test_default_flatten_pipeline(gusk):
    est = gusk.FlattenAutoEnsembler([0], [0], 5, 1)
    (name, flatten), (regressor_name, regressor) = est.steps
    assert (name, regressor_name) == ("Flatten", "AutoEnsemble")
    assert type(flatten) is gusk.Flatten and type(regressor) is EnsembleRegressor
    assert flatten.get_params() == {"feature_col_index": [0], "target_col_index": [0], "lookback_win": 5,
                                    "pred_win": 1, "look_ahead_fcol_index": []}
    assert flatten.look_ahead_fcol_index is est.look_ahead_fcolumns
    params = regressor.get_params()
    assert params["stages"] is None  # the "default" search space
    expected = {"total_execution_time": 2, "execution_time_per_pipeline": 1, "n_leaders_for_ensemble": 5,
                "n_estimators_for_pred_interval": 30, "max_samples_for_pred_interval": 1.0,
                "ensemble_type": "voting", "execution_platform": "spark_node_random_search"}
    assert {key: params[key] for key in expected} == expected
    assert est.named_steps == {"Flatten": flatten, "AutoEnsemble": regressor}
    assert est.transformer_steps is None and not hasattr(est, "estimator")


@pytest.mark.parametrize(
    "features,targets,look_ahead,exogenous_variant",
    [
        ([1, 0], [0, 1], None, False),
        ([0], [0], None, False),
        ([1, 0], [0, 1], [], False),
        ([0, 1], [0], None, True),
        ([0, 2], [0, 1], None, True),
        ([0], [0], [2], True),
    ],
)
@pytest.mark.parametrize("cls,plain,variant", [
    ("DifferenceFlattenAutoEnsembler", "DifferenceFlatten", "DifferenceFlattenX"),
    ("LocalizedFlattenAutoEnsembler", "LocalizedFlatten", "LocalizedFlattenX"),
])
def test_transformer_choice(gusk, prepare, cls, plain, variant, features, targets, look_ahead, exogenous_variant):
    est = getattr(gusk, cls)(features, targets, 5, 2, look_ahead_fcolumns=look_ahead)
    name, transformer = est.steps[0]
    assert name == plain
    expected = {"feature_col_index": features, "target_col_index": targets, "lookback_win": 5, "pred_win": 2}
    if exogenous_variant:
        assert type(transformer) is getattr(gusk, variant)
        assert transformer.look_ahead_fcol_index is est.look_ahead_fcolumns
        expected["look_ahead_fcol_index"] = est.look_ahead_fcolumns
    else:
        assert type(transformer) is getattr(gusk, plain)
    assert transformer.get_params() == expected


@pytest.mark.parametrize("cls,transformer,look_ahead", [
    ("FlattenAutoEnsembler", "Flatten", None),
    ("DifferenceFlattenAutoEnsembler", "DifferenceFlatten", None),
    ("DifferenceFlattenAutoEnsembler", "DifferenceFlattenX", [3]),
    ("LocalizedFlattenAutoEnsembler", "LocalizedFlattenX", [3]),
])
def test_transformer_classes_are_module_globals_called_with_keywords(gusk, prepare, monkeypatch, cls,
                                                                     transformer, look_ahead):
    recorder = Recorder(lambda *args, **kwargs: object())
    monkeypatch.setattr(gusk, transformer, recorder)
    est = getattr(gusk, cls)([0], [0], 4, 2, look_ahead_fcolumns=look_ahead)
    ((args, kwargs),) = recorder.calls
    assert args == ()
    expected = {"feature_col_index": [0], "target_col_index": [0], "lookback_win": 4, "pred_win": 2}
    if transformer in ("Flatten", "DifferenceFlattenX", "LocalizedFlattenX"):
        expected["look_ahead_fcol_index"] = est.look_ahead_fcolumns
    assert kwargs == expected


def test_regressor_step_keywords(gusk, prepare):
    gusk.FlattenAutoEnsembler([0], [0], 5, 1, dag_granularity="tiny", execution_platform="local_complete_search",
                              total_execution_time=3, execution_time_per_pipeline=0.5, n_leaders_for_ensemble=2,
                              n_estimators_for_pred_interval=7, max_samples_for_pred_interval=0.5,
                              ensemble_type="stacked", n_jobs=1)
    ((args, kwargs),) = prepare.calls
    assert args == ()
    assert list(kwargs.items()) == [
        ("dag_granularity", "tiny"), ("total_execution_time", 3), ("execution_time_per_pipeline", 0.5),
        ("r_type", "AutoEnsemble"), ("execution_platform", "local_complete_search"),
        ("n_leaders_for_ensemble", 2), ("n_estimators_for_pred_interval", 7),
        ("max_samples_for_pred_interval", 0.5), ("ensemble_type", "stacked"), ("n_jobs", 1),
    ]


@pytest.mark.parametrize("cls", CLASSES)
def test_regressor_step_receives_the_adjusted_job_count(gusk, prepare, eight_processors, cls):
    est = getattr(gusk, cls)([0, 1, 2], [0, 1, 2], 5, 2)
    assert prepare.calls[0][1]["n_jobs"] == est.n_jobs


# ---------------------------------------------------------------------------------------------
# Settings


@pytest.mark.parametrize("cls,expected", [("FlattenAutoEnsembler", 6), ("DifferenceFlattenAutoEnsembler", 2),
                                          ("LocalizedFlattenAutoEnsembler", 2)])
def test_job_count_is_capped_by_the_outputs(gusk, prepare, eight_processors, cls, expected):
    est = getattr(gusk, cls)([0, 1, 2], [0, 1, 2], 5, 2, n_jobs=-1)
    assert est.n_jobs == expected


@pytest.mark.parametrize("cls,outputs", [("FlattenAutoEnsembler", 6), ("DifferenceFlattenAutoEnsembler", 2),
                                         ("LocalizedFlattenAutoEnsembler", 2)])
def test_job_count_comes_from_get_optimized_n_jobs(gusk, prepare, monkeypatch, cls, outputs):
    recorder = Recorder(lambda **kwargs: 11)
    monkeypatch.setattr(gusk, "get_optimized_n_jobs", recorder)
    est = getattr(gusk, cls)([0, 1, 2], [0, 1, 2], 5, 2, n_jobs=5)
    assert recorder.calls == [((), {"n_jobs": 5, "no_outputs": outputs})]
    assert est.n_jobs == 11


@pytest.mark.parametrize(
    "cls,n_targets,pred_win,doubled",
    [
        ("FlattenAutoEnsembler", 20, 100, True),
        ("FlattenAutoEnsembler", 25, 150, True),
        ("FlattenAutoEnsembler", 20, 99, False),
        ("FlattenAutoEnsembler", 19, 100, False),
        ("DifferenceFlattenAutoEnsembler", 20, 100, False),
        ("LocalizedFlattenAutoEnsembler", 20, 100, False),
    ],
)
def test_budgets_double_only_for_large_flatten_problems(gusk, prepare, cls, n_targets, pred_win, doubled):
    columns = list(range(n_targets))
    est = getattr(gusk, cls)(columns, columns, 5, pred_win, total_execution_time=3, execution_time_per_pipeline=1.5)
    factor = 2 if doubled else 1
    assert (est.total_execution_time, est.execution_time_per_pipeline) == (3 * factor, 1.5 * factor)
    kwargs = prepare.calls[0][1]
    assert (kwargs["total_execution_time"], kwargs["execution_time_per_pipeline"]) == (3 * factor, 1.5 * factor)
    est.estimator = est.steps[-1][1]
    assert est.get_params()["total_execution_time"] == 3 * factor


def test_default_budgets_of_a_large_problem(gusk):
    columns = list(range(20))
    est = gusk.FlattenAutoEnsembler(columns, columns, 5, 100)
    assert (est.total_execution_time, est.execution_time_per_pipeline) == (4, 2)
    regressor = est.steps[-1][1]
    assert (regressor.total_execution_time, regressor.execution_time_per_pipeline) == (4, 2)


@pytest.mark.parametrize("cls", CLASSES)
def test_attributes_are_set_in_order(gusk, prepare, cls):
    est = getattr(gusk, cls)([0], [0], 5, 1)
    assert list(vars(est)) == SEARCH_ATTRIBUTES[cls] + BASE_ATTRIBUTES


@pytest.mark.parametrize("cls", CLASSES)
def test_arguments_are_stored(gusk, prepare, cls):
    est = getattr(gusk, cls)([0], [0], 5, 1, dag_granularity="flat", execution_platform="p",
                             n_leaders_for_ensemble=3, n_estimators_for_pred_interval=4,
                             max_samples_for_pred_interval=0.25, ensemble_type="stacked",
                             store_lookback_history=True, time_column=2, multistep_prediction_win=3,
                             multistep_prediction_strategy="recursive", data_transformation_scheme="log")
    assert (est.dag_granularity, est.execution_platform, est.n_leaders_for_ensemble) == ("flat", "p", 3)
    assert (est.n_estimators_for_pred_interval, est.max_samples_for_pred_interval) == (4, 0.25)
    assert (est.ensemble_type, est.store_lookback_history, est.time_column) == ("stacked", True, 2)
    assert (est.multistep_prediction_win, est.multistep_prediction_strategy) == (3, "recursive")
    assert (est.data_transformation_scheme, est.algorithm) == ("log", "_log")


@pytest.mark.parametrize("cls", CLASSES)
def test_fresh_look_ahead_list_per_instance(gusk, prepare, cls):
    first, second = getattr(gusk, cls)([0], [0], 5, 1), getattr(gusk, cls)([0], [0], 5, 1)
    assert first.look_ahead_fcolumns == [] and second.look_ahead_fcolumns == []
    assert first.look_ahead_fcolumns is not second.look_ahead_fcolumns
    given = [1]
    assert getattr(gusk, cls)([0], [0], 5, 1, look_ahead_fcolumns=given).look_ahead_fcolumns is given


# ---------------------------------------------------------------------------------------------
# Keywords for the base constructor


@pytest.fixture
def base_init(gusk, monkeypatch):
    recorder = Recorder(lambda self, *args, **kwargs: None)
    monkeypatch.setattr(gusk.GUSKTimeSeriesEstimator, "__init__", recorder.as_method())
    return recorder


@pytest.mark.parametrize("cls", CLASSES)
def test_base_constructor_keywords(gusk, prepare, base_init, cls):
    est = getattr(gusk, cls)([0], [1], 4, 2, time_column=3, init_time_optimization=True,
                             data_transformation_scheme="sqrt", multistep_prediction_strategy="multioutput",
                             multistep_prediction_win=2, store_lookback_history=True, extra="kept")
    ((args, kwargs),) = base_init.calls
    assert args == (est,)
    expected = [
        "steps", "feature_columns", "target_columns", "look_ahead_fcolumns", "lookback_win", "pred_win",
        "time_column", "init_time_optimization", "data_transformation_scheme",
        "multistep_prediction_strategy", "multistep_prediction_win",
    ]
    if cls != "FlattenAutoEnsembler":
        expected.append("multivariate_column_encoding")
    assert list(kwargs) == expected + ["store_lookback_history", "extra"]
    steps = kwargs.pop("steps")
    assert [name for name, _ in steps] == [STEP_NAMES[cls], "AutoEnsemble"]
    assert kwargs == {
        "feature_columns": [0], "target_columns": [1], "look_ahead_fcolumns": [], "lookback_win": 4,
        "pred_win": 2, "time_column": 3, "init_time_optimization": True,
        "data_transformation_scheme": "sqrt", "multistep_prediction_strategy": "multioutput",
        "multistep_prediction_win": 2, "store_lookback_history": True, "extra": "kept",
        **({} if cls == "FlattenAutoEnsembler" else {"multivariate_column_encoding": False}),
    }


@pytest.mark.parametrize("cls", CLASSES)
def test_column_encoding_reaches_the_base(gusk, prepare, cls):
    with pytest.warns(UnusedParameterWarning, match=f"{cls} ignores the keyword argument\\(s\\) 'unknown_option'"):
        est = getattr(gusk, cls)([0], [0], 5, 1, multivariate_column_encoding=True, unknown_option=1)
    assert est.multivariate_column_encoding is True
    assert not hasattr(est, "unknown_option")


@pytest.mark.parametrize("cls", CLASSES)
def test_repeated_keyword_is_a_type_error(gusk, prepare, cls):
    cls = getattr(gusk, cls)
    est = cls.__new__(cls)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'steps'"):
        cls.__init__(est, [0], [0], 5, 1, steps=[])
    assert list(vars(est)) == SEARCH_ATTRIBUTES[cls.__name__]


def test_target_columns_without_length_are_a_type_error(gusk, prepare):
    with pytest.raises(TypeError):
        gusk.FlattenAutoEnsembler([0], 5, 5, 1)


def test_unknown_search_space_error_propagates(gusk, messages):
    with pytest.raises(Exception) as info:
        gusk.FlattenAutoEnsembler([0], [0], 5, 1, dag_granularity="Default")
    assert type(info.value) is Exception and info.value.args == ("ORVANE0037E",)


# ---------------------------------------------------------------------------------------------
# set_params and name


@pytest.mark.parametrize("cls", CLASSES)
def test_set_params_returns_self_after_setting(gusk, prepare, cls):
    est = getattr(gusk, cls)([0], [0], 5, 1)
    step_name = est.steps[0][0]
    assert est.set_params(pred_win=3) is est
    assert est.pred_win == 3
    assert est.set_params("ignored", **{f"{step_name}__lookback_win": 7}) is est
    assert est.steps[0][1].lookback_win == 7 and est.lookback_win == 5


@pytest.mark.parametrize("cls", CLASSES)
def test_set_params_passes_only_keywords_to_the_base(gusk, prepare, monkeypatch, cls):
    est = getattr(gusk, cls)([0], [0], 5, 1)
    recorder = Recorder(lambda self, **params: None)
    monkeypatch.setattr(gusk.GUSKTimeSeriesEstimator, "set_params", recorder.as_method())
    assert est.set_params("steps", time_column=1, pred_win=2) is est
    assert recorder.calls == [((est,), {"time_column": 1, "pred_win": 2})]


@pytest.mark.parametrize("cls", CLASSES)
def test_name_is_a_plain_method_returning_the_class_name(gusk, prepare, cls):
    est = getattr(gusk, cls)([0], [0], 5, 1)
    assert est.name() == cls
    assert inspect.ismethod(est.name) and est.name.__self__ is est
    assert not isinstance(inspect.getattr_static(getattr(gusk, cls), "name"), property)
