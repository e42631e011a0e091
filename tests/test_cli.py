"""The ``orvane-forecast`` command line (``orvane.cli.main``)."""

import io
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from orvane import cli
from orvane.cli import main

FAST = ["--fast", "--quiet"]


def run(argv, capsys):
    """Run the command in-process; return (exit status, stdout, stderr)."""
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def write_csv(path, **columns):
    pd.DataFrame(columns).to_csv(path, index=False)
    return str(path)


@pytest.fixture
def line_csv(tmp_path):
    """30 days of y = 2 t + 5, with a date and a numeric time column."""
    t = np.arange(30)
    return write_csv(tmp_path / "line.csv",
                     day=pd.date_range("2024-01-01", periods=30, freq="D").strftime("%Y-%m-%d"),
                     t=t, y=2.0 * t + 5.0)


# -- happy paths -------------------------------------------------------------------------

def test_builtin_series_forecast_is_written_as_csv(tmp_path, capsys):
    output = tmp_path / "forecast.csv"
    status, out, err = run(FAST + ["--horizon", "3", "--output", str(output)], capsys)
    assert (status, out, err) == (0, "", "")
    table = pd.read_csv(output, dtype={"Date": str})
    assert list(table.columns) == ["step", "Date", "Passengers", "Passengers_lower",
                                   "Passengers_upper"]
    assert table["step"].tolist() == [1, 2, 3]
    assert table["Date"].tolist() == ["1961-01", "1961-02", "1961-03"]
    values = table[["Passengers_lower", "Passengers", "Passengers_upper"]].to_numpy()
    assert np.all(np.isfinite(values))
    assert np.all(values[:, 0] <= values[:, 2])


def test_builtin_forecast_equals_the_library_forecaster(capsys):
    from orvane.datasets import load_airline
    from orvane.gusk.estimators.tembrel.models.gusk_estimators import (
        LocalizedFlattenAutoEnsembler,
    )

    status, out, _ = run(FAST + ["--horizon", "2", "--lookback", "12", "--seed", "3"], capsys)
    assert status == 0
    series = load_airline()[["Passengers"]].to_numpy()
    model = LocalizedFlattenAutoEnsembler(
        feature_columns=[0], target_columns=[0], lookback_win=12, pred_win=1,
        multistep_prediction_strategy="recursive", multistep_prediction_win=2,
        data_transformation_scheme="auto", dag_granularity="tiny", n_leaders_for_ensemble=3,
        n_estimators_for_pred_interval=10, total_execution_time=2.0,
        execution_time_per_pipeline=1.0)
    model.steps[-1][1].set_params(random_state=3, n_jobs=1)
    expected = model.fit(series).predict(series)[:, 0]
    np.testing.assert_allclose(pd.read_csv(io.StringIO(out))["Passengers"], expected,
                               rtol=1e-9)


@pytest.mark.parametrize("window", ["flatten", "localized", "difference"])
def test_linear_regression_continues_a_straight_line(line_csv, window, capsys):
    status, out, _ = run(FAST + [line_csv, "--target", "y", "--time-column", "t",
                                 "--model", "LinearRegression", "--window", window,
                                 "--lookback", "3", "--horizon", "4", "--transform", "none"],
                         capsys)
    assert status == 0
    table = pd.read_csv(io.StringIO(out))
    assert list(table.columns) == ["step", "t", "y", "y_lower", "y_upper"]
    assert table["t"].tolist() == [30, 31, 32, 33]
    expected = 2.0 * np.arange(30, 34) + 5.0
    for column in ["y", "y_lower", "y_upper"]:
        np.testing.assert_allclose(table[column], expected, atol=1e-6)


def test_named_columns_features_and_dates(tmp_path, capsys):
    rng = np.random.default_rng(0)
    t = np.arange(60)
    price = 10 + np.sin(t / 4) + rng.normal(0, 0.1, 60)
    weeks = pd.date_range("2023-01-02", periods=60, freq="W-MON").strftime("%Y-%m-%d")
    path = write_csv(tmp_path / "shop.csv", week=weeks,
                     price=price, sales=100 + t - 3 * price + rng.normal(0, 1, 60),
                     region=["north"] * 60)
    status, out, _ = run(FAST + [path, "--target", "sales", "--features", "price", "--model",
                                 "Ridge", "--lookback", "6", "--horizon", "3"], capsys)
    assert status == 0
    table = pd.read_csv(io.StringIO(out))
    # The non-numeric first column is taken as the time column.
    assert list(table.columns) == ["step", "week", "sales", "sales_lower", "sales_upper"]
    assert table["week"].tolist() == ["2024-02-26", "2024-03-04", "2024-03-11"]


def test_columns_by_position_and_two_targets(line_csv, capsys):
    status, out, _ = run(FAST + [line_csv, "--target", "2", "1", "--time-column", "0",
                                 "--lookback", "3", "--horizon", "2", "--model", "difference"],
                         capsys)
    assert status == 0
    table = pd.read_csv(io.StringIO(out))
    assert list(table.columns) == ["step", "day", "y", "y_lower", "y_upper",
                                   "t", "t_lower", "t_upper"]
    assert table["day"].tolist() == ["2024-01-31", "2024-02-01"]


def test_reads_standard_input(line_csv, monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.StringIO(pathlib.Path(line_csv).read_text()))
    status, out, _ = run(FAST + ["-", "--target", "y", "--lookback", "3", "--horizon", "1"],
                         capsys)
    assert status == 0
    assert pd.read_csv(io.StringIO(out))["day"].tolist() == ["2024-01-31"]


def test_progress_goes_to_stderr(line_csv, capsys):
    status, out, err = run(["--fast", line_csv, "--lookback", "3", "--horizon", "1"], capsys)
    assert status == 0
    assert "fitting LocalizedFlattenAutoEnsembler" in err
    assert "[EnsembleRegressor]" in err  # the search reports its own progress
    assert out.splitlines()[0] == "step,day,y,y_lower,y_upper"


def test_help_exits_zero(capsys):
    status, out, _ = run(["--help"], capsys)
    assert status == 0 and out.startswith("usage: orvane-forecast")


# -- bad input: one line on stderr, exit status 2 ------------------------------------------

@pytest.fixture
def bad_files(tmp_path):
    (tmp_path / "empty.csv").write_text("")
    return {
        "text": write_csv(tmp_path / "text.csv", t=range(40), y=["1"] * 39 + ["abc"]),
        "short": write_csv(tmp_path / "short.csv", y=np.arange(12.0)),
        "tiny": write_csv(tmp_path / "tiny.csv", y=np.arange(8.0)),
        "gap": write_csv(tmp_path / "gap.csv", y=[1.0, np.nan] + [2.0] * 38),
        "empty": str(tmp_path / "empty.csv"),
    }


@pytest.fixture(scope="module")
def large_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    (folder / "dups.csv").write_text(",".join(["a"] * 50_000) + "\n1\n")
    # big.csv is long enough for pandas to read it in chunks whose types differ.
    return {"dups": str(folder / "dups.csv"), "big_text": write_csv(
        folder / "big.csv", t=range(300_000), y=["1"] * 250_000 + ["abc"] + ["2"] * 49_999)}


BAD_INPUT = [
    (["missing.csv"], "no such file"),
    (["{empty}"], "empty"),
    (["{line}", "--target", "nope"], "unknown column"),
    (["{line}", "--target", "9"], "out of range"),
    (["{line}", "--features", "yy"], "did you mean 'y'"),
    (["{line}", "--horizon", "0"], "--horizon must be at least 1"),
    (["{line}", "--horizon", "-2"], "--horizon must be at least 1"),
    (["{line}", "--horizon", "two"], "invalid int value"),
    (["{line}", "--lookback", "0"], "--lookback must be at least 1"),
    (["{line}", "--confidence", "1.5"], "--confidence"),
    (["{line}", "--model", "Ridgee"], "did you mean Ridge"),
    (["{line}", "--model", "StandardScaler"], "unknown model"),
    (["{line}", "--model", "sklearn.preprocessing.StandardScaler"], "not a regressor"),
    (["{line}", "--time-column", "y", "--target", "y"], "is the time column"),
    (["{text}"], "non-numeric value 'abc' in data row 40"),
    (["{gap}"], "missing or infinite value(s), the first in data row 2"),
    (["{short}", "--lookback", "3"], "has 12 rows, too short for --lookback 3: at least 13 "
                                     "rows are needed; pass --lookback 2 or less"),
    (["{tiny}", "--lookback", "3"], "has 8 rows, too short to forecast: at least 11 rows"),
    (["{line}"], "pass --lookback 20 or less"),
    (["{line}", "--output", "/no/such/folder/out.csv"], "does not exist"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["{line}", "--budget", "inf"], "--budget must be a finite number of minutes; got inf"),
    (["{line}", "--seed", "99999999999999"], "--seed must be a whole number from 0 to 4294967295"),
    (["{line}", "--jobs", "99999999999999"], "--jobs must be -1 or from 1 to "),
    (["{line}", "--horizon", "1000000000000"], "--horizon 1000000000000 is too large"),
    (["{dups}"], "names column 'a' 50000 times; column names must be unique"),
    (["{big_text}"], "non-numeric value 'abc' in data row 250001"),
]


@pytest.mark.parametrize("argv, problem", BAD_INPUT)
def test_bad_input_gives_one_line_and_status_2(argv, problem, bad_files, large_files, line_csv, capsys):
    argv = [arg.format(line=line_csv, **bad_files, **large_files) for arg in argv]
    status, out, err = run(argv + ["--quiet"], capsys)
    assert status == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("orvane-forecast: error: ")
    assert problem in err


def test_plot_without_matplotlib_names_the_extra(line_csv, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes the import fail
    status, out, err = run(FAST + [line_csv, "--plot", str(tmp_path / "f.png")], capsys)
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and "pip install orvane[plot]" in err
    assert not (tmp_path / "f.png").exists()


def test_failing_forecaster_gives_status_1_without_traceback(line_csv, monkeypatch, capsys):
    from sklearn.linear_model import LinearRegression

    def broken_fit(self, X, y, sample_weight=None):
        raise ValueError("singular\nmatrix")

    monkeypatch.setattr(LinearRegression, "fit", broken_fit)
    status, out, err = run(FAST + [line_csv, "--lookback", "3", "--model", "LinearRegression"],
                           capsys)
    assert (status, out) == (1, "")
    assert err.count("\n") == 1
    assert err.startswith("orvane-forecast: error: the forecaster failed: ")
    assert "singular matrix" in err


def test_plot_is_written(line_csv, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "forecast.png"
    status, _, _ = run(FAST + [line_csv, "--lookback", "3", "--horizon", "2", "--plot",
                               str(plot)], capsys)
    assert status == 0
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_python_dash_m_runs_the_command():
    result = subprocess.run([sys.executable, "-m", "orvane", "--horizon", "0"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert result.stderr == ("orvane-forecast: error: --horizon must be at least 1 (the "
                             "number of steps to forecast); got 0\n")


# -- time stamps of the forecast -------------------------------------------------------------

@pytest.mark.parametrize("history, expected", [
    (["1960-10", "1960-11", "1960-12"], ["1961-01", "1961-02"]),
    (["2024-02-27", "2024-02-28", "2024-02-29"], ["2024-03-01", "2024-03-02"]),
    ([2000, 2005, 2010], [2015, 2020]),
    ([0.5, 1.0, 1.5], [2.0, 2.5]),
    ([1, 2, 4], None),
    (["2024-01-01", "2024-01-02", "2024-01-05"], None),
    (["a", "b", "c"], None),
])
def test_future_labels(history, expected):
    assert cli._future_labels(pd.Series(history), 2) == expected


# -- reading real-world files ------------------------------------------------------------

LINE_DAYS = pd.date_range("2024-01-01", periods=30, freq="D")
LINE_VALUES = 2.0 * np.arange(30) + 5.0


def line_file(path, dates, sep=",", decimal=".", order=slice(None)):
    values = [f"{v:.2f}".replace(".", decimal) for v in LINE_VALUES]
    rows = list(np.array([f"{d}{sep}{v}" for d, v in zip(dates, values, strict=False)])[order])
    path.write_text("\n".join([f"day{sep}y"] + rows) + "\n")
    return str(path)


@pytest.mark.parametrize("dates, sep, decimal, order, options, expected_day, message", [
    (LINE_DAYS.strftime("%d.%m.%Y"), ";", ",", slice(None), [], "31.01.2024", ""),
    (LINE_DAYS.strftime("%m/%d/%Y"), ",", ".", slice(None, None, -1), [], "2024-01-31",
     "sorted them by 'day'"),
    (LINE_DAYS.strftime("%d/%m/%Y"), "\t", ".", slice(None), [], "2024-01-31", ""),
    ((LINE_DAYS - pd.Timestamp("1899-12-30")).days, ",", ".", slice(None), [], "2024-01-31", ""),
    (LINE_DAYS.strftime("%d.%m.%Y"), "|", ",", slice(None),
     ["--sep", "|", "--decimal", ",", "--date-format", "%d.%m.%Y"], "31.01.2024", ""),
    (LINE_DAYS.strftime("%Y-%m-%d"), ",", ".", [0, *range(3, 30)], [], "2024-01-31",
     "2 date(s) missing from 'day', the first 2024-01-02"),
])
def test_reads_separators_decimals_and_dates(tmp_path, capsys, dates, sep, decimal, order,
                                             options, expected_day, message):
    path = line_file(tmp_path / "line.csv", dates, sep, decimal, order)
    status, out, err = run(["--fast", path, "--model", "LinearRegression", "--lookback", "3",
                            "--horizon", "1", "--transform", "none", *options], capsys)
    assert status == 0, err
    table = pd.read_csv(io.StringIO(out), dtype={"day": str})
    assert table["day"].tolist() == [expected_day]
    np.testing.assert_allclose(table["y"], [LINE_VALUES[-1] + 2.0], atol=1e-6)
    assert message in err


@pytest.mark.parametrize("dates, options, expected", [
    (["2024-13-45"] * 30, [], "cannot read '2024-13-45' as a date"),
    (LINE_DAYS.strftime("%m/%d/%Y"), ["--date-format", "%d/%m/%Y"],
     "'01/13/2024' in data row 13 does not match --date-format %d/%m/%Y"),
    (LINE_DAYS.strftime("%Y-%m-%d"), ["--sep", ";;"], "--sep must be one character"),
])
def test_unreadable_dates_are_named(tmp_path, capsys, dates, options, expected):
    status, _, err = run(FAST + [line_file(tmp_path / "bad.csv", dates), *options], capsys)
    assert status == 2
    assert expected in err
