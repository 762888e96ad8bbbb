"""The older PROMICE hourly text layout (``Year MonthOfYear DayOfMonth HourOfDayUTC ...``)."""

import re

import numpy as np
import pandas as pd

from pumak.stations.common import column_key, text_numbers, text_rows
from pumak.stations.product import _through

OLDER = {
    "name": "older PROMICE hourly text layout",
    "label": "start",
    "time": ("Year", "MonthOfYear", "DayOfMonth", "HourOfDayUTC"),
    "candidates": {
        "ta_obs": [("AirTemperatureC", "degC")], "rh": [("RelativeHumidity_wrtWater", "%")],
        "wind": [("WindSpeedms", "m s-1")], "pressure": [("AirPressurehPa", "hPa")],
        "sr": [("ShortwaveRadiationDown_CorWm2", "W m-2"), ("ShortwaveRadiationDownWm2", "W m-2")],
        "column_10": [("ShortwaveRadiationUp_CorWm2", "W m-2"), ("ShortwaveRadiationUpWm2", "W m-2")],
        "lw_down": [("LongwaveRadiationDownWm2", "W m-2")], "lw_up": [("LongwaveRadiationUpWm2", "W m-2")],
        "distance": [("HeightSensorBoomm", "m"), ("HeightStakesm", "m")],
    },
    # This layout gives the longitude positive west: degrees (LongitudeGPS(degW)) or
    # degrees x 100 + minutes (LongitudeGPSddmm).
    "latitude": [("LatitudeGPSdegN", 1.0, "degrees"), ("LatitudeGPS", 1.0, "degrees"),
                 ("LatitudeGPSddmm", 1.0, "ddmm")],
    "longitude": [("LongitudeGPSdegW", -1.0, "degrees"), ("LongitudeGPS", -1.0, "degrees"),
                  ("LongitudeGPSddmm", -1.0, "ddmm")],
    "missing": -999.0,
}
# Humidity with respect to ice (below 0 °C), taken when the one with respect to water has gaps it has not.
RH_ICE = ("RelativeHumidity", "%")


def recognised(names):
    """True for a header line of the older layout."""
    return {column_key(name) for name in OLDER["time"]} <= names


def read_older(path, mapping_path=None):
    """The older PROMICE hourly text layout as a `Station` in the file's units.

    Parameters
    ----------
    path : str
        The blank- or tab-separated text file; -999 marks a missing value.

    Returns
    -------
    Station
        Stamps from Year MonthOfYear DayOfMonth HourOfDayUTC, the start of
        their hour, UTC. Units: °C, %, m s-1, hPa, W m-2, m. The position
        from LatitudeGPS(degN)/LongitudeGPS(degW) in degrees or
        LatitudeGPSddmm/LongitudeGPSddmm (degrees x 100 + minutes), longitude
        positive west in the file and east in the `Station`. Humidity is
        RelativeHumidity_wrtWater, or RelativeHumidity (with respect to ice,
        said in the notes) where that has values in every hour the other
        has and more. A mapping of ``[columns]`` (`read_product_csv`)
        overrides columns; a unit in brackets in the header is the file's own.
    """
    table, lines = text_rows(path, None)
    by_key = {column_key(name): name for name in table.columns}
    parts = [text_numbers(path, table, lines, by_key[column_key(name)], [OLDER["missing"]]) for name in OLDER["time"]]
    year, month, day, hour = parts
    whole = np.isfinite(year) & np.isfinite(month) & np.isfinite(day) & np.isfinite(hour)
    frame = pd.DataFrame({"year": year, "month": month, "day": day, "hour": hour})
    frame.loc[~whole] = [2000, 1, 1, 0]
    stamps = pd.to_datetime(frame.astype(int), errors="coerce")
    stamps[~whole] = pd.NaT
    raw = [" ".join(row) for row in table[[by_key[column_key(n)] for n in OLDER["time"]]].itertuples(index=False)]

    def numbers(name, markers):
        return text_numbers(path, table, lines, name, [OLDER["missing"]] + list(markers))

    layout, note = OLDER, None
    water, ice = by_key.get(column_key(OLDER["candidates"]["rh"][0][0])), by_key.get(column_key(RH_ICE[0]))
    if water and ice:
        on_water, on_ice = np.isfinite(numbers(water, [])), np.isfinite(numbers(ice, []))
        if (on_ice >= on_water).all() and (on_ice > on_water).any():
            layout = dict(OLDER, candidates=dict(OLDER["candidates"], rh=[RH_ICE]))
            note = (f"rh: {ice} (with respect to ice below 0 °C) taken for {water}, which lacks "
                    f"{int((on_ice > on_water).sum())} hour(s) it has")
    units = {name: match.group(1) for name in table.columns if (match := re.search(r"\(([^()]*)\)$", name))}
    station = _through(path, layout, mapping_path, table.columns, stamps.to_numpy(), numbers,
                       file_units=units if mapping_path else None, lines=lines, raw=raw, what=" ".join(OLDER["time"]))
    if note and station.chosen.get("rh") == ice:
        station.notes.append(note)
    return station
