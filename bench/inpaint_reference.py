"""OpenCV's inpainting on the frame and defect mask that bench_dust wrote: the reference a user
would otherwise reach for. Prints its time per method and the mean absolute error against the
undamaged frame beside the cleaner's. Needs numpy and opencv-python-headless (bench only)."""

import os
import sys
import time

import cv2
import numpy as np

CHANNELS = ("red", "green", "blue")


def load(directory, name, dtype, shape):
    return np.fromfile(os.path.join(directory, name), dtype=dtype).reshape(shape)


def mae(planes, truth, where):
    return float(np.mean([np.abs(p[where].astype(np.int64) - t[where].astype(np.int64)).mean()
                          for p, t in zip(planes, truth)]))


def main():
    directory = os.environ.get("VEXLOR_BENCH_DIR", "/tmp/vexlor-bench-dust")
    with open(os.path.join(directory, "shape.txt")) as f:
        rows, cols, clean_seconds = f.read().split()
    shape = (int(rows), int(cols))
    clean_seconds = float(clean_seconds)
    damaged = [load(directory, f"damaged_{c}.u16", np.uint16, shape) for c in CHANNELS]
    truth = [load(directory, f"truth_{c}.u16", np.uint16, shape) for c in CHANNELS]
    cleaned = [load(directory, f"cleaned_{c}.u16", np.uint16, shape) for c in CHANNELS]
    mask = load(directory, "mask.u8", np.uint8, shape) * np.uint8(255)
    drawn = load(directory, "drawn.u8", np.uint8, shape).astype(bool)
    print(f"opencv {cv2.__version__}, {cv2.getNumThreads()} threads; mask {int((mask > 0).sum())} pixels")
    print(f"mean absolute error over the damaged pixels: damaged {mae(damaged, truth, drawn):.1f}, "
          f"clean_frame {mae(cleaned, truth, drawn):.1f}")
    for name, flag in (("Telea", cv2.INPAINT_TELEA), ("Navier-Stokes", cv2.INPAINT_NS)):
        start = time.perf_counter()
        # 16-bit input is taken one channel at a time.
        out = [cv2.inpaint(p, mask, 3, flag) for p in damaged]
        seconds = time.perf_counter() - start
        print(f"cv2.inpaint {name}, radius 3: {seconds:.3f} s (clean_frame on 2 threads, detection included, "
              f"is {seconds / clean_seconds:.1f}x faster); error {mae(out, truth, drawn):.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
