"""Results as a self-describing dataset and NetCDF file: CF-1.11 and ACDD-1.3, one time series of one station.

The attributes written here are the single source of the outputs' units:
every variable takes ``units``, ``long_name`` and ``standard_name`` from the
model's column table (`pumak._core.result_columns`), and its
``cell_methods`` from the column's unit: a flux (W m-2) is the mean over the
model hour, anything else (a depth, a lowering, an angle, a transmittance,
the time labels) is the state or value at the end of the hour.

Where the forcing came from travels with the results: a site made by
``pumak prepare`` holds ``provenance.json``; `pumak.read_site` carries it and
`to_xarray` writes its station file, layout and digest into ``source``,
``history`` and ``source_*`` attributes and the whole record into the
attribute ``provenance`` (JSON text).
"""

import datetime
import errno
import hashlib
import json
import math
import os
import resource
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core, outputs
from pumak.errors import InputError

_COLUMNS = {c["name"]: c for c in _core.result_columns()}
_ITEMS = {item["name"]: item for item in _core.parameter_items()}
_MET_NAMES = tuple(c["name"] for c in _core.met_columns())

#: The conventions a results file declares.
CONVENTIONS = "CF-1.11 ACDD-1.3"
#: Units of a column whose value is the mean over the model hour.
MEAN_UNITS = frozenset({"W m-2"})
#: Search words of every results file (ACDD ``keywords``).
KEYWORDS = ("cryoconite hole", "glacier", "ice surface", "surface energy balance", "melt",
            "shortwave radiation", "point model")
#: The largest offset of local solar time from UTC the time axis accepts, in hours.
MAX_UTC_OFFSET_HOURS = 24.0
_TIME_UNITS = "hours since 1970-01-01 00:00:00"
#: The first and last year of a time coordinate (the instants datetime64[ns] holds whole years of).
YEARS = (pd.Timestamp.min.year + 1, pd.Timestamp.max.year - 1)


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


def _times(results, met, utc_offset):
    """The instant each row stands for (datetime64, shape (rows,)); None without a calendar, or why not (str).

    The model's hour h of a day is the instant h:00 local solar time (hour 12
    is solar noon), so a row is labelled with the end of its hour: hour 24 of
    a day is midnight at the start of the next day. Year from met column 1,
    month and day from the row, hour from the run's hour counter.
    """
    if met is None or len(results) == 0:
        return None
    for name in ("month", "day", "hour"):
        if name not in results.columns:
            return None
    year = np.asarray(met["column_1"])[: len(results)]
    if len(year) < len(results):
        return None
    beyond = np.flatnonzero((year < YEARS[0]) | (year > YEARS[1]))
    if beyond.size:  # a time axis of datetime64[ns] cannot hold it: the comment says which year
        k = int(beyond[0])
        return (f"year {int(year[k])} in record {k + 1} is outside the years a time axis holds "
                f"({YEARS[0]} to {YEARS[1]})")
    dates = pd.to_datetime(
        pd.DataFrame({"year": year, "month": results["month"].to_numpy(),
                      "day": results["day"].to_numpy()}),
        errors="coerce")
    if dates.isna().any():
        return None
    local = dates + pd.to_timedelta(results["hour"].to_numpy().astype(np.int64), unit="h")
    if utc_offset is not None:
        local = local - pd.to_timedelta(utc_offset, unit="h")
    return local.to_numpy()


def _attribute(value):
    """A parameter as a netCDF attribute of its own type: texts, int32, float32 to the bit."""
    if isinstance(value, str):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return np.int32(value)
    return np.float32(value)


def _offset_argument(utc_offset, provenance):
    """utc_offset checked (hours, finite, within a day); from the provenance when not given."""
    source = "utc_offset"
    if utc_offset is None and provenance is not None:
        utc_offset = (provenance.get("time") or {}).get("utc_offset_hours")
        source = "provenance: time.utc_offset_hours"
    if utc_offset is None:
        return None
    if isinstance(utc_offset, (bool, np.bool_)) or not isinstance(utc_offset, (int, float, np.integer, np.floating)):
        raise InputError(f"{source}: expected hours as a number, found {utc_offset!r}", item="utc_offset")
    value = float(utc_offset)
    if not math.isfinite(value) or abs(value) > MAX_UTC_OFFSET_HOURS:
        raise InputError(f"{source}: {value!r} h: expected finite hours from -{MAX_UTC_OFFSET_HOURS:g} to "
                         f"{MAX_UTC_OFFSET_HOURS:g} (local solar time minus UTC)", item="utc_offset")
    return value


def _checked(results, parameters, met, program, provenance):
    if not isinstance(results, pd.DataFrame):
        raise InputError(f"results: expected a pandas DataFrame (pumak.run, pumak.read_results), found "
                         f"{type(results).__name__}", item="results")
    if parameters is not None and not isinstance(parameters, Mapping):
        raise InputError(f"parameters: expected a dict of items, found {type(parameters).__name__}",
                         item="parameters")
    for name, value in (parameters or {}).items():
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (str, int, float, np.integer, np.floating)):
            raise InputError(f"parameters: {name}: expected a text or a number, found {value!r}", item=name)
    latitude = (parameters or {}).get("latitude")
    if latitude is not None and (isinstance(latitude, str) or isinstance(latitude, (bool, np.bool_))):
        raise InputError(f"parameters: latitude: expected degrees north as a number, found "
                         f"{parameters['latitude']!r}", item="latitude")
    if provenance is not None and not isinstance(provenance, Mapping):
        raise InputError(f"provenance: expected a dict (a site's provenance.json), found "
                         f"{type(provenance).__name__}", item="provenance")
    if program is not None:
        if not isinstance(program, str):
            raise InputError(f"program: expected a program's name, found {program!r}", item="program")
        try:
            program = _core.program_layout(program)["program"]
        except ValueError as error:
            raise InputError(f"program: {error}", item="program") from None
    if met is not None:
        if not isinstance(met, (pd.DataFrame, Mapping)):
            raise InputError(f"met: expected a pandas DataFrame or a dict of the met columns, found "
                             f"{type(met).__name__}", item="met")
        if "column_1" not in met:
            raise InputError("met: no column column_1 (the year of each record)", item="met")
        year = np.asarray(met["column_1"])
        if year.ndim != 1 or year.dtype.kind not in "iu":
            raise InputError(f"met: column_1: expected one dimension of integers (years), found "
                             f"{year.dtype} of shape {year.shape}", item="met")
        if len(year) < len(results):
            raise InputError(f"met: {len(year)} records for {len(results)} rows of results", item="met")
    return program


def forcing_digest(met, hours=None):
    """The sha256 of a met series as the model takes it, independent of how it was stored.

    Parameters
    ----------
    met : pandas.DataFrame or mapping
        The 14 met columns (as `pumak.read_site` gives them).
    hours : int, optional
        Digest the first `hours` records only (those a run uses).

    Returns
    -------
    str or None
        64 hexadecimal digits over the columns in file order, integer columns
        as little-endian int32 and real ones as float32; None when a column
        is missing.
    """
    digest = hashlib.sha256()
    for name in _MET_NAMES:
        if name not in met:
            return None
        values = np.asarray(met[name])[:hours]
        kind = "<i4" if values.dtype.kind in "iu" else "<f4"
        digest.update(name.encode())
        digest.update(np.ascontiguousarray(values, dtype=kind).tobytes())
    return digest.hexdigest()


def _real(value):
    """A position from the provenance as a number, or None where it is none."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        return None
    return value if math.isfinite(value) else None


def _iso(instant, utc):
    text = pd.Timestamp(instant).strftime("%Y-%m-%dT%H:%M:%S")
    return text + "Z" if utc else text


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


def to_xarray(results, parameters=None, met=None, utc_offset=None, program=None, provenance=None):
    """The results as an xarray.Dataset following CF-1.11 (featureType timeSeries) and ACDD-1.3.

    Parameters
    ----------
    results : pandas.DataFrame, shape (hours, columns)
        Results as `pumak.run` or `pumak.read_results` give them (the 34
        columns, or a subset holding ``month``, ``day`` and ``hour`` for a
        time axis). Columns the model does not know are kept without
        attributes.
    parameters : dict, optional
        The site's items (`pumak.Site.parameters`): attributes
        ``parameter_<item>`` (with ``parameter_<item>_units``), latitude
        (degrees north) as coordinate ``lat``, the met file's stem as the
        station's name.
    met : pandas.DataFrame or dict, optional
        The site's met series (at least as many records as `results` has
        rows; column 1 holds the year). With it the rows get a ``time``
        coordinate, each row labelled with the end of its hour, and
        ``time_bnds`` (start and end of the hour).
    utc_offset : float, optional
        Local solar time minus UTC, in hours (-24 to 24). With it the time
        axis is in UTC, otherwise in local solar time. Default: the
        provenance's ``time.utc_offset_hours`` when there is one.
    program : str, optional
        The program whose run these are; default: ``results.attrs["program"]``.
    provenance : dict, optional
        The site's provenance (`pumak.Site.provenance`): its station file,
        layout and sha256 go to ``source``, ``history`` and ``source_*``;
        the whole record to ``provenance`` (JSON text); the site's name and,
        when known, longitude (degrees east) to ``station`` and ``lon``.

    Returns
    -------
    xarray.Dataset
        Dimension ``time`` (hours). Every results column is a variable with
        ``units``, ``long_name``, ``cell_methods`` and ``standard_name``
        where CF has one. ``station`` (``cf_role = "timeseries_id"``),
        ``lat`` and ``lon`` are scalar coordinates. Global attributes:
        ``Conventions``, ``featureType``, ACDD's ``title``, ``summary``,
        ``keywords``, ``id``, ``history``, ``source``, ``date_created``,
        ``product_version``, ``geospatial_lat_min/max`` and
        ``geospatial_lon_min/max`` where known,
        ``time_coverage_start/end`` with a calendar (without one, or with
        a year outside `YEARS`, no ``time`` and a ``comment`` saying
        why); ``forcing_sha256``
        (`forcing_digest` of the hours run) with `met`. Write it with
        `write_netcdf`.

    Raises
    ------
    InputError
        An argument of the wrong type or shape, or `utc_offset` not a finite
        number of hours within a day; `.item` names the argument.
    """
    import xarray as xr

    program = _checked(results, parameters, met, program, provenance) or results.attrs.get("program")
    utc_offset = _offset_argument(utc_offset, provenance)
    parameters = dict(parameters or {})
    site = (provenance or {}).get("site") if isinstance((provenance or {}).get("site"), Mapping) else {}

    station = site.get("name") or os.path.splitext(os.path.basename(str(parameters.get("met_file", ""))))[0]
    station = str(station or "pumak site")
    latitude = _real(parameters.get("latitude", site.get("latitude")))  # None where unknown (or NaN)
    longitude = _real(site.get("longitude"))

    coords = {"station": ((), station, {"cf_role": "timeseries_id", "long_name": "station name",
                                        "comment": "the site's name, or its met file's name without suffix"})}
    auxiliary = ["station"]
    if latitude is not None:
        coords["lat"] = ((), np.float32(latitude), {"standard_name": "latitude", "units": "degrees_north",
                                                     "long_name": "station latitude"})
        auxiliary.append("lat")
    if longitude is not None:
        coords["lon"] = ((), np.float32(longitude), {"standard_name": "longitude", "units": "degrees_east",
                                                      "long_name": "station longitude"})
        auxiliary.append("lon")

    data_vars = {}
    for name in results.columns:
        column = _COLUMNS.get(name)
        attrs = {}
        if column is not None:
            attrs = {"units": column["unit"], "long_name": column["long_name"], "cell_methods": cell_method(name),
                     "coordinates": " ".join(auxiliary)}
            if column["standard_name"]:
                attrs["standard_name"] = column["standard_name"]
        data_vars[name] = ("time", results[name].to_numpy(), attrs)

    times = _times(results, met, utc_offset)
    why = times if isinstance(times, str) else "the met series carries no valid calendar"
    times = None if isinstance(times, str) else times
    clock = "UTC" if utc_offset is not None else "local solar time"
    if times is not None:
        coords["time"] = ("time", times, {
            "standard_name": "time", "long_name": f"end of the model hour, {clock}", "axis": "T",
            "bounds": "time_bnds",
            "comment": "the model's hour h of a day is the instant h:00 local solar time; "
                       "hour 24 is midnight at the end of the day"})
        bounds = np.stack([times - np.timedelta64(1, "h"), times], axis=1)
        data_vars["time_bnds"] = (("time", "nv"), bounds, {"long_name": "start and end of the model hour"})

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    history = []
    attrs = {}
    if provenance is not None:
        attrs, history = _provenance_attributes(provenance)
    program_text = f"{program} " if program else ""
    history.append(f"{now} {program_text}run by pumak {_core.version}; written by pumak.to_xarray")
    source = f"pumak {_core.version}" + (f" {program}" if program else "")
    if "source_file" in attrs:
        source += f", forced by the station record {os.path.basename(attrs['source_file'])}"
        if "source_layout" in attrs:
            source += f" ({attrs['source_layout']} layout)"
    hours = len(results)
    digest = forcing_digest(met, hours) if met is not None else None

    identity = hashlib.sha256(json.dumps(
        [program, _core.version, {k: str(v) for k, v in parameters.items()}, digest, station],
        sort_keys=True).encode()).hexdigest()[:16]
    where = f" at {station}" + (f" ({float(latitude):.4f} degrees north)" if latitude is not None else "")
    attrs.update({
        "Conventions": CONVENTIONS,
        "featureType": "timeSeries",
        "title": f"pumak cryoconite hole model results{where}",
        "summary": (f"Hourly energy balance of a bare ice surface and of the floor of a cryoconite hole{where}, "
                    f"the hole's depth and the surface lowering, computed by the point model pumak "
                    f"{_core.version}" + (f" ({program})" if program else "") + f" over {hours} hour(s) "
                    "from a station's meteorological record; fluxes are positive toward the surface."),
        "keywords": ", ".join(KEYWORDS),
        "id": f"pumak_{station}_{program or 'run'}_{identity}".replace(" ", "_"),
        "history": "\n".join(history),
        "source": source,
        "date_created": now,
        "product_version": _core.version,
        "processing_level": "model output",
        "standard_name_vocabulary": "CF Standard Name Table",
        "model_version": _core.version,
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
        attrs.update(time_coverage_start=_iso(times[0] - np.timedelta64(1, "h"), utc_offset is not None),
                     time_coverage_end=_iso(times[-1], utc_offset is not None),
                     time_coverage_duration=f"PT{hours}H", time_coverage_resolution="PT1H")
    else:
        attrs["comment"] = ("no time coordinate: the rows are the run's hours in order"
                            + ("" if met is None else f"; {why}"))
    if digest is not None:
        attrs["forcing_sha256"] = digest
    if utc_offset is not None:
        attrs["utc_offset_hours"] = np.float32(utc_offset)
    for name, value in parameters.items():
        attrs[f"parameter_{name}"] = _attribute(value)
        unit = _ITEMS.get(name, {}).get("unit")
        if unit:
            attrs[f"parameter_{name}_units"] = unit

    dataset = xr.Dataset(data_vars, coords=coords, attrs=attrs)
    if times is not None:
        for name in ("time", "time_bnds"):
            dataset[name].encoding.update(units=_TIME_UNITS, calendar="standard", dtype="float64",
                                          _FillValue=None)
    return dataset


#: Bytes of a NetCDF-4 file per variable beyond its data (its HDF5 headers and attributes), measured
#: generously: a results dataset of 37 variables takes about 1.8 KiB each.
NETCDF_BYTES_PER_VARIABLE = 2048


def _estimated_bytes(dataset):
    """The NetCDF file's size, in bytes, a little above what it turns out to be: data, headers, attributes."""
    attributes = sum(len(str(k)) + len(str(v)) for k, v in dataset.attrs.items())
    return int(dataset.nbytes) + attributes + NETCDF_BYTES_PER_VARIABLE * len(dataset.variables) + 8192


def _room_for(path, size):
    """Refuses, before writing, a file the file-size limit or the free space cannot take."""
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if limit != resource.RLIM_INFINITY and size > limit:
        raise OSError(errno.EFBIG, f"{os.strerror(errno.EFBIG)} (the file-size limit is {limit} bytes; "
                                   f"the file needs about {size})")
    try:
        fs = os.statvfs(os.path.dirname(os.path.abspath(path)) or ".")
    except OSError:
        return
    free = fs.f_bavail * fs.f_frsize
    if size > free:
        raise OSError(errno.ENOSPC, f"{os.strerror(errno.ENOSPC)} (about {size} bytes needed, {free} free)")


# Set once the netCDF library has failed in this process: it may then crash
# the interpreter at exit, so a command ends at once after saying why.
_library_failed = False


def netcdf_library_failed():
    """Whether a write of this process failed inside the netCDF library (see `write_netcdf`)."""
    return _library_failed


def _library_refusal(path, dataset, error):
    """The system's cause of a failed write, as the OSError the netCDF library did not raise."""
    try:
        size = os.path.getsize(path)
    except OSError:
        size = 0
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if limit != resource.RLIM_INFINITY and (size + 65536 >= limit or dataset.nbytes >= limit):
        return OSError(errno.EFBIG, f"{os.strerror(errno.EFBIG)} (the file-size limit is {limit} bytes)")
    try:
        space = os.statvfs(os.path.dirname(os.path.abspath(path)) or ".")
        if space.f_bavail * space.f_frsize < max(1 << 20, dataset.nbytes // 100):
            return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    except OSError:
        pass
    said = str(error).splitlines()[0] if str(error) else type(error).__name__
    return OSError(errno.EIO, f"the netCDF library failed ({said})")


def write_netcdf(dataset, path):
    """Writes a dataset (`to_xarray`, `pumak.ensemble`) to a NetCDF file, whole or not at all.

    The file is written under an unfinished name, opened again and checked
    (its variables and their sizes) and only then renamed to `path`; a
    failure leaves the earlier file of that name unchanged. A file the
    file-size limit or the free space plainly cannot take is refused before
    anything is written.

    Parameters
    ----------
    dataset : xarray.Dataset
        The dataset.
    path : str or os.PathLike
        The NetCDF file to write (NETCDF4 format).

    Returns
    -------
    str or bytes
        `path` as given, once the file is in place.

    Raises
    ------
    InputError
        `dataset` is not an xarray.Dataset, or `path` is not a path.
    OutputError
        The system refused the file (full disk, file-size limit, no
        permission); the reason names the real cause.
    """
    import xarray as xr

    if not isinstance(dataset, xr.Dataset):
        raise InputError(f"dataset: expected an xarray.Dataset, found {type(dataset).__name__}", item="dataset")
    try:
        path = os.fspath(path)
    except TypeError:
        raise InputError(f"path: expected a file name, found {path!r}", item="path") from None
    expected = {name: tuple(variable.shape) for name, variable in dataset.variables.items()}

    def write(unfinished):
        global _library_failed
        _room_for(unfinished, _estimated_bytes(dataset))
        try:
            dataset.to_netcdf(unfinished, format="NETCDF4")
        except OSError:
            raise
        except Exception as error:  # the netCDF library's own failures
            _library_failed = True
            raise _library_refusal(unfinished, dataset, error) from None
        try:
            with xr.open_dataset(unfinished, decode_cf=False, cache=False) as back:
                found = {name: tuple(variable.shape) for name, variable in back.variables.items()}
        except Exception as error:  # the netCDF library's errors are not OSError
            raise OSError(errno.EIO, f"the file written does not read back whole ({error})") from None
        if found != expected:
            raise OSError(errno.EIO, "the file written does not read back whole (other variables or sizes)")

    outputs.write_file(path, write)
    return path
