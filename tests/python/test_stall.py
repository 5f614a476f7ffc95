# A unit that stops answering in the middle of a command: Ctrl-C, a callback's False and close()
# still end the call promptly over the real USB and SG paths, the clean-up after them is bounded,
# and a scan the unit still holds is stopped rather than left running.
import pytest

from test_interrupt import SIGNALS
from test_scan_film import TRUTH
from test_session import PRELUDE, code, unit_for

SCAN, ABORT, RELEASE, INQUIRY = 0x1B, 0xC0, 0x17, 0x12

# The elapsed times each test measured, printed for the record (pytest -s shows them).
MEASURED = """
def stopped_since(sent_from):
    sent = u.opcodes()[sent_from:]
    return {SCAN} in sent and {ABORT} in sent[sent.index({SCAN}):]
""".format(SCAN=SCAN, ABORT=ABORT)

# How the stall ends: a SIGINT, or the progress callback's False (timed from its return).
STOPS = """
said_no = []

def refuse(*args):
    said_no.append(time.monotonic())
    return False

def stop_by(how):
    del said_no[:]
    if how == 'signal':
        interrupt_in(0.5)
        return None
    return refuse

def since_stop(got):
    if said_no:
        return [got[0], round(time.monotonic() - said_no[0], 3)]
    return got
"""

STALLS = [
    ("usb", "data", "signal", "KeyboardInterrupt"),
    ("usb", "data", "callback", "ScanCancelled"),
    ("usb", "busy", "signal", "KeyboardInterrupt"),
    ("usb", "busy", "callback", "ScanCancelled"),
    ("usb", "silent", "signal", "KeyboardInterrupt"),
    ("usb", "silent", "callback", "ScanCancelled"),
    ("sg", "data", "signal", "KeyboardInterrupt"),
    ("sg", "data", "callback", "ScanCancelled"),
]


@pytest.mark.parametrize("link, stall, stop, raised", STALLS)
def test_a_read_the_unit_never_finishes_ends_on_ctrl_c_or_cancel(emulated, link, stall, stop, raised):
    model = "LS-5000" if link == "usb" else "LS-9000"
    out = emulated(code(PRELUDE, unit_for(model), TRUTH, SIGNALS, MEASURED, f"""
        sg = {link == 'sg'!r}
    """, STOPS, f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.5)
        u.script_image(stall_at=2, stall={stall!r})
        n = len(u.log())
        progress = stop_by({stop!r})
        import time as _t
        started = _t.monotonic()
        got = outcome(lambda: s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold',
                                           progress=progress))
        got = since_stop(got)
        stopped = stopped_since(n)
        u.script_image()
        r = s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold')
        result = [got, stopped, u.scanning, r.complete]
        s.close()
    """), timeout=120).result
    (name, took), stopped, scanning, complete = out
    print(f"\n{link} {stall} {stop}: {name} {took} s after the stop")
    assert name == raised
    assert took is not None and took < 3
    assert (stopped, scanning, complete) == (True, False, True)


# Calls outside a pass on a unit that never finishes one command.
def test_a_command_the_unit_never_finishes_ends_on_ctrl_c(emulated):
    out = emulated(code(PRELUDE, """
        usb = tb.add_usb('LS-5000', 1, [2])
        sg = tb.add_sg('sg0', 'LS-9000')
        import threading
        import vexlor
    """, SIGNALS, STOPS, f"""
        result = []
        # Opening a unit that answers busy to every phase query of its probe.
        device = [d for d in vexlor.list_devices() if d.location.startswith('usb')][0]
        usb.stall({INQUIRY}, 'busy')
        interrupt_in(0.3)
        result.append(['open busy'] + outcome(lambda: vexlor.Session.open(device)))
        usb.stall({INQUIRY}, 'busy', 0)
        # A phase query never answered, and over SG a command never answered.
        for name, unit, where in [('usb silent', usb, 'usb:001-2'), ('sg', sg, '/dev/sg0')]:
            s = vexlor.Session(where)
            unit.stall(0xE1, 'silent', 1)
            interrupt_in(0.3)
            result.append([name] + outcome(s.focus_position) + [s.focus_position() >= 0])
            s.close()
    """), timeout=120).result
    for row in out:
        print(f"\n{row[0]}: {row[1]} {row[2]} s after the signal")
    assert [row[0:2] for row in out] == [["open busy", "KeyboardInterrupt"], ["usb silent", "KeyboardInterrupt"],
                                         ["sg", "KeyboardInterrupt"]]
    assert all(row[2] is not None and row[2] < 3 for row in out)
    assert all(row[3] for row in out[1:])  # the session works on


# After Ctrl-C while the unit keeps "becoming ready" for the pass, the clean-up (ABORT, then the
# wait for readiness) gives up after a few seconds on its own, or at once on a second Ctrl-C; the
# unit is left as the clean-up found it.
CLEANUPS = [
    # name, the unit's stall, second Ctrl-C after the first (None: none), bound on the whole
    ("abort answers busy", "busy", None, 12),
    ("abort answers busy, second ctrl-c", "busy", 0.3, 3),
    ("abort answers nothing, second ctrl-c", "silent", 0.3, 3),
]


@pytest.mark.parametrize("name, stall, second, bound", CLEANUPS)
def test_clean_up_after_ctrl_c_is_bounded_and_a_second_ctrl_c_ends_it(emulated, name, stall, second, bound):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), TRUTH, SIGNALS, f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.5)
        u.script_image(start_polls=10**9)
        u.stall({ABORT}, {stall!r})
        interrupt_in(0.5)
        if {second!r} is not None:
            interrupt_in(0.5 + {second!r})
        got = outcome(lambda: s.scan_frame(frame, dpi=1000, exposures={{}}, focus='hold'))
        u.stall({ABORT}, {stall!r}, 0)
        result = [got, u.scanning]
    """), timeout=120).result
    (raised, took), scanning = out
    print(f"\n{name}: {raised} {took} s after the first signal")
    assert raised == "KeyboardInterrupt"
    assert took < bound
    assert scanning is True  # ABORT never ran: the WARN says the unit is left scanning


# close() on a unit that answers "not ready": bounded on its own, ended at once by Ctrl-C; the
# unit may then stay reserved (a WARN says so). Dropping the last reference is bounded the same way.
CLOSES = [
    ("close", "s.close()", None, 9),
    ("close, ctrl-c", "s.close()", 0.3, 3),
    ("dropped", "del s; gc.collect()", None, 9),
]


@pytest.mark.parametrize("name, how, signal_at, bound", CLOSES)
def test_closing_on_a_unit_that_is_not_ready_is_bounded(emulated, name, how, signal_at, bound):
    out = emulated(code(PRELUDE, unit_for("LS-50"), SIGNALS, f"""
        import gc
        import vexlor
        s = vexlor.Session(where)
        u.not_ready([(1, 10**6)])
        if {signal_at!r} is not None:
            interrupt_in({signal_at!r})
        began = time.monotonic()
        try:
            {how}
            got = 'returned'
        except BaseException as e:
            got = type(e).__name__
        result = [got, round(time.monotonic() - began, 3), u.reserved]
    """), timeout=60).result
    got, took, reserved = out
    print(f"\n{name}: {got} after {took} s")
    assert got == ("KeyboardInterrupt" if signal_at else "returned")
    assert took < bound
    assert reserved is True  # RELEASE never ran


@pytest.mark.parametrize("model", ["LS-5000", "LS-9000"])  # over USB and over SG
def test_a_scan_the_unit_still_holds_is_stopped_by_the_next_command_and_by_close(emulated, model):
    out = emulated(code(PRELUDE, unit_for(model), TRUTH, f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.5)
        u.script_image(surplus=70000)
        first = s.scan_frame(frame, dpi=1000, exposures={{}}, focus='hold')
        held = u.scanning
        second = s.scan_frame(frame, dpi=1000, exposures={{}}, focus='hold')
        held_again = u.scanning
        n = len(u.log())
        s.close()
        result = [first.complete, held, second.complete, held_again, u.opcodes()[n:], u.scanning, u.reserved]
    """), timeout=120).result
    first, held, second, held_again, at_close, scanning, reserved = out
    assert (first, held, second, held_again) == (True, True, True, True)
    assert at_close[0] == ABORT and at_close[-1] == RELEASE
    assert (scanning, reserved) == (False, False)


def test_a_pass_that_cannot_fit_raises_memory_error_with_nothing_sent(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), """
        import resource
        import vexlor
        f = u.film()['frames'][0]
        s = vexlor.Session(where)
        status = open('/proc/self/status').read()
        size = int([l for l in status.splitlines() if l.startswith('VmSize')][0].split()[1]) * 1024
        # Room for the process as it is and a little more, not for a whole frame at the top resolution.
        resource.setrlimit(resource.RLIMIT_AS, (size + 96 * 2**20, resource.RLIM_INFINITY))
        n = len(u.log())
        try:
            s.scan_frame((f['top'], f['left'], f['top'] + f['length'], f['left'] + f['width']), dpi=4000,
                         infrared=True, exposures={}, focus='hold')
            got = 'returned'
        except MemoryError:
            got = 'MemoryError'
        sent = u.opcodes()[n:]
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        r = s.scan_frame((f['top'], f['left'], f['top'] + 400, f['left'] + 400), exposures={}, focus='hold')
        result = [got, sent, u.scanning, r.complete]
        s.close()
    """), timeout=120).result
    got, sent, scanning, complete = out
    assert got == "MemoryError"
    assert 0x24 not in sent and SCAN not in sent  # no SET WINDOW, no SCAN
    assert (scanning, complete) == (False, True)
