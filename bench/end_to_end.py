#!/usr/bin/python3
"""End-to-end timing of a pumak program on a synthetic met record.

Lays out a working directory (run/parameter.ini and data/met_lv3/), writes a
synthetic record of --days days, runs the program once to warm up and then
--repeat times, and reports the median wall time as simulated hours per
second, microseconds per hour and output megabytes per second, with the
median CPU time and the peak resident memory of a run. Each run replaces the
table of the one before, as a calibration loop does. Then,
unless --memory-days is 0, one more run of --memory-days days measures the
peak resident memory of a long run.

The peak resident memory is taken with GNU time (/usr/bin/time) where it is
installed. Standard library only; called by end_to_end.sh.
"""

import argparse
import os
import pathlib
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
    parser.add_argument("program", help="path of the built program, e.g. build/pumak_metrun")
    parser.add_argument("--days", type=int, default=3650)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--memory-days", type=int, default=36525)
    args = parser.parse_args()
    program = str(pathlib.Path(args.program).resolve())

    with tempfile.TemporaryDirectory(prefix="pumak-bench-") as tmp:
        root = pathlib.Path(tmp)
        run = lay_out(root / "timing", args.days)
        hours = args.days * 24
        met_bytes = (root / "timing" / "data" / "met_lv3" / "synthetic.txt").stat().st_size
        timed_run(program, run)  # warm the page cache and the program's pages
        runs = [timed_run(program, run) for _ in range(args.repeat)]
        walls = sorted(wall for wall, _ in runs)
        cpu = statistics.median(cpu for _, cpu in runs)
        _, rss, how = peak_rss(program, run)
        out_bytes = (run / "results.csv").stat().st_size
        median = statistics.median(walls)
        print(f"{os.path.basename(program)}: {args.days} days = {hours} hours, "
              f"met file {mib(met_bytes):.1f} MiB, table {mib(out_bytes):.1f} MiB, "
              f"{args.repeat} runs")
        print(f"  wall time   median {median * 1e3:.1f} ms (min {walls[0] * 1e3:.1f}, "
              f"max {walls[-1] * 1e3:.1f}); CPU time median {cpu * 1e3:.1f} ms")
        print(f"  speed       {hours / median:,.0f} simulated hours/s, "
              f"{median / hours * 1e6:.3f} us/hour")
        print(f"  output      {mib(out_bytes) / median:.1f} MiB/s written, "
              f"input {mib(met_bytes) / median:.1f} MiB/s read")
        print(f"  peak RSS    {mib(rss):.1f} MiB ({how})")

        if args.memory_days > 0:
            run = lay_out(root / "memory", args.memory_days)
            wall, rss, how = peak_rss(program, run)
            hours = args.memory_days * 24
            print(f"memory run: {args.memory_days} days = {hours} hours in {wall:.2f} s, "
                  f"peak RSS {mib(rss):.1f} MiB ({how}); "
                  f"the series alone take {mib(hours * 14 * 4):.1f} MiB")
            (run / "results.csv").unlink()


if __name__ == "__main__":
    main()
