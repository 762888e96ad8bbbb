"""Ensembles as job arrays on a cluster: a plan directory, its status, resubmission and merge.

    pumak ensemble plan RUN_DIR --members members.csv --tasks N --out PLAN [ensemble and #SBATCH options]
    sbatch PLAN/array.sbatch                 # or, without a scheduler: bash PLAN/array.sbatch K
    pumak ensemble status PLAN [--json]
    pumak ensemble plan --resume PLAN        # PLAN/resume.sbatch: only the tasks not done
    pumak ensemble merge PLAN --out ensemble.nc

A plan directory holds:

================  ==============================================================
plan.json         the site, the program, the members table's digest and size,
                  the tasks, the command of a task, and the identity a part of
                  this ensemble carries (as `pumak.ensembles.merge` compares it)
members/NAME      the copy of the members table the tasks read
array.sbatch      the job array: task K runs shard K/N into parts/part_K.nc
resume.sbatch     written by --resume: the same for the tasks not done
parts/            the tasks' NetCDF files
logs/             task_K.log (the task's output) and task_K.exit (its status)
================  ==============================================================

Task K is done when parts/part_K.nc is a whole shard K/N of this plan's
ensemble; failed when it ended without one (its status, the scheduler's
cancellation, or a part of another ensemble); missing otherwise (not run yet,
or still running).
"""

import datetime
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

import numpy as np

from pumak import cli, ensembles, outputs
from pumak.errors import InputError
from pumak.model import read_site
from pumak.verify import file_sha256

PLAN_FILE = "plan.json"
SCRIPT = "array.sbatch"
RESUME_SCRIPT = "resume.sbatch"
FORMAT = 1

# The attributes of a part that must be the plan's, besides its shard.
_PLAN_IDENTITY = ("ensemble_program", "ensemble_met_sha256", "ensemble_site_parameters")

# A line the scheduler writes into a task's output when it stops the task.
_SCHEDULER_LINE = re.compile(r"\*\*\* .*(CANCELLED|TIME LIMIT|PREEMPT|NODE FAIL).* \*\*\*")


def site_identity(run_dir, program, table, columns):
    """What the parts of an ensemble of `table` over the site carry, from a run of its first member.

    Parameters
    ----------
    run_dir : str
        The site's run directory.
    program : str
        The program (full or short name).
    table : pandas.DataFrame
        The members table (every row is checked; the first one runs).
    columns : list of str
        The hourly result columns kept.

    Returns
    -------
    dict
        ``identity`` (the attributes ``ensemble_program``,
        ``ensemble_met_sha256`` and ``ensemble_site_parameters`` as text),
        ``variables`` (the part's variables and coordinates, sorted) and ``hours``.

    Raises
    ------
    InputError
        The site, the members or the columns as the ensemble would refuse them.
    """
    site = read_site(run_dir, program)
    ensembles._member_table(table, site.program)
    trial = ensembles.ensemble(site.met, site.parameters, table.iloc[:1], columns=columns, threads=1,
                               program=site.program)
    return {"identity": {key: str(trial.attrs[key]) for key in _PLAN_IDENTITY},
            "variables": sorted(str(name) for name in trial.variables), "hours": int(trial.sizes["time"])}


def read_plan(directory):
    """The plan of a plan directory (its plan.json), or InputError naming what is wrong.

    Parameters
    ----------
    directory : str
        The plan directory ``pumak ensemble plan --out`` wrote.

    Returns
    -------
    dict
        The content of plan.json.
    """
    path = os.path.join(directory, PLAN_FILE)
    if not os.path.isdir(directory):
        raise InputError(f"{directory}: no such plan directory", file=directory)
    try:
        with open(path, encoding="utf-8") as stream:
            plan = json.load(stream)
    except FileNotFoundError:
        raise InputError(f"{directory}: not a plan directory (no {PLAN_FILE}; pumak ensemble plan writes one)",
                         file=directory) from None
    except (OSError, ValueError) as exc:
        raise InputError(f"{path}: not a readable plan ({exc})", file=path) from None
    needed = ("format", "site", "program", "members", "tasks", "identity", "variables", "hours")
    if not isinstance(plan, dict) or any(key not in plan for key in needed):
        raise InputError(f"{path}: not a plan written by pumak ensemble plan", file=path)
    if plan["format"] != FORMAT:
        raise InputError(f"{path}: plan format {plan['format']!r}; this pumak reads format {FORMAT}", file=path)
    return plan


def part_path(directory, task):
    """The NetCDF file task `task` (from 1) of the plan in `directory` writes."""
    return os.path.join(directory, "parts", f"part_{task}.nc")


def log_path(directory, task, suffix="log"):
    """The output (``log``) or the exit status (``exit``) of task `task` of the plan in `directory`."""
    return os.path.join(directory, "logs", f"task_{task}.{suffix}")


def _part_problem(path, plan, task):
    """Why the file at `path` is not the whole shard `task` of the plan, or None when it is."""
    import xarray as xr

    n, total = plan["tasks"], plan["members"]["total"]
    try:  # the header and the member numbers, undecoded: the status of thousands of tasks stays quick
        with xr.open_dataset(path, cache=False, decode_cf=False) as part:
            attrs = dict(part.attrs)
            numbers = part["member"].to_numpy() if "member" in part.coords else None
            variables = sorted(str(name) for name in part.variables)
            hours = part.sizes.get("time")
    except Exception:  # the netCDF library's and xarray's errors on a damaged file
        return f"{os.path.relpath(path, os.path.dirname(os.path.dirname(path)))}: not a readable NetCDF file"
    name = f"parts/{os.path.basename(path)}"
    expected = {**plan["identity"], "ensemble_members_sha256": plan["members"]["sha256"],
                "ensemble_members_total": str(total), "ensemble_shard": f"{task}/{n}"}
    differing = [key for key, value in expected.items() if str(attrs.get(key)) != value]
    if differing:
        return f"{name}: not of this plan ({', '.join(differing)} differ)"
    first, last = ensembles.shard_bounds(task, n, total)
    if numbers is None or not np.array_equal(np.sort(numbers), np.arange(first, last)):
        return f"{name}: holds {0 if numbers is None else len(numbers)} member(s) of {last - first}: truncated or altered"
    if variables != plan["variables"] or hours != plan["hours"]:
        return f"{name}: other variables or hours than the plan's"
    return None


def _last_line(path):
    """The line that says how a task ended: the scheduler's, else the last one; None without a log."""
    try:
        with open(path, "rb") as stream:
            stream.seek(max(0, os.fstat(stream.fileno()).st_size - 65536))
            lines = [line.strip() for line in stream.read().decode("utf-8", "replace").splitlines()]
    except FileNotFoundError:
        return None
    lines = [line for line in lines if line]
    stopped = [line for line in lines if _SCHEDULER_LINE.search(line)]
    return (stopped or lines or [""])[-1]


def _exit_status(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return int(stream.read().strip())
    except (OSError, ValueError):
        return None


def task_states(directory, plan=None):
    """The state of every task of a plan.

    Parameters
    ----------
    directory : str
        The plan directory.
    plan : dict, optional
        Its plan (default: read from `directory`).

    Returns
    -------
    list of dict
        One per task, in order: ``task`` (from 1), ``state`` (``done``,
        ``failed`` or ``missing``), ``members`` (first and last member
        number), ``part`` (the file, relative to `directory`) and ``detail``
        (how the task ended: the last line of its log, or what is wrong with
        its part).
    """
    plan = plan or read_plan(directory)
    n, total = plan["tasks"], plan["members"]["total"]
    rows = []
    for task in range(1, n + 1):
        first, last = ensembles.shard_bounds(task, n, total)
        part = part_path(directory, task)
        line = _last_line(log_path(directory, task))
        status = _exit_status(log_path(directory, task, "exit"))
        problem = _part_problem(part, plan, task) if os.path.exists(part) else None
        if os.path.exists(part) and problem is None:
            state, detail = "done", (line or "part written") if status in (None, 0) else \
                f"{os.path.relpath(part, directory)} (written earlier; the last run ended: {line})"
        elif problem is not None:
            state, detail = "failed", problem if status in (None, 0) else f"{line} ({problem})"
        elif status is not None and status != 0:
            state, detail = "failed", line or f"exit status {status}"
        elif status == 0:
            state, detail = "failed", f"ended with status 0 but wrote no part{f': {line}' if line else ''}"
        elif line is not None and _SCHEDULER_LINE.search(line):
            state, detail = "failed", line
        elif line is not None:
            state, detail = "missing", f"started, not ended (running?){f': {line}' if line else ''}"
        else:
            state, detail = "missing", "not run"
        rows.append({"task": task, "state": state, "members": [first, last - 1],
                     "part": os.path.relpath(part, directory), "detail": detail})
    return rows


def changes(directory, plan):
    """What changed since the plan: its members copy and the site, as short texts (none: an empty list).

    Parameters
    ----------
    directory : str
        The plan directory.
    plan : dict
        Its plan.
    """
    found = []
    members = os.path.join(directory, plan["members"]["file"])
    try:
        digest = file_sha256(members)
    except OSError as exc:
        return [f"{plan['members']['file']}: {exc.strerror or exc}"]
    if digest != plan["members"]["sha256"]:
        found.append(f"{plan['members']['file']} changed since the plan (SHA-256 {digest[:12]}..., planned "
                     f"{plan['members']['sha256'][:12]}...)")
        return found
    table, _, _ = ensembles._read_members(members)
    try:
        now = site_identity(plan["site"], plan["program"], table, plan.get("columns", []))
    except InputError as error:
        return [f"the site {plan['site']}: {error}"]
    labels = {"ensemble_program": "program", "ensemble_met_sha256": "met series (SHA-256)",
              "ensemble_site_parameters": "site parameters"}
    for key, label in labels.items():
        if now["identity"][key] != plan["identity"][key]:
            found.append(f"the site {plan['site']}: its {label} changed since the plan")
    return found


def _task_list(tasks):
    """Task numbers as Slurm's --array takes them: 3,7-9,12."""
    return ensembles._ranges(tasks).replace(", ", ",")


def _script(plan, directory, tasks):
    """The text of a job array script running `tasks` of the plan."""
    n = plan["tasks"]
    members = os.path.join(directory, plan["members"]["file"])
    lines = ["#!/bin/bash",
             f"#SBATCH --job-name={plan['job_name']}",
             f"#SBATCH --array={_task_list(tasks)}",
             f"#SBATCH --output={os.path.join(directory, 'logs', 'task_%a.log')}"]
    lines += [f"#SBATCH {line}" for line in plan["sbatch"]]
    command = [plan["python"], "-m", "pumak", "ensemble", plan["site"], "--members", members,
               *plan["ensemble_options"], "--threads", str(plan["threads"]), "--shard", "TASK/N", "--out", "PART"]
    text = shlex.join(command).replace("TASK/N", f'"$task/{n}"') \
        .replace("PART", '"$plan/parts/part_$task.nc"')
    lines += [
        f"# Written by pumak ensemble plan ({plan['created']}): task K of 1-{n} runs the K-th of {n} blocks of the",
        f"# {plan['members']['total']} members into parts/part_K.nc, its output in logs/task_K.log. Submit with",
        "# sbatch (from any directory), or run one task by hand: bash THIS_SCRIPT K",
        "set -u",
        f"plan={shlex.quote(directory)}",
        'task=${SLURM_ARRAY_TASK_ID:-${1:-}}',
        f'case "$task" in ""|*[!0-9]*) echo "usage: bash $0 TASK (1 to {n})" >&2; exit 2 ;; esac',
        f'if [ "$task" -lt 1 ] || [ "$task" -gt {n} ]; then echo "$0: task $task: the tasks are 1 to {n}" >&2; exit 2; fi',
        'if [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then',
        '  echo "task $task: output in $plan/logs/task_$task.log"',
        '  exec >"$plan/logs/task_$task.log" 2>&1',
        "fi",
        'cd "$plan" || exit 2',
        'rm -f "logs/task_$task.exit"',
        # The task's status, also when the scheduler stops it (SIGTERM: cancelled or out of time).
        'trap \'echo "task $task: stopped by SIGTERM (cancelled, out of time or preempted)"; '
        'echo 143 >"logs/task_$task.exit"; exit 143\' TERM',
        f"if ! printf '%s  %s\\n' {plan['members']['sha256']} {shlex.quote(members)} | sha256sum --check --status; then",
        '  echo "task $task: "' + shlex.quote(f"{plan['members']['file']} changed since the plan; plan again into a "
                                            "new directory"),
        '  echo 2 >"logs/task_$task.exit"; exit 2',
        "fi",
    ]
    if plan.get("pythonpath"):
        lines.append(f"export PYTHONPATH={shlex.quote(plan['pythonpath'])}")
    lines += [text + " &", "wait $!", "status=$?", 'echo $status >"logs/task_$task.exit"', "exit $status", ""]
    return "\n".join(lines)


def _pythonpath():
    """The directory of this package when the interpreter would not find it by itself, else None."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        found = subprocess.run([sys.executable, "-E", "-c", "import sys; print('\\n'.join(sys.path))"],
                               capture_output=True, text=True, timeout=60, check=True).stdout.splitlines()
    except (OSError, subprocess.SubprocessError):
        return here
    return None if any(os.path.abspath(p) == here for p in found if p) else here


def _sbatch_lines(args):
    lines = []
    for option, value in (("--partition", args.partition), ("--time", args.time), ("--mem", args.mem)):
        if value is not None:
            lines.append(f"{option}={value}")
    lines.append(f"--cpus-per-task={args.cpus_per_task}")
    for line in args.sbatch:
        lines.append(line.removeprefix("#SBATCH").strip())
    for line in lines:
        if "\n" in line or "\r" in line or not line.startswith("-") or " " in line.split("=")[0]:
            raise InputError(f"#SBATCH {line!r}: expected one option such as --account=NAME", item="--sbatch")
        if line.split("=")[0] in ("--array", "-a", "--output", "-o", "--error", "-e"):
            raise InputError(f"#SBATCH {line}: the plan sets {line.split('=')[0]} itself", item="--sbatch")
    return lines


def plan(args):
    """Writes a plan directory (`pumak ensemble plan`); returns the plan."""
    if args.tasks < 1:
        raise InputError(f"--tasks {args.tasks}: expected a positive number", item="--tasks")
    if args.cpus_per_task < 1:
        raise InputError(f"--cpus-per-task {args.cpus_per_task}: expected a positive number",
                         item="--cpus-per-task")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads {args.threads}: expected a positive number", item="--threads")
    directory = os.path.abspath(args.out)
    if os.path.exists(directory) and (not os.path.isdir(directory) or os.listdir(directory)):
        raise InputError(f"--out {args.out}: exists and is not an empty directory (a plan goes into a new one; "
                         f"pumak ensemble plan --resume {args.out} resubmits an earlier plan)", item="--out")
    sbatch = _sbatch_lines(args)
    if re.search(r"\s", directory) or (args.job_name and re.search(r"[\s#]", args.job_name)):
        blank = f"--out {args.out}" if re.search(r"\s", directory) else f"--job-name {args.job_name!r}"
        raise InputError(f"{blank}: holds a blank, which an #SBATCH line cannot carry", item=blank.split()[0])
    columns = [name for text in args.columns for name in text.split(",") if name]
    table, digest, lines = ensembles._read_members(args.members)
    total = len(table)
    if args.tasks > total:
        raise InputError(f"--tasks {args.tasks}: {args.tasks} tasks of {total} members would leave tasks empty",
                         item="--tasks")
    try:
        found = site_identity(args.run_dir, args.program, table, columns)
    except InputError as error:
        member = re.search(r"\(member (\d+)\)", error.message)
        if not error.message.startswith("members: ") or error.file is not None:
            raise
        line = lines[int(member[1])] if member and int(member[1]) < len(lines) else None
        raise InputError(f"{args.members}{'' if line is None else f':{line}'}: "
                         f"{error.message.removeprefix('members: ')}", file=args.members, line=line,
                         item=error.item) from None
    from pumak import __version__
    name = os.path.basename(args.members)
    options = (["--columns", *columns] if columns else []) + ["--program", args.program]
    content = {
        "format": FORMAT,
        "created": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%dT%H:%M:%SZ}",
        "pumak_version": __version__,
        "site": os.path.abspath(args.run_dir),
        "program": args.program,
        "members": {"file": f"members/{name}", "source": os.path.abspath(args.members), "sha256": digest,
                    "total": total},
        "tasks": args.tasks,
        "columns": columns,
        **found,
        "python": sys.executable,
        "pythonpath": _pythonpath(),
        "ensemble_options": options,
        "threads": args.threads or args.cpus_per_task,
        "job_name": args.job_name or f"pumak-{os.path.basename(directory)}",
        "sbatch": sbatch,
    }
    content["command"] = [content["python"], "-m", "pumak", "ensemble", content["site"], "--members",
                          os.path.join(directory, content["members"]["file"]), *options, "--threads",
                          str(content["threads"]), "--shard", "{task}/" + str(args.tasks), "--out",
                          os.path.join(directory, "parts", "part_{task}.nc")]

    def fill(unfinished):
        for sub in ("members", "parts", "logs"):
            os.mkdir(os.path.join(unfinished, sub))
        shutil.copyfile(args.members, os.path.join(unfinished, content["members"]["file"]))
        if file_sha256(os.path.join(unfinished, content["members"]["file"])) != digest:
            raise InputError(f"{args.members}: changed while the plan was written", file=args.members)
        with open(os.path.join(unfinished, PLAN_FILE), "w", encoding="utf-8") as stream:
            json.dump(content, stream, indent=1)
            stream.write("\n")
        script = os.path.join(unfinished, SCRIPT)
        with open(script, "w", encoding="utf-8") as stream:
            stream.write(_script(content, directory, range(1, args.tasks + 1)))
        os.chmod(script, 0o755)

    outputs.write_directory(directory, fill)
    return content


def resume(directory):
    """Writes resume.sbatch for the tasks of a plan not done; returns those tasks (none: nothing written)."""
    plan_ = read_plan(directory)
    changed = changes(directory, plan_)
    if changed:
        raise InputError(f"{directory}: {'; '.join(changed)}: its parts would not be of one ensemble; plan "
                         "again into a new directory", file=directory)
    rows = task_states(directory, plan_)
    tasks = [row["task"] for row in rows if row["state"] != "done"]
    if tasks:
        path = os.path.join(directory, RESUME_SCRIPT)
        outputs.write_file(path, _script(plan_, os.path.abspath(directory), tasks))
        os.chmod(path, 0o755)
    return tasks


def _not_done(rows):
    """The tasks not done, as one short text: 3 (failed: ...), 7 (missing)."""
    return "; ".join(f"{row['task']} ({row['state']}: {row['detail']})" if row["state"] == "failed"
                     else f"{row['task']} ({row['state']})" for row in rows if row["state"] != "done")


def merge_plan(directory):
    """The ensemble of a plan whose tasks are all done, as `pumak.ensembles.merge` joins their parts.

    Parameters
    ----------
    directory : str
        The plan directory.

    Returns
    -------
    xarray.Dataset
        The whole ensemble, value for value the run of all members at once.

    Raises
    ------
    InputError
        A task not done, naming every such task and why.
    """
    plan_ = read_plan(directory)
    rows = task_states(directory, plan_)
    waiting = [row for row in rows if row["state"] != "done"]
    if waiting:
        raise InputError(f"{directory}: {len(waiting)} of {len(rows)} tasks not done: {_not_done(rows)}; "
                         f"pumak ensemble plan --resume {directory} writes a script for them", file=directory)
    return ensembles.merge([part_path(directory, row["task"]) for row in rows])


# ---- the command line ------------------------------------------------------

def _plan_parser():
    parser = cli.parser(
        "ensemble plan",
        "Writes a plan directory for an ensemble as a Slurm job array: plan.json, a copy of the members table "
        "and array.sbatch, whose task K runs shard K/N into parts/. With --resume PLAN, writes resume.sbatch "
        "for the tasks of an earlier plan that are not done.")
    parser.add_argument("run_dir", metavar="RUN_DIR", nargs="?", help="the site's run directory (holds parameter.ini)")
    parser.add_argument("--members", metavar="CSV", help="one row per member, one column per item it sets")
    parser.add_argument("--tasks", type=int, metavar="N", help="tasks of the job array (shards of the members)")
    parser.add_argument("--out", metavar="DIR", help="the plan directory to write (new or empty)")
    parser.add_argument("--resume", metavar="DIR", help="resubmit the tasks of this plan that are not done")
    ensemble = parser.add_argument_group("the ensemble (as pumak ensemble)")
    ensemble.add_argument("--columns", nargs="+", default=[], metavar="NAME",
                          help="result columns to keep for every hour; default: the summary only")
    ensemble.add_argument("--program", default="pumak_metrun", help="pumak_metrun (default), fixed_a or fixed_b")
    ensemble.add_argument("--threads", type=int, metavar="T",
                          help="engine threads of a task (default: --cpus-per-task)")
    slurm = parser.add_argument_group("#SBATCH lines")
    slurm.add_argument("--partition", help="the partition (queue) of the tasks")
    slurm.add_argument("--time", metavar="LIMIT", help="time limit of a task (Slurm's forms: 30, 1:00:00, 2-0)")
    slurm.add_argument("--mem", metavar="SIZE", help="memory of a task (Slurm's forms: 4G, 500M)")
    slurm.add_argument("--cpus-per-task", type=int, default=1, metavar="C", help="CPUs of a task (default 1)")
    slurm.add_argument("--job-name", metavar="NAME", help="the job's name (default: pumak-DIR)")
    slurm.add_argument("--sbatch", action="append", default=[], metavar="OPTION",
                       help="another #SBATCH line, such as --account=glaciers (repeatable)")
    return parser


def _plan_command(argv):
    parser = _plan_parser()
    args = parser.parse_args(argv)
    if args.resume is not None:
        given = [f"--{name.replace('_', '-')}" for name in ("run_dir", "members", "tasks", "out")
                 if getattr(args, name) is not None]
        if given:
            parser.error(f"--resume takes the plan directory alone, not {given[0].replace('--run-dir', 'RUN_DIR')}")
        tasks = resume(args.resume)
        total = read_plan(args.resume)["tasks"]
        path = os.path.join(args.resume, RESUME_SCRIPT)
        if tasks:
            print(f"{path}: tasks {_task_list(tasks)} of {total} (submit with: sbatch {path})")
        else:
            print(f"{args.resume}: all {total} tasks done; nothing to resume "
                  f"(pumak ensemble merge {args.resume} --out FILE)")
        return 0
    missing = [name for name, value in (("RUN_DIR", args.run_dir), ("--members", args.members),
                                        ("--tasks", args.tasks), ("--out", args.out)) if value is None]
    if missing:
        parser.error(f"the following arguments are required: {', '.join(missing)}")
    content = plan(args)
    script = os.path.join(args.out, SCRIPT)
    print(f"{script}: {content['tasks']} tasks of {ensembles._members(content['members']['total'])} "
          f"x {content['hours']} hours (submit with: sbatch {script})")
    return 0


def _status_command(argv):
    parser = cli.parser("ensemble status", "Says which tasks of a plan are done, failed (with the last line of "
                                           "the task's log) or missing. Exit status 0 when all are done, 1 "
                                           "otherwise.")
    parser.add_argument("plan", metavar="PLAN", help="the plan directory")
    parser.add_argument("--json", action="store_true", help="print the states as JSON")
    args = parser.parse_args(argv)
    plan_ = read_plan(args.plan)
    rows = task_states(args.plan, plan_)
    changed = changes(args.plan, plan_)
    counts = {state: [row["task"] for row in rows if row["state"] == state] for state in ("done", "failed", "missing")}
    if args.json:
        print(json.dumps({"plan": os.path.abspath(args.plan), "tasks": len(rows), **counts, "changed": changed,
                          "rows": rows}, indent=1))
    else:
        width = max(len("members"), *(len(f"{r['members'][0]}-{r['members'][1]}") for r in rows))
        print(f"{'task':>5}  {'state':<8} {'members':<{width}}  detail")
        for row in rows:
            span = f"{row['members'][0]}-{row['members'][1]}"
            print(f"{row['task']:>5}  {row['state']:<8} {span:<{width}}  {row['detail']}")
        summary = ", ".join(f"{len(tasks)} {state}" for state, tasks in counts.items() if tasks)
        print(f"{args.plan}: {summary} of {len(rows)} tasks")
        for line in changed:
            print(f"{args.plan}: {line}")
    return 0 if len(counts["done"]) == len(rows) else 1


def _merge_command(argv):
    parser = cli.parser("ensemble merge", "Joins the parts of a plan whose tasks are all done into one NetCDF "
                                          "file, the same as one run of all its members.")
    parser.add_argument("plan", metavar="PLAN", help="the plan directory")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")
    parser.add_argument("--out", required=True, metavar="FILE", help="NetCDF file to write")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    ensembles._writable(args.out)
    merged = merge_plan(args.plan)
    ensembles.write_netcdf(merged, args.out)
    if not args.quiet:
        print(f"{args.out}: {ensembles._members(merged.sizes['member'])} from the {read_plan(args.plan)['tasks']} "
              f"tasks of {args.plan} x {merged.sizes['time']} hours, {time.perf_counter() - started:.2f} s")
    return 0


def handles(argv):
    """Whether `argv` (after ``ensemble``) is a command of this module: plan, status, merge of a plan directory."""
    return argv[:1] in (["plan"], ["status"]) or (
        argv[:1] == ["merge"] and len(argv) > 1 and not argv[1].startswith("-") and os.path.isdir(argv[1]))


def main(argv):
    """``pumak ensemble plan``, ``status`` and ``merge PLAN``; returns the exit status (as `pumak.ensembles.main`)."""
    command, rest = argv[0], argv[1:]
    work = {"plan": _plan_command, "status": _status_command, "merge": _merge_command}[command]
    return cli.run(f"ensemble {command}", lambda: work(rest))
