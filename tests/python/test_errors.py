import pytest

import vexlor

TABLE = [
    ("ScannerError", RuntimeError, "Base of every error this library raises"),
    ("TransientError", "ScannerError", "Worth retrying"),
    ("TransportError", "TransientError", "The link to the scanner failed"),
    ("DeviceBusy", "TransientError", "Something else has the scanner"),
    ("DeviceNotFound", "ScannerError", "No such scanner"),
    ("MediaError", "ScannerError", "Something a person has to go fix"),
    ("UnsupportedError", "ScannerError", "This unit or adapter cannot do that. Carries `.op` and `.reason`"),
    ("ScanCancelled", "ScannerError", "A progress callback returned False"),
]


@pytest.mark.parametrize("name, base, doc", TABLE, ids=[row[0] for row in TABLE])
def test_exception_classes(name, base, doc):
    cls = getattr(vexlor, name)
    base = getattr(vexlor, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert f"{cls.__module__}.{cls.__qualname__}" == f"vexlor.{name}"
    assert cls.__doc__ == doc
    assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}
    e = cls("the message")
    assert str(e) == "the message" and e.args == ("the message",)
    assert isinstance(e, RuntimeError)


def test_resolution_order():
    assert vexlor.TransportError.__mro__[:5] == (
        vexlor.TransportError, vexlor.TransientError, vexlor.ScannerError, RuntimeError, Exception)
    assert vexlor.DeviceNotFound.__mro__[1] is vexlor.ScannerError


def test_a_second_initialisation_reuses_every_member(run):
    # A re-import builds a new module object holding the same classes, functions and exception
    # types as the first.
    out = run("""
        import vexlor
        first = {n: v for n, v in vars(vexlor).items() if not n.startswith('_')}
        del sys.modules['vexlor']
        import vexlor as again
        result = [again is not vexlor, [n for n in vars(again) if not n.startswith('_')] == list(first),
                  [n for n, v in first.items() if getattr(again, n, None) is not v]]
    """)
    assert out.result == [True, True, []]
    assert out.stderr == ""


def test_import_touches_nothing(run):
    out = run("""
        import threading
        before = threading.active_count()
        import vexlor
        result = ['numpy' in sys.modules, threading.active_count() - before]
    """, env={"RUST_LOG": "trace"})
    assert out.result == [False, 0]
    assert out.stderr == ""
