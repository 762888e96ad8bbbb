"""A station's own record: read it, and bring it to hourly values in the model's units.

    station = pumak.stations.read("CR3000_Table10min.dat", mapping="mapping.toml")
    station.data, station.units          # the record as the file holds it
    hourly = to_model_units(aggregate(to_utc(station)))

`read` recognises the layout from the file itself: a TOA5 logger table
(with a mapping naming its columns), today's PROMICE/GC-Net hourly product
(CSV or NetCDF), the older PROMICE hourly text layout, or any CSV through a
mapping. It returns a `Station`: the record's values in the units the file
(or the mapping) states, on the stamps and clock of the file. The steps
`to_utc`, `aggregate` and `to_model_units` each return a new `Station`;
`pumak.prepare` chains them and goes on to a site. `estimate` stands in
for what a station does not measure, `read_reanalysis` reads ERA5 point
series and `fill_from` fills a station's gaps from them.
"""

import os
import re

from pumak.errors import SourceError
from pumak.stations import older, product, toa5
from pumak.stations.common import (ABSENT_ALLOWED, DESCRIPTION, KIND, OPTIONAL, QUANTITIES, STEPS, Station,
                                   column_key, convert_unit, ddmm_degrees, missing_quantities, unit_conversion)
from pumak.stations.mapped import overrides_only, read_mapped, read_mapping, site_options, zone_offset
from pumak.stations.older import read_older
from pumak.stations.product import read_product_csv, read_product_netcdf
from pumak.stations.steps import DEFAULT_MIN_COVERAGE, aggregate, to_model_units, to_utc
from pumak.stations.toa5 import read_toa5
from pumak.stations.era5 import read_reanalysis
from pumak.stations.estimate import estimate
from pumak.stations.fill import fill_from

#: Bytes of a file's head looked at to recognise its layout.
HEAD_BYTES = 4096


#: The recognised layouts, tried in this order: (name, test, reader). `test(head, names)` sees the file's
#: first `HEAD_BYTES` and the column keys of its first non-blank line; a new layout is a module with a
#: reader and one line here.
LAYOUTS = (
    ("product NetCDF", lambda head, names: head.startswith((b"CDF", b"\x89HDF")), read_product_netcdf),
    ("TOA5 table", lambda head, names: toa5.recognised(head), read_toa5),
    ("product CSV", lambda head, names: product.recognised(names), read_product_csv),
    ("older hourly text", lambda head, names: older.recognised(names), read_older),
)


def recognise(path):
    """The reader of a station file, from its first bytes and its header line; None when none fits.

    Parameters
    ----------
    path : str
        The station file.

    Returns
    -------
    callable or None
        ``reader(path)`` -> `Station` (the first of `LAYOUTS` whose test
        fits); TOA5 tables take a mapping too.
    """
    try:
        with open(path, "rb") as stream:
            head = stream.read(HEAD_BYTES)
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    first = next((line for line in head.removeprefix(toa5.BOM).decode("utf-8", "replace").splitlines()
                  if line.strip()), "")
    names = {column_key(name) for name in re.split(r"[,\s]+", first.strip())}
    return next((reader for _, test, reader in LAYOUTS if test(head, names)), None)


def read(path, mapping=None, absent=()):
    """A station file's record, with its units, before any site exists.

    Parameters
    ----------
    path : str or os.PathLike
        The station file: a TOA5 table, the PROMICE/GC-Net hourly product
        (CSV or NetCDF), the older PROMICE hourly text layout, or any CSV
        when `mapping` is given.
    absent : sequence of str, optional
        Quantities the file may lack because a later step stands in for
        them (`estimate`, `fill_from`); they are NaN then.
    mapping : str or os.PathLike, optional
        A TOML mapping (docs/your_own_station.md): for a TOA5 table the
        column names and the logger clock's zone; over a recognised layout,
        a mapping of only ``[columns]`` replaces the columns it names and
        keeps the layout's reading otherwise; for any other CSV it also
        gives the time column, its label and every unit.

    Returns
    -------
    Station
        `data` (one float64 column per quantity of `QUANTITIES`, NaN where
        missing) in `units`, indexed by the file's stamps on `clock`; the
        record step, the label of the stamps, the position (degrees north and
        east), the variables chosen and what was noticed.

    Raises
    ------
    SourceError
        A file or mapping that cannot be read as promised, in one line naming
        the file (and line or column).
    """
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise SourceError(f"{path}: cannot open: " + ("not a regular file" if os.path.exists(path)
                                                      else "no such file"))
    token = ABSENT_ALLOWED.set(tuple(absent))
    try:
        return _read(path, mapping)
    finally:
        ABSENT_ALLOWED.reset(token)


def _read(path, mapping):
    reader = recognise(path)
    if reader is read_toa5:
        return read_toa5(path, mapping)
    if mapping is not None:
        mapping = os.fspath(mapping)
        if reader is read_product_netcdf or reader is not None and overrides_only(mapping):
            return reader(path, mapping)
        return read_mapped(path, mapping)
    if reader is None:
        raise SourceError(f"{path}: not a recognised layout: expected a TOA5 logger table (with --mapping), a "
                          f"header line with time,t_u,rh_u,... (PROMICE/GC-Net hourly product), one with Year "
                          f"MonthOfYear DayOfMonth HourOfDayUTC ... (older PROMICE hourly), a NetCDF file of the "
                          f"product, or --mapping FILE for any CSV")
    return reader(path)


def hourly(path, mapping=None, min_coverage=DEFAULT_MIN_COVERAGE):
    """`read`, `to_utc`, `aggregate` and `to_model_units` in one: hourly values in the model's units.

    Returns
    -------
    Station
        One row per hour, indexed by its end in UTC (or local solar time when
        the mapping says the clock is), in °C, m s-1, fraction, W m-2, hPa, m.
    """
    return to_model_units(aggregate(to_utc(read(path, mapping)), min_coverage))


# The name the first version of the package used.
read_station = read

__all__ = ["Station", "read", "hourly", "to_utc", "aggregate", "to_model_units", "recognise", "LAYOUTS",
           "read_mapping", "site_options", "zone_offset", "convert_unit", "unit_conversion", "ddmm_degrees",
           "QUANTITIES", "OPTIONAL", "DESCRIPTION", "KIND", "STEPS", "DEFAULT_MIN_COVERAGE", "missing_quantities",
           "SourceError", "read_toa5", "read_mapped", "read_older", "read_product_csv", "read_product_netcdf",
           "read_reanalysis", "estimate", "fill_from"]
