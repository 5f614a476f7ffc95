# The frame methods against emulated units: argument conversion, focusing, metering by the unit
# itself, discovery without a thumbnail, the recipe a scan sets, and the failures and locking
# around them. What the scans bring back is test_scan_film.py's.
import pytest

from test_session import PRELUDE, code, unit_for

SCAN, READ, SET_WINDOW, EXECUTE = 0x1B, 0x28, 0x24, 0xE0

# A frame on an LS-5000: x stays within its 0 to 150 origin reach.
FRAME = (1000, 0, 3000, 100)

# Calls whose arguments fail conversion, or whose recipe the unit refuses: the error's class and
# a piece of its text. None of them may send anything to the unit.
BAD_CALLS = [
    ("s.scan_frame([1000, 0, 3000, 100])", "TypeError", "scan_frame(): argument 'frame' must be tuple, not list"),
    ("s.scan_frame((1000, 0, 3000))", "ValueError", "'frame' must be a tuple of 4 ints"),
    ("s.scan_frame((1000, 0, 3000, -1))", "OverflowError", "'frame' must be an integer from 0 to 4294967295"),
    ("s.scan_frame((1000, 0, 3000, 2**32))", "OverflowError", "'frame'"),
    ("s.scan_frame((1000, 0, 3000, 1.5))", "TypeError", "'frame' must be int, not float"),
    ("s.scan_frame(F, dpi=70000)", "OverflowError", "'dpi' must be an integer from 0 to 65535"),
    ("s.scan_frame(F, dpi='4000')", "TypeError", "'dpi' must be int, not str"),
    ("s.scan_frame(F, samples=None)", "TypeError", "'samples' must be int, not NoneType"),
    ("s.scan_frame(F, samples=256)", "OverflowError", "'samples'"),
    ("s.scan_frame(F, superfine=1)", "TypeError", "'superfine' must be bool, not int"),
    ("s.scan_frame(F, infrared=None)", "TypeError", "'infrared' must be bool, not NoneType"),
    ("s.scan_frame(F, clean='yes')", "TypeError", "'clean' must be bool"),
    ("s.scan_frame(F, lock_white_balance=0)", "TypeError", "'lock_white_balance' must be bool"),
    ("s.scan_frame(F, exposures=[('red', 1)])", "TypeError", "'exposures' must be dict, not list"),
    ("s.scan_frame(F, exposures={1: 2})", "TypeError", "'exposures'"),
    ("s.scan_frame(F, exposures={'red': -1})", "OverflowError", "'exposures'"),
    ("s.scan_frame(F, exposures={'red': 2**32})", "OverflowError", "'exposures'"),
    ("s.scan_frame(F, exposures={'red': 1.0})", "TypeError", "'exposures' must be int, not float"),
    # A key's own lower() runs, and what it raises or answers wrongly is the caller's error.
    ("s.scan_frame(F, exposures={Shouting('red'): 100})", "ValueError", "no lower case here"),
    ("s.scan_frame(F, exposures={Numbered('red'): 100})", "TypeError",
     "'exposures' must be a dict whose keys lower() to str, not int"),
    ("s.scan_frame(F, focus=70000)", "ValueError", 'focus is "auto", "hold", a position, or an (x, y) point, not 70000'),
    ("s.scan_frame(F, focus=-1)", "ValueError", "not -1"),
    ("s.scan_frame(F, focus=[0.25, 0.75])", "ValueError", "not [0.25, 0.75]"),
    ("s.scan_frame(F, focus=0.5)", "ValueError", "not 0.5"),
    ("s.scan_frame(F, focus=(0.5, 'top'))", "ValueError", "not (0.5, 'top')"),
    ("s.scan_frame(F, focus=(0.5, 0.5, 0.5))", "ValueError", "point"),
    ("s.scan_frame(F, focus='centre')", "ValueError", "not centre"),
    ("s.scan_frame(F, focus='autos')", "ValueError", "not autos"),
    ("s.scan_frame(F, focus=True)", "TypeError", 'focus is "auto", "hold", a position, or an (x, y) point, not True'),
    ("s.focus_frame(F, focus=False)", "TypeError", "not False"),
    ("s.scan_frame(F, progress=42)", "TypeError", "scan_frame(): argument 'progress' must be callable or None, not int"),
    ("s.meter_frame(F, progress='print')", "TypeError", "meter_frame(): argument 'progress' must be callable or None"),
    ("s.discover_frames(progress=42)", "TypeError", "discover_frames(): argument 'progress' must be callable or None"),
    ("s.scan_frame(F, bogus=1)", "TypeError", "'bogus'"),
    ("s.scan_frame()", "TypeError", "'frame'"),
    ("s.scan_frame(F, None, 1, False, False, False, True, None, None, None, 1)", "TypeError", "scan_frame"),
    # Recipes the unit refuses end the call before anything is sent.
    ("s.scan_frame(F, dpi=50)", "UnsupportedError", "scan resolution: 50 dpi is outside the 100 to 4000"),
    ("s.scan_frame(F, samples=0)", "UnsupportedError", ""),
    ("s.scan_frame(F, samples=17)", "UnsupportedError", ""),
    ("s.meter_frame([1000, 0, 3000, 100])", "TypeError", "meter_frame(): argument 'frame' must be tuple, not list"),
    ("s.meter_frame(F, infrared=1)", "TypeError", "'infrared' must be bool"),
    ("s.meter_frame(F, lock_white_balance=None)", "TypeError", "'lock_white_balance' must be bool"),
    ("s.meter_frame(F, dpi=4000)", "TypeError", "'dpi'"),
    ("s.focus_frame((1, 2, 3, 4, 5))", "ValueError", "'frame' must be a tuple of 4 ints"),
    ("s.focus_frame(F, focus=[1, 2])", "ValueError", "not [1, 2]"),
    ("s.focus_frame(F, 'sharp')", "ValueError", "not sharp"),
    ("s.discover_frames('35mm')", "ValueError", "'35mm' is neither a film format nor a height in mm"),
    ("s.discover_frames(format='aps ')", "ValueError", "'aps ' is neither"),
    ("s.discover_frames(format=135)", "TypeError", "discover_frames(): argument 'format' must be str, not int"),
    ("s.icc_profile(3)", "TypeError", "icc_profile(): argument 'film' must be str, not int"),
    ("s.icc_profile('colour')", "RuntimeError", 'unknown film type "colour"'),
]

RUN_CALLS = f"""
import vexlor
F = {FRAME!r}

class Shouting(str):
    def lower(self):
        raise ValueError('no lower case here')

class Numbered(str):
    def lower(self):
        return 7

def outcome(call):
    try:
        eval(call)
        return ['ran', '']
    except Exception as e:
        return [type(e).__name__, str(e)]
"""


def test_bad_arguments_and_refused_recipes_reach_nothing(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), RUN_CALLS, f"""
        s = vexlor.Session(where)
        n = len(u.log())
        result = [outcome(call) for call in {[c for c, _, _ in BAD_CALLS]!r}]
        result.append(len(u.log()) - n)
    """)).result
    *raised, sent = out
    for (call, error, text), (got, message) in zip(BAD_CALLS, raised):
        assert got == error, (call, message)
        assert text in message, call
    assert sent == 0


# Every member but close and the context manager refuses a closed session, after its arguments converted.
CLOSED_CALLS = [
    ("s.capabilities", "ScannerError", "session is closed"),
    ("s.icc_profile('mono')", "ScannerError", "session is closed"),
    ("s.icc_profile('bogus')", "RuntimeError", 'unknown film type "bogus"'),  # parsed before the state is seen
    ("s.discover_frames()", "ScannerError", "session is closed"),
    ("s.discover_frames('NOPE')", "ValueError", "'NOPE' is neither a film format nor a height in mm"),
    ("s.scan_frame(F)", "ScannerError", "session is closed"),
    ("s.scan_frame(F, focus=1.5)", "ValueError", 'focus is "auto", "hold", a position, or an (x, y) point, not 1.5'),
    ("s.meter_frame(F, True, False, print)", "ScannerError", "session is closed"),
    ("s.focus_frame(F, 'hold')", "ScannerError", "session is closed"),
    ("s.close()", "ran", ""),
]


def test_a_closed_session(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), RUN_CALLS, f"""
        s = vexlor.Session(where)
        s.close()
        n = len(u.log())
        result = [outcome(call) for call in {[c for c, _, _ in CLOSED_CALLS]!r}] + [len(u.log()) - n]
    """)).result
    assert out == [[e, t] for _, e, t in CLOSED_CALLS] + [0]


# focus_frame's forms of `focus` on an LS-5000, over FRAME: the autofocus point it sent (x, y),
# or the lens position it moved to, and what it answered.
FOCUS_FORMS = [
    ("None", [50, 2000], "focused"),
    ("'AUTO'", [50, 2000], "focused"),
    ("'auto'", [50, 2000], "focused"),
    ("(0.25, 0.75)", [25, 2500], "focused"),
    ("(0, 1)", [0, 3000], "focused"),
    ("'Hold'", None, "skipped"),
    ("400", 400, "focused"),
]


def test_focus_frame_forms(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), RUN_CALLS, f"""
        s = vexlor.Session(where)
        result = []
        for form in {[f for f, _, _ in FOCUS_FORMS]!r}:
            n = len(u.log())
            name, position = s.focus_frame(F, eval(form))
            sent = u.log(with_data=True)[n:]
            executes = [out for cdb, out in sent if cdb[0] == {EXECUTE}]
            if form == '400':
                did = u.focus
            elif executes:
                p = executes[0]
                did = [int.from_bytes(p[1:5], 'big'), int.from_bytes(p[5:9], 'big')]
            else:
                did = None
            result.append([did, name, position == u.focus])
    """)).result
    assert out == [[did, name, True] for _, did, name in FOCUS_FORMS]


def test_focus_frame_that_misses_answers_not_reached(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), RUN_CALLS, """
        s = vexlor.Session(where)
        u.focus_found = False
        got = s.focus_frame(F)
        result = [type(got).__name__, got[0], got[1] == u.focus, outcome('s.autofocus(50, 2000)')[0],
                  outcome('s.focus_frame(F, 70000)'), outcome('s.focus_frame(F, u.focus_range[1] + 1)')[0]]
    """)).result
    assert out == ["tuple", "not_reached", True, "ScannerError",
                   ["ValueError", 'focus is "auto", "hold", a position, or an (x, y) point, not 70000'],
                   "UnsupportedError"]


def test_discovery_without_a_thumbnail(emulated):
    # The LS-9000 publishes its frame table; the LS-5000 places frames at the address page's pitch.
    out = emulated(code(PRELUDE, """
        a = tb.add_sg('sg0', 'LS-9000')
        b = tb.add_usb('LS-5000', 1, [2])
        import vexlor
        result = {}
        for where in ['/dev/sg0', 'usb:001-2']:
            calls = []
            with vexlor.Session(where) as s:
                d = s.discover_frames(progress=lambda *a: calls.append(a))
                same = d.frames == d.frames and d.frames is not d.frames
                result[where] = [type(d).__name__, d.frames[:2], len(d.frames), d.thumbnail, d.addresses_per_column,
                                 d.contrast, d.thumbnail_complete, d.thumbnail_blocks, calls, same,
                                 s.discover_frames('135', None).frames == d.frames]
    """)).result
    nine = out["/dev/sg0"]
    assert nine[0] == "Discovery" and nine[2] == 3 and nine[3:] == [None, None, None, None, None, [], True, True]
    five = out["usb:001-2"]
    assert five[0] == "Discovery" and five[2] >= 1 and five[3:9] == [None, None, None, None, None, []]
    for frames in (nine[1], five[1]):
        assert all(len(f) == 4 and f[0] < f[2] and f[1] < f[3] for f in frames)


def test_meter_frame_by_the_units_own_exposure_pass(emulated):
    # The emulated units run an exposure pass themselves (it leaves the times as they were); the
    # answer is keyed by channel name and carries the infrared channel when asked for.
    out = emulated(code(PRELUDE, """
        a = tb.add_usb('LS-5000', 1, [2])
        b = tb.add_usb('LS-50', 1, [3])
        import vexlor
        result = {}
        for where, infrared in [('usb:001-2', False), ('usb:001-2', True), ('usb:001-3', False)]:
            calls = []
            with vexlor.Session(where) as s:
                got = s.meter_frame((1000, 0, 3000, 100), infrared, progress=lambda *a: calls.append(a))
                result[where + str(infrared)] = [sorted(got), all(type(v) is int for v in got.values()), calls]
    """)).result
    assert out == {
        "usb:001-2False": [["blue", "green", "red"], True, []],
        "usb:001-2True": [["blue", "green", "infrared", "red"], True, []],
        "usb:001-3False": [["default"], True, []],
    }


# scan_frame's recipe and exposures as the windows it sets show them, on an LS-5000. Each row:
# keyword arguments (focus "hold" besides), then the windows of the image pass as (id, x dpi,
# interleaving, readings - 1, exposure) and the number of SCANs (two when the unit's exposure pass
# ran first, which leaves its exposures in the windows: METERED stands for any it chose).
METERED = -1
RECIPES = [
    ("exposures={'Red': 10000, 'GREEN': 20000, 'blue': 30000, 'magenta': 5}",
     [(1, 4000, 0x40, 0, 10000), (2, 4000, 0x40, 0, 20000), (3, 4000, 0x40, 0, 30000)], 1),
    # Two keys that fold to one channel: the later one wins.
    ("exposures={'red': 10000, 'RED': 20000}", [(1, 4000, 0x40, 0, 20000), (2, 4000, 0x40, 0, 0), (3, 4000, 0x40, 0, 0)], 1),
    # An empty dict is still given: nothing is metered.
    ("exposures={}", [(1, 4000, 0x40, 0, 0), (2, 4000, 0x40, 0, 0), (3, 4000, 0x40, 0, 0)], 1),
    ("exposures=None", [(1, 4000, 0x40, 0, METERED), (2, 4000, 0x40, 0, METERED), (3, 4000, 0x40, 0, METERED)], 2),
    ("superfine=True, exposures={}", [(1, 4000, 0x02, 0, 0), (2, 4000, 0x02, 0, 0), (3, 4000, 0x02, 0, 0)], 1),
    ("infrared=True, exposures={}", [(1, 4000, 0x40, 0, 0), (2, 4000, 0x40, 0, 0), (3, 4000, 0x40, 0, 0), (9, 4000, 0x40, 0, 0)], 1),
    # Cleaning needs the infrared plane, asked for or not.
    ("clean=True, exposures={'infrared': 40000}",
     [(1, 4000, 0x40, 0, 0), (2, 4000, 0x40, 0, 0), (3, 4000, 0x40, 0, 0), (9, 4000, 0x40, 0, 40000)], 1),
    ("dpi=2000, samples=4, exposures={}", [(1, 2000, 0x40, 3, 0), (2, 2000, 0x40, 3, 0), (3, 2000, 0x40, 3, 0)], 1),
]


def test_scan_frame_recipe_and_exposures_reach_the_windows(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), RUN_CALLS, f"""
        s = vexlor.Session(where)
        result = []
        for kwargs in {[k for k, _, _ in RECIPES]!r}:
            n = len(u.log())
            calls = []
            got = outcome(f"s.scan_frame(F, focus='hold', progress=lambda *a: calls.append(a), {{kwargs}})")
            sent = u.log(with_data=True)[n:]
            scans = [i for i, (cdb, _) in enumerate(sent) if cdb[0] == {SCAN}]
            last = [d[8:] for cdb, d in sent[scans[-2] + 1 if len(scans) > 1 else 0:scans[-1]] if cdb[0] == {SET_WINDOW}]
            windows = [[w[0], int.from_bytes(w[2:4], 'big'), w[44], w[40] >> 4, int.from_bytes(w[46:50], 'big')]
                       for w in sorted(last, key=lambda w: w[0])]
            result.append([windows, len(scans), got, sorted({{c[:2] for c in calls}})])
        result.append(s.media_loaded())  # still usable
    """)).result
    *rows, usable = out
    for (kwargs, windows, scans), got in zip(RECIPES, rows):
        metered = [w[:4] + [METERED if w[4] > 0 else 0] for w in got[0]]
        assert [metered if scans == 2 else got[0]] + got[1:] == [[list(w) for w in windows], scans, ["ran", ""],
                                                                  [["scan", 0]]], kwargs
    assert usable is True


def test_members_wait_for_a_frame_call_without_holding_up_other_threads(emulated):
    # focus_frame runs an autofocus the unit keeps busy for ten polls (about a second); meanwhile
    # capabilities and icc_profile on the same session wait for it, and other threads keep running.
    out = emulated(code(PRELUDE, unit_for("LS-5000"), f"""
        import threading
        import vexlor
        s = vexlor.Session(where)
        u.takes(0xA0, 10)
        order, ticks, done = [], [0], threading.Event()

        def count():
            while not done.is_set():
                ticks[0] += 1
                time.sleep(0.001)

        def focus():
            order.append(s.focus_frame({FRAME!r})[0])

        counter, worker = threading.Thread(target=count), threading.Thread(target=focus)
        counter.start()
        mark = len(u.log())
        worker.start()
        while not any(c[0] == {EXECUTE} and c[2] == 0xA0 for c in u.log()[mark:]):
            time.sleep(0.005)
        before = ticks[0]
        model = s.capabilities.model
        sent_by_then = len(u.log())
        size = len(s.icc_profile('positive'))
        worker.join(30)
        done.set()
        counter.join()
        # Every command of focus_frame (the last reads the lens position) had gone out by then.
        result = [order, model, size, sent_by_then == len(u.log()), u.opcodes()[-1], ticks[0] - before > 50]
    """)).result
    assert out == [["focused"], "LS-5000", 223268, True, 0xE1, True]
