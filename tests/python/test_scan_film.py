# Scans from Python over the emulated unit's film, end to end: the arrays against what the unit
# meant, progress, cancelling, callbacks that misbehave, threads, and the README's example.
import re
from pathlib import Path

import pytest

from test_session import PLACES, PRELUDE, code, unit_for

SCAN, ABORT, RELEASE = 0x1B, 0xC0, 0x17

# Units that scan their colours in one default window take no infrared plane, so nothing to clean.
ONE_WINDOW = {"LS-40", "LS-50"}
NO_INFRARED = "this unit scans its colors in one default window, which cannot be scanned alongside infrared"

# Helpers for the snippets: what the unit meant for the last pass, and how far an array is from it.
TRUTH = """
import gc
import threading
import numpy
import vexlor
NAMES = {0: 'default', 1: 'red', 2: 'green', 3: 'blue', 9: 'infrared'}

def meant(unit, window, specks=True, full_scale=True):
    l = unit.pass_layout()
    return numpy.frombuffer(unit.pass_plane(window, specks, full_scale), numpy.uint16).reshape(l['pixels'], l['lines'])

def marks(unit):
    l = unit.pass_layout()
    return numpy.frombuffer(unit.pass_marks(), numpy.uint8).reshape(l['pixels'], l['lines']).astype(bool)

def excess(got, want, corrected):
    # Rows read at once differ in gain and the host's curves take it out only approximately.
    diff = numpy.abs(got.astype(numpy.int64) - want.astype(numpy.int64))
    allowed = 3 + want.astype(numpy.int64) * 5 // 100 if corrected else 0
    return diff - allowed

def off_by(got, want, corrected):
    return int(excess(got, want, corrected).max(initial=0))

def arrays(unit, r):
    # Each window of the pass: its name, whether the result's array matches it in shape and type,
    # and how far its samples are from what the unit meant (0: within what the pass allows).
    l = unit.pass_layout()
    out = []
    for i, c in enumerate(l['channels']):
        a = r.ir if c == 9 else r.colors[NAMES[c]]
        out.append([NAMES[c], a.shape == (r.rows, r.cols) == (l['pixels'], l['lines']), str(a.dtype),
                    off_by(a, meant(unit, i), l['corrected'])])
    return out

def film_frame(unit, share=1.0):
    # The middle of the first frame on the unit's film, `share` of its size each way, as a rectangle.
    f = unit.film()['frames'][0]
    dy, dx = int(f['length'] * (1 - share) / 2), int(f['width'] * (1 - share) / 2)
    return (f['top'] + dy, f['left'] + dx, f['top'] + f['length'] - dy, f['left'] + f['width'] - dx)
"""


def on(model, snippet):
    return code(PRELUDE, unit_for(model), TRUTH, snippet)


@pytest.mark.parametrize("model", list(PLACES))
def test_the_frame_methods_on_each_model(emulated, model):
    # Discovery, metering, focusing, a plain scan, one with infrared, one that cleans, and a profile.
    out = emulated(on(model, """
        result = {}
        with vexlor.Session(where) as s:
            optical = s.capabilities.optical_dpi
            low = optical // 4
            calls = []
            d = s.discover_frames(progress=lambda *a: calls.append(a))
            took = d.thumbnail is not None
            result['discover'] = [len(d.frames) >= 1, took == s.capabilities.thumbnail == bool(calls),
                                  all(c[0] == 'discover' and c[1] == 0 for c in calls),
                                  (calls[-1][2] == calls[-1][3] == u.pass_layout()['total']) if took else True]
            if took:
                # The thumbnail is the unit's last pass, at the depth the unit sent it; its infrared
                # plane is not handed out.
                l = u.pass_layout()
                result['thumbnail'] = [[NAMES[c], off_by(d.thumbnail[NAMES[c]], meant(u, i, True, False), l['corrected'])]
                                       for i, c in enumerate(l['channels']) if c != 9] + [sorted(d.thumbnail)]
            # Discovery's frames depend on how the unit frames; the film's own frame is what is scanned.
            frame = film_frame(u, 0.5)
            result['meter'] = [sorted(s.meter_frame(frame))]
            try:
                result['meter'].append(sorted(s.meter_frame(frame, True)))
            except vexlor.UnsupportedError as e:
                result['meter'].append(str(e))
            name, position = s.focus_frame(frame)
            result['focus'] = [name, position == u.focus]

            calls = []
            r = s.scan_frame(frame, dpi=low, focus='hold', progress=lambda *a: calls.append(a))
            l = u.pass_layout()
            result['plain'] = [sorted(r.colors), r.ir is None, r.cleaned, r.complete, r.focused, r.dpi == l['dpi'],
                               arrays(u, r)]
            scans = [c for c in calls if c[0] == 'scan']
            result['progress'] = [all(c[1] == 0 and c[3] == l['total'] for c in scans),
                                  [c[2] for c in scans] == sorted(c[2] for c in scans), scans[-1][2] == l['total'],
                                  all(c[0] == 'meter' and c[1] >= 1 for c in calls if c not in scans)]
            for key, kwargs in [('infrared', dict(infrared=True)), ('clean', dict(clean=True))]:
                try:
                    r = s.scan_frame(frame, dpi=low, focus='hold', **kwargs)
                    result[key] = [sorted(r.colors), r.ir is not None, type(r.cleaned).__name__, arrays(u, r)]
                except vexlor.UnsupportedError as e:
                    result[key] = str(e)
            profile = s.icc_profile('positive')
            result['icc'] = profile[36:40].decode() if profile else None
    """)).result
    colours = ["default"] if model in ONE_WINDOW else ["blue", "green", "red"]
    assert out["discover"] == [True, True, True, True]
    if "thumbnail" in out:
        *planes, left = out["thumbnail"]
        assert sorted(name for name, _ in planes) == colours == left and all(off == 0 for _, off in planes)
    assert out["meter"][0] == colours
    assert NO_INFRARED in out["meter"][1] if model in ONE_WINDOW else out["meter"][1] == sorted(colours + ["infrared"])
    assert out["focus"] == ["focused", True]
    names = [a[0] for a in out["plain"][-1]]
    assert out["plain"][:-1] == [colours, True, None, True, "skipped", True] and sorted(names) == colours
    for name, shaped, dtype, off in out["plain"][-1]:
        assert (shaped, dtype, off) == (True, "uint16", 0), name
    assert out["progress"] == [True, True, True, True]
    if model in ONE_WINDOW:
        assert NO_INFRARED in out["infrared"] and NO_INFRARED in out["clean"]
    else:
        assert out["infrared"][:3] == [colours, True, "NoneType"]
        for name, shaped, dtype, off in out["infrared"][3]:
            assert (shaped, dtype, off) == (True, "uint16", 0), name
        assert out["clean"][:3] == [colours, True, "int"]
    assert out["icc"] == "acsp"


# Specks on the first frame of any model's film, as fractions of the frame: (mark, across, along, size in addresses).
SPECKS = [("dust", 0.3, 0.3, 24), ("dust", 0.6, 0.5, 12), ("hair", 0.2, 0.7, 400)]


@pytest.mark.parametrize("model", sorted(set(PLACES) - ONE_WINDOW))
def test_cleaning_removes_the_dust_the_unit_drew(emulated, model):
    # Where a speck lies, the cleaned colours come close to the film without it; elsewhere they keep
    # what the unit sent.
    out = emulated(on(model, f"""
        f = u.film()['frames'][0]
        u.set_specks([(m, f['left'] + int(f['width'] * a), f['top'] + int(f['length'] * b), size)
                      for m, a, b, size in {SPECKS!r}])
        result = {{}}
        with vexlor.Session(where) as s:
            frame = film_frame(u)
            dpi = s.capabilities.optical_dpi // 4
            r = s.scan_frame(frame, dpi=dpi, focus='hold', clean=True)
            l = u.pass_layout()
            under = marks(u)
            # The ring of pixels round a speck is half in its shadow; leave it out of both measures.
            near = under.copy()
            for shift in range(1, 4):
                for axis in (0, 1):
                    near |= numpy.roll(under, shift, axis) | numpy.roll(under, -shift, axis)
            for i, c in enumerate(l['channels']):
                if c == 9:
                    continue
                got, dusty, clean = r.colors[NAMES[c]].astype(float), meant(u, i).astype(float), meant(u, i, False).astype(float)
                result[NAMES[c]] = [round(float(numpy.abs(dusty - clean)[under].mean()), 1),
                                    round(float(numpy.abs(got - clean)[under].mean()), 1),
                                    round(float((excess(got, dusty, l['corrected']) > 0)[~near].mean()), 5)]
            result['cleaned'] = r.cleaned
            result['marked'] = int(under.sum())
    """)).result
    assert out["marked"] > 50 and out["cleaned"] >= out["marked"] // 2
    for name in ("red", "green", "blue"):
        before, after, elsewhere = out[name]
        assert after < before / 4, (name, out[name])
        assert elsewhere < 0.01, (name, out[name])


# What a progress callback answers on its third call, and whether that stops the pass: only a
# False boolean (Python's or NumPy's) does.
ANSWERS = [
    ("None", False), ("True", False), ("False", True), ("0", False), ("1", False), ("''", False), ("[]", False),
    ("numpy.bool_(False)", True), ("numpy.bool_(True)", False), ("numpy.int64(0)", False),
    ("numpy.float64(0.0)", False), ("numpy.array(False)", False),
]


def test_only_a_false_boolean_cancels_and_the_unit_stops(emulated):
    out = emulated(on("LS-5000", f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.25)
        result = []
        for answer in {[a for a, _ in ANSWERS]!r}:
            calls = []
            def progress(stage, index, done, total):
                calls.append([stage, index, done, total])
                return eval(answer) if len(calls) == 3 else None
            n = len(u.log())
            try:
                r = s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold', progress=progress)
                got = ['scanned', r.complete, arrays(u, r)]
            except vexlor.ScanCancelled as e:
                got = ['cancelled', str(e), len(calls)]
            sent = u.opcodes()[n:]
            scan = sent.index({SCAN})
            result.append([got, {ABORT} in sent[scan:], u.scanning, calls[-1][2] < u.pass_layout()['total']])
        # The session is still usable: the next scan runs to its end.
        r = s.scan_frame(frame, dpi=1000, focus='hold')
        result.append([r.complete, arrays(u, r)])
    """)).result
    *rows, last = out
    for (answer, stops), (got, aborted, scanning, short) in zip(ANSWERS, rows):
        if stops:
            assert [got, aborted, scanning, short] == [["cancelled", "scan cancelled", 3], True, False, True], answer
        else:
            assert got[:2] == ["scanned", True] and all(a[1:] == [True, "uint16", 0] for a in got[2]), answer
            assert [aborted, scanning, short] == [False, False, False], answer
    assert last[0] is True and all(a[1:] == [True, "uint16", 0] for a in last[1])


def test_callbacks_that_raise_call_back_in_or_are_no_callback(emulated):
    # A callback that raises is called again at the next chunk and the scan completes, its first
    # exception of the call shown as one CPython could not raise; one that calls into its own
    # session gets ScannerError there (the session is in this thread's call) and the scan goes on;
    # one that cannot take the arguments fails each call the same way.
    out = emulated(on("LS-5000", """
        s = vexlor.Session(where)
        frame = film_frame(u, 0.25)
        result = {}
        calls, threads = [], set()
        def raises(*args):
            calls.append(args[2])
            threads.add(threading.get_ident())
            raise ValueError('not now')
        r = s.scan_frame(frame, dpi=1000, exposures={}, focus='hold', progress=raises)
        result['raises'] = [len(calls) >= 2, calls[-1] == u.pass_layout()['total'], arrays(u, r),
                            threads == {threading.get_ident()}]

        inside = []
        def reenters(*args):
            for call in (s.media_loaded, lambda: s.capabilities, lambda: s.icc_profile('positive'), s.close,
                         lambda: s.scan_frame(frame)):
                try:
                    call()
                    inside.append('ran')
                except Exception as e:
                    inside.append([type(e).__name__, str(e)])
        r = s.scan_frame(frame, dpi=1000, exposures={}, focus='hold', progress=reenters)
        result['reenters'] = [inside[:5], all(x == y for x, y in zip(inside, inside[5:])), r.complete, s.media_loaded()]

        result['unusable'] = []
        for progress in [None, lambda a, b: False]:
            r = s.scan_frame(frame, dpi=1000, exposures={}, focus='hold', progress=progress)
            result['unusable'].append(r.complete)
    """))
    out, err = out.result, out.stderr
    # ... on the calling thread.
    assert out["raises"][:2] == [True, True] and all(a[1:] == [True, "uint16", 0] for a in out["raises"][2])
    assert out["raises"][3] is True
    assert err.count("ValueError: not now") == 1 and err.count("Exception ignored in") == 2
    held = ["ScannerError", "session is already in a call on this thread"]
    assert out["reenters"] == [[held] * 5, True, True, True]
    assert out["unusable"] == [True] * 2 and err.count("TypeError") == 1


def test_the_planes_become_arrays_that_outlive_the_result(emulated):
    out = emulated(on("LS-5000", """
        s = vexlor.Session(where)
        r = s.scan_frame(film_frame(u, 0.25), dpi=1000, infrared=True, exposures={}, focus='hold')
        red, ir = r.colors['red'], r.ir
        result = [red is r.colors['red'], r.colors is not r.colors, ir is r.ir, red.flags.owndata,
                  red.flags.c_contiguous, red.base is not None]
        want = meant(u, u.pass_layout()['channels'].index(1))
        view = red[1:3]
        del r, red
        gc.collect()
        result += [off_by(view, want[1:3], u.pass_layout()['corrected']) == 0, ir.shape == want.shape]
    """)).result
    assert out == [True, True, True, False, True, True, True, True]


def test_numpy_comes_in_before_the_pass(emulated):
    # Imported once memory runs short, NumPy's linear algebra can end the process; so it is imported
    # before the unit starts the pass, and the callbacks see it. Their answers still count.
    out = emulated(code(PRELUDE, unit_for("LS-5000"), """
        import vexlor
        f = u.film()['frames'][0]
        s = vexlor.Session(where)
        seen = []
        def progress(*args):
            seen.append('numpy' in sys.modules)
            return 0 if len(seen) % 2 else None
        r = s.scan_frame((f['top'], f['left'], f['top'] + 400, f['left'] + 400), exposures={}, focus='hold',
                         progress=progress)
        result = [len(seen) >= 2, any(seen), r.complete, 'numpy' in sys.modules]
    """)).result
    assert out == [True, True, True, True]


# Faults of the unit's image READs and what the scan makes of them: the exception, or whether the
# pass came complete; and whether the unit was stopped with ABORT.
FAULTS = [
    ("end_at=150000", ["scanned", False], True),
    ("end_at=150000, ili=True", ["scanned", False], True),
    ("fail_at=4", ["ScannerError", None], True),
]


def test_image_read_faults(emulated):
    out = emulated(on("LS-9000", f"""
        s = vexlor.Session(where)
        frame = film_frame(u, 0.3)
        result = []
        for faults in {[f for f, _, _ in FAULTS]!r}:
            eval(f"u.script_image({{faults}})")
            n = len(u.log())
            try:
                r = s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold')
                got = ['scanned', r.complete, r.blocks]
            except vexlor.ScannerError as e:
                got = [type(e).__name__, None]
            result.append([got, {ABORT} in u.opcodes()[n:], u.scanning])
        u.script_image()
        r = s.scan_frame(frame, dpi=1000, focus='hold', exposures={{}})
        result.append([r.complete, arrays(u, r)])
    """)).result
    *rows, last = out
    for (faults, outcome, aborted), (got, sent_abort, scanning) in zip(FAULTS, rows):
        assert got[:2] == outcome and sent_abort == aborted and scanning is False, faults
    assert last[0] is True and all(a[1:] == [True, "uint16", 0] for a in last[1])


def test_close_from_another_thread_waits_for_the_scan(emulated):
    # The unit delivers slowly; close() from a second thread waits for the scan, whose callbacks
    # keep coming meanwhile, and then releases the unit.
    out = emulated(on("LS-5000", f"""
        import threading
        s = vexlor.Session(where)
        frame = film_frame(u, 0.25)
        u.script_image(rate=4_000_000)
        events, started = [], threading.Event()
        def progress(stage, index, done, total):
            started.set()
            events.append('report')
        def scan():
            r = s.scan_frame(frame, dpi=1000, infrared=True, exposures={{}}, focus='hold', progress=progress)
            events.append(['scanned', r.complete])
        worker = threading.Thread(target=scan)
        worker.start()
        started.wait(30)
        events.append('closing')
        s.close()
        events.append('closed')
        worker.join(60)
        at = events.index('closing')
        result = [events[-2:], 'report' in events[at:], u.reserved, u.opcodes()[-1]]
        try:
            s.media_loaded()
        except vexlor.ScannerError as e:
            result.append(str(e))
    """)).result
    assert out == [[["scanned", True], "closed"], True, False, RELEASE, "session is closed"]


def readme_example():
    text = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    block = re.search(r"^## Use\n\n((?:    .*\n|\n)+)", text, re.M)
    assert block, "README has no example under ## Use"
    return "\n".join(line[4:] for line in block.group(1).splitlines())


def test_the_readme_example_runs(emulated):
    # As shown, against an LS-8000, which finds its frames on a thumbnail.
    example = readme_example()
    out = emulated(code(PRELUDE, """
        import io
        u = tb.add_sg('sg0', 'LS-8000')
        shown, sys.stdout = sys.stdout, io.StringIO()
    """, example, """
        printed, sys.stdout = sys.stdout.getvalue().splitlines(), shown
        result = [printed, sorted(r.colors), r.colors['red'].shape, r.ir.shape, str(r.ir.dtype), type(r.cleaned).__name__,
                  u.loaded, u.reserved]
    """), timeout=300)
    printed, colours, red, ir, *rest = out.result
    assert printed[:2] == ["/dev/sg0 VEXEMU LS-8000 ED", "LS-8000 thumbnail"]
    reports = [line.split() for line in printed[2:-1]]
    assert reports and all(r[:2] == ["discover", "0"] for r in reports) and reports[-1][2] == reports[-1][3]
    assert re.fullmatch(r"\('focused', \d+\)", printed[-1])
    assert colours == ["blue", "green", "red"] and red == ir
    assert rest == ["uint16", "int", False, False]
    assert "DEBUG vexlor::" in out.stderr  # the example turns diagnostics on
