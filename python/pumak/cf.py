"""Results as a self-describing dataset: CF-1.8, one time series of one site."""

import datetime
import os

import numpy as np
import pandas as pd

from pumak import _core

_COLUMNS = {c["name"]: c for c in _core.result_columns()}
_ITEMS = {item["name"]: item for item in _core.parameter_items()}


def _times(results, met, utc_offset):
    """The instant each row stands for, or None when the met series has no calendar.

    The model's hour h of a day is the instant h:00 local solar time (hour 12
    is solar noon), so a row is labelled with the end of its hour: hour 24 of
    a day is midnight at the start of the next day. Year from met column 1,
    month and day from the row, hour from the run's hour counter.
    """
    if met is None or len(results) == 0:
        return None
    year = np.asarray(met["column_1"])[: len(results)]
    if len(year) < len(results):
        return None
    dates = pd.to_datetime(
        pd.DataFrame({"year": year, "month": results["month"].to_numpy(),
                      "day": results["day"].to_numpy()}),
        errors="coerce")
    if dates.isna().any():
        return None
    local = dates + pd.to_timedelta(results["hour"].to_numpy().astype(np.int64), unit="h")
    if utc_offset is not None:
        local = local - pd.to_timedelta(float(utc_offset), unit="h")
    return local.to_numpy()


def _attribute(value):
    """A parameter as a netCDF attribute of its own type: texts, int32, float32 to the bit."""
    if isinstance(value, str):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return np.int32(value)
    return np.float32(value)


def to_xarray(results, parameters=None, met=None, utc_offset=None, program=None):
    """The results as an xarray.Dataset following CF-1.8 (featureType timeSeries).

    Every variable has units and long_name, and standard_name where CF has
    one. With `met` (the site's met series, column 1 holding the year) the
    rows get a time coordinate: the end of each hour in local solar time, or
    in UTC when `utc_offset` (hours, local solar time minus UTC) is given.
    `parameters` become attributes `parameter_<item>` (and latitude a
    coordinate); the model version and the program (from `program`, or from
    the results of pumak.run) are attributes too.
    """
    import xarray as xr

    program = program or results.attrs.get("program")
    data_vars = {}
    for name in results.columns:
        column = _COLUMNS.get(name)
        attrs = {}
        if column is not None:
            attrs = {"units": column["unit"], "long_name": column["long_name"]}
            if column["standard_name"]:
                attrs["standard_name"] = column["standard_name"]
            attrs["coordinates"] = "site"
        data_vars[name] = ("time", results[name].to_numpy(), attrs)

    times = _times(results, met, utc_offset)
    coords = {"site": ((), "pumak site" if parameters is None
                       else os.path.splitext(str(parameters.get("met_file", "")))[0] or "pumak site",
                       {"cf_role": "timeseries_id", "long_name": "site, named by its met file"})}
    clock = "UTC" if utc_offset is not None else "local solar time"
    if times is not None:
        coords["time"] = ("time", times, {
            "standard_name": "time", "long_name": f"end of the model hour, {clock}",
            "axis": "T",
            "comment": "the model's hour h of a day is the instant h:00 local solar time; "
                       "hour 24 is midnight at the end of the day"})
    if parameters is not None and "latitude" in parameters:
        coords["lat"] = ((), np.float32(parameters["latitude"]),
                         {"standard_name": "latitude", "units": "degrees_north", "long_name": "site latitude"})
        for name in data_vars:
            if "coordinates" in data_vars[name][2]:
                data_vars[name][2]["coordinates"] = "site lat"

    attrs = {
        "Conventions": "CF-1.8",
        "featureType": "timeSeries",
        "title": "pumak cryoconite hole model results",
        "source": f"pumak {_core.version}" + (f", {program}" if program else ""),
        "model_version": _core.version,
        "history": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%dT%H:%M:%SZ} "
                   "written by pumak.to_xarray",
    }
    if program:
        attrs["program"] = program
    if times is None:
        attrs["comment"] = ("no time coordinate: the rows are the run's hours in order"
                            + ("" if met is None else "; the met series carries no valid calendar"))
    if utc_offset is not None:
        attrs["utc_offset_hours"] = np.float32(utc_offset)
    for name, value in (parameters or {}).items():
        attrs[f"parameter_{name}"] = _attribute(value)
        unit = _ITEMS.get(name, {}).get("unit")
        if unit:
            attrs[f"parameter_{name}_units"] = unit

    dataset = xr.Dataset(data_vars, coords=coords, attrs=attrs)
    if times is not None:
        dataset["time"].encoding.update(units="hours since 1970-01-01 00:00:00", calendar="standard",
                                        dtype="float64")
    return dataset
