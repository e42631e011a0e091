"""Shared fakes: a recording message catalogue, recording pipeline steps and estimators."""

import numpy as np
import pytest
from sklearn.base import BaseEstimator

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
import orvane.gusk.estimators.utils.tembrel as tembrel_module


@pytest.fixture
def gusk():
    return gusk_module


@pytest.fixture
def tembrel():
    return tembrel_module


class RecordingMessages:
    """Stands in for the message catalogue: records each call, returns ``"ID|arg|arg"``."""

    calls = []

    @classmethod
    def get_message(cls, *args, message_id=None):
        cls.calls.append((message_id, args))
        return "|".join([str(message_id)] + [str(a) for a in args])


@pytest.fixture
def messages(monkeypatch):
    """Replace the catalogue in both modules by a fresh recording fake."""
    fake = type("Messages", (RecordingMessages,), {"calls": []})
    monkeypatch.setattr(gusk_module, "Messages", fake)
    monkeypatch.setattr(tembrel_module, "Messages", fake)
    return fake


class CallLog(list):
    """One list of (who, method, args) entries shared by several fakes, in call order."""

    def names(self):
        return [(who, method) for who, method, _ in self]


class RecordingStep:
    """A transformer that records its calls and returns a configured (X, y) pair.

    ``result`` maps an input X to the pair to return; by default X and y pass through
    unchanged (``transform`` returns ``(X, None)``).
    """

    def __init__(self, name, log, result=None):
        self.name = name
        self.log = log
        self.result = result
        self.params = {}

    def _out(self, X, y):
        return self.result(X, y) if self.result else (X, y)

    def fit_transform(self, X, y=None):
        self.log.append((self.name, "fit_transform", (X, y)))
        return self._out(X, y)

    def transform(self, X):
        self.log.append((self.name, "transform", (X,)))
        return self._out(X, None)

    def set_params(self, **params):
        self.log.append((self.name, "set_params", params))
        self.params.update(params)
        return self


class RecordingEstimator(BaseEstimator):
    """A scikit-learn estimator that records fit/predict and predicts ``predict_fn(X)``."""

    def __init__(self, predict_fn=None, log=None):
        self.predict_fn = predict_fn
        self.log = log

    def fit(self, X, y=None):
        if self.log is not None:
            self.log.append(("estimator", "fit", (X, y)))
        self.fitted_on_ = (X, y)
        return self

    def predict(self, X):
        if self.log is not None:
            self.log.append(("estimator", "predict", (X,)))
        fn = self.predict_fn or (lambda X: np.asarray(X, dtype=float)[:, -1])
        return fn(X)


@pytest.fixture
def log():
    return CallLog()


def linear_recurrence(n=80, a=0.5, b=0.3, c=1.0, start=(1.0, 2.0)):
    """A noiseless series y[t] = a*y[t-1] + b*y[t-2] + c, which a linear model learns exactly."""
    y = np.zeros(n)
    y[0], y[1] = start
    for t in range(2, n):
        y[t] = a * y[t - 1] + b * y[t - 2] + c
    return y
