"""The .pyi stubs of the two extension modules agree with the runtime objects.

Each stub is parsed with ``ast``; every function and method it declares must
have the parameter names, kinds and defaults of ``inspect.signature`` of the
runtime object, and the stub must declare every member the runtime has.
"""

import ast
import importlib
import inspect
import pathlib

import pytest

import orvane

MODULES = [
    "orvane.gusk.estimators.tembrel.models.gusk_estimators",
    "orvane.gusk.estimators.utils.tembrel",
]

# Members every class has, never written in a stub.
_CLASS_PLUMBING = {"__module__", "__doc__", "__qualname__", "__dict__", "__weakref__"}


def stub_path(module_name):
    module = importlib.import_module(module_name)
    return pathlib.Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")


def parse_stub(module_name):
    return ast.parse(stub_path(module_name).read_text(), filename=str(stub_path(module_name)))


def ast_parameters(function):
    """(name, kind, default) of every parameter of a stub function, like inspect's."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(node) for node in args.defaults]
    params = []
    for index, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
        kind = ("POSITIONAL_ONLY" if index < len(args.posonlyargs)
                else "POSITIONAL_OR_KEYWORD")
        params.append((arg.arg, kind, default))
    if args.vararg:
        params.append((args.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        params.append((arg.arg, "KEYWORD_ONLY", value))
    if args.kwarg:
        params.append((args.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return params


def runtime_parameters(obj):
    return [(p.name, p.kind.name, p.default) for p in inspect.signature(obj).parameters.values()]


def is_property(function):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def stub_functions(module_name):
    """(member path, stub function node, runtime object) for every def in the stub."""
    module = importlib.import_module(module_name)
    found = []
    for node in parse_stub(module_name).body:
        if isinstance(node, ast.FunctionDef):
            found.append((node.name, node, getattr(module, node.name, None)))
        elif isinstance(node, ast.ClassDef):
            runtime_class = getattr(module, node.name, None)
            members = vars(runtime_class) if runtime_class is not None else {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found.append((f"{node.name}.{item.name}", item, members.get(item.name)))
    return found


def stub_cases():
    return [pytest.param(module_name, path, node, runtime,
                         id=f"{module_name.rsplit('.', 1)[1]}:{path}")
            for module_name in MODULES for path, node, runtime in stub_functions(module_name)]


def class_nodes(module_name):
    return {node.name: node for node in parse_stub(module_name).body
            if isinstance(node, ast.ClassDef)}


def stub_module_names(tree):
    """Names a stub binds at module level (defs, classes, assignments, imports with "as").

    A plain ``from typing import Any`` only serves the annotations, so it is not a
    module global; ``from x import y as y`` (and ``import numpy as np``) declares one.
    """
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname)
    return names


@pytest.mark.parametrize("module_name, path, node, runtime", stub_cases())
def test_stub_signature_matches_runtime(module_name, path, node, runtime):
    assert runtime is not None, f"{path} is in the stub but not in {module_name}"
    if is_property(node):
        assert isinstance(runtime, property), f"{path} is a property in the stub only"
        runtime = runtime.fget
    assert ast_parameters(node) == runtime_parameters(runtime)


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_every_class_member(module_name):
    module = importlib.import_module(module_name)
    for class_name, node in class_nodes(module_name).items():
        declared = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime = {name for name, value in vars(getattr(module, class_name)).items()
                   if name not in _CLASS_PLUMBING
                   and (callable(value) or isinstance(value, property))}
        assert declared == runtime, class_name


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_every_module_global(module_name):
    module = importlib.import_module(module_name)
    runtime = {name for name in vars(module) if not name.startswith("__")}
    declared = {name for name in stub_module_names(parse_stub(module_name))
                if not name.startswith("_")}
    assert runtime - declared == set(), "globals missing from the stub"
    assert declared - runtime == set(), "stub names the module does not have"


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_the_same_class_bases(module_name):
    module = importlib.import_module(module_name)
    for class_name, node in class_nodes(module_name).items():
        bases = [ast.unparse(base) for base in node.bases]
        assert bases == [base.__name__ for base in getattr(module, class_name).__bases__]


def test_adjust_indices_parameters_are_optional_int_lists():
    node = class_nodes(MODULES[0])["GUSKTimeSeriesEstimator"]
    method = next(item for item in node.body
                  if isinstance(item, ast.FunctionDef) and item.name == "_adjust_indices")
    annotations = {arg.arg: ast.unparse(arg.annotation) for arg in method.args.args[1:]}
    assert annotations == {"target_columns": "Optional[List[int]]",
                           "feature_columns": "Optional[List[int]]"}


def test_package_is_marked_typed():
    assert (pathlib.Path(orvane.__file__).parent / "py.typed").is_file()


def test_ast_parameters_reads_every_kind():
    # The helper itself must tell kinds and defaults apart, or the checks above prove nothing.
    function = ast.parse("def f(a, /, b=-1, *args, c='x', d, **kw): ...").body[0]
    assert ast_parameters(function) == [
        ("a", "POSITIONAL_ONLY", inspect.Parameter.empty),
        ("b", "POSITIONAL_OR_KEYWORD", -1),
        ("args", "VAR_POSITIONAL", inspect.Parameter.empty),
        ("c", "KEYWORD_ONLY", "x"),
        ("d", "KEYWORD_ONLY", inspect.Parameter.empty),
        ("kw", "VAR_KEYWORD", inspect.Parameter.empty),
    ]
