#!/usr/bin/env python3
"""Each estimate of `pumak prepare --estimate` against the measured quantity of the shipped real records.

Prints a Markdown table: per record and quantity the hourly RMSE and bias
(estimate minus measured) and, where the record runs as a site, the month's
modelled surface lowering (sd_calc at the end, m) with the measured and with
the estimated quantity. docs/estimates.md shows its output.

Usage (from the top of the tree, with the core built in place):
    PYTHONPATH=python /usr/bin/python3 tools/validate_estimates.py
"""

import pathlib

import numpy as np
import pandas as pd

from pumak import _core, stations
from pumak.stations.common import QUANTITIES, Station
from pumak.stations.estimate import estimate

ROOT = pathlib.Path(__file__).resolve().parents[1]

MET_NAMES = "year month day hour doy ta_obs wind rh sr column_10 lw_down lw_up distance pressure".split()
KPC_L = {"met": ROOT / "example/data/met_lv3/kpc_l_2016_08.txt", "run": ROOT / "example/run", "utc_offset": -2,
         "latitude": 79.91, "longitude": -24.08, "elevation": 370.0}
PROMICE = {"file": ROOT / "example/promice_l3/l3_hourly_2023_12.csv", "elevation": 2135.0}


def kpc_l():
    met = pd.read_csv(KPC_L["met"], sep=r"\s+", names=MET_NAMES)
    end = (pd.to_datetime(met[["year", "month", "day"]]) + pd.to_timedelta(met["hour"], unit="h")
           - pd.Timedelta(hours=KPC_L["utc_offset"]))
    return Station("kpc_l", "met file", met[list(QUANTITIES)].set_axis(end), latitude=KPC_L["latitude"],
                   longitude=KPC_L["longitude"], details={"elevation": KPC_L["elevation"]})


def promice():
    station = stations.hourly(PROMICE["file"])
    station.data.index = station.data.index + pd.Timedelta(hours=1)   # the product stamps the hour's start
    station.details["elevation"] = PROMICE["elevation"]
    return station


def lowering(columns):
    """The KPC_L month's modelled lowering (m) with `columns` (name -> hourly values) replacing the met file's."""
    run = str(KPC_L["run"]).encode()
    parameters = _core.read_parameters(run, "pumak_metrun")
    met = _core.read_met(run, parameters)
    for name, values in columns.items():
        met[name] = np.asarray(values, dtype=np.float32)
    return float(_core.run(parameters, met, "pumak_metrun")["sd_calc"][-1])


def rows():
    for record, station, runs in (("KPC_L 2016-08", kpc_l(), True), ("PROMICE sample 2023-12", promice(), False)):
        base = lowering({}) if runs else None
        together = {}
        for name in ("pressure", "lw_down", "lw_up"):
            measured = station.data[name]
            try:
                got = estimate(station.replace(data=station.data.assign(**{name: np.nan})), [name]).data[name]
            except stations.SourceError as error:
                yield record, name, None, None, base, None, str(error).split(": ", 2)[-1]
                continue
            together[name] = got.to_numpy()
            error = (got - measured).dropna()
            effect = lowering({name: got.to_numpy()}) if runs else None
            yield record, name, float(np.sqrt((error ** 2).mean())), float(error.mean()), base, effect, ""
        if runs:
            yield record, "all three", None, None, base, lowering(together), ""


def main():
    print("| record | estimated | RMSE | bias | lowering measured (m) | lowering estimated (m) |")
    print("|---|---|---|---|---|---|")
    for record, name, rmse, bias, base, effect, why in rows():
        unit = "hPa" if name == "pressure" else "W m⁻²"
        numbers = f"{rmse:.1f} {unit} | {bias:+.1f} {unit}" if rmse is not None else (why or "–") + " | –"
        lowered = (f"{base:.3f} | {effect:.3f}" if effect is not None else
                   f"{base:.3f} | –" if base is not None else "nothing melts | nothing melts")
        print(f"| {record} | {name} | {numbers} | {lowered} |")


if __name__ == "__main__":
    main()
