"""The Python layer under bad arguments and failing writes: refusals name the argument, outputs appear whole or not at all."""
import contextlib
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

import pumak
from pumak import cf, memory, outputs, sitefiles
from conftest import KPC_L, ROOT, assert_same_bits, package_environment, run_program


@pytest.fixture(scope="module")
def site():
    return pumak.read_site(KPC_L)


def _with(parameters, **changes):
    return {**parameters, **changes}


# (function, arguments made from the site and a folder, the item the refusal names); each guards a fault class.
BAD_ARGUMENTS = {
    "parameters not a dict": (pumak.run, lambda s, d: ([("n_days", 1)], s.met), "parameters"),
    "bool as n_days": (pumak.run, lambda s, d: (_with(s.parameters, n_days=True), s.met), "n_days"),
    "NaN as n_days": (pumak.run, lambda s, d: (_with(s.parameters, n_days=float("nan")), s.met), "n_days"),
    "float as n_days": (pumak.run, lambda s, d: (_with(s.parameters, n_days=30.0), s.met), "n_days"),
    "n_days beyond the longest run": (pumak.run, lambda s, d: (_with(s.parameters, n_days=365251), s.met), "n_days"),
    "text as a real": (pumak.run, lambda s, d: (_with(s.parameters, albedo_ice="0.5"), s.met), "albedo_ice"),
    "misspelt item": (pumak.run, lambda s, d: (_with(s.parameters, albedo_ise=0.5), s.met), "albedo_ise"),
    "met not a table": (pumak.run, lambda s, d: (s.parameters, None), "met"),
    "met column missing": (pumak.run, lambda s, d: (s.parameters, s.met.drop(columns="lw_up")), "lw_up"),
    "met one record short": (pumak.run, lambda s, d: (s.parameters, s.met.iloc[:-1]), "column_1"),
    "met column of text": (pumak.run, lambda s, d: (s.parameters, s.met.assign(rh=s.met["rh"].astype(str))), "rh"),
    "float as an integer column": (pumak.run, lambda s, d: (s.parameters, s.met.assign(doy=s.met["doy"] * 1.0)),
                                   "doy"),
    "bool as an integer column": (pumak.run, lambda s, d: (s.parameters, s.met.assign(doy=s.met["doy"] > 0)), "doy"),
    "two-dimensional column": (pumak.run, lambda s, d: (s.parameters, {**s.met, "wind": np.zeros((720, 2))}), "wind"),
    "program not a name": (pumak.run, lambda s, d: (s.parameters, s.met, 5), "program"),
    "unknown program": (pumak.run, lambda s, d: (s.parameters, s.met, "metrum"), "program"),
    "run_dir not a path": (pumak.read_site, lambda s, d: (5,), "run_dir"),
    "run_dir with a NUL": (pumak.run_site, lambda s, d: ("ex\0ample",), "run_dir"),
    "program None": (pumak.read_site, lambda s, d: (KPC_L, None), "program"),
    "root not a path": (pumak.write_site, lambda s, d: (None, s.parameters, s.met), "root"),
    "blank met_file": (pumak.write_site, lambda s, d: (d, _with(s.parameters, met_file=" "), s.met), "met_file"),
    "columns of two lengths": (pumak.write_site, lambda s, d: (d, _with(s.parameters, n_days=1),
                                                                {**s.met, "sr": s.met["sr"][:-1]}), "sr"),
    "provenance not a dict": (pumak.write_site, lambda s, d: (d, s.parameters, s.met, "metrun", ["x"]), "provenance"),
    "results path not a path": (pumak.read_results, lambda s, d: (3.5,), "path"),
    "met text of two lengths": (sitefiles.met_file_text, lambda s, d: ({**s.met, "sr": s.met["sr"][:-1]},), "sr"),
    "fraction in a day column": (sitefiles.met_file_text, lambda s, d: ({**s.met, "day": s.met["day"] + 0.5},), "day"),
}


@pytest.mark.parametrize("function, arguments, item", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_are_refused_naming_them_and_nothing_is_written(function, arguments, item, site, tmp_path):
    with pytest.raises(pumak.InputError) as caught:
        function(*arguments(site, tmp_path / "site"))
    assert caught.value.item == item and item in str(caught.value)
    assert not (tmp_path / "site").exists()


# (the work, the memory available in bytes, the item refused, None: done)
TOO_LARGE = {
    "results of a long run": (lambda s, d: pumak.run(_with(s.parameters, n_days=20000), s.met), 5_000, "n_days"),
    "a large table": (lambda s, d: pumak.read_results(ROOT / "tests/data/example_results_kpc_l.csv"), 5_000, "path"),
    # 2 columns * 720 records * 4 bytes = 5760 bytes to convert
    "met columns to convert": (lambda s, d: pumak.write_site(d, s.parameters, s.met.astype(
        {"ta_obs": "float64", "sr": "float64"})), 5_000, "met"),
    "met columns to convert, room for them": (lambda s, d: pumak.write_site(d, s.parameters, s.met.astype(
        {"ta_obs": "float64", "sr": "float64"})), 6_000, None),
}


@pytest.mark.parametrize("call, available, item", TOO_LARGE.values(), ids=TOO_LARGE.keys())
def test_work_too_large_for_memory_is_refused_before_it_starts(call, available, item, site, monkeypatch, tmp_path):
    monkeypatch.setattr(memory, "available", lambda: available)
    with pytest.raises(pumak.InputError, match=r" of memory, 4\.9 KiB is available$") if item else \
            contextlib.nullcontext() as caught:
        call(site, tmp_path / "site")
    assert (tmp_path / "site").exists() == (item is None) and (item is None or caught.value.item == item)


@pytest.mark.parametrize("path, why", [
    ("/dev/zero", "not a regular file"),  # would read forever
    (".", "Is a directory"),
])
def test_read_results_refuses_what_is_not_a_file(path, why):
    with pytest.raises(pumak.InputError, match=why):
        pumak.read_results(path)


# met_file -> where, inside the site, the programs read it (None: refused).
MET_NAMES = [
    ("kpc.txt", "data/met_lv3/kpc.txt"),
    ("/abs/path/kpc.txt", "data/met_lv3/abs/path/kpc.txt"),  # read as ../data/met_lv3//abs/path/kpc.txt
    ("2016/./kpc august.txt", "data/met_lv3/2016/kpc august.txt"),
    ("../kpc.txt", None),  # would need data/met_lv3 to exist as a folder, and leads out of it
    ("../../../kpc.txt", None),  # out of the site
    ("../../run/parameter.ini", None),  # the site's own parameter file
    ("kpc/", None),
    (".", None),
]


@pytest.mark.parametrize("name, where", MET_NAMES, ids=[n for n, _ in MET_NAMES])
def test_write_site_puts_the_met_file_where_the_programs_read_it(name, where, site, tmp_path):
    root = tmp_path / "site"
    parameters = _with(site.parameters, met_file=name, n_days=2)
    if where is None:
        with pytest.raises(pumak.InputError, match="met_file") as caught:
            pumak.write_site(root, parameters, site.met)
        assert caught.value.item == "met_file" and not root.exists()
        return
    run_dir = pumak.write_site(root, parameters, site.met)
    assert (root / where).is_file() and not Path("/abs/path/kpc.txt").exists()
    assert sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()) == sorted(
        ["run/parameter.ini", where])
    program = run_program("metrun", run_dir)
    assert program.returncode == 0, program.stderr
    assert_same_bits(pumak.read_results(Path(run_dir) / parameters["out_file"]),
                     pumak.run(parameters, site.met))


def test_write_site_keeps_other_files_and_drops_a_provenance_that_no_longer_holds(site, tmp_path):
    root = tmp_path / "site"
    provenance = {"source": {"file": "/stations/kpc_l.csv", "sha256": "ab" * 32}}
    pumak.write_site(root, site.parameters, site.met, provenance=provenance)
    (root / "notes.txt").write_text("mine")
    pumak.write_site(root, _with(site.parameters, albedo_ice=0.4), site.met)  # same records: still true
    assert pumak.read_site(root / "run").provenance == provenance and (root / "notes.txt").read_text() == "mine"
    pumak.write_site(root, site.parameters, site.met.assign(ta_obs=site.met["ta_obs"] + 1))
    assert pumak.read_site(root / "run").provenance is None and (root / "notes.txt").read_text() == "mine"


# ---- interrupted and refused writes ------------------------------------------------

def _python(code, fsize=None):
    """Runs `code` in a fresh interpreter, with a file-size limit in bytes if given."""
    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          preexec_fn=limit if fsize else None,
                          env=package_environment(ROOT / "tests" / "python"))


def _snapshot(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def _leftovers(folder):
    return [p.name for p in folder.iterdir() if ".unfinished-" in p.name]


# A write of a changed site (other parameters, other records), broken in the middle of its met file.
CHANGED_SITE = """
import os, signal, pumak
from pumak import sitefiles
from conftest import KPC_L
site = pumak.read_site(KPC_L)
def broken(path, columns):
    with open(path, "x") as half:
        half.write("2016 8 1 1 214 -1.5")
    {action}
sitefiles.write_met_records = broken if "{action}" != "pass" else sitefiles.write_met_records
try:
    pumak.write_site({root!r}, dict(site.parameters, albedo_ice=0.2), site.met.assign(wind=site.met["wind"] * 2))
except OSError as error:
    print(type(error).__name__, error)
"""

INTERRUPTIONS = {
    "SIGKILL": ("os.kill(os.getpid(), signal.SIGKILL)", None, -signal.SIGKILL, ""),
    "SIGTERM": ("os.kill(os.getpid(), signal.SIGTERM)", None, None, "KeyboardInterrupt: SIGTERM"),
    "file-size limit": ("pass", 16_000, 0, "OutputError cannot write"),
}


@pytest.mark.parametrize("action, fsize, status, said", INTERRUPTIONS.values(), ids=INTERRUPTIONS.keys())
def test_an_interrupted_write_site_leaves_the_earlier_site_whole(action, fsize, status, said, site, tmp_path):
    root = tmp_path / "site"
    pumak.write_site(root, site.parameters, site.met)
    before = _snapshot(root)
    out = _python(CHANGED_SITE.format(action=action, root=str(root)), fsize)
    assert status is None or out.returncode == status, out.stderr
    assert said in out.stdout + out.stderr
    if fsize:
        assert "File too large" in out.stdout
    assert _snapshot(root) == before
    # A killed write leaves its unfinished folder; the next write removes it.
    pumak.write_site(root, site.parameters, site.met)
    assert _leftovers(tmp_path) == [] and _snapshot(root) == before


@contextlib.contextmanager
def _small_disk(folder, size):
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                      capture_output=True).returncode:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=False)


def _whole_month_netcdf(site, disk):
    cf.write_netcdf(pumak.to_xarray(pumak.run(site.parameters, site.met), site.parameters, site.met), disk / "r.nc")


# disk size, an earlier output that fits, the write that does not fit
FULL_DISK = {
    "site": ("32k", lambda s, d: pumak.write_site(d / "site", _with(s.parameters, n_days=1), s.met.iloc[:24]),
             lambda s, d: pumak.write_site(d / "site", s.parameters, s.met)),
    "NetCDF, refused before writing": ("64k", lambda s, d: None, _whole_month_netcdf),
}


@pytest.mark.parametrize("size, earlier, write", FULL_DISK.values(), ids=FULL_DISK.keys())
def test_a_full_disk_is_reported_and_the_earlier_output_kept(size, earlier, write, site, tmp_path):
    with _small_disk(tmp_path / "disk", size) as disk:
        earlier(site, disk)
        before = _snapshot(disk)
        with pytest.raises(pumak.errors.OutputError, match="No space left on device"):
            write(site, disk)
        assert _snapshot(disk) == before and _leftovers(disk) == []


NETCDF = """
import os, signal, pumak, xarray
from pumak import cf
from conftest import KPC_L
site = pumak.read_site(KPC_L)
dataset = pumak.to_xarray(pumak.run(site.parameters, site.met), site.parameters, site.met)
if {signal}:
    xarray.open_dataset = lambda *a, **k: os.kill(os.getpid(), {signal})
if {blind}:  # no estimate beforehand: the limit is met inside the netCDF library
    cf._estimated_bytes = lambda dataset: 0
try:
    cf.write_netcdf(dataset, {path!r})
except OSError as error:
    print(type(error).__name__, error, flush=True)
    os._exit(0)  # the library may crash the interpreter at exit after such a failure
"""


@pytest.mark.parametrize("stop, fsize, blind, said", [
    (signal.SIGKILL, None, False, ""),
    (signal.SIGTERM, None, False, "KeyboardInterrupt: SIGTERM"),
    (0, 60_000, False, "OutputError cannot write"),
    (0, 60_000, True, "File too large (the file-size limit is 60000 bytes)"),
], ids=["SIGKILL before the swap", "SIGTERM before the swap", "file-size limit", "file-size limit in the library"])
def test_an_interrupted_netcdf_write_keeps_the_earlier_file(stop, fsize, blind, said, site, tmp_path):
    path = tmp_path / "r.nc"
    path.write_bytes(b"earlier")
    out = _python(NETCDF.format(signal=int(stop), blind=blind, path=str(path)), fsize)
    assert said in out.stdout + out.stderr, out.stderr
    assert path.read_bytes() == b"earlier"
    if stop == signal.SIGKILL:  # a killed process cannot clean up; the next write does
        assert _leftovers(tmp_path)
        cf.write_netcdf(pumak.to_xarray(pumak.run(site.parameters, site.met)), path)
        with xr.open_dataset(path) as back:
            assert back.sizes["time"] == 720
    assert _leftovers(tmp_path) == []
    if fsize:
        assert "File too large" in out.stdout and "Traceback" not in out.stderr


@pytest.mark.parametrize("piece", [7, 720, 100_000])  # a piece that does not divide the records, one, more
def test_the_met_file_written_in_pieces_reads_back_to_the_bit(piece, site, tmp_path, monkeypatch):
    monkeypatch.setattr(sitefiles, "CHUNK_RECORDS", piece)
    back = pumak.read_site(pumak.write_site(tmp_path, site.parameters, site.met))
    assert_same_bits(back.met, site.met)
    assert "".join(sitefiles.met_file_chunks(site.met)) == sitefiles.met_file_text(site.met)


def test_a_netcdf_file_that_does_not_read_back_whole_is_not_swapped_in(site, tmp_path, monkeypatch):
    dataset = pumak.to_xarray(pumak.run(site.parameters, site.met), site.parameters, site.met)
    real = xr.Dataset.to_netcdf
    monkeypatch.setattr(xr.Dataset, "to_netcdf", lambda self, path, **kw: real(self.drop_vars("sr"), path, **kw))
    (tmp_path / "r.nc").write_bytes(b"earlier")
    with pytest.raises(pumak.errors.OutputError, match="does not read back whole"):
        cf.write_netcdf(dataset, tmp_path / "r.nc")
    assert (tmp_path / "r.nc").read_bytes() == b"earlier" and _leftovers(tmp_path) == []


PROVENANCE_FILES = {  # provenance.json -> what read_site says about it
    "not JSON": (b'{"source":\n  {"file": }', ":2: not JSON"),
    "not an object": (b"[1, 2]", "expected a JSON object, found list"),
    "not UTF-8": (b'{"site": "\xff"}', "not UTF-8 text"),
    "a folder": (None, "not a regular file"),
}


@pytest.mark.parametrize("content, said", PROVENANCE_FILES.values(), ids=PROVENANCE_FILES.keys())
def test_a_provenance_that_cannot_be_read_is_said_naming_the_file(content, said, site, tmp_path):
    run_dir = pumak.write_site(tmp_path, site.parameters, site.met)
    if content is None:
        (tmp_path / "provenance.json").mkdir()
    else:
        (tmp_path / "provenance.json").write_bytes(content)
    with pytest.raises(pumak.InputError, match=said) as caught:
        pumak.read_site(run_dir)
    assert caught.value.file.endswith("provenance.json")


@pytest.mark.parametrize("n_days", [1, 30])
def test_the_netcdf_size_foreseen_is_just_above_the_real_one(n_days, site, tmp_path):
    # Below the real size the netCDF library would meet the file-size limit itself; far above it, a
    # file that fits would be refused.
    parameters = _with(site.parameters, n_days=n_days)
    dataset = pumak.to_xarray(pumak.run(parameters, site.met), parameters, site.met)
    size = os.path.getsize(cf.write_netcdf(dataset, tmp_path / "r.nc"))
    assert size <= cf._estimated_bytes(dataset) <= size + 32 * 1024


# ---- several writers, foreign folders and late files -------------------------------------------

EXAMPLE = ROOT / "example"
SAMPLE = EXAMPLE / "promice_l3" / "l3_hourly_2023_12.csv"


@pytest.fixture
def example(tmp_path):
    """A copy of the shipped example site (run/ and data/) with a results table of the user's."""
    root = tmp_path / "site"
    for part in ("run", "data"):
        shutil.copytree(EXAMPLE / part, root / part)
    (root / "run" / "results_kpc_l.csv").write_text("mine\n")
    return root


def _tagged(root, tag, exclusive=False, during=None):
    """Writes `root` as a whole: run/parameter.ini and TAG.txt hold `tag`; `during(unfinished)` runs inside."""
    def fill(unfinished):
        os.makedirs(os.path.join(unfinished, "run"), exist_ok=True)
        Path(unfinished, "run", "parameter.ini").write_text(tag)
        Path(unfinished, f"{tag}.txt").write_text(tag)
        if during:
            during(unfinished)

    outputs.write_directory(root, fill, replaces=["run/parameter.ini", f"{tag}.txt"], exclusive=exclusive)


# A second call writing the same target while the first is under way (in its fill, as another thread
# would): before -> exclusive first and second -> the first's error (None: done) and the files at the end.
SECOND_WRITER = {
    "over a site, both replace": ("example", False, False, None, {"a.txt", "b.txt", "run/results_kpc_l.csv"}),
    "new folder, both new": (None, True, True, errno.EEXIST, {"b.txt"}),
    "empty folder, both new": ("empty", True, True, errno.EEXIST, {"b.txt"}),
    "new folder, --force": (None, False, False, errno.EEXIST, {"b.txt"}),
    "new folder, the second forces": (None, True, False, errno.EEXIST, {"b.txt"}),
}


@pytest.mark.parametrize("before, first, second, error, files", SECOND_WRITER.values(), ids=SECOND_WRITER.keys())
def test_a_second_writer_of_one_target_never_takes_the_others_work(before, first, second, error, files, example,
                                                                     tmp_path):
    root = example if before == "example" else tmp_path / "new"
    if before == "empty":
        root.mkdir()
    with pytest.raises(OSError) if error else contextlib.nullcontext() as caught:
        _tagged(root, "a", first, during=lambda unfinished: _tagged(root, "b", second))
    assert error is None or caught.value.errno == error and "another writer" in str(caught.value)
    assert files <= {str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()}
    assert (root / "run" / "parameter.ini").read_text() == ("a" if error is None else "b")
    assert "a.txt" in files or not (root / "a.txt").exists()
    assert _leftovers(root.parent) == []


def test_a_rewritten_file_keeps_its_mode(tmp_path):
    path = tmp_path / "r.txt"
    outputs.write_file(path, "first")
    path.chmod(0o640)
    outputs.write_file(path, "second")
    assert (path.stat().st_mode & 0o777, path.read_text()) == (0o640, "second")


def test_a_file_written_by_two_calls_at_once_is_the_later_one(tmp_path):
    path = tmp_path / "r.txt"

    def outer(unfinished):
        Path(unfinished).write_text("outer")
        outputs.write_file(path, "inner")

    outputs.write_file(path, outer)
    assert path.read_text() == "outer" and _leftovers(tmp_path) == []


def _site_by_threads(site, example, k):
    pumak.write_site(example, _with(site.parameters, n_days=2, albedo_ice=0.3 + k / 100), site.met)


def _netcdf_by_threads(site, example, k):
    parameters = _with(site.parameters, n_days=2, albedo_ice=0.3 + k / 100)
    cf.write_netcdf(pumak.to_xarray(pumak.run(parameters, site.met), parameters, site.met), example / "r.nc")


def _site_written(example):
    assert (example / "run" / "results_kpc_l.csv").read_text() == "mine\n"
    return pumak.read_site(example / "run").parameters["albedo_ice"]


def _netcdf_written(example):
    with xr.open_dataset(example / "r.nc") as back:
        assert back.sizes["time"] == 48
        return np.float32(back.attrs["parameter_albedo_ice"])


@pytest.mark.parametrize("write, written", [(_site_by_threads, _site_written), (_netcdf_by_threads, _netcdf_written)],
                         ids=["site", "NetCDF file"])
def test_threads_writing_one_target_all_finish_and_one_of_them_stays(write, written, site, example):
    errors = []

    def writer(k):
        try:
            for _ in range(3):
                write(site, example, k)
        except BaseException as error:  # noqa: B036 - any failure of a thread is the test's failure
            errors.append(error)

    threads = [threading.Thread(target=writer, args=(k,)) for k in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and written(example) in {np.float32(0.3 + k / 100) for k in range(3)}
    assert _leftovers(example) == [] and _leftovers(example.parent) == []


@pytest.mark.parametrize("write", [lambda path: outputs.write_file(path, "new"), lambda path: _tagged(path, "a")],
                         ids=["file", "directory"])
def test_a_name_left_by_a_dead_process_of_the_same_id_is_not_taken(write, tmp_path, monkeypatch):
    monkeypatch.setattr(outputs, "_calls", iter(range(5, 10)))
    taken = tmp_path / f".t.unfinished-{os.getpid()}-5"
    taken.write_text("left")
    write(tmp_path / "t")
    assert taken.read_text() == "left" and (tmp_path / "t").exists()


def test_a_second_prepare_into_the_same_new_folder_is_told(tmp_path, monkeypatch, capsys):
    from pumak import prepare

    site = tmp_path / "site"
    real = prepare.model.write_site

    def other_first(root, parameters, *args, **kwargs):  # another prepare finishes while this one works
        real(root, dict(parameters, met_file="other.txt"), *args, exclusive=True, **
             {k: v for k, v in kwargs.items() if k != "exclusive"})
        return real(root, parameters, *args, **kwargs)

    monkeypatch.setattr(prepare.model, "write_site", other_first)
    assert prepare.main([str(SAMPLE), "--out", str(site)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "written by another process meanwhile" in err
    assert os.listdir(site / "data" / "met_lv3") == ["other.txt"] and _leftovers(tmp_path) == []


def _unreadable(folder, monkeypatch):
    real = os.scandir

    def scandir(path="."):
        if os.fspath(path) == str(folder):
            raise PermissionError(errno.EACCES, "Permission denied", os.fspath(path))
        return real(path)

    monkeypatch.setattr(os, "scandir", scandir)


# What the site holds that the directory writer must not rewrite: it refuses in one line and changes nothing.
FOREIGN = {
    "data/ a mount point": (lambda root, m: m.setattr(outputs, "_mount_points", lambda: {str(root / "data")}),
                            "site: data is a mount point"),
    "the site a mount point": (lambda root, m: m.setattr(outputs, "_mount_points", lambda: {str(root)}),
                               "site: it is a mount point"),
    "a folder of another device": (lambda root, m: m.setattr(os, "lstat", _other_device(root / "data")),
                                   "site: data is a mount point"),
    "a folder that cannot be read": (lambda root, m: _unreadable(root / "run" / "notes", m),
                                     "run/notes cannot be read (Permission denied)"),
}


def _other_device(folder):
    real = os.lstat

    def lstat(path, **kwargs):
        info = real(path, **kwargs)
        if os.fspath(path).startswith(str(folder)):
            return os.stat_result((*info[:2], info.st_dev + 1, *info[3:]))
        return info
    return lstat


@pytest.mark.parametrize("make, said", FOREIGN.values(), ids=FOREIGN.keys())
def test_the_directory_writer_refuses_what_it_cannot_carry_over(make, said, site, example, monkeypatch):
    (example / "run" / "notes").mkdir()
    (example / "run" / "notes" / "n.txt").write_text("kept")
    before = _snapshot(example)
    make(example.resolve(), monkeypatch)
    with pytest.raises(pumak.errors.OutputError, match=re.escape(said)) as caught:
        pumak.write_site(example, _with(site.parameters, n_days=2), site.met)
    monkeypatch.undo()
    assert len(str(caught.value).splitlines()) == 1 and _snapshot(example) == before
    assert _leftovers(example.parent) == []


def _dead_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


@pytest.mark.parametrize("where", ["data/disk", ".site.unfinished-{dead}-1/disk"], ids=["in the site",
                                                                                        "in a leftover"])
def test_a_mounted_file_system_is_left_alone(where, site, example):
    folder = example.parent / where.format(dead=_dead_pid()) if where.startswith(".") else example / where
    folder.parent.mkdir(exist_ok=True)
    with _small_disk(folder, "64k") as disk:
        (disk / "logger.dat").write_text("on another file system")
        with pytest.raises(pumak.errors.OutputError, match="is a mount point") if where.startswith("data") \
                else contextlib.nullcontext():
            pumak.write_site(example, _with(site.parameters, n_days=2), site.met)
        assert (disk / "logger.dat").read_text() == "on another file system"


# Entries beside the site -> whether the next write removes them.
STALE = {
    "an older name of a dead process": (".site.unfinished-{dead}", True),
    "a call's name of a dead process": (".site.unfinished-{dead}-7", True),
    "the earlier site of a dead process": (".site.unfinished-{dead}-7.previous", True),
    "a live process's": (".site.unfinished-{alive}-7", False),
    "another call of this process": (".site.unfinished-{me}-999999", False),
    "another target's": (".other.unfinished-{dead}-7", False),
}


@pytest.mark.parametrize("name, removed", STALE.values(), ids=STALE.keys())
def test_the_next_write_removes_only_what_dead_processes_left(name, removed, example):
    left = example.parent / name.format(dead=_dead_pid(), alive=os.getppid(), me=os.getpid())
    (left / "run").mkdir(parents=True)
    (left / "run" / "parameter.ini").write_text("left")
    _tagged(example, "a")
    assert left.exists() != removed and (example / "run" / "results_kpc_l.csv").exists()


# A write without the exchange in one step, killed between its two renames, and what comes next.
KILLED_BETWEEN_RENAMES = """
import os, signal, pumak
from pumak import outputs
from conftest import KPC_L
site = pumak.read_site(KPC_L)
outputs._exchange = lambda a, b: False
rename = os.rename
def killed(source, target):
    rename(source, target)
    if target.endswith(".previous"):
        os.kill(os.getpid(), signal.SIGKILL)
os.rename = killed
pumak.write_site({root!r}, dict(site.parameters, albedo_ice=0.2, n_days=2), site.met)
"""


@pytest.mark.parametrize("after", ["read", "write"])
def test_a_site_left_under_its_hidden_name_by_a_kill_is_restored(after, site, example):
    before = _snapshot(example)
    out = _python(KILLED_BETWEEN_RENAMES.format(root=str(example)))
    assert out.returncode == -signal.SIGKILL and not example.exists(), out.stderr
    if after == "read":
        assert pumak.read_site(example / "run").parameters["albedo_ice"] == np.float32(0.51)
        assert _snapshot(example) == before
    else:
        pumak.write_site(example, _with(site.parameters, n_days=2), site.met)
        assert (example / "run" / "results_kpc_l.csv").read_text() == "mine\n"
        assert (example / "data" / "met_lv3" / "kpc_l_2016_08.txt").exists()  # the earlier site's files are kept
    assert _leftovers(example.parent) == []


# What happens in the site while a rewrite is under way -> what the site holds afterwards.
LATE = {
    "a results table written": (lambda old: (old / "run" / "results_new.csv").write_text("late"),
                                {"run/results_new.csv": "late"}),
    "a results table rewritten": (lambda old: _replace(old / "run" / "results_kpc_l.csv", "rerun"),
                                  {"run/results_kpc_l.csv": "rerun"}),
    "a new folder": (lambda old: (old / "plots").mkdir() or (old / "plots" / "p.png").write_text("png"),
                     {"plots/p.png": "png"}),
    "parameter.ini rewritten": (lambda old: _replace(old / "run" / "parameter.ini", "theirs"),
                                {"run/parameter.ini": "a"}),
    "nothing": (lambda old: None, {"run/results_kpc_l.csv": "mine\n", "run/parameter.ini": "a"}),
}


def _replace(path, text):
    path.with_suffix(".tmp").write_text(text)
    os.replace(path.with_suffix(".tmp"), path)


@pytest.mark.parametrize("exchange", [True, False], ids=["exchange", "two renames"])
@pytest.mark.parametrize("event, expected", LATE.values(), ids=LATE.keys())
def test_files_written_into_the_site_during_a_rewrite_are_kept(event, expected, exchange, example, monkeypatch):
    if not exchange:
        monkeypatch.setattr(outputs, "_exchange", lambda a, b: False)
    (example / "provenance.json").write_text("{}")

    def during(unfinished):
        event(example)
        os.unlink(os.path.join(unfinished, "provenance.json"))  # dropped by the write: it stays dropped

    _tagged(example, "a", during=during)
    for name, text in expected.items():
        assert (example / name).read_text() == text, name
    assert not (example / "provenance.json").exists() and (example / "a.txt").read_text() == "a"
    assert (example / "data" / "met_lv3" / "kpc_l_2016_08.txt").exists() and _leftovers(example.parent) == []


@pytest.mark.parametrize("inside", ["", "run"])
def test_a_site_holding_the_working_folder_is_not_swapped_away(inside, example, monkeypatch, capsys):
    from pumak import prepare

    before = _snapshot(example)
    monkeypatch.chdir(example / inside)
    with pytest.raises(pumak.errors.OutputError, match="holds the working folder"):
        _tagged(example, "a")
    out = "." if not inside else ".."
    assert prepare.main([str(SAMPLE), "--out", out, "--force"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"--out {out}: holds the working folder" in err
    assert _snapshot(example) == before and os.getcwd() == str(example / inside).rstrip("/")


def _links(root, tmp):
    """Inputs of the commands below, and other names of them."""
    (tmp / "members.csv").write_text("albedo_ice\n0.4\n")
    (tmp / "part.nc").write_bytes(b"part")
    shutil.copy(ROOT / "tests" / "data" / "example_results_kpc_l.csv", tmp / "table.csv")
    os.symlink(tmp / "part.nc", tmp / "link.nc")
    os.link(tmp / "members.csv", tmp / "members_too.csv")
    os.link(tmp / "table.csv", tmp / "table_too.json")
    os.symlink(root / "data" / "met_lv3", tmp / "met")
    os.symlink(root / "run", tmp / "run_link")
    shutil.copy(SAMPLE, root / "data" / "met_lv3" / "station.txt")


# command, its arguments (R: the site, T: the folder around it) with the output named as one of its inputs,
# and what the refusal names.
OVER_AN_INPUT = {
    "ensemble over parameter.ini": ("ensemble", "R/run --members T/members.csv --out R/run/parameter.ini",
                                    "would overwrite the site's parameter file"),
    "ensemble over the met file by a link": ("ensemble", "R/run --members T/members.csv --out "
                                             "T/met/kpc_l_2016_08.txt", "would overwrite the site's met file"),
    "ensemble over the members by another spelling": ("ensemble", "R/run --members T/members.csv --out "
                                                      "R/../members.csv", "would overwrite the members table"),
    "ensemble over a hard link of the members": ("ensemble", "R/run --members T/members.csv --out "
                                                 "T/members_too.csv", "would overwrite the members table"),
    "merge over a part by a link": ("ensemble", "merge T/part.nc --out T/link.nc",
                                    "would overwrite one of the parts (T/part.nc)"),
    "calibrate into the run folder by a link": ("calibrate", "R/run --free albedo_ice=0.3:0.6 --out T/run_link",
                                                "its parameter.ini would overwrite the site's parameter file"),
    "plot's summary over its table by a hard link": ("plot", "T/table.csv --no-plot --json T/table_too.json",
                                                     "--json T/table_too.json: would overwrite the table"),
    "prepare over its own source": ("prepare", "R/data/met_lv3/station.txt --name station --out R --force",
                                    "its data/met_lv3/station.txt would overwrite the station file"),
    "prepare over its parameters file": ("prepare", "SAMPLE --parameters R/run/parameter.ini --out R --force",
                                         "its run/parameter.ini would overwrite the parameters file"),
}


@pytest.mark.parametrize("command, arguments, said", OVER_AN_INPUT.values(), ids=OVER_AN_INPUT.keys())
def test_an_output_that_is_an_input_of_the_command_is_refused(command, arguments, said, example, capsys):
    import importlib

    main = importlib.import_module(f"pumak.{'ensembles' if command == 'ensemble' else command}").main
    tmp = example.parent
    _links(example, tmp)
    before = _snapshot(tmp)

    def spelt(text):
        return text.replace("SAMPLE", str(SAMPLE)).replace("R/", f"{example}/").replace("T/", f"{tmp}/") \
            .replace(" R ", f" {example} ")

    assert main(spelt(arguments).split()) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and spelt(said) in err, err
    assert _snapshot(tmp) == before


def test_a_failed_second_rename_puts_the_earlier_site_back(example, monkeypatch):
    before = _snapshot(example)
    monkeypatch.setattr(outputs, "_exchange", lambda a, b: False)
    rename = os.rename

    def failing(source, target):
        if os.fspath(target) == str(example) and os.fspath(source).rsplit("-", 1)[-1].isdigit():
            raise OSError(errno.EIO, "Input/output error")
        rename(source, target)

    monkeypatch.setattr(os, "rename", failing)
    with pytest.raises(pumak.errors.OutputError, match="Input/output error"):
        _tagged(example, "a")
    monkeypatch.undo()
    assert _snapshot(example) == before and _leftovers(example.parent) == []
