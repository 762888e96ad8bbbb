"""A station's gaps and missing quantities filled from a reanalysis corrected to the station.

    hourly = fill_from(station_hourly, to_model_units(read_reanalysis(files)))

For each quantity both hold, the reanalysis is mapped linearly onto the
station over the hours both have, y = a + b x by least squares (the incoming
shortwave through the origin, y = b x, so that night stays dark); by UTC
hour of day when every hour of the day has at least `HOUR_OF_DAY_PAIRS`
pairs, else one mapping for all hours. Each hour the station lacks takes
the corrected value; a quantity the station lacks altogether takes the
reanalysis as it is (no overlap to correct it with). Every filled hour is
recorded in ``details["filled_from"]``.
"""

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.common import DESCRIPTION, OPTIONAL, QUANTITIES, missing_quantities
from pumak.stations.era5 import DEFAULT_MAX_DISTANCE_KM, distance_km
from pumak.stations.estimate import utc_runs

#: Hours both must hold of a quantity before the reanalysis can be corrected to the station.
MIN_OVERLAP_HOURS = 168
#: Pairs every UTC hour of the day needs for a mapping by hour of day.
HOUR_OF_DAY_PAIRS = 20
FILLED = ("ta_obs", "wind", "rh", "sr", "lw_down", "lw_up", "pressure")
BOUNDS = {"wind": (0.0, None), "rh": (0.0, 1.0), "sr": (0.0, None), "lw_down": (0.0, None), "lw_up": (0.0, None)}


def _fit(x, y, through_origin):
    if through_origin:
        total = float(np.sum(x * x))
        return 0.0, (float(np.sum(x * y)) / total if total > 0 else 1.0)
    if np.ptp(x) == 0:
        return float(np.mean(y - x)), 1.0
    b, a = np.polyfit(x, y, 1)
    return float(a), float(b)


def correction(x, y, hours, through_origin=False):
    """The mapping y = a + b x of the reanalysis `x` to the station `y` over their common hours.

    Parameters
    ----------
    x, y : numpy.ndarray
        Reanalysis and station values of the same hours, same unit; only
        hours where both are finite are used.
    hours : numpy.ndarray of int
        Each value's UTC hour of day (0..23).
    through_origin : bool
        Fit y = b x.

    Returns
    -------
    a, b : numpy.ndarray, shape (24,)
        The coefficients for each hour of day (the same in all when fitted as one).
    by_hour : bool
    pairs : int
    """
    both = np.isfinite(x) & np.isfinite(y)
    per_hour = np.bincount(hours[both], minlength=24)
    by_hour = bool((per_hour >= HOUR_OF_DAY_PAIRS).all())
    a, b = np.zeros(24), np.ones(24)
    if by_hour:
        for h in range(24):
            k = both & (hours == h)
            a[h], b[h] = _fit(x[k], y[k], through_origin)
    else:
        a[:], b[:] = _fit(x[both], y[both], through_origin)
    return a, b, by_hour, int(both.sum())


def check_distance(station, reanalysis, max_km=DEFAULT_MAX_DISTANCE_KM):
    """km from the station to the reanalysis grid point, refused beyond `max_km`; None when a position is unknown."""
    if None in (station.latitude, station.longitude, reanalysis.latitude, reanalysis.longitude):
        return None
    km = distance_km(station.latitude, station.longitude, reanalysis.latitude, reanalysis.longitude)
    if km > max_km:
        raise SourceError(f"{reanalysis.details.get('files', [reanalysis.source])[0]}: grid point "
                          f"{reanalysis.latitude:.3f} N {reanalysis.longitude:.3f} E is {km:.0f} km from the station "
                          f"({station.latitude:.3f} N {station.longitude:.3f} E); at most {max_km:g} km "
                          f"(--max-distance)")
    return km


def fill_from(station, reanalysis, max_distance_km=DEFAULT_MAX_DISTANCE_KM, min_overlap_hours=MIN_OVERLAP_HOURS):
    """The station's missing hours filled with the reanalysis corrected to it.

    Parameters
    ----------
    station : Station
        Hourly values in the model's units, indexed by each hour's end in UTC.
    reanalysis : Station
        The same from `read_reanalysis` and `to_model_units`.
    max_distance_km : float
        The farthest grid point accepted, km.
    min_overlap_hours : int
        Hours both must hold of a quantity the station measures.

    Returns
    -------
    Station
        Every hour from the station's first to its last; ``details
        ["filled_from"]`` names the files, the distance, and per quantity the
        mapping, its overlap and the filled hours (count and UTC runs).

    Raises
    ------
    SourceError
        A grid point too far away; an overlap too short to correct (naming
        its length and the minimum); no common hour at all.
    """
    km = check_distance(station, reanalysis, max_distance_km)
    index = pd.date_range(station.data.index[0], station.data.index[-1], freq="h")
    data = station.data.reindex(index)
    other = reanalysis.data.reindex(index)
    if not other.notna().any().any():
        raise SourceError(f"{reanalysis.source}: no hour from {index[0]} to {index[-1]} UTC, the station's record")
    hours = index.hour.to_numpy()
    out = station.replace(data=data)
    record = {"files": reanalysis.details.get("files", [reanalysis.source]),
              "product": reanalysis.details.get("product"), "quantities": {}}
    if km is not None:
        record["distance_km"] = round(km, 2)
    for quantity in FILLED:
        if quantity not in reanalysis.chosen:
            continue
        x = other[quantity].to_numpy(dtype=float)
        y = data[quantity].to_numpy(dtype=float)
        missing = ~np.isfinite(y) & np.isfinite(x)
        if not missing.any():
            continue
        entry = {"variable": reanalysis.chosen[quantity]}
        if np.isfinite(y).any():
            a, b, by_hour, pairs = correction(x, y, hours, through_origin=quantity == "sr")
            if pairs < min_overlap_hours:
                raise SourceError(f"{reanalysis.details.get('files', [reanalysis.source])[0]}: "
                                  f"{reanalysis.chosen[quantity]}: overlaps the station's {DESCRIPTION[quantity]} in "
                                  f"{pairs} h; correcting it needs at least {min_overlap_hours} h")
            corrected = a[hours] + b[hours] * x
            entry.update(rule=("y = b x" if quantity == "sr" else "y = a + b x") + " by least squares over the "
                         "common hours" + (", by UTC hour of day" if by_hour else ""), overlap_hours=pairs)
            if not by_hour:
                entry.update(a=round(float(a[0]), 6), b=round(float(b[0]), 6))
        else:
            corrected = x
            entry["rule"] = "taken as it is: the station has none to correct it with"
            out.chosen[quantity] = f"reanalysis {reanalysis.chosen[quantity]}"
        low, high = BOUNDS.get(quantity, (None, None))
        corrected = np.clip(corrected, low, high) if low is not None or high is not None else corrected
        values = np.where(missing, corrected, y)
        data[quantity] = values
        entry.update(hours=int(missing.sum()), utc=utc_runs(index, missing))
        record["quantities"][quantity] = entry
    out.details["filled_from"] = record
    return out


def require(station, asked=()):
    """The quantities the model needs that the station still lacks, refused in one line naming them all."""
    lacking = [q for q in QUANTITIES if q not in OPTIONAL and not station.data[q].notna().any()]
    if lacking:
        said = f" after --estimate {','.join(asked)}" if asked else ""
        raise SourceError(missing_quantities(station.source, dict.fromkeys(lacking, ""),
                                             f"the record holds no value of {{them}}{said}"))


__all__ = ["fill_from", "correction", "check_distance", "require", "MIN_OVERLAP_HOURS", "HOUR_OF_DAY_PAIRS"]
