"""Time-series forecasting with scikit-learn estimators and a C++ core.

Every public name is available from here (``from orvane import GUSKTimeSeriesEstimator``) and is
imported on first use, so ``import orvane`` stays cheap and does not load the native modules
until a class is asked for.
"""

import importlib
from typing import TYPE_CHECKING

__version__ = "0.1.0"

_ESTIMATORS = "orvane.gusk.estimators.tembrel.models.gusk_estimators"
_TRANSFORMERS = "orvane.gusk.transformers.preprocessing.ts_transformer"

# public name -> module that defines it
_PUBLIC_NAMES = {
    "GUSKTimeSeriesEstimator": _ESTIMATORS,
    "FlattenAutoEnsembler": _ESTIMATORS,
    "DifferenceFlattenAutoEnsembler": _ESTIMATORS,
    "LocalizedFlattenAutoEnsembler": _ESTIMATORS,
    "Flatten": _TRANSFORMERS,
    "DifferenceFlatten": _TRANSFORMERS,
    "LocalizedFlatten": _TRANSFORMERS,
    "DifferenceFlattenX": _TRANSFORMERS,
    "LocalizedFlattenX": _TRANSFORMERS,
    "NormalizedFlatten": _TRANSFORMERS,
    "DifferenceNormalizedFlatten": _TRANSFORMERS,
    "EnsembleRegressor": "orvane.gusk.estimators.regression.auto_ensemble_regressor",
    "load_airline": "orvane.datasets",
    "backtest": "orvane.backtesting",
}

__all__ = ["__version__", *_PUBLIC_NAMES]

if TYPE_CHECKING:
    # Type checkers see the real names; at run time they come from __getattr__. The redundant
    # aliases mark them as re-exported, since __all__ is built from _PUBLIC_NAMES.
    from orvane.backtesting import backtest as backtest
    from orvane.datasets import load_airline as load_airline
    from orvane.gusk.estimators.regression.auto_ensemble_regressor import (
        EnsembleRegressor as EnsembleRegressor,
    )
    from orvane.gusk.estimators.tembrel.models.gusk_estimators import (
        DifferenceFlattenAutoEnsembler as DifferenceFlattenAutoEnsembler,
        FlattenAutoEnsembler as FlattenAutoEnsembler,
        GUSKTimeSeriesEstimator as GUSKTimeSeriesEstimator,
        LocalizedFlattenAutoEnsembler as LocalizedFlattenAutoEnsembler,
    )
    from orvane.gusk.transformers.preprocessing.ts_transformer import (
        DifferenceFlatten as DifferenceFlatten,
        DifferenceFlattenX as DifferenceFlattenX,
        DifferenceNormalizedFlatten as DifferenceNormalizedFlatten,
        Flatten as Flatten,
        LocalizedFlatten as LocalizedFlatten,
        LocalizedFlattenX as LocalizedFlattenX,
        NormalizedFlatten as NormalizedFlatten,
    )


def __getattr__(name):
    module = _PUBLIC_NAMES.get(name)
    if module is None:
        raise AttributeError(f"module 'orvane' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later look-ups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
