"""pandas reads the example's table with every real column as float64, every negative zero kept."""
import os, pathlib, re, shutil, subprocess
import numpy as np, pandas as pd

ROOT = pathlib.Path(__file__).resolve().parents[2]

def test_real_columns_are_floats_with_their_negative_zeros(tmp_path):
    kinds = dict(re.findall(r'\{"(\w+)", column_kind::(\w+),', (ROOT / "records/result_columns.hpp").read_text()))
    for part in ("run", "data"):
        shutil.copytree(ROOT / "example" / part, tmp_path / part)
    build = ROOT / os.environ.get("PUMAK_BUILD_DIR", "build")  # relative: from the top of the tree
    subprocess.run([build / "pumak_metrun"], cwd=tmp_path / "run", check=True)
    table = tmp_path / "run/results_kpc_l.csv"
    frame = pd.read_csv(table)
    assert list(frame.columns) == list(kinds)
    reals = [name for name, kind in kinds.items() if kind == "real"]
    assert all(frame[name].dtype == np.float64 for name in reals)
    assert all(pd.api.types.is_integer_dtype(frame[name]) for name in kinds if kinds[name] == "integer")
    negative_zeros = int(sum((np.signbit(frame[name]) & (frame[name] == 0)).sum() for name in reals))
    assert negative_zeros == table.read_text().replace("\n", ",").split(",").count("-0.0") > 0
