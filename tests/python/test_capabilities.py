import pytest

from test_session import PLACES, PRELUDE, code, unit_for

import vexlor

LINE, MULTI, PLANE = "line_without_distance", "multiline_simultaneous", "plane"

# What each emulated model reports (tests/emulator/pages.cpp), as the properties give it.
EXPECTED = {
    "LS-40": dict(model="LS-40", x_dpi_range=[100, 2900], y_dpi_range=[100, 2900], optical_dpi=2900, max_frames=6,
                  thumbnail_dpi=[290, 725], focus_range=[100, 700], max_samples=1, framing="address",
                  thumbnail=False, multi_line=False, eject=True, autofocus=True, hardware_metering=True,
                  interleavings=[LINE]),
    "LS-50": dict(model="LS-50", x_dpi_range=[100, 4000], y_dpi_range=[100, 4000], optical_dpi=4000, max_frames=6,
                  thumbnail_dpi=[400, 1000], focus_range=[100, 800], max_samples=1, framing="address",
                  thumbnail=False, multi_line=True, eject=True, autofocus=True, hardware_metering=True,
                  interleavings=[LINE, MULTI]),
    "LS-4000": dict(model="LS-4000", x_dpi_range=[100, 4000], y_dpi_range=[100, 4000], optical_dpi=4000, max_frames=40,
                    thumbnail_dpi=[400, 1000], focus_range=[50, 900], max_samples=16, framing="address",
                    thumbnail=False, multi_line=True, eject=True, autofocus=True, hardware_metering=True,
                    interleavings=[LINE, MULTI]),
    "LS-5000": dict(model="LS-5000", x_dpi_range=[100, 4000], y_dpi_range=[100, 4000], optical_dpi=4000, max_frames=6,
                    thumbnail_dpi=[400, 1000], focus_range=[50, 900], max_samples=16, framing="address",
                    thumbnail=False, multi_line=True, eject=True, autofocus=True, hardware_metering=True,
                    interleavings=[LINE, MULTI]),
    # A published table with an empty slot does not count as published.
    "LS-8000": dict(model="LS-8000", x_dpi_range=[100, 4000], y_dpi_range=[100, 4000], optical_dpi=4000, max_frames=4,
                    thumbnail_dpi=[250, 1000], focus_range=[0, 1200], max_samples=16, framing="thumbnail",
                    thumbnail=True, multi_line=True, eject=True, autofocus=True, hardware_metering=True,
                    interleavings=[LINE, PLANE, MULTI]),
    "LS-9000": dict(model="LS-9000", x_dpi_range=[100, 4000], y_dpi_range=[100, 4000], optical_dpi=4000, max_frames=3,
                    thumbnail_dpi=[250, 1000], focus_range=[0, 1200], max_samples=16, framing="published",
                    thumbnail=False, multi_line=True, eject=True, autofocus=True, hardware_metering=True,
                    interleavings=[LINE, PLANE, MULTI]),
}
NAMES = ["vendor", "product", "revision"] + list(EXPECTED["LS-40"])

SNAPSHOT = f"""
def snapshot(c):
    return {{n: (list(v) if isinstance(v, tuple) else v) for n, v in ((n, getattr(c, n)) for n in {NAMES!r})}}
"""


@pytest.mark.parametrize("model", list(PLACES))
def test_properties_of_each_model(emulated, model):
    out = emulated(code(PRELUDE, unit_for(model), SNAPSHOT, """
        import vexlor
        with vexlor.Session(where) as s:
            n = len(u.log())
            c = s.capabilities
            result = [snapshot(c), len(u.log()) - n, type(c.x_dpi_range).__name__, c is s.capabilities]
    """)).result
    got, sent, pair, same = out
    assert got == dict(vendor="VEXEMU", product=f"{model} ED", revision="1.00", **EXPECTED[model])
    assert sent == 0 and pair == "tuple" and same is False


def test_snapshot_outlives_a_replaced_record_and_a_closed_session(emulated):
    # The unit stops offering its unload operation; a unit attention makes the session re-read its pages.
    out = emulated(code(PRELUDE, unit_for("LS-50"), SNAPSHOT, """
        import vexlor
        s = vexlor.Session(where)
        before = s.capabilities
        u.drop_op(0xD0)
        u.attention(1)
        s.media_loaded()
        after = s.capabilities
        s.close()
        result = [before.eject, after.eject, snapshot(before) == snapshot(after)]
        try:
            s.capabilities
        except vexlor.ScannerError as e:
            result.append(str(e))
        result.append(before.eject)
    """)).result
    assert out == [True, False, False, "session is closed", True]


def test_a_unit_whose_product_names_no_model(emulated):
    out = emulated(code(PRELUDE, """
        u = tb.add_sg('sg0', None)
        import vexlor
        with vexlor.Session('/dev/sg0') as s:
            c = s.capabilities
            result = [c.model, c.product, c.optical_dpi, c.framing]
    """)).result
    assert out == [None, "EMULATED DISK", 4000, "address"]


@pytest.mark.parametrize("film, locks", [
    ("negative", False), ("NEGATIVE", False), ("positive", True), ("Slide", True), ("kodachrome", True),
    ("mono", True), ("monochrome", True), ("MonochromeNegative", True),
])
def test_locks_white_balance(film, locks):
    assert vexlor.Capabilities.locks_white_balance(film) is locks
    assert vexlor.Capabilities.locks_white_balance(film=film) is locks


@pytest.mark.parametrize("film, error, message", [
    ("colour", RuntimeError, 'unknown film type "colour"'),
    ("Sepia", RuntimeError, 'unknown film type "sepia"'),
    ("", RuntimeError, 'unknown film type ""'),
    (b"mono", TypeError, "argument 'film' must be str, not bytes"),
    (None, TypeError, "argument 'film' must be str, not NoneType"),
])
def test_locks_white_balance_refuses(film, error, message):
    with pytest.raises(error) as e:
        vexlor.Capabilities.locks_white_balance(film)
    assert type(e.value) is error and message in str(e.value)
