"""Plans of job arrays: run by hand and on a one-node Slurm, their status, resubmission and merge."""
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import pumak
from pumak.__main__ import main as cli_main
from conftest import KPC_L, ROOT, package_environment

DAYS = 3
COLUMNS = ["sd_calc"]


def pumak_command(*argv):
    """`pumak ARGV` in this process (as the console script runs it): its status, output and error output."""
    with _captured() as streams:
        try:
            status = cli_main([str(arg) for arg in argv])
        except SystemExit as end:  # the argument parser's refusal
            status = end.code
    return status, streams[0].getvalue(), streams[1].getvalue()


@contextlib.contextmanager
def _captured():
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        yield out, err


def make_site(root):
    site = pumak.read_site(KPC_L)
    return pumak.write_site(root / "site", {**site.parameters, "n_days": DAYS}, site.met.iloc[:DAYS * 24].copy(),
                            site.program)


def make_members(path, n=7):
    pd.DataFrame({"albedo_ice": np.linspace(0.3, 0.7, n), "ch": np.linspace(0.001, 0.004, n)}).to_csv(path, index=False)
    return path


def make_plan(root, name, tasks, *options):
    status, out, err = pumak_command("ensemble", "plan", root / "site" / "run", "--members", root / "m.csv",
                                     "--tasks", tasks, "--columns", *COLUMNS, "--out", root / name, *options)
    assert status == 0, err
    assert out == f"{root / name / 'array.sbatch'}: {tasks} tasks of 7 members x {DAYS * 24} hours " \
                  f"(submit with: sbatch {root / name / 'array.sbatch'})\n"
    return root / name


def bare_environment(**variables):
    """A shell's environment without PYTHONPATH: a plan's script finds its installation by itself."""
    return {**{k: v for k, v in os.environ.items() if k != "PYTHONPATH"}, **variables}


def by_hand(plan, *tasks, script="array.sbatch"):
    """Runs tasks as a machine without a scheduler does, side by side, from another working directory."""
    children = [subprocess.Popen(["bash", str(plan / script), str(task)], cwd="/", stdout=subprocess.DEVNULL,
                                 env=bare_environment()) for task in tasks]
    return [child.wait(timeout=300) for child in children]


def copy_plan(source, plan):
    """A copy of a plan that runs where it is: its script names the copy's directory."""
    shutil.copytree(source, plan)
    _rewrite(plan / "array.sbatch", str(source), str(plan))
    return plan


def states(plan):
    status, out, err = pumak_command("ensemble", "status", plan, "--json")
    assert status in (0, 1) and not err, err
    found = json.loads(out)
    assert status == (0 if len(found["done"]) == found["tasks"] else 1)
    return found


def assert_same_ensemble(merged, serial):
    """Value for value (NaN as NaN, to the bit), every attribute but the time stamps, and it verifies."""
    a, b = xr.load_dataset(merged), xr.load_dataset(serial)
    assert sorted(a.variables) == sorted(b.variables) and a.sizes == b.sizes
    for name in b.variables:
        x, y = a[name].to_numpy(), b[name].to_numpy()
        assert x.dtype == y.dtype, name
        if x.dtype.kind == "f":
            x, y = x.view(f"u{x.itemsize}"), y.view(f"u{y.itemsize}")
        assert np.array_equal(x, y), name
    stamps = ("history", "date_created", "attributes_sha256")
    assert {k: v for k, v in a.attrs.items() if k not in stamps} == {k: v for k, v in b.attrs.items() if k not in stamps}
    status, out, err = pumak_command("verify", merged)
    assert (status, err) == (0, "") and out.startswith("verified: "), (out, err)


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    """A 3-day site, 7 members, the serial ensemble of them, and a plan of 3 tasks all run by hand."""
    root = tmp_path_factory.mktemp("cluster")
    make_site(root)
    make_members(root / "m.csv")
    status, _, err = pumak_command("ensemble", root / "site" / "run", "--members", root / "m.csv", "--columns",
                                   *COLUMNS, "--quiet", "--out", root / "serial.nc")
    assert status == 0, err
    plan = make_plan(root, "done", 3)
    assert by_hand(plan, 1, 2, 3) == [0, 0, 0]
    # a part of another members table, for the status
    make_members(root / "m2.csv", 8)
    status, _, err = pumak_command("ensemble", root / "site" / "run", "--members", root / "m2.csv", "--columns",
                                   *COLUMNS, "--shard", "2/3", "--quiet", "--out", root / "other_2.nc")
    assert status == 0, err
    # and one of this members table without the hourly column
    status, _, err = pumak_command("ensemble", root / "site" / "run", "--members", root / "m.csv", "--shard", "2/3",
                                   "--quiet", "--out", root / "summary_2.nc")
    assert status == 0, err
    return root


def test_a_plan_run_by_hand_resumes_and_merges_to_the_serial_ensemble(workspace, tmp_path):
    root = workspace
    plan = copy_plan(root / "done", tmp_path / "plan")
    script = (plan / "array.sbatch").read_text()
    assert "#SBATCH --array=1-3\n" in script and f"#SBATCH --output={plan}/logs/task_%a.log\n" in script
    assert f"{sys.executable} -m pumak ensemble" in script and "--shard \"$task/3\"" in script
    for name in ("parts/part_1.nc", "logs/task_1.log", "logs/task_1.exit", "parts/part_3.nc", "logs/task_3.log",
                 "logs/task_3.exit"):
        (plan / name).unlink()
    found = states(plan)
    assert (found["done"], found["missing"], found["failed"]) == ([2], [1, 3], [])
    assert [row["members"] for row in found["rows"]] == [[0, 1], [2, 3], [4, 6]]

    status, _, err = pumak_command("ensemble", "merge", plan, "--out", tmp_path / "early.nc")
    assert status == 2 and err == (f"pumak ensemble merge: {plan}: 2 of 3 tasks not done: 1 (missing); 3 (missing); "
                                   f"pumak ensemble plan --resume {plan} writes a script for them\n")
    assert not (tmp_path / "early.nc").exists()

    status, out, err = pumak_command("ensemble", "plan", "--resume", plan)
    assert (status, err) == (0, "") and out.startswith(f"{plan / 'resume.sbatch'}: tasks 1,3 of 3 ")
    assert "#SBATCH --array=1,3\n" in (plan / "resume.sbatch").read_text()
    assert by_hand(plan, 1, 3, script="resume.sbatch") == [0, 0]
    assert states(plan)["done"] == [1, 2, 3]
    status, out, _ = pumak_command("ensemble", "plan", "--resume", plan)
    assert status == 0 and out == f"{plan}: all 3 tasks done; nothing to resume (pumak ensemble merge {plan} --out FILE)\n"

    status, out, err = pumak_command("ensemble", "merge", plan, "--out", tmp_path / "merged.nc")
    assert status == 0 and out.startswith(f"{tmp_path / 'merged.nc'}: 7 members from the 3 tasks of {plan} x "), err
    assert_same_ensemble(tmp_path / "merged.nc", root / "serial.nc")

    # as many tasks as members: one member each
    shutil.copytree(root / "site", tmp_path / "site")
    shutil.copy(root / "m.csv", tmp_path / "m.csv")
    assert [row["members"] for row in states(make_plan(tmp_path, "one_each", 7))["rows"]] == [[k, k] for k in range(7)]


def _rewrite(path, old, new):
    path.write_text(path.read_text().replace(old, new))


def _forget(plan, *names):
    for name in names:
        (plan / name).unlink()


# How task 2 of the plan of 3 tasks ended -> the state and detail status gives it.
ENDINGS = {
    "a non-zero status": (lambda p, r: (_forget(p, "parts/part_2.nc"), (p / "logs/task_2.exit").write_text("2\n"),
                                        (p / "logs/task_2.log").write_text("pumak ensemble: run/parameter.ini: gone\n\n")),
                          "failed", "pumak ensemble: run/parameter.ini: gone"),
    "cancelled by the scheduler": (
        lambda p, r: (_forget(p, "parts/part_2.nc", "logs/task_2.exit"), (p / "logs/task_2.log").write_text(
            "slurmstepd: error: *** JOB 12 ON n1 CANCELLED AT 2026-01-01T00:00:00 ***\n"
            "pumak ensemble: interrupted; earlier outputs are unchanged\n")),
        "failed", "slurmstepd: error: *** JOB 12 ON n1 CANCELLED AT 2026-01-01T00:00:00 ***"),
    "still running": (lambda p, r: _forget(p, "parts/part_2.nc", "logs/task_2.exit"),
                      "missing", "started, not ended (running?): "),
    "not run": (lambda p, r: _forget(p, "parts/part_2.nc", "logs/task_2.exit", "logs/task_2.log"), "missing", "not run"),
    "status 0 and no part": (lambda p, r: _forget(p, "parts/part_2.nc"), "failed",
                             "ended with status 0 but wrote no part: "),
    "a part of another shard": (lambda p, r: shutil.copy(p / "parts/part_1.nc", p / "parts/part_2.nc"),
                                "failed", "parts/part_2.nc: not of this plan (ensemble_shard differ)"),
    "a truncated part": (lambda p, r: os.truncate(p / "parts/part_2.nc", 2000), "failed",
                         "parts/part_2.nc: not a readable NetCDF file"),
    "a part of another members table": (lambda p, r: shutil.copy(r / "other_2.nc", p / "parts/part_2.nc"), "failed",
                                        "parts/part_2.nc: not of this plan (ensemble_members_sha256, "
                                        "ensemble_members_total differ)"),
    "a part without the plan's columns": (lambda p, r: shutil.copy(r / "summary_2.nc", p / "parts/part_2.nc"),
                                          "failed", "parts/part_2.nc: other variables or hours than the plan's"),
    "the members changed under it": (lambda p, r: (_forget(p, "parts/part_2.nc"),
                                                   _rewrite(p / "members/m.csv", "0.3", "0.31"), by_hand(p, 2)),
                                     "failed", "task 2: members/m.csv changed since the plan; plan again into a new "
                                               "directory"),
    "a part kept, a later run failed": (lambda p, r: (p / "logs/task_2.exit").write_text("143\n"),
                                        "done", "parts/part_2.nc (written earlier; the last run ended: "),
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_status_names_each_task_not_done_and_how_it_ended(workspace, tmp_path, ending):
    root = workspace
    plan = copy_plan(root / "done", tmp_path / "plan")
    alter, state, detail = ENDINGS[ending]
    alter(plan, root)
    found = states(plan)
    row = found["rows"][1]
    assert (row["state"], found["done"]) == (state, [1, 2, 3] if state == "done" else [1, 3])
    assert row["detail"].startswith(detail) if detail.endswith(": ") else row["detail"] == detail
    status, out, _ = pumak_command("ensemble", "status", plan)
    assert f"\n    2  {state:<8} 2-3      {row['detail']}\n" in out
    assert status == 0 if state == "done" else status == 1 and f"\n{plan}: 2 done, 1 {state} of 3 tasks\n" in out


@pytest.mark.parametrize("change, refusal", [
    (lambda p, s: _rewrite(p / "members/m.csv", "0.3", "0.31"), "members/m.csv changed since the plan"),
    (lambda p, s: _rewrite(s / "run/parameter.ini", "79.91", "79.5"), "its site parameters changed since the plan"),
    (lambda p, s: _rewrite(next((s / "data/met_lv3").iterdir()), " 3.91 ", " 3.92 "), "its met series (SHA-256) changed"),
    (lambda p, s: (s / "run/parameter.ini").unlink(), "parameter.ini"),
])
def test_resume_refuses_a_plan_whose_site_or_members_changed(workspace, tmp_path, change, refusal):
    shutil.copytree(workspace / "site", tmp_path / "site")
    shutil.copy(workspace / "m.csv", tmp_path / "m.csv")
    plan = make_plan(tmp_path, "plan", 2)
    change(plan, tmp_path / "site")
    status, out, err = pumak_command("ensemble", "plan", "--resume", plan)
    assert (status, out, err.count("\n")) == (2, "", 1) and refusal in err, err
    assert err.startswith(f"pumak ensemble plan: {plan}: ") and not (plan / "resume.sbatch").exists()


@pytest.mark.parametrize("argv, message", [
    (["--tasks", "0"], "--tasks 0: expected a positive number"),
    (["--tasks", "8"], "--tasks 8: 8 tasks of 7 members would leave tasks empty"),
    (["--tasks", "2", "--columns", "sdcalc"], "sdcalc: no such result column"),
    (["--tasks", "2", "--program", "metrunner"], "unknown program"),
    (["--tasks", "2", "--sbatch=--array=1-9"], "#SBATCH --array=1-9: the plan sets --array itself"),
    (["--tasks", "2", "--sbatch=account glaciers"], "#SBATCH 'account glaciers': expected one option"),
    (["--tasks", "2", "--cpus-per-task", "0"], "--cpus-per-task 0: expected a positive number"),
    (["--tasks", "2", "--members", "BAD"], "BAD.csv:3: ch: expected a number, found 'x'"),
    (["--tasks", "2", "--members", "BADITEM"], "BADITEM.csv:4: diffuse_mode: expected an integer, found 1.5"),
    (["--tasks", "2", "--out", "NONEMPTY"], "exists and is not an empty directory"),
    (["--tasks", "2", "--resume", "done"], "--resume takes the plan directory alone, not RUN_DIR"),
    (["--members", "m.csv"], "the following arguments are required: --tasks"),
    (["--tasks", "2", "--out", "WITH BLANK"], "WITH BLANK: holds a blank, which an #SBATCH line cannot carry"),
])
def test_bad_plans_are_one_line_and_status_2(workspace, tmp_path, argv, message):
    (tmp_path / "BAD.csv").write_text("albedo_ice,ch\n0.5,0.002\n0.5,x\n")
    (tmp_path / "BADITEM.csv").write_text("albedo_ice,diffuse_mode\n0.5,0\n0.5,1\n0.5,1.5\n")
    (tmp_path / "NONEMPTY").mkdir()
    (tmp_path / "NONEMPTY" / "x").write_text("")
    argv = [str(tmp_path / f"{a}.csv") if a in ("BAD", "BADITEM") else str(tmp_path / a) if a in ("NONEMPTY", "WITH BLANK") else
            str(workspace / a) if a == "done" else a for a in argv]
    full = ["ensemble", "plan", workspace / "site" / "run", "--members", workspace / "m.csv", "--out",
            tmp_path / "plan", *argv]
    status, out, err = pumak_command(*full)
    assert (status, out, err.count("\n")) == (2, "", 1) and message in err, err
    assert not (tmp_path / "plan").exists()


@pytest.mark.parametrize("argv, message", [
    (["status", "NOPLAN"], "NOPLAN: no such plan directory"),
    (["status", "EMPTY"], "EMPTY: not a plan directory (no plan.json; pumak ensemble plan writes one)"),
    (["plan", "--resume", "EMPTY"], "EMPTY: not a plan directory"),
    (["merge", "EMPTY", "--out", "x.nc"], "EMPTY: not a plan directory"),
    (["status", "BROKEN"], "plan.json: not a readable plan"),
])
def test_what_is_not_a_plan_is_refused_in_one_line(tmp_path, argv, message):
    (tmp_path / "EMPTY").mkdir()
    (tmp_path / "BROKEN").mkdir()
    (tmp_path / "BROKEN" / "plan.json").write_text('{"format": 1, "site"')
    argv = [str(tmp_path / a) if a.isupper() else a for a in argv]
    status, out, err = pumak_command("ensemble", *argv)
    assert (status, out, err.count("\n")) == (2, "", 1) and message in err, err


# ---- on a one-node Slurm ---------------------------------------------------

@pytest.fixture(scope="module")
def slurm(tmp_path_factory):
    """The environment of Slurm's commands on a one-node cluster started for these tests and stopped after them."""
    if os.geteuid() != 0:
        pytest.skip("the Slurm tests start a one-node cluster, whose daemons need root")
    if not all(shutil.which(name) for name in ("slurmctld", "slurmd", "munged", "sbatch")):
        pytest.skip("Slurm or munge is not installed (tools/install_deps.sh installs them)")
    directory = tmp_path_factory.mktemp("slurm") / "cluster"
    script = ROOT / "tools" / "slurm_cluster.sh"
    started = subprocess.run([str(script), "start", str(directory), str(os.getpid())], capture_output=True,
                             text=True, timeout=120)
    try:
        assert started.returncode == 0, started.stderr
        yield bare_environment(SLURM_CONF=started.stdout.strip().split("=", 1)[1])
    finally:
        subprocess.run([str(script), "stop", str(directory)], timeout=120, check=True)


def sbatch(env, *argv):
    return subprocess.run(["sbatch", *map(str, argv)], cwd="/", env=env, capture_output=True, text=True, timeout=300)


def submit(env, script, *options):
    """Submits a script; its job's id."""
    done = sbatch(env, "--parsable", *options, script)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().split(";")[0]


def wait_for(env, job, deadline=300):
    """Waits until no task of the job is pending or running (the scheduler forgets nothing meanwhile)."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        queued = subprocess.run(["squeue", "-h", "-j", job, "-o", "%i"], env=env, capture_output=True, text=True,
                                timeout=60)
        if queued.returncode == 0 and not queued.stdout.strip():
            return
        time.sleep(0.25)
    raise AssertionError(f"job {job} still queued after {deadline} s")


def test_on_slurm_a_plan_runs_a_cancelled_task_is_resumed_and_the_merge_is_the_serial_run(slurm, workspace, tmp_path):
    root = workspace
    whole = make_plan(root, "slurm_whole", 2, "--time", "10", "--sbatch=--comment=whole")
    done = sbatch(slurm, "--wait", whole / "array.sbatch")
    assert done.returncode == 0, done.stderr
    assert states(whole)["done"] == [1, 2]
    assert pumak_command("ensemble", "merge", whole, "--out", tmp_path / "whole.nc")[0] == 0
    assert_same_ensemble(tmp_path / "whole.nc", root / "serial.nc")

    # A second plan held, one task cancelled, the others let go.
    plan = make_plan(root, "slurm_cancel", 3)
    job = submit(slurm, plan / "array.sbatch", "--hold")
    subprocess.run(["scancel", f"{job}_2"], env=slurm, check=True, timeout=60)
    subprocess.run(["scontrol", "release", job], env=slurm, check=True, timeout=60)
    wait_for(slurm, job)
    found = states(plan)
    assert (found["done"], found["missing"] + found["failed"]) == ([1, 3], [2])
    status, _, err = pumak_command("ensemble", "merge", plan, "--out", tmp_path / "early.nc")
    assert status == 2 and "1 of 3 tasks not done: 2 (" in err

    status, out, err = pumak_command("ensemble", "plan", "--resume", plan)
    assert status == 0 and "#SBATCH --array=2\n" in (plan / "resume.sbatch").read_text(), err
    wait_for(slurm, submit(slurm, plan / "resume.sbatch"))
    assert pumak_command("ensemble", "merge", plan, "--out", tmp_path / "merged.nc")[0] == 0
    assert_same_ensemble(tmp_path / "merged.nc", root / "serial.nc")


def test_on_slurm_a_task_whose_members_changed_under_it_fails_and_status_says_why(slurm, workspace):
    plan = make_plan(workspace, "slurm_changed", 2)
    job = submit(slurm, plan / "array.sbatch", "--hold")
    _rewrite(plan / "members/m.csv", "0.3", "0.31")
    subprocess.run(["scontrol", "release", job], env=slurm, check=True, timeout=60)
    wait_for(slurm, job)
    found = states(plan)
    assert found["failed"] == [1, 2] and found["changed"][0].startswith("members/m.csv changed since the plan")
    assert {row["detail"] for row in found["rows"]} == {
        f"task {k}: members/m.csv changed since the plan; plan again into a new directory" for k in (1, 2)}
