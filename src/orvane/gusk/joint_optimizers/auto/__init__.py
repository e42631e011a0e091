"""Automatic regressors: a budgeted search over a space of pipelines."""
