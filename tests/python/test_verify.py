"""pumak run and pumak verify: the programs' table byte for byte, every output kind verified, every tampering named."""
import json
import os
import re
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import pandas as pd
import pytest
import xarray as xr

import pumak
from pumak import attributes, verify
from pumak.__main__ import main as pumak_main
from pumak.results import RESULT_COLUMNS
from conftest import GOLDEN, KPC_L, ROOT, package_environment, program_path

PROVENANCE = {
    "site": {"name": "kpc_l", "latitude": 79.91, "longitude": -24.08},
    "source": {"file": "/stations/KPC_L_hour.csv", "sha256": "5e" * 32, "layout": "promice_l3"},
    "time": {"utc_offset_hours": -2, "source_clock": "UTC"},
}
MEMBERS = "albedo_ice,ch\n0.45,0.002\n0.5,0.003\n0.55,0.004\n0.4,0.0025\n0.35,0.0035\n"


def command(capsys, *argv):
    """pumak ARGV in this process: (status, standard output, standard error)."""
    status = pumak_main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def site(tmp_path):
    """The KPC_L month as a prepared site (with its provenance: UTC -2 h), 3 days long."""
    original = pumak.read_site(KPC_L)
    parameters = dict(original.parameters, n_days=3)
    return pumak.write_site(tmp_path / "site", parameters, original.met, provenance=PROVENANCE)


def made(kind, site, capsys):
    """Writes one output of `kind` from `site`; returns its path."""
    folder = os.path.dirname(os.path.dirname(site))
    members = os.path.join(folder, "members.csv")
    with open(members, "w") as stream:
        stream.write(MEMBERS)
    path = os.path.join(folder, f"{kind.replace(' ', '_')}.nc")
    if kind == "table":
        argv = ["run", site]
        path = os.path.join(site, pumak.read_site(site).parameters["out_file"])
    elif kind == "single run":
        argv = ["run", os.path.dirname(site), "--netcdf", path]
    elif kind == "ensemble":
        argv = ["ensemble", site, "--members", members, "--columns", "sd_calc,melt_ice", "--out", path]
    elif kind == "shard":
        argv = ["ensemble", site, "--members", members, "--columns", "sd_calc", "--shard", "2/2", "--out", path]
    elif kind == "summary ensemble":
        argv = ["ensemble", site, "--members", members, "--out", path]
    elif kind == "merged":
        parts = [os.path.join(folder, f"part_{k}.nc") for k in (1, 2)]
        for k, part in enumerate(parts, 1):
            status, _, err = command(capsys, "ensemble", site, "--members", members, "--columns", "sd_calc",
                                     "--shard", f"{k}/2", "--quiet", "--out", part)
            assert status == 0, err
        argv = ["ensemble", "merge", *parts, "--quiet", "--out", path]
    status, _, err = command(capsys, *argv)
    assert status == 0, err
    return path


KINDS = ["table", "single run", "ensemble", "shard", "summary ensemble", "merged"]


@pytest.mark.parametrize("kind", KINDS)
def test_every_output_kind_verifies(kind, site, capsys):
    path = made(kind, site, capsys)
    status, out, err = command(capsys, "verify", path)
    assert (status, err) == (0, "") and out.startswith(f"verified: {path}: "), out
    assert "recomputed bit for bit" in out
    if kind != "table":  # every NetCDF file carries the prepared site's provenance and a UTC axis
        with netCDF4.Dataset(path) as ds:
            assert (ds.source_sha256, ds.time_reference, ds.utc_offset_hours) == ("5e" * 32, "UTC", -2)
            assert json.loads(ds.provenance) == PROVENANCE and "local_solar_time" in ds.variables


def test_a_sample_of_members_and_a_merge_like_the_serial_run(site, capsys):
    merged, whole = made("merged", site, capsys), made("ensemble", site, capsys)
    status, out, _ = command(capsys, "verify", merged, "--sample", "2")
    assert status == 0 and "5 members (a sample of 2)" in out
    with netCDF4.Dataset(merged) as a, netCDF4.Dataset(whole) as b:
        # the merge carries the digests of the serial run of the same members
        assert a.getncattr("inputs") == b.getncattr("inputs") and "members_sha256" in json.loads(a.inputs)
        assert a.getncattr("inputs_sha256") == b.getncattr("inputs_sha256")
        assert a["sd_calc"].getncattr("sha256") == b["sd_calc"].getncattr("sha256")


def flip_bit(name, index):
    """Tampering: one bit of one value of a variable, in place."""
    def tamper(path, site):
        with netCDF4.Dataset(path, "a") as ds:
            ds.set_auto_maskandscale(False)
            values = ds[name][...]
            flat = values.reshape(-1).view(np.uint32 if values.dtype.itemsize == 4 else np.uint64)
            flat[np.ravel_multi_index(index, values.shape)] ^= flat.dtype.type(1)
            ds[name][...] = values
    return tamper


def negative_zero(path, site):
    """Tampering: the first +0 of the results made -0 (the same number to a tolerance, another bit)."""
    with netCDF4.Dataset(path, "a") as ds:
        ds.set_auto_maskandscale(False)
        for name in RESULT_COLUMNS:
            values = ds[name][...]
            zeros = np.flatnonzero((values == 0) & ~np.signbit(values))
            if values.dtype.kind == "f" and zeros.size:
                values[zeros[0]] = -0.0
                ds[name][...] = values
                return


def drop_digest(name):
    def tamper(path, site):
        with netCDF4.Dataset(path, "a") as ds:
            ds[name].delncattr("sha256")
    return tamper


def set_attribute(name, change):
    def tamper(path, site):
        with netCDF4.Dataset(path, "a") as ds:
            ds.setncattr(name, change(ds.getncattr(name)))
    return tamper


def change_met(path, site):
    """One value of the site's met file, a little larger."""
    met = os.path.join(site, "..", "data", "met_lv3", pumak.read_site(site).parameters["met_file"])
    lines = open(met).read().split("\n")
    fields = lines[5].split()
    fields[6] = repr(float(fields[6]) + 0.25)
    lines[5] = " ".join(fields)
    open(met, "w").write("\n".join(lines))


def move_site(path, site):
    os.rename(os.path.dirname(site), os.path.dirname(site) + "_moved")


def truncate(path, site):
    data = open(path, "rb").read()
    open(path, "wb").write(data[: len(data) * 2 // 3])


def edit_table(path, site):
    """The last value of hour 30 in the table, one digit changed."""
    lines = open(path).read().split("\n")
    row = lines[30].split(",")
    row[-1] = row[-1][:-1] + ("1" if row[-1][-1] != "1" else "2")
    lines[30] = ",".join(row)
    open(path, "w").write("\n".join(lines))


def drop_last_hour(path, site):
    text = open(path).read().rstrip("\n").split("\n")
    open(path, "w").write("\n".join(text[:-1]) + "\n")


def nudge(value):
    return np.nextafter(np.float32(value), np.float32(1))


# kind, tampering -> exit status and what the one line must name
TAMPERED = {
    "single: one bit of a value": ("single run", flip_bit("sd_calc", (40,)), 1,
                                   ["differs:", "sd_calc, first hour 41", "sha256 does not match"]),
    "single: +0 made -0": ("single run", negative_zero, 1, ["differs:", "first hour", "-0.0 in the file, 0.0 recomputed"]),
    "single: one bit of the time axis": ("single run", flip_bit("time", (3,)), 1, ["time: its values do not match"]),
    "ensemble: one bit of member 3": ("ensemble", flip_bit("melt_ice", (3, 12)), 1,
                                      ["melt_ice, member 3, first hour 13"]),
    "summary ensemble: a summary": ("summary ensemble", flip_bit("final_sd_calc", (4,)), 1,
                                    ["final_sd_calc, member 4"]),
    "shard: one bit of member 3": ("shard", flip_bit("sd_calc", (1, 3)), 1, ["sd_calc, member 3, first hour 4"]),
    "merged: one bit of member 1": ("merged", flip_bit("sd_calc", (1, 70)), 1, ["sd_calc, member 1, first hour 71"]),
    "single: a parameter attribute": ("single run", set_attribute("parameter_albedo_ice", nudge), 1,
                                      ["attribute parameter_albedo_ice: 0.45000002 in the file, 0.45"]),
    "ensemble: a shared parameter": ("ensemble", set_attribute("parameter_albedo_cryo", nudge), 1,
                                     ["attribute parameter_albedo_cryo"]),
    "ensemble: a member's parameter": ("ensemble", flip_bit("parameter_ch", (2,)), 1, ["members_sha256"]),
    "single: a variable's digest removed": ("single run", drop_digest("melt_ice"), 1,
                                            ["melt_ice: carries no sha256"]),
    "single: the title edited": ("single run", set_attribute("title", lambda v: v + "!"), 1, ["attributes_sha256"]),
    "single: the inputs record edited": ("single run", set_attribute("inputs", lambda v: v.replace('"hours": 72', '"hours": 71')), 1,
                                         ["attribute inputs: does not match inputs_sha256"]),
    "single: the met file changed": ("single run", change_met, 2, ["kpc_l_2016_08.txt: the met file changed"]),
    "ensemble: the met file changed": ("ensemble", change_met, 2, ["the met file changed"]),
    "single: the site moved": ("single run", move_site, 2, ["is not there (moved? name it with --site"]),
    "single: truncated": ("single run", truncate, 2, ["not a readable NetCDF file, truncated"]),
    "merged: truncated": ("merged", truncate, 2, ["truncated"]),
    "table: a value edited": ("table", edit_table, 1, ["first hour 30"]),
    "table: the last hour gone": ("table", drop_last_hour, 1, ["71 hours where the run", "(truncated)"]),
    "table: the met file changed": ("table", change_met, 1, ["differs:", "first hour"]),
}


@pytest.mark.parametrize("kind, tamper, status, named", TAMPERED.values(), ids=TAMPERED.keys())
def test_tampering_is_caught_and_named_in_one_line(kind, tamper, status, named, site, capsys):
    path = made(kind, site, capsys)
    tamper(path, site)
    found, out, err = command(capsys, "verify", path)
    line = (out + err).strip()
    assert found == status and "\n" not in line, line
    assert line.startswith("differs: " if status == 1 else "pumak verify: ")
    for words in named:
        assert words in line, line


def test_a_moved_site_verifies_when_named(site, capsys):
    path = made("single run", site, capsys)
    move_site(path, site)
    status, out, _ = command(capsys, "verify", path, "--site", os.path.dirname(site) + "_moved/run")
    assert status == 0, out


def other_netcdf(folder):
    path = folder / "other.nc"
    xr.Dataset({"x": ("t", np.arange(3.0))}, attrs={"Conventions": "CF-1.8"}).to_netcdf(path)
    return path


def unrecorded_netcdf(folder):
    results = pumak.run_site(KPC_L)
    results.attrs.pop("program")
    path = folder / "unrecorded.nc"
    pumak.write_netcdf(pumak.to_xarray(results), path)
    return path


@pytest.mark.parametrize("make, said", [
    (other_netcdf, "not a results file of pumak (no inputs record)"),
    (unrecorded_netcdf, "its inputs are not recorded"),
    (lambda folder: folder / "absent.nc", "No such file or directory"),
    (lambda folder: ROOT / "README.md", "not a results table"),
], ids=["another program's NetCDF", "inputs not recorded", "no such file", "neither table nor NetCDF"])
def test_files_that_cannot_be_verified(make, said, tmp_path, capsys):
    status, out, err = command(capsys, "verify", make(tmp_path))
    assert (status, out) == (2, "") and said in err and err.count("\n") == 1, err


@pytest.mark.parametrize("case", GOLDEN, ids=[case.name for case in GOLDEN])
def test_run_writes_the_programs_table_byte_for_byte(case, tmp_path, capsys):
    program = (case / "program").read_text().strip()
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    for copy in (ours, theirs):
        shutil.copytree(case, copy)
    done = subprocess.run([program_path(program)], cwd=theirs / "run", capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    status, out, err = command(capsys, "run", ours, "--program", program, "--quiet")
    assert (status, out, err) == (0, "", "")
    name = pumak.read_site(ours / "run", program).parameters["out_file"]
    assert (ours / "run" / name).read_bytes() == (theirs / "run" / name).read_bytes()


def no_met(run):
    os.unlink(run / ".." / "data" / "met_lv3" / pumak.read_site(run).parameters["met_file"])


def bad_item(run):
    text = (run / "parameter.ini").read_text().split("\n")
    text[3] = text[3].split()[0] + " x"
    (run / "parameter.ini").write_text("\n".join(text))


def out_is_input(run):
    (run / "parameter.ini").write_text((run / "parameter.ini").read_text().replace("results.csv", "parameter.ini"))


@pytest.mark.parametrize("damage", [no_met, bad_item, out_is_input], ids=["met file missing", "a bad item",
                                                                         "out_file names parameter.ini"])
def test_run_refuses_a_bad_site_as_the_program_does(damage, tmp_path, capsys):
    shutil.copytree(KPC_L.parent, tmp_path / "site")
    run = tmp_path / "site" / "run"
    damage(run)
    before = {p.name: p.read_bytes() for p in run.iterdir()}
    done = subprocess.run([program_path("metrun")], cwd=run, capture_output=True, text=True, timeout=60)
    status, out, err = command(capsys, "run", run)
    assert status == done.returncode != 0 and out == ""
    # the same line, but for the names of the files: the program's are relative to its run directory
    assert err.removeprefix("pumak run: ").replace(f"{run}/", "") == done.stderr.removeprefix("pumak_metrun: ")
    assert {p.name: p.read_bytes() for p in run.iterdir()} == before


def test_run_writes_a_netcdf_in_utc_with_the_local_solar_time_beside(site, capsys):
    path = made("single run", site, capsys)
    back = xr.load_dataset(path)
    assert back.attrs["time_reference"] == "UTC" and back.attrs["source_sha256"] == "5e" * 32
    # hour 1 local solar time ends at 01:00 local, 03:00 UTC at -2 h
    assert back["time"].values[0] == np.datetime64("2016-08-01T03:00")
    assert back["local_solar_time"].values[0] == np.datetime64("2016-08-01T01:00")
    assert "local_solar_time" in back["sd_calc"].encoding["coordinates"].split()


@pytest.mark.parametrize("provenance, offset, first, reference", [
    (PROVENANCE, None, "2016-08-01T03:00", "UTC"),
    (None, None, "2016-08-01T01:00", attributes.LOCAL_ONLY),
    (None, 5.5, "2016-07-31T19:30", "UTC"),
], ids=["offset from the provenance", "offset unknown", "offset given"])
def test_an_ensemble_carries_the_sites_provenance_and_its_time(provenance, offset, first, reference):
    site = pumak.read_site(KPC_L)
    dataset = pumak.ensemble(site.met, dict(site.parameters, n_days=2), pd.DataFrame({"ch": [0.002, 0.003]}),
                             columns=["sd_calc"], provenance=provenance, utc_offset=offset, run_dir=KPC_L)
    assert dataset.attrs["time_reference"] == reference
    assert dataset["time"].values[0] == np.datetime64(first)
    assert ("local_solar_time" in dataset.coords) == (reference == "UTC")
    assert (dataset["time_bnds"].values[:, 1] == dataset["time"].values).all()
    assert ("source_sha256" in dataset.attrs) == (provenance is not None)
    if provenance:
        assert json.loads(dataset.attrs["provenance"]) == PROVENANCE
        assert dataset.attrs["source_file"] == PROVENANCE["source"]["file"]
    assert json.loads(dataset.attrs["inputs"])["site"] == str(KPC_L)


def test_the_documented_recomputation_of_the_digests(site, capsys, monkeypatch):
    """The snippet of docs/results.md, run as written on a file the package wrote."""
    snippet = re.search(r"```python\n(.*?)```", (ROOT / "docs" / "results.md").read_text(), re.S)[1]
    path = made("ensemble", site, capsys)
    monkeypatch.chdir(os.path.dirname(path))
    os.replace(path, "kpc_l.nc")
    printed = []
    exec(snippet, {"print": printed.append})
    assert printed == ["all digests hold"]
    with netCDF4.Dataset("kpc_l.nc", "a") as ds:
        ds["sd_calc"][0, 0] = 1.0
    with pytest.raises(AssertionError, match="sd_calc"):
        exec(snippet, {"print": printed.append})


def test_run_that_cannot_write_its_table_leaves_the_earlier_one(tmp_path):
    """A file-size limit stops the table half-way: status 4, one line, the earlier table as it was."""
    shutil.copytree(KPC_L.parent, tmp_path / "site")
    table = tmp_path / "site" / "run" / pumak.read_site(KPC_L).parameters["out_file"]
    table.write_text("the earlier table\n")
    limited = ("import resource, sys; resource.setrlimit(resource.RLIMIT_FSIZE, (65536, resource.RLIM_INFINITY)); "
               "from pumak.__main__ import main; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", limited, "run", tmp_path / "site"], capture_output=True, text=True,
                          env=package_environment(), timeout=120)
    assert done.returncode == 4 and done.stdout == "", done.stderr
    assert done.stderr.startswith(f"pumak run: cannot write {table}: File too large") and done.stderr.count("\n") == 1
    assert table.read_text() == "the earlier table\n"
    assert sorted(p.name for p in table.parent.iterdir()) == ["parameter.ini", table.name]
