"""The package against the programs: reference runs, written sites, the programs' diagnostics."""
import re
from pathlib import Path

import pandas as pd
import pytest

import pumak
from pumak import _core
from conftest import GOLDEN, KPC_L, ROOT, assert_same_bits, run_program


@pytest.mark.parametrize("case", GOLDEN, ids=lambda p: p.name)
def test_reference_runs_to_the_bit_through_a_written_site_with_their_sun(case, tmp_path):
    program = (case / "program").read_text().strip()
    results = pumak.run_site(case / "run", program=program)
    assert_same_bits(results, pumak.read_results(case / "expected" / "results.csv"))

    # The site written back is read by the program as the same values.
    site = pumak.read_site(case / "run", program)
    run_dir = pumak.write_site(tmp_path, site.parameters, site.met, program)
    assert run_program(program, run_dir).returncode == 0
    assert_same_bits(pumak.read_results(f"{run_dir}/{site.parameters['out_file']}"), results)
    assert pumak.read_site(run_dir, program).parameters == site.parameters
    # The solar angle `check` compares records with is the run's (no angle is fixed here).
    angle = _core.solar_angle(site.met["doy"].to_numpy(), results["hour"].to_numpy(), site.parameters["latitude"])
    assert_same_bits(pd.DataFrame({"solar_angle": angle}), results[["solar_angle"]])


BAD_FILES = [  # a line of a site's file replaced -> the file, line and item of the error
    ("parameter.ini", 10, "n_days   10.0", "n_days"),
    ("../data/met_lv3/kpc_l_2016_08.txt", 73, "2016 8 4 1 216 missing 6 .6 0 0 240 316 .1 970", "ta_obs"),
    ("parameter.ini", 13, "k_ice_direct/m 1.0", "k_ice_direct"),
]


@pytest.mark.parametrize("file, line, text, item", BAD_FILES)
def test_bad_files_give_the_programs_message(file, line, text, item, tmp_path, monkeypatch):
    site = pumak.read_site(KPC_L, "metrun")
    run_dir = Path(pumak.write_site(tmp_path, site.parameters, site.met))
    lines = (run_dir / file).read_text().splitlines()
    (run_dir / file).write_text("\n".join(lines[:line - 1] + [text] + lines[line:]) + "\n")
    monkeypatch.chdir(run_dir)
    with pytest.raises(pumak.InputError) as caught:
        pumak.read_site("", "metrun")
    error = caught.value
    assert (error.file, error.line, error.item) == (file, line, item)
    program = run_program("metrun", run_dir)
    assert (program.stderr, program.returncode) == (f"pumak_metrun: {error}\n", error.status)


def test_read_results_refuses_what_is_not_a_table(tmp_path):
    good = (GOLDEN[0] / "expected" / "results.csv").read_text().splitlines()
    (tmp_path / "t.csv").write_text("\n".join(good[:3] + [good[3].replace(",", ",x", 1)]))
    with pytest.raises(pumak.InputError, match="t.csv:4: month: expected an integer") as caught:
        pumak.read_results(tmp_path / "t.csv")
    assert (caught.value.line, caught.value.item) == (4, "month")


def test_docs_list_the_result_columns_in_header_order():
    section = (ROOT / "docs" / "programs.md").read_text().split("### The results table")[1].split("\n### ")[0]
    listed = re.findall(r"^\| \d+ \| `(\w+)` \|", section, re.M)
    assert listed == [column["name"] for column in _core.result_columns()]
