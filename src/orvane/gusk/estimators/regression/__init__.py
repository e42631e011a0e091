"""Regressors that search and ensemble scikit-learn pipelines for a forecast task."""
