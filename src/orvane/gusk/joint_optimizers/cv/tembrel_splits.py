"""Time-ordered train/test split for time series."""


import numpy as np
from sklearn.model_selection import BaseCrossValidator
from sklearn.utils import indexable
from sklearn.utils.validation import _num_samples

from orvane.utils.validation import _is_int

__all__ = ["TimeSeriesTrainTestSplit"]


class TimeSeriesTrainTestSplit(BaseCrossValidator):
    """Single train/test split that keeps the time order.

    The test set is the last ``n_test_size`` rows and the training set is
    every row before them, so a model is always validated on data that comes
    after the data it was trained on.  Rows are never shuffled.

    Parameters
    ----------
    n_test_size : int
        Number of rows at the end of the data that form the test set.  It is
        checked when :meth:`split` runs: it must be an int in
        ``[1, n_samples - 1]`` so that both sets are non-empty.

    Examples
    --------
    >>> import numpy as np
    >>> X = np.arange(10).reshape(-1, 1)
    >>> train, test = next(TimeSeriesTrainTestSplit(n_test_size=3).split(X))
    >>> train
    array([0, 1, 2, 3, 4, 5, 6])
    >>> test
    array([7, 8, 9])
    """

    def __init__(self, n_test_size):
        self.n_test_size = n_test_size

    def split(self, X, y=None, groups=None):
        """Yield the single pair of ``(train, test)`` row indices.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Data to split; only its number of rows is used.
        y : array-like, default=None
            Ignored, present for API compatibility.
        groups : array-like, default=None
            Ignored, present for API compatibility.

        Yields
        ------
        train : ndarray of int
            ``0 .. n_samples - n_test_size - 1``.
        test : ndarray of int
            ``n_samples - n_test_size .. n_samples - 1``.
        """
        X, y, groups = indexable(X, y, groups)
        n_samples = _num_samples(X)
        n_test = self._checked_test_size(n_samples)
        indices = np.arange(n_samples)
        yield indices[: n_samples - n_test], indices[n_samples - n_test:]

    def _iter_test_indices(self, X=None, y=None, groups=None):
        n_samples = _num_samples(X)
        n_test = self._checked_test_size(n_samples)
        yield np.arange(n_samples - n_test, n_samples)

    def get_n_splits(self, X=None, y=None, groups=None):
        """Return the number of splits, always 1."""
        return 1

    def _checked_test_size(self, n_samples):
        n_test = self.n_test_size
        if not _is_int(n_test) or not 1 <= n_test <= n_samples - 1:
            raise ValueError(
                f"n_test_size must be an int between 1 and n_samples - 1 = "
                f"{n_samples - 1} so that the training and test sets are both "
                f"non-empty; got {n_test!r} for {n_samples} samples."
            )
        return int(n_test)
