#!/usr/bin/python3
"""Ensembles: pumak.ensemble against a loop of program runs, Dask against in-process, memory.

Three measurements on the synthetic record (bench/synthetic_met.py):

1. loop   The same 1,000-member one-year ensemble as a user runs it today,
          a directory per member with its parameter.ini, pumak_metrun started
          in it and its table read back and summarised (pumak.read_results,
          pumak.plot.summary), against pumak.ensemble (summary only, with the
          sd_calc column, with all 34 columns; and summary only for members
          that vary only the hole's items, so that they share the ice
          surface's work). The loop is timed on a sample of --loop-sample
          members spread over the 1,000 and scaled to 1,000.
2. dask   A 10,000-member one-year summary-only ensemble in-process (engine
          threads = cores) against a Dask LocalCluster of 2 worker processes
          with one thread each on 127.0.0.1, the cluster started beforehand.
3. memory Peak resident memory of a process that reads a site and runs a
          1,000-member summary-only ensemble, for 1 and 10 years of record,
          next to the same process stopped before the ensemble.

The machine is shared: the two sides of each comparison alternate, --repeat
times, and medians are reported with the range. Runs the package of this tree
(python/), so its compiled core must be built in place first:
cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2
and, for the loop, the programs (--build).
Usage:
    /usr/bin/python3 bench/bench_ensemble.py [--build build] [--repeat 5] [--only loop,dask,memory]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "python"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import pumak  # noqa: E402
import pumak.ensembles  # noqa: E402
from end_to_end import lay_out  # noqa: E402
from pumak import _core, plot, sitefiles  # noqa: E402


def members_table(n, seed=11, shared_sky=False):
    """n members spread over the items users calibrate.

    With shared_sky, only the items of the hole vary, so that all members
    share the hourly work of the ice surface; otherwise every member has its
    own albedo_ice and ch and shares nothing.
    """
    rng = np.random.default_rng(seed)
    if shared_sky:
        return pd.DataFrame({"albedo_cryo": rng.uniform(0.05, 0.4, n),
                             "cryoconite_diameter": rng.uniform(50.0, 200.0, n),
                             "cryoconite_depth": rng.uniform(50.0, 300.0, n)})
    return pd.DataFrame({
        "albedo_ice": rng.uniform(0.3, 0.7, n),
        "albedo_cryo": rng.uniform(0.05, 0.4, n),
        "ch": rng.uniform(0.001, 0.005, n),
        "cryoconite_depth": rng.uniform(50.0, 300.0, n),
    })


def timed(function):
    start = time.perf_counter()
    value = function()
    return time.perf_counter() - start, value


def spread(times):
    return f"median {statistics.median(times):.3f} s (range {min(times):.3f}-{max(times):.3f}, {len(times)} runs)"


def program_loop(site, members, program, scratch):
    """Each member as today: its directory, parameter.ini, the program, the table read back and summarised."""
    statements = _core.program_layout("pumak_metrun")["statements"]
    met_file = pathlib.Path(site.run_dir).resolve().parent / "data" / "met_lv3" / site.parameters["met_file"]
    spawn_times = []
    for k, row in members.iterrows():
        root = scratch / f"member_{k}"
        (root / "data" / "met_lv3").mkdir(parents=True, exist_ok=True)
        (root / "run").mkdir(exist_ok=True)
        link = root / "data" / "met_lv3" / site.parameters["met_file"]
        if not link.exists():
            link.symlink_to(met_file)
        sitefiles.write_parameter_file(root / "run" / "parameter.ini", {**site.parameters, **row.to_dict()},
                                       statements)
        seconds, _ = timed(lambda: subprocess.run([program], cwd=root / "run", check=True))
        spawn_times.append(seconds)
        plot.summary(pumak.read_results(root / "run" / site.parameters["out_file"]))
    return sum(spawn_times)


def bench_loop(site, args):
    members = members_table(1000)
    hours = int(site.parameters["n_days"]) * 24
    sample = members.iloc[:: max(1, 1000 // args.loop_sample)][: args.loop_sample]
    scale = len(members) / len(sample)
    program = str(pathlib.Path(args.build).resolve() / "pumak_metrun")
    shared = members_table(1000, shared_sky=True)
    variants = {"summary only": (members, ()), "with sd_calc": (members, ("sd_calc",)),
                "all 34 columns": (members, tuple(c["name"] for c in _core.result_columns())),
                "summary only, members sharing the ice surface": (shared, ())}
    loop, loop_spawn, engine = [], [], {name: [] for name in variants}
    with tempfile.TemporaryDirectory() as scratch:
        for _ in range(args.repeat):
            seconds, spawn = timed(lambda: program_loop(site, sample, program, pathlib.Path(scratch)))
            loop.append(seconds * scale)
            loop_spawn.append(spawn * scale)
            for name, (table, columns) in variants.items():
                seconds, _ = timed(lambda: pumak.ensemble(site.met, site.parameters, table, columns))
                engine[name].append(seconds)
    member_hours = len(members) * hours
    print(f"\n1,000 members x {hours:,} hours ({member_hours / 1e6:.2f} M member-hours)")
    print(f"  loop of program runs (sample of {len(sample)}, x{scale:g}): {spread(loop)}")
    print(f"    of which the program runs alone: {spread(loop_spawn)}")
    rows = {"loop_s": statistics.median(loop), "loop_runs_only_s": statistics.median(loop_spawn)}
    for name, times in engine.items():
        median = statistics.median(times)
        print(f"  pumak.ensemble, {name}: {spread(times)}, {member_hours / median / 1e6:.1f} M member-hours/s, "
              f"{statistics.median(loop) / median:.0f}x the loop ({statistics.median(loop_spawn) / median:.0f}x "
              f"its program runs alone)")
        rows[f"ensemble_{name}_s"] = median
    return rows


def bench_dask(site, args):
    from distributed import Client, LocalCluster

    members = members_table(10000)
    hours = int(site.parameters["n_days"]) * 24
    member_hours = len(members) * hours
    started = time.perf_counter()
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster, timeout=60) as client:
        start_up = time.perf_counter() - started
        first, reference = timed(lambda: pumak.ensemble(site.met, site.parameters, members, client=client))
        here_times, dask_times = [], []
        for _ in range(args.repeat):
            seconds, here = timed(lambda: pumak.ensemble(site.met, site.parameters, members))
            here_times.append(seconds)
            seconds, there = timed(lambda: pumak.ensemble(site.met, site.parameters, members, client=client))
            dask_times.append(seconds)
            assert here.equals(there) and here.equals(reference), "Dask and in-process differ"
    here, there = statistics.median(here_times), statistics.median(dask_times)
    print(f"\n10,000 members x {hours:,} hours, summary only ({member_hours / 1e6:.1f} M member-hours)")
    print(f"  in-process, {os.cpu_count()} engine threads: {spread(here_times)}, "
          f"{member_hours / here / 1e6:.1f} M member-hours/s")
    print(f"  Dask LocalCluster, 2 workers x 1 thread: {spread(dask_times)}, "
          f"{member_hours / there / 1e6:.1f} M member-hours/s")
    print(f"  Dask / in-process throughput: {here / there:.0%} (per round: "
          f"{', '.join(f'{h / d:.0%}' for h, d in zip(here_times, dask_times))})")
    print(f"  cluster start {start_up:.2f} s and first ensemble {first:.2f} s (workers import pumak) not counted")
    return {"in_process_s": here, "dask_s": there, "ratio": here / there, "start_up_s": start_up}


def peak_memory_child(run_dir, stop_before):
    """In a fresh process: read the site, run 1,000 members summary-only; peak RSS in MiB."""
    import xarray  # noqa: F401  (loaded on both sides: the difference is the ensemble's)
    site = pumak.read_site(run_dir)
    met_bytes = sum(site.met[c].to_numpy().nbytes for c in site.met.columns)
    if not stop_before:
        pumak.ensemble(site.met, site.parameters, members_table(1000))
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's peak over the exec.
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024
    print(json.dumps({"peak_mib": peak, "met_mib": met_bytes / 2**20}))


def bench_memory(args):
    print("\nPeak resident memory, 1,000 members, summary only (median of 3 processes)")
    rows = {}
    with tempfile.TemporaryDirectory() as scratch:
        for days in (365, 3650):
            run_dir = lay_out(pathlib.Path(scratch) / str(days), days)
            result = {}
            for stop_before in (True, False):
                peaks = []
                for _ in range(3):
                    child = subprocess.run(
                        [sys.executable, __file__, "--memory-child", str(run_dir)]
                        + (["--stop-before"] if stop_before else []),
                        check=True, capture_output=True, text=True)
                    peaks.append(json.loads(child.stdout))
                result[stop_before] = (statistics.median(p["peak_mib"] for p in peaks), peaks[0]["met_mib"])
            before, met = result[True]
            after, _ = result[False]
            print(f"  {days // 365:>2} year(s): met series {met:.1f} MiB; peak {before:.1f} MiB after reading the "
                  f"site, {after:.1f} MiB after the ensemble (+{after - before:.1f} MiB)")
            rows[days] = {"met_mib": met, "peak_read_mib": before, "peak_ensemble_mib": after}
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build directory with pumak_metrun (default build)")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--loop-sample", type=int, default=50)
    parser.add_argument("--only", default="loop,dask,memory")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("--stop-before", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return peak_memory_child(args.memory_child, args.stop_before)
    print(f"pumak {_core.version}; {os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f} at the start")
    only = args.only.split(",")
    with tempfile.TemporaryDirectory() as scratch:
        site = pumak.read_site(lay_out(pathlib.Path(scratch), 365))
        if "loop" in only:
            bench_loop(site, args)
        if "dask" in only:
            bench_dask(site, args)
    if "memory" in only:
        bench_memory(args)
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
