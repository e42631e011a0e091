"""Forecasting estimators: the native estimator module and the regressors it ensembles."""
