#!/usr/bin/python3
"""End-to-end timing of pumak programs on synthetic met records of 1, 10 and 100 years.

For each length it lays out a working directory (run/parameter.ini and
data/met_lv3/), writes a synthetic record, runs each program once to warm up
and then --repeat times, and reports the median wall time in microseconds
per simulated hour and the peak resident memory of a run. Each run replaces
the table of the one before, as a calibration loop does.

With several programs (two builds, say) they run alternately on the same
records, and each is compared with the first: speed ratio and whether its
table is byte for byte the same. The peak resident memory is taken with GNU
time (/usr/bin/time) where it is installed. Standard library only; called by
end_to_end.sh.
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent

PARAMETERS = """\
synthetic.txt results.csv
lat 79.91
albedo_cryo 0.15
albedo_ice 0.51
ta_offset 0.0
diameter 100.0
depth 100.0
sd_calc 0.0
ch 0.002
n_days {days}
diffuse_mode 0
unused 0.0
k_ice_direct 1.0
k_ice_diffuse 1.0
fixed_solar_angle -1.0
fixed_cryo_angle -1.0
"""


def lay_out(root, days):
    run = root / "run"
    met_dir = root / "data" / "met_lv3"
    run.mkdir(parents=True)
    met_dir.mkdir(parents=True)
    (run / "parameter.ini").write_text(PARAMETERS.format(days=days), encoding="ascii")
    subprocess.run(
        [sys.executable, str(HERE / "synthetic_met.py"), "--days", str(days),
         "--output", str(met_dir / "synthetic.txt")],
        check=True)
    return run


GNU_TIME = "/usr/bin/time"


def spawn(program, run_dir):
    """Runs the program once in run_dir; returns (wall seconds, resource usage)."""
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.chdir(run_dir)
            os.execv(program, [program])
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"end_to_end: {program} exited with status {code} in {run_dir}")
    return wall, usage


def timed_run(program, run_dir):
    """Runs the program once; returns its wall and CPU (user + system) seconds."""
    wall, usage = spawn(program, run_dir)
    return wall, usage.ru_utime + usage.ru_stime


def peak_rss(program, run_dir):
    """Runs the program once; returns (wall seconds, peak RSS in bytes, how).

    A child forked from this Python starts with Python's own pages counted as
    resident (about 10 MiB), and the kernel keeps that in the child's peak
    after the exec. GNU time is a small C program, so under it the figure is
    the program's own; without it the figure is an upper bound.
    """
    if os.access(GNU_TIME, os.X_OK):
        with tempfile.NamedTemporaryFile("r") as report:
            start = time.perf_counter()
            done = subprocess.run([GNU_TIME, "-o", report.name, "-f", "%M", program], cwd=run_dir)
            wall = time.perf_counter() - start
            if done.returncode != 0:
                sys.exit(f"end_to_end: {program} exited with status {done.returncode} in {run_dir}")
            return wall, int(report.read().split()[-1]) * 1024, "GNU time"
    wall, usage = spawn(program, run_dir)
    return wall, usage.ru_maxrss * 1024, "wait4, upper bound: includes the launcher's pages"


def mib(n):
    return n / (1024 * 1024)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("programs", nargs="+",
                        help="built programs, e.g. build/pumak_metrun; with more than one they run "
                             "alternately and the others are compared with the first")
    parser.add_argument("--years", type=int, nargs="+", default=[1, 10, 100],
                        help="record lengths in years of 365 days (default 1 10 100)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    programs = [str(pathlib.Path(p).resolve()) for p in args.programs]
    names = [os.path.relpath(p) if not os.path.relpath(p).startswith("../..") else p for p in programs]

    print(f"machine: {os.cpu_count()} cores; medians of {args.repeat} runs, programs alternating")
    with tempfile.TemporaryDirectory(prefix="pumak-bench-") as tmp:
        root = pathlib.Path(tmp)
        for years in args.years:
            days = 365 * years
            hours = days * 24
            run = lay_out(root / f"y{years}", days)
            repeat = args.repeat if years < 100 else max(3, args.repeat // 2)
            walls = {p: [] for p in programs}
            for p in programs:
                timed_run(p, run)  # warm the page cache and the program's pages
            for _ in range(repeat):
                for p in programs:
                    walls[p].append(timed_run(p, run)[0])
            tables = {}
            for p in programs:
                timed_run(p, run)
                tables[p] = hashlib.sha256((run / "results.csv").read_bytes()).hexdigest()
            print(f"{years} year(s), {hours} hours:")
            first = statistics.median(walls[programs[0]])
            for p, name in zip(programs, names):
                median = statistics.median(walls[p])
                _, rss, how = peak_rss(p, run)
                same = "" if p == programs[0] else (
                    ", same table" if tables[p] == tables[programs[0]] else ", different table")
                print(f"  {name:40s} {median / hours * 1e6:6.3f} us/hour "
                      f"({median * 1e3:8.1f} ms, x{first / median:5.2f}), peak RSS {mib(rss):6.1f} MiB{same}")
            shutil.rmtree(run.parent)


if __name__ == "__main__":
    main()
