"""Searches over spaces of scikit-learn pipelines."""
