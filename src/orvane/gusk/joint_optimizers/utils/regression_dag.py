"""Search spaces ("DAGs") of regression pipelines for the automatic regressors.

A DAG is plain, declarative data: an ordered sequence of *stages*, each stage
a sequence of *options*.  A candidate pipeline takes one option from every
stage (the cartesian product of the stages), in stage order.  An option is

* a :class:`PipelineStep` -- one pipeline step, named by the import path of its
  class and its constructor parameters;
* a tuple of steps -- a short chain, for example a scaler followed by a
  linear model, so that scaling is only paired with the models it helps;
* ``None`` (:data:`SKIP`) -- this stage contributes no step;
* an unfitted scikit-learn estimator -- it is cloned for every candidate.

Nothing is imported or constructed until a step is built, so a space that
names an optional library (xgboost, lightgbm) can be defined and imported
without it; building such a step without the library raises an
``ImportError`` that says which package to install.

The ready-made spaces put linear models first: on windowed series they are
usually the strongest candidates and they are the cheapest to fit.
"""

import importlib
import itertools
import re
from dataclasses import dataclass, field, replace
from typing import NamedTuple

from sklearn.base import clone
from sklearn.pipeline import Pipeline

__all__ = [
    "SKIP",
    "PipelineStep",
    "Candidate",
    "resolve_dag",
    "enumerate_candidates",
    "build_pipeline",
    "get_default_dag",
    "get_tiny_dag",
    "get_flat_dag",
    "get_multi_output_tiny_dag",
    "get_multi_output_flat_dag",
    "get_optimised_multi_output_flat_dag",
    "get_regression_chain_tiny_dag",
    "get_regression_chain_flat_dag",
    "get_mimo_flat_dag",
    "get_complete_mino_flat_dag",
    "get_xgb_dag",
    "get_lgbm_dag",
    "get_xgboost_multi_dag",
    "get_lgbm_multi_dag",
    "default_reg_dag",
    "tiny_reg_dag",
    "flat_reg_dag",
    "multi_output_tiny_dag",
    "multi_output_flat_dag",
    "optimised_multi_output_flat_dag",
    "regression_chain_flat_dag",
    "regression_chain_tiny_dag",
    "mimo_flat_dag",
    "complete_mino_flat_dag",
    "xgb_dag",
    "lgbm_dag",
    "xgboost_multi_dag",
    "lgbm_multi_dag",
]

#: Option meaning "this stage adds no step to the pipeline".
SKIP = None

# pip names of packages whose import name differs from the distribution name.
_PIP_NAMES = {"sklearn": "scikit-learn"}


def _build_value(value):
    """Build nested step descriptions (for example the estimator of a wrapper)."""
    if isinstance(value, PipelineStep):
        return value.build()
    if isinstance(value, list):
        return [_build_value(item) for item in value]
    if isinstance(value, tuple):
        return tuple(_build_value(item) for item in value)
    return value


@dataclass(frozen=True)
class PipelineStep:
    """Immutable description of one pipeline step.

    Parameters
    ----------
    name : str
        Readable label of the step, used in pipeline names and leaderboards.
    module : str
        Import path of the module that defines the class.
    class_name : str
        Name of the estimator or transformer class in ``module``.
    params : mapping or sequence of (str, object) pairs, default=()
        Constructor keywords.  Stored as a tuple of pairs sorted by name so
        that the description is hashable; values that are themselves ``PipelineStep``
        are built when this step is built.
    args : tuple, default=()
        Positional constructor arguments, built like ``params``.
    package : str or None, default=None
        pip distribution that provides ``module``, named in the error raised
        when it is missing.  Defaults to the top-level module name.
    """

    name: str
    module: str
    class_name: str
    params: tuple = field(default=())
    args: tuple = field(default=())
    package: "str | None" = None

    def __post_init__(self):
        """Freeze the parameters as sorted (name, value) pairs and the arguments as a tuple."""
        items = self.params.items() if hasattr(self.params, "items") else self.params
        object.__setattr__(self, "params", tuple(sorted((str(k), v) for k, v in items)))
        object.__setattr__(self, "args", tuple(self.args))

    @property
    def kwargs(self):
        """Constructor keywords as a new dict."""
        return dict(self.params)

    @property
    def pip_package(self):
        """Name to give to ``pip install`` for this step's module."""
        if self.package:
            return self.package
        top_level = self.module.split(".")[0]
        return _PIP_NAMES.get(top_level, top_level)

    def with_params(self, **params):
        """Return a copy whose constructor keywords are updated with ``params``."""
        merged = self.kwargs
        merged.update(params)
        return replace(self, params=merged)

    def resolve_class(self):
        """Import the module and return the class this step names.

        Raises
        ------
        ImportError
            If the module cannot be imported (the message says which package
            to install) or does not define ``class_name``.
        """
        try:
            module = importlib.import_module(self.module)
        except ImportError as exc:
            raise ImportError(
                f"The search-space step {self.name!r} needs the package "
                f"{self.pip_package!r}, which could not be imported. Install it "
                f"with `pip install {self.pip_package}` or choose a search space "
                f"that does not use it."
            ) from exc
        try:
            return getattr(module, self.class_name)
        except AttributeError as exc:
            raise ImportError(
                f"The search-space step {self.name!r} names the class "
                f"{self.class_name!r}, which module {self.module!r} does not "
                f"define. Check the spelling or upgrade {self.pip_package!r}."
            ) from exc

    def build(self):
        """Return a new, unfitted instance of the step."""
        cls = self.resolve_class()
        args = [_build_value(arg) for arg in self.args]
        kwargs = {key: _build_value(value) for key, value in self.params}
        return cls(*args, **kwargs)


class Candidate(NamedTuple):
    """One pipeline of a search space: its label and its steps, in order."""

    name: str
    steps: tuple


# ---------------------------------------------------------------------------
# Reading a space
# ---------------------------------------------------------------------------

def _is_step(value):
    is_estimator = hasattr(value, "fit") and hasattr(value, "get_params")
    return isinstance(value, PipelineStep) or is_estimator


def _normalise_option(option, stage_number):
    """Return the option as a tuple of steps (empty for ``SKIP``)."""
    if option is None:
        return ()
    if _is_step(option):
        return (option,)
    if isinstance(option, (list, tuple)) and all(_is_step(step) for step in option):
        return tuple(option)
    raise ValueError(
        f"stages: stage {stage_number} holds an option of type "
        f"{type(option).__name__!r}. An option must be a PipelineStep, an unfitted "
        f"scikit-learn estimator, a tuple of those (a chain of steps) or None "
        f"(no step)."
    )


def resolve_dag(stages):
    """Turn a search-space argument into a normalised tuple of stages.

    Parameters
    ----------
    stages : sequence of stages, callable or None
        ``None`` selects :func:`get_default_dag`; a callable is called with no
        arguments and must return a space.  A stage is a sequence of options;
        a single step is accepted as a stage with one option.

    Returns
    -------
    tuple of tuple of tuple
        For every stage, its options, each option a tuple of steps.

    Raises
    ------
    ValueError
        If the space or one of its stages is empty or malformed.
    """
    if stages is None:
        stages = get_default_dag()
    elif callable(stages) and not _is_step(stages):
        stages = stages()
    if _is_step(stages) or not isinstance(stages, (list, tuple)) or len(stages) == 0:
        raise ValueError(
            "stages must be a non-empty sequence of stages (each a list of "
            "candidate steps), a function returning one, or None for the "
            f"default space; got {type(stages).__name__!r}."
        )
    resolved = []
    for number, stage in enumerate(stages):
        options = (stage,) if _is_step(stage) or stage is None else stage
        if not isinstance(options, (list, tuple)) or len(options) == 0:
            raise ValueError(
                f"stages: stage {number} must be a non-empty list of candidate "
                f"steps; got {stage!r}."
            )
        resolved.append(tuple(_normalise_option(option, number) for option in options))
    return tuple(resolved)


def step_label(step):
    """Readable label of a step (its given name or its class name)."""
    return step.name if isinstance(step, PipelineStep) else type(step).__name__


def enumerate_candidates(stages):
    """List the candidate pipelines of a space, in the space's order.

    Parameters
    ----------
    stages : sequence of stages, callable or None
        A search space, as accepted by :func:`resolve_dag`.

    Returns
    -------
    list of Candidate
        One entry per combination of options that yields at least one step.
    """
    candidates = []
    for combination in itertools.product(*resolve_dag(stages)):
        steps = tuple(step for option in combination for step in option)
        if steps:
            name = " -> ".join(step_label(step) for step in steps)
            candidates.append(Candidate(name, steps))
    return candidates


def _pipeline_step_names(steps):
    names = []
    for step in steps:
        base = re.sub(r"_+", "_", re.sub(r"\W", "_", step_label(step).lower())).strip("_")
        base = base or "step"
        name, suffix = base, 2
        while name in names:
            name, suffix = f"{base}_{suffix}", suffix + 1
        names.append(name)
    return names


def build_pipeline(steps):
    """Build an unfitted scikit-learn ``Pipeline`` from a candidate's steps.

    Parameters
    ----------
    steps : sequence of PipelineStep or estimator
        Descriptions are built, estimator instances are cloned.

    Returns
    -------
    sklearn.pipeline.Pipeline
    """
    built = [step.build() if isinstance(step, PipelineStep) else clone(step) for step in steps]
    return Pipeline(list(zip(_pipeline_step_names(steps), built, strict=True)))


# ---------------------------------------------------------------------------
# Building blocks of the ready-made spaces
# ---------------------------------------------------------------------------

def _sklearn(name, module, class_name, **params):
    return PipelineStep(name, "sklearn." + module, class_name, params)


_SCALER = _sklearn("StandardScaler", "preprocessing", "StandardScaler")


def _linear_regression():
    return _sklearn("LinearRegression", "linear_model", "LinearRegression")


def _ridge(alpha):
    return _sklearn(f"Ridge(alpha={alpha})", "linear_model", "Ridge", alpha=alpha)


def _lasso(alpha):
    return _sklearn(f"Lasso(alpha={alpha})", "linear_model", "Lasso", alpha=alpha, max_iter=5000)


def _elastic_net(alpha, l1_ratio):
    return _sklearn(f"ElasticNet(alpha={alpha}, l1_ratio={l1_ratio})", "linear_model",
                    "ElasticNet", alpha=alpha, l1_ratio=l1_ratio, max_iter=5000)


def _knn(n_neighbors, n_jobs=None):
    return _sklearn(f"KNeighbors(n_neighbors={n_neighbors})", "neighbors",
                    "KNeighborsRegressor", n_neighbors=n_neighbors, weights="distance",
                    n_jobs=n_jobs)


def _decision_tree(max_depth):
    return _sklearn(f"DecisionTree(max_depth={max_depth})", "tree", "DecisionTreeRegressor",
                    max_depth=max_depth, min_samples_leaf=2)


def _random_forest(n_estimators, n_jobs=None):
    return _sklearn(f"RandomForest(n_estimators={n_estimators})", "ensemble",
                    "RandomForestRegressor", n_estimators=n_estimators, min_samples_leaf=2,
                    max_features=0.5, n_jobs=n_jobs)


def _extra_trees(n_estimators, n_jobs=None):
    return _sklearn(f"ExtraTrees(n_estimators={n_estimators})", "ensemble",
                    "ExtraTreesRegressor", n_estimators=n_estimators, min_samples_leaf=2,
                    n_jobs=n_jobs)


def _gradient_boosting(n_estimators):
    return _sklearn(f"GradientBoosting(n_estimators={n_estimators})", "ensemble",
                    "GradientBoostingRegressor", n_estimators=n_estimators, max_depth=3,
                    learning_rate=0.1)


def _hist_gradient_boosting(max_iter):
    return _sklearn(f"HistGradientBoosting(max_iter={max_iter})", "ensemble",
                    "HistGradientBoostingRegressor", max_iter=max_iter)


def _xgboost(n_jobs=None):
    return PipelineStep("XGBRegressor", "xgboost", "XGBRegressor",
                        dict(n_estimators=200, max_depth=4, learning_rate=0.1, n_jobs=n_jobs))


def _lightgbm(n_jobs=None):
    return PipelineStep("LGBMRegressor", "lightgbm", "LGBMRegressor",
                        dict(n_estimators=200, learning_rate=0.05, num_leaves=15, verbose=-1,
                             n_jobs=n_jobs))


def _multi_output(model, n_jobs=None):
    return PipelineStep(f"MultiOutput({model.name})", "sklearn.multioutput",
                        "MultiOutputRegressor", dict(n_jobs=n_jobs), args=(model,))


def _regressor_chain(model):
    # The wrapped model is passed positionally: its keyword was renamed
    # between scikit-learn releases.
    return PipelineStep(f"RegressorChain({model.name})", "sklearn.multioutput",
                        "RegressorChain", args=(model,))


def _scaled(model):
    return (_SCALER, model)


def _wrap_option(option, wrap):
    """Apply ``wrap`` to the model (last step) of an option."""
    if isinstance(option, tuple):
        return option[:-1] + (wrap(option[-1]),)
    return wrap(option)


# Models, best first.  Scaling is paired only with the models it changes.

def _tiny_models():
    return (
        _linear_regression(),
        _scaled(_ridge(1.0)),
        _scaled(_lasso(0.1)),
        _scaled(_knn(5)),
        _decision_tree(6),
        _extra_trees(30),
    )


def _default_models():
    return (
        _linear_regression(),
        _scaled(_ridge(1.0)),
        _scaled(_lasso(0.1)),
        _scaled(_elastic_net(0.1, 0.5)),
        _scaled(_knn(5)),
        _decision_tree(8),
        _extra_trees(50),
        _random_forest(50),
    )


def _linear_flat_models():
    return (
        _linear_regression(),
        _scaled(_ridge(0.1)),
        _scaled(_ridge(1.0)),
        _scaled(_ridge(10.0)),
        _scaled(_lasso(0.01)),
        _scaled(_lasso(0.1)),
        _scaled(_elastic_net(0.1, 0.5)),
    )


def _natively_multi_output_flat_models(n_jobs=None):
    """Flat models that accept a two-dimensional target as they are."""
    return _linear_flat_models() + (
        _scaled(_knn(5, n_jobs)),
        _scaled(_knn(10, n_jobs)),
        _decision_tree(5),
        _decision_tree(None),
        _random_forest(100, n_jobs),
        _extra_trees(100, n_jobs),
    )


def _single_output_flat_models():
    """Flat models that predict one target only."""
    return (_gradient_boosting(100), _hist_gradient_boosting(100))


def _flat_models():
    return _natively_multi_output_flat_models() + _single_output_flat_models()


# ---------------------------------------------------------------------------
# Ready-made spaces
# ---------------------------------------------------------------------------

def get_default_dag():
    """Space used when no ``stages`` is given: eight fast, diverse candidates.

    Boosting is left to the larger spaces: fitted once per target, it would
    make the bootstrap copies of the interval estimators slow when it wins.
    """
    return (_default_models(),)


def get_tiny_dag():
    """Smallest space: six fast candidates, linear models first."""
    return (_tiny_models(),)


def get_flat_dag():
    """Broad single-output space (fifteen candidates).

    Linear models with several penalties, neighbours, trees, forests and boosting.
    """
    return (_flat_models(),)


def get_multi_output_tiny_dag(n_jobs):
    """The tiny models, each wrapped in a ``MultiOutputRegressor(n_jobs=n_jobs)``."""
    return (tuple(_wrap_option(option, lambda m: _multi_output(m, n_jobs))
                  for option in _tiny_models()),)


def get_multi_output_flat_dag(n_jobs):
    """The flat models, each wrapped in a ``MultiOutputRegressor(n_jobs=n_jobs)``."""
    return (tuple(_wrap_option(option, lambda m: _multi_output(m, n_jobs))
                  for option in _flat_models()),)


def get_optimised_multi_output_flat_dag(n_jobs):
    """The flat models for several targets without needless wrapping.

    Models that handle several targets themselves are used as they are (with
    ``n_jobs`` where they take it); only the single-output models are wrapped
    in a ``MultiOutputRegressor(n_jobs=n_jobs)``.
    """
    wrapped = tuple(_multi_output(model, n_jobs) for model in _single_output_flat_models())
    return (_natively_multi_output_flat_models(n_jobs) + wrapped,)


def get_regression_chain_tiny_dag():
    """The tiny models, each wrapped in a ``RegressorChain`` (targets predicted in turn)."""
    return (tuple(_wrap_option(option, _regressor_chain) for option in _tiny_models()),)


def get_regression_chain_flat_dag():
    """The flat models, each wrapped in a ``RegressorChain``."""
    return (tuple(_wrap_option(option, _regressor_chain) for option in _flat_models()),)


def get_mimo_flat_dag():
    """Multi-input multi-output space: only models that predict all targets jointly."""
    return (_natively_multi_output_flat_models(),)


def get_complete_mino_flat_dag():
    """Every way of predicting several targets with the flat models.

    The joint models as they are, plus the single-output models both as
    independent per-target models and as a regression chain.
    """
    singles = _single_output_flat_models()
    return (_natively_multi_output_flat_models()
            + tuple(_multi_output(model) for model in singles)
            + tuple(_regressor_chain(model) for model in singles),)


def get_xgb_dag(n_jobs=None):
    """Gradient-boosted trees from xgboost (needs ``pip install xgboost`` to be built)."""
    return ((_xgboost(n_jobs),),)


def get_lgbm_dag(n_jobs=None):
    """Gradient-boosted trees from lightgbm (needs ``pip install lightgbm`` to be built)."""
    return ((_lightgbm(n_jobs),),)


def get_xgboost_multi_dag(n_jobs):
    """xgboost, one model per target.

    ``n_jobs`` goes to the xgboost model's own threads; the per-target wrapper
    stays sequential so that the two levels do not oversubscribe the cores.
    """
    return ((_multi_output(_xgboost(n_jobs)),),)


def get_lgbm_multi_dag(n_jobs=-1):
    """lightgbm, one model per target (``n_jobs`` goes to lightgbm's own threads)."""
    return ((_multi_output(_lightgbm(n_jobs)),),)


# Values bound at import.  They are immutable, so sharing them is safe.  The
# multi-output values use one job: the builders above give other counts.
default_reg_dag = get_default_dag()
tiny_reg_dag = get_tiny_dag()
flat_reg_dag = get_flat_dag()
multi_output_tiny_dag = get_multi_output_tiny_dag(1)
multi_output_flat_dag = get_multi_output_flat_dag(1)
optimised_multi_output_flat_dag = get_optimised_multi_output_flat_dag(1)
regression_chain_flat_dag = get_regression_chain_flat_dag()
regression_chain_tiny_dag = get_regression_chain_tiny_dag()
mimo_flat_dag = get_mimo_flat_dag()
complete_mino_flat_dag = get_complete_mino_flat_dag()
xgb_dag = get_xgb_dag()
lgbm_dag = get_lgbm_dag()
xgboost_multi_dag = get_xgboost_multi_dag(1)
lgbm_multi_dag = get_lgbm_multi_dag(1)
