# Ctrl-C, and callbacks that raise KeyboardInterrupt or SystemExit: every call that waits on the
# unit stops promptly, the unit is left idle, the exception is Python's own, and the session works on.
import pytest

from test_scan_film import TRUTH
from test_session import PRELUDE, code, unit_for

SCAN, ABORT = 0x1B, 0xC0

# The caller's side: SIGINT from a timer thread, and how long Python took to raise it.
SIGNALS = """
import signal, threading
fired = []

def interrupt_in(seconds):
    def fire():
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(seconds, fire).start()

def outcome(call):
    # [what the call raised or 'returned', seconds from the signal to the exception]
    del fired[:]
    try:
        call()
        return ['returned', None]
    except BaseException as e:
        return [type(e).__name__, round(time.monotonic() - fired[0], 3) if fired else None]
"""


# How each case stops the scan: the unit's script, the scan's callback, and when SIGINT comes (None: never).
PASSES = """
def raising(kind):
    def progress(*args):
        raise kind()
    return progress

slow = lambda: u.script_image(rate=1_000_000)
passes = [
    ('pass', slow, None, 0.4),
    ('pass with a callback', slow, lambda *a: None, 0.4),
    ('pass whose callback raises', slow, lambda *a: 1 / 0, 0.4),
    ('the unit warming up for the pass', lambda: u.script_image(start_polls=100), None, 0.4),
    ('callback raises KeyboardInterrupt', slow, raising(KeyboardInterrupt), None),
    ('callback raises SystemExit', slow, raising(SystemExit), None),
]
"""
RAISED = ["KeyboardInterrupt"] * 5 + ["SystemExit"]


@pytest.mark.parametrize("model", ["LS-5000", "LS-9000"])  # over USB and over SG
def test_a_scan_stops_at_once_and_the_next_one_works(emulated, model):
    out = emulated(code(PRELUDE, unit_for(model), TRUTH, SIGNALS, PASSES, f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.5)
        result = []
        for name, script, progress, after in passes:
            script()
            n = len(u.log())
            if after is not None:
                interrupt_in(after)
            got = outcome(lambda: s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold',
                                               progress=progress))
            sent = u.opcodes()[n:]
            stopped = {SCAN} in sent and {ABORT} in sent[sent.index({SCAN}):]
            u.script_image()
            r = s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold')
            result.append([got[0], got[1] < 0.5 if after else None, stopped, u.scanning, r.complete,
                           all(a[1:] == [True, 'uint16', 0] for a in arrays(u, r))])
        s.close()
        result.append(u.reserved)
    """), timeout=120).result
    *rows, reserved = out
    # Each: Python's own exception, within half a second of the signal, the pass stopped, the
    # unit idle, and the next scan whole.
    assert rows == [[raised, True if after else None, True, False, True, True]
                    for raised, after in zip(RAISED, [1, 1, 1, 1, 0, 0])]
    assert reserved is False


def test_ctrl_c_in_the_first_pass_raises_keyboard_interrupt(emulated):
    # The pass is interrupted before any array exists: Python's KeyboardInterrupt, not an error
    # of making one. NumPy came in before the unit started the pass.
    out = emulated(code(PRELUDE, unit_for("LS-5000"), SIGNALS, """
        import vexlor
        f = u.film()['frames'][0]
        s = vexlor.Session(where)
        u.script_image(rate=1_000_000)
        interrupt_in(0.4)
        got = outcome(lambda: s.scan_frame((f['top'], f['left'], f['top'] + 2000, f['left'] + 2000), dpi=2000,
                                           exposures={}, focus='hold'))
        numpy_then = 'numpy' in sys.modules
        u.script_image()
        r = s.scan_frame((f['top'], f['left'], f['top'] + 400, f['left'] + 400), exposures={}, focus='hold')
        result = [got[0], got[1] < 0.5, numpy_then, u.scanning, r.complete]
    """)).result
    assert out == ["KeyboardInterrupt", True, True, False, True]


# Calls that wait on the unit outside a pass: operations the unit takes long over, and the open
# (last: the unit stays not ready for a while after it). Each: its name, what the unit is told, the call.
WAITS = """
def unready():
    s.close()
    u.not_ready([(1, 30)])

waits = [
    ('load', lambda: (u.takes(LOAD, 30), setattr(u, 'waiting', True)), lambda: s.load()),
    ('eject', lambda: u.takes(UNLOAD, 30), lambda: s.eject()),
    ('focus', lambda: u.takes(AUTOFOCUS, 30), lambda: s.focus_frame(film_frame(u, 0.5))),
    ('open', unready, lambda: vexlor.Session(where)),
]
"""


def test_waits_outside_a_pass_answer_ctrl_c(emulated):
    # (Not through eval: CPython then marks a KeyboardInterrupt caught later as unhandled at exit.)
    out = emulated(code(PRELUDE, unit_for("LS-50"), TRUTH, SIGNALS, f"""
        LOAD, UNLOAD, AUTOFOCUS = 0xD1, 0xD0, 0xA0
        s = vexlor.Session(where)
    """, WAITS, """
        result = []
        for name, script, call in waits:
            script()
            interrupt_in(0.3)
            got = outcome(call)
            # The unit finishes what it was doing on its own; the session takes the next call.
            usable = name == 'open' or s.media_loaded() in (True, False)
            result.append([name, got[0], got[1] is not None and got[1] < 0.5, usable, u.reserved])
    """), timeout=120).result
    assert out == [[name, "KeyboardInterrupt", True, True, name != "open"] for name in ["load", "eject", "focus", "open"]]
