"""Base classes shared by feature-engineering transformers."""

from abc import ABCMeta, abstractmethod

from sklearn.base import BaseEstimator

__all__ = ["TargetTransformer"]


class TargetTransformer(BaseEstimator, metaclass=ABCMeta):
    """Base class of transformers that change the prediction target as well as the inputs.

    A forecasting pipeline fits its final regressor on transformed targets (for
    example values relative to the last observation of each window), so the
    regressor's predictions live on that transformed scale. A target transformer
    remembers what its latest ``transform`` did to the targets and can undo it
    with :meth:`inverse_transform`, bringing predictions back to the scale of
    the raw series.

    Subclasses implement ``transform(X)`` returning ``(X_new, y_new)`` and
    :meth:`inverse_transform`.
    """

    @abstractmethod
    def inverse_transform(self, y):
        """Map values from the transformed target scale back to the raw scale.

        Parameters
        ----------
        y : array-like
            Values on the scale of the targets produced by the latest
            ``transform``, typically a regressor's predictions for the rows
            that ``transform`` returned.

        Returns
        -------
        ndarray
            A new array of the same shape as ``y`` on the raw target scale.
        """
