"""pandas in and out: one import, column names, time stamps, mixed dtypes, the array opt-out."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, Ridge

import orvane

SERIES = 50 + 10 * np.sin(np.arange(48) / 3) + np.arange(48)
PRICE = 5 + np.cos(np.arange(48))
# the price over the three forecast steps, which a recursive forecast cannot make up
PLAN = 5 + np.cos(np.arange(48, 51))[:, None]


def estimator(columns=(0, 1), target=0, time_column=-1, final=None, **kwargs):
    columns, target = list(columns), [target]
    return orvane.GUSKTimeSeriesEstimator(
        steps=[("window", orvane.Flatten(columns, target, lookback_win=6)),
               ("model", final or LinearRegression())],
        feature_columns=columns, target_columns=target, time_column=time_column, lookback_win=6,
        multistep_prediction_strategy="recursive", multistep_prediction_win=3, **kwargs)


def array_forecast():
    X = np.column_stack([SERIES, PRICE])
    return estimator().fit(X).predict(X, supporting_features=PLAN)


def test_one_import_lists_and_loads_lazily():
    code = ("import sys, orvane; native = 'orvane.gusk.estimators.tembrel.models.gusk_estimators';"
            "print(native in sys.modules, orvane.__version__);"
            "[getattr(orvane, name) for name in orvane.__all__]; print(native in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "0.1.0", "True"]
    with pytest.raises(AttributeError, match="no attribute 'missing'"):
        orvane.missing  # noqa: B018


@pytest.mark.parametrize("make_frame, expected_index", [
    (lambda f: f.set_index(pd.date_range("2020-01-01", periods=48, freq="D")),
     pd.date_range("2020-02-18", periods=3, freq="D")),
    (lambda f: f.set_index(pd.period_range("2000-01", periods=48, freq="M")),
     pd.period_range("2004-01", periods=3, freq="M")),
    # a time column of text dates, rows shuffled: ordered by it, then indexed by it
    (lambda f: f.assign(when=pd.date_range("2021-01-04", periods=48, freq="W-MON")
                        .strftime("%Y-%m-%d")).sample(frac=1, random_state=0),
     pd.date_range("2021-12-06", periods=3, freq="W-MON")),
])
def test_time_indexed_frames_give_frames_of_the_array_forecast(make_frame, expected_index):
    frame = make_frame(pd.DataFrame({"sales": SERIES, "price": PRICE}))
    time_column = "when" if "when" in frame else -1
    model = estimator(["sales", "price"], "sales", time_column=time_column).fit(frame)
    forecast = model.predict(frame, supporting_features=PLAN)
    assert list(forecast.columns) == ["sales"]
    assert forecast.index.equals(expected_index)
    np.testing.assert_allclose(forecast.to_numpy(), array_forecast(), rtol=1e-12)
    assert model.feature_columns == [0, 1]
    forecast = model.set_forecast_output("numpy").predict(frame, supporting_features=PLAN)
    np.testing.assert_allclose(forecast, array_forecast(), rtol=1e-12)


def test_mixed_dtypes_work_and_a_used_text_column_is_named():
    frame = pd.DataFrame({"sales": pd.array(SERIES, dtype="Float64"), "price": PRICE,
                          "promo": np.arange(48) % 7 == 0, "units": np.arange(48),
                          "note": ["x"] * 48})
    model = estimator(["sales", "price"], "sales").fit(frame)
    np.testing.assert_allclose(model.predict(frame, supporting_features=PLAN), array_forecast(),  # RangeIndex: arrays
                               rtol=1e-12)
    with pytest.raises(ValueError, match="column 'note' holds .* not numbers"):
        estimator(["sales", "note"], "sales").fit(frame)
    with pytest.raises(ValueError, match="feature_columns: column 'cost' is not in the data"):
        estimator(["sales", "cost"], "sales").fit(frame)


def test_intervals_and_sliding_window_are_labelled():
    index = pd.date_range("2020-01-01", periods=48, freq="D")
    frame = pd.DataFrame({"sales": SERIES, "price": PRICE}, index=index)
    final = orvane.EnsembleRegressor(stages=[[Ridge()]], n_leaders_for_ensemble=1,
                                     n_estimators_for_pred_interval=5, random_state=0)
    model = estimator(["sales", "price"], "sales", final=final).fit(frame)
    bounds = model.predict_proba(frame.iloc[-6:], supporting_features=PLAN)
    assert list(bounds.columns) == ["sales_lower", "sales_upper"]
    assert bounds.index.equals(pd.date_range("2020-02-18", periods=3, freq="D"))
    arrays = model.set_forecast_output("numpy").predict_proba(frame.iloc[-6:].to_numpy(), supporting_features=PLAN)
    np.testing.assert_array_equal(bounds.to_numpy(), arrays.reshape(3, 2))
    in_sample = model.set_forecast_output("pandas").predict(frame, prediction_type="sliding_window")
    assert in_sample.index.equals(index)
    with pytest.raises(ValueError, match="output must be one of"):
        model.set_forecast_output("polars")
