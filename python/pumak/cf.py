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

import errno
import os
import resource
import threading
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core, attributes, outputs
from pumak.attributes import (CONVENTIONS, KEYWORDS, MAX_UTC_OFFSET_HOURS, MEAN_UNITS, YEARS,  # noqa: F401
                              cell_method)
from pumak.errors import InputError
from pumak.verify import forcing_digest  # defined with the other digests; pumak.cf.forcing_digest as before


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


def to_xarray(results, parameters=None, met=None, utc_offset=None, program=None, provenance=None, run_dir=None):
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
        axis is in UTC (``local_solar_time`` an auxiliary coordinate),
        otherwise in local solar time (``time_reference`` says so). Default: the
        provenance's ``time.utc_offset_hours`` when there is one.
    program : str, optional
        The program whose run these are; default: ``results.attrs["program"]``.
    provenance : dict, optional
        The site's provenance (`pumak.Site.provenance`): its station file,
        layout and sha256 go to ``source``, ``history`` and ``source_*``;
        the whole record to ``provenance`` (JSON text); the site's name and,
        when known, longitude (degrees east) to ``station`` and ``lon``.
    run_dir : str, optional
        The site's run directory, recorded (absolute) in ``inputs`` so that
        ``pumak verify`` can run the model again.

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
        ``time_coverage_start/end`` with a calendar; ``forcing_sha256``
        (`forcing_digest` of the hours run) with `met`; ``inputs`` (JSON:
        program, model version, parameters, forcing digest, hours, site)
        with a program. Write it with `write_netcdf`, which adds the
        digests (`pumak.verify`).

    Raises
    ------
    InputError
        An argument of the wrong type or shape, or `utc_offset` not a finite
        number of hours within a day; `.item` names the argument.
    """
    import xarray as xr

    program = _checked(results, parameters, met, program, provenance) or results.attrs.get("program")
    offset = attributes.utc_offset(utc_offset, provenance)
    parameters = dict(parameters or {})
    coords, auxiliary, station, latitude, longitude = attributes.station(parameters, provenance)

    times = None
    if met is not None and all(name in results.columns for name in ("month", "day", "hour")):
        local = attributes.hour_ends(np.asarray(met["column_1"]), results["month"].to_numpy(),
                                     results["day"].to_numpy(), results["hour"].to_numpy())
        if local is not None:
            time_coords, bounds = attributes.time_axis(local, offset)
            coords.update(time_coords)
            times = time_coords["time"][1]
            if offset is not None:
                auxiliary.append("local_solar_time")
    data_vars = {name: ("time", results[name].to_numpy(), attributes.column_attributes(name, auxiliary))
                 for name in results.columns}
    if times is not None:
        data_vars.update(bounds)

    hours = len(results)
    digest = forcing_digest(met, hours) if met is not None else None
    attrs = attributes.global_attributes(
        program=program, parameters=parameters, provenance=provenance, hours=hours, station_name=station,
        latitude=latitude, longitude=longitude, times=times, offset=offset, forcing=digest,
        writer="pumak.to_xarray", run_dir=run_dir)
    if times is None and met is not None:
        attrs["comment"] += "; " + attributes.calendar_problem(met["column_1"], hours)
    return attributes.encode_time(xr.Dataset(data_vars, coords=coords, attrs=attrs))


#: Bytes of a NetCDF-4 file per variable beyond its data (its HDF5 headers and attributes), measured
#: generously: a results dataset of 37 variables takes about 1.8 KiB each.
NETCDF_BYTES_PER_VARIABLE = 2048


#: Bytes the digest attribute ``sha256`` adds to each numeric variable's headers (`pumak.verify.sealed`).
NETCDF_DIGEST_BYTES = 768


def _estimated_bytes(dataset):
    """The NetCDF file's size, in bytes, a little above what it turns out to be: data, headers, attributes
    and the digests `write_netcdf` adds."""
    attributes = sum(len(str(k)) + len(str(v)) for k, v in dataset.attrs.items())
    sealed = sum(1 for variable in dataset.variables.values() if variable.dtype.kind in "biufM")
    return (int(dataset.nbytes) + attributes + NETCDF_BYTES_PER_VARIABLE * len(dataset.variables)
            + NETCDF_DIGEST_BYTES * sealed + 8192)


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
# The netCDF and HDF5 libraries are not safe to call from two threads at once (two writers in one process
# have been seen to hang there): every write and its read-back in this process take turns.
_LIBRARY_LOCK = threading.RLock()


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

    Every variable gets the attribute ``sha256`` of its values and the file
    ``attributes_sha256`` of its global attributes (`pumak.verify.sealed`).
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
    from pumak import verify
    dataset = verify.sealed(dataset)
    expected = {name: tuple(variable.shape) for name, variable in dataset.variables.items()}

    def write(unfinished):
        global _library_failed
        _room_for(unfinished, _estimated_bytes(dataset))
        with _LIBRARY_LOCK:
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
