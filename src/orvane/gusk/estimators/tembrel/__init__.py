"""Home of the native estimator module's package path."""
