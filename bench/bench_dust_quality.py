"""How close dust removal comes to the film without its dust, on emulated scans whose truth is
known: the emulated unit tells what it would have sent without the specks (`pass_plane(...,
specks=False)`). On the landscape slide, with dust on smooth areas, dust on detail, a hair and a
scratch, for two units and two resolutions each, it compares no cleaning, `scan_frame(clean=True)`
and OpenCV's inpainting (Telea, Navier-Stokes) with a mask from thresholding the infrared plane.
Prints one table: mean absolute error and PSNR over each kind's defect pixels (16-bit levels), and
how many clean pixels each method changed.

Run by scripts/bench: the test build's module and the emulated unit's binding on PYTHONPATH, under
umockdev-wrapper, from the bench's own virtual environment (numpy, opencv-python-headless; OpenCV
is for the comparison only)."""

import math
import sys
import time

import cv2
import numpy as np
import vexlor_emulator  # the testbed comes before vexlor first lists devices

CASES = [("LS-5000", 1000), ("LS-5000", 2000), ("LS-9000", 1000), ("LS-9000", 2000)]
PLACES = {"LS-5000": ("usb", "usb:001-2"), "LS-9000": ("sg", "/dev/sg0")}

# Where the specks lie on the landscape: (along, down from the picture's top) in 1/1000 of the
# frame, and a dust speck's radius in 1/1000 of the frame's width (24 um on 135).
SMOOTH = [(120, 140, 10), (450, 90, 4), (320, 800, 9), (160, 920, 6), (640, 420, 7)]  # sky, lake, grass
DETAIL = [(727, 620, 6), (700, 720, 5), (217, 520, 7), (400, 400, 6), (367, 720, 8), (177, 650, 4)]  # edges
HAIR = (550, 560, 300)  # its lower end, and its length up the picture in 1/1000 of the width
SCRATCH = (600, 700, 350)  # its left end, and its length along the picture in 1/1000 of the length
KINDS = ["dust on smooth", "dust on detail", "hair", "scratch"]
METHODS = ["none", "clean=True", "inpaint Telea", "inpaint N-S"]
# The inpainting mask: infrared below this share of the frame's median, grown by a pixel.
MASK_SHARE = 0.9
COLOURS = {1: "red", 2: "green", 3: "blue"}


def specks(frame):
    """The bench's specks on `frame` as set_specks takes them, each with its kind."""
    left, top, width, length = frame["left"], frame["top"], frame["width"], frame["length"]

    def x(down):
        return left + width * (1000 - down) // 1000

    def y(along):
        return top + length * along // 1000

    out = [("dust", x(d), y(a), max(width * r // 1000, 2), KINDS[0]) for a, d, r in SMOOTH]
    out += [("dust", x(d), y(a), max(width * r // 1000, 2), KINDS[1]) for a, d, r in DETAIL]
    out.append(("hair", x(HAIR[1]), y(HAIR[0]), width * HAIR[2] // 1000, KINDS[2]))
    out.append(("scratch", x(SCRATCH[1]), y(SCRATCH[0]), length * SCRATCH[2] // 1000, KINDS[3]))
    return out


def extent(mark, sx, sy, size):
    """The film addresses a speck can reach: (x0, y0, x1, y1), inclusive."""
    if mark == "dust":
        return sx - size, sy - size, sx + size, sy + size
    if mark == "hair":  # across the film, bending by up to an eighth of its length along it
        return sx, sy, sx + size, sy + size // 8 + 2
    return sx, sy, sx, sy + size  # a scratch, along the film


def kinds_map(layout, placed):
    """An index into KINDS per sample of the plane (-1: none), from where each speck lies."""
    rows, cols = layout["pixels"], layout["lines"]
    (ox, oy), xp, yp = layout["origin"], layout["x_pitch"], layout["y_pitch"]
    out = np.full((rows, cols), -1, np.int8)
    for mark, sx, sy, size, kind in placed:
        x0, y0, x1, y1 = extent(mark, sx, sy, size)
        # Row r looks at x = ox + (rows - 1 - r) * xp; column c at y = oy + c * yp. A pixel more
        # each way for the samples a speck's edge only grazes.
        r0 = max(rows - 1 - (x1 - ox) // xp - 1, 0)
        r1 = min(rows - 1 - (x0 - ox) // xp + 1, rows - 1)
        c0 = max((y0 - oy) // yp - 1, 0)
        c1 = min((y1 - oy) // yp + 1, cols - 1)
        out[r0:r1 + 1, c0:c1 + 1] = KINDS.index(kind)
    return out


def plane(unit, layout, window, specks_on):
    return np.frombuffer(unit.pass_plane(window, specks_on), np.uint16).reshape(layout["pixels"], layout["lines"])


def inpainted(colours, ir, flag):
    reference = float(np.median(ir[ir > 0]))
    mask = (ir < MASK_SHARE * reference).astype(np.uint8) * 255
    mask = cv2.dilate(mask, np.ones((3, 3), np.uint8))
    # 16-bit input is taken one channel at a time.
    return [cv2.inpaint(p, mask, 3, flag) for p in colours]


def scores(outputs, truth, untouched, defect, kinds):
    """Per method: {kind: (mae, psnr)} over that kind's defect pixels, and the clean pixels changed."""
    result = {}
    for method, planes in outputs.items():
        per = {}
        for k, kind in enumerate(KINDS):
            where = defect & (kinds == k)
            if not where.any():
                continue
            diff = np.concatenate([(p[where].astype(np.float64) - t[where]) for p, t in zip(planes, truth)])
            mse = float(np.mean(diff * diff))
            per[kind] = (float(np.mean(np.abs(diff))), math.inf if mse == 0 else 10 * math.log10(65535.0**2 / mse))
        changed = np.zeros(defect.shape, bool)
        for p, u in zip(planes, untouched):
            changed |= p != u
        result[method] = (per, int((changed & ~defect).sum()))
    return result


def prepare(unit):
    """The landscape with the bench's specks on the unit's first frame; its frame and specks."""
    unit.show_scene()
    f = unit.film()["frames"][0]
    placed = specks(f)
    unit.set_specks([s[:4] for s in placed])
    return f, placed


def measure(unit, where, f, placed, dpi):
    import vexlor
    frame = (f["top"], f["left"], f["top"] + f["length"], f["left"] + f["width"])
    with vexlor.Session(where) as s:
        s.load()
        plain = s.scan_frame(frame, dpi=dpi, infrared=True, focus="hold")
        started = time.perf_counter()
        cleaned = s.scan_frame(frame, dpi=dpi, infrared=True, clean=True, exposures=plain.exposures, focus="hold")
        seconds = time.perf_counter() - started
    layout = unit.pass_layout()
    windows = {c: i for i, c in enumerate(layout["channels"])}
    truth = [plane(unit, layout, windows[c], False) for c in COLOURS]
    dusty = [plane(unit, layout, windows[c], True) for c in COLOURS]
    defect = np.zeros(truth[0].shape, bool)
    for t, d in zip(truth, dusty):
        defect |= t != d
    untouched = [plain.colors[n] for n in COLOURS.values()]
    outputs = {
        "none": untouched,
        "clean=True": [cleaned.colors[n] for n in COLOURS.values()],
        "inpaint Telea": inpainted(untouched, plain.ir, cv2.INPAINT_TELEA),
        "inpaint N-S": inpainted(untouched, plain.ir, cv2.INPAINT_NS),
    }
    kinds = kinds_map(layout, placed)
    info = f"{unit.model} at {layout['dpi']} dpi ({dpi} asked), {layout['pixels']} x {layout['lines']}, " \
           f"{int(defect.sum())} defect pixels, {cleaned.cleaned} rebuilt, scan with cleaning {seconds:.1f} s"
    return info, scores(outputs, truth, untouched, defect, kinds)


def main():
    bed = vexlor_emulator.Testbed()
    units = {}
    for model, (kind, where) in PLACES.items():
        unit = bed.add_usb(model, 1, [2]) if kind == "usb" else bed.add_sg("sg0", model)
        units[model] = (unit, where, *prepare(unit))
    runs = []
    for model, dpi in CASES:
        info, result = measure(*units[model], dpi)
        print(info, flush=True)
        runs.append((model, dpi, result))
    print(f"\nopencv {cv2.__version__}; inpainting radius 3, mask: infrared below {MASK_SHARE:.0%} of its median, "
          f"grown by a pixel. MAE in 16-bit levels, PSNR in dB (peak 65535), over each kind's defect pixels "
          f"(those the specks change); 'changed' counts pixels off the defects that a method altered.\n")
    head = f"{'unit':8} {'dpi':>5}  {'method':14}" + "".join(f"  {k:>18}" for k in KINDS) + f"  {'changed':>8}"
    sub = f"{'':8} {'':>5}  {'':14}" + "".join(f"  {'MAE':>9}{'PSNR':>9}" for _ in KINDS) + f"  {'':>8}"
    print(head)
    print(sub)
    for model, dpi, result in runs:
        for method in METHODS:
            per, changed = result[method]
            cells = "".join(f"  {per[k][0]:9.0f}{per[k][1]:9.1f}" if k in per else f"  {'-':>9}{'-':>9}" for k in KINDS)
            print(f"{model:8} {dpi:5}  {method:14}{cells}  {changed:8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
