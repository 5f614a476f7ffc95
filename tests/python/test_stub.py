import ast
import inspect
import pathlib
import re

import pytest

import vexlor


@pytest.fixture
def stub():
    path = pathlib.Path(vexlor.__file__).with_name("vexlor.pyi")
    if not path.exists():
        pytest.skip("no generated stub beside the module")
    return path.read_text()


def test_stub_names_every_member_with_python_types(stub):
    for name in (n for n in vars(vexlor) if not n.startswith("_")):
        assert re.search(rf"^(class|def) {name}\b", stub, re.M), name
    # C++ names leak in when a binding lacks a Python signature.
    assert not re.search(r"std::|vexlor::(?!cdb)|device::|nanobind", stub)


def stub_parameters(fn):
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    shown = [p.arg + ("" if d is None else "=" + ast.unparse(d)) for p, d in zip(positional, defaults)]
    if a.vararg:
        shown.append("*" + a.vararg.arg)
    shown += [k.arg + ("" if d is None else "=" + ast.unparse(d)) for k, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        shown.append("**" + a.kwarg.arg)
    return shown


def module_parameters(obj):
    prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    return [prefix.get(p.kind, "") + p.name + ("" if p.default is p.empty else "=" + repr(p.default))
            for p in inspect.signature(obj).parameters.values()]


def test_stub_declarations_match_the_text_signatures(stub):
    # The stub's typed declarations are written by hand beside the module's text signatures.
    checked = []
    for node in ast.parse(stub).body:
        if isinstance(node, ast.FunctionDef):
            declared = [(vexlor, node)]
        elif isinstance(node, ast.ClassDef):
            owner = getattr(vexlor, node.name)
            declared = [(owner, fn) for fn in node.body if isinstance(fn, ast.FunctionDef)
                        and not any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)]
        else:
            continue
        for owner, fn in declared:
            assert stub_parameters(fn) == module_parameters(getattr(owner, fn.name)), fn.name
            checked.append(fn.name)
    assert {"list_devices", "init_logging", "__init__", "open", "autofocus", "__exit__"} <= set(checked)


def test_unsupported_error_declares_its_attributes(stub):
    [cls] = [n for n in ast.parse(stub).body if isinstance(n, ast.ClassDef) and n.name == "UnsupportedError"]
    fields = {n.target.id: ast.unparse(n.annotation) for n in cls.body if isinstance(n, ast.AnnAssign)}
    assert fields == {"op": "str", "reason": "str"}
