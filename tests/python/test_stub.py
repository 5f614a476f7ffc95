import pathlib
import re

import pytest

import vexlor


def test_stub_names_every_member_with_python_types():
    stub = pathlib.Path(vexlor.__file__).with_name("vexlor.pyi")
    if not stub.exists():
        pytest.skip("no generated stub beside the module")
    text = stub.read_text()
    for name in (n for n in vars(vexlor) if not n.startswith("_")):
        assert re.search(rf"^(class|def) {name}\b", text, re.M), name
    # C++ names leak in when a binding lacks a Python signature.
    assert not re.search(r"std::|vexlor::(?!cdb)|device::|nanobind", text)
