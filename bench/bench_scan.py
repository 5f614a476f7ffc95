"""A full 4000-dpi 135 frame with infrared and cleaning, scanned from Python over the emulated
LS-5000 behind umockdev's USB: the wall time split into the unit (emulated, with the USB link),
decoding, dust removal and the Python layer, and the peak memory against the four planes plus the
dust stages' intermediate images plus 64 MiB. A NumPy copy of the planes, timed in the same run,
is the reference.

Run by hand (scripts/bench does) with the test build's modules, under umockdev-wrapper:

    PYTHONPATH=build/test:build/test/tests/emulator umockdev-wrapper .venv/bin/python bench/bench_scan.py

The split comes from the module's own DEBUG events ("pass" with read_ms and decode_ms, "infrared
calibration"), whose time stamps share the clock of time.time(). The pass reads one CCD row at a
time, as the module chooses where a full-width group of rows is larger than the unit's largest
READ. A second scan of the frame
without cleaning tells the Python layer's part: what runs before the first event of the call and
after the end of its pass, plus the progress callbacks.
"""
import datetime
import os
import re
import sys
import tempfile
import time

import numpy

import vexlor_emulator

MIB = 1024 * 1024
LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6})Z +(\w+) (\S+): (.*)$")


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def events(log, since):
    """The diagnostics written since byte `since`: (time, target, message, fields)."""
    log.seek(since)
    out = []
    for line in log.read().decode(errors="replace").splitlines():
        m = LINE.match(line)
        if not m:
            continue
        at = datetime.datetime.fromisoformat(m.group(1)).replace(tzinfo=datetime.timezone.utc).timestamp()
        text = m.group(4)
        fields = dict(re.findall(r"(\w+)=(\S+)", text))
        out.append((at, m.group(3), text, fields))
    return out


def first(found, target, message):
    for e in found:
        if e[1] == target and e[2].startswith(message):
            return e
    raise RuntimeError(f"no {message!r} event from {target}")


def scan(s, log, frame, clean):
    """One scan: its wall time, its events and what the progress callback took."""
    inside = [0, 0.0]

    def progress(stage, index, done, total):
        began = time.perf_counter()
        inside[0] += 1
        inside[1] += time.perf_counter() - began

    since = log.seek(0, os.SEEK_END)
    began = time.time()
    r = s.scan_frame(frame, infrared=True, clean=clean, progress=progress)
    ended = time.time()
    return r, began, ended, events(log, since), inside


def main():
    tb = vexlor_emulator.Testbed()
    u = tb.add_usb("LS-5000", 1, [2])
    import vexlor

    # The module's diagnostics go to standard error: into a file for the length of the run.
    log = tempfile.TemporaryFile()
    shown = os.dup(2)
    os.dup2(log.fileno(), 2)
    try:
        vexlor.init_logging("vexlor::session::scan=debug,vexlor::scan=debug,vexlor::session::window=debug,"
                            "vexlor::session::data=debug")
        s = vexlor.Session("usb:001-2")
        f = u.film()["frames"][0]
        frame = (f["top"], f["left"], f["top"] + f["length"], f["left"] + f["width"])

        base_kb = status_kb("VmRSS:")
        reset_peak()
        r, t0, t1, ev, inside = scan(s, log, frame, clean=True)
        peak_kb = status_kb("VmHWM:")
        rows, cols, cleaned = r.rows, r.cols, r.cleaned
        planes = [*r.colors.values(), r.ir]
        began = time.perf_counter()
        copies = [numpy.copy(p) for p in planes]
        copy_s = time.perf_counter() - began
        del copies, planes, r

        p, p0, p1, pev, pinside = scan(s, log, frame, clean=False)
        del p
    finally:
        os.dup2(shown, 2)
        os.close(shown)

    n = rows * cols
    total = t1 - t0
    pass_ev = first(ev, "vexlor::session::scan", "pass")
    scan_cmds = [e for e in ev if e[1] == "vexlor::session::window" and e[2].startswith("scan cmd")]
    cal_ev = first(ev, "vexlor::scan::clean", "infrared calibration")
    read_s = int(pass_ev[3]["read_ms"]) / 1e3
    decode_s = int(pass_ev[3]["decode_ms"]) / 1e3
    pass_wall = pass_ev[0] - scan_cmds[-1][0]

    # The plain scan: before its first event and after its pass only the Python layer runs (this
    # unit's samples are 16 bits and it keeps no frame table, so nothing is rescaled or sent back).
    plain_pass = first(pev, "vexlor::session::scan", "pass")
    py_in = pev[0][0] - p0
    py_out = p1 - plain_pass[0]
    py_callbacks = pinside[1]
    python = py_in + py_out + py_callbacks
    dust = (t1 - pass_ev[0]) - py_out
    calibrate = cal_ev[0] - pass_ev[0]
    before = total - dust - py_out - pass_wall - (ev[0][0] - t0)

    print(f"LS-5000 over umockdev USB, 4000 dpi 135 frame, a row at a time: {rows} x {cols} pixels, red, green, blue and infrared; "
          f"{cleaned} pixels rebuilt")
    print(f"{'':34}{'seconds':>9}{'share':>8}")
    rows_out = [
        ("scan_frame, wall", total),
        ("  before the pass (focus, meter)", before),
        ("  image pass, wall", pass_wall),
        ("    unit READs (emulated + USB)", read_s),
        ("    decode (caller's thread)", decode_s),
        ("  dust removal", dust),
        ("    of which calibration", calibrate),
        ("  Python layer", python),
    ]
    for name, secs in rows_out:
        print(f"{name:34}{secs:9.3f}{100 * secs / total:7.2f}%")
    print(f"  Python layer: {py_in * 1e3:.2f} ms in (at most: up to {pev[0][1]}: {pev[0][2][:40]!r}), {py_out * 1e3:.2f} ms out, {py_callbacks * 1e3:.2f} ms in "
          f"{pinside[0]} progress callbacks (plain scan {p1 - p0:.3f} s); goal under 1 %: "
          f"{'met' if python < 0.01 * total else 'NOT met'}")
    plane_mib = n * 2 * 4 / MIB
    intermediates_mib = n * (4 + 4 + 1) / MIB  # gate and confidence (float), the defect mask (byte)
    above = (peak_kb - base_kb) / 1024
    goal = plane_mib + intermediates_mib + 64
    print(f"peak RSS {peak_kb / 1024:.0f} MiB, {above:.0f} MiB above the {base_kb / 1024:.0f} MiB before the scan; "
          f"goal {plane_mib:.0f} (four planes) + {intermediates_mib:.0f} (dust intermediates) + 64 = {goal:.0f} MiB: "
          f"{'met' if above <= goal else 'NOT met'}")
    print(f"reference: NumPy copy of the four planes ({plane_mib:.0f} MiB) {copy_s * 1e3:.1f} ms")


if __name__ == "__main__":
    sys.exit(main())
