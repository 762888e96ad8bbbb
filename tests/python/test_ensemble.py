"""Ensembles against single runs, bad arguments, shards and their merge, whole outputs, and Dask."""
import faulthandler
import os
import re
import shutil
import signal
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import pumak
import pumak.ensembles as ens
from pumak import memory, plot
from pumak.results import RESULT_COLUMNS
from conftest import GOLDEN, KPC_L, assert_same_bits, package_environment, signal_when_ready

# Base values; the floor alone; ice and air (shares nothing with the rest); a deeper
# hole; a cold run in which the depth stays; NaN, which must stay with its member.
MEMBERS = pd.DataFrame({
    "albedo_cryo": [0.15, 0.30, 0.15, 0.15, 0.15, 0.15],
    "albedo_ice": [0.51, 0.51, 0.40, 0.51, 0.51, np.nan],
    "ch": [0.002, 0.002, 0.004, 0.002, 0.002, 0.002],
    "cryoconite_depth": [100.0, 100.0, 100.0, 250.0, 100.0, 100.0],
    "ta_offset": [0.0, 0.0, 0.0, 0.0, -25.0, 0.0]})
DAYS = 3  # the small site of the command-line cases


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
    assert dataset.attrs["ensemble_program"] == site.program


@pytest.mark.parametrize("change, message", [
    ({"members": {"albedo": [0.5]}}, "albedo: not an item a member sets; the items are latitude, albedo_cryo"),
    ({"members": {"n_days": [3]}}, "n_days: not an item a member sets (n_days shared by all members)"),
    ({"columns": ("sdcalc",)}, "sdcalc: no such result column; the columns are days_for_graph, month"),
    ({"columns": 5}, "columns: expected result column names, found int"),
    ({"members": {"diffuse_mode": [1.5]}}, "diffuse_mode: expected an integer, found 1.5 (member 0)"),
    ({"members": {"diffuse_mode": [0, np.nan]}}, "diffuse_mode: expected an integer, found nan (member 1)"),
    ({"members": {"diffuse_mode": [True]}}, "members: diffuse_mode: expected numbers, found bool"),
    ({"members": {"diffuse_mode": [2**40]}}, "diffuse_mode: expected an integer, found 1099511627776.0 (member 0)"),
    ({"members": {"ch": ["0.002"]}}, "members: ch: expected numbers, found object"),
    ({"members": {"ch": np.zeros((2, 2))}}, "members: not a table of one value per member and item"),
    ({"members": {"ch": 0.002}}, "members: not a table of one value per member and item"),
    ({"members": [0.002]}, "members: expected a pandas DataFrame, found list"),
    ({"members": pd.DataFrame({"ch": []})}, "members: no rows"),
    ({"parameters": {"n_days": 0}}, "parameters: n_days: expected at least 1 day, found 0"),
    ({"parameters": {"n_days": 31}}, "met column column_1 holds 720 rows; n_days * 24 = 744 are needed"),
    ({"parameters": {"n_days": True}}, "n_days: expected an integer, found True"),
    ({"threads": 0}, "threads: expected a whole number from 1 to 1024, found 0"),
    ({"threads": True}, "threads: expected a whole number from 1 to 1024, found True"),
    ({"threads": 10**20}, "threads: expected a whole number from 1 to 1024, found 100000000000000000000"),
    ({"program": "metrunner"}, "program: unknown program"),
    ({"met": [1.0]}, "met: expected a pandas DataFrame or a dict of arrays, found list"),
])
def test_bad_arguments_are_refused_naming_them(change, message):
    site = pumak.read_site(KPC_L)
    arguments = {"met": site.met, "parameters": site.parameters, "members": {"ch": [0.002]}, "columns": ()}
    arguments.update({k: v for k, v in change.items() if k != "parameters"})
    arguments["parameters"] = {**site.parameters, **change.get("parameters", {})}
    with pytest.raises(pumak.InputError) as caught:
        pumak.ensemble(**arguments)
    assert message in str(caught.value)


@pytest.mark.parametrize("members, columns, refused", [
    (100, ["sd_calc", "sd_obs", "nsr_ice", "cryoconite_depth"], "100 members x 720 hours x 4 column(s) need 1.2 MiB"),
    (100, ["sd_calc", "sd_obs", "nsr_ice"], None),  # 100 x (720 x 3 x 4 + 1024) bytes: 0.92 MiB
    (1100, [], "1100 members x 720 hours x 0 column(s) need 1.1 MiB"),
    (1000, [], None),
])
def test_an_ensemble_beyond_the_memory_available_is_refused_before_it_starts(monkeypatch, members, columns, refused):
    monkeypatch.setattr(memory, "available", lambda: 2**20)
    monkeypatch.setattr(ens, "_run_chunk", lambda *a: pytest.fail("the engine ran"))
    site = pumak.read_site(KPC_L)
    table = pd.DataFrame({"ch": np.linspace(0.001, 0.005, members)})
    if refused is None:
        with pytest.raises(pytest.fail.Exception, match="the engine ran"):
            pumak.ensemble(site.met, site.parameters, table, columns)
        return
    with pytest.raises(pumak.InputError, match=re.escape(refused + " of memory, 1.0 MiB is available")):
        pumak.ensemble(site.met, site.parameters, table, columns)


@pytest.mark.parametrize("address_space", [None, 3 * 2**20])
def test_the_memory_available_is_the_systems_within_the_address_space_limit(monkeypatch, address_space):
    pages = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if address_space is not None:
        monkeypatch.setattr(memory.resource, "getrlimit", lambda which: (address_space, address_space))
    assert 0 < memory.available() <= (pages if address_space is None else address_space)
    if address_space is not None:
        assert memory.available() == address_space
        with pytest.raises(pumak.InputError, match=r"need 4\.0 MiB of memory, 3\.0 MiB is available"):
            memory.refuse_beyond(4 * 2**20, "work: this would need", "work")


# ---- the command line ------------------------------------------------------

def status_of(main, argv):
    """The exit status of a command, also when its parser ends it."""
    try:
        return main(argv)
    except SystemExit as end:
        return end.code


def small_site(root, program="pumak_metrun", **items):
    """KPC_L cut to DAYS days, with `items` changed (met_shift: added to ta_obs in one hour; sensor: the
    surface-distance readings)."""
    site = pumak.read_site(KPC_L)
    met = site.met.iloc[:DAYS * 24].copy()
    if "met_shift" in items:
        met.loc[5, "ta_obs"] += np.float32(items.pop("met_shift"))
    if "sensor" in items:
        met["sd_sensor"] = np.float32(items.pop("sensor"))
    return pumak.write_site(root, {**site.parameters, "n_days": DAYS, **items}, met, program)


def members_file(path, values=np.linspace(0.3, 0.7, 7)):
    pd.DataFrame({"albedo_ice": values, "ch": 0.002}).to_csv(path, index=False)
    return str(path)


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    """A small site, its members, the whole ensemble and its three shards."""
    root = tmp_path_factory.mktemp("shards")
    run_dir, members = small_site(root / "site"), members_file(root / "members.csv")
    command = [run_dir, "--members", members, "--columns", "sd_calc,cryoconite_depth", "--quiet"]
    paths = {"all": root / "all.nc", **{k: root / f"part_{k}.nc" for k in (1, 2, 3)}}
    assert ens.main([*command, "--out", str(paths["all"])]) == 0
    for k in (1, 2, 3):
        assert ens.main([*command, "--shard", f"{k}/3", "--out", str(paths[k])]) == 0
    return root, run_dir, members, paths


def test_shards_merge_to_the_whole_ensemble_and_each_command_says_what_it_wrote(shards, tmp_path, capsys):
    root, run_dir, members, paths = shards
    capsys.readouterr()
    assert ens.main([run_dir, "--members", members, "--shard", "2/3", "--out", str(tmp_path / "p.nc")]) == 0
    merged = tmp_path / "merged.nc"
    assert ens.main(["merge", str(paths[3]), str(paths[1]), str(paths[2]), "--out", str(merged)]) == 0
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert err == "" and len(lines) == 2
    assert lines[0].startswith(f"{tmp_path / 'p.nc'}: 2 members (shard 2/3 of 7) x {DAYS * 24} hours, ")
    assert lines[1].startswith(f"{merged}: 7 members from 3 shards x {DAYS * 24} hours, ")
    whole, joined = xr.load_dataset(paths["all"]), xr.load_dataset(merged)
    assert joined.attrs["history"].endswith(" 3 shards merged by pumak ensemble merge")
    # the files were written by separate commands: all but their time stamps (and so the digest of the
    # attributes) is the same
    xr.testing.assert_identical(joined.assign_attrs(STAMPS), whole.assign_attrs(STAMPS))
    assert ens.main(["merge", *(str(paths[k]) for k in (1, 2, 3)), "--quiet", "--out", str(merged)]) == 0
    assert capsys.readouterr() == ("", "")


# The attributes that hold when a file was written, to the second.
STAMPS = {"history": "", "date_created": "", "attributes_sha256": ""}


@pytest.mark.parametrize("sensor, reason", [
    (0.0, "no usable surface observation: sd_obs is constant at 0.1 m over the record"),
    (np.nan, f"no usable surface observation: sd_obs holds no value in {DAYS * 24} hour(s)"),
    (None, None),
])
def test_without_a_usable_surface_the_fit_is_nan_and_the_command_says_why(tmp_path, capsys, sensor, reason):
    run_dir = small_site(tmp_path / "site", **({} if sensor is None else {"sensor": sensor}))
    out = tmp_path / "e.nc"
    assert ens.main([run_dir, "--members", members_file(tmp_path / "m.csv"), "--out", str(out)]) == 0
    said = capsys.readouterr().out
    dataset = xr.load_dataset(out)
    site = pumak.read_site(run_dir)
    fit = plot.summary(pumak.run({**site.parameters, "albedo_ice": 0.3}, site.met))
    assert fit["no_fit_reason"] == dataset.attrs.get("no_fit_reason")  # plot's words
    assert reason is None or fit["no_fit_reason"].startswith(reason)
    if reason is None:
        assert "no fit" not in said and (dataset["pairs"] == DAYS * 24).all()
        assert dataset["rmse"].values[0] == pytest.approx(fit["rmse_m"], rel=1e-6)
        return
    assert said.count("\n") == 1 and said.rstrip().endswith(f"; no fit: {fit['no_fit_reason']}")
    assert all(np.isnan(dataset[name].values).all() for name in ("bias", "rmse", "correlation"))
    assert (dataset["pairs"] == 0).all() and dataset["rmse"].attrs["comment"] == fit["no_fit_reason"]
    assert np.isfinite(dataset["final_sd_calc"].values).all()  # the model's own results stay


def another(kind, root, members):
    """A second ensemble's shard 2/3 that differs from the first in `kind`."""
    if kind == "members":
        return [small_site(root), members_file(root / "other.csv", np.linspace(0.3, 0.71, 7)), []]
    changes = {"site": {"latitude": 60.0}, "met": {"met_shift": 1.5}, "program": {"program": "pumak_fixed_a"},
               "met_file": {"met_file": "elsewhere.txt"}}[kind]
    run_dir = small_site(root, **changes)
    return [run_dir, members, ["--program", changes["program"]] if kind == "program" else []]


@pytest.mark.parametrize("kind, difference", [
    ("site", "latitude 60.0 here, 79.91 there"),
    ("met", "met series (SHA-256) "),
    ("program", "program pumak_fixed_a here, pumak_metrun there"),
    ("met_file", "met_file elsewhere.txt here, kpc_l_2016_08.txt there"),
    ("members", "members table (SHA-256) "),
])
def test_merge_refuses_a_shard_of_another_ensemble_naming_the_difference(shards, tmp_path, capsys, kind, difference):
    root, run_dir, members, paths = shards
    other_dir, other_members, options = another(kind, tmp_path / "other", members)
    other = tmp_path / "other_2.nc"
    assert ens.main([other_dir, "--members", other_members, "--columns", "sd_calc,cryoconite_depth", "--shard",
                     "2/3", "--quiet", "--out", str(other), *options]) == 0
    out = tmp_path / "merged.nc"
    assert ens.main(["merge", str(paths[1]), str(other), str(paths[3]), "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"pumak ensemble merge: {other}: from another ensemble than {paths[1]}: ")
    assert difference in err and len(err.splitlines()) == 1, err
    assert not out.exists()


def damaged(kind, tmp_path, paths):
    """The parts given to merge and the refusal expected."""
    p1, p2, p3 = (str(paths[k]) for k in (1, 2, 3))
    if kind == "cut":
        cut = tmp_path / "cut_2.nc"
        cut.write_bytes(paths[2].read_bytes()[:3000])
        return [p1, str(cut), p3], f"{cut}: not a readable NetCDF file (truncated?)"
    if kind == "fewer":
        fewer = tmp_path / "fewer_2.nc"
        xr.load_dataset(paths[2]).isel(member=[0]).to_netcdf(fewer)
        return [p1, str(fewer), p3], f"{fewer}: holds 1 member(s) where shard 2/3 holds 2 (2-3): truncated or altered"
    if kind == "twice":
        return [p1, p2, p3, p2], f"{p2}: given twice"
    if kind == "copy":
        copy = tmp_path / "copy_2.nc"
        shutil.copy(paths[2], copy)
        return [p1, p2, str(copy), p3], f"{copy}: shard 2/3 again (as {p2})"
    if kind == "missing":
        return [p1, p3], "members 2-3 missing (no part holds shard 2/3)"
    if kind == "overlap":
        half = tmp_path / "half_1.nc"
        part = xr.load_dataset(paths["all"]).isel(member=[0, 1, 2])
        part.attrs["ensemble_shard"] = "1/2"
        part.to_netcdf(half)
        return [p1, p2, p3, str(half)], f"members 0-2 in more than one part ({p1}, {p2}, {half})"
    if kind == "foreign":
        plain = tmp_path / "plain.nc"
        pumak.to_xarray(pumak.run_site(KPC_L)).to_netcdf(plain)
        return [p1, str(plain)], f"{plain}: not a part of an ensemble (written by pumak ensemble)"
    if kind in ("relabelled", "lat", "time"):
        edited = tmp_path / f"{kind}_2.nc"
        part = xr.load_dataset(paths[2])
        if kind == "relabelled":  # shard 0/4 would hold the members -2 and -1
            part = part.assign_coords(member=[-2, -1]).assign_attrs(ensemble_shard="0/4")
            message = f"{edited}: ensemble_shard '0/4': expected K/N, K from 1 to N"
        elif kind == "lat":
            part["lat"] = part["lat"] + np.float32(1)
            message = f"{edited}: coordinate lat differs from that of {p1}"
        else:
            part["time"] = part["time"] + np.timedelta64(1, "h")
            message = f"{edited}: coordinate time differs from that of {p1}"
        part.to_netcdf(edited)
        return [p1, str(edited), p3], message
    if kind == "earlier":
        earlier = tmp_path / "earlier_3.nc"
        part = xr.load_dataset(paths[3])
        del part.attrs["ensemble_met_sha256"]
        part.to_netcdf(earlier)
        return [p1, p2, str(earlier)], (f"{earlier}: no ensemble_met_sha256: written by an earlier pumak ensemble; "
                                        "run this shard again")
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["cut", "fewer", "twice", "copy", "missing", "overlap", "foreign", "earlier",
                                  "relabelled", "lat", "time"])
def test_merge_refuses_damaged_doubled_and_missing_shards_naming_them(shards, tmp_path, capsys, kind):
    given, message = damaged(kind, tmp_path, shards[3])
    out = tmp_path / "merged.nc"
    assert ens.main(["merge", *given, "--out", str(out)]) == 2
    assert capsys.readouterr() == ("", f"pumak ensemble merge: {message}\n")
    assert not out.exists()


def members_with(tmp_path, text):
    path = tmp_path / "members.csv"
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("members, options, message", [
    ("albedo_ice,ch\n", [], "{members}: no members: a header and no rows"),
    ("", [], "{members}: not a table of members (No columns to parse from file)"),
    (None, [], "{members}: No such file or directory"),
    ("albedo_ice,ch\n0.5,0.002\n0.6,abc\n", [], "{members}:3: ch: expected a number, found 'abc'"),
    ("diffuse_mode\n0\n\n1\n2.5\n", [], "{members}:5: diffuse_mode: expected an integer, found 2.5 (member 2)"),
    ("albedo_ice,ch\n\n0.5,0.002\n0.6,abc\n", [], "{members}:4: ch: expected a number, found 'abc'"),
    ("diffuse_mode\nTrue\n", [], "{members}:2: diffuse_mode: expected a number, found True"),
    ("ch\n0.002\n0.003\n", ["--shard", "3/2"], "argument --shard: '3/2': K must be 1 to N"),
    ("ch\n0.002\n0.003\n", ["--shard", "1/3"], "--shard 1/3: 3 shards of 2 members would leave shards empty"),
    ("ch\n0.002\n", ["--threads", "0"], "argument --threads: '0': expected a number of threads from 1 to 1024"),
    ("ch\n0.002\n", ["--threads", "99999999999999999999"], "'99999999999999999999': expected a number of threads"),
    ("ch\n0.002\n", ["--program", "fixed_c"], "unknown program"),
    ("ch\n0.002\n", ["--out", "{tmp}/nowhere/e.nc"], "cannot write {tmp}/nowhere/e.nc: no directory {tmp}/nowhere"),
    ("ch\n0.002\n", ["--out", "{tmp}"], "cannot write {tmp}: is a directory"),
])
def test_bad_command_lines_are_one_line_and_status_2(shards, tmp_path, capsys, members, options, message):
    path = members_with(tmp_path, members) if members is not None else str(tmp_path / "absent.csv")
    options = [o.format(tmp=tmp_path) for o in options]
    out = [] if "--out" in options else ["--out", str(tmp_path / "e.nc")]
    assert status_of(ens.main, [shards[1], "--members", path, *options, *out]) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and err.startswith("pumak ensemble: "), err
    assert message.format(members=path, tmp=tmp_path) in err, err
    assert not (tmp_path / "e.nc").exists()
    if message.startswith("{members}:") and message[10].isdigit():  # the error carries the line
        with pytest.raises(pumak.InputError) as caught:
            ens._run_command([shards[1], "--members", path, "--out", str(tmp_path / "e.nc")])
        assert (caught.value.file, caught.value.line) == (path, int(message[10]))


# The child stops once the NetCDF file is written under its unfinished name.
CHILD = """
import pathlib, sys, time
import xarray
import pumak.ensembles
write = xarray.Dataset.to_netcdf
def stalled(self, path, *args, **kwargs):
    write(self, path, *args, **kwargs)
    pathlib.Path(sys.argv[1]).touch()
    time.sleep(120)
xarray.Dataset.to_netcdf = stalled
sys.exit(pumak.ensembles.main(sys.argv[2:]))
"""


# A failed write (file-size limit, full disk) is the writer's (test_outputs) and the command line's; here the
# ensemble command's own write under a signal.
@pytest.mark.parametrize("fault", ["SIGTERM", "SIGKILL"])
def test_an_interrupted_write_keeps_the_earlier_file(shards, tmp_path, fault):
    root, run_dir, _, paths = shards
    out = tmp_path / "ensemble.nc"
    shutil.copy(paths[1], out)
    before = out.read_bytes()
    many = members_file(tmp_path / "many.csv", np.linspace(0.3, 0.7, 300))
    argv = [run_dir, "--members", many, "--columns", ",".join(RESULT_COLUMNS), "--out", str(out)]
    ready = tmp_path / "ready"
    found = signal_when_ready([sys.executable, "-c", CHILD, str(ready), *argv], ready, fault, package_environment())
    expected = (143, "pumak ensemble: interrupted; earlier outputs are unchanged\n")
    assert found == (expected if fault == "SIGTERM" else (-signal.SIGKILL, ""))
    assert out.read_bytes() == before
    # the next write succeeds and leaves nothing of the one that failed
    assert ens.main([run_dir, "--members", shards[2], "--quiet", "--out", str(out)]) == 0
    assert [name for name in os.listdir(tmp_path) if "unfinished" in name] == []


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
        killed, done = threading.Event(), threading.Event()

        def kill_when_busy():
            while not done.is_set():
                if any(client.processing().values()):
                    os.kill(victim, signal.SIGKILL)
                    killed.set()
                    return
                time.sleep(0.005)
        # The kill must fall while tasks run: an ensemble that ends before the killer sees one is run again,
        # so that the outcome does not hang on how fast this machine is.
        for _ in range(5):
            done.clear()
            killer = threading.Thread(target=kill_when_busy, daemon=True)
            killer.start()
            xr.testing.assert_equal(pumak.ensemble(site.met, site.parameters, members, client=client), here)
            done.set()
            killer.join()
            if killed.is_set():
                break
        assert killed.is_set() and victim not in client.run(os.getpid).values()
    faulthandler.cancel_dump_traceback_later()
