"""What every results file says about itself: its global attributes, its station and its time axis.

One builder for every NetCDF file and record the package writes (a single
run, an ensemble, its shards and their merge, a calibration): the
conventions, ACDD's discovery attributes, where the forcing came from (a
site's ``provenance.json``), the site and the inputs a run can be repeated
from (``inputs``, JSON; `pumak.verify` checks it), and the time axis.

Time: the model's hour h of a day is the instant h:00 local solar time, so
a row is labelled with the end of its hour. Where the site's offset from UTC
is known (``provenance.json``'s ``time.utc_offset_hours`` or an argument),
``time`` is in UTC and ``local_solar_time`` is an auxiliary coordinate;
otherwise ``time`` is local solar time and the attribute ``time_reference``
says that the offset is unknown.
"""

import datetime
import hashlib
import json
import math
import os
from collections.abc import Mapping

import numpy as np

from pumak import _core
from pumak.errors import InputError

_COLUMNS = {c["name"]: c for c in _core.result_columns()}
_ITEMS = {item["name"]: item for item in _core.parameter_items()}

#: The conventions a results file declares.
CONVENTIONS = "CF-1.11 ACDD-1.3"
#: Units of a column whose value is the mean over the model hour.
MEAN_UNITS = frozenset({"W m-2"})
#: Search words of every results file (ACDD ``keywords``).
KEYWORDS = ("cryoconite hole", "glacier", "ice surface", "surface energy balance", "melt",
            "shortwave radiation", "point model")
#: The largest offset of local solar time from UTC the time axis accepts, in hours.
MAX_UTC_OFFSET_HOURS = 24.0
#: How the time variables are stored: float64 hours since the epoch, standard calendar.
TIME_ENCODING = {"units": "hours since 1970-01-01 00:00:00", "calendar": "standard", "dtype": "float64",
                 "_FillValue": None}
#: The variables of the time axis (stored as `TIME_ENCODING` says).
TIME_VARIABLES = ("time", "time_bnds", "local_solar_time")
#: What ``time_reference`` says where the offset from UTC is unknown.
LOCAL_ONLY = "local solar time: the site's offset from UTC is unknown"


def cell_method(column):
    """The CF ``cell_methods`` of a results column.

    Parameters
    ----------
    column : str
        A results column name (`pumak.results.RESULT_COLUMNS`).

    Returns
    -------
    str
        ``"time: mean"`` for a flux (unit W m-2: the mean over the model
        hour), ``"time: point"`` for everything else (a state at the end of
        the hour, or the hour's label).
    """
    return "time: mean" if _COLUMNS[column]["unit"] in MEAN_UNITS else "time: point"


def column_attributes(name, auxiliary):
    """``units``, ``long_name``, ``cell_methods``, ``standard_name`` and ``coordinates`` of a results column.

    Parameters
    ----------
    name : str
        A column name; one the model does not know gets no attributes.
    auxiliary : sequence of str
        The auxiliary coordinates (`coordinates`).

    Returns
    -------
    dict
    """
    column = _COLUMNS.get(name)
    if column is None:
        return {}
    attrs = {"units": column["unit"], "long_name": column["long_name"], "cell_methods": cell_method(name),
             "coordinates": " ".join(auxiliary)}
    if column["standard_name"]:
        attrs["standard_name"] = column["standard_name"]
    return attrs


def utc_offset(value, provenance):
    """The site's offset from UTC checked: local solar time minus UTC in hours, or None where unknown.

    Parameters
    ----------
    value : float, optional
        Hours, -24 to 24; None takes the provenance's ``time.utc_offset_hours``.
    provenance : dict, optional
        A site's provenance.json.

    Raises
    ------
    InputError
        Not a finite number of hours within a day; `.item` is ``"utc_offset"``.
    """
    source = "utc_offset"
    if value is None and isinstance(provenance, Mapping):
        time = provenance.get("time")
        value = time.get("utc_offset_hours") if isinstance(time, Mapping) else None
        source = "provenance: time.utc_offset_hours"
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InputError(f"{source}: expected hours as a number, found {value!r}", item="utc_offset")
    value = float(value)
    if not math.isfinite(value) or abs(value) > MAX_UTC_OFFSET_HOURS:
        raise InputError(f"{source}: {value!r} h: expected finite hours from -{MAX_UTC_OFFSET_HOURS:g} to "
                         f"{MAX_UTC_OFFSET_HOURS:g} (local solar time minus UTC)", item="utc_offset")
    return value


def _real(value):
    """A position as a number, or None where it is none."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        return None
    return value if math.isfinite(value) else None


def station(parameters, provenance):
    """The station's coordinates: name, latitude (degrees north) and longitude (degrees east), None where unknown.

    Returns
    -------
    tuple
        ``(coords, auxiliary, name, latitude, longitude)``: the scalar
        coordinates ``station``, ``lat``, ``lon`` for an xarray.Dataset and
        their names.
    """
    site = provenance.get("site") if isinstance(provenance, Mapping) else None
    site = site if isinstance(site, Mapping) else {}
    name = site.get("name") or os.path.splitext(os.path.basename(str(parameters.get("met_file", ""))))[0]
    name = str(name or "pumak site")
    latitude = _real(parameters.get("latitude", site.get("latitude")))
    longitude = _real(site.get("longitude"))
    coords = {"station": ((), name, {"cf_role": "timeseries_id", "long_name": "station name",
                                     "comment": "the site's name, or its met file's name without suffix"})}
    if latitude is not None:
        coords["lat"] = ((), np.float32(latitude), {"standard_name": "latitude", "units": "degrees_north",
                                                     "long_name": "station latitude"})
    if longitude is not None:
        coords["lon"] = ((), np.float32(longitude), {"standard_name": "longitude", "units": "degrees_east",
                                                      "long_name": "station longitude"})
    return coords, list(coords), name, latitude, longitude


#: The first and last year of a time coordinate (the instants datetime64[ns] holds whole years of).
YEARS = (1678, 2261)


def calendar_problem(year, hours):
    """Why the first `hours` rows of met column 1 (`year`) give no time axis, or None.

    Returns
    -------
    str
        ``year Y in record K is outside the years a time axis holds (...)``
        for a year a datetime64[ns] axis cannot hold, else "the met series
        carries no valid calendar".
    """
    year = np.asarray(year)[:hours]
    beyond = np.flatnonzero((year < YEARS[0]) | (year > YEARS[1]))
    if beyond.size:
        k = int(beyond[0])
        return (f"year {int(year[k])} in record {k + 1} is outside the years a time axis holds "
                f"({YEARS[0]} to {YEARS[1]})")
    return "the met series carries no valid calendar"


def hour_ends(year, month, day, hour):
    """The end of each model hour in local solar time (datetime64), or None without a valid calendar.

    Parameters
    ----------
    year, month, day, hour : array_like of int, shape (hours,)
        The calendar of each row (hour 1 to 24; 24 is midnight at the end of
        the day).
    """
    import pandas as pd

    if len(hour) == 0 or not (len(year) >= len(hour) and len(month) == len(day) == len(hour)):
        return None
    dates = pd.to_datetime(pd.DataFrame({"year": np.asarray(year)[: len(hour)], "month": np.asarray(month),
                                         "day": np.asarray(day)}), errors="coerce")
    if dates.isna().any():
        return None
    return (dates + pd.to_timedelta(np.asarray(hour).astype(np.int64), unit="h")).to_numpy()


def time_axis(local, offset):
    """The time coordinates and bounds of hours ending at `local` (local solar time).

    Parameters
    ----------
    local : numpy.ndarray of datetime64, shape (hours,)
        `hour_ends`.
    offset : float or None
        Local solar time minus UTC, in hours; None where unknown.

    Returns
    -------
    tuple of dict
        ``(coords, data_vars)`` for an xarray.Dataset: ``time`` (UTC, or
        local solar time where the offset is unknown), ``local_solar_time``
        (with an offset) and ``time_bnds``. Store them with `encode_time`.
    """
    clock = "UTC" if offset is not None else "local solar time (offset from UTC unknown)"
    times = local if offset is None else local - np.timedelta64(int(round(offset * 3600)), "s")
    coords = {"time": ("time", times, {
        "standard_name": "time", "long_name": f"end of the model hour, {clock}", "axis": "T",
        "bounds": "time_bnds",
        "comment": "the model's hour h of a day is the instant h:00 local solar time; "
                   "hour 24 is midnight at the end of the day"})}
    if offset is not None:
        coords["local_solar_time"] = ("time", local, {
            "long_name": "end of the model hour, local solar time",
            "comment": f"time plus the site's offset from UTC ({offset:g} h)"})
    bounds = np.stack([times - np.timedelta64(1, "h"), times], axis=1)
    return coords, {"time_bnds": (("time", "nv"), bounds, {"long_name": "start and end of the model hour"})}


def encode_time(dataset):
    """Sets how the time variables of `dataset` are stored (`TIME_ENCODING`); returns `dataset`."""
    for name in TIME_VARIABLES:
        if name in dataset.variables:
            dataset[name].encoding.update(TIME_ENCODING)
    return dataset


def _iso(instant, utc):
    import pandas as pd

    text = pd.Timestamp(instant).strftime("%Y-%m-%dT%H:%M:%S")
    return text + "Z" if utc else text


def _json_value(value):
    """A parameter as JSON holds it: numbers as numbers (non-finite reals as text), anything else as text."""
    if isinstance(value, (np.integer, int)) and not isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, (np.floating, float)):
        return float(value) if math.isfinite(value) else str(float(value))
    return str(value)


def inputs_record(program, parameters, forcing, hours, run_dir=None):
    """What a run can be repeated from, as the attribute ``inputs`` holds it.

    Parameters
    ----------
    program : str
        The program's full name.
    parameters : dict
        The items every row or member shares, as the model holds them.
    forcing : str or None
        `pumak.cf.forcing_digest` of the hours run.
    hours : int
        The hours run.
    run_dir : str, optional
        The site's run directory (kept absolute), where the met series is read again.

    Returns
    -------
    dict
        ``program``, ``model_version``, ``parameters``, ``forcing_sha256``,
        ``hours`` and ``site``.
    """
    return {"program": program, "model_version": _core.version,
            "parameters": {name: _json_value(value) for name, value in parameters.items()},
            "forcing_sha256": forcing, "hours": int(hours),
            "site": None if run_dir is None else os.path.abspath(os.fspath(run_dir))}


def _provenance_attributes(provenance):
    """source_* attributes and a history line from a site's provenance.json (a dict)."""
    attrs, history = {}, []
    source = provenance.get("source")
    if isinstance(source, Mapping):
        for key in ("file", "sha256", "layout"):
            if source.get(key) is not None:
                attrs[f"source_{key}"] = str(source[key])
        mapping = source.get("mapping")
        if isinstance(mapping, Mapping):
            for key in ("file", "sha256"):
                if mapping.get(key) is not None:
                    attrs[f"source_mapping_{key}"] = str(mapping[key])
        if "source_file" in attrs:
            history.append(f"site made by pumak prepare from {attrs['source_file']}"
                           + (f" (sha256 {attrs['source_sha256']})" if "source_sha256" in attrs else ""))
    attrs["provenance"] = json.dumps(provenance, ensure_ascii=False, sort_keys=True, default=str)
    return attrs, history


def parameter_attribute(value):
    """A parameter as a netCDF attribute of its own type: texts, int32, float32 to the bit."""
    if isinstance(value, str):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return np.int32(value)
    return np.float32(value)


def global_attributes(*, program, parameters, provenance, hours, station_name, latitude, longitude,
                      times, offset, forcing, writer, run_dir=None, ensemble=False):
    """The global attributes of a results file.

    Parameters
    ----------
    program : str or None
        The program whose model ran.
    parameters : dict
        The items shared by every row or member (``parameter_<item>``
        attributes, with ``parameter_<item>_units``).
    provenance : dict or None
        The site's provenance.json.
    hours : int
        The hours run.
    station_name : str
    latitude, longitude : float or None
        Degrees north and east.
    times : numpy.ndarray of datetime64 or None
        The ``time`` coordinate (`time_axis`).
    offset : float or None
        Local solar time minus UTC, in hours.
    forcing : str or None
        The forcing digest of the hours run.
    writer : str
        The function that built the dataset, for ``history``.
    run_dir : str, optional
        The site's run directory.
    ensemble : bool
        An ensemble's title and summary.

    Returns
    -------
    dict
    """
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    attrs, history = _provenance_attributes(provenance) if provenance is not None else ({}, [])
    history.append(f"{now} {f'{program} ' if program else ''}run by pumak {_core.version}; written by {writer}")
    source = f"pumak {_core.version}" + (f" {program}" if program else "")
    if "source_file" in attrs:
        source += f", forced by the station record {os.path.basename(attrs['source_file'])}"
        if "source_layout" in attrs:
            source += f" ({attrs['source_layout']} layout)"
    identity = hashlib.sha256(json.dumps(
        [program, _core.version, {k: str(v) for k, v in parameters.items()}, forcing, station_name],
        sort_keys=True).encode()).hexdigest()[:16]
    where = f" at {station_name}" + (f" ({float(latitude):.4f} degrees north)" if latitude is not None else "")
    what = "ensemble" if ensemble else "results"
    attrs.update({
        "Conventions": CONVENTIONS,
        "featureType": "timeSeries",
        "title": f"pumak cryoconite hole model {what}{where}",
        "summary": (f"Hourly energy balance of a bare ice surface and of the floor of a cryoconite hole{where}, "
                    f"the hole's depth and the surface lowering, computed by the point model pumak "
                    f"{_core.version}" + (f" ({program})" if program else "")
                    + (" for many parameter sets" if ensemble else "") + f" over {hours} hour(s) "
                    "from a station's meteorological record; fluxes are positive toward the surface."),
        "keywords": ", ".join(KEYWORDS),
        "id": f"pumak_{station_name}_{program or 'run'}_{identity}".replace(" ", "_"),
        "history": "\n".join(history),
        "source": source,
        "date_created": now,
        "product_version": _core.version,
        "processing_level": "model output",
        "standard_name_vocabulary": "CF Standard Name Table",
        "model_version": _core.version,
        "time_reference": "UTC" if offset is not None else LOCAL_ONLY,
    })
    if program:
        attrs["program"] = program
    if latitude is not None:
        attrs.update(geospatial_lat_min=np.float32(latitude), geospatial_lat_max=np.float32(latitude),
                     geospatial_lat_units="degrees_north")
    if longitude is not None:
        attrs.update(geospatial_lon_min=np.float32(longitude), geospatial_lon_max=np.float32(longitude),
                     geospatial_lon_units="degrees_east")
    if times is not None:
        attrs.update(time_coverage_start=_iso(times[0] - np.timedelta64(1, "h"), offset is not None),
                     time_coverage_end=_iso(times[-1], offset is not None),
                     time_coverage_duration=f"PT{hours}H", time_coverage_resolution="PT1H")
    else:
        attrs["comment"] = "no time coordinate: the rows are the run's hours in order"
    if forcing is not None:
        attrs["forcing_sha256"] = forcing
    if offset is not None:
        attrs["utc_offset_hours"] = np.float32(offset)
    for name, value in parameters.items():
        attrs[f"parameter_{name}"] = parameter_attribute(value)
        unit = _ITEMS.get(name, {}).get("unit")
        if unit:
            attrs[f"parameter_{name}_units"] = unit
    if program:
        attrs["inputs"] = json.dumps(inputs_record(program, parameters, forcing, hours, run_dir), sort_keys=True)
    return attrs
