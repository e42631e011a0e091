"""Re-targeting the column lists, and splitting feature columns into past and look-ahead ones."""

import pytest
from sklearn.linear_model import LinearRegression

from orvane.gusk.transformers.preprocessing.ts_transformer import Flatten

from conftest import RecordingStep


class AdjustableStep(RecordingStep):
    """A transformer that records the keyword-only ``_adjust_indices`` calls it receives."""

    def _adjust_indices(self, **keywords):
        self.log.append((self.name, "_adjust_indices", keywords))


def make(gusk, transformers, feature_columns=(0,), target_columns=(0,)):
    steps = [(f"s{i}", t) for i, t in enumerate(transformers)] + [("m", LinearRegression())]
    est = gusk.GUSKTimeSeriesEstimator(steps, list(feature_columns), list(target_columns))
    est.transformer_steps = list(transformers)
    return est


@pytest.mark.parametrize(
    "features,targets,look_ahead",
    [([0, 1], [0], []), ([0], [0], [2]), ([], [], [])],
)
def test_exogenous_pipeline_refuses(gusk, log, features, targets, look_ahead):
    step = AdjustableStep("a", log)
    est = make(gusk, [step], features, targets)
    est.look_ahead_fcolumns = look_ahead
    with pytest.raises(RuntimeError) as info:
        est._adjust_indices(target_columns=[3], feature_columns=[3])
    assert str(info.value) == "Should not call adjust_indices on an exogenous pipeline"
    assert (est.feature_columns, est.target_columns) == (features, targets)
    assert log == []


def test_new_columns_are_set_and_passed_to_each_transformer_that_takes_them(gusk, log):
    first, second = AdjustableStep("a", log), AdjustableStep("b", log)
    est = make(gusk, [first, object(), second], [0, 1], [1, 0])
    targets, features = [2], [2, 3]
    assert est._adjust_indices(targets, features) is None
    assert est.target_columns is targets and est.feature_columns is features
    assert log == [("a", "_adjust_indices", {"target_columns": [2], "feature_columns": [2, 3]}),
                   ("b", "_adjust_indices", {"target_columns": [2], "feature_columns": [2, 3]})]
    assert log[0][2]["target_columns"] is targets and log[0][2]["feature_columns"] is features


def test_none_becomes_empty_lists(gusk, log):
    step = AdjustableStep("a", log)
    est = make(gusk, [step])
    est._adjust_indices()
    assert est.target_columns == [] and est.feature_columns == []
    assert est.target_columns is not est.feature_columns
    assert log == [("a", "_adjust_indices", {"target_columns": [], "feature_columns": []})]
    assert log[0][2]["target_columns"] is est.target_columns
    assert log[0][2]["feature_columns"] is est.feature_columns


@pytest.mark.parametrize(
    "ensembler_name,gets_targets_twice",
    [("DifferenceFlattenAutoEnsembler", True), ("LocalizedFlattenAutoEnsembler", True),
     ("FlattenAutoEnsembler", False)],
)
def test_ensembler_steps_get_the_target_columns_for_both_keywords(
        gusk, log, monkeypatch, ensembler_name, gets_targets_twice):
    ensembler = getattr(gusk, ensembler_name)([0], [0], 5, 1)
    monkeypatch.setattr(ensembler, "_adjust_indices",
                        lambda **keywords: log.append(("ensembler", "_adjust_indices", keywords)),
                        raising=False)
    ordinary = AdjustableStep("plain", log)
    est = make(gusk, [ensembler, ordinary])
    est._adjust_indices(target_columns=[1], feature_columns=[1, 2])
    ensembler_features = [1] if gets_targets_twice else [1, 2]
    assert log == [
        ("ensembler", "_adjust_indices", {"target_columns": [1], "feature_columns": ensembler_features}),
        ("plain", "_adjust_indices", {"target_columns": [1], "feature_columns": [1, 2]}),
    ]


def test_real_window_transformer_follows_the_new_columns(gusk):
    flatten = Flatten([0], [0], lookback_win=2)
    est = make(gusk, [flatten])
    est._adjust_indices(target_columns=[1], feature_columns=[1, 2])
    assert (flatten.target_col_index, flatten.feature_col_index) == ([1], [1, 2])


def test_before_fit_the_columns_are_set_and_then_it_fails(gusk):
    est = make(gusk, [])
    est.transformer_steps = None
    with pytest.raises(TypeError):
        est._adjust_indices(target_columns=[4], feature_columns=[4])
    assert est.target_columns == [4] and est.feature_columns == [4]


@pytest.mark.parametrize(
    "features,targets,lookback,expected",
    [
        ([3, 4, 5], [0], [5, -1, 2], ([3, 5], [5, 2], [4])),
        ([3, 4], [0], [0, -2], ([3], [0], [4])),  # 0 is an ordinary window
        ([7, 8, 9], [1], [-1, -3, -1], ([], [], [7, 8, 9])),
        ([], [0], [], ([], [], [])),
    ],
)
def test_reset_splits_look_ahead_columns(gusk, features, targets, lookback, expected):
    est = make(gusk, [])
    result = est._reset_fc_cols_and_lookback(features, targets, lookback, 1)
    assert type(result) is tuple and all(type(part) is list for part in result)
    assert result == expected


def test_reset_returns_new_lists(gusk):
    features, lookback = [3, 4], [2, 5]
    fc_cols, new_lookback, _ = make(gusk, [])._reset_fc_cols_and_lookback(features, [0], lookback, 1)
    assert fc_cols is not features and new_lookback is not lookback


def test_reset_refuses_a_look_ahead_target(gusk):
    with pytest.raises(AssertionError) as info:
        make(gusk, [])._reset_fc_cols_and_lookback([0, 1], [1], [2, -1], 1)
    assert str(info.value) == "feature col should not be part of target col."


def test_reset_ignores_pred_win(gusk):
    est = make(gusk, [])
    assert est._reset_fc_cols_and_lookback([2, 3], [0], [1, -1], None) == ([2], [1], [3])
