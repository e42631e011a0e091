"""Type stubs of the extension module ``tembrel``.

Parameter names and defaults match the runtime signatures exactly
(``tests/test_stubs.py`` checks them).
"""

from multiprocessing import cpu_count as cpu_count
from typing import Any, List, Literal, Sequence, Tuple, Union

from joblib import Parallel as Parallel, delayed as delayed
from numpy import arange as arange
from scipy import fft as fft, signal as signal
from sklearn.base import BaseEstimator as BaseEstimator
from sklearn.ensemble import RandomForestRegressor as RandomForestRegressor
from sklearn.feature_selection import (
    f_regression as f_regression,
    mutual_info_regression as mutual_info_regression,
)
from sklearn.metrics import (
    mean_absolute_error as mean_absolute_error,
    mean_squared_error as mean_squared_error,
    r2_score as r2_score,
)
from sklearn.model_selection import cross_val_score as cross_val_score
from sklearn.utils.validation import column_or_1d as column_or_1d

from orvane.gusk.estimators.regression.auto_ensemble_regressor import (
    EnsembleRegressor as EnsembleRegressor,
)
from orvane.gusk.joint_optimizers.auto.auto_regression import AutoRegression as AutoRegression
from orvane.utils.messages.messages import Messages as Messages

#: A search space: a sequence of stages, each a sequence of options.
_Stages = Tuple[Any, ...]

xgb_dag: _Stages
lgbm_dag: _Stages
tiny_reg_dag: _Stages
flat_reg_dag: _Stages
multi_output_flat_dag: _Stages
multi_output_tiny_dag: _Stages
optimised_multi_output_flat_dag: _Stages
regression_chain_flat_dag: _Stages
regression_chain_tiny_dag: _Stages
mimo_flat_dag: _Stages
complete_mino_flat_dag: _Stages
xgboost_multi_dag: _Stages
lgbm_multi_dag: _Stages

#: Types accepted as the final estimator of a pipeline (read at each check).
MODEL_TYPES_SUPPORTED_AS_ESTIMATOR: List[type]

def prepare_regressor(
    dag_granularity: str,
    total_execution_time: float,
    execution_time_per_pipeline: float,
    r_type: Literal["AutoRegressor", "AutoEnsemble"],
    execution_platform: str = "spark_node_random_search",
    n_leaders_for_ensemble: int = 1,
    n_estimators_for_pred_interval: int = 5,
    max_samples_for_pred_interval: float = 1.0,
    ensemble_type: str = "voting",
    n_jobs: int = -1,
) -> Tuple[str, Union[AutoRegression, EnsembleRegressor]]: ...
def get_optimized_n_jobs(n_jobs: int = -1, no_outputs: int = 1) -> int: ...
def get_max_lookback(lookback_win: Union[int, Sequence[Union[int, Sequence[int]]]]) -> int: ...
def check_object_is_estimator(model: Any) -> bool: ...
