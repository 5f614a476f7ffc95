# The module among the other threads and processes of a program: listing without holding up the
# interpreter, a unit another process holds, a forked child's copy of a session, and interpreter
# exit while a daemon thread is inside a call.
import json
import subprocess
import sys
import time

import pytest

from test_interrupt import SIGNALS
from test_session import PRELUDE, code, unit_for


def test_listing_lets_other_threads_run_and_answers_ctrl_c(emulated):
    # Three units that never answer INQUIRY: each would hold its probe for the 5 s time-out.
    out = emulated(code(PRELUDE, SIGNALS, """
        for port in (1, 2, 3):
            tb.add_usb('LS-50', 1, [port]).mute()
        tb.add_usb('LS-5000', 1, [4])
        import vexlor
        ticks, done = [0], threading.Event()

        def tick():
            while not done.is_set():
                ticks[0] += 1
                time.sleep(0.01)

        threading.Thread(target=tick, daemon=True).start()
        interrupt_in(1.0)
        got = outcome(vexlor.list_devices)
        done.set()
        # The probe in flight was cut short too: it no longer holds up an open for its time-out.
        began = time.monotonic()
        vexlor.Session('usb:001-4').close()
        result = got + [ticks[0], round(time.monotonic() - began, 3)]
    """)).result
    raised, after_signal, ticks, opening = out
    print(f"KeyboardInterrupt {after_signal} s after SIGINT; {ticks} ticks of 10 ms in the first second; "
          f"an open then took {opening} s")
    assert raised == "KeyboardInterrupt"
    assert after_signal < 3
    assert opening < 2
    # A ticker that got the interpreter lock once while the listing ran would count 1.
    assert ticks > 20


def test_opening_a_location_asks_only_the_unit_there(emulated):
    # A silent unit elsewhere costs nothing: it is not asked who it is, nor is any other node.
    out = emulated(code(PRELUDE, """
        silent = tb.add_usb('LS-50', 1, [2])
        silent.mute()
        usb = tb.add_usb('LS-5000', 1, [3])
        sg = tb.add_sg('sg0', 'LS-4000')
        other = tb.add_sg('sg1', 'LS-8000')
        import vexlor
        result = []
        for where in ['usb:001-3', 'USB:001-3', '/dev/sg0', '/DEV/SG0']:
            start = time.monotonic()
            with vexlor.Session(where) as s:
                model = s.capabilities.model
            result.append([where, model, round(time.monotonic() - start, 2)])
        result.append([len(silent.log()), len(other.log())])
    """)).result
    *opened, (silent_sent, other_sent) = out
    print("opening took", {where: took for where, _, took in opened})
    assert [[where, model] for where, model, _ in opened] == [
        ["usb:001-3", "LS-5000"], ["USB:001-3", "LS-5000"], ["/dev/sg0", "LS-4000"], ["/DEV/SG0", "LS-4000"]]
    assert all(took < 3 for _, _, took in opened)
    assert silent_sent == other_sent == 0


def test_a_node_another_process_holds_is_in_use(emulated):
    # umockdev ignores O_EXCL on a faked node: the other holder here is a lock on the node, which
    # the module takes besides its exclusive open.
    out = emulated(code(PRELUDE, """
        import fcntl
        u = tb.add_sg('sg0', 'LS-4000')
        import vexlor
        held = os.open(os.path.join(tb.dev_dir(), 'sg0'), os.O_RDWR)
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        listed = [[d.location, d.name] for d in vexlor.list_devices()]
        try:
            vexlor.Session('/dev/sg0')
            refused = ['opened', '']
        except vexlor.ScannerError as e:
            refused = [type(e).__name__, str(e)]
        sent = len(u.log())
        os.close(held)
        s = vexlor.Session('/dev/sg0')
        # The session's descriptor is not handed to programs the process starts.
        flags = []
        for fd in os.listdir('/proc/self/fd'):
            try:
                if os.readlink(f'/proc/self/fd/{fd}').endswith('/dev/sg0'):
                    with open(f'/proc/self/fdinfo/{fd}') as info:
                        flags.append(int(info.read().split('flags:')[1].split()[0], 8))
            except OSError:
                pass
        result = [listed, refused, sent, [bool(f & os.O_CLOEXEC) for f in flags]]
    """)).result
    listed, refused, sent, cloexec = out
    assert listed == [["/dev/sg0", "(in use)"]]
    assert refused == ["DeviceBusy", "another initiator holds the scanner"]
    assert sent == 0
    assert cloexec == [True]


# What a forked child does with its copy of the session after a call on it was refused.
CHILD = {
    "exit": "",  # left to interpreter exit
    "drop": "del s\ngc.collect()",
    "close": "s.close()",
}


@pytest.mark.parametrize("child", list(CHILD))
@pytest.mark.parametrize("model", ["LS-50", "LS-4000"], ids=["usb", "sg"])
def test_a_forked_child_leaves_the_unit_to_its_parent(emulated, model, child):
    out = emulated(code(PRELUDE, unit_for(model), f"""
        import gc
        import vexlor
        s = vexlor.Session(where)
        n = len(u.log())
        r, w = os.pipe()
        start = time.monotonic()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            try:
                s.media_loaded()
                said = ['answered', '']
            except vexlor.ScannerError as e:
                said = [type(e).__name__, str(e)]
            exec({CHILD[child]!r})
            os.write(w, json.dumps(said).encode())
            os.close(w)
            sys.exit(0)
        os.close(w)
        said = json.loads(os.read(r, 4096) or b'null')
        _, status = os.waitpid(pid, 0)
        took = round(time.monotonic() - start, 2)
        sent = u.opcodes()[n:]
        try:
            vexlor.Session(where)
            second = 'opened'
        except vexlor.ScannerError as e:
            second = type(e).__name__
        result = [said, os.waitstatus_to_exitcode(status), took, sent, s.media_loaded(), u.reserved, second]
    """)).result
    said, status, took, sent, answered, reserved, second = out
    print(f"the child ended {took} s after the fork")
    assert said == ["ScannerError", "this session belongs to the process that opened it, not to a process forked from it"]
    assert status == 0 and took < 3
    # Nothing reached the unit from the child; the parent keeps it, and a second session is turned away.
    assert sent == []
    assert answered is True and reserved is True
    assert second == "DeviceBusy"


# A daemon thread inside a call when the interpreter exits: the unit's script, and the call.
AT_EXIT = {
    "scan": ("u.script_image(rate=300_000)", "s.scan_frame(F, exposures={}, focus='hold')"),
    "callback": ("u.script_image(rate=300_000)",
                 "s.scan_frame(F, exposures={}, focus='hold', progress=lambda *a: time.sleep(0.01))"),
    "wait": ("u.takes(0xA0, 1_000_000)", "s.autofocus(100, 200)"),
    "open": ("s.close(); u.not_ready([(1, 1_000_000)])", "vexlor.Session(where)"),
}

EXIT_SNIPPET = """
import atexit, json, os, sys, threading, time
import vexlor_emulator
tb = vexlor_emulator.Testbed()
{unit}
# Registered before the module's own exit handler, so it runs after it.
atexit.register(lambda: print('@@' + json.dumps([u.reserved, u.scanning]), flush=True))
import vexlor
f = u.film()['frames'][0]
F = (f['top'], f['left'], f['top'] + 2000, f['left'] + 2000)
s = vexlor.Session(where)
{script}
inside = threading.Event()

def work():
    inside.set()
    try:
        {call}
    except BaseException:
        pass

threading.Thread(target=work, daemon=True).start()
inside.wait()
time.sleep(0.5)
sys.exit(3)
"""


@pytest.mark.parametrize("case", list(AT_EXIT))
@pytest.mark.parametrize("model", ["LS-5000", "LS-4000"], ids=["usb", "sg"])
def test_interpreter_exit_with_a_daemon_thread_in_a_call(emulated, model, case):
    script, call = AT_EXIT[case]
    snippet = EXIT_SNIPPET.format(unit=unit_for(model), script=script, call=call)
    runs = []
    for _ in range(3):
        start = time.monotonic()
        proc = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True, timeout=120)
        took = round(time.monotonic() - start, 2)
        marker = proc.stdout.rfind("@@")
        state = json.loads(proc.stdout[marker + 2:]) if marker >= 0 else None
        runs.append([proc.returncode, state, took])
        assert "terminate called" not in proc.stderr, proc.stderr
    print(case, "runs (status, [reserved, scanning] after exit, seconds):", runs)
    # The process's own status, the unit neither reserved nor scanning once the module let go.
    assert [[status, state] for status, state, _ in runs] == [[3, [False, False]]] * 3
    assert all(took < 30 for _, _, took in runs)
