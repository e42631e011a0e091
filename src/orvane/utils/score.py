"""Prediction type names and the model that scoring hands to a scorer.

The names are the prediction types that the forecasting estimators understand.
"""

from sklearn.base import BaseEstimator, RegressorMixin

__all__ = ["Score", "InDataUnits"]


class Score:
    """Prediction-type constants.

    The estimators compare ``prediction_type.lower()`` with these values, so
    they are lower case.

    Attributes
    ----------
    PREDICT_SLIDING_WINDOW : str
        One-step-ahead predictions for every window of the given data.
    PREDICT_FORECAST : str
        The forecast that follows the last row of the given data.
    """

    PREDICT_SLIDING_WINDOW = "sliding_window"
    PREDICT_FORECAST = "forecast"


class InDataUnits(RegressorMixin, BaseEstimator):
    """A fitted model whose predictions are brought to the units of the data.

    A data transformation scheme or a target transformer changes the scale of the windowed
    targets; scoring hands the scorer this model in place of the final estimator, together
    with targets converted the same way, so that both are compared in the units of the data.

    Parameters
    ----------
    estimator : object
        The fitted final estimator of the pipeline.
    to_data_units : callable
        Turns an array of the estimator's predictions into the units of the data.
    """

    def __init__(self, estimator=None, to_data_units=None):
        self.estimator = estimator
        self.to_data_units = to_data_units

    def predict(self, X):
        """The estimator's predictions for the windowed rows ``X``, in the units of the data."""
        return self.to_data_units(self.estimator.predict(X))
