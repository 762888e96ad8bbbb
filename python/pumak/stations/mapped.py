"""A mapping (TOML): which column of a CSV or a TOA5 table holds which quantity, and the CSV read through it."""

import os
import re
import tomllib

from pumak.errors import SourceError
from pumak.stations.common import DESCRIPTION, QUANTITIES, parse_times, station_of, text_numbers, text_rows

_KEYS = {"delimiter", "header_line", "first_data_line", "missing", "latitude", "longitude", "time", "columns"}
_TIME_KEYS = {"column", "format", "zone", "label"}
_ENTRY_KEYS = {"column", "unit", "missing", "aggregation", "body_temperature"}
# Stefan-Boltzmann constant, W m-2 K-4: a thermopile's signal plus its body's emission is the longwave flux.
SIGMA = 5.670374419e-8
_AGGREGATIONS = ("mean", "median", "sum")
# Position forms: degrees (north, east), degrees west, or degrees x 100 + minutes.
_POSITION_UNITS = {"degrees": (1.0, "degrees"), "degrees_east": (1.0, "degrees"), "degrees_north": (1.0, "degrees"),
                   "degrees_west": (-1.0, "degrees"), "ddmm": (1.0, "ddmm"), "ddmm_west": (-1.0, "ddmm")}


def _kind(value):
    return {str: "a text", int: "an integer", float: "a number", bool: "true/false", list: "a list",
            dict: "a table"}.get(type(value), type(value).__name__)


def _expect(path, key, value, types, what):
    if not isinstance(value, types) or isinstance(value, bool) and bool not in types:
        raise SourceError(f"{path}: {key}: expected {what}, found {_kind(value)} {value!r}"[:300])


def _markers(path, key, value):
    markers = value if isinstance(value, list) else [value]
    for marker in markers:
        _expect(path, key, marker, (str, int, float), "a missing-value marker (text or number) or a list of them")
    return [str(m) for m in markers]


def read_mapping(mapping_path, toa5=False):
    """The TOML mapping of a station file: which column holds what, in which unit.

    Parameters
    ----------
    mapping_path : str
        The TOML file.
    toa5 : bool
        For a TOA5 table, whose file gives its header lines, time column,
        label (end of the interval) and units: the mapping needs only
        ``[time] zone`` and the column names (``ta_obs = "AirTC_Avg"``).

    Returns
    -------
    dict
        The mapping with each ``columns`` entry as a table
        (``column``, ``unit`` or None, ``missing``, ``aggregation`` or None).

    Raises
    ------
    SourceError
        An unreadable file, an unknown key, a value of the wrong type.
    """
    try:
        with open(mapping_path, "rb") as stream:
            mapping = tomllib.load(stream)
    except OSError as error:
        raise SourceError(f"{mapping_path}: cannot open: {error.strerror}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise SourceError(f"{mapping_path}: not a TOML file: {error}") from None
    for key in mapping:
        if key not in _KEYS:
            raise SourceError(f"{mapping_path}: {key}: unknown key; expected one of {', '.join(sorted(_KEYS))}")
    if toa5:
        for key in ("delimiter", "header_line", "first_data_line"):
            if key in mapping:
                raise SourceError(f"{mapping_path}: {key}: not used for a TOA5 table, which gives its own layout")
    for key in ("header_line", "first_data_line"):
        if key in mapping:
            _expect(mapping_path, key, mapping[key], (int,), "a line number (an integer from 1)")
            if mapping[key] < 1:
                raise SourceError(f"{mapping_path}: {key}: expected a line number from 1, found {mapping[key]}")
    if "delimiter" in mapping:
        _expect(mapping_path, "delimiter", mapping["delimiter"], (str,), 'one character or "whitespace"')
        if len(mapping["delimiter"]) != 1 and mapping["delimiter"] != "whitespace":
            raise SourceError(f"{mapping_path}: delimiter: expected one character or \"whitespace\", "
                              f"found {mapping['delimiter']!r}")
    mapping["missing"] = _markers(mapping_path, "missing", mapping.get("missing", []))
    for which in ("latitude", "longitude"):
        if which in mapping:
            mapping[which] = _position_entry(mapping_path, which, mapping[which])

    time = mapping.setdefault("time", {})
    _expect(mapping_path, "time", time, (dict,), "a table [time]")
    for key in time:
        if key not in _TIME_KEYS:
            raise SourceError(f"{mapping_path}: time.{key}: unknown key; expected one of {', '.join(sorted(_TIME_KEYS))}")
    if toa5:
        time.setdefault("column", "TIMESTAMP")
        time.setdefault("label", "end")
        if "zone" not in time:
            raise SourceError(f"{mapping_path}: time.zone: the logger clock's zone is required for a TOA5 table "
                              f"(the file does not say it): UTC, UTC+HH[:MM], UTC-HH[:MM] or \"local solar\"")
    if "column" not in time or time.get("label") not in ("start", "end"):
        raise SourceError(f"{mapping_path}: [time]: expected column = \"...\" and label = \"start\" or \"end\" "
                          f"(the time stamps mark the start or the end of the interval they cover)")
    column = time["column"]
    if not (isinstance(column, str) or isinstance(column, list) and column
            and all(isinstance(c, str) for c in column)):
        raise SourceError(f"{mapping_path}: time.column: expected a column name or a list of them, "
                          f"found {_kind(column)} {column!r}"[:300])
    for key in ("format", "zone"):
        if key in time:
            _expect(mapping_path, f"time.{key}", time[key], (str,), "a text")
    time["offset"] = zone_offset(mapping_path, time.get("zone", "UTC"))

    columns = mapping.setdefault("columns", {})
    _expect(mapping_path, "columns", columns, (dict,), "a table [columns] of quantity = column")
    for quantity, entry in columns.items():
        key = f"columns.{quantity}"
        if quantity not in QUANTITIES + ("surface_height",):
            raise SourceError(f"{mapping_path}: {key}: unknown quantity; expected one of "
                              f"{', '.join(QUANTITIES + ('surface_height',))}")
        if isinstance(entry, str):
            entry = {"column": entry}
        _expect(mapping_path, key, entry, (dict,), "a column name or a table { column = \"...\", unit = \"...\" }")
        for name in entry:
            if name not in _ENTRY_KEYS:
                raise SourceError(f"{mapping_path}: {key}.{name}: unknown key; expected one of "
                                  f"{', '.join(sorted(_ENTRY_KEYS))}")
        if "column" not in entry or (not toa5 and "unit" not in entry):
            raise SourceError(f"{mapping_path}: {key}: expected column = \"...\" and unit = \"...\"" if not toa5 else
                              f"{mapping_path}: {key}: expected a column name")
        _expect(mapping_path, f"{key}.column", entry["column"], (str,), "a column name")
        if "unit" in entry:
            _expect(mapping_path, f"{key}.unit", entry["unit"], (str,), "a unit text")
        if "body_temperature" in entry:
            _expect(mapping_path, f"{key}.body_temperature", entry["body_temperature"], (str,), "a column name")
            if quantity not in ("lw_down", "lw_up"):
                raise SourceError(f"{mapping_path}: {key}.body_temperature: only for a longwave thermopile "
                                  f"(lw_down, lw_up)")
        if entry.get("aggregation", "mean") not in _AGGREGATIONS:
            raise SourceError(f"{mapping_path}: {key}.aggregation: expected one of {', '.join(_AGGREGATIONS)}, "
                              f"found {entry['aggregation']!r}")
        columns[quantity] = {"column": entry["column"], "unit": entry.get("unit"),
                             "missing": mapping["missing"] + _markers(mapping_path, f"{key}.missing",
                                                                      entry.get("missing", [])),
                             "aggregation": entry.get("aggregation"), "body_temperature": entry.get("body_temperature")}
    if "distance" in columns and "surface_height" in columns:
        raise SourceError(f"{mapping_path}: columns: give distance or surface_height, not both")
    return mapping


def _position_entry(path, which, value):
    """A position in the mapping: a number of degrees, or { column = "...", unit = "ddmm" | "degrees" | ... }."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        limit = 90 if which == "latitude" else 180
        if not -limit <= value <= limit:
            raise SourceError(f"{path}: {which}: expected degrees from -{limit} to {limit}, found {value}")
        return float(value)
    if isinstance(value, str):
        value = {"column": value}
    if not isinstance(value, dict) or not isinstance(value.get("column"), str):
        raise SourceError(f"{path}: {which}: expected degrees (a number) or {{ column = \"...\", unit = \"ddmm\" }}, "
                          f"found {_kind(value)} {value!r}"[:300])
    unit = value.get("unit", "degrees")
    if unit not in _POSITION_UNITS:
        raise SourceError(f"{path}: {which}.unit: expected one of {', '.join(_POSITION_UNITS)}, found {unit!r}")
    return {"column": value["column"], "unit": unit}


def zone_offset(mapping_path, zone):
    """Hours a clock runs ahead of UTC ("UTC+01:00" gives 1.0); None for local solar time.

    Raises
    ------
    SourceError
        Not UTC, UTC+HH[:MM], UTC-HH[:MM] or "local solar", or beyond
        UTC-12 to UTC+14.
    """
    text = str(zone).strip()
    if text.lower() in ("local solar", "local solar time", "solar"):
        return None
    match = re.fullmatch(r"(?:UTC|GMT|Z)?\s*(?:([+-])(\d{1,2})(?::?(\d{2}))?)?", text, re.IGNORECASE)
    if not text or not match:
        raise SourceError(f"{mapping_path}: time.zone: expected UTC, UTC+HH[:MM], UTC-HH[:MM] or \"local solar\", "
                          f"found {text!r}")
    sign, hours, minutes = match.groups()
    offset = int(hours or 0) + int(minutes or 0) / 60
    offset = -offset if sign == "-" else offset
    if int(minutes or 0) >= 60 or not -12 <= offset <= 14:
        raise SourceError(f"{mapping_path}: time.zone: {text!r} is no zone of the Earth: expected UTC-12:00 to "
                          f"UTC+14:00")
    return offset


def layout_of(mapping, mapping_path, name, label, file_units=None):
    """The candidates of a mapping: one per quantity, with the mapping's unit or the file's."""
    file_units = file_units or {}
    layout = {"name": name, "label": label, "candidates": {}, "latitude": [], "longitude": [],
              "where": lambda column: f"{mapping_path}: column {column!r}"}
    columns = mapping["columns"]
    for quantity in QUANTITIES:
        entries = [(quantity, columns.get(quantity))]
        if quantity == "distance":
            entries.append(("surface_height", columns.get("surface_height")))
        layout["candidates"][quantity] = [
            (entry["column"], entry["unit"] or file_units.get(entry["column"], ""))
            + (("height",) if key == "surface_height" else ())
            for key, entry in entries if entry]
    for which in ("latitude", "longitude"):
        entry = mapping.get(which)
        if isinstance(entry, dict):
            sign, form = _POSITION_UNITS[entry["unit"]]
            layout[which] = [(entry["column"], sign, form)]

    def none(path, layout, quantity):
        return (f"{mapping_path}: columns.{quantity}: no column of {DESCRIPTION[quantity]}; the model needs it "
                f"(add {quantity} = \"COLUMN\" under [columns])")

    layout["none"] = none
    return layout


def check_columns(mapping, mapping_path, path, names):
    """Every column the mapping names is in the file's header."""
    time = mapping["time"]
    time_columns = [time["column"]] if isinstance(time["column"], str) else list(time["column"])
    named = [("time.column", column) for column in time_columns]
    named += [(f"columns.{quantity}.column", entry["column"]) for quantity, entry in mapping["columns"].items()]
    named += [(f"columns.{quantity}.body_temperature", entry["body_temperature"])
              for quantity, entry in mapping["columns"].items() if entry["body_temperature"]]
    named += [(f"{which}.column", mapping[which]["column"]) for which in ("latitude", "longitude")
              if isinstance(mapping.get(which), dict)]
    for key, column in named:
        if column not in names:
            raise SourceError(f"{mapping_path}: {key}: no column {column!r} in the header of {path}")
    return time_columns


def with_body_emission(values_of, mapping):
    """`values_of` with a thermopile's body emission added to its signal: sigma (T_body + 273.15)^4, T_body in °C."""
    bodies = {entry["column"]: entry["body_temperature"] for entry in mapping["columns"].values()
              if entry["body_temperature"]}
    if not bodies:
        return values_of

    def values(name):
        signal = values_of(name)
        if name in bodies:
            signal = signal + SIGMA * (values_of(bodies[name]) + 273.15) ** 4
        return signal

    return values


def apply_mapping_fields(station, mapping, mapping_path):
    """The mapping's clock, position and aggregation choices on a `Station` read through it."""
    time = mapping["time"]
    station.zone_offset_hours = time["offset"]
    station.clock = ("local solar time" if time["offset"] is None
                     else f"{time.get('zone', 'UTC').strip()} (time.zone of the mapping)" if "zone" in time
                     else "UTC")
    for which in ("latitude", "longitude"):
        if isinstance(mapping.get(which), float):
            setattr(station, which, mapping[which])
            setattr(station, f"{which}_from", f"the mapping {mapping_path}")
    for quantity, entry in mapping["columns"].items():
        if entry["body_temperature"]:
            station.conversions.append(f"{entry['column']}: thermopile signal + sigma ({entry['body_temperature']} "
                                       f"+ 273.15)^4, the sensor body's emission (°C)")
        if entry["aggregation"]:
            station.aggregation["distance" if quantity == "surface_height" else quantity] = entry["aggregation"]
    return station


def read_mapped(path, mapping_path):
    """Any CSV read through a mapping, as a `Station` in the units the mapping states.

    Parameters
    ----------
    path : str
        The CSV (or blank-separated) table.
    mapping_path : str
        The TOML mapping (docs/your_own_station.md).

    Returns
    -------
    Station
        Stamps on the mapping's clock, labelled as its ``time.label`` says.
    """
    mapping = read_mapping(mapping_path)
    delimiter = mapping.get("delimiter", ",")
    table, lines = text_rows(path, None if delimiter == "whitespace" else delimiter,
                             mapping.get("header_line", 1), mapping.get("first_data_line"))
    time_columns = check_columns(mapping, mapping_path, path, table.columns)
    texts = table[time_columns].astype(str).agg(" ".join, axis=1) if len(table) else table[time_columns[0]]
    stamps, raw = parse_times(texts, mapping["time"].get("format"))
    layout = layout_of(mapping, mapping_path, f"CSV through the mapping {mapping_path}", mapping["time"]["label"])
    missing = {entry["column"]: entry["missing"] for entry in mapping["columns"].values()}

    def values_of(name):
        return text_numbers(path, table, lines, name, missing.get(name, mapping["missing"]))

    station = station_of(path, layout, stamps, table.columns, with_body_emission(values_of, mapping), lines=lines, raw=raw,
                         what=" ".join(time_columns))
    return apply_mapping_fields(station, mapping, os.fspath(mapping_path))


__all__ = ["read_mapping", "zone_offset", "read_mapped"]
