"""Sessions opened and closed on two emulated units from two threads at once, 200 times each:
how many opens failed (the goal is none) and the time an open and close takes, beside the same
opens made from one thread alone in the same run (the reference: what an open costs with no
other thread listing and claiming).

Each open lists every unit first, briefly claiming each USB one to ask who it is, so two threads
opening at once meet each other's claims unless the process keeps them apart.

Run by hand with the test build's modules, under umockdev-wrapper:

    PYTHONPATH=build/test:build/test/tests/emulator umockdev-wrapper .venv/bin/python bench/bench_sessions.py
"""
import statistics
import sys
import threading
import time

import vexlor_emulator

ROUNDS = 200
PAIRS = {"two USB units": ("usb:001-2", "usb:001-3"), "a USB and an SG unit": ("usb:001-2", "/dev/sg0")}


def opens(vexlor, where, rounds, start=None):
    """Opens and closes a session on `where` `rounds` times: (failures, seconds per open)."""
    failures, times = [], []
    if start:
        start.wait()
    for _ in range(rounds):
        began = time.perf_counter()
        try:
            vexlor.Session(where).close()
        except Exception as e:  # counted, not raised: the figure is how many
            failures.append(repr(e))
        times.append(time.perf_counter() - began)
    return failures, times


def main():
    bed = vexlor_emulator.Testbed()
    bed.add_usb("LS-50", 1, [2])
    bed.add_usb("LS-5000", 1, [3])
    bed.add_sg("sg0", "LS-8000")
    import vexlor

    _, alone = opens(vexlor, "usb:001-2", 50)
    print(f"reference, one thread alone: {statistics.median(alone) * 1000:.1f} ms an open and close (median of 50)")
    for name, pair in PAIRS.items():
        start = threading.Barrier(len(pair))
        results = [None] * len(pair)

        def work(i, where):
            results[i] = opens(vexlor, where, ROUNDS, start)

        threads = [threading.Thread(target=work, args=(i, w)) for i, w in enumerate(pair)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        failed = sum(len(f) for f, _ in results)
        times = [t for _, ts in results for t in ts]
        print(f"{name}, two threads x {ROUNDS}: {failed} failed opens; "
              f"{statistics.median(times) * 1000:.1f} ms median, {max(times) * 1000:.1f} ms longest an open and close")
        for f, _ in results:
            for e in f[:3]:
                print("   ", e)
    return 0


if __name__ == "__main__":
    sys.exit(main())
