import subprocess
import sys


def test_import_is_quiet_and_lazy():
    # A fresh interpreter: importing the module must not pull in NumPy or print anything.
    code = "import sys, vexlor; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
    assert out.stderr == ""
