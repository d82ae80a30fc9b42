"""Run Python code in a fresh interpreter that imports the same corvanti."""

import os
import pathlib
import subprocess
import sys

import corvanti


def run_python(code: str, *args: str, check: bool = True, timeout: float | None = None) -> subprocess.CompletedProcess:
    """Run ``code`` with ``python -c`` and return the completed process.

    The child sees the corvanti package this test process imported (not
    whatever the working directory holds), and runs in a neutral directory.
    """
    pkg_parent = str(pathlib.Path(corvanti.__file__).resolve().parent.parent)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([pkg_parent] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          check=check, env=env, cwd=pathlib.Path(pkg_parent).anchor, timeout=timeout)
