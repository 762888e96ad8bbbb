"""Today's PROMICE/GC-Net hourly product, as CSV or NetCDF."""

import numpy as np

from pumak.errors import SourceError
from pumak.stations.common import parse_times, station_of, text_numbers, text_rows
from pumak.stations.mapped import apply_mapping_fields, overriding, with_body_emission

# Candidates per quantity in order of preference, as (variable, unit); a third
# element "height" marks a surface height (growing upwards) rather than a distance.
PRODUCT = {
    "name": "PROMICE/GC-Net hourly product",
    "label": "start",
    "candidates": {
        "ta_obs": [("t_u", "degC")], "rh": [("rh_u", "%")], "wind": [("wspd_u", "m s-1")],
        "pressure": [("p_u", "hPa")], "sr": [("dsr_cor", "W m-2"), ("dsr", "W m-2")],
        "column_10": [("usr_cor", "W m-2"), ("usr", "W m-2")],
        "lw_down": [("dlr", "W m-2")], "lw_up": [("ulr", "W m-2")],
        "distance": [("z_surf_combined", "m", "height"), ("z_boom_cor_u", "m"), ("z_boom_u", "m")],
    },
    "latitude": [("gps_lat", 1.0, "degrees"), ("lat", 1.0, "degrees"), ("latitude", 1.0, "degrees")],
    "longitude": [("gps_lon", 1.0, "degrees"), ("lon", 1.0, "degrees"), ("longitude", 1.0, "degrees")],
    "elevation": [("gps_alt", 1.0, "metres"), ("alt", 1.0, "metres"), ("altitude", 1.0, "metres")],
    # older processing of the product writes this sentinel where a value is missing
    "missing": [-999.0],
}


def recognised(names):
    """True for a header line of the product's CSV."""
    return {"time", "tu", "rhu"} <= names


def read_product_csv(path, mapping_path=None):
    """The product's hourly CSV (``time,p_u,t_u,rh_u,...``) as a `Station` in the file's units.

    Parameters
    ----------
    path : str
        The CSV file.
    mapping_path : str, optional
        A mapping of ``[columns]`` only: the columns it names replace the
        layout's choice for their quantities (a unit is needed for a
        column that is not one of the layout's).

    Returns
    -------
    Station
        Stamps mark the start of their hour, UTC. Units: t_u °C, rh_u %,
        wspd_u m s-1, p_u hPa, radiation W m-2, surface m.
    """
    table, lines = text_rows(path, ",")
    stamps, raw = parse_times(table["time"])
    return _through(path, PRODUCT, mapping_path, table.columns, stamps,
                    lambda name, extra: text_numbers(path, table, lines, name, PRODUCT["missing"] + extra),
                    lines=lines, raw=raw, what="time")


def _through(path, layout, mapping_path, columns, stamps, numbers, file_units=None, **fields):
    """`station_of` for a recognised layout, with the columns a mapping overrides.

    `numbers(name, markers)` gives a variable's values with `markers` also missing.
    """
    if mapping_path is None:
        return station_of(path, layout, stamps, columns, lambda name: numbers(name, []),
                          units_of=file_units and file_units.get, **fields)
    layout, mapping = overriding(path, layout, mapping_path, columns, file_units)
    markers = {entry["column"]: entry["missing"] for entry in mapping["columns"].values()}
    given = {entry["column"] for entry in mapping["columns"].values() if entry["unit"]}
    values_of = with_body_emission(lambda name: numbers(name, markers.get(name, mapping["missing"])), mapping)
    units_of = (lambda name: None if name in given else file_units.get(name)) if file_units else None
    station = station_of(path, layout, stamps, columns, values_of, units_of=units_of, **fields)
    return apply_mapping_fields(station, mapping, mapping_path)


class _NetcdfValues:
    """Variables of a NetCDF file along time, with their units attributes."""

    def __init__(self, dataset):
        self.dataset = dataset
        self.units = {name: var.attrs["units"] for name, var in dataset.variables.items() if "units" in var.attrs
                      and name != "time"}

    def __call__(self, name, markers=()):
        values = np.asarray(self.dataset[name].values, dtype=float)
        if values.ndim == 0:
            values = np.full(self.dataset.sizes["time"], float(values))
        values = values.reshape(-1).copy()
        extra = [float(m) for m in markers if _number(m)]
        values[np.isin(values, PRODUCT["missing"] + extra) | np.isinf(values)] = np.nan
        return values


def read_product_netcdf(path, mapping_path=None):
    """The product as NetCDF (variables ``time``, ``t_u``, ...) as a `Station`; `units` attributes honoured (K, Pa).

    Parameters
    ----------
    path : str
        The NetCDF file.

    Returns
    -------
    Station
        As `read_product_csv`, in the units the variables' attributes state
        (a mapping of ``[columns]`` as there).
    """
    import xarray

    try:
        dataset = xarray.open_dataset(path)
    except Exception as error:  # the library's own message names the problem
        raise SourceError(f"{path}: cannot read as NetCDF: {str(error).splitlines()[0][:200]}") from None
    with dataset:
        if "time" not in dataset.variables or "t_u" not in dataset.variables:
            raise SourceError(f"{path}: not a recognised layout: expected NetCDF variables time, t_u, rh_u, ... "
                              f"of the PROMICE/GC-Net hourly product")
        times = dataset["time"].values
        if not np.issubdtype(times.dtype, np.datetime64) or times.ndim != 1:
            raise SourceError(f"{path}: time: expected times with units such as 'hours since ...'")
        values = _NetcdfValues(dataset)
        columns = [name for name, var in dataset.variables.items() if var.dims in ((), ("time",))]
        layout = dict(PRODUCT, name=PRODUCT["name"] + " (NetCDF)")
        return _through(path, layout, mapping_path, columns, times, values, file_units=values.units, what="time")


def _number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False
