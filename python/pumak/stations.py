"""Reading a station's hourly record: the layouts `prepare` recognises.

Each reader returns a `Station`: the hourly values in the model's units,
indexed by the source's time stamps in UTC (or in local solar time when a
mapping says the clock already is), with which end of its hour a stamp
marks, what was chosen and what was converted.
"""

import csv
import dataclasses
import os
import re
import tomllib

import numpy as np
import pandas as pd

# The quantities a site needs, in the model's units. `distance` is the
# sonic-ranger distance to the surface in m (it grows as the surface lowers).
QUANTITIES = ("ta_obs", "wind", "rh", "sr", "column_10", "lw_down", "lw_up", "pressure", "distance")
OPTIONAL = ("column_10", "distance")
DESCRIPTION = {
    "ta_obs": "air temperature", "wind": "wind speed", "rh": "relative humidity",
    "sr": "incoming shortwave", "column_10": "reflected shortwave", "lw_down": "incoming longwave",
    "lw_up": "outgoing longwave", "pressure": "air pressure", "distance": "surface distance",
}
KIND = {"ta_obs": "temperature", "wind": "speed", "rh": "fraction", "sr": "flux", "column_10": "flux",
        "lw_down": "flux", "lw_up": "flux", "pressure": "pressure", "distance": "length"}

# Unit texts (lower case, without blanks, carets and stars) -> (factor, offset) to the model's unit.
_UNITS = {
    "temperature": ({"degc", "c", "°c", "degreesc", "degree_c", "degrees_c", "degree_celsius", "celsius"}, 1.0, 0.0,
                    {"k", "kelvin"}, 1.0, -273.15),
    "fraction": ({"1", "fraction", "-"}, 1.0, 0.0, {"%", "percent"}, 0.01, 0.0),
    "pressure": ({"hpa", "mbar", "mb"}, 1.0, 0.0, {"pa"}, 0.01, 0.0, {"kpa"}, 10.0, 0.0),
    "speed": ({"ms-1", "m/s", "mps"}, 1.0, 0.0, {"kmh-1", "km/h"}, 1 / 3.6, 0.0),
    "flux": ({"wm-2", "w/m2", "wm2"}, 1.0, 0.0),
    "length": ({"m"}, 1.0, 0.0, {"cm"}, 0.01, 0.0, {"mm"}, 0.001, 0.0),
}
_MODEL_UNIT = {"temperature": "°C", "fraction": "fraction", "pressure": "hPa", "speed": "m s-1",
               "flux": "W m-2", "length": "m"}


class SourceError(ValueError):
    """Bad input: a file that cannot be read as promised. One line, exit status 2."""


@dataclasses.dataclass
class Station:
    source: str
    layout: str
    data: pd.DataFrame            # QUANTITIES in the model's units, indexed by the time stamps
    clock: str = "UTC"            # or "local solar time"
    label: str = "start"          # what the source's time stamps mark of their hour
    latitude: float = None
    longitude: float = None
    chosen: dict = dataclasses.field(default_factory=dict)       # quantity -> source variable
    conversions: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)


def _unit_key(text):
    return re.sub(r"[\s^*·.]", "", str(text).strip().lower())


def convert_unit(values, quantity, unit, where):
    """Values in the model's unit, and the conversion made (None when none)."""
    kind = KIND[quantity]
    table = _UNITS[kind]
    key = _unit_key(unit)
    for names, factor, offset in zip(table[0::3], table[1::3], table[2::3]):
        if key in names:
            if factor == 1.0 and offset == 0.0:
                return values, None
            text = f"{where}: {unit} to {_MODEL_UNIT[kind]}"
            text += f" (x {factor:g})" if offset == 0.0 else f" ({offset:+g})"
            return values * factor + offset, text
    known = ", ".join(sorted(n for names in table[0::3] for n in names))
    raise SourceError(f"{where}: unit {unit!r} of {DESCRIPTION[quantity]} not understood; expected one of {known}")


# The layouts recognised from the file itself: candidates per quantity in
# order of preference, as (variable, unit); a third element "height" marks a
# surface height (growing upwards) rather than a distance.
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
    "latitude": [("gps_lat", 1.0), ("lat", 1.0), ("latitude", 1.0)],
    "longitude": [("gps_lon", 1.0), ("lon", 1.0), ("longitude", 1.0)],
}
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
    # this layout gives the longitude in degrees west
    "latitude": [("LatitudeGPSdegN", 1.0)],
    "longitude": [("LongitudeGPSdegW", -1.0)],
    "missing": -999.0,
}


def _key(name):
    """Column names compared without case, blanks, brackets or underscores."""
    return re.sub(r"[^0-9a-z]", "", name.lower())


def _rows(path, delimiter, header_line=1, first_data_line=None):
    """The header names, the data rows and their line numbers of a text table."""
    first_data_line = first_data_line or header_line + 1
    with open(path, newline="", encoding="utf-8", errors="replace") as stream:
        lines = stream.read().splitlines()
    if len(lines) < header_line:
        raise SourceError(f"{path}: ends before the header line {header_line}")

    if delimiter is None:
        header = lines[header_line - 1].split()
        split = (text.split() for text in lines[first_data_line - 1:])
    else:
        header = next(csv.reader([lines[header_line - 1]], delimiter=delimiter))
        split = csv.reader(lines[first_data_line - 1:], delimiter=delimiter)
    header = [name.strip() for name in header]
    rows, numbers = [], []
    for number, text, fields in zip(range(first_data_line, len(lines) + 1), lines[first_data_line - 1:], split):
        if not text.strip():
            continue
        if len(fields) != len(header):
            raise SourceError(f"{path}:{number}: holds {len(fields)} fields, the header names {len(header)}")
        rows.append(fields)
        numbers.append(number)
    table = pd.DataFrame(rows, columns=header, dtype=str) if rows else pd.DataFrame(columns=header, dtype=str)
    return table, np.asarray(numbers, dtype=int)


def _numbers(path, table, lines, column, missing=()):
    """A text column as numbers; empty fields and missing markers become NaN."""
    text = table[column].str.strip()
    values = pd.to_numeric(text, errors="coerce").to_numpy(dtype=float)
    blank = text.isin(["", "NaN", "nan", "NAN", "NA"]).to_numpy() | text.isin([str(m) for m in missing]).to_numpy()
    bad = np.isnan(values) & ~blank
    if bad.any():
        i = int(np.argmax(bad))
        raise SourceError(f"{path}:{lines[i]}: {column}: expected a number, found {text.iloc[i]!r}")
    for marker in missing:
        try:
            values[values == float(marker)] = np.nan
        except ValueError:
            pass
    return values


def _at(path, lines, i):
    """Where record i of a source stands: its line, or its position in a NetCDF file."""
    return f"{path}:{lines[i]}" if lines is not None else f"{path}: record {i + 1}"


def _hourly_index(path, stamps, lines, what, raw=None):
    """Checks that time stamps parsed, lie on the full hour, in order, an hour apart."""
    stamps = pd.DatetimeIndex(stamps)
    if stamps.isna().any():
        i = int(np.argmax(stamps.isna()))
        found = repr(raw[i]) if raw is not None else "no time"
        raise SourceError(f"{_at(path, lines, i)}: {what}: expected a date and time, found {found}")
    if len(stamps) < 2:
        raise SourceError(f"{path}: {what}: fewer than two records")
    off_hour = (stamps.minute != 0) | (stamps.second != 0) | (stamps.microsecond != 0) | (stamps.nanosecond != 0)
    if off_hour.any():
        i = int(np.argmax(off_hour))
        raise SourceError(f"{_at(path, lines, i)}: {what}: not hourly: expected time stamps on the full hour, "
                          f"found {stamps[i]}")
    steps = np.diff(stamps.asi8) // 10**9
    if (steps <= 0).any():
        i = int(np.argmax(steps <= 0)) + 1
        word = "repeats" if steps[i - 1] == 0 else "goes back to"
        raise SourceError(f"{_at(path, lines, i)}: {what}: not in time order: {word} {stamps[i]}")
    if np.median(steps) != 3600:
        raise SourceError(f"{path}: {what}: not hourly: most records are {np.median(steps) / 3600:g} h apart")
    return stamps


def _parse_times(path, texts, lines, what, fmt=None):
    texts = pd.Series(list(texts), dtype=str).str.strip()
    stamps = pd.to_datetime(texts, format=fmt, errors="coerce", utc=True)
    return _hourly_index(path, stamps.dt.tz_convert(None), lines, what, list(texts))


def _choose(path, layout, columns, values_of):
    """Picks each quantity's first candidate that holds a value; converts units."""
    data, chosen, conversions, notes = {}, {}, [], []
    by_key = {_key(name): name for name in columns}
    for quantity in QUANTITIES:
        for candidate in layout["candidates"][quantity]:
            name = by_key.get(_key(candidate[0]))
            if name is None:
                continue
            values = values_of(name)
            if not np.isfinite(values).any():
                notes.append(f"{name}: holds no value, not used")
                continue
            unit = getattr(values_of, "units", {}).get(name, candidate[1])
            values, conversion = convert_unit(values, quantity, unit, name)
            if conversion:
                conversions.append(conversion)
            if len(candidate) > 2:
                values = -values
                conversions.append(f"{name}: surface height, sign reversed to a distance to the surface")
            data[quantity], chosen[quantity] = values, name
            break
        else:
            if quantity not in OPTIONAL:
                names = " or ".join(c[0] for c in layout["candidates"][quantity])
                raise SourceError(f"{path}: no {DESCRIPTION[quantity]}: expected a variable {names} with values")
            data[quantity] = None
            notes.append(f"{DESCRIPTION[quantity]}: none in the source, written as NaN")
    return data, chosen, conversions, notes


def _position(layout, columns, values_of, which):
    by_key = {_key(name): name for name in columns}
    for name, sign in layout[which]:
        if _key(name) in by_key:
            values = np.asarray(values_of(by_key[_key(name)]), dtype=float) * sign
            if np.isfinite(values).any():
                return float(np.nanmedian(values))
    return None


def _station(path, layout, stamps, columns, values_of):
    data, chosen, conversions, notes = _choose(path, layout, columns, values_of)
    frame = pd.DataFrame({q: (v if v is not None else np.full(len(stamps), np.nan)) for q, v in data.items()},
                         index=stamps)
    return Station(source=path, layout=layout["name"], data=frame, label=layout["label"],
                   latitude=_position(layout, columns, values_of, "latitude"),
                   longitude=_position(layout, columns, values_of, "longitude"),
                   chosen=chosen, conversions=conversions, notes=notes)


def _read_product_text(path):
    table, lines = _rows(path, ",")
    stamps = _parse_times(path, table["time"], lines, "time")
    return _station(path, PRODUCT, stamps, table.columns, lambda name: _numbers(path, table, lines, name))


def _read_older_text(path):
    table, lines = _rows(path, None)
    by_key = {_key(name): name for name in table.columns}
    parts = [_numbers(path, table, lines, by_key[_key(name)], [OLDER["missing"]]) for name in OLDER["time"]]
    year, month, day, hour = parts
    whole = np.isfinite(year) & np.isfinite(month) & np.isfinite(day) & np.isfinite(hour)
    frame = pd.DataFrame({"year": year, "month": month, "day": day, "hour": hour})
    frame.loc[~whole] = [2000, 1, 1, 0]
    stamps = pd.to_datetime(frame.astype(int), errors="coerce")
    stamps[~whole] = pd.NaT
    raw = [" ".join(row) for row in table[[by_key[_key(n)] for n in OLDER["time"]]].itertuples(index=False)]
    stamps = _hourly_index(path, stamps, lines, " ".join(OLDER["time"]), raw)
    return _station(path, OLDER, stamps, table.columns,
                    lambda name: _numbers(path, table, lines, name, [OLDER["missing"]]))


class _NetcdfValues:
    """Variables of a NetCDF file along time, with their units attributes."""

    def __init__(self, dataset):
        self.dataset = dataset
        self.units = {name: var.attrs["units"] for name, var in dataset.variables.items() if "units" in var.attrs
                      and name != "time"}

    def __call__(self, name):
        values = np.asarray(self.dataset[name].values, dtype=float)
        if values.ndim == 0:
            return np.full(self.dataset.sizes["time"], float(values))
        return values.reshape(-1)


def _read_netcdf(path):
    import xarray

    try:
        dataset = xarray.open_dataset(path)
    except Exception as error:  # the library's own message names the problem
        raise SourceError(f"{path}: cannot read as NetCDF: {error}") from None
    with dataset:
        if "time" not in dataset.variables or "t_u" not in dataset.variables:
            raise SourceError(f"{path}: not a recognised layout: expected NetCDF variables time, t_u, rh_u, ... "
                              f"of the PROMICE/GC-Net hourly product")
        times = dataset["time"].values
        if not np.issubdtype(times.dtype, np.datetime64):
            raise SourceError(f"{path}: time: expected times with units such as 'hours since ...'")
        stamps = _hourly_index(path, times, None, "time")
        values = _NetcdfValues(dataset)
        columns = [name for name, var in dataset.variables.items() if var.dims in ((), ("time",))]
        station = _station(path, PRODUCT, stamps, columns, values)
    station.layout += " (NetCDF)"
    return station


def read_mapping(mapping_path):
    """The TOML mapping of any CSV: which column holds what, in which unit."""
    try:
        with open(mapping_path, "rb") as stream:
            mapping = tomllib.load(stream)
    except OSError as error:
        raise SourceError(f"{mapping_path}: cannot open: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise SourceError(f"{mapping_path}: not a TOML file: {error}") from None
    known = {"delimiter", "header_line", "first_data_line", "missing", "latitude", "longitude", "time", "columns"}
    for key in mapping:
        if key not in known:
            raise SourceError(f"{mapping_path}: {key}: unknown key; expected one of {', '.join(sorted(known))}")
    time = mapping.get("time")
    if not isinstance(time, dict) or "column" not in time or time.get("label") not in ("start", "end"):
        raise SourceError(f"{mapping_path}: [time]: expected column = \"...\" and label = \"start\" or \"end\" "
                          f"(the time stamps mark the start or the end of the hour they cover)")
    columns = mapping.get("columns", {})
    for quantity, entry in columns.items():
        if quantity not in QUANTITIES + ("surface_height",):
            raise SourceError(f"{mapping_path}: columns.{quantity}: unknown quantity; expected one of "
                              f"{', '.join(QUANTITIES + ('surface_height',))}")
        if not isinstance(entry, dict) or "column" not in entry or "unit" not in entry:
            raise SourceError(f"{mapping_path}: columns.{quantity}: expected column = \"...\" and unit = \"...\"")
    return mapping


def _zone_offset(mapping_path, zone):
    """Hours the source's clock runs ahead of UTC; None for local solar time."""
    text = str(zone).strip()
    if text.lower() in ("local solar", "local solar time", "solar"):
        return None
    match = re.fullmatch(r"(?:UTC|GMT|Z)?\s*(?:([+-])(\d{1,2})(?::?(\d{2}))?)?", text, re.IGNORECASE)
    if not text or not match:
        raise SourceError(f"{mapping_path}: time.zone: expected UTC, UTC+HH[:MM], UTC-HH[:MM] or \"local solar\", "
                          f"found {text!r}")
    sign, hours, minutes = match.groups()
    offset = int(hours or 0) + int(minutes or 0) / 60
    return -offset if sign == "-" else offset


def _read_mapped(path, mapping_path):
    mapping = read_mapping(mapping_path)
    delimiter = mapping.get("delimiter", ",")
    table, lines = _rows(path, None if delimiter == "whitespace" else delimiter,
                         mapping.get("header_line", 1), mapping.get("first_data_line"))
    missing = [str(m) for m in np.atleast_1d(mapping.get("missing", []))]
    time = mapping["time"]
    time_columns = [time["column"]] if isinstance(time["column"], str) else list(time["column"])
    named = [("time.column", column) for column in time_columns]
    named += [(f"columns.{quantity}.column", entry["column"]) for quantity, entry in mapping["columns"].items()]
    for key, column in named:
        if column not in table.columns:
            raise SourceError(f"{mapping_path}: {key}: no column {column!r} in the header of {path}")
    texts = table[time_columns].astype(str).agg(" ".join, axis=1)
    stamps = _parse_times(path, texts, lines, " ".join(time_columns), time.get("format"))
    offset = _zone_offset(mapping_path, time.get("zone", "UTC"))
    layout = {"name": f"CSV through the mapping {mapping_path}", "label": time["label"], "candidates": {},
              "latitude": [], "longitude": []}
    units = {}
    for quantity in QUANTITIES:
        entries = [(quantity, mapping["columns"].get(quantity))]
        if quantity == "distance":
            entries.append(("surface_height", mapping["columns"].get("surface_height")))
        layout["candidates"][quantity] = [
            (entry["column"], entry["unit"]) + (("height",) if name == "surface_height" else ())
            for name, entry in entries if entry]
        for name, entry in entries:
            if entry:
                units[entry["column"]] = entry["unit"]
    per_column_missing = {entry["column"]: missing + [str(m) for m in np.atleast_1d(entry.get("missing", []))]
                          for entry in mapping["columns"].values()}

    def values_of(name):
        return _numbers(path, table, lines, name, per_column_missing.get(name, missing))

    values_of.units = units
    station = _station(path, layout, stamps, table.columns, values_of)
    for which in ("latitude", "longitude"):
        if which in mapping:
            setattr(station, which, float(mapping[which]))
    if offset is None:
        station.clock = "local solar time"
    elif offset:
        station.data.index = station.data.index - pd.Timedelta(hours=offset)
        station.conversions.append(f"time: {time.get('zone')} to UTC ({-offset:+g} h)")
    return station


def recognise(path):
    """The reader for a source file, from its first bytes and its header line."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(4096)
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    if head.startswith((b"CDF", b"\x89HDF")):
        return _read_netcdf
    first = next((line for line in head.decode("utf-8", "replace").splitlines() if line.strip()), "")
    names = {_key(name) for name in re.split(r"[,\s]+", first.strip())}
    if {"time", "tu", "rhu"} <= names:
        return _read_product_text
    if {_key(name) for name in OLDER["time"]} <= names:
        return _read_older_text
    return None


def read_station(path, mapping=None):
    """Reads a station file: through `mapping` when given, else by its recognised layout."""
    path = os.fspath(path)
    if mapping is not None:
        if not os.path.isfile(path):
            raise SourceError(f"{path}: cannot open: no such file")
        return _read_mapped(path, os.fspath(mapping))
    reader = recognise(path)
    if reader is None:
        raise SourceError(f"{path}: not a recognised layout: expected a header line with time,t_u,rh_u,... "
                          f"(PROMICE/GC-Net hourly product), one with Year MonthOfYear DayOfMonth HourOfDayUTC ... "
                          f"(older PROMICE hourly), a NetCDF file of the product, or --mapping FILE for any CSV")
    return reader(path)

