#!/usr/bin/python3
"""Time and peak memory of `pumak prepare` on a year of a logger's own TOA5 table.

Writes synthetic TOA5 tables of 35 columns (TIMESTAMP, RECORD and 33 values,
"NAN" now and then) on a UTC+01:00 clock at a glacier in the Alps: a year of
10-minute records (52,560 lines) and a year of 1-minute records (525,600
lines), with the mapping of column names a user writes. Then runs
``pumak prepare TABLE --mapping MAP --out SITE`` (this tree's package, as
``python3 -m pumak`` with PYTHONPATH=python) under GNU time
(``/usr/bin/time -v``) in a fresh process and reports the wall time and the
peak resident memory. Targets: 10-minute records under 5 s and 500 MB,
1-minute records under 30 s and 2 GB, on one core.

Needs the compiled core built in place first:
cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2
(bench/run_all.sh does it). Usage:
    /usr/bin/python3 bench/bench_prepare.py [--steps 10 1] [--keep DIR]
"""

import argparse
import math
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
TARGETS = {10: (5.0, 500.0), 1: (30.0, 2000.0)}   # step in minutes -> (s, MB)
COLUMNS = ["AirTC_Avg", "RH", "WS_ms_Avg", "WindDir", "BP_mbar", "SWin_Avg", "SWout_Avg", "LWin_Cor_Avg",
           "LWout_Cor_Avg", "SR50_Dist"] + [f"Aux{k}" for k in range(23)]
UNITS = ["Deg C", "%", "m/s", "Deg", "mbar", "W/m^2", "W/m^2", "W/m^2", "W/m^2", "m"] + ["V"] * 23
MAPPING = """[time]
zone = "UTC+01:00"

[columns]
ta_obs = "AirTC_Avg"
rh = "RH"
wind = "WS_ms_Avg"
pressure = "BP_mbar"
sr = "SWin_Avg"
column_10 = "SWout_Avg"
lw_down = "LWin_Cor_Avg"
lw_up = "LWout_Cor_Avg"
distance = "SR50_Dist"
"""


def write_table(path, step_minutes, days=365):
    """A year of records every `step_minutes` min from 2023-01-01 00:00 + step, 35 columns."""
    records = days * 24 * 60 // step_minutes
    header = ['"TOA5","Glacier","CR3000","1234","CR3000.Std.32","CPU:glacier.CR3","4321","Table"',
              ",".join(f'"{n}"' for n in ["TIMESTAMP", "RECORD"] + COLUMNS),
              ",".join(f'"{u}"' for u in ["TS", "RN"] + UNITS),
              ",".join(f'"{p}"' for p in ["", ""] + ["Avg"] * 33)]
    aux = ",".join(f"{12.5 + k / 10:.2f}" for k in range(23))
    with open(path, "w", newline="") as stream:
        stream.write("\r\n".join(header) + "\r\n")
        minute = step_minutes
        day_minutes = 24 * 60
        lines = []
        for k in range(records):
            day, clock = divmod(minute, day_minutes)
            season = math.cos(2 * math.pi * (day - 200) / 365)
            # solar noon at 12:18 on the UTC+01:00 clock (10.5 E); days of 8.5 h in winter, 15.5 h in summer
            half_day = 345 + 95 * math.cos(2 * math.pi * (day - 172) / 365)
            sun = 900 * (0.6 + 0.4 * season) * max(0.0, math.cos((clock - 5 - 738) / half_day * math.pi / 2)) ** 2
            t = -5 + 8 * season + 4 * math.cos((clock - 900) / 720 * math.pi)
            value = ('"NAN"' if k % 997 == 0 else f"{t:.2f}")
            lines.append(f'"{2023 + day // 365}-{_date(day % 365)} {clock // 60:02d}:{clock % 60:02d}:00",{k},'
                         f"{value},{75 + 10 * math.sin(k / 500):.1f},{3 + 2 * math.sin(k / 77):.2f},180,"
                         f"{745 + 5 * math.sin(k / 3000):.1f},{sun:.1f},{0.5 * sun:.1f},{260 + 30 * season:.1f},"
                         f"{300 + 17 * season:.1f},{2.0 + day * 0.004:.3f},{aux}")
            if len(lines) == 10000:
                stream.write("\r\n".join(lines) + "\r\n")
                lines = []
            minute += step_minutes
        stream.write("\r\n".join(lines) + "\r\n" if lines else "")
    return records


_MONTHS = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


def _date(day_of_year):
    month = 0
    while day_of_year >= _MONTHS[month]:
        day_of_year -= _MONTHS[month]
        month += 1
    return f"{month + 1:02d}-{day_of_year + 1:02d}"


def measure(table, mapping, site):
    """Wall time (s) and peak resident memory (MB) of one `pumak prepare` in a new process."""
    return measure_command(["prepare", str(table), "--mapping", str(mapping), "--out", str(site), "--latitude",
                            "46.5", "--longitude", "10.5", "--max-gap", "6"])


def measure_command(arguments):
    """Wall time (s), CPU time (s), peak resident memory (MB) and the first lines said of ``pumak ARGUMENTS``."""
    command = ["/usr/bin/time", "-v", sys.executable, "-m", "pumak", *arguments]
    environment = dict(os.environ, PYTHONPATH=str(HERE.parent / "python"))
    run = subprocess.run(command, env=environment, capture_output=True, text=True)
    report = run.stderr
    elapsed = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", report).group(1)
    seconds = sum(float(part) * 60 ** k for k, part in enumerate(reversed(elapsed.split(":"))))
    memory = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1)) / 1024
    cpu = sum(float(re.search(rf"{kind} time \(seconds\): (\S+)", report).group(1)) for kind in ("User", "System"))
    if run.returncode not in (0, 1):
        raise SystemExit(f"prepare failed ({run.returncode}): {report.splitlines()[0]}")
    return seconds, cpu, memory, run.stdout.splitlines()[:2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, nargs="+", default=[10, 1], choices=sorted(TARGETS))
    parser.add_argument("--keep", metavar="DIR", help="write the tables and sites here instead of a temporary directory")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        raise SystemExit("bench_prepare: needs GNU time (/usr/bin/time) for the peak memory")
    with tempfile.TemporaryDirectory() as scratch:
        where = pathlib.Path(args.keep or scratch)
        where.mkdir(parents=True, exist_ok=True)
        (where / "map.toml").write_text(MAPPING)
        for step in args.steps:
            table = where / f"table_{step}min.dat"
            lines = write_table(table, step)
            seconds, cpu, memory, summary = measure(table, where / "map.toml", where / f"site_{step}min")
            limit_s, limit_mb = TARGETS[step]
            verdict = "ok" if seconds < limit_s and memory < limit_mb else "OVER TARGET"
            print(f"{step:>2}-minute TOA5, 35 columns, {lines:,} records ({table.stat().st_size / 1e6:.0f} MB): "
                  f"{seconds:.2f} s ({cpu:.2f} s CPU), {memory:.0f} MB peak (target < {limit_s:g} s, < {limit_mb:g} MB): {verdict}")
            for line in summary:
                print(f"    {line}")


if __name__ == "__main__":
    main()
