#!/usr/bin/python3
"""Timing of pumak run against the program, of pumak verify on a large ensemble, and of the digests.

1. `pumak run` of a synthetic site (--days, ten years by default) against
   pumak_metrun on the same site, alternated, --repeat times each: the
   in-process run (pumak.runcommand.run: read, run, format, write) and the
   whole command (`python3 -m pumak run --quiet`, interpreter start included)
   against the program's process. Target: within 10 %.
2. `pumak verify` of an ensemble of --members members over one year (column
   sd_calc kept), in this process and as a command. Target: under 5 s on 2 cores.
3. The digests' share of writing that ensemble's NetCDF file (pumak.write_netcdf):
   the time of sealing it (pumak.verify.sealed) against the whole write. Target: under 5 %.

Medians, with the fastest and slowest. Runs the package of this tree
(python/), so its compiled core must be built in place (bench/run_all.sh
does it), and the program of --build. Usage:
    /usr/bin/python3 bench/bench_verify.py [--build build] [--days 3650] [--members 1000] [--repeat 7]
"""

import argparse
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(ROOT / "python"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import pumak  # noqa: E402
from pumak import runcommand, verify  # noqa: E402
from end_to_end import lay_out  # noqa: E402


def timed(work, cpu=None):
    """Wall seconds of work(); with a list `cpu`, its CPU seconds (this process's and its children's) appended."""
    before = (time.process_time(), resource.getrusage(resource.RUSAGE_CHILDREN))
    start = time.perf_counter()
    work()
    wall = time.perf_counter() - start
    if cpu is not None:
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(time.process_time() - before[0] + children.ru_utime - before[1].ru_utime
                   + children.ru_stime - before[1].ru_stime)
    return wall


def shown(name, times):
    median = statistics.median(times)
    print(f"  {name:<34} {median:8.3f} s (fastest {min(times):.3f}, slowest {max(times):.3f})")
    return median


def command(*argv, cwd=None):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    return lambda: subprocess.run([*argv], cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="the CMake build holding pumak_metrun")
    parser.add_argument("--days", type=int, default=3650)
    parser.add_argument("--members", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    program = (ROOT / args.build / "pumak_metrun").resolve()

    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        run_dir = lay_out(scratch / "long", args.days)
        in_process, as_command, by_program = [], [], []
        cpu = {"program": [], "in process": [], "command": []}
        runcommand.run(str(run_dir))  # warm
        for _ in range(args.repeat):  # alternated, so that the machine's mood touches all alike
            by_program.append(timed(command(str(program), cwd=run_dir), cpu["program"]))
            in_process.append(timed(lambda: runcommand.run(str(run_dir)), cpu["in process"]))
            as_command.append(timed(command(sys.executable, "-m", "pumak", "run", str(run_dir), "--quiet"),
                                    cpu["command"]))
        print(f"pumak run, {args.days} days ({args.days * 24:,} hours), medians of {args.repeat} (wall, then CPU)")
        base = shown("pumak_metrun (process)", by_program)
        base_cpu = shown("  CPU", cpu["program"])
        for name, times, key in (("pumak run (in process)", in_process, "in process"),
                                 ("pumak run (command)", as_command, "command")):
            median = shown(name, times)
            median_cpu = shown("  CPU", cpu[key])
            print(f"  {'':<34} {100 * (median / base - 1):+.1f} % wall, {100 * (median_cpu / base_cpu - 1):+.1f} % "
                  "CPU against the program")

        year = lay_out(scratch / "year", 365)
        site = pumak.read_site(year)
        rng = np.random.default_rng(7)
        members = pd.DataFrame({"albedo_ice": rng.uniform(0.3, 0.6, args.members),
                                "ch": rng.uniform(0.001, 0.004, args.members)})
        dataset = pumak.ensemble(site.met, site.parameters, members, columns=["sd_calc"], run_dir=str(year))
        path = scratch / "ensemble.nc"
        writes, seals = [], []
        for _ in range(args.repeat):
            writes.append(timed(lambda: pumak.write_netcdf(dataset, path)))
            seals.append(timed(lambda: verify.sealed(dataset)))
        print(f"write_netcdf of {args.members} members x {365 * 24} hours, medians of {args.repeat}")
        whole = shown("write_netcdf (digests included)", writes)
        part = shown("the digests (verify.sealed)", seals)
        print(f"  {'':<34} {100 * part / whole:.1f} % of the write")

        checks, check_commands = [], []
        for _ in range(args.repeat):
            checks.append(timed(lambda: verify.verify_netcdf(str(path))))
            check_commands.append(timed(command(sys.executable, "-m", "pumak", "verify", str(path))))
        print(f"pumak verify of {args.members} members x {365 * 24} hours, medians of {args.repeat}")
        shown("in process", checks)
        shown("command", check_commands)


if __name__ == "__main__":
    main()
