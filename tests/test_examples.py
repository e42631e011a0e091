"""The examples and the README's code blocks run and print results that make sense."""

import doctest
import importlib
import pathlib
import pkgutil
import re
import runpy
import sys

import numpy as np
import pytest

import orvane

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"


def load_example(name):
    """The example's namespace, without running its ``__main__`` block."""
    return runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name=f"example_{name}")


def test_every_example_is_tested():
    tested = {"quickstart", "pipeline_estimator", "ensembler_intervals", "exogenous"}
    assert {path.stem for path in EXAMPLES.glob("*.py")} == tested


def test_quickstart_forecasts_the_last_year(capsys):
    forecast = load_example("quickstart")["main"](horizon=12)
    lines = capsys.readouterr().out.splitlines()
    assert forecast.shape == (12,)
    assert lines[0].split() == ["month", "actual", "forecast"]
    assert [line.split()[0] for line in lines[1:13]] == [f"1960-{m:02d}" for m in range(1, 13)]
    error = float(re.fullmatch(r"mean absolute percentage error: ([\d.]+)%", lines[13]).group(1))
    assert error < 10.0  # a seasonal naive forecast of this year is about 9% off


def test_pipeline_estimator_compares_every_pairing(capsys):
    example = load_example("pipeline_estimator")
    errors, in_sample_error = example["main"](horizon=12)
    out = capsys.readouterr().out
    assert set(errors) == {(w, r) for w in example["WINDOWS"] for r in example["REGRESSORS"]}
    assert all(np.isfinite(e) and e > 0 for e in errors.values())
    assert min(errors.values()) < 6.0
    assert "132 rows, the first 24 are NaN" in out
    assert 0.0 < in_sample_error < 6.0


@pytest.mark.parametrize("with_matplotlib", [True, False])
def test_ensembler_intervals_cover_the_held_out_year(with_matplotlib, tmp_path, monkeypatch,
                                                     capsys):
    if with_matplotlib:
        pytest.importorskip("matplotlib")
    else:
        monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # import fails
    plot = tmp_path / "intervals.png"
    forecast, lower, upper, actual = load_example("ensembler_intervals")["main"](
        [str(plot), "--fast"])
    out = capsys.readouterr().out
    assert forecast.shape == lower.shape == upper.shape == actual.shape == (12,)
    assert np.all(lower < upper)
    inside = int((((lower <= actual) & (actual <= upper))).sum())
    assert f"{inside} of 12 actual values inside the 90% intervals" in out
    assert inside >= 8
    if with_matplotlib:
        assert plot.read_bytes()[:4] == b"\x89PNG"
        assert f"plot written to {plot}" in out
    else:
        assert not plot.exists()
        assert "plot skipped: matplotlib is not installed" in out


def test_exogenous_plan_beats_no_plan(capsys):
    mae_with, mae_without = load_example("exogenous")["main"]()
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 + 18 + 1  # header, one line per forecast week, summary
    # The simulated noise alone gives a mean absolute error of about 6.4.
    assert 6.0 < mae_with < 0.75 * mae_without


# -- docstrings ----------------------------------------------------------------------------

def docstring_examples():
    """Every docstring of the package that shows examples, by its dotted name."""
    found = {}
    for module in pkgutil.walk_packages(orvane.__path__, "orvane."):
        for test in doctest.DocTestFinder().find(importlib.import_module(module.name)):
            found.update({test.name: test} if test.examples else {})
    return found


DOCSTRING_EXAMPLES = docstring_examples()


def test_the_estimator_classes_show_examples():
    module = "orvane.gusk.estimators.tembrel.models.gusk_estimators"
    classes = ["GUSKTimeSeriesEstimator", "FlattenAutoEnsembler", "DifferenceFlattenAutoEnsembler",
               "LocalizedFlattenAutoEnsembler"]
    assert {f"{module}.{name}" for name in classes} <= set(DOCSTRING_EXAMPLES)


@pytest.mark.parametrize("name", sorted(DOCSTRING_EXAMPLES))
def test_docstring_examples_print_what_they_show(name):
    test = DOCSTRING_EXAMPLES[name]
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert runner.run(test) == (0, len(test.examples))


# -- README --------------------------------------------------------------------------------

def readme_python_blocks():
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def test_readme_has_its_two_commands_first():
    text = (ROOT / "README.md").read_text()
    first_block = re.search(r"```bash\n(.*?)```", text, flags=re.S).group(1)
    commands = [line for line in first_block.splitlines() if line and not line.startswith("#")]
    assert commands == ['pip install ".[plot]" && orvane-forecast --plot forecast.png',
                        'pip install ".[test]" && python -m pytest']


@pytest.mark.parametrize("index", range(len(readme_python_blocks())))
def test_readme_python_block_runs(index, capsys):
    code = readme_python_blocks()[index]
    if "distributed" in code:
        pytest.importorskip("distributed")
        # A cluster inside this process starts in well under a second; the block's
        # own Client() would start worker processes.
        code = code.replace("Client(n_workers=2, threads_per_worker=1)",
                            "Client(processes=False, n_workers=1, threads_per_worker=2, "
                            "dashboard_address=':0')")  # any free port: suites may run side by side
        assert "processes=False" in code
    exec(compile(code, f"README.md block {index}", "exec"), {"__name__": "__main__"})
    assert capsys.readouterr().out.strip() != ""  # every block prints its result


MISSPELT_STRATEGY = (
    "from orvane import GUSKTimeSeriesEstimator\n"
    "GUSKTimeSeriesEstimator([], [0], [0], multistep_prediction_strategy='recursiv')\n"
)


@pytest.mark.parametrize("source, expected", [
    (None, "Success: no issues found in 4 source files"),
    (MISSPELT_STRATEGY, "expected \"Literal['recursive', 'multioutput'] | None\""),
])
def test_examples_type_check(source, expected, tmp_path):
    mypy = pytest.importorskip("mypy.api")
    targets = [str(EXAMPLES)]
    if source is not None:
        (tmp_path / "snippet.py").write_text(source)
        targets = [str(tmp_path / "snippet.py")]
    out, err, _ = mypy.run(["--config-file", str(ROOT / "pyproject.toml"),
                            "--cache-dir", str(tmp_path / "cache"), *targets])
    assert expected in out, out + err
