#!/usr/bin/python3
"""A job array on a one-node Slurm against the same ensemble in one process.

The ensemble: --members members (default 1,000) over --days days of the
synthetic record (default 365), summary only, as one NetCDF file.

serial   pumak.ensemble in this process and the file written (what
         `pumak ensemble` does after reading the site).
cluster  pumak ensemble plan (--tasks, default 8), sbatch of the array, the
         wait until no task is queued (squeue polled every 0.1 s), and
         pumak ensemble merge of the plan; each step as a user runs it, as a
         command. The tasks' own times (their log lines) are reported too.

The two alternate --repeat times; medians with the range. The one-node
cluster is started for the benchmark and stopped after it (as root), or the
one SLURM_CONF names is used. Runs the package of this tree (python/): its
compiled core must be built in place first:
cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2
Usage:
    /usr/bin/python3 bench/bench_cluster.py [--members 1000] [--days 365] [--tasks 8] [--repeat 3]
"""

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "python"))

import pumak  # noqa: E402
from bench_ensemble import members_table, spread, timed  # noqa: E402
from end_to_end import lay_out  # noqa: E402
from pumak.cf import write_netcdf  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=str(HERE.parent / "python"))


def command(*argv, env=ENV):
    subprocess.run([str(a) for a in argv], check=True, env=env, cwd="/", stdout=subprocess.DEVNULL)


def serial(run_dir, members, out):
    site = pumak.read_site(run_dir)
    write_netcdf(pumak.ensemble(site.met, site.parameters, members), out)


def on_slurm(run_dir, members_csv, tasks, scratch, env):
    """Plan, submit, wait, merge; the seconds of each step and the tasks' own seconds."""
    plan = scratch / f"plan_{time.monotonic_ns()}"
    steps = {}
    steps["plan"], _ = timed(lambda: command(sys.executable, "-m", "pumak", "ensemble", "plan", run_dir, "--members",
                                             members_csv, "--tasks", tasks, "--out", plan))

    def run_array():
        job = subprocess.run(["sbatch", "--parsable", str(plan / "array.sbatch")], env=env, check=True,
                             capture_output=True, text=True).stdout.strip().split(";")[0]
        while subprocess.run(["squeue", "-h", "-j", job, "-o", "%i"], env=env, capture_output=True,
                             text=True).stdout.strip():
            time.sleep(0.1)

    steps["array"], _ = timed(run_array)
    steps["merge"], _ = timed(lambda: command(sys.executable, "-m", "pumak", "ensemble", "merge", plan, "--out",
                                              plan / "merged.nc"))
    own = [float(re.search(r", ([0-9.]+) s$", (plan / "logs" / f"task_{k}.log").read_text().strip())[1])
           for k in range(1, tasks + 1)]
    return steps, own


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--members", type=int, default=1000)
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--tasks", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as name:
        scratch = pathlib.Path(name)
        run_dir = lay_out(scratch / "site", args.days)
        members_csv = scratch / "members.csv"
        members = members_table(args.members)
        members.to_csv(members_csv, index=False)
        cluster = scratch / "cluster"
        started = "SLURM_CONF" not in os.environ
        if started:
            out = subprocess.run([str(HERE.parent / "tools" / "slurm_cluster.sh"), "start", str(cluster),
                                  str(os.getpid())], check=True, capture_output=True, text=True).stdout
            env = dict(ENV, SLURM_CONF=out.strip().split("=", 1)[1])
        else:
            env = ENV
        try:
            times = {"serial": [], "plan": [], "array": [], "merge": [], "cluster": []}
            own = []
            for _ in range(args.repeat):
                seconds, _ = timed(lambda: serial(run_dir, members, scratch / "serial.nc"))
                times["serial"].append(seconds)
                steps, task_seconds = on_slurm(run_dir, members_csv, args.tasks, scratch, env)
                for key, value in steps.items():
                    times[key].append(value)
                times["cluster"].append(sum(steps.values()))
                own += task_seconds
        finally:
            if started:
                subprocess.run([str(HERE.parent / "tools" / "slurm_cluster.sh"), "stop", str(cluster)], check=True)
    with open("/proc/loadavg") as stream:
        load = stream.read().split()[:3]
    print(f"{args.members} members x {args.days * 24} hours, summary only, {args.tasks} tasks on a one-node Slurm "
          f"of {os.cpu_count()} CPUs (load average {' '.join(load)})")
    print(f"  serial, in process, file written: {spread(times['serial'])}")
    for key in ("plan", "array", "merge"):
        print(f"  {key}: {spread(times[key])}")
    print(f"  the tasks' own run (each, read site to file written): {spread(own)}")
    overhead = statistics.median(times["cluster"]) - statistics.median(times["serial"])
    print(f"  plan + array + merge: {spread(times['cluster'])}; over the serial run: {overhead:+.2f} s")


if __name__ == "__main__":
    main()
