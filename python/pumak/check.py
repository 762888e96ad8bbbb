"""`pumak check RUN_DIR`: is a site fit to run, whoever wrote it?

The programs validate nothing: a humidity in percent, one NaN or a record
that runs over two lines all give a run that ends with status 0. This
module reads parameter.ini and the met file as the programs do, line by
line, and reports one finding per line, `file:line: column: what`: an
error (exit status 1) or a warning (exit status 0).
"""

import argparse
import dataclasses
import datetime
import json
import math
import os
import re
import sys

import numpy as np

from pumak.layout import (FIXED_FORCING_COLUMNS, HOURS_PER_DAY, INTEGER_COLUMNS, INTEGER_ITEMS, MAX_RUN_DAYS,
                          MET_COLUMNS, MET_DIRECTORY, STATEMENTS, TEXT_ITEMS, items_in_layout, program_name)

# Outgoing longwave of a surface at the melting point, sigma * 273.15^4.
MELTING_LONGWAVE = 315.64
# Shortwave above this while the model's sun is down is not twilight.
NIGHT_SHORTWAVE = 50.0
# A day counts as dark at noon when shortwave stays below this in hours 11 to 13
# while the model's sun stands higher than arccos(NOON_COS_ZENITH) above the horizon.
NOON_SHORTWAVE = 10.0
NOON_COS_ZENITH = 0.3
# Findings of the same kind listed one by one before they are summed up.
LISTED = 5

_INTEGER = re.compile(r"[+-]?\d+")
_REAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?|[+-]?(inf|infinity)|nan", re.IGNORECASE)


@dataclasses.dataclass
class Finding:
    file: str
    line: int          # None for the file as a whole
    column: str
    severity: str      # "error" or "warning"
    message: str
    shift_hours: int = None

    def __str__(self):
        where = f"{self.file}:{self.line}" if self.line is not None else self.file
        return f"{where}: {self.column}: {self.severity}: {self.message}"


@dataclasses.dataclass
class Statement:
    first: int                     # line numbers, from 1
    last: int
    values: list                   # texts; None for a null value
    slash: bool = False            # a slash ended it before all its values
    unclosed: bool = False         # a quoted text without its closing mark
    extra: bool = False            # more text after its last value on the line


def _quoted(text, p):
    """The delimited text starting at p and the position after it, or None."""
    mark, value, p = text[p], [], p + 1
    while p < len(text):
        if text[p] == mark:
            if p + 1 < len(text) and text[p + 1] == mark:
                value.append(mark)
                p += 2
                continue
            return "".join(value), p + 1
        value.append(text[p])
        p += 1
    return None


def read_statements(lines, size):
    """The statements of a file by the reading rules, each of `size` values."""
    i = 0
    while True:
        while i < len(lines) and not lines[i].strip():
            i += 1
        if i >= len(lines):
            return
        statement, comma = Statement(first=i + 1, last=i + 1, values=[]), False
        values = statement.values
        while i < len(lines) and len(values) < size:
            text, p = lines[i].rstrip("\r"), 0
            statement.last = i + 1
            i += 1
            if not (set(text) & set(",/'\"")):    # the common plain line
                tokens = text.split()
                taken = tokens[:size - len(values)]
                values.extend(taken)
                statement.extra = len(tokens) > len(taken)
                comma = comma and not tokens
                continue
            while p < len(text) and len(values) < size:
                c = text[p]
                if c in " \t":
                    p += 1
                elif c == ",":
                    if comma or not values:
                        values.append(None)
                    comma, p = True, p + 1
                elif c == "/":
                    statement.slash = True
                    break
                elif c in "'\"":
                    quoted = _quoted(text, p)
                    if quoted is None:
                        statement.unclosed = True
                        break
                    values.append(quoted[0])
                    comma, p = False, quoted[1]
                else:
                    end = p
                    while end < len(text) and text[end] not in " \t,/":
                        end += 1
                    values.append(text[p:end])
                    comma, p = False, end
            else:
                statement.extra = len(values) == size and bool(text[p:].strip(" \t,"))
                continue
            break
        yield statement


def _display(path):
    return os.path.normpath(path)


class _Report:
    def __init__(self):
        self.findings = []

    def add(self, file, line, column, severity, message, **extra):
        self.findings.append(Finding(file, line, column, severity, message, **extra))


def _read_lines(path):
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as stream:
        lines = stream.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def _parameters(run_dir, statements, report):
    """met_file, latitude and n_days as the program reads them, with their lines."""
    path = os.path.join(run_dir, "parameter.ini")
    shown = _display(path)
    try:
        lines = _read_lines(path)
    except OSError as error:
        report.add(shown, None, "parameter.ini", "error", f"cannot open: {error.strerror}")
        return None
    items, found = items_in_layout(statements), {}
    for index, statement in zip(range(statements), read_statements(lines, 2)):
        names = items[:2] if index == 0 else (None, items[index + 1])
        for position, (name, value) in enumerate(zip(names, statement.values + [None, None])):
            if name is not None:
                found[name] = (value, statement.first if position == 0 and value is not None else statement.last)
    library = _library_reading(run_dir, statements, shown, report)
    if library is False:
        return None
    for name in items:
        value, line = found.get(name, (None, max(1, len(lines))))
        kind = "integer" if name in INTEGER_ITEMS else "text" if name in TEXT_ITEMS else "real"
        pattern = {"integer": _INTEGER, "real": _REAL}.get(kind)
        if value is None or (pattern and not pattern.fullmatch(value)):
            why = "the file ends before this value" if name not in found else \
                "no value" if value is None else f"expected {'an' if kind == 'integer' else 'a'} {kind}, found {value!r}"
            report.add(shown, line, name, "error", why)
            return None
    parameters = {"met_file": found["met_file"][0], "latitude": _real(found["latitude"][0]),
                  "n_days": int(found["n_days"][0]), "met_file_line": found["met_file"][1]}
    if library:
        parameters.update(library)
    if not -90.0 <= parameters["latitude"] <= 90.0 or not 0 <= parameters["n_days"] <= MAX_RUN_DAYS:
        name = "latitude" if not -90.0 <= parameters["latitude"] <= 90.0 else "n_days"
        report.add(shown, found[name][1], name, "error", f"{found[name][0]} is out of range "
                   f"({'-90 to 90 degrees north' if name == 'latitude' else f'0 to {MAX_RUN_DAYS} days'})")
        return None
    return parameters


def _library_reading(run_dir, statements, shown, report):
    """latitude and n_days as the library reads them; False when it refuses parameter.ini; None without it."""
    try:
        from pumak import InputError, read_site
    except (ImportError, AttributeError):
        return None
    program = next(name for name, count in STATEMENTS.items() if count == statements)
    try:
        site = read_site(run_dir, program)
    except InputError as error:
        if os.path.basename(str(error.file)) != "parameter.ini":
            return None             # the met file's lines are checked one by one below
        message = str(error.message)
        prefix = f"{error.file}:{error.line}: {error.item}: "
        report.add(shown, error.line, error.item or "-", "error",
                   message[len(prefix):] if message.startswith(prefix) else message)
        return False
    return {"latitude": float(site.parameters["latitude"]), "n_days": int(site.parameters["n_days"])}


def _real(text):
    if text is None or not _REAL.fullmatch(text):
        return None
    return float(np.float32(float(text.replace("d", "e").replace("D", "e"))))


def _records(path, lines, report):
    """The met file's records as the program reads them, and the line each starts on."""
    shown, size = _display(path), len(MET_COLUMNS)
    records, firsts, extra, intact = [], [], [], []
    for statement in read_statements(lines, size):
        values, problem = statement.values, None
        if None in values:
            problem = values.index(None), "an empty field between commas: no value"
        elif statement.slash:
            problem = len(values), "a slash ends the record before this value"
        elif statement.unclosed:
            problem = len(values), "a quoted text without its closing mark on the line"
        elif len(values) < size:
            problem = len(values), "the file ends inside this record"
        elif statement.last > statement.first:
            on_line = len(next(read_statements([lines[statement.first - 1]], size)).values)
            problem = on_line, (f"the line holds {on_line} of the {size} values: the record takes the rest from "
                                f"line {statement.last}, and every later record shifts")
        if problem:
            report.add(shown, statement.first, MET_COLUMNS[min(problem[0], size - 1)], "error", problem[1])
        if statement.extra:
            extra.append(statement.first)
        records.append((values + [None] * size)[:size])
        firsts.append(statement.first)
        intact.append(problem is None)
    if extra:
        report.add(shown, extra[0], "-", "warning", f"more than {size} values on {len(extra)} line(s); the "
                   f"programs ignore the rest of a line")
    return records, np.asarray(firsts, dtype=int), np.asarray(intact, dtype=bool)


def _columns(path, records, firsts, report):
    """Integer and real columns of the records; a value that cannot be read is reported and left NaN."""
    columns, unreadable = {}, {}
    for index, name in enumerate(MET_COLUMNS):
        integer = name in INTEGER_COLUMNS
        pattern = _INTEGER if integer else _REAL
        values = np.full(len(records), np.nan)
        for m, record in enumerate(records):
            text = record[index]
            if text is not None and pattern.fullmatch(text) and (not integer or abs(int(text)) < 2**31):
                values[m] = float(text.replace("d", "e").replace("D", "e"))
            elif text is not None:
                unreadable.setdefault(m, (name, f"expected {'an integer' if integer else 'a real'}, found {text!r}"))
        columns[name] = values if integer else values.astype(np.float32)
    shown, bad = _display(path), sorted(unreadable)
    for m in bad[:LISTED]:
        name, what = unreadable[m]
        report.add(shown, int(firsts[m]), name, "error", what)
    if len(bad) > LISTED:
        report.add(shown, int(firsts[bad[LISTED]]), "-", "error",
                   f"{len(bad) - LISTED} more records with values the program cannot read from here on")
    readable = np.ones(len(records), dtype=bool)
    readable[bad] = False
    return columns, readable


def _where(m):
    return f"day {m // HOURS_PER_DAY + 1} hour {m % HOURS_PER_DAY + 1} of the run"


def _flag(report, shown, firsts, name, mask, severity, what, values=None):
    """One finding for the records in `mask`: at the first, with their count."""
    where = np.flatnonzero(mask)
    if where.size == 0:
        return
    m = int(where[0])
    count = f"{where.size} record{'s' if where.size > 1 else ''}"
    text = what.format(count=count, value=values[m] if values is not None else None)
    more = ", ".join(str(firsts[k]) for k in where[1:4]) + (", ..." if where.size > 4 else "")
    report.add(shown, int(firsts[m]), name, severity,
               f"{text} (first at {_where(m)}{'; also line' + 's' * (where.size > 2) + ' ' + more if more else ''})")


def _values(shown, firsts, columns, readable, program, report):
    """NaN or Inf and units that look wrong, column by column."""
    replaced = FIXED_FORCING_COLUMNS if program != "pumak_metrun" else ()
    for name in MET_COLUMNS[5:]:
        if name in replaced:
            continue
        values = columns[name]
        severity = "warning" if name in ("column_10", "sd_sensor") else "error"
        effect = ("it only feeds the results' sd_obs" if name == "sd_sensor" else "the model does not use it"
                  if name == "column_10" else "the model's melt, sd_calc and hole depth are NaN from there on")
        _flag(report, shown, firsts, name, readable & ~np.isfinite(values), severity,
              "NaN or Inf in {count}; " + effect)
    limits = [
        ("rh", lambda v: v > 1.5, "above 1.5 in {count} (first {value:g}): humidity in percent? the model needs "
                                  "a fraction 0-1"),
        ("rh", lambda v: v < 0, "negative in {count} (first {value:g}): the model needs a fraction 0-1"),
        ("ta_obs", lambda v: v > 100, "above 100 in {count} (first {value:g}): kelvin? the model needs °C"),
        ("pressure", lambda v: (v < 300) | (v > 1100), "outside 300-1100 hPa in {count} (first {value:g}): "
                                                       "Pa or kPa? the model needs hPa"),
        ("wind", lambda v: v < 0, "negative wind speed in {count} (first {value:g})"),
        ("lw_down", lambda v: (v < 50) | (v > 700), "outside 50-700 W m-2 in {count} (first {value:g})"),
        ("lw_up", lambda v: (v < 50) | (v > 700), "outside 50-700 W m-2 in {count} (first {value:g})"),
    ]
    for name, test, what in limits:
        if name not in replaced:
            values = columns[name]
            with np.errstate(invalid="ignore"):
                _flag(report, shown, firsts, name, readable & test(values) & np.isfinite(values), "error", what,
                      values)
    if "sr" not in replaced:
        values = columns["sr"]
        _flag(report, shown, firsts, "sr", values < 0, "warning",
              "negative shortwave in {count} (first {value:g})", values)
    if "lw_up" not in replaced and np.isfinite(columns["lw_up"]).any():
        m = int(np.nanargmax(columns["lw_up"]))
        if columns["lw_up"][m] < MELTING_LONGWAVE:
            report.add(shown, int(firsts[m]), "lw_up", "warning",
                       f"outgoing longwave never reaches {MELTING_LONGWAVE} W m-2, the melting surface's "
                       f"(highest {columns['lw_up'][m]:g} here): the ice stays below 0 °C and nothing melts")


def _calendar(shown, firsts, columns, report):
    """Hour labels, day of year, month and day against each record's position."""
    n = len(firsts)
    position = np.arange(n)
    hour = position % HOURS_PER_DAY + 1
    obs_hour, doy = columns["obs_hour"], columns["doy"]
    usable = np.isfinite(obs_hour)
    if not usable.any():
        return
    offset = np.where(usable, (obs_hour - hour) % HOURS_PER_DAY, np.nan)
    base = offset[np.argmax(usable)]
    if base not in (0, HOURS_PER_DAY - 1):
        m = int(np.argmax(usable))
        report.add(shown, int(firsts[m]), "obs_hour", "warning",
                   f"labelled hour {obs_hour[m]:g} but feeds the model's hour {hour[m]}: the file does not start "
                   f"with the first hour of a local solar day (hour 1 ends at 01:00 local solar time)")
    previous = np.concatenate([[base], offset[:-1]])
    breaks = np.flatnonzero(usable & np.isfinite(previous) & (offset != previous))
    for m in breaks[:LISTED]:
        expected = (hour[m] + base - 1) % HOURS_PER_DAY + 1
        report.add(shown, int(firsts[m]), "obs_hour", "error",
                   f"hour {obs_hour[m]:g} where the sequence needs {expected:g} ({_where(m)}): a record "
                   f"is missing or repeated before this line, so later records feed other hours than their labels")
    if breaks.size > LISTED:
        report.add(shown, int(firsts[breaks[LISTED]]), "obs_hour", "error",
                   f"{breaks.size - LISTED} more breaks of the hour sequence from here on")
    day_start = position - (hour - 1)
    within = np.isfinite(doy) & (doy != doy[day_start]) & (hour < HOURS_PER_DAY)
    _flag(report, shown, firsts, "doy", within, "warning",
          "day of year changes within the model's day ({count}); the sun takes each record's doy")
    first_doy = doy[position[hour == 1]]
    step = np.diff(first_doy)
    wrap = (first_doy[:-1] >= 365) & (first_doy[1:] == 1)
    jumps = np.zeros(n, dtype=bool)
    jumps[position[hour == 1][1:][np.isfinite(step) & (step != 1) & ~wrap]] = True
    _flag(report, shown, firsts, "doy", jumps, "warning",
          "day of year does not follow the previous day's ({count}): a day missing or repeated?")
    _dates(shown, firsts, columns, report)


def _dates(shown, firsts, columns, report):
    bad = np.zeros(len(firsts), dtype=bool)
    seen = {}
    for m, (year, month, day, doy) in enumerate(zip(columns["column_1"], columns["month"], columns["day"],
                                                     columns["doy"])):
        key = (year, month, day, doy)
        if key not in seen:
            seen[key] = _date_fits(year, month, day, doy)
        bad[m] = not seen[key]
    _flag(report, shown, firsts, "month", bad, "warning", "month, day and doy do not name the same day ({count})")


def _date_fits(year, month, day, doy):
    """Whether month and day name the day of year doy (or the day before: hour 24 may carry the next)."""
    if not all(math.isfinite(v) for v in (month, day, doy)):
        return True
    years = [int(year)] if math.isfinite(year) and 1800 <= year <= 2200 else [2001, 2004]
    for y in years:
        try:
            date = datetime.date(y, int(month), int(day))
        except ValueError:
            continue
        if doy in (date.timetuple().tm_yday, date.timetuple().tm_yday + 1) or (doy == 1 and month == 12 and day == 31):
            return True
    return False


def _sun(shown, firsts, columns, latitude, report):
    """Shortwave against the model's own sun for this latitude, day and hour."""
    try:
        from pumak._core import solar_angle
    except ImportError:
        report.add(shown, None, "sr", "warning", "not compared with the sun: the compiled module pumak._core "
                   "is not available")
        return
    sr, doy = columns["sr"], columns["doy"]
    usable = np.isfinite(doy)
    n = len(sr)
    hour = (np.arange(n) % HOURS_PER_DAY + 1).astype(np.int32)
    days = np.where(usable, doy, 1).astype(np.int32)
    half_pi = np.float32(0.5) * np.float32(3.1415927)
    angle = np.asarray(solar_angle(days, hour, latitude))
    before = np.asarray(solar_angle(days, np.where(hour > 1, hour - 1, HOURS_PER_DAY).astype(np.int32), latitude))
    down = ~(half_pi > angle) & ~(half_pi > before)           # the whole hour, by the model's clock
    with np.errstate(invalid="ignore"):
        night = usable & down & (sr > NIGHT_SHORTWAVE)
        cos_zenith = np.clip(np.cos(angle.astype(float)), 0.0, None)
        noon = np.flatnonzero((hour == 12) & usable & (cos_zenith >= NOON_COS_ZENITH))
        noon = noon[(noon >= 1) & (noon + 1 < n)]
        dark = noon[np.fmax(np.fmax(sr[noon - 1], sr[noon]), sr[noon + 1]) < NOON_SHORTWAVE]
    if night.sum() < 3 and not (dark.size >= 3 and 2 * dark.size >= noon.size):
        _flag(report, shown, firsts, "sr", night, "warning", f"above {NIGHT_SHORTWAVE:g} W m-2 in {{count}} while "
              f"the model's sun is below the horizon for the whole hour")
        return
    shift = _best_shift(sr, cos_zenith, usable)
    advice = ("fits the model's sun best without a shift" if shift == 0 else
              f"fits the model's sun best with every record moved {abs(shift)} h "
              f"{'earlier' if shift < 0 else 'later'} (shift {shift:+d} h)")
    if night.any():
        _flag(report, shown, firsts, "sr", night, "error", f"above {NIGHT_SHORTWAVE:g} W m-2 in {{count}} while "
              f"the model's sun is below the horizon for the whole hour; the shortwave {advice}: the hours are "
              f"not local solar time (UTC?)")
    else:
        m = int(dark[0])
        report.add(shown, int(firsts[m]), "sr", "error",
                   f"near zero around solar noon on {dark.size} of {noon.size} days with the sun up; the shortwave "
                   f"{advice}: the hours are not local solar time, or the radiometer was covered")
    report.findings[-1].shift_hours = shift


def _best_shift(sr, cos_zenith, usable):
    """The whole hours by which to move the records so that shortwave follows the sun best."""
    best, best_score = 0, -np.inf
    values = np.where(usable & np.isfinite(sr), sr, np.nan)
    for shift in range(-12, 13):
        a = values[max(0, -shift):len(values) - max(0, shift)]
        b = cos_zenith[max(0, shift):len(values) - max(0, -shift)]
        keep = np.isfinite(a)
        if keep.sum() < 3 or np.std(a[keep]) == 0 or np.std(b[keep]) == 0:
            continue
        score = np.corrcoef(a[keep], b[keep])[0, 1]
        if score > best_score + 1e-9:
            best, best_score = shift, score
    return best


def check_site(run_dir, program="pumak_metrun"):
    """The findings on the site run from `run_dir` by `program`, in file order."""
    program = program_name(program)
    report = _Report()
    parameters = _parameters(os.fspath(run_dir), STATEMENTS[program], report)
    if parameters is None:
        return report.findings
    path = os.path.join(os.fspath(run_dir), *MET_DIRECTORY, parameters["met_file"])
    shown = _display(path)
    try:
        lines = _read_lines(path)
    except OSError as error:
        report.add(_display(os.path.join(run_dir, "parameter.ini")), parameters["met_file_line"], "met_file",
                   "error", f"cannot open {shown}: {error.strerror}")
        return report.findings
    records, firsts, intact = _records(path, lines, report)
    needed = parameters["n_days"] * HOURS_PER_DAY
    if len(records) < needed:
        report.add(shown, len(lines), "n_days", "error", f"the file ends after {len(records)} records; n_days "
                   f"{parameters['n_days']} in parameter.ini needs {needed}")
    elif len(records) > needed:
        report.add(shown, int(firsts[needed]), "n_days", "warning", f"records from here on are not read: n_days "
                   f"{parameters['n_days']} uses {needed} of {len(records)} records")
    records, firsts, intact = records[:needed], firsts[:needed], intact[:needed]
    if not records:
        return sorted(report.findings, key=_order)
    columns, readable = _columns(path, records, firsts, report)
    _calendar(shown, firsts, columns, report)
    _values(shown, firsts, columns, readable & intact, program, report)
    if program == "pumak_metrun":
        _sun(shown, firsts, columns, parameters["latitude"], report)
    return sorted(report.findings, key=_order)


def _order(finding):
    return (finding.file, finding.line if finding.line is not None else 0)


def as_json(run_dir, program, findings):
    return json.dumps({
        "run_dir": os.fspath(run_dir), "program": program,
        "errors": sum(f.severity == "error" for f in findings),
        "warnings": sum(f.severity == "warning" for f in findings),
        "findings": [dataclasses.asdict(f) for f in findings],
    }, indent=1, ensure_ascii=False)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="pumak check", description="Check a site before a run: parameter.ini "
                                     "and the met file, as the program reads them.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the directory the program runs in (holds parameter.ini)")
    parser.add_argument("--program", default="pumak_metrun", choices=sorted(STATEMENTS) + ["metrun", "fixed_a",
                                                                                             "fixed_b"])
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.run_dir):
        print(f"pumak check: {args.run_dir}: not a directory", file=sys.stderr)
        return 2
    program = program_name(args.program)
    findings = check_site(args.run_dir, program)
    if args.json:
        print(as_json(args.run_dir, program, findings))
    else:
        for finding in findings:
            print(finding)
        errors = sum(f.severity == "error" for f in findings)
        print(f"{errors} error(s), {len(findings) - errors} warning(s)", file=sys.stderr)
    return 1 if any(f.severity == "error" for f in findings) else 0
