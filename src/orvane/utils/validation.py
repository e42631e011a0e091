"""Checks of parameter values shared by the Python components."""

import numbers


def _is_int(value):
    """True for Python and NumPy integers, False for booleans.

    ``bool`` is an ``int`` subclass, so it is excluded by name; NumPy's ``bool_`` is not
    registered as ``numbers.Integral`` and needs no test of its own.
    """
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)
