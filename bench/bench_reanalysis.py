#!/usr/bin/python3
"""Time and peak memory of `pumak prepare` with ERA5 point series.

1. A year of hourly ERA5 (8,760 hours; CSV and NetCDF as the data store
   delivers them) to a site: ``pumak prepare --reanalysis FILE --out SITE``.
   Target: under 3 s and 300 MB.
2. A year of 10-minute station records (bench_prepare.py's TOA5 table, with
   ten days cut out) filled from a year of ERA5 CSV:
   ``pumak prepare TABLE --mapping MAP --fill-from FILE --out SITE``.
   Target: under 8 s.

Each case runs --repeat times in a fresh process under GNU time, the cases
alternated; the medians of wall time and peak resident memory are reported.
Needs the compiled core built in place (bench/run_all.sh builds it). Usage:
    /usr/bin/python3 bench/bench_reanalysis.py [--repeat 3] [--keep DIR]
"""

import argparse
import math
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))
sys.path.insert(0, str(HERE))

from bench_prepare import MAPPING, measure_command, write_table  # noqa: E402
from pumak.stations.era5 import as_era5  # noqa: E402

TARGETS = {"ERA5 CSV to a site": (3.0, 300.0), "ERA5 NetCDF to a site": (3.0, 300.0),
           "10-min station filled from ERA5": (8.0, None)}
POINT = (46.5, 10.5)


def year_of_weather(year=2023):
    """A plausible hourly year at an Alpine glacier, in the model's units, indexed by each hour's end in UTC."""
    hours = pd.date_range(f"{year}-01-01 01:00", periods=8760, freq="h")
    day = hours.dayofyear.to_numpy()
    clock = hours.hour.to_numpy() + POINT[1] / 15 - 0.5
    season = np.cos(2 * math.pi * (day - 200) / 365)
    sun = np.clip(np.cos((clock - 12) / 12 * math.pi) + 0.3 * season, 0, None) * (600 + 300 * season)
    ta = -5 + 8 * season + 4 * np.cos((clock - 15) / 12 * math.pi)
    return pd.DataFrame({"ta_obs": ta, "rh": 0.75 + 0.1 * np.sin(np.arange(8760) / 50), "wind": 3 + np.sin(day),
                         "pressure": 745 + 5 * np.sin(day / 9), "sr": sun, "lw_down": 260 + 30 * season,
                         "lw_up": np.minimum(5.67e-8 * (ta + 273.15) ** 4, 315.6)}, index=hours)


def write_inputs(where):
    era5 = as_era5(year_of_weather()).rename_axis("valid_time")
    era5.insert(0, "longitude", POINT[1])
    era5.insert(0, "latitude", POINT[0])
    era5.to_csv(where / "era5.csv", date_format="%Y-%m-%d %H:%M:%S")
    import xarray as xr
    xr.Dataset({name: ("valid_time", era5[name].to_numpy(dtype=np.float32)) for name in era5.columns[2:]},
               coords={"valid_time": era5.index.to_numpy(), "latitude": POINT[0], "longitude": POINT[1]}
               ).to_netcdf(where / "era5.nc")
    write_table(where / "table.dat", 10)
    lines = (where / "table.dat").read_text().splitlines(keepends=True)
    cut = range(4 + 200 * 144, 4 + 210 * 144)                 # ten days without records
    (where / "table.dat").write_text("".join(line for k, line in enumerate(lines) if k not in cut))
    (where / "map.toml").write_text(MAPPING)


def commands(where):
    site = str(where / "site")
    return {
        "ERA5 CSV to a site": ["--reanalysis", str(where / "era5.csv"), "--out", site, "--force"],
        "ERA5 NetCDF to a site": ["--reanalysis", str(where / "era5.nc"), "--out", site, "--force"],
        "10-min station filled from ERA5": [str(where / "table.dat"), "--mapping", str(where / "map.toml"),
                                            "--latitude", str(POINT[0]), "--longitude", str(POINT[1]),
                                            "--fill-from", str(where / "era5.csv"), "--out", site, "--force"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--keep", metavar="DIR", help="write the inputs and the site here")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        raise SystemExit("bench_reanalysis: needs GNU time (/usr/bin/time) for the peak memory")
    with tempfile.TemporaryDirectory() as scratch:
        where = pathlib.Path(args.keep or scratch)
        where.mkdir(parents=True, exist_ok=True)
        write_inputs(where)
        measured = {name: [] for name in TARGETS}
        for _ in range(args.repeat):
            for name, arguments in commands(where).items():
                seconds, cpu, memory, _ = measure_command(["prepare", *arguments])
                measured[name].append((seconds, memory, cpu))
        for name, runs in measured.items():
            seconds = statistics.median(run[0] for run in runs)
            memory = statistics.median(run[1] for run in runs)
            cpu = statistics.median(run[2] for run in runs)
            limit_s, limit_mb = TARGETS[name]
            verdict = "ok" if seconds < limit_s and (limit_mb is None or memory < limit_mb) else "MISSED"
            print(f"{name}: median {seconds:.2f} s ({cpu:.2f} s CPU), {memory:.0f} MB of {len(runs)} runs "
                  f"(target {limit_s:g} s" + (f", {limit_mb:g} MB" if limit_mb else "") + f"): {verdict}")


if __name__ == "__main__":
    main()
