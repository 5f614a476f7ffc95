import inspect
import pydoc
import re
import subprocess
import types

import pytest

import vexlor

# Every function and method: its text signature and the first line of its docstring (None: it has none).
MEMBERS = [
    ("list_devices", "list_devices()", "Every scanner this library thinks it can drive"),
    ("init_logging", "init_logging(level=None)", "Send this library's diagnostics to standard error."),
    ("Capabilities.locks_white_balance", "locks_white_balance(film)",
     "Whether this film type is metered with its channels held together"),
    ("Session", "Session(location)", "An open, exclusive hold of a scanner"),
    ("Session.__init__", "__init__($self, location)",
     "Start a session against whatever `list_devices` reports at this `location`"),
    ("Session.open", "open(device)", "Start a session against `device`"),
    ("Session.media_loaded", "media_loaded($self)", "Whether a holder is loaded"),
    ("Session.stage", "stage($self)", "Put the unit in the state a scan expects"),
    ("Session.eject", "eject($self)", "Give back whatever is loaded, answering whether the unit did anything"),
    ("Session.load", "load($self)", "Take in whatever the adapter has waiting, answering whether anything came"),
    ("Session.discover_frames", "discover_frames($self, format=None, progress=None)",
     "Find every frame on whatever is loaded"),
    ("Session.scan_frame",
     "scan_frame($self, frame, dpi=None, samples=1, superfine=False, infrared=False, clean=False, "
     "lock_white_balance=True, exposures=None, focus=None, progress=None)",
     "Focus, meter, take the pass over `frame`, and optionally clean it"),
    ("Session.meter_frame", "meter_frame($self, frame, infrared=False, lock_white_balance=True, progress=None)",
     "Meter `frame` and answer the exposures `scan_frame` would scan it at"),
    ("Session.focus_frame", "focus_frame($self, frame, focus=None)", "Focus on `frame` without metering or scanning it"),
    ("Session.autofocus", "autofocus($self, x, y, color=None)", "Autofocus on the point `(x, y)`, in frame addresses"),
    ("Session.focus_to", "focus_to($self, position)",
     "Move the lens to `position`. The position must be in `Capabilities.focus_range`"),
    ("Session.focus_position", "focus_position($self)", "The current lens position, in the units that `focus_to` uses"),
    ("Session.icc_profile", "icc_profile($self, film)",
     "The ICC profile for this unit and `film`, as the bytes of the .icc file"),
    ("Session.close", "close($self)", "Drop the hold on the scanner. A closed session refuses every other method"),
    ("Session.__enter__", "__enter__($self)", None),
    ("Session.__exit__", "__exit__($self, *_args)", None),
]

# The classes Python may instantiate; every other class of the module has no constructor.
WITH_CONSTRUCTOR = {"Session"}


def member(path):
    obj = vexlor
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def classes():
    return [v for v in vars(vexlor).values()
            if isinstance(v, type) and not issubclass(v, BaseException)]


@pytest.mark.parametrize("path, text, doc", MEMBERS, ids=[row[0] for row in MEMBERS])
def test_text_signature_and_docstring(path, text, doc):
    obj = member(path)
    params = text[text.index("("):]
    assert obj.__text_signature__ == params
    # CPython shows a "$self" as a positional-only self.
    shown = re.sub(r"^\(\$self\)$", "(self, /)", re.sub(r"^\(\$self, ", "(self, /, ", params))
    assert str(inspect.signature(obj)) == shown
    if doc is None:
        assert obj.__doc__ is None
    else:
        assert obj.__doc__.split("\n")[0] == doc


def test_every_function_and_method_has_a_row():
    # Slot wrappers (__repr__, a class's refusing __init__) and __new__ are CPython's own.
    found = {name for name, v in vars(vexlor).items() if isinstance(v, types.BuiltinFunctionType)}
    for cls in classes():
        found |= {f"{cls.__name__}.{name}" for name, v in vars(cls).items()
                  if name != "__new__" and isinstance(v, (types.MethodDescriptorType, staticmethod, classmethod,
                                                          types.BuiltinFunctionType))}
    assert found == {path for path, _, _ in MEMBERS} - {"Session"}


def test_help_lists_the_functions_under_functions():
    text = pydoc.render_doc(vexlor, renderer=pydoc.plaintext)
    functions = text.split("\nFUNCTIONS\n")[1].split("\nFILE\n")[0]
    assert re.findall(r"^    (\w+\(.*\))$", functions, re.M) == ["init_logging(level=None)", "list_devices()"]
    data = text.split("\nDATA\n")[1].split("\nFILE\n")[0] if "\nDATA\n" in text else ""
    assert "list_devices" not in data and "init_logging" not in data


@pytest.mark.parametrize("cls", [c for c in classes() if c.__name__ not in WITH_CONSTRUCTOR],
                         ids=lambda c: c.__name__)
def test_class_without_constructor_refuses_instances(cls):
    # __new__ alone would give an object holding no value.
    for make in (lambda: cls(), lambda: cls.__new__(cls), lambda: type("Sub", (cls,), {})()):
        with pytest.raises(TypeError, match="cannot create"):
            make()


# Calls on a Session that was never opened (made by __new__ alone).
UNOPENED_CALLS = [
    ("s.focus_to(70000)", OverflowError, "'position' must be an integer from 0 to 65535"),
    ("s.focus_to(-1)", OverflowError, "'position' must be an integer from 0 to 65535"),
    ("s.focus_to(position='1')", TypeError, "'position' must be int, not str"),
    ("s.autofocus(1, 2**32)", OverflowError, "'y' must be an integer from 0 to 4294967295"),
    ("s.autofocus(y=1, x=2, color=256)", OverflowError, "'color' must be an integer from 0 to 255"),
    ("s.autofocus(1)", TypeError, "'y'"),
    ("s.autofocus(1, 2, z=3)", TypeError, "'z'"),
    ("s.focus_to(1, 2)", TypeError, "focus_to"),
    ("s.media_loaded(1)", TypeError, "media_loaded"),
    ("s.__exit__(exc=None)", TypeError, "keyword"),
    # Arguments that convert reach the session, which this object does not have.
    ("s.autofocus(x=1, y=2, color=None)", TypeError, "'Session' object is not initialised"),
    ("s.__exit__(None, None, None)", TypeError, "'Session' object is not initialised"),
    ("s.close()", TypeError, "'Session' object is not initialised"),
]


@pytest.mark.parametrize("call, error, message", UNOPENED_CALLS, ids=[row[0] for row in UNOPENED_CALLS])
def test_arguments_are_bound_and_converted_before_the_session_is_touched(call, error, message):
    unopened = vexlor.Session.__new__(vexlor.Session)
    with pytest.raises(error, match=re.escape(message)):
        eval(call, {"s": unopened})


def test_the_module_exports_its_entry_point_alone():
    out = subprocess.run(["nm", "-D", "--defined-only", vexlor.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_vexlor"]
