"""Search spaces: their contents, building them, and the optional-library errors."""

import sys

import pytest
from sklearn.base import is_regressor
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.multioutput import MultiOutputRegressor, RegressorChain
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from orvane.gusk.joint_optimizers.utils import regression_dag as rd
from orvane.gusk.joint_optimizers.utils.regression_dag import (
    SKIP,
    PipelineStep,
    build_pipeline,
    enumerate_candidates,
    resolve_dag,
)

SCALER = PipelineStep("Scaler", "sklearn.preprocessing", "StandardScaler")
LINEAR = PipelineStep("Linear", "sklearn.linear_model", "LinearRegression")
RIDGE = PipelineStep("Ridge", "sklearn.linear_model", "Ridge", {"alpha": 2.0})

SKLEARN_SPACES = {
    "default_reg_dag": rd.default_reg_dag,
    "tiny_reg_dag": rd.tiny_reg_dag,
    "flat_reg_dag": rd.flat_reg_dag,
    "multi_output_tiny_dag": rd.multi_output_tiny_dag,
    "multi_output_flat_dag": rd.multi_output_flat_dag,
    "optimised_multi_output_flat_dag": rd.optimised_multi_output_flat_dag,
    "regression_chain_flat_dag": rd.regression_chain_flat_dag,
    "regression_chain_tiny_dag": rd.regression_chain_tiny_dag,
    "mimo_flat_dag": rd.mimo_flat_dag,
    "complete_mino_flat_dag": rd.complete_mino_flat_dag,
    "get_default_dag()": rd.get_default_dag(),
    "get_flat_dag()": rd.get_flat_dag(),
    "get_multi_output_tiny_dag(2)": rd.get_multi_output_tiny_dag(2),
    "get_multi_output_flat_dag(2)": rd.get_multi_output_flat_dag(2),
    "get_optimised_multi_output_flat_dag(2)": rd.get_optimised_multi_output_flat_dag(2),
}

OPTIONAL_SPACES = {
    "xgb_dag": ("xgboost", rd.xgb_dag),
    "xgboost_multi_dag": ("xgboost", rd.xgboost_multi_dag),
    "get_xgboost_multi_dag(2)": ("xgboost", rd.get_xgboost_multi_dag(2)),
    "lgbm_dag": ("lightgbm", rd.lgbm_dag),
    "lgbm_multi_dag": ("lightgbm", rd.lgbm_multi_dag),
    "get_lgbm_multi_dag": ("lightgbm", rd.get_lgbm_multi_dag),
}


def assert_buildable(space):
    candidates = enumerate_candidates(space)
    assert candidates
    for candidate in candidates:
        pipeline = build_pipeline(candidate.steps)
        assert isinstance(pipeline, Pipeline)
        assert is_regressor(pipeline.steps[-1][1]), candidate.name
        assert all(hasattr(step, "transform") for _, step in pipeline.steps[:-1])
    return candidates


@pytest.mark.parametrize("name", sorted(SKLEARN_SPACES))
def test_every_scikit_learn_space_builds_pipelines(name):
    assert_buildable(SKLEARN_SPACES[name])


@pytest.mark.parametrize("name", sorted(OPTIONAL_SPACES))
def test_optional_library_spaces_build_when_installed(name):
    package, space = OPTIONAL_SPACES[name]
    pytest.importorskip(package)
    assert_buildable(space)


@pytest.mark.parametrize("name", sorted(OPTIONAL_SPACES))
def test_missing_optional_library_names_the_package_to_install(name, monkeypatch):
    package, space = OPTIONAL_SPACES[name]
    monkeypatch.setitem(sys.modules, package, None)  # makes `import package` fail
    candidates = enumerate_candidates(space)  # declaring the space needs no import
    with pytest.raises(ImportError, match=rf"`pip install {package}`") as info:
        build_pipeline(candidates[0].steps)
    assert isinstance(info.value.__cause__, ImportError)


@pytest.mark.parametrize("space", [rd.default_reg_dag, rd.tiny_reg_dag])
def test_default_and_tiny_spaces_are_small_and_start_linear(space):
    candidates = enumerate_candidates(space)
    assert 6 <= len(candidates) <= 10
    assert candidates[0].name == "LinearRegression"
    assert candidates[1].name == "StandardScaler -> Ridge(alpha=1.0)"


@pytest.mark.parametrize(("space", "wrapper", "plain"), [
    (rd.multi_output_tiny_dag, MultiOutputRegressor, rd.tiny_reg_dag),
    (rd.multi_output_flat_dag, MultiOutputRegressor, rd.flat_reg_dag),
    (rd.regression_chain_tiny_dag, RegressorChain, rd.tiny_reg_dag),
    (rd.regression_chain_flat_dag, RegressorChain, rd.flat_reg_dag),
])
def test_wrapped_spaces_wrap_every_model_of_the_plain_space(space, wrapper, plain):
    wrapped_candidates = enumerate_candidates(space)
    plain_candidates = enumerate_candidates(plain)
    assert len(wrapped_candidates) == len(plain_candidates)
    for candidate, original in zip(wrapped_candidates, plain_candidates, strict=True):
        model = build_pipeline(candidate.steps).steps[-1][1]
        assert isinstance(model, wrapper), candidate.name
        assert candidate.steps[-1].args == (original.steps[-1],)


def test_n_jobs_reaches_the_estimators_that_take_it():
    for candidate in enumerate_candidates(rd.get_multi_output_tiny_dag(3)):
        assert build_pipeline(candidate.steps).steps[-1][1].n_jobs == 3
    optimised = {c.name: build_pipeline(c.steps).steps[-1][1]
                 for c in enumerate_candidates(rd.get_optimised_multi_output_flat_dag(3))}
    assert optimised["RandomForest(n_estimators=100)"].n_jobs == 3
    assert optimised["LinearRegression"].__class__ is LinearRegression
    gradient_boosting = optimised["MultiOutput(GradientBoosting(n_estimators=100))"]
    assert isinstance(gradient_boosting, MultiOutputRegressor)
    assert gradient_boosting.n_jobs == 3
    xgb_wrapper = rd.get_xgboost_multi_dag(4)[0][0]
    assert xgb_wrapper.args[0].kwargs["n_jobs"] == 4
    assert rd.get_lgbm_multi_dag()[0][0].args[0].kwargs["n_jobs"] == -1


def test_mimo_space_holds_only_models_that_predict_several_targets():
    for candidate in enumerate_candidates(rd.mimo_flat_dag):
        model = build_pipeline(candidate.steps).steps[-1][1]
        assert not isinstance(model, (MultiOutputRegressor, RegressorChain))
        assert "GradientBoosting" not in candidate.name


@pytest.mark.parametrize("builder", [
    rd.get_default_dag, rd.get_flat_dag,
    lambda: rd.get_multi_output_flat_dag(1), lambda: rd.get_lgbm_multi_dag(1),
])
def test_builders_return_a_fresh_equal_space(builder):
    first, second = builder(), builder()
    assert first == second
    assert first is not second


def test_pipeline_step_is_immutable_data():
    step = PipelineStep("R", "sklearn.linear_model", "Ridge", {"solver": "svd", "alpha": 3.0})
    assert step.params == (("alpha", 3.0), ("solver", "svd"))
    assert step.kwargs == {"alpha": 3.0, "solver": "svd"}
    assert step.with_params(alpha=5.0).kwargs == {"alpha": 5.0, "solver": "svd"}
    assert step.kwargs["alpha"] == 3.0
    assert step.pip_package == "scikit-learn"
    built = step.build()
    assert isinstance(built, Ridge) and built.alpha == 3.0 and built.solver == "svd"
    with pytest.raises(AttributeError):
        step.name = "other"


def test_nested_steps_are_built():
    chain = PipelineStep("Chain", "sklearn.multioutput", "RegressorChain", {"order": [1, 0]},
                         args=(RIDGE,))
    model = chain.build()
    assert isinstance(model, RegressorChain)
    assert isinstance(model.estimator, Ridge) and model.estimator.alpha == 2.0
    assert model.order == [1, 0]


def test_unknown_class_is_reported():
    step = PipelineStep("Nope", "sklearn.linear_model", "NoSuchRegressor")
    with pytest.raises(ImportError, match="'NoSuchRegressor'.*'sklearn.linear_model'"):
        step.build()


def test_candidates_are_the_cartesian_product_in_stage_order():
    space = [[SCALER, SKIP], [LINEAR, (SCALER, RIDGE)]]
    names = [candidate.name for candidate in enumerate_candidates(space)]
    assert names == [
        "Scaler -> Linear", "Scaler -> Scaler -> Ridge", "Linear", "Scaler -> Ridge",
    ]
    pipeline = build_pipeline(enumerate_candidates(space)[1].steps)
    assert [name for name, _ in pipeline.steps] == ["scaler", "scaler_2", "ridge"]


def test_estimator_instances_are_cloned_into_each_pipeline():
    ridge = Ridge(alpha=7.0)
    [candidate] = enumerate_candidates([[StandardScaler()], [ridge]])
    first, second = build_pipeline(candidate.steps), build_pipeline(candidate.steps)
    assert candidate.name == "StandardScaler -> Ridge"
    assert first.steps[-1][1] is not ridge
    assert first.steps[-1][1] is not second.steps[-1][1]
    assert first.steps[-1][1].alpha == 7.0


def test_resolve_dag_defaults_calls_and_wraps_single_steps():
    assert resolve_dag(None) == resolve_dag(rd.default_reg_dag)
    assert resolve_dag(lambda: [[LINEAR]]) == (((LINEAR,),),)
    assert resolve_dag([LINEAR, [SKIP, RIDGE]]) == (((LINEAR,),), ((), (RIDGE,)))


@pytest.mark.parametrize(("space", "message"), [
    ([], "non-empty sequence of stages"),
    (LINEAR, "non-empty sequence of stages"),
    ("LinearRegression", "non-empty sequence of stages"),
    ([[]], "stage 0 must be a non-empty list"),
    ([[LINEAR], [1.5]], "stage 1 holds an option of type 'float'"),
])
def test_malformed_spaces_are_rejected(space, message):
    with pytest.raises(ValueError, match=message):
        enumerate_candidates(space)


def test_space_of_only_skips_has_no_candidates():
    assert enumerate_candidates([[SKIP]]) == []
