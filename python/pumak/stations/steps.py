"""The steps from a station's record as read to hourly values in the model's units.

``to_utc`` -> ``aggregate`` -> ``to_model_units``: each takes a `Station`
and returns a new one.
"""

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.common import KIND, MODEL_UNIT, QUANTITIES, convert_unit

#: Share of its records an hour needs to be kept (``--min-coverage``).
DEFAULT_MIN_COVERAGE = 2 / 3
_HOUR = pd.Timedelta(hours=1)


def to_utc(station):
    """The record's stamps moved from its clock to UTC.

    Parameters
    ----------
    station : Station
        Stamps on `station.clock`, `zone_offset_hours` ahead of UTC (h).

    Returns
    -------
    Station
        Stamps in UTC (clock "UTC"); unchanged when already UTC or when the
        clock is local solar time (`zone_offset_hours` None), which
        `prepare` then takes as is.
    """
    offset = station.zone_offset_hours
    if not offset:
        return station.replace()
    data = station.data.copy()
    data.index = data.index - pd.Timedelta(hours=offset)
    moved = station.replace(data=data, zone_offset_hours=0.0)
    moved.conversions.append(f"time: {station.clock.split(' (')[0]} to UTC ({-offset:+g} h)")
    return moved


def aggregate(station, min_coverage=DEFAULT_MIN_COVERAGE):
    """Sub-hourly records as hourly values; hourly records unchanged.

    Each hour takes the mean of its records, the surface distance their
    median, a total (``aggregation`` "sum") their sum. Which hour a record
    belongs to follows its label: a stamp marking the end of its interval
    belongs to the hour that ends at or after it, one marking the start to
    the hour that starts at or before it. A quantity of an hour with fewer
    valid records than `min_coverage` of the hour's is missing (NaN), and the
    gap rules of `prepare` apply to it. Hours at the two ends that the record
    covers only in part are dropped.

    Parameters
    ----------
    station : Station
        Records of `station.step_seconds` (60 to 3600 s), any units.
    min_coverage : float
        Share of an hour's records (0 < share <= 1) needed for its value.

    Returns
    -------
    Station
        One row per hour, indexed by the hour's end (label "end"), in the same
        units; ``details["aggregation"]`` says the step, records per hour, the
        hours under the threshold and each quantity's rule.
    """
    if not 0.0 < min_coverage <= 1.0:
        raise SourceError(f"--min-coverage {min_coverage}: expected a share above 0 and at most 1")
    step = station.step_seconds
    if step == 3600:
        return station.replace()
    per_hour = 3600 // step
    data = station.data
    stamps = data.index
    closed = "right" if station.label == "end" else "left"
    hours = data.resample(_HOUR, closed=closed, label="right")
    counts = hours.count()
    rules = {q: station.aggregation.get(q, "mean") for q in QUANTITIES}
    values = pd.DataFrame({q: getattr(hours[q], rules[q])() for q in QUANTITIES})
    if any(rule == "sum" for rule in rules.values()):
        # a sum of no record is no value, not zero
        values = values.where(counts > 0)
    # An hour's slots: stamps end - 1 h + step .. end (label end) or end - 1 h .. end - step (start).
    first_slot = values.index - _HOUR + (pd.Timedelta(seconds=step) if closed == "right" else pd.Timedelta(0))
    last_slot = first_slot + pd.Timedelta(seconds=step * (per_hour - 1))
    edge = np.asarray((first_slot < stamps[0]) | (last_slot > stamps[-1]))
    needed = min_coverage * per_hour - 1e-9
    under = pd.DataFrame((counts.to_numpy() < needed) & ~edge.reshape(-1, 1) & data.notna().any().to_numpy(),
                         index=values.index, columns=values.columns)[~edge]
    values = values.where(counts >= needed)[~edge]
    if values.empty:
        raise SourceError(f"{station.source}: no whole hour of records: the {len(data)} record(s) from {stamps[0]} to "
                          f"{stamps[-1]} cover parts of hours only")
    hourly = station.replace(data=values.astype(float), lines=None, label="end", step_seconds=3600)
    hourly.details["aggregation"] = {
        "record_step_minutes": step / 60, "records_per_hour": per_hour,
        "min_coverage": round(min_coverage, 6),
        "hours_under_threshold": {q: int(n) for q, n in under.sum().items() if n},
        "hours_with_a_quantity_under_threshold": int(under.any(axis=1).sum()),
        "edge_hours_dropped": int(edge.sum()),
        "hours": int(len(values)),
        "rules": {station.chosen[q]: f"{rules[q]} of the hour's records" for q in QUANTITIES if q in station.chosen},
        "stamps": f"the {station.label} of each record's interval; an hour is labelled by its end",
    }
    return hourly


def to_model_units(station):
    """The record's values in the model's units.

    Parameters
    ----------
    station : Station
        Values in `station.units`.

    Returns
    -------
    Station
        Air temperature in °C, wind in m s-1, humidity as a fraction,
        radiation in W m-2, pressure in hPa, the surface as a distance in m
        (a surface height's sign reversed); each conversion recorded.
    """
    data = station.data.copy()
    converted = station.replace(data=data, height=False)
    for quantity in QUANTITIES:
        name = station.chosen.get(quantity)
        if name is None:
            continue
        values, conversion = convert_unit(data[quantity].to_numpy(dtype=float), quantity, station.units[quantity],
                                          name)
        if conversion:
            converted.conversions.append(conversion)
        if quantity == "distance" and station.height:
            values = -values
            converted.conversions.append(f"{name}: surface height, sign reversed to a distance to the surface")
        data[quantity] = values
        converted.units[quantity] = MODEL_UNIT[KIND[quantity]]
    return converted


__all__ = ["to_utc", "aggregate", "to_model_units", "DEFAULT_MIN_COVERAGE"]
