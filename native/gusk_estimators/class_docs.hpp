// The class docstrings of the estimator module: what help() shows for the four classes. They are
// written as the scikit-learn estimators' are (numpydoc sections), and their examples run as
// doctests in tests/test_examples.py, so keep them quick and their printed values exact.
#pragma once

namespace gusk {

inline constexpr const char* kEstimatorDoc = R"doc(Time-series pipeline estimator.

A wrapper of a scikit-learn style pipeline whose transformers change both X and y, as
time-series modelling needs: each transformer turns the series into windowed rows (the
last ``lookback_win`` time steps as inputs, the next ``pred_win`` steps as targets); the
last step is the final estimator, fitted on those rows. ``predict`` forecasts the steps
after the end of the data it is given.

Parameters
----------
steps : list of (name, object) tuples
    The items of the pipeline: windowing transformers (such as
    :class:`~orvane.Flatten`) followed by the final estimator (any scikit-learn
    regressor). The step objects are shared, not copied: fitting fits them.
feature_columns : list of int or str
    Columns of X used as inputs, by position (or by name when X is a DataFrame).
target_columns : list of int or str
    Columns of X to forecast.
look_ahead_fcolumns : list of int or str, default=None
    Feature columns whose future values are known and supplied when forecasting
    (``supporting_features`` of ``predict``); ``None`` means none. Any such column
    makes the pipeline exogenous.
lookback_win : int or list, default=5
    Number of past time steps each window holds, or one entry per feature
    column (a window length or a list of lags); the largest sets how many rows
    a forecast needs.
pred_win : int, default=1
    Number of consecutive steps each window predicts.
time_column : int or str, default=-1
    Column of time stamps (-1 for none). The rows of a DataFrame are put in
    time order by it, and its forecasts are labelled with the next stamps.
init_time_optimization : bool, default=False
    Fit the final estimator already set (by the ``estimator`` keyword or an
    earlier fit) instead of the pipeline's last step; without one, ``fit``
    raises ``AttributeError``.
data_transformation_scheme : str, default=None
    Transformation applied to the data before the transformers and undone on
    the predictions: None, 'auto', 'log', 'mean_division', 'mean_substraction',
    'mean_division_log', 'mean_substraction_log', 'sqrt', 'reciprocal',
    'anscombe' or 'fisher'.
multistep_prediction_strategy : {'recursive', 'multioutput'}, default=None
    How forecasts longer than one step are made: 'recursive' feeds each
    forecast back as the next input; 'multioutput' predicts ``pred_win`` steps
    at once.
multistep_prediction_win : int, default=1
    Number of steps ``predict`` forecasts.
multivariate_column_encoding : bool, default=False
    Append one-hot indicator columns that tell the final estimator which target
    a windowed row belongs to, for transformers that give one row per target.
store_lookback_history : bool, default=False
    Remember the last rows of the data seen by ``fit``, so that ``predict`` can
    be given only new rows (or none) and still see a full window.
**kwarg
    Further keywords; ``estimator`` sets the final estimator. A keyword that
    nothing takes is ignored with an ``UnusedParameterWarning``.

Attributes
----------
named_steps : dict
    The steps by name.
transformer_steps : list
    The fitted transformers (all steps but the last), set by ``fit``.
estimator : object
    The fitted final estimator, set by ``fit``.
scoring : callable
    Scorer used by ``score``; the negated mean absolute error unless
    ``set_scoring`` chose another.
cv : object
    Cross-validation setting; ``fit`` sets a time-ordered train/test split.
n_features_in_ : int
    Number of columns of the X given to ``fit``.
lookback_data_X : ndarray
    The rows remembered for ``predict`` when ``store_lookback_history`` is on.
is_exogenous_pipeline_ : bool
    Whether the pipeline takes look-ahead columns or features other than its
    targets.
is_future_exogenous_pipeline_ : bool
    Whether the pipeline is exogenous with at least one look-ahead column.

See Also
--------
FlattenAutoEnsembler : Ready-made forecaster on raw windows.
DifferenceFlattenAutoEnsembler : Ready-made forecaster on windows of first differences.
LocalizedFlattenAutoEnsembler : Ready-made forecaster on windows relative to their last value.

Examples
--------
>>> import numpy as np
>>> from sklearn.linear_model import LinearRegression
>>> from orvane import Flatten, GUSKTimeSeriesEstimator
>>> X = np.arange(20.0).reshape(-1, 1)
>>> model = GUSKTimeSeriesEstimator(
...     steps=[("window", Flatten([0], [0], lookback_win=3)), ("model", LinearRegression())],
...     feature_columns=[0], target_columns=[0], lookback_win=3,
...     multistep_prediction_strategy="recursive", multistep_prediction_win=3)
>>> model.fit(X).predict(X).round(6)
array([[20.],
       [21.],
       [22.]])
)doc";

inline constexpr const char* kFlattenAutoEnsemblerDoc =
    R"doc(Ready-made forecaster on raw windows, with a searched ensemble of regressors.

A two-step pipeline: a :class:`~orvane.Flatten` window (each row holds the last
``lookback_win`` values of every feature column, its targets the next ``pred_win``
values of every target column) followed by an :class:`~orvane.EnsembleRegressor`
that searches scikit-learn pipelines within a time budget and combines the best.
Raw windows suit series without a trend; for trending series see
:class:`LocalizedFlattenAutoEnsembler`.

Parameters
----------
feature_columns : list of int or str
    Columns of X used as inputs, by position (or by name when X is a DataFrame).
target_columns : list of int or str
    Columns of X to forecast.
lookback_win : int or list
    Number of past time steps each window holds, or one entry per feature column.
pred_win : int
    Number of consecutive steps each window predicts.
time_column : int or str, default=-1
    Column of time stamps (-1 for none).
init_time_optimization : bool, default=False
    Fit the final estimator already set (see :class:`GUSKTimeSeriesEstimator`)
    instead of the pipeline's last step.
data_transformation_scheme : str, default=None
    Transformation applied to the data before windowing and undone on the
    predictions (see :class:`GUSKTimeSeriesEstimator`).
total_execution_time : float, default=2
    Budget of the search in minutes (doubled for 20 targets or more with
    ``pred_win`` of 100 or more).
execution_time_per_pipeline : float, default=1
    Minutes one candidate pipeline may take to fit before it is left out
    (doubled with ``total_execution_time``).
dag_granularity : str, default='default'
    Search space: 'default', 'tiny', 'flat', 'multioutput_tiny',
    'multioutput_flat', 'optimised_multioutput_flat', 'regression_chain_flat',
    'regression_chain_tiny', 'MIMO_flat', 'MINO_complete_flat', 'multi_xgboost',
    'multi_lgbm', 'xgboost' or 'lgbm'.
execution_platform : str, default='spark_node_random_search'
    Candidates in random order ('*_random_search') or in the space's order
    ('*_complete_search'); the workers come from the active joblib backend.
n_leaders_for_ensemble : int, default=5
    Number of best pipelines combined into the ensemble.
n_estimators_for_pred_interval : int, default=30
    Bootstrap copies of the best pipeline behind the prediction intervals.
max_samples_for_pred_interval : float, default=1.0
    Share of the rows (or, an int, number of rows) each copy is fitted on.
multistep_prediction_strategy : {'recursive', 'multioutput'}, default=None
    How forecasts longer than one step are made.
multistep_prediction_win : int, default=1
    Number of steps ``predict`` forecasts.
ensemble_type : {'voting', 'stacked'}, default='voting'
    Average the leaders ('voting') or weight them by least squares on their
    out-of-fold forecasts ('stacked').
store_lookback_history : bool, default=False
    Remember the last rows seen by ``fit`` for later forecasts.
n_jobs : int, default=-1
    Parallel jobs, at most one per value predicted per window (targets times
    ``pred_win``); -1 means one fewer than the processors.
look_ahead_fcolumns : list of int or str, default=None
    Feature columns whose future values are supplied when forecasting.
**kwarg
    Passed on to :class:`GUSKTimeSeriesEstimator`.

Attributes
----------
steps : list
    The pipeline: ('Flatten', a ``Flatten``) and ('AutoEnsemble', an
    ``EnsembleRegressor``).
estimator : EnsembleRegressor
    The fitted ensemble; its ``leader_names_`` name the pipelines it combines.
transformer_steps, named_steps, n_features_in_, lookback_data_X
    As in :class:`GUSKTimeSeriesEstimator`.

See Also
--------
DifferenceFlattenAutoEnsembler : The same on windows of first differences.
LocalizedFlattenAutoEnsembler : The same on windows relative to their last value.
GUSKTimeSeriesEstimator : A pipeline of one's own choosing.

Examples
--------
>>> import numpy as np
>>> from orvane import FlattenAutoEnsembler
>>> X = np.sin(np.arange(60.0) / 4).reshape(-1, 1)
>>> forecaster = FlattenAutoEnsembler(
...     [0], [0], lookback_win=4, pred_win=1, dag_granularity="tiny",
...     total_execution_time=1, n_estimators_for_pred_interval=3, n_jobs=1)
>>> forecaster.steps[0]
('Flatten', Flatten(feature_col_index=[0], look_ahead_fcol_index=[], lookback_win=4,
        target_col_index=[0]))
>>> forecaster.fit(X).predict(X).shape
(1, 1)
)doc";

inline constexpr const char* kDifferenceFlattenAutoEnsemblerDoc =
    R"doc(Ready-made forecaster on windows of first differences, with a searched ensemble.

A two-step pipeline: a :class:`~orvane.DifferenceFlatten` window followed by an
:class:`~orvane.EnsembleRegressor` that searches scikit-learn pipelines within a time
budget and combines the best. Each window yields one row per target column holding
that target's last ``lookback_win`` values as first differences (``lookback_win``
must be at least 2); the models predict the next differences, which are added back
to the last value. When other feature columns or look-ahead columns are given, the
window is a :class:`~orvane.DifferenceFlattenX`, which appends their windows to
every row. Differences suit series with a steady trend.

Parameters
----------
feature_columns : list of int or str
    Columns of X used as inputs, by position (or by name when X is a DataFrame).
target_columns : list of int or str
    Columns of X to forecast.
lookback_win : int or list
    Number of past time steps each window holds (at least 2), or one entry per
    feature column.
pred_win : int
    Number of consecutive steps each window predicts.
time_column : int or str, default=-1
    Column of time stamps (-1 for none).
init_time_optimization : bool, default=False
    Fit the final estimator already set (see :class:`GUSKTimeSeriesEstimator`)
    instead of the pipeline's last step.
data_transformation_scheme : str, default=None
    Transformation applied to the data before windowing and undone on the
    predictions (see :class:`GUSKTimeSeriesEstimator`).
total_execution_time : float, default=2
    Budget of the search in minutes.
execution_time_per_pipeline : float, default=1
    Minutes one candidate pipeline may take to fit before it is left out.
dag_granularity : str, default='default'
    Search space (see :class:`FlattenAutoEnsembler`).
execution_platform : str, default='spark_node_random_search'
    Candidates in random order ('*_random_search') or in the space's order
    ('*_complete_search'); the workers come from the active joblib backend.
n_leaders_for_ensemble : int, default=5
    Number of best pipelines combined into the ensemble.
n_estimators_for_pred_interval : int, default=30
    Bootstrap copies of the best pipeline behind the prediction intervals.
max_samples_for_pred_interval : float, default=1.0
    Share of the rows (or, an int, number of rows) each copy is fitted on.
multistep_prediction_strategy : {'recursive', 'multioutput'}, default=None
    How forecasts longer than one step are made.
multistep_prediction_win : int, default=1
    Number of steps ``predict`` forecasts.
ensemble_type : {'voting', 'stacked'}, default='voting'
    Average the leaders ('voting') or weight them by least squares on their
    out-of-fold forecasts ('stacked').
multivariate_column_encoding : bool, default=False
    Append one-hot columns that tell the models which target a row belongs to,
    so that one model serves several targets.
store_lookback_history : bool, default=False
    Remember the last rows seen by ``fit`` for later forecasts.
n_jobs : int, default=-1
    Parallel jobs, at most one per step predicted per window (``pred_win``);
    -1 means one fewer than the processors.
look_ahead_fcolumns : list of int or str, default=None
    Feature columns whose future values are supplied when forecasting.
**kwarg
    Passed on to :class:`GUSKTimeSeriesEstimator`.

Attributes
----------
steps : list
    The pipeline: ('DifferenceFlatten', a ``DifferenceFlatten`` or
    ``DifferenceFlattenX``) and ('AutoEnsemble', an ``EnsembleRegressor``).
estimator : EnsembleRegressor
    The fitted ensemble; its ``leader_names_`` name the pipelines it combines.
transformer_steps, named_steps, n_features_in_, lookback_data_X
    As in :class:`GUSKTimeSeriesEstimator`.

See Also
--------
FlattenAutoEnsembler : The same on raw windows.
LocalizedFlattenAutoEnsembler : The same on windows relative to their last value.
GUSKTimeSeriesEstimator : A pipeline of one's own choosing.

Examples
--------
>>> import numpy as np
>>> from orvane import DifferenceFlattenAutoEnsembler
>>> X = (np.arange(60.0) + np.sin(np.arange(60.0))).reshape(-1, 1)
>>> forecaster = DifferenceFlattenAutoEnsembler(
...     [0], [0], lookback_win=4, pred_win=1, dag_granularity="tiny",
...     total_execution_time=1, n_estimators_for_pred_interval=3, n_jobs=1)
>>> type(forecaster.steps[0][1]).__name__
'DifferenceFlatten'
>>> forecaster.fit(X).predict(X).shape
(1, 1)
)doc";

inline constexpr const char* kLocalizedFlattenAutoEnsemblerDoc =
    R"doc(Ready-made forecaster on windows relative to their last value, with a searched ensemble.

A two-step pipeline: a :class:`~orvane.LocalizedFlatten` window followed by an
:class:`~orvane.EnsembleRegressor` that searches scikit-learn pipelines within a time
budget and combines the best. Each window yields one row per target column holding
that target's last ``lookback_win`` values minus the last of them; the models
predict the next values relative to it, which are added back. When other feature
columns or look-ahead columns are given, the window is a
:class:`~orvane.LocalizedFlattenX`, which appends their windows (each relative to
its own last value) to every row. Relative windows suit trending series whose level
changes.

Parameters
----------
feature_columns : list of int or str
    Columns of X used as inputs, by position (or by name when X is a DataFrame).
target_columns : list of int or str
    Columns of X to forecast.
lookback_win : int or list
    Number of past time steps each window holds, or one entry per feature column.
pred_win : int
    Number of consecutive steps each window predicts.
time_column : int or str, default=-1
    Column of time stamps (-1 for none).
init_time_optimization : bool, default=False
    Fit the final estimator already set (see :class:`GUSKTimeSeriesEstimator`)
    instead of the pipeline's last step.
data_transformation_scheme : str, default=None
    Transformation applied to the data before windowing and undone on the
    predictions (see :class:`GUSKTimeSeriesEstimator`).
total_execution_time : float, default=2
    Budget of the search in minutes.
execution_time_per_pipeline : float, default=1
    Minutes one candidate pipeline may take to fit before it is left out.
dag_granularity : str, default='default'
    Search space (see :class:`FlattenAutoEnsembler`).
execution_platform : str, default='spark_node_random_search'
    Candidates in random order ('*_random_search') or in the space's order
    ('*_complete_search'); the workers come from the active joblib backend.
n_leaders_for_ensemble : int, default=5
    Number of best pipelines combined into the ensemble.
n_estimators_for_pred_interval : int, default=30
    Bootstrap copies of the best pipeline behind the prediction intervals.
max_samples_for_pred_interval : float, default=1.0
    Share of the rows (or, an int, number of rows) each copy is fitted on.
multistep_prediction_strategy : {'recursive', 'multioutput'}, default=None
    How forecasts longer than one step are made.
multistep_prediction_win : int, default=1
    Number of steps ``predict`` forecasts.
ensemble_type : {'voting', 'stacked'}, default='voting'
    Average the leaders ('voting') or weight them by least squares on their
    out-of-fold forecasts ('stacked').
multivariate_column_encoding : bool, default=False
    Append one-hot columns that tell the models which target a row belongs to,
    so that one model serves several targets.
store_lookback_history : bool, default=False
    Remember the last rows seen by ``fit`` for later forecasts.
n_jobs : int, default=-1
    Parallel jobs, at most one per step predicted per window (``pred_win``);
    -1 means one fewer than the processors.
look_ahead_fcolumns : list of int or str, default=None
    Feature columns whose future values are supplied when forecasting.
**kwarg
    Passed on to :class:`GUSKTimeSeriesEstimator`.

Attributes
----------
steps : list
    The pipeline: ('LocalizedFlatten', a ``LocalizedFlatten`` or
    ``LocalizedFlattenX``) and ('AutoEnsemble', an ``EnsembleRegressor``).
estimator : EnsembleRegressor
    The fitted ensemble; its ``leader_names_`` name the pipelines it combines.
transformer_steps, named_steps, n_features_in_, lookback_data_X
    As in :class:`GUSKTimeSeriesEstimator`.

See Also
--------
FlattenAutoEnsembler : The same on raw windows.
DifferenceFlattenAutoEnsembler : The same on windows of first differences.
GUSKTimeSeriesEstimator : A pipeline of one's own choosing.

Examples
--------
>>> import numpy as np
>>> from orvane import LocalizedFlattenAutoEnsembler
>>> X = (100 + 2 * np.arange(60.0)).reshape(-1, 1)
>>> forecaster = LocalizedFlattenAutoEnsembler(
...     [0], [0], lookback_win=4, pred_win=1, dag_granularity="tiny",
...     multistep_prediction_strategy="recursive", multistep_prediction_win=3,
...     total_execution_time=1, n_estimators_for_pred_interval=3, n_jobs=1)
>>> forecaster.name()
'LocalizedFlattenAutoEnsembler'
>>> forecaster.fit(X).predict(X).round(6)
array([[220.],
       [222.],
       [224.]])
)doc";

}  // namespace gusk
