"""Ensembles against single runs, shards and their merge, Dask, and calibration of a twin site."""
import faulthandler
import json
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import pumak
import pumak.ensembles as ens
from pumak import calibrate, plot
from pumak.results import RESULT_COLUMNS
from conftest import GOLDEN, KPC_L, assert_same_bits

# Base values; the floor alone; ice and air (shares nothing with the rest); a deeper
# hole; a cold run in which the depth stays; NaN, which must stay with its member.
MEMBERS = pd.DataFrame({
    "albedo_cryo": [0.15, 0.30, 0.15, 0.15, 0.15, 0.15],
    "albedo_ice": [0.51, 0.51, 0.40, 0.51, 0.51, np.nan],
    "ch": [0.002, 0.002, 0.004, 0.002, 0.002, 0.002],
    "cryoconite_depth": [100.0, 100.0, 100.0, 250.0, 100.0, 100.0],
    "ta_offset": [0.0, 0.0, 0.0, 0.0, -25.0, 0.0]})


@pytest.mark.parametrize("case", GOLDEN, ids=lambda p: p.name)
def test_members_are_single_runs_to_the_bit(case):
    program = (case / "program").read_text().strip()
    site = pumak.read_site(case / "run", program)
    dataset = pumak.ensemble(site.met, site.parameters, MEMBERS, RESULT_COLUMNS, threads=2, program=program)
    for k, row in MEMBERS.iterrows():
        single = pumak.run({**site.parameters, **row.to_dict()}, site.met, program)
        assert_same_bits(pd.DataFrame({c: dataset[c].values[k] for c in RESULT_COLUMNS}), single)
        fit = plot.summary(single)
        expected = [single["sd_calc"].iloc[-1], single["cryoconite_depth"].iloc[-1], fit["bias_m"],
                    fit["rmse_m"], fit["correlation"]]
        summary = [dataset[name].values[k] for name in ("final_sd_calc", "final_depth", "bias", "rmse", "correlation")]
        np.testing.assert_allclose(summary, np.array(expected, dtype=float), rtol=1e-6)
    assert np.isnan(dataset["nsr_ice"].values[5]).all() and not np.isnan(dataset["nsr_ice"].values[:5]).any()


@pytest.mark.parametrize("members, columns, message", [
    ({"albedo": [0.5]}, (), "albedo: not an item a member sets; the items are latitude, albedo_cryo, albedo_ice"),
    ({"n_days": [3]}, (), "n_days: not an item a member sets (n_days shared by all members)"),
    ({"ch": [0.002]}, ("sdcalc",), "sdcalc: no such result column; the columns are days_for_graph, month"),
    ({"diffuse_mode": [1.5]}, (), "diffuse_mode: expected an integer"),
])
def test_bad_members_and_columns_are_refused_naming_the_valid_ones(members, columns, message):
    site = pumak.read_site(KPC_L)
    with pytest.raises(pumak.InputError) as caught:
        pumak.ensemble(site.met, site.parameters, pd.DataFrame(members), columns)
    assert message in str(caught.value)


def test_shards_merge_to_one_run_and_a_gap_or_overlap_is_refused(tmp_path, capsys):
    members = tmp_path / "members.csv"
    pd.DataFrame({"albedo_ice": np.linspace(0.3, 0.7, 7), "ch": 0.002}).to_csv(members, index=False)
    run = lambda *a: ens.main([str(KPC_L), "--members", str(members), "--columns", "sd_calc,cryoconite_depth", *a])
    parts = [str(tmp_path / f"part_{k}.nc") for k in (1, 2, 3)]
    assert [run("--out", str(tmp_path / "all.nc"))] + [run("--shard", f"{k}/3", "--out", p) for k, p in
                                                        enumerate(parts, 1)] == [0] * 4
    assert ens.main(["merge", *parts[::-1], "--out", str(tmp_path / "merged.nc")]) == 0
    assert capsys.readouterr() == ("", "")
    xr.testing.assert_equal(xr.load_dataset(tmp_path / "merged.nc"), xr.load_dataset(tmp_path / "all.nc"))
    for given, problem in ((parts[::2], "members 2-3 missing (no part holds shard 2/3)"),
                           (parts + parts[1:2], "members 2-3 in more than one part")):
        assert ens.main(["merge", *given, "--out", str(tmp_path / "bad.nc")]) == 2
        assert capsys.readouterr().err == f"pumak ensemble: {problem}\n"
    assert not (tmp_path / "bad.nc").exists()


def test_dask_gives_the_in_process_result_also_when_a_worker_is_killed():
    distributed = pytest.importorskip("distributed")
    site = pumak.read_site(KPC_L)
    members = pd.DataFrame({"albedo_ice": np.linspace(0.3, 0.7, 8000), "ch": np.linspace(0.001, 0.005, 8000)})
    here = pumak.ensemble(site.met, site.parameters, members)
    faulthandler.dump_traceback_later(300, exit=True)  # a hung cluster ends the run, with the stacks
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster, timeout=60) as client:
        xr.testing.assert_equal(pumak.ensemble(site.met, site.parameters, members, client=client), here)
        victim = next(iter(client.run(os.getpid).values()))

        def kill_when_busy():
            while not any(client.processing().values()):
                time.sleep(0.005)
            os.kill(victim, signal.SIGKILL)
        threading.Thread(target=kill_when_busy, daemon=True).start()
        xr.testing.assert_equal(pumak.ensemble(site.met, site.parameters, members, client=client), here)
        assert victim not in client.run(os.getpid).values()
    faulthandler.cancel_dump_traceback_later()


def test_calibrate_de_recovers_the_parameters_of_a_twin(tmp_path):
    site = pumak.read_site(KPC_L)
    truth = {"albedo_ice": 0.47, "ch": 0.0031}
    lowering = pumak.run({**site.parameters, **truth}, site.met)["sd_calc"].to_numpy()
    run_dir = pumak.write_site(tmp_path, site.parameters, site.met.assign(sd_sensor=np.float32(0.1) - lowering))
    assert calibrate.main([run_dir, "--free", "albedo_ice=0.3:0.7", "--free", "ch=0.001:0.005",
                           "--method", "de", "--seed", "4"]) == 0
    best = json.loads((tmp_path / "calibrated" / "calibration.json").read_text())["best"]
    assert best["albedo_ice"] == pytest.approx(0.47, abs=0.005) and best["ch"] == pytest.approx(0.0031, rel=0.02)
    assert {k: pumak.read_site(tmp_path / "calibrated").parameters[k] for k in best} == best
