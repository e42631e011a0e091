"""Forecasting estimators, their windowing transformers and the automatic model search."""
