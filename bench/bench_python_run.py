#!/usr/bin/python3
"""Timing of pumak.run (the model in memory, from Python) on the synthetic record.

Lays out the same site as end_to_end.py (a synthetic record of --days days,
ten years by default), reads it once with pumak.read_site, runs pumak.run
once to warm up and then --repeat times, and reports the median wall time as
milliseconds, simulated hours per second and microseconds per hour, with the
fastest and slowest run. The target for ten years is 40 ms (2.2 M hours/s).

Runs the package of this tree (python/), so its compiled core must be built
in place first: cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2
(bench/run_all.sh does it). Usage:
    /usr/bin/python3 bench/bench_python_run.py [--days 3650] [--repeat 21]
"""

import argparse
import pathlib
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "python"))

import pumak  # noqa: E402
from end_to_end import lay_out  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=3650)
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        site = pumak.read_site(lay_out(pathlib.Path(scratch), args.days))
    hours = args.days * 24
    pumak.run(site.parameters, site.met)
    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        results = pumak.run(site.parameters, site.met)
        times.append(time.perf_counter() - start)
    assert len(results) == hours
    median = statistics.median(times)
    print(f"pumak.run, {args.days} days ({hours:,} hours), median of {args.repeat} runs")
    print(f"  time        {median * 1e3:.1f} ms (fastest {min(times) * 1e3:.1f}, slowest {max(times) * 1e3:.1f})")
    print(f"  speed       {hours / median:,.0f} simulated hours/s, {median / hours * 1e6:.3f} us/h")
    print(f"  results     {results.memory_usage(index=False).sum() / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
