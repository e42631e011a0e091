"""Automatic regressors: search, budgets, ensembles and prediction intervals."""

import inspect
import pickle
import threading
import time

import numpy as np
import pytest
from joblib import parallel_config
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import ExtraTreesRegressor, GradientBoostingRegressor, RandomForestRegressor
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.multioutput import MultiOutputRegressor

from orvane.gusk.estimators.regression import auto_ensemble_regressor
from orvane.gusk.estimators.regression import forecast_task as ft
from orvane.gusk.estimators.regression.auto_ensemble_regressor import (
    EnsembleRegressor,
    GUSKEnsemble,
)
from orvane.gusk.joint_optimizers.auto.auto_regression import AutoRegression
from orvane.gusk.joint_optimizers.auto.base_auto import GUSKAuto
from orvane.gusk.joint_optimizers.utils.regression_dag import PipelineStep

LINEAR = PipelineStep("Linear", "sklearn.linear_model", "LinearRegression")
MEAN = PipelineStep("Mean", "sklearn.dummy", "DummyRegressor")


# -- fakes --------------------------------------------------------------------

FIT_LOG = []      # (tag, first column of X, thread name) per fit
PREDICT_LOG = []  # (tag, first column of X) per predict


class RecordingRegressor(RegressorMixin, BaseEstimator):
    """Predicts zero; records the rows it is fitted on and asked about."""

    def __init__(self, tag=0, sleep=0.0):
        self.tag = tag
        self.sleep = sleep

    def fit(self, X, y):
        FIT_LOG.append((self.tag, np.asarray(X)[:, 0].copy(), threading.current_thread().name))
        time.sleep(self.sleep)
        self.n_features_in_ = np.asarray(X).shape[1]
        return self

    def predict(self, X):
        PREDICT_LOG.append((self.tag, np.asarray(X)[:, 0].copy()))
        return np.zeros(len(X))


class FailingRegressor(RegressorMixin, BaseEstimator):
    def fit(self, X, y):
        raise ArithmeticError("this model always fails")

    def predict(self, X):
        raise AssertionError("never fitted")


@pytest.fixture(autouse=True)
def clear_logs():
    FIT_LOG.clear()
    PREDICT_LOG.clear()


def linear_windows(n_rows, width=3):
    """Windows of the series 0, 1, 2, ...: row i is [i, ..., i + width - 1], target i + width."""
    X = np.arange(n_rows)[:, None] + np.arange(width)[None, :]
    return X.astype(float), np.arange(width, n_rows + width, dtype=float)


def noisy_linear(n_rows, seed, noise=1.0, n_features=4):
    rng = np.random.RandomState(seed)
    X = rng.normal(size=(n_rows, n_features))
    return X, X @ np.arange(1.0, n_features + 1) + rng.normal(scale=noise, size=n_rows)


def single_linear_space():
    return [[LINEAR]]


# -- construction ---------------------------------------------------------------

AUTO_KEYWORDS = ["stages", "total_execution_time", "execution_time_per_pipeline",
                 "execution_platform", "n_jobs", "random_state", "verbose"]
ENSEMBLE_KEYWORDS = ["stages", "total_execution_time", "execution_time_per_pipeline",
                     "execution_platform", "n_leaders_for_ensemble",
                     "n_estimators_for_pred_interval", "max_samples_for_pred_interval",
                     "ensemble_type", "n_jobs", "random_state", "verbose", "confidence_level"]


@pytest.mark.parametrize(("cls", "keywords"), [
    (AutoRegression, AUTO_KEYWORDS), (GUSKAuto, AUTO_KEYWORDS),
    (EnsembleRegressor, ENSEMBLE_KEYWORDS),
])
def test_constructor_signature(cls, keywords):
    assert list(inspect.signature(cls.__init__).parameters)[1:] == keywords


@pytest.mark.parametrize("make", [
    lambda: AutoRegression(stages=single_linear_space, total_execution_time=3,
                           execution_time_per_pipeline=0.5,
                           execution_platform="single_node_complete_search"),
    lambda: EnsembleRegressor(stages=[[LINEAR]], total_execution_time=4,
                              execution_time_per_pipeline=2,
                              execution_platform="spark_node_random_search",
                              n_leaders_for_ensemble=2, n_estimators_for_pred_interval=7,
                              max_samples_for_pred_interval=0.5, ensemble_type="stacked"),
])
def test_parameters_survive_clone_and_pickle(make):
    model = make()
    params = model.get_params()
    assert clone(model).get_params() == params
    assert pickle.loads(pickle.dumps(model)).get_params() == params
    assert model.set_params(total_execution_time=9).total_execution_time == 9


def test_constructor_stores_invalid_values_without_complaint():
    model = EnsembleRegressor(execution_platform="laptop", ensemble_type="bagging")
    assert (model.execution_platform, model.ensemble_type) == ("laptop", "bagging")


# -- the search -------------------------------------------------------------------

def test_candidates_are_scored_on_a_time_ordered_holdout():
    X, y = linear_windows(20, width=1)
    AutoRegression(stages=[[RecordingRegressor()]]).fit(X, y)
    fitted_rows = [rows for _, rows, _ in FIT_LOG]
    np.testing.assert_array_equal(fitted_rows[0], np.arange(15))       # first 75 %
    np.testing.assert_array_equal(PREDICT_LOG[0][1], np.arange(15, 20))  # the rest
    np.testing.assert_array_equal(fitted_rows[1], np.arange(20))       # refit on all rows
    assert len(FIT_LOG) == 2


def test_noiseless_linear_series_is_predicted_exactly():
    X, y = linear_windows(60)
    model = AutoRegression(random_state=0).fit(X, y)
    assert model.leaderboard_[0]["pipeline"] == "LinearRegression"
    assert model.leaderboard_[0]["score"] < 1e-8
    assert [entry["status"] for entry in model.leaderboard_] == ["ok"] * 8
    X_future = np.array([[100.0, 101.0, 102.0], [500.0, 501.0, 502.0]])
    np.testing.assert_allclose(model.predict(X_future), [103.0, 503.0], atol=1e-6)
    assert model.search_time_ > 0


@pytest.mark.parametrize("platform", ["spark_node_complete_search", "single_node_complete_search"])
def test_complete_search_follows_the_space_order(platform):
    X, y = linear_windows(12)
    space = [[RecordingRegressor(tag) for tag in range(6)]]
    AutoRegression(stages=space, execution_platform=platform).fit(X, y)
    assert [tag for tag, rows, _ in FIT_LOG if len(rows) == 9] == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize("platform", ["spark_node_random_search", "single_node_random_search"])
def test_random_search_order_is_seeded(platform):
    X, y = linear_windows(12)
    space = [[RecordingRegressor(tag) for tag in range(6)]]

    def order(seed):
        FIT_LOG.clear()
        AutoRegression(stages=space, execution_platform=platform, random_state=seed).fit(X, y)
        return [tag for tag, rows, _ in FIT_LOG if len(rows) == 9]

    first = order(5)
    assert sorted(first) == [0, 1, 2, 3, 4, 5]
    assert first != [0, 1, 2, 3, 4, 5]
    assert order(5) == first


def test_two_dimensional_target_wraps_single_output_models():
    X, y = linear_windows(40)
    Y = np.column_stack([y, 2 * y + 1])
    gradient_boosting = PipelineStep("GB", "sklearn.ensemble", "GradientBoostingRegressor",
                                     {"n_estimators": 5})
    model = AutoRegression(stages=[[gradient_boosting]], random_state=0).fit(X, Y)
    final = model.best_estimator_.steps[-1][1]
    assert isinstance(final, MultiOutputRegressor)
    assert isinstance(final.estimator, GradientBoostingRegressor)
    assert model.predict(X[:4]).shape == (4, 2)

    linear = AutoRegression(stages=[[LINEAR]]).fit(X, Y)
    assert isinstance(linear.best_estimator_.steps[-1][1], LinearRegression)
    np.testing.assert_allclose(linear.predict([[50.0, 51.0, 52.0]]), [[53.0, 107.0]], atol=1e-6)


def test_column_target_keeps_its_shape_and_chains_accept_one_target():
    X, y = linear_windows(30)
    column = AutoRegression(stages=[[LINEAR]]).fit(X, y[:, None])
    assert column.predict(X[:3]).shape == (3, 1)
    chain = PipelineStep("Chain", "sklearn.multioutput", "RegressorChain", args=(LINEAR,))
    flat = AutoRegression(stages=[[chain]]).fit(X, y)
    np.testing.assert_allclose(flat.predict(X[:3]), y[:3], atol=1e-6)


def test_callable_stages_are_called_at_fit():
    X, y = linear_windows(20)
    model = AutoRegression(stages=single_linear_space).fit(X, y)
    assert [entry["pipeline"] for entry in model.leaderboard_] == ["Linear"]


def test_failing_candidates_are_ranked_last_with_their_error():
    X, y = linear_windows(20)
    model = AutoRegression(stages=[[FailingRegressor(), LINEAR]],
                           execution_platform="single_node_complete_search").fit(X, y)
    assert [e["pipeline"] for e in model.leaderboard_] == ["Linear", "FailingRegressor"]
    assert model.leaderboard_[1]["status"] == "failed"
    assert model.leaderboard_[1]["error"] == "ArithmeticError: this model always fails"
    assert [c.name for c in model.ranked_candidates_] == ["Linear"]


def test_no_successful_candidate_raises_with_the_last_error_chained():
    X, y = linear_windows(20)
    with pytest.raises(ValueError, match="None of the 2 candidate pipelines") as info:
        AutoRegression(stages=[[FailingRegressor(), FailingRegressor()]]).fit(X, y)
    assert isinstance(info.value.__cause__, ArithmeticError)


def test_too_few_rows_fit_the_first_working_candidate_on_all_rows():
    X, y = linear_windows(3)
    model = AutoRegression(stages=[[FailingRegressor(), RecordingRegressor(7)]],
                           execution_platform="spark_node_complete_search").fit(X, y)
    assert [(e["pipeline"], e["status"]) for e in model.leaderboard_] == [
        ("RecordingRegressor", "unscored")]
    assert all(len(rows) == 3 for _, rows, _ in FIT_LOG)
    np.testing.assert_array_equal(model.predict(X), np.zeros(3))


def test_tiny_budget_still_returns_a_fitted_model():
    X, y = linear_windows(30)
    model = AutoRegression(total_execution_time=1e-9, execution_time_per_pipeline=1e-9,
                           random_state=0).fit(X, y)
    # one job -> batches of one candidate; the budget stops the search after the first
    assert len(model.leaderboard_) == 1
    assert model.leaderboard_[0]["status"] == "too_slow"
    assert model.predict(X).shape == (30,)


def test_slow_candidates_are_dropped_from_the_ranking():
    X, y = linear_windows(20)
    space = [[RecordingRegressor(sleep=0.3), LINEAR]]
    model = AutoRegression(stages=space, execution_time_per_pipeline=0.15 / 60,
                           execution_platform="single_node_complete_search").fit(X, y)
    statuses = {e["pipeline"]: e["status"] for e in model.leaderboard_}
    assert statuses == {"RecordingRegressor": "too_slow", "Linear": "ok"}
    assert [c.name for c in model.ranked_candidates_] == ["Linear"]


def localized_task(horizon=4, width=3):
    from orvane.gusk.transformers.preprocessing.ts_transformer import LocalizedFlatten

    return {"window": LocalizedFlatten([0], [0], width), "strategy": "recursive", "pred_win": 1,
            "horizon": horizon}


def localized_windows(n_rows, width=3, seed=0):
    values = np.cumsum(np.random.RandomState(seed).normal(size=n_rows + width))
    X = np.lib.stride_tricks.sliding_window_view(values, width)[:n_rows]
    return X - X[:, -1:], values[width:width + n_rows] - X[:, -1]


@pytest.mark.parametrize("sleep,abandoned", [(0.2, True), (0.0, False)])
def test_task_search_abandons_candidates_that_cannot_finish_in_the_budget(sleep, abandoned,
                                                                         monkeypatch):
    monkeypatch.setattr(auto_ensemble_regressor, "SCREENING_ORIGINS", 100)
    X, y = localized_windows(200)
    budget = 0.03  # minutes: 20 origins at 0.2 s a fit cannot finish
    model = EnsembleRegressor(stages=[[RecordingRegressor(sleep=sleep), LINEAR]],
                              total_execution_time=budget,
                              execution_platform="single_node_complete_search")
    start = time.perf_counter()
    model.fit(X, y, forecast_task=localized_task())
    elapsed = time.perf_counter() - start
    errors = {e["pipeline"]: e["error"] or "" for e in model.leaderboard_}
    assert errors["RecordingRegressor"].startswith("TimeoutError") == abandoned
    assert model.leader_names_[0] == "Linear" or not abandoned
    assert elapsed < budget * 60 + 1.0


# 6 rows are fewer than 2/3 of the window: no origin.  8 rows leave one origin that checks
# two steps, a third of a horizon of 6 but too few of one of 12.  20 rows leave three origins
# over a horizon of 12: checking 11 steps makes room for a fourth.
@pytest.mark.parametrize("n_rows,horizon,checked", [(6, 4, None), (8, 12, None), (8, 6, (1, 2)),
                                                    (20, 12, (4, 11))])
def test_a_series_too_short_for_origins_over_a_third_of_the_horizon_gets_the_rule_that_fits_it_best(
        n_rows, horizon, checked):
    validated = checked is not None
    X, y = localized_windows(n_rows, width=10)
    X, y = X + 5.0 * np.arange(-9, 1), y + 5.0  # a steady climb of 5 a step under the noise
    model = EnsembleRegressor(random_state=0).fit(X, y, forecast_task=localized_task(horizon))
    statuses = [e["status"] for e in model.leaderboard_]
    assert statuses == (["ok"] * len(statuses) if validated else ["unscored"])
    assert model.leader_names_ == ["Drift"] or validated
    assert (model.validation_errors_.shape == checked) == validated


@pytest.mark.parametrize("season,noise,n,anchor,states", [
    (None, 1.0, 80, ("SmoothingDrift", "DampedTrend"), "SmoothingStates"),
    (None, 1.0, 40, ("SmoothingDrift", "DampedTrend"), None),
    (None, 0.0, 80, (), "SmoothingStates"),
    ([3.0, -1.0, 0.5, -2.5], 1.0, 80,
     ("SeasonalProfile(4)", "SeasonalProfileDrift(4)", "SeasonalSmoothingStates(4)"),
     "SeasonalSmoothingStates(4)")])
def test_ready_made_combinations_keep_a_share_for_the_anchor_unless_it_spoils_them(season, noise, n, anchor,
                                                                                  states):
    # Around a straight line the damped trend falls behind: without noise it is left out, and
    # the smoothing states (of lag 1 without a season, from 50 values on) follow the line exactly.
    # A seasonal anchor (profiles and smoothing states) takes half of the combination, the plain one a third.
    width, walk = (8, np.tile(season, n // 4)) if season else (3, np.arange(float(n)))
    values = walk + noise * np.random.RandomState(0).normal(size=n)
    X = np.lib.stride_tricks.sliding_window_view(values, width)[:-1]
    model = EnsembleRegressor(random_state=0, total_execution_time=0.1, n_leaders_for_ensemble=1)
    model.fit(X - X[:, -1:], values[width:] - X[:, -1], forecast_task=localized_task(width=width))
    share = (0.5 if season else 1 / 3) if anchor else 0.0
    expected = {model.leaderboard_[0]["pipeline"]: 1.0 - share}
    for name in anchor:
        expected[name] = expected.get(name, 0.0) + share / len(anchor)
    if states:  # then 0.3 of the whole moves to the smoothing states
        expected = {name: 0.7 * weight for name, weight in expected.items()}
        expected[states] = expected.get(states, 0.0) + 0.3
    assert dict(zip(model.leader_names_, model.ensemble_weights_[0], strict=True)) == pytest.approx(expected)
    assert (np.abs(model.validation_errors_).max() < 1e-9) == (not anchor)


@pytest.mark.parametrize("change,method", [
    ({}, "rolling-origin forecast errors per step"),
    ({"strategy": "multioutput"}, "jackknife+-after-bootstrap"),
    ({"pred_win": 2}, "jackknife+-after-bootstrap"),
    ({"window": None}, "jackknife+-after-bootstrap"),
    ({"shuffle": True}, "jackknife+-after-bootstrap"),
])
def test_only_rolling_single_series_windows_get_the_task_search(change, method):
    X, y = localized_windows(60)
    if change.pop("shuffle", False):
        order = np.random.RandomState(0).permutation(len(X))
        X, y = X[order], y[order]
    task = {**localized_task(), **change}
    model = EnsembleRegressor(stages=[[LINEAR]], n_estimators_for_pred_interval=5,
                              random_state=0).fit(X, y, forecast_task=task)
    assert model.interval_method_ == method
    assert (model.forecast_task_ is None) == (method != "rolling-origin forecast errors per step")


@pytest.mark.parametrize("kind,expected", [("naive", 12.0), ("drift", 13.0), ("ridge", 13.0),
                                           ("trend", 13.0), ("seasonal_drift", 13.0),
                                           ("smoothed_drift", 13.0)])
def test_classic_rules_continue_a_straight_line(kind, expected):
    X, y = linear_windows(10, width=4)
    for encoding, rows, targets in [("level", X, y), ("localized", X - X[:, -1:], y - X[:, -1]),
                                    ("difference", np.diff(X, axis=1), y - X[:, -1])]:
        member = ft.WindowLinearMember(kind, encoding, lag=2).fit(rows, targets)
        last = np.array([[9.0, 10.0, 11.0, 12.0]])
        row = {"level": last, "localized": last - 12.0, "difference": np.diff(last)}[encoding]
        level = 0.0 if encoding == "level" else 12.0
        assert member.predict(row)[0] + level == pytest.approx(expected, abs=1e-6)
        assert member.predict(row)[0] == pytest.approx(row @ member.coef_ + member.intercept_)


def test_seasonal_smoothing_reads_no_season_into_a_straight_line():
    X, y = linear_windows(10, width=4)
    X, y = X - X[:, -1:], y - X[:, -1]
    np.testing.assert_allclose(*[ft.WindowLinearMember(kind, lag=2).fit(X, y).predict(X)
                                 for kind in ("seasonal_smoothing", "smoothing")], atol=1e-12)


# On a line, naive stays flat and the trend carries the line on: the average of their own
# forecasts rises by half a step per step, where feeding both their combined forecast would
# flatten it (0.5, 0.75, 0.875, ...).  Two ridge models are a closed form the loop must not fold.
@pytest.mark.parametrize("window,members,expected", [
    *[(window, [ft.WindowLinearMember(kind, encoding) for kind in ("naive", "trend")],
       [39.5, 40.0, 40.5, 41.0]) for window, encoding in
      [("Flatten", "level"), ("LocalizedFlatten", "localized"), ("DifferenceFlatten", "difference")]],
    ("Flatten", [Ridge(alpha=100.0), LinearRegression()], None),
    ("Flatten", [RandomForestRegressor(5, random_state=0), ExtraTreesRegressor(5, random_state=0)], None)])
def test_a_recursive_forecast_averages_the_members_own_forecasts(monkeypatch, window, members,
                                                                 expected):
    from orvane.gusk.estimators.tembrel.models import gusk_estimators as gusk
    from orvane.gusk.transformers.preprocessing import ts_transformer

    for setting in ("SINGLE_MEMBER_MARGIN", "SCREENING_TOLERANCE"):  # keep both members
        monkeypatch.setattr(auto_ensemble_regressor, setting, np.inf)
    est = gusk.GUSKTimeSeriesEstimator(
        [("window", getattr(ts_transformer, window)([0], [0], 3)),
         ("model", EnsembleRegressor(stages=[members], n_leaders_for_ensemble=2))],
        [0], [0], lookback_win=3, multistep_prediction_strategy="recursive",
        multistep_prediction_win=4)
    line = (np.arange(40.0) + (0.0 if expected else 3.0) * np.sin(np.arange(40.0)))[:, None]
    model = est.fit(line).steps[-1][1]
    if expected is None:
        start = line[-3:].T  # the level encoding's row
        paths = [ft.simulate_paths(m.predict, start, 4, "level")[0] for m in model.estimators_]
        expected = ft.combine_forecasts(paths, model.ensemble_weights_[0]) + line[-1]
    for _ in range(2):  # the second forecast begins its recursion anew
        np.testing.assert_allclose(est.predict(line[-3:]).ravel(), expected, rtol=1e-12)
    bounds = est.predict_proba(line[-3:]).reshape(-1, 2)
    np.testing.assert_allclose(bounds.mean(axis=1), expected, rtol=1e-12)


@pytest.mark.parametrize("forest", [RandomForestRegressor, ExtraTreesRegressor])
@pytest.mark.parametrize("rows", [[[0.2, 0.5, 0.9], [1.0, 0.0, 0.3]], [[np.nan, 1.0, 2.0]],
                                  np.ones((2, 2)), [[np.inf, 1.0, 2.0]]])
def test_a_forest_recursion_predicts_rows_as_the_forest_does(forest, rows):
    forest = forest(5, random_state=0).fit(np.random.default_rng(0).random((9, 3)), np.arange(9.0))
    if np.shape(rows)[1] == 3 and not np.isinf(rows).any():
        np.testing.assert_equal(ft.path_predictor(forest)(rows), forest.predict(rows))
    else:
        with pytest.raises(ValueError, match="features|infinity"):
            ft.path_predictor(forest)(rows)


@pytest.mark.parametrize("forecasts,weights,expected", [
    ([[1.0, 4.0], [3.0, 0.0]], [0.25, 0.75], [2.5, 1.0]),
    ([[1.0], [2.0], [30.0]], [1 / 3, 1 / 3, 1 / 3], [11.0]),
    # from four members on, each point leaves out its highest and lowest forecast
    ([[0.0, 9.0], [1.0, 1.0], [2.0, 2.0], [9.0, 0.0]], [0.1, 0.2, 0.3, 0.4], [1.6, 1.6])])
def test_member_forecasts_are_combined_without_each_points_extremes(forecasts, weights, expected):
    np.testing.assert_allclose(ft.combine_forecasts(forecasts, weights), expected, rtol=1e-12)


@pytest.mark.parametrize("gains,alone", [([2.0, 2, 2], True), ([6.0, 0, 0], False), ([6.0], True), ([0.5, 0.5], False)])
def test_the_best_candidate_stands_alone_only_when_clearly_better(gains, alone):
    average = np.full((len(gains), 3), 10.0)  # errs by 10 everywhere; [6, 0, 0] gains 2 an origin, within its s.e.
    assert auto_ensemble_regressor._clearly_better(average - np.c_[gains], average, 0 * average) == alone


class RunsAwayOnAllRows(RegressorMixin, BaseEstimator):
    """Repeats the window's last step, times ``gain`` once fitted on all 40 rows."""

    def __init__(self, gain=1.0):
        self.gain = gain

    def fit(self, X, y):
        self.factor_ = self.gain if len(X) == 40 else 1.0
        return self

    def predict(self, X):
        return self.factor_ * (X[:, -1] - X[:, -2])


@pytest.mark.parametrize("gain,top,kept", [(1.0, None, True), (50.0, None, False),
                                           (1.0, 45.0, True), (1.0, 44.0, False)])
def test_a_leader_whose_forecast_runs_away_from_the_end_is_replaced(gain, top, kept):
    # Exact at every origin; refitted on all rows, it forecasts 50 times the slope.  On a
    # line falling from `top` to top - 41, its four steps ahead reach 0 from 45 and go below
    # zero from 44, which a series of positive values cannot do.
    X, y = linear_windows(40, width=2)
    X, y = X - X[:, -1:], y - X[:, -1]
    task = localized_task(width=2)
    if top is not None:
        X, y = task["window"].fit_transform(top - np.arange(42.0)[:, None])
    members = [RunsAwayOnAllRows(gain), ft.WindowLinearMember("naive")]
    model = EnsembleRegressor(stages=[members], n_leaders_for_ensemble=1)
    model.fit(X, y, forecast_task=task)
    assert ("RunsAway" in model.leader_names_[0]) == kept
    assert len(model.leader_names_) == 1 and len(model.estimators_) == 1


@pytest.mark.parametrize("horizon,leader", [(18, "drift"), (19, "naive")])
def test_a_rule_chosen_without_origins_gives_way_when_it_runs_away(horizon, leader):
    # Four rows of the line 0..9, too few for an origin; drift ends `horizon` above its end, the bound is 2 * 9.
    X, y = localized_task(width=6)["window"].fit_transform(np.arange(10.0)[:, None])
    members = [ft.WindowLinearMember(kind, "localized") for kind in ("drift", "naive")]
    model = EnsembleRegressor(stages=[members]).fit(X, y, forecast_task=localized_task(horizon, 6))
    assert [c.steps[0].kind for c in model.ranked_candidates_] == [leader]


@pytest.mark.parametrize("kind,step", [("smoothed_drift", 3.0), ("drift", 2.0)])
def test_only_the_smoothed_drift_follows_a_change_of_slope(kind, step):
    series = np.cumsum(np.r_[np.ones(32), np.full(30, 3.0)])
    X = np.lib.stride_tricks.sliding_window_view(series, 2)[:-1]
    member = ft.WindowLinearMember(kind, "localized").fit(X - X[:, -1:], series[2:] - X[:, -1])
    assert member.predict(np.zeros((1, 2)))[0] == pytest.approx(step, abs=1e-9)


@pytest.mark.parametrize("swing,noise,seed,validated,tried", [
    (1.0, 0.3, 0, True, True), (0.15, 1.0, 5, True, True), (0.15, 1.0, 5, False, False),
    (0.15, 1.0, 3, True, False)])
def test_seasonal_rules_come_with_the_steps_peaks_and_half_a_validated_lookback(swing, noise, seed, validated, tried):
    # Swing 1: the steps' autocorrelation peaks at 12 and, lower, at 24, the same season seen
    # twice.  Swing 0.15: no peak; the steps correlate positively at 12 with seed 5, not 3.
    series = (swing * np.tile([3.0, -1, 0.5, -2.5, 1, 4, -3, 0, 2, -1.5, -2, -0.5], 6)
              + noise * np.random.RandomState(seed).normal(size=72))
    X = np.lib.stride_tricks.sliding_window_view(series, 24)[:-1]
    names = ft.statistical_members(ft.ForecastTask("localized", 12, True, 24),
                                   X - X[:, -1:], series[24:] - X[:, -1], validated)
    assert ("SeasonalProfile(12)" in names) == tried and not any("(24)" in n for n in names)


@pytest.mark.parametrize("swing", [1.0, 2.5])
def test_seasonal_profile_member_follows_the_phase_and_swing_of_each_window(swing):
    season = np.array([3.0, -1.0, 0.5, -2.5])
    series = 5.0 + np.tile(season, 8)
    X = np.stack([series[i:i + 8] - series[i + 7] for i in range(len(series) - 8)])
    y = series[8:] - series[7:-1]
    task = ft.ForecastTask("localized", 4, True, 8)
    member = ft.statistical_members(task, X, y)["SeasonalProfile(4)"].fit(X, y)
    for phase in range(4):
        window = 7.0 + swing * season[(phase + np.arange(8)) % 4]
        step = member.predict((window - window[-1])[None])[0]
        assert step + window[-1] == pytest.approx(7.0 + swing * season[phase % 4], abs=1e-9)


@pytest.mark.parametrize("seed", [55, 65])
def test_a_seasonal_profile_keeps_its_phase_through_the_recursion(seed):
    from orvane.gusk.estimators.tembrel.models.gusk_estimators import GUSKTimeSeriesEstimator as Forecaster
    season = 3 * np.sin(np.pi * np.arange(108) / 6) + np.cos(np.pi * np.arange(108) / 3)  # 72 known, 36 ahead
    noise = np.random.default_rng(seed).normal(size=(2, 72))
    series, member = season[:72] + 0.3 * noise[0].cumsum() + noise[1], ft.SeasonalProfileMember(12, "localized")
    est = Forecaster([("window", localized_task(36, 24)["window"]), ("model", EnsembleRegressor(stages=[[member]]))],
                     [0], [0], lookback_win=24, multistep_prediction_strategy="recursive", multistep_prediction_win=36)
    forecast, start = est.fit(series[:, None]).predict(series[-24:, None]).ravel(), (series[-24:] - series[-1])[None]
    rule = est.steps[-1][1].estimators_[0]
    paths = [ft.forecast_path(rule, start, 36, "localized"), ft.simulate_paths(rule.predict, start, 36, "localized")[0]]
    np.testing.assert_allclose(forecast, series[-1] + paths[0], rtol=1e-12)
    slip = [np.abs(p - p.mean() - season[72:] + season[72:].mean()).mean() for p in paths]
    assert slip[0] < 0.8 and slip[1] > 1.1  # found anew in windows of forecasts, the phase slips


def test_seasonal_profile_trend_carries_a_trending_season_on():
    series = 5.0 + 0.5 * np.arange(48) + np.tile([3.0, -1.0, 0.5, -2.5], 12)
    windows = np.lib.stride_tricks.sliding_window_view(series[:39], ft.MIN_TREND_WINDOW)
    X, y = windows - windows[:, -1:], series[ft.MIN_TREND_WINDOW:40] - windows[:, -1]
    rules = ft.statistical_members(ft.ForecastTask("localized", 8, True, X.shape[1]), X, y)
    start, actual = ft.next_rows(X[-1:], y[-1:], "localized"), series[40:] - series[39]
    errors = [np.abs(ft.simulate_paths(rules[name].fit(X, y).predict, start, 8, "localized")[0]
                     - actual).max() for name in ("SeasonalProfile(4)", "SeasonalProfileTrend(4)")]
    assert rules["SeasonalProfileTrend(4)"].damping_ == 1.0 and errors[1] <= 0.2 * errors[0]
    short = ft.statistical_members(ft.ForecastTask("localized", 8, True, 8), X[:, -8:], y)
    assert "SeasonalProfile(4)" in short and "SeasonalProfileTrend(4)" not in short


@pytest.mark.parametrize("known_level,form,bound", [(True, "multiplicative", 0.02), (False, "additive", 0.4)])
def test_smoothing_states_follow_a_season_that_grows_with_the_level(known_level, form, bound):
    # A season whose swing is 30 % of a rising level: only the level given lets it be multiplicative.
    series = (60 + np.arange(96.0)) * (1 + 0.3 * np.sin(np.pi * np.arange(96) / 6))
    windows = np.lib.stride_tricks.sliding_window_view(series[:84], 24)
    X, y = windows[:-1] - windows[:-1, -1:], series[24:84] - windows[:-1, -1]
    task = ft.ForecastTask("localized", 12, True, 24, -series[83] if known_level else None)
    member = ft.statistical_members(task, X, y)["SeasonalSmoothingStates(12)"]
    origin_steps = ft.rows_before([member], X, y[:, None], 40, "localized")
    assert origin_steps[0].end_level == (pytest.approx(series[63], rel=1e-12) if known_level else None)
    start = ft.next_rows(X[-1:], y[-1:], "localized")
    path = ft.forecast_path(member.fit(X, y), start, 12, "localized")
    assert member.form_.season == form and path[0] == member.predict(start)[0]
    assert np.abs(path - series[84:] + series[83]).max() < bound * np.ptp(series)
    elsewhere = ft.forecast_path(member, start + 1.0, 12, "localized")  # not where the rows end
    assert np.all(np.isfinite(elsewhere)) and np.abs(elsewhere - path).max() > 1e-6


def test_active_joblib_backend_carries_the_candidates():
    X, y = linear_windows(20)
    space = [[RecordingRegressor(tag) for tag in range(4)]]
    with parallel_config(backend="threading", n_jobs=2):
        AutoRegression(stages=space).fit(X, y)
    holdout_threads = {thread for _, rows, thread in FIT_LOG if len(rows) == 15}
    assert len([1 for _, rows, _ in FIT_LOG if len(rows) == 15]) == 4
    assert threading.main_thread().name not in holdout_threads


@pytest.mark.parametrize(("params", "message"), [
    ({"execution_platform": "laptop"}, 'execution_platform must be one of "spark_node_random'),
    ({"total_execution_time": -1}, "total_execution_time must be a non-negative"),
    ({"execution_time_per_pipeline": "1"}, "execution_time_per_pipeline must be"),
    ({"ensemble_type": "bagging"}, 'ensemble_type must be "voting" or "stacked"'),
    ({"n_leaders_for_ensemble": 0}, "n_leaders_for_ensemble must be an int >= 1"),
    ({"n_leaders_for_ensemble": True}, "n_leaders_for_ensemble must be an int >= 1"),
    ({"n_estimators_for_pred_interval": 2.0}, "n_estimators_for_pred_interval must be"),
    ({"max_samples_for_pred_interval": 0.0}, r"must be a float in \(0, 1\]"),
    ({"max_samples_for_pred_interval": 1.5}, r"must be a float in \(0, 1\]"),
    ({"max_samples_for_pred_interval": 21}, r"must lie in \[1, 20\]"),
    ({"confidence_level": 1.0}, "confidence_level must be a number strictly between"),
])
def test_bad_parameters_are_rejected_at_fit(params, message):
    X, y = linear_windows(20)
    model = EnsembleRegressor(stages=[[LINEAR]], **params)
    with pytest.raises(ValueError, match=message):
        model.fit(X, y)


def test_predict_checks_the_feature_count():
    X, y = linear_windows(20)
    model = AutoRegression(stages=[[LINEAR]]).fit(X, y)
    expected = "X has 2 features, but AutoRegression is expecting 3 features"
    with pytest.raises(ValueError, match=expected):
        model.predict(X[:, :2])


def test_verbose_prints_progress_to_stderr(capsys):
    X, y = linear_windows(20)
    AutoRegression(stages=[[LINEAR, MEAN]], verbose=True).fit(X, y)
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert [line.split(" candidates")[0] for line in lines] == [
        "[AutoRegression] |##########----------| 1/2",
        "[AutoRegression] |####################| 2/2",
    ]
    assert all("best validation MAE" in line and line.endswith("s elapsed") for line in lines)
    AutoRegression(stages=[[LINEAR, MEAN]]).fit(X, y)
    assert capsys.readouterr().err == ""


# -- ensembles --------------------------------------------------------------------

def test_voting_averages_and_stacking_weights_the_leaders():
    X, y = linear_windows(40)
    space = [[LINEAR, MEAN]]
    voting = EnsembleRegressor(stages=space, n_leaders_for_ensemble=2,
                               n_estimators_for_pred_interval=2, random_state=0).fit(X, y)
    assert voting.leader_names_ == ["Linear", "Mean"]
    np.testing.assert_allclose(voting.ensemble_weights_, [[0.5, 0.5]])
    X_new = np.array([[60.0, 61.0, 62.0]])
    np.testing.assert_allclose(voting.predict(X_new), [(63.0 + y.mean()) / 2], atol=1e-6)

    stacked = clone(voting).set_params(ensemble_type="stacked").fit(X, y)
    np.testing.assert_allclose(stacked.ensemble_weights_, [[1.0, 0.0]], atol=1e-6)
    np.testing.assert_allclose(stacked.predict(X_new), [63.0], atol=1e-4)


def test_ensemble_keeps_no_more_leaders_than_usable_candidates():
    X, y = linear_windows(20)
    model = GUSKEnsemble(stages=[[LINEAR, FailingRegressor()]], n_leaders_for_ensemble=5).fit(X, y)
    assert model.leader_names_ == ["Linear"]
    assert model.best_estimator_ is model.estimators_[0]


def test_stacked_two_dimensional_target():
    X, y = linear_windows(40)
    Y = np.column_stack([y, -y])
    model = EnsembleRegressor(stages=[[LINEAR, MEAN]], ensemble_type="stacked",
                              n_estimators_for_pred_interval=3, random_state=0).fit(X, Y)
    assert model.ensemble_weights_.shape == (2, 2)
    np.testing.assert_allclose(model.predict([[60.0, 61.0, 62.0]]), [[63.0, -63.0]], atol=1e-4)


# -- prediction intervals ------------------------------------------------------------

def test_interval_shapes_follow_the_target_shape():
    X, y = noisy_linear(60, seed=1)
    one = EnsembleRegressor(stages=[[LINEAR]], n_estimators_for_pred_interval=10,
                            random_state=0).fit(X, y)
    intervals = one.predict_proba(X[:7])
    assert intervals.shape == (7, 2)
    assert np.all(intervals[:, 0] <= intervals[:, 1])

    several = clone(one).fit(X, np.column_stack([y, 3 * y]))
    intervals = several.predict_proba(X[:7])
    assert intervals.shape == (2, 7, 2)
    lower, upper = intervals.transpose()
    assert lower.shape == (7, 2) and np.all(lower <= upper)
    # the second target is three times the first, and so are its bounds
    np.testing.assert_allclose(upper[:, 1], 3 * upper[:, 0], rtol=1e-8)


@pytest.mark.parametrize(("level", "gaussian_width"), [(0.9, 3.29), (0.5, 1.35)])
def test_interval_coverage_is_near_nominal(level, gaussian_width):
    X, y = noisy_linear(300, seed=2, noise=1.0)
    X_test, y_test = noisy_linear(2000, seed=3, noise=1.0)
    model = EnsembleRegressor(stages=[[LINEAR]], n_leaders_for_ensemble=1,
                              confidence_level=level, random_state=0).fit(X, y)
    assert model.interval_method_ == "jackknife+-after-bootstrap"
    intervals = model.predict_proba(X_test)
    covered = (intervals[:, 0] <= y_test) & (y_test <= intervals[:, 1])
    assert abs(covered.mean() - level) <= 0.05
    # unit Gaussian noise: the central interval at this level has this width
    width = np.median(intervals[:, 1] - intervals[:, 0])
    assert abs(width - gaussian_width) <= 0.15 * gaussian_width


@pytest.mark.parametrize("level", [0.95, 0.5])
def test_bootstrap_sample_size_and_in_sample_fallback(level):
    X, y = noisy_linear(20, seed=4)
    model = EnsembleRegressor(stages=[[RecordingRegressor()]], n_estimators_for_pred_interval=4,
                              max_samples_for_pred_interval=6, random_state=0).fit(X, y)
    bootstrap_fits = [rows for _, rows, _ in FIT_LOG[-4:]]
    assert [len(rows) for rows in bootstrap_fits] == [6, 6, 6, 6]
    assert model.interval_method_ == "jackknife+-after-bootstrap"

    # one copy on two rows leaves at most one row out of bag: too few to calibrate
    tiny = EnsembleRegressor(stages=[[LINEAR]], n_estimators_for_pred_interval=1,
                             max_samples_for_pred_interval=1.0, confidence_level=level,
                             random_state=0)
    X1, y1 = linear_windows(2)
    tiny.fit(X1, y1)
    assert tiny.interval_method_ == "in-sample residuals"
    if level > 0.5:  # two residuals cannot bound a 95 % interval: refused, not a point
        with pytest.raises(ValueError, match="needs at least 19 residuals"):
            tiny.predict_proba(X1)
    else:
        np.testing.assert_allclose(tiny.predict_proba(X1), np.column_stack([y1, y1]), atol=1e-6)


def test_same_seed_gives_the_same_search_ensemble_and_intervals():
    X, y = noisy_linear(80, seed=5, noise=2.0)

    def run(seed):
        model = EnsembleRegressor(n_leaders_for_ensemble=3, n_estimators_for_pred_interval=8,
                                  random_state=seed).fit(X, y)
        return ([e["pipeline"] for e in model.leaderboard_], model.leader_names_,
                model.predict(X[:5]), model.predict_proba(X[:5]))

    first, second = run(11), run(11)
    assert first[0] == second[0] and first[1] == second[1]
    np.testing.assert_array_equal(first[2], second[2])
    np.testing.assert_array_equal(first[3], second[3])


def test_fitted_ensemble_pickles_with_its_intervals():
    X, y = noisy_linear(40, seed=6)
    model = EnsembleRegressor(stages=[[LINEAR, MEAN]], n_estimators_for_pred_interval=5,
                              random_state=0).fit(X, y)
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))
    np.testing.assert_array_equal(restored.predict_proba(X), model.predict_proba(X))


def test_default_ensemble_fits_a_forecasting_sized_problem():
    X, y = noisy_linear(200, seed=7, n_features=10, noise=0.5)
    model = EnsembleRegressor(random_state=0).fit(X, np.column_stack([y, y + 1.0]))
    scores = [entry["score"] for entry in model.leaderboard_]
    assert scores == sorted(scores) and len(scores) == 8
    assert model.leader_names_ == [entry["pipeline"] for entry in model.leaderboard_[:5]]
    assert model.leader_names_[0] in {"LinearRegression", "StandardScaler -> Ridge(alpha=1.0)"}
    assert model.predict_proba(X[:3]).shape == (2, 3, 2)


def test_dummy_regressor_space_is_accepted_as_estimator_instances():
    X, y = linear_windows(20)
    model = AutoRegression(stages=[[DummyRegressor(strategy="constant", constant=4.0)]]).fit(X, y)
    np.testing.assert_array_equal(model.predict(X[:2]), [4.0, 4.0])


# -- calibration over many draws --------------------------------------------------

def ar2_windows(n_rows, seed, width=4):
    """Look-back windows of a stationary AR(2) series with unit Gaussian innovations."""
    rng = np.random.RandomState(seed)
    series = np.zeros(n_rows + width + 50)
    for t in range(2, len(series)):
        series[t] = 0.6 * series[t - 1] - 0.3 * series[t - 2] + rng.normal()
    series = series[50:]
    X = np.lib.stride_tricks.sliding_window_view(series[:-1], width)[:n_rows]
    return X.copy(), series[width:width + n_rows]


@pytest.mark.parametrize("make_data", [noisy_linear, ar2_windows], ids=["iid", "ar2-windows"])
@pytest.mark.parametrize("level", [0.9, 0.8])
def test_coverage_over_many_draws_is_within_three_points(make_data, level):
    covered = []
    for draw in range(25):
        X, y = make_data(260, seed=100 + draw)
        train, test = slice(0, 160), slice(160, 260)
        model = EnsembleRegressor(stages=[[LINEAR]], n_leaders_for_ensemble=1,
                                  n_estimators_for_pred_interval=20, confidence_level=level,
                                  random_state=draw).fit(X[train], y[train])
        lower, upper = model.predict_proba(X[test]).T
        covered.append((lower <= y[test]) & (y[test] <= upper))
    assert abs(np.mean(covered) - level) <= 0.03


@pytest.mark.parametrize(("n_samples", "size"), [(20, 20), (20, 7), (100, 100), (5, 3)])
def test_bootstrap_copies_draw_runs_of_consecutive_rows(n_samples, size):
    from orvane.gusk.estimators.regression.auto_ensemble_regressor import (
        _circular_block_samples,
    )
    samples = _circular_block_samples(np.random.RandomState(0), n_samples, 50, size)
    assert samples.shape == (50, size)
    assert samples.min() >= 0 and samples.max() < n_samples
    length = min(int(np.ceil(n_samples ** (1 / 3))), size)
    for rows in samples:
        for start in range(0, size, length):
            run = rows[start:start + length]
            np.testing.assert_array_equal(run, (run[0] + np.arange(len(run))) % n_samples)
    # every row can be drawn, the wrap from the last row to the first included
    assert set(np.unique(samples)) == set(range(n_samples))


class ThreadCountRecorder(RegressorMixin, BaseEstimator):
    """Records the largest native thread-pool size in force while it predicts."""

    seen = []

    def fit(self, X, y):
        self.n_features_in_ = np.asarray(X).shape[1]
        return self

    def predict(self, X):
        from threadpoolctl import threadpool_info
        ThreadCountRecorder.seen.append(max(pool["num_threads"] for pool in threadpool_info()))
        return np.zeros(len(X))


def test_small_predictions_run_on_one_native_thread():
    from threadpoolctl import threadpool_info, threadpool_limits
    X, y = linear_windows(400)
    model = AutoRegression(stages=[[ThreadCountRecorder()]]).fit(X, y)
    with threadpool_limits(2):
        ThreadCountRecorder.seen.clear()
        model.predict(X[:1])
        model.predict(X[:256])
        model.predict(X[:257])
        assert ThreadCountRecorder.seen == [1, 1, 2]
        # the pools get their size back afterwards
        assert max(pool["num_threads"] for pool in threadpool_info()) == 2
