"""The native forecasting estimators (``gusk_estimators``)."""
