"""Message catalogue: lookup, interpolation, unknown identifiers."""

import re

import pytest

from orvane.utils.messages.messages import MESSAGE_TEXTS, Messages

# identifier -> (positional arguments, fragments the text must contain)
CASES = {
    "ORVANE0036E": (("MyRegressor",), ['"MyRegressor"', '"AutoRegressor"', '"AutoEnsemble"']),
    "ORVANE0037E": ((), ["dag_granularity", "case-sensitive"]),
    "ORVANE0042E": ((), ["data_transformation_scheme", "None", '"mean_division_log"']),
    "ORVANE0043E": ((), ["no transformer", "before the final estimator"]),
    "ORVANE0044E": ((), ["not a scikit-learn estimator"]),
    "ORVANE0045E": ((), ["store_lookback_history=False"]),
    "ORVANE0046E": (("daily",), ['"daily"', '"forecast"', '"sliding_window"', "pred_win >= 1"]),
    "ORVANE0047E": (("12", "7"), ["needs 12 rows but X has 7"]),
    "ORVANE0048E": (("direct",), ['"direct"', 'multistep_prediction_strategy="recursive"']),
    "ORVANE0049E": ((4,), ["pred_win is 4", "pred_win == 1"]),
    "ORVANE0050E": ((10, 3), ["needs 10 rows but X has 3"]),
    "ORVANE0051E": (("pred_win is 0",), ["configuration: pred_win is 0."]),
    "ORVANE0052E": ((), ["prediction intervals failed", "chained exception"]),
    "ORVANE0053E": ((), ["EnsembleRegressor"]),
    "ORVANE0055E": (("shapes (3,4) and (2,5)",),
                    ["(shapes (3,4) and (2,5))", "number of columns"]),
    "ORVANE0067E": ((), ["NaN", "Fill or drop"]),
}

GRANULARITIES = [
    "default", "tiny", "flat", "multioutput_tiny", "multioutput_flat",
    "optimised_multioutput_flat", "regression_chain_flat", "regression_chain_tiny",
    "MIMO_flat", "MINO_complete_flat", "multi_xgboost", "multi_lgbm", "xgboost", "lgbm",
]

SCHEMES = [
    "auto", "log", "mean_division", "mean_substraction", "mean_division_log",
    "mean_substraction_log", "sqrt", "reciprocal", "anscombe", "fisher",
]


def test_catalogue_holds_exactly_the_documented_identifiers():
    assert set(MESSAGE_TEXTS) == set(CASES)


@pytest.mark.parametrize("message_id", sorted(CASES))
def test_text_starts_with_identifier_and_interpolates_arguments(message_id):
    args, fragments = CASES[message_id]
    text = Messages.get_message(*args, message_id=message_id)
    assert text.startswith(message_id + ": ")
    for fragment in fragments:
        assert fragment in text
    assert re.search(r"\{\d+\}", text) is None
    assert "Details" not in text


@pytest.mark.parametrize(("message_id", "names"), [
    ("ORVANE0037E", GRANULARITIES),
    ("ORVANE0042E", SCHEMES),
])
def test_lists_every_accepted_value(message_id, names):
    text = Messages.get_message(message_id=message_id)
    for name in names:
        assert f'"{name}"' in text


def test_non_string_arguments_use_str():
    text = Messages.get_message([1, 2], message_id="ORVANE0036E")
    assert text.startswith('ORVANE0036E: Regressor type "[1, 2]" is not supported.')


def test_missing_arguments_leave_placeholders_readable():
    assert Messages.get_message(message_id="ORVANE0047E") == (
        "ORVANE0047E: X has too few rows: the look-back window needs {0} rows but X "
        "has {1}. Pass at least as many rows as the look-back window."
    )
    partial = Messages.get_message("5", message_id="ORVANE0047E")
    assert "needs 5 rows but X has {1}." in partial


def test_extra_arguments_are_appended():
    text = Messages.get_message("5", "6", "extra", 7, message_id="ORVANE0047E")
    assert text.endswith("look-back window. (Details: extra, 7)")
    no_placeholder = Messages.get_message("why", message_id="ORVANE0043E")
    assert no_placeholder.endswith("(Details: why)")


@pytest.mark.parametrize(("message_id", "args", "expected"), [
    ("ORVANE9999E", (), "ORVANE9999E: unknown message identifier; no text is defined for it."),
    ("ORVANE9999E", ("a", 2),
     "ORVANE9999E: unknown message identifier; no text is defined for it. Arguments: a, 2."),
    (None, (), "None: unknown message identifier; no text is defined for it."),
    (43, ("x",), "43: unknown message identifier; no text is defined for it. Arguments: x."),
])
def test_unknown_identifier_gives_readable_text(message_id, args, expected):
    assert Messages.get_message(*args, message_id=message_id) == expected


def test_braces_inside_arguments_are_not_reinterpreted():
    text = Messages.get_message("{1}", "7", message_id="ORVANE0047E")
    assert "needs {1} rows but X has 7" in text
