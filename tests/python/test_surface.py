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


# Every property of each class, in declared order, with the first line of its docstring (None: it has none).
PROPERTIES = {
    "Device": [("location", "Where it is"), ("name", "What to show a person")],
    "Capabilities": [
        ("vendor", None), ("product", None), ("revision", None), ("model", None), ("x_dpi_range", None),
        ("y_dpi_range", None), ("optical_dpi", None),
        ("max_frames", "Frames the loaded holder can hold, 0 where the unit publishes no table"),
        ("thumbnail_dpi", "The thumbnail pass's resolution range, empty where there is no thumbnail"),
        ("focus_range", "Focus positions the unit accepts"),
        ("max_samples", "Most readings of one line a pass may ask for. 1 where the unit reads a"),
        ("framing", 'How this unit finds frames: "published", "thumbnail", "perforation"'),
        ("thumbnail", "Whether a thumbnail pass happens at all, and so whether a caller can"),
        ("multi_line", 'Whether the CCD can read its lines at once. False means a "superfine"'),
        ("eject", "Whether the unit can give the medium back on its own"),
        ("autofocus", "Whether the unit focuses itself"),
        ("hardware_metering", "Whether the unit runs an AE pass itself. False on every unit seen, an"),
        ("interleavings", "The reading modes this unit offers, by name"),
    ],
    "Session": [("capabilities", "What the scanner says it can do")],
    "ScanResult": [
        ("colors", 'One array per captured channel, keyed by name ("red", "green", "blue", ...)'),
        ("ir", "The infrared plane, where the recipe asked for it"),
        ("dpi", None), ("rows", None), ("cols", None),
        ("exposures", "What the frame was exposed at, keyed the same way as `colors`"),
        ("cleaned", "Pixels dust removal rebuilt, where asked for"),
        ("complete", "True if all blocks of the pass arrived. If this is false, the planes"),
        ("blocks", "The number of blocks of the pass that arrived"),
        ("focused", "The focus result:"),
        ("focus_position", "The lens position during the pass. `None` if the unit does not report it"),
    ],
    "Discovery": [
        ("frames", None),
        ("thumbnail", "One array per channel, keyed the way `ScanResult.colors` is; `None`"),
        ("addresses_per_column", "Feed addresses one column of `thumbnail` spans"),
        ("contrast", "The quality of the frame fit on the thumbnail. A higher value means"),
        ("thumbnail_complete", "True if all blocks of the thumbnail pass arrived. `None` if there is no"),
        ("thumbnail_blocks", "The number of blocks of the thumbnail pass that arrived. `None` if there"),
    ],
}


@pytest.mark.parametrize("name", list(PROPERTIES))
def test_properties_in_order_with_docstrings(name):
    cls = getattr(vexlor, name)
    props = [(n, v) for n, v in vars(cls).items() if isinstance(v, property)]
    assert [n for n, _ in props] == [n for n, _ in PROPERTIES[name]]
    for (prop, doc), (_, v) in zip(PROPERTIES[name], props):
        shown = v.__doc__.split("\n")[0] if v.__doc__ else None
        assert shown == doc, prop
        assert v.fset is None, prop


def test_classes_name_the_module():
    for name in ("Device", "Capabilities", "Session", "ScanResult", "Discovery"):
        cls = getattr(vexlor, name)
        assert (cls.__module__, cls.__qualname__) == ("vexlor", name)


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
    ("s.scan_frame([0, 0, 1, 1])", TypeError, "'frame' must be tuple, not list"),
    ("s.scan_frame((0, 0, 1, 1), focus=[0.5, 0.5])", ValueError, "not [0.5, 0.5]"),
    ("s.meter_frame((0, 0, 1, 1), infrared=1)", TypeError, "'infrared' must be bool, not int"),
    ("s.focus_frame((0, 0, 1, 1), 'sharp')", ValueError, "not sharp"),
    ("s.discover_frames('35mm')", ValueError, "'35mm' is neither a film format nor a height in mm"),
    ("s.icc_profile('sepia')", RuntimeError, 'unknown film type "sepia"'),
    # Arguments that convert reach the session, which this object does not have.
    ("s.scan_frame((0, 0, 1, 1), exposures={}, focus='hold')", TypeError, "'Session' object is not initialised"),
    ("s.icc_profile('mono')", TypeError, "'Session' object is not initialised"),
    ("s.capabilities", TypeError, "'Session' object is not initialised"),
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
