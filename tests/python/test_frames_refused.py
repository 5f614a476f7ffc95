# What cannot be scanned, metered or focused is refused before anything reaches the unit, with
# the frame and the limit in the message; a scan whose cleaning cannot run still comes back.
import pytest

from test_scan_film import TRUTH
from test_session import PRELUDE, code, unit_for

# Each call on the film's first frame F = (top, left, bottom, right): the exception and a piece of its text.
CALLS = [
    ("s.scan_frame((T, L, T + 1, L + 1), dpi=100, exposures={}, focus='hold')", "UnsupportedError",
     "frame table: the frame ({T}, {L}, {T1}, {L1}) is less than one pixel at 100 dpi: it would scan 0 pixels across"),
    ("s.scan_frame((T, 10**6, B, 10**6 + 100), exposures={}, focus='hold')", "UnsupportedError",
     "frame table: the frame ({T}, 1000000, {B}, 1000100) lies outside what this unit reaches"),
    ("s.meter_frame((10**7, L, 10**7 + 100, R))", "UnsupportedError", "lies outside what this unit reaches"),
    ("s.focus_frame((T, 10**6, B, 10**6 + 100))", "UnsupportedError", "lies outside what this unit reaches"),
    ("s.scan_frame((B, L, T, R), exposures={}, focus='hold')", "ValueError",
     "scan_frame(): argument 'frame' must have top above bottom and left before right, not ({B}, {L}, {T}, {R})"),
    ("s.focus_frame((0, 0, 0, 0))", "ValueError", "focus_frame(): argument 'frame' must have top above bottom"),
    ("s.meter_frame((T, R, B, L))", "ValueError", "meter_frame(): argument 'frame' must have top above bottom"),
    ("s.focus_frame(F, focus=(float('nan'), 0.5))", "ValueError",
     "focus point (nan, 0.5) must lie inside the frame: each is a fraction from 0 to 1"),
    ("s.focus_frame(F, focus=(0.5, float('inf')))", "ValueError", "focus point (0.5, inf) must lie inside the frame"),
    ("s.scan_frame(F, exposures={}, focus=(-0.1, 0.5))", "ValueError", "focus point (-0.1, 0.5) must lie inside"),
    ("s.focus_frame(F, focus=(0.5, 1.5))", "ValueError", "focus point (0.5, 1.5) must lie inside"),
    ("s.scan_frame(F, dpi=500, exposures={'red': 0}, focus='hold')", "UnsupportedError",
     "exposure: 0 is outside the 2000 to 8000000 ten-nanosecond units this unit offers"),
    ("s.scan_frame(F, dpi=500, exposures={'red': 1}, focus='hold')", "UnsupportedError",
     "exposure: 1 is outside the 2000 to 8000000 ten-nanosecond units this unit offers"),
]


def test_frames_that_cannot_be_worked_on_send_nothing(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-5000"), TRUTH, f"""
        s = vexlor.Session(where)
        F = film_frame(u, 1.0)
        T, L, B, R = F
        result = [list(F)]
        for call in {[c for c, _, _ in CALLS]!r}:
            n = len(u.log())
            try:
                eval(call)
                result.append(['returned', '', []])
            except Exception as e:
                result.append([type(e).__name__, str(e), u.opcodes()[n:]])
        # The unit was left alone: it ejects, and a scan on it works.
        result.append([s.eject(), u.scanning])
        r = s.scan_frame(F, dpi=500, exposures={{'red': 20000, 'default': 30000}}, focus='hold')
        result.append([r.complete, r.exposures])
    """)).result
    (T, L, B, R), *rows, (ejected, scanning), (complete, exposures) = out
    for (call, error, text), (raised, message, sent) in zip(CALLS, rows):
        want = text.format(T=T, L=L, B=B, R=R, T1=T + 1, L1=L + 1)
        assert raised == error and want in message and sent == [], (call, raised, message, sent)
    assert ejected is True and scanning is False
    # A result names the exposures of the channels it scanned, not every key it was handed.
    assert complete is True and exposures == {"red": 20000}


def test_a_frame_with_no_room_for_one_block_is_refused_before_any_command(emulated):
    # At 400 dpi this unit reads its CCD rows in blocks of 30 addresses; 10 before the end of the
    # travel there is no room for one. The unit's own frame scans at that resolution.
    out = emulated(code(PRELUDE, unit_for("LS-8000"), TRUTH, """
        s = vexlor.Session(where)
        frame = s.discover_frames().frames[0]
        n = len(u.log())
        try:
            s.scan_frame((39990, frame[1], 40000, frame[3]), dpi=400, exposures={}, focus='hold')
            result = ['scanned']
        except vexlor.UnsupportedError as e:
            result = [list(frame), str(e), u.opcodes()[n:], s.scan_frame(frame, dpi=400, exposures={}, focus='hold').complete]
    """)).result
    (_, left, _, right), *rest = out
    assert rest == [f"frame table: the frame (39990, {left}, 40000, {right}) is too short for one block of CCD rows at "
                    "400 dpi: the shortest frame that scans there is 30 long", [], True]


def test_infrared_metering_on_a_unit_with_one_colour_window_is_refused_before_any_command(emulated):
    out = emulated(code(PRELUDE, unit_for("LS-50"), TRUTH, """
        s = vexlor.Session(where)
        n = len(u.log())
        try:
            s.meter_frame(film_frame(u, 0.5), infrared=True)
            result = ['metered']
        except vexlor.UnsupportedError as e:
            result = [e.op, u.opcodes()[n:]]
    """)).result
    assert out == ["infrared", []]


@pytest.mark.parametrize("how", ["end_at=2_000_000", "end_at=2_000_000, ili=True"])
def test_a_scan_whose_cleaning_cannot_run_comes_back_as_read(emulated, how):
    # The pass arrives incomplete; the planes read are handed back uncleaned, and a WARN says why.
    out = emulated(code(PRELUDE, unit_for("LS-9000"), TRUTH, f"""
        vexlor.init_logging('warn')
        s = vexlor.Session(where)
        frame = film_frame(u, 0.5)
        u.script_image({how})
        r = s.scan_frame(frame, dpi=1000, clean=True, exposures={{}}, focus='hold')
        l = u.pass_layout()
        # The columns that arrived are the unit's own samples, untouched.
        got = r.colors['red'][:, :4]
        want = meant(u, l['channels'].index(1))[:, :4]
        result = [r.complete, r.cleaned, r.blocks > 0, r.ir is not None, off_by(got, want, l['corrected'])]
    """))
    complete, cleaned, some, ir, off = out.result
    assert [complete, cleaned, some, ir, off] == [False, None, True, True, 0]
    assert "the pass came incomplete, so it comes back as scanned, not cleaned" in out.stderr
