"""Shared helpers: the repository's folders, the programs, comparing tables to the bit, signalling a child."""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
GOLDEN = sorted(p for p in (ROOT / "tests" / "data" / "golden").iterdir() if p.is_dir())
KPC_L = ROOT / "tests" / "data" / "golden" / "kpc_l_deep" / "run"  # a real month, pumak_metrun


# Set by tools/test_all.sh, which runs these tests against the package
# installed into a venv, from outside the tree: then the package must not be
# the one in python/ of this tree.
INSTALLED = os.environ.get("PUMAK_TEST_INSTALLED") == "1"


def pytest_sessionstart(session):
    if INSTALLED:
        import pumak
        where = Path(pumak.__file__).resolve()
        if ROOT / "python" in where.parents:
            pytest.exit(f"PUMAK_TEST_INSTALLED=1, but pumak is imported from the source tree ({where})",
                        returncode=3)


def package_environment(*paths, **variables):
    """The environment of a child interpreter that imports the package under test.

    In place, python/ of the tree (and `paths`) on PYTHONPATH; with PUMAK_TEST_INSTALLED=1 only
    `paths`, so that the child (started with sys.executable, the venv's interpreter) imports the
    installed package as this process does.
    """
    found = [str(path) for path in paths] if INSTALLED else [str(ROOT / "python"), *map(str, paths)]
    environment = dict(os.environ, **variables)
    environment.pop("PYTHONPATH", None)
    if found:
        environment["PYTHONPATH"] = os.pathsep.join(found)
    return environment


# Which programs the end-to-end tests run: "installed" (beside this interpreter, in the venv's bin/,
# as pip put them) or "build" (CMake's, in $PUMAK_BUILD_DIR or build/). Installed by default when the
# package under test is; tools/test_all.sh runs the program tests against both.
PROGRAMS = os.environ.get("PUMAK_TEST_PROGRAMS", "installed" if INSTALLED else "build")


def program_path(program):
    """The program pumak_<program> under test (see PROGRAMS); skips if a build's is absent, fails if an install's is."""
    if PROGRAMS == "installed":
        path = Path(sys.executable).parent / f"pumak_{program}"
        if not path.exists():
            pytest.fail(f"{path} is not installed with the package")
        return path
    path = ROOT / os.environ.get("PUMAK_BUILD_DIR", "build") / f"pumak_{program}"
    if not path.exists():
        pytest.skip(f"{path} is not built")
    return path


def run_program(program, run_dir):
    """Runs the built program in run_dir."""
    return subprocess.run([program_path(program)], cwd=run_dir, capture_output=True, text=True, timeout=60)


def assert_same_bits(actual, expected):
    """Same columns, dtypes and values to the bit; NaN equals NaN, +0 differs from -0."""
    assert list(actual.columns) == list(expected.columns)
    for name in expected.columns:
        a, b = actual[name].to_numpy(), expected[name].to_numpy()
        assert a.dtype == b.dtype and a.shape == b.shape, name
        same = (a.view(np.uint32) == b.view(np.uint32)) | (np.isnan(a) & np.isnan(b))
        assert same.all(), f"{name}: first difference in row {np.argmin(same)}"


def signal_when_ready(command, ready, fault, env):
    """Starts `command`, waits until it creates the file `ready` and sends it the signal named `fault`.

    Returns the child's exit status (negative: killed by that signal) and its standard error.
    """
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not ready.exists() and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert ready.exists(), child.communicate()
    child.send_signal(getattr(signal, fault))
    _, err = child.communicate(timeout=60)
    return child.returncode, err
