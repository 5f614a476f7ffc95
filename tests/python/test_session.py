import textwrap

import pytest

# Each call against one unit another process holds (opening it fails) and nothing else.
HELD = "another initiator holds the scanner"
CALLS = [
    ("vexlor.Session('usb:003-1.4')", "DeviceBusy", HELD),
    ("vexlor.Session(location='USB:003-1.4')", "DeviceBusy", HELD),  # the match ignores ASCII case
    ("vexlor.Session('usb:003-1')", "DeviceNotFound", "no scanner matched"),
    ("vexlor.Session.open(vexlor.list_devices()[0])", "DeviceBusy", HELD),
    ("vexlor.Session.open(device=vexlor.list_devices()[0])", "DeviceBusy", HELD),
    ("vexlor.Session(b'usb:003-1.4')", "TypeError", "Session(): argument 'location' must be str, not bytes"),
    ("vexlor.Session()", "TypeError", "'location'"),
    ("vexlor.Session.open('usb:003-1.4')", "TypeError", "open(): argument 'device' must be Device, not str"),
]


def test_openings_that_fail_raise_their_exception(emulated):
    out = emulated(f"""
        import vexlor_emulator
        tb = vexlor_emulator.Testbed()
        tb.add_usb('LS-5000', 3, [1, 4], claimed=True)
        import vexlor
        result = []
        for call in {[c for c, _, _ in CALLS]!r}:
            try:
                eval(call)
                result.append(['opened', ''])
            except Exception as e:
                result.append([type(e).__name__, str(e)])
    """).result
    assert len(out) == len(CALLS)
    for (call, error, message), (raised, text) in zip(CALLS, out):
        assert raised == error, call
        assert message in text, call


# ---- sessions on stateful emulated units ----

# Where each model is reached: its USB product where it has one, else a SCSI generic node.
PLACES = {
    "LS-40": ("usb", "usb:001-2"),
    "LS-50": ("usb", "usb:001-2"),
    "LS-5000": ("usb", "usb:001-2"),
    "LS-4000": ("sg", "/dev/sg0"),
    "LS-8000": ("sg", "/dev/sg0"),
    "LS-9000": ("sg", "/dev/sg0"),
}
PUBLISHES_FRAMES = {"LS-8000", "LS-9000"}

# Operation codes as the log shows them.
TUR, INQUIRY, GET_WINDOW, RELEASE, EXECUTE, GET_PARAMETER, TRIGGER = 0x00, 0x12, 0x25, 0x17, 0xE0, 0xE1, 0xC1
# An EXECUTE, its trigger and the completion wait of an operation two polls long.
OPERATION = [EXECUTE, TRIGGER, TUR, TUR, TUR]


def unit_for(model, name="u"):
    """Snippet lines adding one unit of `model` as `name`, and its location as `where`."""
    kind, where = PLACES[model]
    add = f"tb.add_usb({model!r}, 1, [2])" if kind == "usb" else f"tb.add_sg('sg0', {model!r})"
    return f"{name} = {add}\nwhere = {where!r}\n"


def code(*parts):
    """One snippet from pieces indented each its own way."""
    return "\n".join(textwrap.dedent(p) for p in parts)


PRELUDE = """
import vexlor_emulator
tb = vexlor_emulator.Testbed()
"""

# `ops(call)` runs call() and answers its result (or exception name and text) and the opcodes it sent.
OPS = """
def ops(call, unit=None):
    unit = unit or u
    n = len(unit.log())
    try:
        got = call()
    except Exception as e:
        got = [type(e).__name__, str(e)]
    return [got, unit.opcodes()[n:]]
"""


@pytest.mark.parametrize("model", list(PLACES))
def test_media_and_focus_against_each_model(emulated, model):
    out = emulated(code(PRELUDE, unit_for(model), OPS, """
        import vexlor
        result = {}
        with vexlor.Session(where) as s:
            result['open'] = [u.reserved, u.loaded]
            result['loaded'] = ops(s.media_loaded)
            result['stage'] = ops(s.stage)
            result['position'] = ops(s.focus_position) + [u.focus]
            low, high = u.focus_range
            result['focus_to'] = ops(lambda: s.focus_to(high))
            result['moved'] = s.focus_position() == high == u.focus
            result['autofocus'] = ops(lambda: s.autofocus(100, 200)) + [u.focus == u.found_focus]
            result['af_params'] = list(u.log(with_data=True)[-5][1])
            result['eject'] = ops(s.eject) + [u.loaded]
            result['empty'] = ops(s.media_loaded)
            result['eject_again'] = ops(s.eject)
            result['load_nothing'] = ops(s.load)
            u.waiting = True
            result['load'] = ops(s.load) + [u.loaded, u.waiting]
        result['closed'] = [u.reserved, u.opcodes()[-1]]
    """)).result
    check = [INQUIRY] if model in PUBLISHES_FRAMES else [TUR]
    assert out["open"] == [True, True]
    assert out["loaded"] == [True, check]
    assert out["stage"] == [None, [GET_WINDOW, GET_WINDOW, GET_PARAMETER] + OPERATION]
    assert out["position"][1] == [GET_PARAMETER] and out["position"][0] == out["position"][2]
    assert out["focus_to"] == [None, OPERATION] and out["moved"]
    assert out["autofocus"] == [None, OPERATION, True]
    assert out["af_params"] == [0, 0, 0, 0, 100, 0, 0, 0, 200]
    assert out["eject"] == [True, OPERATION, False]
    assert out["empty"] == [False, check]
    assert out["eject_again"] == [True, OPERATION]  # nothing left to give back counts as done
    assert out["load_nothing"] == [False, OPERATION]
    assert out["load"] == [True, OPERATION, True, False]
    assert out["closed"] == [False, RELEASE]


def test_with_blocks_close_and_locations(emulated):
    out = emulated(code(PRELUDE, """
        u = tb.add_usb('LS-50', 1, [2])
        g = tb.add_sg('sg0', 'LS-8000')
        import vexlor
        result = {}
        with vexlor.Session('USB:001-2') as s:  # the location matches ignoring ASCII case
            result['same'] = s is s.__enter__()
            result['held'] = u.reserved
        try:
            s.media_loaded()
        except vexlor.ScannerError as e:
            result['after'] = [type(e).__name__, str(e)]
        n = len(u.log())
        s.close()
        s.close()
        with s:
            pass
        result['quiet'] = [len(u.log()) - n, u.reserved]
        device = [d for d in vexlor.list_devices() if d.location == '/dev/sg0'][0]
        try:
            with vexlor.Session.open(device=device) as t:
                result['sg_held'] = g.reserved
                raise KeyError('inside')
        except KeyError as e:
            result['propagated'] = str(e)
        result['sg_released'] = [g.reserved, g.opcodes()[-1]]
    """)).result
    assert out == {"same": True, "held": True, "after": ["ScannerError", "session is closed"], "quiet": [0, False],
                   "sg_held": True, "propagated": "'inside'", "sg_released": [False, RELEASE]}


# Calls whose arguments fail conversion: nothing may reach the unit.
BAD_ARGUMENTS = [
    ("s.focus_to(70000)", "OverflowError"),
    ("s.focus_to(-1)", "OverflowError"),
    ("s.focus_to('100')", "TypeError"),
    ("s.focus_to(position=1.5)", "TypeError"),
    ("s.autofocus(2**32, 0)", "OverflowError"),
    ("s.autofocus(0, -1)", "OverflowError"),
    ("s.autofocus(0, 0, color=256)", "OverflowError"),
    ("s.autofocus(0, 0, color='red')", "TypeError"),
    ("s.autofocus(x='1', y=0)", "TypeError"),
    ("s.autofocus(0)", "TypeError"),
]


def test_argument_errors_reach_nothing(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), f"""
        import vexlor
        s = vexlor.Session(where)
        n = len(u.log())
        result = []
        for call in {[c for c, _ in BAD_ARGUMENTS]!r}:
            try:
                eval(call)
                result.append('ran')
            except Exception as e:
                result.append(type(e).__name__)
        result.append(len(u.log()) - n)
        s.focus_to(u.focus_range[1])  # the session is still usable
        result.append(u.focus == u.focus_range[1])
    """)).result
    assert out == [e for _, e in BAD_ARGUMENTS] + [0, True]


# Each exception class, raised by what a unit did: set-up before opening, whether a session is
# opened, set-up after, the call, the exception and the start of its text.
FAILURES = {
    "transport": ("", True, "u.unplug()", "s.media_loaded()", "TransportError", "io error: "),
    "busy": ("", True, "", "vexlor.Session(where)", "DeviceBusy", "another initiator holds the scanner"),
    "not_a_scanner": ("u.set_device_type(3)", False, "", "vexlor.Session(where)", "DeviceNotFound", "no such scanner"),
    "media": ("", True, "u.loaded = False", "s.autofocus(0, 0)", "MediaError", "No film or holder is loaded"),
    "unsupported": ("", True, "", "s.focus_to(u.focus_range[1] + 1)", "UnsupportedError", "focus position: "),
    "unsettled": ("", True, "u.attention(16)", "s.focus_position()", "UnsupportedError",
                  "command: the unit raised 16 unit attentions without running it, last Reset"),
    "no_focus_move": ("u.drop_op(0xC1)", True, "", "s.focus_to(100)", "UnsupportedError",
                      "execute operation: this unit does not offer FocusMove"),
    "hardware": ("", True, "u.fail(0xE1)", "s.focus_position()", "ScannerError", "scanner fault: hardware error"),
    "out_of_focus": ("", True, "u.focus_found = False", "s.autofocus(0, 0)", "ScannerError",
                     "scanner fault: autofocus did not reach focus"),
}


@pytest.mark.parametrize("before, opened, after, call, error, text", FAILURES.values(), ids=list(FAILURES))
@pytest.mark.parametrize("model", ["LS-5000", "LS-9000"])
def test_unit_failures_raise_their_exception(emulated, model, before, opened, after, call, error, text):
    if error == "DeviceNotFound" and PLACES[model][0] == "sg":
        text = "no scanner matched"  # a node that answers as no scanner is never listed
    out = emulated(code(PRELUDE, unit_for(model), f"""
        import vexlor
        {before}
        s = vexlor.Session(where) if {opened} else None
        {after}
        try:
            {call}
            result = ['no error', '']
        except vexlor.ScannerError as e:
            result = [type(e).__name__, str(e), getattr(e, 'op', None), getattr(e, 'reason', None)]
        if s is not None and {error!r} != 'TransportError':
            s.media_loaded()  # the session stays usable
            result.append(u.reserved)
    """)).result
    assert out[0] == error, out
    assert out[1].startswith(text), out
    if error == "UnsupportedError":
        # The attributes carry the two halves of the message.
        assert out[1] == f"{out[2]}: {out[3]}" and out[2] == text.split(":")[0]
    if opened and error != "TransportError":
        assert out[4] is True


def test_units_that_misbehave(emulated):
    out = emulated(code(PRELUDE, """
        a = tb.add_usb('LS-50', 1, [2])
        b = tb.add_usb('LS-5000', 1, [3])
        c = tb.add_usb('LS-40', 1, [4], inquiry='short')
        d = tb.add_sg('sg0', 'LS-8000')
        e = tb.add_sg('sg1', 'LS-4000')
        a.set_page(0xE1, bytes([0x06, 0xE1, 0x00]))
        b.set_page(0xC1, bytes([0x06, 0xC8, 0x00, 0x00, 0x00]))
        d.set_page(0xC8, bytes([0x06, 0xC8, 0x00, 0x01]))  # says one frame, carries none
        e.set_record(0x91, bytes([1, 2, 3]))               # curves that match nothing
        import vexlor
        result = {}
        for name, unit, where in [('short_page', a, 'usb:001-2'), ('wrong_code', b, 'usb:001-3'),
                                  ('short_inquiry', c, 'usb:001-4'), ('bad_frames', d, '/dev/sg0')]:
            try:
                vexlor.Session(where)
                result[name] = 'opened'
            except vexlor.ScannerError as x:
                result[name] = [type(x).__name__, str(x), unit.reserved]
        with vexlor.Session('/dev/sg1') as s:
            result['garbage_curves'] = s.media_loaded()
    """), timeout=30).result
    assert out["short_page"] == ["ScannerError", "page E1h truncated: need 4 bytes, got 3", False]
    assert out["wrong_code"] == ["ScannerError", "page C1h byte 1: page code = 0xc8", False]
    assert out["short_inquiry"] == ["ScannerError", "page 00h truncated: need 36 bytes, got 35", False]
    assert out["bad_frames"][0] == "ScannerError" and out["bad_frames"][2] is False
    assert out["garbage_curves"] is True


# A record whose kind (byte 0) is CCD data, and one the session cannot parse (empty).
CCD_REQUEST = "bytes([7, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8])"


def test_cooperation_requests(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-9000"), OPS, f"""
        import vexlor
        s = vexlor.Session(where)
        result = {{}}
        u.cooperate(GET_PARAMETER, {CCD_REQUEST})
        result['once'] = ops(s.focus_position)
        u.cooperate(GET_PARAMETER, {CCD_REQUEST}, times=2)
        result['twice'] = ops(s.focus_position)
        u.cooperate(GET_PARAMETER, b'')
        result['empty'] = ops(s.focus_position)
        result['after'] = ops(s.focus_position)
        result['reads'] = u.cooperation_reads
    """.replace("GET_PARAMETER", str(GET_PARAMETER)))).result
    read = 0x28
    # Asked, read (header, then record), asked again: the command runs on its second issue.
    assert out["once"][1] == [GET_PARAMETER, read, read, GET_PARAMETER]
    assert isinstance(out["once"][0], int)
    assert out["twice"] == [["UnsupportedError", "host cooperation: the unit asked for CcdData twice over"],
                            [GET_PARAMETER, read, read, GET_PARAMETER, read, read]]
    assert out["empty"] == [["TransportError", "io error: Cooperation was 0 bytes"], [GET_PARAMETER, read, read]]
    assert isinstance(out["after"][0], int) and out["after"][1] == [GET_PARAMETER]
    assert out["reads"] == 8  # each READ of the request counts


def test_waits_out_a_unit_that_is_busy(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-50"), OPS, """
        import vexlor
        vexlor.init_logging()
        s = vexlor.Session(where)
        u.not_ready([(1, 2), (2, 1), (0, 1)])
        print('--- opened', file=sys.stderr, flush=True)
        result = ops(s.media_loaded)
    """), env={"RUST_LOG": "vexlor::session=debug"})
    assert out.result == [True, [TUR] * 5]
    after_open = out.stderr[out.stderr.index("--- opened"):]
    waits = [line for line in after_open.splitlines() if "waiting" in line]
    assert len(waits) == 3, out.stderr  # one note per change of activity


ABORT, RESERVE, MODE_SELECT = 0xC0, 0x16, 0x15


def test_units_lacking_commands_or_refusing_them_out_of_sequence(emulated):
    out = emulated(code(PRELUDE, """
        a = tb.add_usb('LS-50', 1, [2])   # no RESERVE UNIT, no LOAD or UNLOAD
        b = tb.add_usb('LS-40', 1, [3])   # refuses its first TEST UNIT READY: a scan of an earlier process
        c = tb.add_sg('sg0', 'LS-4000')   # a scan left open and no ABORT to stop it
        d = tb.add_sg('sg1', 'LS-8000')   # takes MODE SELECT with a note
        a.refuse(0x16)
        a.drop_op(0xD1)
        a.drop_op(0xD0)
        b.refuse(0x00, how='sequence', times=1)
        c.scanning = True
        c.refuse(0xC0)
        d.adjust(0x15)
        import vexlor
        vexlor.init_logging()
        result = {}
        with vexlor.Session('usb:001-2') as s:
            n = len(a.log())
            result['no_reserve'] = a.reserved
            result['no_load'] = [s.load(), s.eject(), a.opcodes()[n:]]
        result['no_release'] = a.opcodes()[-1]
        with vexlor.Session('usb:001-3') as s:
            ops = b.opcodes()
            result['stale'] = ops[ops.index(0x00):ops.index(0x00) + 5]
        try:
            vexlor.Session('/dev/sg0')
        except vexlor.ScannerError as e:
            result['no_abort'] = [type(e).__name__, str(e), c.reserved, c.scanning]
        with vexlor.Session('/dev/sg1') as s:
            result['adjusted'] = d.divisor
    """), env={"RUST_LOG": "vexlor::session=debug"})
    r = out.result
    assert r["no_reserve"] is False
    assert r["no_load"] == [False, False, []]
    assert r["no_release"] != RELEASE
    assert r["stale"] == [TUR, ABORT, TUR, TUR, GET_WINDOW]
    # Without ABORT the scan stays open, and the next command that would disturb it is refused.
    assert r["no_abort"][0] == "ScannerError" and "command sequence error" in r["no_abort"][1]
    assert r["no_abort"][2:] == [False, True]
    assert r["adjusted"] == 4000
    for note in ["this unit has no RESERVE UNIT", "this unit has no LOAD", "this unit has no UNLOAD",
                 "a scan was still valid from the last process, stopping it", "this unit has no ABORT",
                 "the scanner had a note about that"]:
        assert note in out.stderr, note
