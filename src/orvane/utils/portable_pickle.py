"""Pickles of fitted estimators that load under other NumPy and scikit-learn releases.

A plain pickle ties an estimator to the libraries that wrote it: NumPy 2 refers to arrays
through ``numpy._core``, which NumPy 1 lacks, and scikit-learn stamps its own estimators with
its version and warns when another release loads them. :func:`dump` writes arrays as their
values and scikit-learn objects as their attributes, so the file loads wherever the same
classes exist; everything else is pickled as usual.
"""

import pickle

import numpy as np

__all__ = ["dump"]


def _array(values, dtype, shape, order="C"):
    return np.asarray(np.array(values, dtype=dtype).reshape(shape), order=order)


def _memory_order(array):
    # kept as pickle keeps it: BLAS sums in another order for the other layout
    return "F" if array.flags.f_contiguous and not array.flags.c_contiguous else "C"


def _scalar(value, dtype):
    return np.dtype(dtype).type(value)


def _object_with_state(cls, state):
    instance = cls.__new__(cls)
    instance.__dict__.update(state)
    return instance


def _is_scikit_learn_object(obj):
    return type(obj).__module__.startswith("sklearn.") and hasattr(obj, "__dict__")


class _PortablePickler(pickle.Pickler):
    def reducer_override(self, obj):
        if isinstance(obj, np.ndarray) and obj.dtype.kind in "biufc":
            return _array, (obj.tolist(), obj.dtype.str, obj.shape, _memory_order(obj))
        if isinstance(obj, np.generic) and obj.dtype.kind in "biufc":
            return _scalar, (obj.item(), obj.dtype.str)
        if _is_scikit_learn_object(obj) and not isinstance(obj, type):
            state = {k: v for k, v in vars(obj).items() if k != "_sklearn_version"}
            return _object_with_state, (type(obj), state)
        return NotImplemented


def dump(obj, file, protocol=4):
    """Pickle ``obj`` into the open binary ``file``, portably (see the module docstring)."""
    _PortablePickler(file, protocol=protocol).dump(obj)
