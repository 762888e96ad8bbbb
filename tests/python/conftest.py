"""Shared helpers: the repository's folders, the programs, comparing tables to the bit."""
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
GOLDEN = sorted(p for p in (ROOT / "tests" / "data" / "golden").iterdir() if p.is_dir())
KPC_L = ROOT / "tests" / "data" / "golden" / "kpc_l_deep" / "run"  # a real month, pumak_metrun


def run_program(program, run_dir):
    """Runs the built program (in $PUMAK_BUILD_DIR, or build/ as the README builds it) in run_dir."""
    path = ROOT / os.environ.get("PUMAK_BUILD_DIR", "build") / f"pumak_{program}"
    if not path.exists():
        pytest.skip(f"{path} is not built")
    return subprocess.run([path], cwd=run_dir, capture_output=True, text=True, timeout=60)


def assert_same_bits(actual, expected):
    """Same columns, dtypes and values to the bit; NaN equals NaN, +0 differs from -0."""
    assert list(actual.columns) == list(expected.columns)
    for name in expected.columns:
        a, b = actual[name].to_numpy(), expected[name].to_numpy()
        assert a.dtype == b.dtype and a.shape == b.shape, name
        same = (a.view(np.uint32) == b.view(np.uint32)) | (np.isnan(a) & np.isnan(b))
        assert same.all(), f"{name}: first difference in row {np.argmin(same)}"
