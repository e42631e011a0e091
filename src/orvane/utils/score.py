"""Names of the prediction types understood by the forecasting estimators."""

__all__ = ["Score"]


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
