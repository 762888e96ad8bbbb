"""A mapping (TOML): which column of a CSV or a TOA5 table holds which quantity, and the CSV read through it."""

import csv
import os
import re
import tomllib

import numpy as np

from pumak.errors import SourceError
from pumak.stations.common import (QUANTITIES, carried_offsets, column_key, parse_times, station_of, text_numbers,
                                   text_rows, where_is)

# Keys that say how the site is made from the record rather than how the file is read.
SITE_KEYS = {"estimate", "elevation"}
_KEYS = {"delimiter", "header_line", "first_data_line", "missing", "latitude", "longitude", "time", "columns",
         *SITE_KEYS}
_TIME_KEYS = {"column", "format", "zone", "label"}
_ENTRY_KEYS = {"column", "unit", "missing", "aggregation", "body_temperature"}
# Stefan-Boltzmann constant, W m-2 K-4: a thermopile's signal plus its body's emission is the longwave flux.
SIGMA = 5.670374419e-8
_AGGREGATIONS = ("mean", "median", "sum")
# Delimiters tried on the header line when the mapping gives none, in this order.
DELIMITERS = (",", ";", "\t", "whitespace")
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


def read_mapping(mapping_path, toa5=False, layout=None):
    """The TOML mapping of a station file: which column holds what, in which unit.

    Parameters
    ----------
    mapping_path : str
        The TOML file.
    toa5 : bool
        For a TOA5 table, whose file gives its header lines, time column,
        label (end of the interval) and units: the mapping needs only
        ``[time] zone`` and the column names (``ta_obs = "AirTC_Avg"``).
    layout : str, optional
        The name of a recognised layout the mapping overrides columns of:
        only ``[columns]`` (units optional), ``missing``, ``latitude`` and
        ``longitude`` are taken; the layout gives the rest.

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
    if layout:
        for key in ("delimiter", "header_line", "first_data_line", "time"):
            if key in mapping:
                raise SourceError(f"{mapping_path}: {key}: not used for the {layout}, which gives its own; a mapping "
                                  f"over it gives [columns] (and latitude, longitude) only")
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

    time = mapping.setdefault("time", {"column": "", "label": "start"} if layout else {})
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
        if "column" not in entry or (not toa5 and not layout and "unit" not in entry):
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
    first = {}
    for quantity, entry in columns.items():
        other = first.setdefault(entry["column"], quantity)
        if other != quantity:
            raise SourceError(f"{mapping_path}: columns.{quantity}: column {entry['column']!r} is mapped to "
                              f"{other} too; a column holds one quantity")
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

    layout["absent"] = (f"{mapping_path}: columns", "the file has no column mapped to {them}")
    layout["named"] = lambda layout, quantity: ""
    return layout


# Keys of a mapping that only overrides columns of a recognised layout.
OVERRIDE_KEYS = {"columns", "missing", "latitude", "longitude", *SITE_KEYS}


def site_options(mapping_path):
    """A mapping's ``estimate`` (text or list of names) and ``elevation`` (m a.s.l.), where it gives them.

    Returns
    -------
    dict
        ``{"estimate": [str, ...], "elevation": float}``, each key only when
        the mapping has it (`pumak.prepare` takes them where its options
        do not).
    """
    try:
        with open(mapping_path, "rb") as stream:
            mapping = tomllib.load(stream)
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError):
        return {}    # read_mapping says what is wrong with it
    options = {}
    if "estimate" in mapping:
        value = mapping["estimate"]
        items = value if isinstance(value, list) else [value]
        for item in items:
            _expect(mapping_path, "estimate", item, (str,), 'names such as "pressure,lw_down" or a list of them')
        options["estimate"] = [name for item in items for name in item.split(",")]
    if "elevation" in mapping:
        _expect(mapping_path, "elevation", mapping["elevation"], (int, float), "metres above sea level")
        options["elevation"] = float(mapping["elevation"])
    return options


def overrides_only(mapping_path):
    """True when a mapping holds only keys that override a recognised layout's columns (no [time], no delimiter)."""
    try:
        with open(mapping_path, "rb") as stream:
            return set(tomllib.load(stream)) <= OVERRIDE_KEYS
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError):
        return False     # read_mapping says what is wrong with it


def overriding(path, layout, mapping_path, names, file_units=None):
    """A recognised layout with a mapping's columns over it, and the mapping.

    The mapping's column names are matched to the file's as the layout
    matches its own (without case, blanks, brackets or underscores).

    Returns
    -------
    layout : dict
        As `over_layout`.
    mapping : dict
        As `read_mapping`, with the file's own spelling of each column.
    """
    mapping = read_mapping(mapping_path, layout=layout["name"])
    by_key = {column_key(re.sub(r"\([^()]*\)$", "", name)): name for name in names}   # "HeightStakes(cm)"
    by_key.update({column_key(name): name for name in names})

    def actual(key, column):
        if column_key(column) not in by_key:
            raise SourceError(f"{mapping_path}: {key}: no column {column!r} in {path}")
        return by_key[column_key(column)]

    first = {}
    for quantity, entry in mapping["columns"].items():
        entry["column"] = actual(f"columns.{quantity}.column", entry["column"])
        if first.setdefault(entry["column"], quantity) != quantity:
            raise SourceError(f"{mapping_path}: columns.{quantity}: column {entry['column']!r} is mapped to "
                              f"{first[entry['column']]} too; a column holds one quantity")
        if entry["body_temperature"]:
            entry["body_temperature"] = actual(f"columns.{quantity}.body_temperature", entry["body_temperature"])
    for which in ("latitude", "longitude"):
        if isinstance(mapping.get(which), dict):
            mapping[which]["column"] = actual(f"{which}.column", mapping[which]["column"])
    return over_layout(layout, mapping, mapping_path, file_units), mapping


def over_layout(layout, mapping, mapping_path, file_units=None):
    """A recognised layout with the columns a mapping overrides.

    Each quantity the mapping names takes its column only; its unit is the
    mapping's, else the file's own (`file_units`), else the layout's for
    that column. The other quantities keep the layout's candidates.
    """
    file_units = file_units or {}
    known = {column_key(c[0]): c[1] for candidates in layout["candidates"].values() for c in candidates}
    known.update({column_key(name): unit for name, unit in file_units.items()})
    mapped = layout_of(mapping, mapping_path, layout["name"], layout["label"])
    over = dict(layout, name=f"{layout['name']}, columns from the mapping {mapping_path}",
                candidates=dict(layout["candidates"]), where=mapped["where"])
    for quantity, entry in mapping["columns"].items():
        quantity = "distance" if quantity == "surface_height" else quantity
        over["candidates"][quantity] = [(c[0], c[1] or known.get(column_key(c[0]), "")) + c[2:]
                                        for c in mapped["candidates"][quantity]]
    for which in ("latitude", "longitude"):
        if mapped[which]:
            over[which] = mapped[which]
    return over


def split_header(mapping, path):
    """The delimiter of a CSV: the mapping's, else the one of `DELIMITERS` whose header holds most mapped columns.

    Returns
    -------
    delimiter : str or None
        The character; None for blanks and tabs ("whitespace").
    names : list of str
        The header line split at it.
    said : str
        How the header line was split, for a message.
    """
    header_line = mapping.get("header_line", 1)
    line = ""
    with open(path, encoding="utf-8-sig", errors="replace", newline="") as stream:
        for number, text in enumerate(stream, 1):
            if number == header_line:
                line = text.rstrip("\r\n")
                break

    def split(delimiter):
        if delimiter == "whitespace":
            return line.split()
        try:
            return [name.strip() for name in next(csv.reader([line], delimiter=delimiter), [])]
        except csv.Error:
            return []

    if "delimiter" in mapping:
        given = mapping["delimiter"]
        return ((None if given == "whitespace" else given), split(given),
                f"line {header_line} split at {given!r} as the mapping says")
    time = mapping["time"]
    wanted = [time["column"]] if isinstance(time["column"], str) else list(time["column"])
    wanted += [entry["column"] for entry in mapping["columns"].values()]
    best, found = ",", 0
    for delimiter in DELIMITERS:
        count = sum(column in split(delimiter) for column in set(wanted))
        if count > found:
            best, found = delimiter, count
    tried = "',', ';', tab and whitespace"
    said = (f"line {header_line} split at {best!r}, which finds {found} of the {len(set(wanted))} mapped columns "
            f"(tried {tried}; the mapping may give delimiter = \"...\")" if found else
            f"line {header_line} splits into none of the mapped columns at {tried}")
    return (None if best == "whitespace" else best), split(best), said


def check_columns(mapping, mapping_path, path, names, said=""):
    """Every column the mapping names is in the file's header (`said`: how the header was split)."""
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
            raise SourceError(f"{mapping_path}: {key}: no column {column!r} in the header of {path}"
                              + (f" ({said})" if said else ""))
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


def mapped_stamps(path, mapping, mapping_path, texts, lines, what, default_format=None):
    """The stamps of a table read through a mapping, and the offsets they carry (hours, or None).

    A ``time.format`` of the mapping is the only reading of the stamps: a
    stamp not in it is refused. Stamps carrying their own offset are moved
    to UTC once; a ``time.zone`` that says another offset is refused.
    """
    time = mapping["time"]
    fmt = time.get("format")
    stamps, raw = parse_times(texts, fmt or default_format, guess=fmt is None)
    if fmt is not None and np.isnat(stamps).any():
        i = int(np.argmax(np.isnat(stamps)))
        raise SourceError(f"{where_is(path, lines, i)}: {what}: {raw[i][:60]!r} does not match time.format {fmt!r} "
                          f"of the mapping {mapping_path}")
    carried = carried_offsets(path, raw, lines, what)
    if carried is not None and "zone" in time:
        conflict = np.flatnonzero(carried != time["offset"]) if time["offset"] is not None else [0]
        if len(conflict):
            i = int(conflict[0])
            raise SourceError(f"{mapping_path}: time.zone: {time['zone']!r} conflicts with the offset of the stamp "
                              f"{raw[i][:60]!r} at {where_is(path, lines, i)}; give the zone the stamps say, or none")
    return stamps, raw, carried


def apply_mapping_fields(station, mapping, mapping_path, carried=None):
    """The mapping's clock, position and aggregation choices on a `Station` read through it.

    `carried`: the offsets (h) the stamps carried, which `mapped_stamps` has already applied.
    """
    time = mapping["time"]
    station.zone_offset_hours = time["offset"] if carried is None else 0.0
    station.clock = ("UTC (the stamps carry their offset)" if carried is not None
                     else "local solar time" if time["offset"] is None
                     else f"{time.get('zone', 'UTC').strip()} (time.zone of the mapping)" if "zone" in time
                     else "UTC")
    if carried is not None:
        shown = ", ".join(f"{-h:+g} h" for h in sorted(set(carried.tolist())))
        station.conversions.append(f"time: to UTC by the offsets the stamps carry ({shown})")
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
    delimiter, names, said = split_header(mapping, path)
    time_columns = check_columns(mapping, mapping_path, path, names, said)
    table, lines = text_rows(path, delimiter, mapping.get("header_line", 1), mapping.get("first_data_line"))
    texts = table[time_columns].astype(str).agg(" ".join, axis=1) if len(table) else table[time_columns[0]]
    what = " ".join(time_columns)
    stamps, raw, carried = mapped_stamps(path, mapping, mapping_path, texts, lines, what)
    layout = layout_of(mapping, mapping_path, f"CSV through the mapping {mapping_path}", mapping["time"]["label"])
    missing = {entry["column"]: entry["missing"] for entry in mapping["columns"].values()}

    def values_of(name):
        return text_numbers(path, table, lines, name, missing.get(name, mapping["missing"]))

    station = station_of(path, layout, stamps, table.columns, with_body_emission(values_of, mapping), lines=lines,
                         raw=raw, what=what)
    if "delimiter" not in mapping:
        station.notes.append(f"{path}: columns separated by " + {",": "commas", ";": "semicolons", "\t": "tabs",
                                                                 None: "blanks"}.get(delimiter, repr(delimiter)))
    return apply_mapping_fields(station, mapping, os.fspath(mapping_path), carried)


__all__ = ["read_mapping", "zone_offset", "read_mapped"]
