# scripts/try as a newcomer runs it: the README's example end to end against the emulated unit,
# with the module scripts/setup installed, leaving a preview with the unit's profile and the
# infrared plane, and what the film holds without its dust.
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy
from PIL import Image, ImageCms

ROOT = Path(__file__).resolve().parents[2]


def spread(plane, reach):
    # The range of the plane within `reach` of each pixel (a square).
    high, low = plane.copy(), plane.copy()
    for axis in (0, 1):
        h, l = high.copy(), low.copy()
        for shift in range(1, reach + 1):
            for s in (shift, -shift):
                h = numpy.maximum(h, numpy.roll(high, s, axis))
                l = numpy.minimum(l, numpy.roll(low, s, axis))
        high, low = h, l
    return high - low


def test_scripts_try_scans_the_first_frame_and_leaves_its_images(tmp_path):
    # Outside umockdev and the test build, as from a shell; the script builds, wraps and finds the rest.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "try"), "--dpi", "300", "--out", str(tmp_path)],
                          capture_output=True, text=True, env=env, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout

    # The summary a user checks, and bars the module's progress callback drove to their end.
    assert re.search(r"unit  LS-5000 at usb:001-2 \(VEXEMU LS-5000 ED\)", out), out
    shapes = re.findall(r"^ *(red|green|blue|infrared)  \((\d+), (\d+)\) uint16$", out, re.M)
    assert sorted(name for name, *_ in shapes) == ["blue", "green", "infrared", "red"], out
    assert len({(rows, cols) for _, rows, cols in shapes}) == 1
    cleaned = re.search(r"cleaned  ([\d,]+) pixels rebuilt", out)
    assert cleaned and int(cleaned.group(1).replace(",", "")) > 0, out
    assert re.search(r"image pass: 100%", proc.stderr), proc.stderr
    for stage in ("list", "open", "load", "discover", "focus", "scan", "profile", "eject"):
        assert re.search(rf"\b{stage} \d+\.\d\ds", out), (stage, out)

    frame, infrared = Image.open(tmp_path / "frame.png"), Image.open(tmp_path / "infrared.png")
    rows, cols = int(shapes[0][1]), int(shapes[0][2])
    assert (frame.mode, frame.size, infrared.mode, infrared.size) == ("RGB", (cols, rows), "L", (cols, rows))
    profile = frame.info.get("icc_profile")
    assert profile and profile[36:40] == b"acsp" and int.from_bytes(profile[:4], "big") == len(profile)
    description = ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(profile))).strip()
    assert f'ICC profile  {len(profile):,} bytes, "{description}"' in out, out

    # Where the dust lies (dark in infrared), the cleaned preview comes back to the film without it:
    # on smooth areas, where a speck would show most, within 5 % per colour on average (uncleaned,
    # 86 %); on edges, whose pixels are rebuilt from both sides of the edge, within 25 %.
    ir = numpy.asarray(infrared).astype(float)
    dust = (ir > 0) & (ir < 0.9 * numpy.median(ir[ir > 0]))  # the holder beside the strip passes nothing
    truth = Image.open(tmp_path / "truth.png")
    assert (truth.mode, truth.size, truth.info.get("icc_profile")) == ("RGB", (cols, rows), profile)
    truth = numpy.asarray(truth).astype(float)
    light = truth.sum(axis=2)
    edge = spread(light, 4) > 0.2 * light
    error = numpy.abs(numpy.asarray(frame).astype(float) - truth) / numpy.maximum(truth, 1)
    for where, bound in ((dust & ~edge, 0.05), (dust & edge, 0.25)):
        assert where.sum() > 20
        assert (error[where].mean(axis=0) < bound).all(), (bound, error[where].mean(axis=0))
