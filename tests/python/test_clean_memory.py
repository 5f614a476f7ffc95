# Cleaning that cannot get its memory: the scan comes back as read, uncleaned, with a warning,
# in a process held to little more address space than the pass itself takes. NumPy is not
# imported before the call, as in a program whose first scan this is.
import json
import os
import subprocess
import sys

import pytest

SNIPPET = """
import json, resource, sys
import vexlor_emulator
tb = vexlor_emulator.Testbed()
u = tb.add_usb('LS-5000', 1, [2])
import vexlor
vexlor.init_logging('warn')
f = u.film()['frames'][0]
F = (f['top'], f['left'], f['top'] + f['length'], f['left'] + f['width'])
s = vexlor.Session('usb:001-2')
limit = int(sys.argv[1])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
r = s.scan_frame(F, dpi=2000, infrared=True, clean=limit > 0, exposures={}, focus='hold')
peak = [int(line.split()[1]) * 1024 for line in open('/proc/self/status') if line.startswith('VmPeak:')][0]
print('@@' + json.dumps([r.complete, r.cleaned, list(r.ir.shape), 'numpy' in sys.modules, peak]), flush=True)
"""


def scan(limit):
    env = dict(os.environ, MALLOC_ARENA_MAX="1")  # no per-thread arenas: the address space is the heap's
    env.pop("RUST_LOG", None)
    proc = subprocess.run([sys.executable, "-c", SNIPPET, str(limit)], capture_output=True, text=True, env=env,
                          timeout=300)
    marker = proc.stdout.rfind("@@")
    return proc.returncode, json.loads(proc.stdout[marker + 2:]) if marker >= 0 else None, proc.stderr


def test_cleaning_without_memory_returns_the_scan_as_read():
    pytest.importorskip("vexlor_emulator")
    status, (complete, cleaned, shape, _, peak), _ = scan(0)
    assert status == 0 and complete is True and cleaned is None
    # Room for the pass and a little more, far less than cleaning's working images of the frame.
    status, got, err = scan(peak + 24 * 2**20)
    print(f"a pass peaking at {peak >> 20} MiB of address space; {shape[0]} x {shape[1]} pixels")
    assert status == 0, err
    assert got[:4] == [True, None, shape, True]
    assert "could not clean this frame, so it comes back as scanned" in err
    assert "not enough memory to clean this frame" in err
