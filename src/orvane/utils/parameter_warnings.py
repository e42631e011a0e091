"""Warnings about parameters that an estimator accepts but does not use."""

__all__ = ["UnusedParameterWarning"]


class UnusedParameterWarning(UserWarning):
    """A keyword argument or parameter that no setting and no pipeline step takes.

    Such a value is kept (as an attribute, or not at all for constructor keywords) but
    changes nothing, which is almost always a misspelt name; the message lists the
    closest valid names.
    """
