import json
import os
import pty
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest


@dataclass
class Outcome:
    result: object
    stderr: str


def _run(code, env=None, stderr_tty=False, timeout=60):
    """Runs `code` in a fresh interpreter (one emulated testbed per process) and returns the
    JSON-decoded value it leaves in `result`, with everything it wrote to standard error."""
    body = "import json, os, sys, time\nresult = None\n" + textwrap.dedent(code)
    body += "\nsys.stdout.write('\\n@@' + json.dumps(result) + '\\n')\n"
    full_env = {k: v for k, v in os.environ.items() if k != "RUST_LOG"}
    full_env.update(env or {})
    if stderr_tty:
        leader, follower = pty.openpty()
        try:
            proc = subprocess.run([sys.executable, "-c", body], stdout=subprocess.PIPE, stderr=follower,
                                  env=full_env, timeout=timeout, text=True)
        finally:
            os.close(follower)
        chunks = []
        while True:
            try:
                data = os.read(leader, 65536)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        os.close(leader)
        err = b"".join(chunks).decode(errors="replace").replace("\r\n", "\n")
    else:
        proc = subprocess.run([sys.executable, "-c", body], capture_output=True, env=full_env, timeout=timeout,
                              text=True)
        err = proc.stderr
    assert proc.returncode == 0, f"snippet failed ({proc.returncode}):\n{err}"
    marker = proc.stdout.rfind("\n@@")
    assert marker >= 0, proc.stdout
    return Outcome(json.loads(proc.stdout[marker + 3:]), err)


@pytest.fixture
def run():
    return _run


@pytest.fixture
def emulated():
    """The subprocess runner for snippets that need the emulated units."""
    pytest.importorskip("vexlor_emulator")
    return _run
