"""A logger's own table in the TOA5 layout.

Line 1 names the environment (``"TOA5","station","CR3000","serial","OS",
"program","signature","table"``), line 2 the columns, line 3 their units,
line 4 their processing (``Avg``, ``Smp``, ``Tot``, ``WVc``, ...); then one
record per line: a quoted ``TIMESTAMP`` that marks the end of the interval
the record covers, ``RECORD`` (the logger's counter), and the values with
``"NAN"`` (or ``"INF"``) where a value is missing.
"""

import csv
import io
import os
import re

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.common import MISSING_TEXTS, refuse_control, station_of, text_numbers, unit_conversion
from pumak.stations.mapped import (apply_mapping_fields, check_columns, layout_of, mapped_stamps, read_mapping,
                                   with_body_emission)

BOM = b"\xef\xbb\xbf"
HEADER_LINES = 4
ENVIRONMENT = ("format", "station", "logger", "serial", "os", "program", "signature", "table")
TIME_FORMAT = "%Y-%m-%d %H:%M:%S"
# Records listed one by one in the provenance (the rest are counted).
LISTED = 20


def recognised(head):
    """True when the first bytes of a file are a TOA5 table's first line."""
    head = head.removeprefix(BOM)
    return head.startswith(b'"TOA5"') or head.startswith(b"TOA5,")


def _fields(path, number, line):
    """The fields of one line (CSV with double quotes)."""
    text = line.decode("utf-8", "replace").rstrip("\r")
    try:
        return next(csv.reader([text]), [])
    except csv.Error as error:
        raise SourceError(f"{path}:{number}: cannot read as a TOA5 line: {error}") from None


def read_toa5(path, mapping_path=None):
    """A TOA5 table as a `Station` in the units its line 3 (or the mapping) states.

    Parameters
    ----------
    path : str
        The table, as the logger software writes it.
    mapping_path : str
        A TOML mapping naming the columns (``ta_obs = "AirTC_Avg"``) and the
        logger clock's zone (``[time] zone = "UTC+01:00"``); a ``unit`` given
        there overrides line 3.

    Returns
    -------
    Station
        Stamps on the logger's clock, marking the end of the interval
        (``time.label`` of the mapping overrides it). Totals (``Tot`` in
        line 4) are summed to the hour, the surface distance takes the median,
        the rest the mean. `details` holds the logger of line 1, the
        repeated header blocks skipped, identical records dropped and gaps in
        ``RECORD``.

    Raises
    ------
    SourceError
        No mapping; a file that ends inside its header block; a line of
        another field count; an unknown unit (naming the file, the column and
        the unit); stamps repeated with other values or going backwards.
    """
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    raw = raw.removeprefix(BOM)
    refuse_control(path, raw)
    lines = raw.split(b"\n")
    del raw
    if lines and not lines[-1].strip():
        lines.pop()
    if len(lines) < HEADER_LINES:
        raise SourceError(f"{path}: ends inside its header block at line {len(lines)}: a TOA5 table has "
                          f"{HEADER_LINES} header lines (environment, names, units, processing)")
    environment, names, units, processing = (_fields(path, k + 1, lines[k]) for k in range(HEADER_LINES))
    for number, fields in ((3, units), (4, processing)):
        if len(fields) != len(names):
            raise SourceError(f"{path}:{number}: holds {len(fields)} fields, line 2 names {len(names)} columns")
    if len(set(names)) != len(names):
        twice = sorted({name for name in names if names.count(name) > 1})
        raise SourceError(f"{path}:2: column {twice[0]!r} named twice")
    logger = dict(zip(ENVIRONMENT, environment))
    if mapping_path is None:
        shown = ", ".join(f"{n} ({u})" if u else n for n, u in zip(names, units) if n not in ("TIMESTAMP", "RECORD"))
        raise SourceError(f"{path}: a TOA5 table (station {logger.get('station', '?')!r}, logger "
                          f"{logger.get('logger', '?')}, table {logger.get('table', '?')!r}): give --mapping FILE "
                          f"naming its columns and the logger clock's zone (docs/your_own_station.md); its columns: "
                          + (shown if len(shown) <= 300 else shown[:300].rsplit(", ", 1)[0] + ", ..."))
    mapping_path = os.fspath(mapping_path)
    mapping = read_mapping(mapping_path, toa5=True)
    time_columns = check_columns(mapping, mapping_path, path, names)

    kept, numbers, repeated, block_of = [], [], [], []
    blocks = [(1, units, processing)]
    commas = lines[1].count(b",")
    names_line = lines[1].rstrip(b"\r")
    k = HEADER_LINES
    while k < len(lines):
        line = lines[k]
        if line.startswith((b'"TOA5"', b"TOA5,")):
            if k + 1 >= len(lines) or lines[k + 1].rstrip(b"\r") != names_line:
                raise SourceError(f"{path}:{k + 2}: a header block repeated at line {k + 1} names other columns "
                                  f"than line 2")
            blocks.append((k + 1, *_block_lines(path, lines, k, names, time_columns)))
            repeated.append(k + 1)
            k += HEADER_LINES
            continue
        if line.strip():
            if line.count(b",") != commas:
                count = len(_fields(path, k + 1, line))
                if count != len(names):
                    raise SourceError(f"{path}:{k + 1}: holds {count} fields, line 2 names {len(names)} columns")
            kept.append(line)
            numbers.append(k + 1)
            block_of.append(len(blocks) - 1)
        k += 1
    del lines
    numbers = np.asarray(numbers, dtype=int)
    if len(kept) < 2:
        raise SourceError(f"{path}: fewer than two records")

    entries = list(mapping["columns"].values())
    wanted = [e["column"] for e in entries] + [e["body_temperature"] for e in entries if e["body_temperature"]]
    wanted += [mapping[w]["column"] for w in ("latitude", "longitude") if isinstance(mapping.get(w), dict)]
    numeric = sorted(set(wanted + (["RECORD"] if "RECORD" in names else [])) - set(time_columns))
    markers = sorted(set(MISSING_TEXTS) | set(mapping["missing"]) | {m for e in entries for m in e["missing"]})
    table = _table(path, b"\n".join(kept), names, time_columns, numeric, markers, numbers)
    del kept

    details = {"logger": logger}
    notes = []
    conversions = _convert_blocks(path, mapping, names, blocks, np.asarray(block_of, dtype=int), table)
    if repeated:
        details["repeated_header_blocks"] = repeated
        notes.append(f"{len(repeated)} repeated header block(s) skipped (line {', '.join(map(str, repeated[:5]))}"
                     f"{', ...' if len(repeated) > 5 else ''})")
    if "RECORD" in table:
        gaps = _record_gaps(table["RECORD"].to_numpy(), numbers)
        if gaps:
            details["record_counter_gaps"] = {"count": len(gaps), "first": gaps[:LISTED]}
            notes.append(f"RECORD: {len(gaps)} break(s) in the logger's record counter, the first {gaps[0]}")

    texts = table[time_columns].astype(str).agg(" ".join, axis=1) if len(time_columns) > 1 else table[time_columns[0]]
    what = " ".join(time_columns)
    stamps, raw, carried = mapped_stamps(path, mapping, mapping_path, texts, numbers, what, TIME_FORMAT)
    file_units = dict(zip(names, units))
    given = {e["column"] for e in entries if e["unit"]}
    layout = layout_of(mapping, mapping_path, f"TOA5 table {logger.get('table', '')!r} of logger "
                       f"{logger.get('logger', '')} (station {logger.get('station', '')!r}) through the mapping "
                       f"{mapping_path}", mapping["time"]["label"], file_units)
    layout["where"] = lambda column: (f"{mapping_path}: column {column!r} of {path}" if column in given
                                      else f"{path}:3: column {column!r}")
    processing = dict(zip(names, processing))
    aggregation = {}
    for quantity, entry in mapping["columns"].items():
        if processing.get(entry["column"], "").strip().lower() == "tot":
            aggregation["distance" if quantity == "surface_height" else quantity] = "sum"

    values_of = with_body_emission(lambda name: table[name].to_numpy(dtype=float), mapping)
    station = station_of(path, layout, stamps, table.columns, values_of,
                         lines=numbers, raw=raw, what=what, details=details, aggregation=aggregation)
    station.notes[:0] = notes
    station.conversions[:0] = conversions
    return apply_mapping_fields(station, mapping, mapping_path, carried)


def _block_lines(path, lines, k, names, time_columns):
    """The units and processing lines of a header block repeated at line k + 1; refused when cut short."""
    time_index = names.index(time_columns[0])
    found = []
    for offset, what in ((2, "units"), (3, "processing")):
        number = k + offset + 1
        fields = _fields(path, number, lines[k + offset]) if k + offset < len(lines) else None
        if fields is None or len(fields) != len(names) or _STAMP.match(fields[time_index].strip()):
            raise SourceError(f"{path}:{number}: the header block repeated at line {k + 1} is cut short: expected "
                              f"its {what} line (line {offset + 1} of a block), found "
                              + ("the end of the file" if fields is None else "a record" if len(fields) == len(names)
                                 else f"{len(fields)} fields"))
        found.append(fields)
    return found


def _convert_blocks(path, mapping, names, blocks, block_of, table):
    """Records after a repeated header block in the units of line 3, or the block refused naming its line.

    A column the mapping uses whose unit changes in a block is converted
    (km/h to the m/s of line 3) when the unit comes from the file; a change
    of its processing (Avg to Tot), of a unit the mapping gives, or of a
    column that holds no quantity is refused.
    """
    conversions = []
    index = {name: i for i, name in enumerate(names)}
    quantities = {entry["column"]: ("distance" if quantity == "surface_height" else quantity, entry["unit"])
                  for quantity, entry in mapping["columns"].items()}
    others = [entry["body_temperature"] for entry in mapping["columns"].values() if entry["body_temperature"]]
    others += [mapping[w]["column"] for w in ("latitude", "longitude") if isinstance(mapping.get(w), dict)]
    _, units, processing = blocks[0]
    for b, (start, block_units, block_processing) in enumerate(blocks[1:], 1):
        for column in list(quantities) + others:
            i = index[column]
            if block_processing[i].strip().lower() != processing[i].strip().lower():
                raise SourceError(f"{path}:{start + 3}: column {column!r}: processing {block_processing[i]!r} in the "
                                  f"header block repeated at line {start}, {processing[i]!r} in line 4: one column "
                                  f"cannot be read both ways")
            if block_units[i].strip() == units[i].strip():
                continue
            if column not in quantities or quantities[column][1]:
                given = "the mapping's unit" if column in quantities else "a column read without a unit conversion"
                raise SourceError(f"{path}:{start + 2}: column {column!r}: unit {block_units[i]!r} in the header block "
                                  f"repeated at line {start}, {units[i]!r} in line 3; {given} cannot hold for both")
            quantity = quantities[column][0]
            factor, offset = unit_conversion(quantity, block_units[i], f"{path}:{start + 2}: column {column!r}")
            first, first_offset = unit_conversion(quantity, units[i], f"{path}:3: column {column!r}")
            rows = block_of == b
            if rows.any():
                values = table[column].to_numpy(dtype=float).copy()
                values[rows] = (values[rows] * factor + offset - first_offset) / first
                table[column] = values
            conversions.append(f"{column}: {int(rows.sum())} record(s) after the header block repeated at line {start} "
                         f"converted from {block_units[i]} to {units[i]} of line 3")
    return conversions


# The start of a time stamp, which no units or processing line holds.
_STAMP = re.compile(r"\d{4}-\d{1,2}-\d{1,2}")


def _table(path, data, names, text_columns, numeric, markers, numbers):
    """The wanted columns of the records: time columns as text, the others as numbers (NaN where missing)."""
    options = dict(header=None, names=names, usecols=text_columns + numeric, na_values=markers,
                   keep_default_na=False, encoding="utf-8", encoding_errors="replace", quotechar='"')
    try:
        table = pd.read_csv(io.BytesIO(data), dtype={**{c: str for c in text_columns},
                                                    **{c: np.float64 for c in numeric}}, **options)
    except (ValueError, TypeError, pd.errors.ParserError):
        # a field that is not a number (or overflows, 1e999): read as text to name its line or make it missing
        table = pd.read_csv(io.BytesIO(data), dtype=str, **options)
        for column in numeric:
            table[column] = text_numbers(path, table.fillna({column: ""}), numbers, column)
    if len(table) != len(numbers):
        raise SourceError(f"{path}: holds {len(table)} records where {len(numbers)} lines were read")
    table[text_columns] = table[text_columns].fillna("")
    return table


def _record_gaps(record, numbers):
    """Breaks in the logger's RECORD counter: a jump or a restart, with the lines around it."""
    steps = np.diff(record)
    breaks = np.flatnonzero(np.isfinite(steps) & (steps != 1) & (steps != 0))
    gaps = []
    for i in breaks:
        a, b = int(record[i]), int(record[i + 1])
        what = f"{b - a - 1} record(s) missing" if b > a else "restarts"
        gaps.append(f"{a} at line {numbers[i]} to {b} at line {numbers[i + 1]} ({what})")
    return gaps
