import re

import pytest

import vexlor

LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (TRACE|DEBUG| INFO| WARN|ERROR) \S+: ", re.M)
OPEN_FAILED = re.compile(
    r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z DEBUG vexlor::device: could not open a unit to ask who it is e=\S",
    re.M)


def logged(emulated, calls, env=None, stderr_tty=False):
    """Lists one USB unit another process holds (a DEBUG event of vexlor::device) after `calls`."""
    return emulated(f"""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_usb('LS-50', 1, [2], claimed=True)
        import vexlor
        result = [{calls}]
        result.append([d.name for d in vexlor.list_devices()])
    """, env=env, stderr_tty=stderr_tty)


@pytest.mark.parametrize(
    "calls, env, shown",
    [
        ("", None, False),
        ("vexlor.init_logging()", None, False),
        ("vexlor.init_logging('debug')", None, True),
        ("vexlor.init_logging(level='vexlor::device=debug')", None, True),
        ("vexlor.init_logging('debug')", {"RUST_LOG": "vexlor::session=trace"}, False),
        ("vexlor.init_logging()", {"RUST_LOG": "vexlor::device=debug"}, True),
        ("vexlor.init_logging('debug')", {"RUST_LOG": "vexlor=loud"}, True),
        ("vexlor.init_logging(), vexlor.init_logging('trace')", None, False),
    ],
    ids=["no-call", "default", "level", "level-as-directive", "rust-log-wins", "rust-log-alone",
         "bad-rust-log-falls-back", "second-call-ignored"],
)
def test_filter(emulated, calls, env, shown):
    out = logged(emulated, calls, env)
    assert all(r is None for r in out.result[:-1])
    assert out.result[-1] == ["LS-50 (in use)"]
    assert bool(OPEN_FAILED.search(out.stderr)) == shown, out.stderr
    if not calls:
        assert out.stderr == ""
    # Every line is one event in the plain layout.
    for line in out.stderr.splitlines():
        assert LINE.match(line) or line.startswith("ignoring"), line


def test_colour_only_on_a_terminal(emulated):
    to_file = logged(emulated, "vexlor.init_logging('debug')")
    assert OPEN_FAILED.search(to_file.stderr) and "\x1b[" not in to_file.stderr
    to_tty = logged(emulated, "vexlor.init_logging('debug')", stderr_tty=True)
    assert "\x1b[34mDEBUG\x1b[0m" in to_tty.stderr, to_tty.stderr


def test_usb_library_records_arrive_under_its_name(emulated):
    quiet = logged(emulated, "vexlor.init_logging('debug')")
    assert not re.search(r" libusb: ", quiet.stderr)  # libusb=warn by default
    loud = logged(emulated, "vexlor.init_logging()", env={"RUST_LOG": "libusb=debug"})
    assert re.search(r"^\S+Z DEBUG libusb: \S", loud.stderr, re.M), loud.stderr
    # libusb's own header and banner stay out: each line carries libusb's message alone.
    for line in loud.stderr.splitlines():
        if " DEBUG libusb: " not in line:
            continue
        message = line.split(" libusb: ", 1)[1]
        assert message == message.strip() and message.strip("-"), line
        assert not re.match(r"\[\s*\d+\.\d+\]|libusb: ", message), line
    assert not OPEN_FAILED.search(loud.stderr)


def test_level_must_be_text():
    with pytest.raises(TypeError, match="level"):
        vexlor.init_logging(5)
    with pytest.raises(TypeError, match="level"):
        vexlor.init_logging(b"debug")


def test_doc():
    doc = vexlor.init_logging.__doc__
    assert "RUST_LOG" in doc and "vexlor::cdb=trace" in doc and "standard error" in doc
