import io
import struct

import pytest

from test_session import PRELUDE, code

# Every model, each on a node of its own; "none" is a unit whose product names no model.
UNITS = """
import vexlor
places = {}
for i, model in enumerate(['LS-40', 'LS-4000', 'LS-50', 'LS-5000', 'LS-8000', 'LS-9000', None]):
    tb.add_sg(f'sg{i}', model)
    places[model or 'none'] = f'/dev/sg{i}'
profiles = {}
for model, where in places.items():
    with vexlor.Session(where) as s:
        profiles[model] = {film: s.icc_profile(film) for film in
                           ['positive', 'SLIDE', 'negative', 'Kodachrome', 'mono', 'monochrome', 'MonochromeNegative']}
"""

# The size of each filled slot; None for the empty ones.
SIZES = {
    "LS-40": (223276, 223276, 223276, None),
    "LS-4000": (223276, 223276, 223276, None),
    "LS-50": (223268, 223268, 223268, 8636),
    "LS-5000": (223268, 223268, 223268, 8636),
    "LS-8000": (223268, 223268, 223268, None),
    "LS-9000": (223268, 223268, 223268, 8636),
    "none": (None, None, None, None),
}


@pytest.fixture(scope="module")
def profiles(tmp_path_factory):
    pytest.importorskip("vexlor_emulator")
    from conftest import _run
    folder = tmp_path_factory.mktemp("icc")
    out = _run(code(PRELUDE, UNITS, f"""
        result = {{}}
        for model, films in profiles.items():
            result[model] = {{}}
            for film, data in films.items():
                if data is not None:
                    path = {str(folder)!r} + f'/{{model}}-{{film}}.icc'
                    open(path, 'wb').write(data)
                    data = [type(data).__name__, path]
                result[model][film] = data
    """)).result
    loaded = {}
    for model, films in out.items():
        loaded[model] = {}
        for film, data in films.items():
            if data is not None:
                assert data[0] == "bytes"
                data = open(data[1], "rb").read()
            loaded[model][film] = data
    return loaded


def test_every_slot_has_its_size_and_header(profiles):
    for model, (positive, negative, kodachrome, mono) in SIZES.items():
        films = profiles[model]
        # Film names are matched ignoring case, and name the same slot.
        assert films["positive"] == films["SLIDE"]
        assert films["mono"] == films["monochrome"] == films["MonochromeNegative"]
        for film, size in [("positive", positive), ("negative", negative), ("Kodachrome", kodachrome), ("mono", mono)]:
            data = films[film]
            if size is None:
                assert data is None, (model, film)
                continue
            assert len(data) == size, (model, film)
            declared, = struct.unpack(">I", data[:4])
            assert declared == size
            assert data[12:20] == b"scnrRGB "
            tags, = struct.unpack(">I", data[128:132])
            if film == "mono":
                assert (data[8:12], data[20:24], tags) == (bytes([2, 0x20, 0, 0]), b"XYZ ", 9)
            else:
                assert (data[8:12], data[20:24], tags) == (bytes([2, 0, 0, 0]), b"Lab ", 10)


def test_sets_are_shared_by_model_pairs_and_distinct_otherwise(profiles):
    for a, b in [("LS-40", "LS-4000"), ("LS-50", "LS-5000")]:
        assert profiles[a] == profiles[b]
    distinct = {profiles[m][f] for m in ("LS-40", "LS-50", "LS-8000", "LS-9000")
                for f in ("positive", "negative", "Kodachrome", "mono")} - {None}
    assert len(distinct) == 14


def test_a_colour_engine_opens_every_profile_and_converts_to_srgb(profiles):
    ImageCms = pytest.importorskip("PIL.ImageCms")
    from PIL import Image
    srgb = ImageCms.createProfile("sRGB")
    # Black, white, a mid grey and a warm colour as linear readings.
    image = Image.new("RGB", (4, 1))
    image.putpixel((0, 0), (0, 0, 0))
    image.putpixel((1, 0), (255, 255, 255))
    image.putpixel((2, 0), (128, 128, 128))
    image.putpixel((3, 0), (200, 100, 50))
    checked = 0
    for model in ("LS-40", "LS-50", "LS-8000", "LS-9000"):
        for film in ("positive", "negative", "Kodachrome", "mono"):
            data = profiles[model][film]
            if data is None:
                continue
            profile = ImageCms.getOpenProfile(io.BytesIO(data))
            assert ImageCms.getProfileDescription(profile).startswith("vexlor ")
            converted = ImageCms.applyTransform(image, ImageCms.buildTransform(profile, srgb, "RGB", "RGB"))
            black, white, grey, warm = (converted.getpixel((x, 0)) for x in range(4))
            assert max(black) <= 8 and min(white) >= 240, (model, film)
            if film == "mono":
                assert max(grey) - min(grey) <= 2  # neutral stays neutral
            else:
                assert warm != grey
            checked += 1
    assert checked == 14


def test_film_names_the_parser_refuses(emulated):
    out = emulated(code(PRELUDE, """
        tb.add_sg('sg0', None)
        import vexlor
        s = vexlor.Session('/dev/sg0')
        result = []
        for film in ['colour', 'positive film', 3]:
            try:
                s.icc_profile(film)
            except Exception as e:
                result.append([type(e).__name__, str(e)])
    """)).result
    assert out == [["RuntimeError", 'unknown film type "colour"'], ["RuntimeError", 'unknown film type "positive film"'],
                   ["TypeError", "icc_profile(): argument 'film' must be str, not int"]]
