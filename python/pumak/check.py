"""`pumak check RUN_DIR`: is a site fit to run, whoever wrote it?

The programs validate nothing: a humidity in percent, one NaN, a decimal
comma or a record that runs over two lines all give a run that ends with
status 0. This module reads parameter.ini and the met file with the
programs' own reader (`pumak._core.scan_statements`), as far as the program
reads them, and reports one finding per mistake, `file:line: item: what`:
an error (exit status 1) or a warning (exit status 0). docs/check.md lists
what it can and cannot detect.
"""

import dataclasses
import datetime
import json
import math
import os
import re
import sys

import numpy as np

from pumak import _core
from pumak.cli import parser as command_parser
from pumak.cli import run as run_command
from pumak.errors import InputError
from pumak.layout import (FIXED_FORCING_COLUMNS, HOURS_PER_DAY, INTEGER_COLUMNS, MAX_RUN_DAYS, MET_COLUMNS, MET_KINDS,
                          PARAMETER_KINDS, STATEMENTS, items_in_layout)
from pumak.model import program_name, read_provenance
from pumak.stations.quantities import plausible
from pumak.surface import unusable

# Outgoing longwave of a surface at the melting point, sigma * 273.15^4 (W m-2).
MELTING_LONGWAVE = 315.64
# Outgoing longwave may exceed the melting surface's emission by this much (W m-2): the
# reflected part of the incoming longwave (emissivity 0.97-0.99) and a pyrgeometer's
# uncertainty (a few per cent) stay below it.
LONGWAVE_MARGIN = 10.0
# Share of the hours above the melting emission plus the margin that makes a finding.
LONGWAVE_SHARE = 0.5
# Colder air than this (°C) is not found at a glacier: a temperature in °C declared as kelvin.
COLDEST_AIR = plausible("ta_obs")[0]
# Shortwave above this while the model's sun is down is not twilight.
NIGHT_SHORTWAVE = 50.0
# A day counts as dark at noon when shortwave stays below this in hours 11 to 13
# while the model's sun stands higher than arccos(NOON_COS_ZENITH) above the horizon.
NOON_SHORTWAVE = 10.0
NOON_COS_ZENITH = 0.3
# The record's albedo: reflected over incoming shortwave in the hours ending 11 to 14
# local solar time, on days whose incoming shortwave there averages at least NOON_SUNLIT
# (W m-2); at least ALBEDO_DAYS such days are needed. A median further than ALBEDO_MARGIN
# from albedo_ice makes a finding.
NOON_HOURS = (11, 12, 13, 14)
NOON_SUNLIT = 100.0
ALBEDO_DAYS = 3
ALBEDO_MARGIN = 0.15
# The shortwave's mean daily cycle further than this (h) from the model's sun's is a clock
# error; at least CLOCK_DAYS days with the sun up and CLOCK_SHORTWAVE (W m-2) of daily
# mean shortwave are needed to tell.
CLOCK_TOLERANCE = 0.75
CLOCK_DAYS = 3
CLOCK_SHORTWAVE = 20.0
# Findings of the same kind listed one by one before they are summed up.
LISTED = 5


@dataclasses.dataclass
class Finding:
    """One thing check found: where (file, line, item or column), how bad, and what.

    ``shift_hours`` is set on a clock finding: the whole hours by which moving every
    record would make the shortwave follow the model's sun (negative: earlier).
    """
    file: str
    line: int          # None for the file as a whole
    column: str
    severity: str      # "error" or "warning"
    message: str
    shift_hours: int = None

    def __str__(self):
        where = f"{self.file}:{self.line}" if self.line is not None else self.file
        return f"{where}: {self.column}: {self.severity}: {self.message}"


def _display(path):
    return os.path.normpath(path)


class _Report:
    def __init__(self):
        self.findings = []

    def add(self, file, line, column, severity, message, **extra):
        self.findings.append(Finding(file, line, column, severity, message, **extra))


def _parameter_layouts(statements):
    items = items_in_layout(statements)
    return items, [[PARAMETER_KINDS[items[0]], PARAMETER_KINDS[items[1]]]] + \
        [["label", PARAMETER_KINDS[name]] for name in items[2:]]


def _parameters(run_dir, statements, report, strict):
    """met_file, latitude, n_days and albedo_ice as the program reads them, with their lines."""
    path = os.path.join(run_dir, "parameter.ini")
    shown = _display(path)
    items, layouts = _parameter_layouts(statements)
    try:
        scan = _core.scan_statements(path, layouts, statements)
    except InputError as error:
        report.add(shown, None, "parameter.ini", "error", error.message.replace(path, shown))
        return None
    first, last, texts = scan["first"], scan["last"], scan["texts"]
    read = len(first)
    stopped = False
    for problem in scan["problems"]:
        k, i = problem["statement"], problem["item"]
        name = items[i] if k == 0 else items[k + 1]
        if k > 0 and i == 0 and problem["reason"] != "ends_early":
            name = f"label before {name}"
        hint = ("; a slash ends an unquoted text: quote a file name that holds one ('sub/site.txt')"
                if k == 0 and problem["reason"] == "slash" else "")
        report.add(shown, problem["line"], name, "error", problem["message"] + hint)
        stopped = True
    if read < statements and not any(p["reason"] == "ends_early" for p in scan["problems"]):
        name = items[0] if read == 0 else items[read + 1]
        report.add(shown, int(last[-1]) if read else 1, name, "error", "the file ends before this value")
        stopped = True
    for k, name in enumerate(items[:2]):
        if read and len(texts[0]) > k and texts[0][k] is not None and "\0" in texts[0][k]:
            report.add(shown, int(first[0]), name, "error", "a file name cannot hold a NUL byte")
            stopped = True
    _labels(shown, items, scan, report, strict)
    _rests(shown, items, scan, report, strict)
    if stopped:
        return None

    def value(name):
        k = items.index(name)
        kind = PARAMETER_KINDS[name]
        line = int(last[max(k - 1, 0)])
        if kind == "text":
            return texts[0][k], line
        return (int(scan["integers"][k - 1, 1]) if kind == "integer" else float(scan["reals"][k - 1, 1])), line

    parameters = {name: value(name) for name in ("met_file", "latitude", "n_days", "albedo_ice")}
    for name, low, high, unit in (("latitude", -90.0, 90.0, "degrees north"), ("n_days", 0, MAX_RUN_DAYS, "days")):
        given, line = parameters[name]
        if not low <= given <= high:
            report.add(shown, line, name, "error", f"{given:g} is out of range ({low:g} to {high:g} {unit})")
            return None
    return parameters


def _labels(shown, items, scan, report, strict):
    """Labels naming another item (swapped or shifted lines); labels naming none under --strict."""
    names = {name.lower(): k for k, name in enumerate(items)}
    labels = {}
    for k in range(1, len(scan["first"])):
        texts = scan["texts"][k]
        if texts and texts[0] is not None:
            labels[k] = texts[0]
    lines = {k: int(scan["first"][k]) for k in labels}
    for k, label in labels.items():
        name, line = items[k + 1], lines[k]
        other = names.get(label.lower())
        if other is not None and other != k + 1:
            there = next((j for j, text in labels.items()           # the other line of a swapped pair
                          if text.lower() == name.lower() and items[j + 1].lower() == label.lower()), None)
            partner = (f"; line {lines[there]}, labelled {labels[there]!r}, is read as {items[there + 1]}: "
                       f"swapped lines?" if there is not None else
                       ": a line missing or added above? every later item shifts")
            report.add(shown, line, name, "error",
                       f"labelled {label!r}, the name of another item, but the program reads this value as "
                       f"{name} (statement {k + 1}){partner}")
        elif other is None and strict:
            report.add(shown, line, name, "warning",
                       f"label {label!r} is not the name of {name}, the item the program reads here (labels are "
                       f"free text; the program reads items by their position)")
        if scan["last"][k] > scan["first"][k] and scan["on_first_line"][k] == 1:
            if _NUMBER_START.match(label):
                report.add(shown, line, name, "error",
                           f"line {line} holds the number {label} where the program reads a label: a label "
                           f"missing? the program takes {name} from line {int(scan['last'][k])}, and every later "
                           f"item shifts")
            else:
                report.add(shown, line, name, "warning",
                           f"the label stands alone on line {line} and the program takes {name} from line "
                           f"{int(scan['last'][k])}: a value missing?")


_NUMBER_START = re.compile(r"[+-]?(\d|\.\d)")
_DECIMAL_COMMA = re.compile(r"\d,\d|^,\d")     # in what follows a line's 14th value


def _rests(shown, items, scan, report, strict):
    """More on a statement's line than its items: a decimal comma, a second value, a comment."""
    for k, rest in scan["rest"].items():
        name = items[0] if k == 0 else items[k + 1]
        line = int(scan["last"][k])
        text = rest.strip(" \t")
        kept = text.lstrip(", \t")
        if not kept or kept.startswith("/"):
            continue
        if k == 0:
            report.add(shown, line, name, "warning", f"the rest of the line ({kept!r}) is ignored: "
                       f"the program reads two file names from this line")
            continue
        value_text = scan["texts"][k][-1]
        read = scan["integers"][k, 1] if PARAMETER_KINDS[items[k + 1]] == "integer" else scan["reals"][k, 1]
        shown_value = f"{read:g}"
        if text.startswith(",") and re.match(r"\d", text[1:2] or "") and re.fullmatch(r"[+-]?\d+", value_text):
            report.add(shown, line, name, "error",
                       f"read as {shown_value}; the rest of the line ({kept!r}) is ignored: a decimal comma? "
                       f"write {value_text}.{re.match(r'[0-9]+', kept).group()}")
        elif _NUMBER_START.match(kept):
            report.add(shown, line, name, "warning",
                       f"the line holds more values than {name}: read as {shown_value}; the rest of the line "
                       f"({kept!r}) is ignored")
        elif strict:
            report.add(shown, line, name, "warning", f"read as {shown_value}; the rest of the line ({kept!r}) "
                       f"is ignored")


_MET_LAYOUT = [[MET_KINDS[name] for name in MET_COLUMNS]]


def _records(shown, scan, needed, report):
    """Problems of the records the program reads; which records are intact."""
    size = len(MET_COLUMNS)
    first, last = scan["first"], scan["last"]
    n = len(first)
    intact = np.ones(n, dtype=bool)
    listed = 0
    problems = [problem for problem in scan["problems"] if problem["statement"] < needed]
    for problem in problems:
        m = problem["statement"]
        intact[m] = False
        if problem["reason"] == "ends_early" and m + 1 == n:
            continue                  # said below, with the records n_days needs
        if listed < LISTED:
            report.add(shown, problem["line"], MET_COLUMNS[min(problem["item"], size - 1)], "error",
                       problem["message"])
        elif listed == LISTED:
            report.add(shown, problem["line"], "-", "error",
                       f"{len(problems) - LISTED} more records the program cannot read from here on")
        listed += 1
    split = np.flatnonzero(intact & (last > first))
    for m in split[:LISTED]:
        on_line = int(scan["on_first_line"][m])
        report.add(shown, int(first[m]), MET_COLUMNS[min(on_line, size - 1)], "error",
                   f"the line holds {on_line} of the {size} values: the record takes the rest from line "
                   f"{int(last[m])}, and every later record shifts")
        intact[m] = False
    extra = sorted(m for m, rest in scan["rest"].items() if rest.strip(" \t,") and m < needed)
    commas = [m for m in extra if _DECIMAL_COMMA.search(scan["rest"][m])]
    if commas:
        m = commas[0]
        report.add(shown, int(last[m]), "-", "error",
                   f"decimal commas? {len(commas)} line(s) hold more than {size} values with commas between digits "
                   f"(here the rest {scan['rest'][m].strip()[:40]!r} is ignored): the programs read 3,91 as two "
                   f"values, 3 and 91, and every later value of the line moves to the next column")
    elif extra:
        report.add(shown, int(last[extra[0]]), "-", "warning", f"more than {size} values on {len(extra)} line(s); "
                   f"the programs ignore the rest of a line")
    return intact


def _columns(scan):
    """The records' columns as the program types them: NaN where a value was not read."""
    columns = {}
    for index, name in enumerate(MET_COLUMNS):
        valid = scan["valid"][:, index]
        if name in INTEGER_COLUMNS:
            columns[name] = np.where(valid, scan["integers"][:, index], np.nan)
        else:
            columns[name] = scan["reals"][:, index]
    return columns


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


def estimated_columns(run_dir, provenance=None):
    """The met columns `pumak prepare` estimated (its provenance.json beside run/), as a set; empty without one."""
    provenance = _provenance(run_dir) if provenance is None else provenance
    estimated = (provenance or {}).get("estimated")
    return set(estimated) if isinstance(estimated, dict) else set()


def _values(shown, firsts, columns, readable, program, report, estimated=()):
    """NaN or Inf and units that look wrong, column by column."""
    replaced = FIXED_FORCING_COLUMNS if program != "pumak_metrun" else ()
    surface = unusable(np.where(readable, columns["sd_sensor"], np.nan), "sd_sensor")
    for name in MET_COLUMNS[5:]:
        if name in replaced or (name == "sd_sensor" and surface):
            continue
        values = columns[name]
        severity = "warning" if name in ("column_10", "sd_sensor") else "error"
        effect = ("it only feeds the results' sd_obs" if name == "sd_sensor" else "the model does not use it"
                  if name == "column_10" else "the model's melt, sd_calc and hole depth are NaN from there on")
        _flag(report, shown, firsts, name, readable & ~np.isfinite(values), severity,
              "NaN or Inf in {count}; " + effect)
    if surface:
        report.add(shown, int(firsts[0]), "sd_sensor", "warning",
                   f"{surface}; the run is fine, but its sd_obs cannot be compared with sd_calc")
    limits = [
        ("rh", lambda v: v > plausible("rh")[1], f"above {plausible('rh')[1]:g} in {{count}} (first {{value:g}}): "
                                                 f"humidity in percent? the model needs a fraction 0-1"),
        ("rh", lambda v: v < 0, "negative in {count} (first {value:g}): the model needs a fraction 0-1"),
        ("ta_obs", lambda v: v > plausible("ta_obs")[1], f"above {plausible('ta_obs')[1]:g} in {{count}} (first "
                                                         f"{{value:g}}): kelvin? the model needs °C"),
        ("ta_obs", lambda v: v < COLDEST_AIR, f"below {COLDEST_AIR:g} °C in {{count}} (first {{value:g}}): a "
                                              f"temperature in °C declared as kelvin? the model needs °C"),
        ("pressure", lambda v: (v < plausible("pressure")[0]) | (v > plausible("pressure")[1]),
         "outside {low:g}-{high:g} hPa in {{count}} (first {{value:g}}): Pa or kPa? the model needs hPa"
         .format(low=plausible("pressure")[0], high=plausible("pressure")[1])),
        ("wind", lambda v: v < 0, "negative wind speed in {count} (first {value:g})"),
        *[(name, lambda v, b=plausible(name): (v < b[0]) | (v > b[1]),
           "outside {0:g}-{1:g} W m-2 in {{count}} (first {{value:g}})".format(*plausible(name)))
          for name in ("lw_down", "lw_up")],
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
    if "lw_up" not in replaced and "lw_up" not in estimated:   # an estimate is no sensor to doubt
        _longwave(shown, firsts, columns["lw_up"], readable, report)


def _longwave(shown, firsts, lw_up, readable, report):
    """Outgoing longwave above what a melting surface emits, in most hours: the sensor, not the ice."""
    limit = MELTING_LONGWAVE + LONGWAVE_MARGIN
    valid = readable & np.isfinite(lw_up)
    with np.errstate(invalid="ignore"):
        above = valid & (lw_up > limit)
    if valid.sum() and above.sum() > LONGWAVE_SHARE * valid.sum():
        m = int(np.argmax(above))
        report.add(shown, int(firsts[m]), "lw_up", "warning",
                   f"above {limit:g} W m-2 in {int(above.sum())} of {int(valid.sum())} hours (first {lw_up[m]:g}, "
                   f"median {float(np.median(lw_up[valid])):.1f}): ice or snow at the melting point emits "
                   f"{MELTING_LONGWAVE} W m-2 and cannot be warmer; the sensor of outgoing longwave (the "
                   f"downward-facing pyrgeometer) or its temperature correction is off")


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


def _sky(sr, days, hour, usable, latitude):
    """The model's sun at `latitude` against the shortwave: night hours with light, dark noons, the hours' sun."""
    half_pi = np.float32(0.5) * np.float32(3.1415927)
    angle = np.asarray(_core.solar_angle(days, hour, latitude))
    before = np.asarray(_core.solar_angle(days, np.where(hour > 1, hour - 1, HOURS_PER_DAY).astype(np.int32),
                                          latitude))
    down = ~(half_pi > angle) & ~(half_pi > before)           # the whole hour, by the model's clock
    cos_zenith = np.clip(np.cos(angle.astype(float)), 0.0, None)
    # the sun of the hour each record covers: the mean of its two ends
    hour_sun = 0.5 * (cos_zenith + np.clip(np.cos(before.astype(float)), 0.0, None))
    n = len(sr)
    with np.errstate(invalid="ignore"):
        night = usable & down & (sr > NIGHT_SHORTWAVE)
        noon = np.flatnonzero((hour == 12) & usable & (cos_zenith >= NOON_COS_ZENITH))
        noon = noon[(noon >= 1) & (noon + 1 < n)]
        dark = noon[np.fmax(np.fmax(sr[noon - 1], sr[noon]), sr[noon + 1]) < NOON_SHORTWAVE]
    return night, noon, dark, hour_sun


def _far_off(night, noon, dark):
    """Whether the shortwave is hours away from the sun: light at night, or dark at noon on most days."""
    return night.sum() >= 3 or (dark.size >= 3 and 2 * dark.size >= noon.size)


def _fits(sr, days, hour, usable, latitude):
    """Whether the shortwave follows the model's sun at `latitude`: no finding of the clock would be made."""
    night, noon, dark, hour_sun = _sky(sr, days, hour, usable, latitude)
    if _far_off(night, noon, dark):
        return False
    lag = clock_offset(np.where(usable, sr, np.nan), hour_sun)
    return lag is None or abs(lag) < CLOCK_TOLERANCE


def _moved(values, shift):
    """The records moved `shift` hours later (NaN where none arrives)."""
    moved = np.full(len(values), np.nan)
    if shift >= 0:
        moved[shift:] = values[:len(values) - shift]
    else:
        moved[:shift] = values[-shift:]
    return moved


def _position_flips(sr, days, hour, usable, latitude, position):
    """Sign flips of the position under which the shortwave follows the sun, in words; empty when none does.

    `position` holds what the site's provenance says of the longitude: the
    longitude (degrees east) and the whole hours from UTC to local solar time
    taken from it; without them only the latitude is tried.
    """
    said = []
    if latitude != 0 and _fits(sr, days, hour, usable, -latitude):
        said.append(f"at latitude {-latitude:g} instead of {latitude:g} the shortwave follows the model's sun "
                    f"without a shift: the latitude's sign flipped? (degrees north; south is negative)")
    if position:
        longitude, offset = position
        flipped = int(np.floor(-longitude / 15.0 + 0.5))
        shift = flipped - offset
        if shift and _fits(_moved(sr, shift), days, hour, usable, latitude):
            said.append(f"at longitude {-longitude:g} instead of {longitude:g} (provenance.json) local solar time "
                        f"is UTC {flipped:+d} h, not {offset:+d} h, and the shortwave follows the model's sun: the "
                        f"longitude's sign flipped? (degrees east; west is negative)")
    return said


def _longitude_of(provenance):
    """(longitude, hours from UTC taken from it) from a site's provenance, or None where it does not say."""
    if not isinstance(provenance, dict):
        return None
    site, time = provenance.get("site"), provenance.get("time")
    if not isinstance(site, dict) or not isinstance(time, dict):
        return None
    longitude, offset = site.get("longitude"), time.get("utc_offset_hours")
    if not str(time.get("utc_offset_from", "")).startswith("longitude"):
        return None                 # the offset came from a zone or --utc-offset, not from this longitude
    if isinstance(longitude, bool) or not isinstance(longitude, (int, float)) or not math.isfinite(longitude) \
            or isinstance(offset, bool) or not isinstance(offset, int):
        return None
    return float(longitude), offset


def _sun(shown, firsts, columns, latitude, report, position=None):
    """Shortwave against the model's own sun for this latitude, day and hour: the clock, or the position."""
    sr, doy = columns["sr"], columns["doy"]
    usable = np.isfinite(doy)
    n = len(sr)
    hour = (np.arange(n) % HOURS_PER_DAY + 1).astype(np.int32)
    days = np.where(usable, doy, 1).astype(np.int32)
    night, noon, dark, hour_sun = _sky(sr, days, hour, usable, latitude)
    if not _far_off(night, noon, dark):
        _flag(report, shown, firsts, "sr", night, "warning", f"above {NIGHT_SHORTWAVE:g} W m-2 in {{count}} while "
              f"the model's sun is below the horizon for the whole hour")
        lag = clock_offset(np.where(usable, sr, np.nan), hour_sun)
        if lag is not None and abs(lag) >= CLOCK_TOLERANCE:
            flips = _position_flips(sr, days, hour, usable, latitude, position)
            _one_hour(shown, firsts, lag, flips, report)
        return
    flips = _position_flips(sr, days, hour, usable, latitude, position)
    first = "; ".join(flips) + "; otherwise " if flips else ""
    shift = _best_shift(sr, hour_sun, usable)
    advice = ("fits the model's sun best without a shift" if shift == 0 else
              f"fits the model's sun best with every record moved {abs(shift)} h "
              f"{'earlier' if shift < 0 else 'later'} (shift {shift:+d} h)")
    if night.any():
        _flag(report, shown, firsts, "sr", night, "error", f"{first}above {NIGHT_SHORTWAVE:g} W m-2 in {{count}} "
              f"while the model's sun is below the horizon for the whole hour; the shortwave {advice}: the hours "
              f"are not local solar time (UTC?)")
    else:
        m = int(dark[0])
        report.add(shown, int(firsts[m]), "sr", "error",
                   f"{first}near zero around solar noon on {dark.size} of {noon.size} days with the sun up; the "
                   f"shortwave {advice}: the hours are not local solar time, or the radiometer was covered")
    report.findings[-1].shift_hours = shift


def clock_offset(sr, hour_sun):
    """How many hours the shortwave's mean daily cycle lags the sun's, or None when the record cannot tell.

    Parameters
    ----------
    sr : array_like of float, shape (days * 24,)
        Hourly incoming shortwave (W m-2), record h of a day the hour ending at h local solar time.
    hour_sun : array_like of float, shape (days * 24,)
        The model's sun for the same hours: the cosine of its zenith angle, 0 below the horizon.

    Returns
    -------
    float or None
        The lag of the first harmonic of the mean daily cycle (h; positive: the shortwave comes late,
        so the records belong earlier); None with fewer than CLOCK_DAYS days of daily mean shortwave
        of at least CLOCK_SHORTWAVE W m-2 (polar night, a covered radiometer, a short record).
    """
    days = len(sr) // HOURS_PER_DAY
    sr = np.asarray(sr, dtype=float)[:days * HOURS_PER_DAY].reshape(days, HOURS_PER_DAY)
    sun = np.asarray(hour_sun, dtype=float)[:days * HOURS_PER_DAY].reshape(days, HOURS_PER_DAY)
    with np.errstate(invalid="ignore"):
        sunny = np.isfinite(sr).all(axis=1) & (np.nanmean(sr, axis=1) >= CLOCK_SHORTWAVE) & (sun.max(axis=1) > 0)
    if sunny.sum() < CLOCK_DAYS:
        return None
    turn = np.exp(-2j * np.pi * np.arange(1, HOURS_PER_DAY + 1) / HOURS_PER_DAY)
    phase = np.angle([sr[sunny].mean(axis=0) @ turn, sun[sunny].mean(axis=0) @ turn])
    lag = -(phase[0] - phase[1]) * HOURS_PER_DAY / (2 * np.pi)
    return float((lag + HOURS_PER_DAY / 2) % HOURS_PER_DAY - HOURS_PER_DAY / 2)


def _one_hour(shown, firsts, lag, flips, report):
    """A clock an hour off (a missed daylight-saving change, a zone rounded the wrong way), or a flipped position."""
    shift = -int(round(lag)) or (-1 if lag > 0 else 1)
    clock = (f"the shortwave's daily cycle comes {abs(lag):.1f} h {'later' if lag > 0 else 'earlier'} than the "
             f"model's sun: a clock {abs(shift)} h off? every record moved {abs(shift)} h "
             f"{'earlier' if shift < 0 else 'later'} fits the sun (shift {shift:+d} h)")
    if flips:   # a wrong position gives wrong results, not just a late hour
        report.add(shown, int(firsts[0]), "sr", "error", "; ".join(flips) + "; otherwise " + clock,
                   shift_hours=shift)
    else:
        report.add(shown, int(firsts[0]), "sr", "warning", clock, shift_hours=shift)


def _best_shift(sr, hour_sun, usable):
    """The whole hours by which to move the records so that shortwave follows the sun best."""
    best, best_score = 0, -np.inf
    values = np.where(usable & np.isfinite(sr), sr, np.nan)
    for shift in range(-12, 13):
        a = values[max(0, -shift):len(values) - max(0, shift)]
        b = hour_sun[max(0, shift):len(values) - max(0, -shift)]
        keep = np.isfinite(a)
        if keep.sum() < 3 or np.std(a[keep]) == 0 or np.std(b[keep]) == 0:
            continue
        score = np.corrcoef(a[keep], b[keep])[0, 1]
        if score > best_score + 1e-9:
            best, best_score = shift, score
    return best


def record_albedo(sr, reflected):
    """The record's albedo around solar noon, day by day, when the reflected shortwave is recorded.

    Parameters
    ----------
    sr, reflected : array_like of float, shape (days * 24,)
        Hourly incoming and reflected shortwave (W m-2); record h of a day is the hour ending at
        h local solar time.

    Returns
    -------
    numpy.ndarray of float, shape (sunlit days,)
        Reflected over incoming shortwave summed over the hours ending NOON_HOURS, on each day whose
        incoming shortwave there averages at least NOON_SUNLIT W m-2. Empty when `reflected` does
        not hold reflected shortwave (a third of those days or more outside 0.02 to 1).
    """
    days = len(sr) // HOURS_PER_DAY
    hours = np.asarray(NOON_HOURS) - 1
    incoming = np.asarray(sr, dtype=float)[:days * HOURS_PER_DAY].reshape(days, HOURS_PER_DAY)[:, hours]
    out = np.asarray(reflected, dtype=float)[:days * HOURS_PER_DAY].reshape(days, HOURS_PER_DAY)[:, hours]
    with np.errstate(invalid="ignore", divide="ignore"):
        sunlit = np.isfinite(incoming).all(axis=1) & np.isfinite(out).all(axis=1) & \
            (incoming.mean(axis=1) >= NOON_SUNLIT)
        albedo = out[sunlit].sum(axis=1) / incoming[sunlit].sum(axis=1)
    plausible = (albedo > 0.02) & (albedo <= 1.0)
    if albedo.size == 0 or plausible.sum() < 2 * albedo.size / 3:
        return np.empty(0)
    return albedo[plausible]


def _albedo(parameter_file, columns, readable, albedo_ice, report):
    """The record's albedo (column_10 / sr around solar noon) against the site's albedo_ice."""
    keep = readable & np.isfinite(columns["sr"]) & np.isfinite(columns["column_10"])
    albedo = record_albedo(np.where(keep, columns["sr"], np.nan), np.where(keep, columns["column_10"], np.nan))
    value, line = albedo_ice
    if albedo.size < ALBEDO_DAYS or any(f.file == parameter_file and f.line == line for f in report.findings):
        return                      # too few days, or albedo_ice itself is in question already
    median = float(np.median(albedo))
    if abs(median - value) > ALBEDO_MARGIN:
        low, high = np.percentile(albedo, [10, 90])
        report.add(parameter_file, line, "albedo_ice", "warning",
                   f"albedo_ice {value:g}, but the record's albedo around solar noon (column_10 / sr, hours "
                   f"{NOON_HOURS[0]}-{NOON_HOURS[-1]}) is {median:.2f} (median of {albedo.size} sunlit days, "
                   f"{low:.2f}-{high:.2f}): the bare ice of this site is {'darker' if median < value else 'brighter'}"
                   f" than the run assumes")


def check_site(run_dir, program="pumak_metrun", strict=False):
    """What the program would make of the site run from `run_dir`: the findings, in file order.

    Parameters
    ----------
    run_dir : str or os.PathLike
        The directory the program runs in (holds parameter.ini).
    program : str
        pumak_metrun, pumak_fixed_a or pumak_fixed_b (or metrun, fixed_a, fixed_b).
    strict : bool
        Also warn of labels in parameter.ini that name no item, and of text after a value.

    Returns
    -------
    list of Finding
        Errors (the run fails or its results are wrong) and warnings (worth a look).
    """
    program = program_name(program)
    run_dir = os.fspath(run_dir)
    report = _Report()
    parameter_file = _display(os.path.join(run_dir, "parameter.ini"))
    parameters = _parameters(run_dir, STATEMENTS[program], report, strict)
    if parameters is None:
        return sorted(report.findings, key=_order)
    met_file, met_file_line = parameters["met_file"]
    if not met_file.strip(" "):
        report.add(parameter_file, met_file_line, "met_file", "error", "blank: the program cannot open a met file")
        return sorted(report.findings, key=_order)
    path = _core.met_file_path(met_file, run_dir)
    shown = _display(path)
    n_days = parameters["n_days"][0]
    needed = n_days * HOURS_PER_DAY
    try:
        scan = _core.scan_statements(path, _MET_LAYOUT, needed + 1, texts=False)
    except InputError as error:
        report.add(parameter_file, met_file_line, "met_file", "error", error.message)
        return sorted(report.findings, key=_order)
    intact = _records(shown, scan, needed, report)
    firsts = scan["first"]
    read = len(firsts)
    complete = read - (1 if read and read <= needed and not intact[-1] and
                       any(p["reason"] == "ends_early" and p["statement"] == read - 1 for p in scan["problems"])
                       else 0)
    if complete < needed:
        report.add(shown, int(scan["last"][-1]) if read else 1, "n_days", "error",
                   f"the file ends after {complete} records; n_days {n_days} in parameter.ini needs {needed}")
    elif read > needed:
        report.add(shown, int(firsts[needed]), "n_days", "warning", f"records from here on are not read: n_days "
                   f"{n_days} uses the {needed} records before this line")
    scan = {key: value[:needed] for key, value in scan.items() if key in ("first", "integers", "reals", "valid")}
    firsts, intact = scan["first"], intact[:needed]
    if not len(firsts):
        return sorted(report.findings, key=_order)
    columns = _columns(scan)
    readable = intact & scan["valid"].all(axis=1)
    _calendar(shown, firsts, columns, report)
    provenance = _provenance(run_dir)
    estimated = estimated_columns(run_dir, provenance)
    _values(shown, firsts, columns, readable, program, report, estimated)
    if program == "pumak_metrun":
        _sun(shown, firsts, columns, parameters["latitude"][0], report, _longitude_of(provenance))
        if not estimated & {"sr", "column_10"}:
            _albedo(parameter_file, columns, readable, parameters["albedo_ice"], report)
    return sorted(report.findings, key=_order)


def _provenance(run_dir):
    """The site's provenance.json (its estimates, the longitude its clock was set by); None where it has none or is
    unreadable."""
    try:
        return read_provenance(run_dir)
    except InputError:
        return None          # the programs do not read it: a broken one says nothing about the run


def _order(finding):
    """parameter.ini first (the program reads it first), then the met file; each by line."""
    return (os.path.basename(finding.file) != "parameter.ini", finding.file,
            finding.line if finding.line is not None else 0)


def as_json(run_dir, program, findings):
    """The findings as a JSON document: run_dir, program, counts of errors and warnings, findings."""
    return json.dumps({
        "run_dir": os.fspath(run_dir), "program": program,
        "errors": sum(f.severity == "error" for f in findings),
        "warnings": sum(f.severity == "warning" for f in findings),
        "findings": [dataclasses.asdict(f) for f in findings],
    }, indent=1, ensure_ascii=False)


def main(argv=None):
    """``pumak check RUN_DIR``: 0 clean or warnings only, 1 errors found, 2 bad input."""
    parser = command_parser("check", "Check a site before a run: parameter.ini and the met file, read as the "
                            "program reads them. Exit status 0: no error (warnings only), 1: errors, 2: bad input.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the directory the program runs in (holds parameter.ini)")
    parser.add_argument("--program", default="pumak_metrun", choices=sorted(STATEMENTS) + ["metrun", "fixed_a",
                                                                                             "fixed_b"])
    parser.add_argument("--strict", action="store_true", help="also warn of labels that name no item and of text "
                        "after a value in parameter.ini")
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")
    args = parser.parse_args(argv)

    def work():
        if not os.path.isdir(args.run_dir):
            raise InputError(f"{args.run_dir}: not a directory", file=args.run_dir)
        program = program_name(args.program)
        findings = check_site(args.run_dir, program, strict=args.strict)
        if args.json:
            print(as_json(args.run_dir, program, findings))
        else:
            for finding in findings:
                print(finding)
            errors = sum(f.severity == "error" for f in findings)
            print(f"{errors} error(s), {len(findings) - errors} warning(s)", file=sys.stderr)
        return 1 if any(f.severity == "error" for f in findings) else 0

    return run_command("check", work)
