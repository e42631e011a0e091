"""Type stubs of the extension module ``gusk_estimators``.

Parameter names and defaults match the runtime signatures exactly
(``tests/test_stubs.py`` checks them).
"""

import copy as copy
from multiprocessing import cpu_count as cpu_count
from random import randint as randint
from typing import Any, Callable, Dict, Literal, Sequence, Tuple, Union
from typing import List as List, Optional as Optional

import numpy as np
import pandas as pd
from joblib import Parallel as Parallel, delayed as delayed
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator as BaseEstimator, RegressorMixin as RegressorMixin
from sklearn.model_selection import cross_val_score as cross_val_score
from sklearn.utils.validation import check_array as check_array
from typing_extensions import Self

from orvane.gusk.estimators.regression.auto_ensemble_regressor import (
    EnsembleRegressor as EnsembleRegressor,
    GUSKEnsemble as GUSKEnsemble,
)
from orvane.gusk.estimators.utils.tembrel import (
    check_object_is_estimator as check_object_is_estimator,
    get_max_lookback as get_max_lookback,
    get_optimized_n_jobs as get_optimized_n_jobs,
    prepare_regressor as prepare_regressor,
)
from orvane.gusk.joint_optimizers.auto.base_auto import GUSKAuto as GUSKAuto
from orvane.gusk.transformers.feature_engineering.base import (
    TargetTransformer as TargetTransformer,
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
from orvane.utils.messages.messages import Messages as Messages
from orvane.utils.score import Score as Score

#: A pipeline item: (name, transformer or final estimator).
_Step = Tuple[str, Any]
#: A look-back window: one length, or one entry (length or list of lags) per feature column.
_LookbackWin = Union[int, Sequence[Union[int, Sequence[int]]]]
#: Columns by 0-based position, or by name when X is a DataFrame (resolved to positions at fit).
_Columns = Union[Sequence[int], Sequence[str], NDArray[np.integer[Any]]]
_TimeColumn = Union[int, str]
_Strategy = Literal["recursive", "multioutput"]
_Scheme = Literal[
    "auto", "log", "mean_division", "mean_substraction", "mean_division_log",
    "mean_substraction_log", "sqrt", "reciprocal", "anscombe", "fisher",
]
_Granularity = Literal["default", "tiny", "flat", "multioutput_tiny", "multioutput_flat"]
_EnsembleType = Literal["voting", "stacked"]
_ForecastOutput = Literal["pandas", "numpy"]
#: An array, or a DataFrame indexed by time when X was a time-indexed DataFrame.
_Forecast = Union[_Array, pd.DataFrame]
_Array = NDArray[np.float64]

#: Name-to-scorer mapping of scikit-learn's scorers.
SCORERS: Dict[str, Callable[..., float]]
__test__: Dict[str, Any]

class GUSKTimeSeriesEstimator(BaseEstimator):
    # Constructor parameters, stored unchanged.
    steps: List[_Step]
    feature_columns: _Columns
    target_columns: _Columns
    look_ahead_fcolumns: Optional[_Columns]
    lookback_win: _LookbackWin
    pred_win: int
    time_column: _TimeColumn
    init_time_optimization: bool
    data_transformation_scheme: Optional[_Scheme]
    multistep_prediction_strategy: Optional[_Strategy]
    multistep_prediction_win: int
    multivariate_column_encoding: bool
    store_lookback_history: bool
    # Set at construction.
    named_steps: Dict[str, Any]
    scoring: Any
    cv: Any
    algorithm: str
    is_automate_run: bool
    # Set by fit.
    transformer_steps: List[Any]
    estimator: Any
    lookback_data_X: Optional[_Array]
    look_ahead_mean: _Array
    mean_clm: _Array
    mean_clm_index: List[int]
    n_features_in_: int
    last_fit_rows_: _Array
    # Transient flags of the multi-step prediction paths.
    is_recursive_multi_step_sliding: bool
    recursive_cnt: int

    def __init__(
        self,
        steps: List[_Step],
        feature_columns: _Columns,
        target_columns: _Columns,
        look_ahead_fcolumns: Optional[_Columns] = None,
        lookback_win: _LookbackWin = 5,
        pred_win: int = 1,
        time_column: _TimeColumn = -1,
        init_time_optimization: bool = False,
        data_transformation_scheme: Optional[_Scheme] = None,
        multistep_prediction_strategy: Optional[_Strategy] = None,
        multistep_prediction_win: int = 1,
        multivariate_column_encoding: bool = False,
        store_lookback_history: bool = False,
        **kwarg: Any,
    ) -> None: ...
    def _get_named_steps(self, steps: List[_Step]) -> Dict[str, Any]: ...
    def set_scoring(self, scoring: Any) -> Self: ...
    def _multi_variate_col_encoder(self, Xt: NDArray[Any]) -> _Array: ...
    def _adjust_indices(
        self,
        target_columns: Optional[List[int]] = None,
        feature_columns: Optional[List[int]] = None,
    ) -> None: ...
    def set_cross_validation(self, cv: Any) -> Self: ...
    def _input_data_transformation(self, X: Any) -> Any: ...
    def _output_data_transformation(self, y: Any) -> Any: ...
    def _validate_steps(self, steps: List[_Step]) -> None: ...
    def _data_fit_transform(
        self, X: ArrayLike, y: Optional[ArrayLike] = None
    ) -> Tuple[Any, Any]: ...
    def _data_transform(self, X: ArrayLike, y: Optional[ArrayLike] = None) -> Tuple[Any, Any]: ...
    def _init_transformer_and_estimator(self) -> None: ...
    def _store_lookback_history_X(self, X: NDArray[Any]) -> None: ...
    def _add_lookback_history_to_X(self, X: Optional[NDArray[Any]]) -> Optional[_Array]: ...
    def _display_transformations(
        self, X: ArrayLike, y: Optional[ArrayLike] = None
    ) -> Tuple[Any, Any]: ...
    def fit(self, X: ArrayLike, y: Optional[ArrayLike] = None) -> Self: ...
    def predict_sliding_window(self, X: ArrayLike) -> _Array: ...
    def _add_exogenous_to_X(self, X: NDArray[Any], exogenous: ArrayLike) -> _Array: ...
    def __str__(self) -> str: ...
    def _recursive_predict_helper(
        self, X: NDArray[Any], supporting_features: Optional[ArrayLike] = None
    ) -> _Array: ...
    def predict(
        self,
        X: Optional[ArrayLike] = None,
        supporting_features: Optional[ArrayLike] = None,
        prediction_type: Optional[Literal["forecast", "sliding_window"]] = None,
    ) -> _Forecast: ...
    def _predict(self, X: ArrayLike, num_predictions: int = -1) -> _Array: ...
    def score(
        self,
        X: ArrayLike,
        y: Optional[ArrayLike] = None,
        sample_weight: Optional[ArrayLike] = None,
    ) -> float: ...
    def set_params(self, attr: str = "steps", **params: Any) -> Self: ...
    def predit_recursive_multi_step(self, X: ArrayLike) -> _Array: ...
    def _use_parallel_version_of_multi_step_sliding_window(self, X: ArrayLike) -> _Array: ...
    def _use_multioutput_version_of_multi_step_sliding_window(self, X: ArrayLike) -> _Array: ...
    def predict_multi_step_sliding_window(self, X: ArrayLike) -> _Array: ...
    def _transformer_helper(self, y_pred: ArrayLike) -> _Array: ...
    def _recursive_predict_proba_helper(
        self, X: NDArray[Any], supporting_features: Optional[ArrayLike] = None
    ) -> _Array: ...
    def predict_proba(
        self, X: ArrayLike, supporting_features: Optional[ArrayLike] = None
    ) -> _Forecast: ...
    def _reset_fc_cols_and_lookback(
        self,
        feature_columns: _Columns,
        target_columns: _Columns,
        lookback_win: _LookbackWin,
        pred_win: int,
    ) -> Tuple[List[int], List[Any], List[int]]: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    @property
    def is_exogenous_pipeline_(self) -> bool: ...
    @property
    def is_future_exogenous_pipeline_(self) -> bool: ...
    def __setstate__(self, state: Dict[str, Any]) -> None: ...
    def __sklearn_clone__(self) -> Self: ...
    def set_forecast_output(self, output: _ForecastOutput = "pandas") -> Self: ...
    def update(self, X: ArrayLike) -> Self: ...

class FlattenAutoEnsembler(GUSKTimeSeriesEstimator):
    dag_granularity: _Granularity
    execution_platform: str
    execution_time_per_pipeline: float
    total_execution_time: float
    n_leaders_for_ensemble: int
    n_estimators_for_pred_interval: int
    max_samples_for_pred_interval: float
    ensemble_type: _EnsembleType
    n_jobs: int

    def __init__(
        self,
        feature_columns: _Columns,
        target_columns: _Columns,
        lookback_win: _LookbackWin,
        pred_win: int,
        time_column: _TimeColumn = -1,
        init_time_optimization: bool = False,
        data_transformation_scheme: Optional[_Scheme] = None,
        total_execution_time: float = 2,
        execution_time_per_pipeline: float = 1,
        dag_granularity: _Granularity = "default",
        execution_platform: str = "spark_node_random_search",
        n_leaders_for_ensemble: int = 5,
        n_estimators_for_pred_interval: int = 30,
        max_samples_for_pred_interval: float = 1.0,
        multistep_prediction_strategy: Optional[_Strategy] = None,
        multistep_prediction_win: int = 1,
        ensemble_type: _EnsembleType = "voting",
        store_lookback_history: bool = False,
        n_jobs: int = -1,
        look_ahead_fcolumns: Optional[_Columns] = None,
        **kwarg: Any,
    ) -> None: ...
    def set_params(self, attr: str = "steps", **params: Any) -> Self: ...
    def name(self) -> str: ...

class DifferenceFlattenAutoEnsembler(GUSKTimeSeriesEstimator):
    dag_granularity: _Granularity
    execution_platform: str
    execution_time_per_pipeline: float
    total_execution_time: float
    n_leaders_for_ensemble: int
    n_estimators_for_pred_interval: int
    max_samples_for_pred_interval: float
    ensemble_type: _EnsembleType
    n_jobs: int

    def __init__(
        self,
        feature_columns: _Columns,
        target_columns: _Columns,
        lookback_win: _LookbackWin,
        pred_win: int,
        time_column: _TimeColumn = -1,
        init_time_optimization: bool = False,
        data_transformation_scheme: Optional[_Scheme] = None,
        total_execution_time: float = 2,
        execution_time_per_pipeline: float = 1,
        dag_granularity: _Granularity = "default",
        execution_platform: str = "spark_node_random_search",
        n_leaders_for_ensemble: int = 5,
        n_estimators_for_pred_interval: int = 30,
        max_samples_for_pred_interval: float = 1.0,
        multistep_prediction_strategy: Optional[_Strategy] = None,
        multistep_prediction_win: int = 1,
        ensemble_type: _EnsembleType = "voting",
        multivariate_column_encoding: bool = False,
        store_lookback_history: bool = False,
        n_jobs: int = -1,
        look_ahead_fcolumns: Optional[_Columns] = None,
        **kwarg: Any,
    ) -> None: ...
    def set_params(self, attr: str = "steps", **params: Any) -> Self: ...
    def name(self) -> str: ...

class LocalizedFlattenAutoEnsembler(GUSKTimeSeriesEstimator):
    dag_granularity: _Granularity
    execution_platform: str
    execution_time_per_pipeline: float
    total_execution_time: float
    n_leaders_for_ensemble: int
    n_estimators_for_pred_interval: int
    max_samples_for_pred_interval: float
    ensemble_type: _EnsembleType
    n_jobs: int

    def __init__(
        self,
        feature_columns: _Columns,
        target_columns: _Columns,
        lookback_win: _LookbackWin,
        pred_win: int,
        time_column: _TimeColumn = -1,
        init_time_optimization: bool = False,
        data_transformation_scheme: Optional[_Scheme] = None,
        total_execution_time: float = 2,
        execution_time_per_pipeline: float = 1,
        dag_granularity: _Granularity = "default",
        execution_platform: str = "spark_node_random_search",
        n_leaders_for_ensemble: int = 5,
        n_estimators_for_pred_interval: int = 30,
        max_samples_for_pred_interval: float = 1.0,
        multistep_prediction_strategy: Optional[_Strategy] = None,
        multistep_prediction_win: int = 1,
        ensemble_type: _EnsembleType = "voting",
        multivariate_column_encoding: bool = False,
        store_lookback_history: bool = False,
        n_jobs: int = -1,
        look_ahead_fcolumns: Optional[_Columns] = None,
        **kwarg: Any,
    ) -> None: ...
    def set_params(self, attr: str = "steps", **params: Any) -> Self: ...
    def name(self) -> str: ...
