"""Pickling and joblib persistence of fitted estimators, and loading of older pickles."""

import io
import pickle
from pathlib import Path

import joblib
import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

import orvane.gusk.estimators.tembrel.models.gusk_estimators as gusk_module
from orvane.datasets import load_airline
from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten
from orvane.utils import portable_pickle

DATA = Path(__file__).resolve().parent / "data"
PROTOCOLS = [2, 3, 4, 5]


def series(n_rows=48):
    """Two positive seasonal columns and a trend column; forecasts on it are hand-checkable in size."""
    t = np.arange(n_rows, dtype=float)
    return np.column_stack([50.0 + 10.0 * np.sin(t / 3.0) + t, 30.0 + 5.0 * np.cos(t / 4.0), t])


def flatten_linear(**settings):
    steps = [("flatten", Flatten(feature_col_index=[0, 1], target_col_index=[0, 1], lookback_win=4)),
             ("model", LinearRegression())]
    return gusk_module.GUSKTimeSeriesEstimator(steps, [0, 1], [0, 1], lookback_win=4, **settings)


def ready_made(cls):
    estimator = cls([0, 1], [0, 1], 4, 1, dag_granularity="tiny", total_execution_time=0.02,
                    execution_time_per_pipeline=0.02, n_leaders_for_ensemble=2,
                    n_estimators_for_pred_interval=4, n_jobs=1)
    estimator.steps[-1][1].set_params(random_state=0)
    return estimator


BUILDERS = {
    "GUSKTimeSeriesEstimator": lambda: flatten_linear(data_transformation_scheme="log"),
    "FlattenAutoEnsembler": lambda: ready_made(gusk_module.FlattenAutoEnsembler),
    "DifferenceFlattenAutoEnsembler": lambda: ready_made(gusk_module.DifferenceFlattenAutoEnsembler),
    "LocalizedFlattenAutoEnsembler": lambda: ready_made(gusk_module.LocalizedFlattenAutoEnsembler),
}


@pytest.fixture(scope="module")
def fitted():
    return {name: build().fit(series()) for name, build in BUILDERS.items()}


def predictions(estimator):
    """Everything the estimator forecasts on the test series: forecast, in-sample, intervals."""
    X = series()[-12:]
    found = {
        "forecast": estimator.predict(X),
        "sliding_window": estimator.predict(X, prediction_type="sliding_window"),
    }
    if isinstance(estimator.estimator, gusk_module.EnsembleRegressor):
        found["interval"] = estimator.predict_proba(X)
    return found


def assert_same_predictions(restored, original):
    expected, actual = predictions(original), predictions(restored)
    assert sorted(actual) == sorted(expected)
    for name in expected:
        np.testing.assert_array_equal(actual[name], expected[name], err_msg=name)


def portable_dumps(obj, protocol):
    buffer = io.BytesIO()
    portable_pickle.dump(obj, buffer, protocol=protocol)
    return buffer.getvalue()


@pytest.mark.parametrize("dumps", [pickle.dumps, portable_dumps])
@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_pickle_round_trip_predicts_the_same(fitted, name, protocol, dumps):
    original = fitted[name]
    restored = pickle.loads(dumps(original, protocol=protocol))
    assert type(restored) is type(original)
    assert str(restored) == str(original)
    assert sorted(vars(restored)) == sorted(vars(original))
    assert_same_predictions(restored, original)


@pytest.mark.parametrize("compress", [0, 3])
@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_joblib_round_trip_predicts_the_same(fitted, name, compress, tmp_path):
    path = tmp_path / f"{name}.joblib"
    joblib.dump(fitted[name], path, compress=compress)
    restored = joblib.load(path)
    assert type(restored) is type(fitted[name])
    assert_same_predictions(restored, fitted[name])


def test_forecast_values_survive_pickling_exactly(fitted):
    """The interval and the forecast of a restored forecaster are the original arrays, bit for bit."""
    original = fitted["DifferenceFlattenAutoEnsembler"]
    restored = pickle.loads(pickle.dumps(original))
    X = series()[-12:]
    forecast, interval = restored.predict(X), restored.predict_proba(X)
    assert forecast.shape == (1, 2)
    assert interval.shape[-1] == 2
    assert forecast.tobytes() == original.predict(X).tobytes()
    assert interval.tobytes() == original.predict_proba(X).tobytes()


def test_restored_estimator_can_be_refitted(fitted):
    restored = pickle.loads(pickle.dumps(fitted["GUSKTimeSeriesEstimator"]))
    assert restored.fit(series(60)) is restored
    refitted = flatten_linear(data_transformation_scheme="log").fit(series(60))
    np.testing.assert_array_equal(restored.predict(series()[-12:]), refitted.predict(series()[-12:]))


def test_unfitted_ready_made_forecaster_round_trips():
    original = ready_made(gusk_module.LocalizedFlattenAutoEnsembler)
    restored = pickle.loads(pickle.dumps(original))
    assert restored.name() == "LocalizedFlattenAutoEnsembler"
    assert restored.transformer_steps is None
    assert str(restored) == str(original)


@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_classes_pickle_by_reference(name):
    cls = getattr(gusk_module, name)
    assert pickle.loads(pickle.dumps(cls)) is cls


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_without_look_ahead_columns_loads_with_none(fitted, protocol):
    """An object pickled before ``look_ahead_fcolumns`` existed comes back with it None."""
    original = pickle.loads(pickle.dumps(fitted["GUSKTimeSeriesEstimator"]))
    del original.look_ahead_fcolumns
    restored = pickle.loads(pickle.dumps(original, protocol=protocol))
    assert restored.look_ahead_fcolumns is None
    assert restored.is_exogenous_pipeline_ is False
    assert restored.is_future_exogenous_pipeline_ is False
    # Without look-ahead columns the forecast is the one the estimator always made.
    X = series()[-12:]
    np.testing.assert_array_equal(restored.predict(X), fitted["GUSKTimeSeriesEstimator"].predict(X))


def load_fixture():
    with open(DATA / "gusk_estimator_v0_1.pkl", "rb") as handle:
        estimator = pickle.load(handle)
    with np.load(DATA / "gusk_estimator_v0_1_expected.npz") as stored:
        expected = {name: stored[name] for name in stored.files}
    return estimator, expected


def airline_matrix():
    passengers = load_airline()["Passengers"].to_numpy(dtype=float)
    return np.column_stack([np.arange(len(passengers), dtype=float), passengers])


def test_committed_pickle_loads_as_the_current_class():
    estimator, _ = load_fixture()
    assert type(estimator) is gusk_module.GUSKTimeSeriesEstimator
    assert estimator.look_ahead_fcolumns == []
    assert estimator.data_transformation_scheme == "log"
    assert estimator.lookback_data_X.shape == (12, 2)
    np.testing.assert_array_equal(estimator.lookback_data_X[:, 0], np.arange(108.0, 120.0))


@pytest.mark.parametrize("name", ["forecast_after_last_two_years", "forecast_from_history",
                                  "sliding_window_last_two_years"])
def test_committed_pickle_forecasts_as_when_it_was_written(name):
    estimator, expected = load_fixture()
    X = airline_matrix()
    actual = {
        "forecast_after_last_two_years": lambda: estimator.predict(X[-24:]),
        "forecast_from_history": lambda: estimator.predict(None),
        "sliding_window_last_two_years": lambda: estimator.predict(
            X[-24:], prediction_type="sliding_window"),
    }[name]()
    expected = expected[name]
    assert actual.shape == expected.shape
    if name == "sliding_window_last_two_years":
        # The stored look-back rows now let the first year be predicted too; the rest is as written.
        assert np.isfinite(actual[:12]).all()
        actual, expected = actual[12:], expected[12:]
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=0, equal_nan=True)


def test_committed_pickle_sliding_window_pads_the_first_year():
    """The stored in-sample predictions begin with one null row per look-back month."""
    _, expected = load_fixture()
    window = expected["sliding_window_last_two_years"]
    assert window.shape == (24, 1)
    assert np.isnan(window[:12]).all() and np.isfinite(window[12:]).all()
