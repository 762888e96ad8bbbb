"""The older PROMICE hourly text layout (``Year MonthOfYear DayOfMonth HourOfDayUTC ...``)."""

import numpy as np
import pandas as pd

from pumak.stations.common import column_key, station_of, text_numbers, text_rows

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


def recognised(names):
    """True for a header line of the older layout."""
    return {column_key(name) for name in OLDER["time"]} <= names


def read_older(path):
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
        positive west in the file and east in the `Station`.
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
    return station_of(path, OLDER, stamps.to_numpy(), table.columns,
                      lambda name: text_numbers(path, table, lines, name, [OLDER["missing"]]),
                      lines=lines, raw=raw, what=" ".join(OLDER["time"]))
