"""What every station reader shares: the quantities, their units, the record and its time stamps."""

import contextvars
import csv
import dataclasses
import re

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.quantities import ESTIMABLE, MODEL_UNIT, TABLE, UNITS

# The quantities a site needs, in the model's units, derived from the one table in
# `pumak.stations.quantities`. `distance` is the sonic-ranger distance to the surface
# in m (it grows as the surface lowers).
QUANTITIES = tuple(q.name for q in TABLE)
OPTIONAL = tuple(q.name for q in TABLE if not q.required)
DESCRIPTION = {q.name: q.description for q in TABLE}
KIND = {q.name: q.kind for q in TABLE}

# Unit texts (lower case, without blanks, carets, dots and stars) -> (factor, offset) to the model's unit.
_UNITS = {kind: tuple(x for entry in entries for x in entry) for kind, entries in UNITS.items()}

# Quantities a reader may find absent because a later step stands in for them
# (`pumak.stations.read(..., absent=...)`: estimates, a reanalysis).
ABSENT_ALLOWED = contextvars.ContextVar("absent_allowed", default=())

# Record steps that divide the hour, in seconds; hourly records are the 3600 of them.
STEPS = (60, 120, 300, 600, 900, 1200, 1800, 3600)


@dataclasses.dataclass
class Station:
    """A station's record as read from its file, before any site exists.

    Each step of `pumak.stations` (`to_utc`, `aggregate`, `to_model_units`)
    takes a `Station` and returns a new one; `prepare` chains them.

    Attributes
    ----------
    source : str
        The station file.
    layout : str
        The layout it was read as.
    data : pandas.DataFrame, shape (records, 9)
        One column per quantity of `QUANTITIES` (float64), in the units of
        `units` (NaN throughout for an optional quantity the source lacks),
        indexed by the records' time stamps (naive datetimes on `clock`).
    units : dict of str to str
        Quantity -> the unit its column holds, as the file or the mapping
        states it ("%", "Deg C", "kPa"; "" for an absent quantity). After
        `to_model_units` the model's units: °C, m s-1, fraction, W m-2, hPa, m.
    lines : numpy.ndarray of int, shape (records,), or None
        The line of the source file each record stands on (None for NetCDF
        and once aggregated).
    clock : str
        The clock of the time stamps: "UTC", the mapping's zone ("UTC+01:00"),
        or "local solar time".
    zone_offset_hours : float or None
        Hours the clock runs ahead of UTC; None for local solar time.
    label : str
        What a stamp marks of the interval its record covers: "start" or "end".
    step_seconds : int
        The record step (60 to 3600 s, a divisor of the hour).
    height : bool
        True when `distance` holds a surface height (growing upwards, m)
        rather than a distance to the surface; `to_model_units` turns it.
    aggregation : dict of str to str
        Quantity -> how records make an hour: "mean", "median" or "sum".
    latitude, longitude : float or None
        The station's position, degrees north and east.
    latitude_from, longitude_from : str or None
        Where the position came from.
    chosen : dict of str to str
        Quantity -> the source's variable or column.
    conversions, notes : list of str
        The unit conversions and time shifts made; what else was noticed.
    details : dict
        Layout-specific facts for the provenance (the logger of a TOA5
        table, records dropped, repeated header blocks, the aggregation).
    """

    source: str
    layout: str
    data: pd.DataFrame
    units: dict = dataclasses.field(default_factory=dict)
    lines: np.ndarray = None
    clock: str = "UTC"
    zone_offset_hours: float = 0.0
    label: str = "start"
    step_seconds: int = 3600
    height: bool = False
    aggregation: dict = dataclasses.field(default_factory=dict)
    latitude: float = None
    longitude: float = None
    latitude_from: str = None
    longitude_from: str = None
    chosen: dict = dataclasses.field(default_factory=dict)
    conversions: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)
    details: dict = dataclasses.field(default_factory=dict)

    def replace(self, **changes):
        """A copy with `changes`; lists and dicts are copied, not shared."""
        copied = {name: (list(value) if isinstance(value, list) else dict(value) if isinstance(value, dict)
                         else value)
                  for name, value in ((f.name, getattr(self, f.name)) for f in dataclasses.fields(self))}
        copied.update(changes)
        return Station(**copied)


def unit_key(text):
    return re.sub(r"[\s^*·.]", "", str(text).strip().lower())


def unit_conversion(quantity, unit, where):
    """(factor, offset) from `unit` to the model's unit of `quantity`.

    Parameters
    ----------
    quantity : str
        One of `QUANTITIES`.
    unit : str
        The unit text ("Deg C", "kPa", "W/m^2", ...).
    where : str
        The file and column (or mapping key) named in the error.

    Raises
    ------
    SourceError
        The unit is not one of the quantity's known units.
    """
    kind = KIND[quantity]
    table = _UNITS[kind]
    key = unit_key(unit)
    for names, factor, offset in zip(table[0::3], table[1::3], table[2::3]):
        if key in names:
            return factor, offset
    known = ", ".join(sorted(n for names in table[0::3] for n in names))
    if not key:
        raise SourceError(f"{where}: no unit given for {DESCRIPTION[quantity]}; give one in the mapping "
                          f"(unit = \"...\"), one of {known}")
    raise SourceError(f"{where}: unit {unit!r} of {DESCRIPTION[quantity]} not understood; expected one of {known}")


def convert_unit(values, quantity, unit, where):
    """Values in the model's unit, and the conversion made (None when none).

    Parameters
    ----------
    values : numpy.ndarray of float
        The values in `unit`.
    quantity, unit, where : str
        As for `unit_conversion`.
    """
    factor, offset = unit_conversion(quantity, unit, where)
    if factor == 1.0 and offset == 0.0:
        return values, None
    kind = KIND[quantity]
    text = f"{where}: {unit} to {MODEL_UNIT[kind]}"
    text += f" (x {factor:g})" if offset == 0.0 else f" ({offset:+g})"
    return values * factor + offset, text


def column_key(name):
    """Column names compared without case, blanks, brackets or underscores."""
    return re.sub(r"[^0-9a-z]", "", name.lower())


# A control character inside a line (a tab separates fields, a carriage return may end a line): pandas' parser
# would end a field at a NUL and read `7\0 51.174` as 7.
CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]|\r(?!\n)")
CONTROL_BYTES = re.compile(CONTROL.pattern.encode())


def refuse_control(path, content, first_line=1):
    """Refuses a text (str or bytes) holding a control character, naming its line.

    Parameters
    ----------
    path : str
        The file, for the message.
    content : str or bytes
        The file's content (or a part of it starting at `first_line`).

    Raises
    ------
    SourceError
        ``FILE:LINE: control character 0x00 inside a value``.
    """
    found = (CONTROL_BYTES if isinstance(content, bytes) else CONTROL).search(content)
    if found:
        newline = b"\n" if isinstance(content, bytes) else "\n"
        line = first_line + content.count(newline, 0, found.start())
        raise SourceError(f"{path}:{line}: control character 0x{ord(found.group()[:1]):02x} inside a value: "
                          f"not a text table")


def text_rows(path, delimiter, header_line=1, first_data_line=None):
    """The header names, the data rows and their line numbers of a text table.

    A UTF-8 byte-order mark is skipped; a line the table's reader cannot take
    (a field of megabytes, a control character) is an error naming its line.
    `delimiter` None splits at blanks and tabs.
    """
    first_data_line = first_data_line or header_line + 1
    with open(path, newline="", encoding="utf-8-sig", errors="replace") as stream:
        content = stream.read()
    refuse_control(path, content)
    lines = content.splitlines()
    del content
    if len(lines) < header_line:
        raise SourceError(f"{path}: ends before the header line {header_line}")

    def reader(texts, start):
        number, rows = start, csv.reader(texts, delimiter=delimiter)
        while True:
            try:
                fields = next(rows)
            except StopIteration:
                return
            except csv.Error as error:
                raise SourceError(f"{path}:{number}: cannot read as a table: {error}") from None
            yield fields
            number += 1

    if delimiter is None:
        header = lines[header_line - 1].split()
        split = (text.split() for text in lines[first_data_line - 1:])
    else:
        header = next(reader([lines[header_line - 1]], header_line), [])
        split = reader(lines[first_data_line - 1:], first_data_line)
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


MISSING_TEXTS = ("", "NaN", "nan", "NAN", "NA", "INF", "-INF", "+INF", "Inf", "-Inf", "inf", "-inf")
# Characters of the longest field read as a number (17 digits, a sign, a point and an exponent fit many times).
NUMBER_CHARS = 64


def text_numbers(path, table, lines, column, missing=()):
    """A text column as numbers; empty fields and missing markers become NaN.

    A field that overflows (``1e999``) is missing; one longer than
    `NUMBER_CHARS` or not a number is an error naming its line.
    """
    text = table[column].str.strip()
    long = (text.str.len() > NUMBER_CHARS).to_numpy()
    if long.any():
        i = int(np.argmax(long))
        raise SourceError(f"{path}:{lines[i]}: {column}: expected a number, found a field of {len(text.iloc[i])} "
                          f"characters ({text.iloc[i][:20]!r}...)")
    values = pd.to_numeric(text, errors="coerce").to_numpy(dtype=float)
    blank = text.isin(MISSING_TEXTS).to_numpy() | text.isin([str(m) for m in missing]).to_numpy()
    bad = np.isnan(values) & ~blank
    for i in np.flatnonzero(bad)[:1000]:   # what the fast parser refuses but is a number (1e999: overflow)
        try:
            values[i] = float(text.iloc[i])
            bad[i] = False
        except ValueError:
            break
    if bad.any():
        i = int(np.argmax(bad))
        raise SourceError(f"{path}:{lines[i]}: {column}: expected a number, found {text.iloc[i][:40]!r}")
    values[np.isinf(values)] = np.nan
    for marker in missing:
        try:
            values[values == float(marker)] = np.nan
        except ValueError:
            pass
    return values


def where_is(path, lines, i):
    """Where record i of a source stands: its line, or its position in a NetCDF file."""
    return f"{path}:{lines[i]}" if lines is not None else f"{path}: record {i + 1}"


def settle_records(path, stamps, frame, lines, what, raw=None):
    """Checks a record's time stamps, drops repeated identical records and finds the step.

    Parameters
    ----------
    path : str
        The station file, for messages.
    stamps : array_like of datetime64, shape (records,)
        The time stamps (NaT where one did not parse).
    frame : pandas.DataFrame, shape (records, columns)
        The records' values, compared when a stamp repeats.
    lines : numpy.ndarray of int or None
        Each record's line in the file.
    what : str
        The time column(s), for messages.
    raw : list of str, optional
        The stamps' texts, shown when one did not parse.

    Returns
    -------
    frame : pandas.DataFrame
        Indexed by the stamps, without repeated identical records.
    lines : numpy.ndarray or None
    step : int
        The record step in s (one of `STEPS`).
    duplicates : int
        Identical records dropped.

    Raises
    ------
    SourceError
        A stamp that does not parse; fewer than two records; a stamp
        repeated with other values or going backwards (naming both lines);
        no step that divides the hour; a stamp off the step's grid.
    """
    stamps = pd.DatetimeIndex(stamps)
    if stamps.isna().any():
        i = int(np.argmax(stamps.isna()))
        found = repr(raw[i][:60]) if raw is not None else "no time"
        raise SourceError(f"{where_is(path, lines, i)}: {what}: expected a date and time, found {found}")
    if len(stamps) < 2:
        raise SourceError(f"{path}: {what}: fewer than two records")
    steps = np.diff(stamps.asi8)
    if (steps < 0).any():
        i = int(np.argmax(steps < 0))
        raise SourceError(f"{where_is(path, lines, i + 1)}: {what}: not in time order: {stamps[i + 1]} goes back "
                          f"before {stamps[i]} of " + (f"line {lines[i]}" if lines is not None else f"record {i + 1}"))
    duplicates = 0
    if (steps == 0).any():
        values = frame.to_numpy(dtype=float)
        same = ((values[1:] == values[:-1]) | (np.isnan(values[1:]) & np.isnan(values[:-1]))).all(axis=1)
        conflicting = (steps == 0) & ~same
        if conflicting.any():
            i = int(np.argmax(conflicting))
            differ = [name for name, a, b in zip(frame.columns, values[i], values[i + 1])
                      if not (a == b or (np.isnan(a) and np.isnan(b)))]
            other = f"line {lines[i]}" if lines is not None else f"record {i + 1}"
            raise SourceError(f"{where_is(path, lines, i + 1)}: {what}: {stamps[i + 1]} repeats the stamp of {other} "
                              f"with other values ({', '.join(differ[:3])})")
        keep = np.concatenate([[True], steps != 0])
        duplicates = int((~keep).sum())
        stamps, frame = stamps[keep], frame.iloc[keep]
        lines = lines[keep] if lines is not None else None
        steps = np.diff(stamps.asi8)
        if len(stamps) < 2:
            raise SourceError(f"{path}: {what}: fewer than two records")
    step = float(np.median(steps)) / 1e9
    if step > 3600:
        raise SourceError(f"{path}: {what}: not hourly: most records are {step / 3600:g} h apart")
    if step not in STEPS:
        raise SourceError(f"{path}: {what}: most records are {step:g} s apart; expected a step that divides the "
                          f"hour (1, 2, 5, 10, 15, 20, 30 or 60 min)")
    step = int(step)
    off_grid = stamps.asi8 % (step * 10**9) != 0
    if off_grid.any():
        i = int(np.argmax(off_grid))
        if step == 3600:
            raise SourceError(f"{where_is(path, lines, i)}: {what}: not hourly: expected time stamps on the full "
                              f"hour, found {stamps[i]}")
        raise SourceError(f"{where_is(path, lines, i)}: {what}: {stamps[i]} is off the {step // 60}-minute grid "
                          f"of the other records")
    frame = frame.copy()
    frame.index = stamps
    return frame, lines, step, duplicates


def parse_times(texts, fmt=None, guess=True):
    """Time stamp texts as naive datetimes (NaT where one does not parse).

    A stamp carrying its own offset (``2023-06-02T12:00+02:00``) is moved
    to UTC; the others are taken as they stand. With `fmt` and `guess`
    False, a stamp not in `fmt` is NaT (never read another way).
    """
    texts = pd.Series(texts, dtype=str).str.strip()
    stamps = pd.to_datetime(texts, format=fmt, errors="coerce", utc=True)
    if fmt is None or guess and stamps.isna().any():
        again = pd.to_datetime(texts, errors="coerce", utc=True)
        stamps = stamps.fillna(again) if fmt is not None else again
    return stamps.dt.tz_convert(None).to_numpy(), texts.tolist()


# An offset at the end of a stamp's time of day: Z, +01, +0100, +01:00.
_OFFSET = re.compile(r"\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?\s*(Z|UTC|[+-]\d{2}(?::?\d{2})?)$", re.IGNORECASE)


def carried_offsets(path, texts, lines, what):
    """Hours ahead of UTC that the stamps carry themselves; None when none carries one.

    Raises
    ------
    SourceError
        Some stamps carry an offset and others do not (naming the first
        line that differs from the first record).
    """
    found = [_OFFSET.search(text) for text in texts]
    has = np.array([match is not None for match in found], dtype=bool)
    if not has.any():
        return None
    if not has.all():
        i = int(np.argmax(has != has[0]))
        raise SourceError(f"{where_is(path, lines, i)}: {what}: {texts[i]!r} " + (
            "carries no offset from UTC, the stamps before it do" if has[0] else
            "carries an offset from UTC, the stamps before it do not"))
    hours = np.zeros(len(texts))
    for i, match in enumerate(found):
        text = match.group(1).upper().replace(":", "")
        if text not in ("Z", "UTC"):
            hours[i] = (1 if text[0] == "+" else -1) * (int(text[1:3]) + int(text[3:5] or 0) / 60)
    return hours


def choose(path, layout, columns, values_of, units_of=None):
    """Picks each quantity's first candidate that holds a value; checks its unit.

    `layout["candidates"][quantity]` lists (variable, unit[, "height"]) in
    order of preference; `units_of(name)` may give the file's own unit of a
    variable. Returns the values (source units), the units, whether the
    surface is a height, the chosen names and notes.
    """
    data, units, chosen, notes, height, absent = {}, {}, {}, [], False, {}
    by_key = {column_key(name): name for name in columns}
    for quantity in QUANTITIES:
        empty = []
        for candidate in layout["candidates"][quantity]:
            name = by_key.get(column_key(candidate[0]))
            if name is None:
                continue
            values = values_of(name)
            if not np.isfinite(values).any():
                notes.append(f"{name}: holds no value, not used")
                empty.append(name)
                continue
            unit = (units_of(name) if units_of else None) or candidate[1]
            unit_conversion(quantity, unit, layout.get("where", lambda n: f"{path}: {n}")(name))
            data[quantity], units[quantity], chosen[quantity] = values, unit, name
            height = height or (quantity == "distance" and len(candidate) > 2)
            break
        else:
            if quantity not in OPTIONAL and quantity not in ABSENT_ALLOWED.get():
                absent[quantity] = (", ".join(f"{name} holds no value" for name in empty) if empty else
                                    layout.get("named", _candidates)(layout, quantity))
            else:
                notes.append(f"{DESCRIPTION[quantity]}: none in the source, written as NaN")
    if absent:
        where, reason = layout.get("absent", (path, "the file has no variable of {them} with values"))
        raise SourceError(missing_quantities(where, absent, reason))
    return data, units, height, chosen, notes


def _candidates(layout, quantity):
    return " or ".join(c[0] for c in layout["candidates"][quantity])


def missing_quantities(where, absent, reason):
    """The one line refusing a record without the quantities the model cannot run without.

    Parameters
    ----------
    where : str
        The file (or mapping and key) the line starts with.
    absent : dict of str to str
        Each missing quantity -> what the source was searched for, or
        what its column holds ("" when there is nothing to say).
    reason : str
        Why they are missing, with ``{them}`` for "it" or "them"
        ("the file has no column mapped to {them}"). The line ends with it,
        so that a remedy may be appended.

    Returns
    -------
    str
        ``WHERE: the model cannot run without incoming longwave (lw_down),
        air pressure (pressure; p_u): REASON``.
    """
    listed = [f"{DESCRIPTION[q]} ({q}{'; ' + what if what else ''})" for q, what in absent.items()]
    named = ", ".join(listed[:-1]) + " and " + listed[-1] if len(listed) > 1 else listed[0]
    estimable = [q for q in absent if q in ESTIMABLE]
    remedy = ((f"; --estimate {','.join(estimable)} can stand in for "
               + ("them" if len(estimable) > 1 else "it") if estimable else "")
              + "; --fill-from FILE fills from a reanalysis")
    return f"{where}: the model cannot run without {named}: " + reason.format(
        them="them" if len(absent) > 1 else "it") + remedy


def ddmm_degrees(values):
    """Degrees from degrees x 100 + minutes ("5541.31" is 55 deg 41.31 min); NaN where minutes >= 60."""
    values = np.asarray(values, dtype=float)
    magnitude = np.abs(values)
    degrees = np.floor(magnitude / 100.0)
    minutes = magnitude - 100.0 * degrees
    result = np.sign(values) * (degrees + minutes / 60.0)
    result[minutes >= 60.0] = np.nan
    return result


def position(layout, columns, values_of, which):
    """The median of the first position variable holding valid values, and which it was.

    `layout[which]` lists (variable, sign, form) with form "degrees" or
    "ddmm"; sign -1 turns degrees west into degrees east.
    """
    by_key = {column_key(name): name for name in columns}
    limit = {"latitude": 90.0, "longitude": 180.0}.get(which, 9000.0)
    for name, sign, form in layout.get(which, ()):
        if column_key(name) in by_key:
            values = np.asarray(values_of(by_key[column_key(name)]), dtype=float)
            if form == "ddmm":
                values = ddmm_degrees(values)
            values = values * sign
            values[~(np.abs(values) <= limit)] = np.nan
            if np.isfinite(values).any():
                return float(np.nanmedian(values)), by_key[column_key(name)] + (" (ddmm)" if form == "ddmm" else "")
    return None, None


def frame_of(data, index_length):
    """The quantities as a DataFrame, NaN columns for the absent optional ones."""
    return pd.DataFrame({q: (data[q] if q in data else np.full(index_length, np.nan)) for q in QUANTITIES})


def station_of(path, layout, stamps, columns, values_of, units_of=None, lines=None, raw=None, what="time",
               **fields):
    """A `Station` from a layout's candidates and the file's time stamps."""
    data, units, height, chosen, notes = choose(path, layout, columns, values_of, units_of)
    frame = frame_of(data, len(stamps))
    frame, lines, step, duplicates = settle_records(path, stamps, frame, lines, what, raw)
    latitude, latitude_from = position(layout, columns, values_of, "latitude")
    longitude, longitude_from = position(layout, columns, values_of, "longitude")
    details = fields.pop("details", {})
    elevation, elevation_from = position(layout, columns, values_of, "elevation")
    if elevation is not None:
        details.update(elevation=round(elevation, 1), elevation_from=f"the source: median of {elevation_from}")
    if duplicates:
        details["duplicate_records_dropped"] = duplicates
        notes.append(f"{duplicates} repeated identical record(s) dropped")
    aggregation = {q: ("median" if q == "distance" else "mean") for q in QUANTITIES}
    aggregation.update(fields.pop("aggregation", {}))
    return Station(source=path, layout=layout["name"], data=frame, units={q: units.get(q, "") for q in QUANTITIES},
                   lines=lines, label=layout["label"], step_seconds=step, height=height, aggregation=aggregation,
                   latitude=latitude, longitude=longitude,
                   latitude_from=f"the source: median of {latitude_from}" if latitude_from else None,
                   longitude_from=f"the source: median of {longitude_from}" if longitude_from else None,
                   chosen=chosen, notes=notes, details=details, **fields)
