"""Today's PROMICE/GC-Net hourly product, as CSV or NetCDF."""

import numpy as np

from pumak.errors import SourceError
from pumak.stations.common import parse_times, station_of, text_numbers, text_rows

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
    # older processing of the product writes this sentinel where a value is missing
    "missing": [-999.0],
}


def recognised(names):
    """True for a header line of the product's CSV."""
    return {"time", "tu", "rhu"} <= names


def read_product_csv(path):
    """The product's hourly CSV (``time,p_u,t_u,rh_u,...``) as a `Station` in the file's units.

    Parameters
    ----------
    path : str
        The CSV file.

    Returns
    -------
    Station
        Stamps mark the start of their hour, UTC. Units: t_u °C, rh_u %,
        wspd_u m s-1, p_u hPa, radiation W m-2, surface m.
    """
    table, lines = text_rows(path, ",")
    stamps, raw = parse_times(table["time"])
    return station_of(path, PRODUCT, stamps, table.columns,
                      lambda name: text_numbers(path, table, lines, name, PRODUCT["missing"]),
                      lines=lines, raw=raw, what="time")


class _NetcdfValues:
    """Variables of a NetCDF file along time, with their units attributes."""

    def __init__(self, dataset):
        self.dataset = dataset
        self.units = {name: var.attrs["units"] for name, var in dataset.variables.items() if "units" in var.attrs
                      and name != "time"}

    def __call__(self, name):
        values = np.asarray(self.dataset[name].values, dtype=float)
        if values.ndim == 0:
            values = np.full(self.dataset.sizes["time"], float(values))
        values = values.reshape(-1).copy()
        values[np.isin(values, PRODUCT["missing"]) | np.isinf(values)] = np.nan
        return values


def read_product_netcdf(path):
    """The product as NetCDF (variables ``time``, ``t_u``, ...) as a `Station`; `units` attributes honoured (K, Pa).

    Parameters
    ----------
    path : str
        The NetCDF file.

    Returns
    -------
    Station
        As `read_product_csv`, in the units the variables' attributes state.
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
        return station_of(path, layout, times, columns, values, units_of=values.units.get, what="time")
