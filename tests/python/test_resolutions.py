# Every resolution a unit offers scans the frames it found: a pass reading all CCD rows at once is
# made of whole decoder blocks at its own pitch, so nothing the unit would run is refused for block
# arithmetic, and what it scans is what the unit sent.
import pytest

from test_scan_film import ONE_WINDOW, TRUTH
from test_session import PRELUDE, code

# Each model over every link it has: USB where it has a USB product, SCSI generic for all.
LINKS = [("LS-40", "usb"), ("LS-40", "sg"), ("LS-50", "usb"), ("LS-50", "sg"), ("LS-5000", "usb"),
         ("LS-5000", "sg"), ("LS-4000", "sg"), ("LS-8000", "sg"), ("LS-9000", "sg")]


def attach(model, link):
    if link == "usb":
        return f"u = tb.add_usb({model!r}, 1, [2])\nwhere = 'usb:001-2'\n"
    return f"u = tb.add_sg('sg0', {model!r})\nwhere = '/dev/sg0'\n"


# One session a unit for the whole sweep; each scan is cancelled at its first progress call. The
# resolutions are both ends of the range and the optical one over those k of 1 to 40 that give
# every pitch below 14 and a few coarse ones; the frames are the first two the unit's own discovery
# finds and an off-centre crop of the first. (The C++ sweep of the window arithmetic takes every k
# and every frame found.)
DIVISORS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 25, 40]
SWEEP = f"""
s = vexlor.Session(where)
low, high = s.capabilities.x_dpi_range
optical = s.capabilities.optical_dpi
dpis = sorted({{low, high}} | {{optical // k for k in {DIVISORS!r}}})
frames = [tuple(f) for f in s.discover_frames().frames][:2]
t, l, b, r = frames[0]
h, w = b - t, r - l
frames.append((t + h // 5, l + w // 7, t + h // 5 + h * 37 // 100, l + w // 7 + w * 37 // 100))
tries, other = 0, []
for dpi in dpis:
    for ir in (False, True):
        for f in frames:
            tries += 1
            try:
                s.scan_frame(f, dpi=dpi, infrared=ir, exposures={{}}, focus='hold', progress=lambda *a: False)
                other.append([dpi, ir, list(f), 'finished', '', ''])
            except vexlor.ScanCancelled:
                pass
            except Exception as e:
                other.append([dpi, ir, list(f), type(e).__name__, getattr(e, 'op', ''), str(e)])
result = [tries, low, high, other, u.scanning]
"""


@pytest.mark.parametrize("model, link", LINKS)
def test_scans_across_the_range_start_or_are_refused_for_a_limit_the_unit_states(emulated, model, link):
    out = emulated(code(PRELUDE, attach(model, link), TRUTH, SWEEP), timeout=600).result
    tries, low, high, other, scanning = out
    for dpi, ir, frame, kind, op, text in other:
        case = (dpi, ir, frame, kind, text)
        assert kind == "UnsupportedError" and "blocks" not in text, case
        if op == "scan resolution":
            assert not low <= dpi <= high, case
        else:
            assert op == "infrared" and ir and model in ONE_WINDOW, case
    print(f"{model} over {link}: {tries} scans tried, {len(other)} refused for a stated limit")
    assert tries > 0 and scanning is False


# Per model, three resolutions whose passes used to be refused, and a crop of the film's first
# frame (length along the film) whose old rounding gave lines in no whole number of blocks.
BEFORE = [("LS-50", [1100, 1200, 1333], 1010), ("LS-8000", [400, 444, 500], 1030), ("LS-9000", [300, 571, 666], 1030)]
# CCD rows and the lines between them, as each unit's address page gives them.
ROWS = {"LS-50": (3, 4), "LS-8000": (3, 12), "LS-9000": (4, 16)}


@pytest.mark.parametrize("model, dpis, length", BEFORE)
def test_resolutions_once_refused_scan_what_the_unit_sent(emulated, model, dpis, length):
    link = "usb" if model == "LS-50" else "sg"
    out = emulated(code(PRELUDE, attach(model, link), TRUTH, f"""
        s = vexlor.Session(where)
        d = s.discover_frames()
        found = [list(f) for f in d.frames]
        f = u.film()['frames'][0]
        top, left = f['top'] + f['length'] // 3, f['left']
        frame = (top, left, top + {length}, left + f['width'])
        result = {{'scans': []}}
        for dpi in {dpis!r}:
            r = s.scan_frame(frame, dpi=dpi, exposures={{}}, focus='hold')
            l = u.pass_layout()
            # Lines at the pass's pitch from where it starts, against the frame asked for.
            covered = l['lines'] * l['y_pitch']
            result['scans'].append([dpi, r.complete, r.cols == l['lines'], r.rows == l['pixels'], arrays(u, r),
                                    covered >= {length}, covered - {length}, l['y_pitch']])
        # Discovery finds the same frames after the scans; where it takes a thumbnail pass (read
        # one row at a time), each frame it finds is centred on one of the film's frames.
        result['again'] = [list(f) for f in s.discover_frames().frames] == found
        film = u.film()['frames']
        result['thumbnail'] = d.thumbnail is not None
        result['centres'] = [any(x['top'] <= (t + b) / 2 <= x['top'] + x['length'] for x in film) for t, _, b, _ in found]
    """)).result
    rows, gap = ROWS[model]
    for dpi, complete, cols, shown, planes, covers, more, pitch in out["scans"]:
        assert [complete, cols, shown, covers] == [True, True, True, True], dpi
        for name, shaped, dtype, off in planes:
            assert (shaped, dtype, off) == (True, "uint16", 0), (dpi, name)
        # At most one block more than asked: the rows, as many pass lines apart as fit the gap.
        assert more < rows * (gap // pitch) * pitch, (dpi, more, pitch)
    assert out["again"] is True
    assert all(out["centres"]) if out["thumbnail"] else model != "LS-8000"
