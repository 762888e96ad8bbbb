"""`pumak prepare SOURCE --out SITE_DIR`: a station's own file becomes a site.

The site holds run/parameter.ini, data/met_lv3/<name>.txt and
provenance.json, which records every choice made on the way: the source
and its sha256, the variables chosen, each unit conversion, the time
shift and every hour filled or dropped.

Time: the programs feed record m to hour h = 1..24 of day d of the run and
take hour h as local solar time, the hour ending at h o'clock (hour 12 ends
at solar noon). The source's UTC time stamps are moved to local solar time
by the longitude (whole hours: the records are hourly), each record is
labelled by the end of the hour it covers, and only whole local days are
kept: a day starts with the hour ending 01:00 and ends with the hour ending
at midnight, which is hour 24 of that day.
"""

import argparse
import dataclasses
import hashlib
import json
import os
import re
import shutil
import sys
import tempfile
import tomllib

import numpy as np
import pandas as pd

from pumak import check, sitefiles, stations
from pumak.layout import HOURS_PER_DAY, INTEGER_ITEMS, MAX_RUN_DAYS, PARAMETER_ITEMS, STATEMENTS, TEXT_ITEMS
from pumak.stations import OPTIONAL, SourceError

# Items of parameter.ini that prepare does not take from the record: the
# values of the shipped example site (example/run/parameter.ini).
DEFAULT_PARAMETERS = {
    "albedo_cryo": 0.15, "albedo_ice": 0.51, "ta_offset": 0.0, "cryoconite_diameter": 100.0,
    "cryoconite_depth": 100.0, "sd_calc": 0.0, "ch": 0.002, "diffuse_mode": 0, "item_13": 0.0,
    "k_ice_direct": 1.0, "k_ice_diffuse": 1.0, "fixed_solar_angle": -1.0, "fixed_cryo_angle": -1.0,
}
# Items that always come from the record and the site's file names.
FROM_RECORD = ("met_file", "out_file", "latitude", "n_days")

DEFAULT_MAX_GAP = 3          # hours filled by linear interpolation
DEFAULT_JUMP = 0.10          # m: a larger change of the surface distance within one hour is reported
SD_REFERENCE = 0.1           # sd_obs = 0.1 - sd_sensor is the lowering since the first hour


@dataclasses.dataclass
class Prepared:
    site: str
    provenance: dict
    findings: list          # what check found on the new site

    @property
    def status(self):
        return 1 if any(f.severity == "error" for f in self.findings) else 0


class GapError(Exception):
    """Gaps longer than max_gap in a variable the model needs: exit status 1."""

    def __init__(self, source, gaps, max_gap):
        self.source, self.gaps, self.max_gap = source, gaps, max_gap
        super().__init__(f"{source}: {len(gaps)} gap(s) longer than {max_gap} h")

    def lines(self):
        for gap in self.gaps:
            yield (f"{self.source}: {gap['variable']}: gap of {gap['hours']} h from {gap['first']} to "
                   f"{gap['last']} (local solar time; UTC {gap['utc']})")
        yield (f"{self.source}: {len(self.gaps)} gap(s) longer than --max-gap {self.max_gap} h; nothing written "
               f"(--longest-complete keeps the longest period without them)")


class _Progress:
    """Stages of the work on a terminal; nothing when output goes elsewhere."""

    def __init__(self, stream=sys.stderr):
        self.stream = stream if stream.isatty() else None

    def __call__(self, text):
        if self.stream:
            self.stream.write(f"\r\033[Kprepare: {text}")
            self.stream.flush()

    def done(self):
        if self.stream:
            self.stream.write("\r\033[K")
            self.stream.flush()


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def read_parameter_defaults(path):
    """Items for the template from a TOML file (item = value) or another site's parameter.ini."""
    path = os.fspath(path)
    numeric = [name for name in PARAMETER_ITEMS if name not in TEXT_ITEMS]
    try:
        if path.endswith(".toml"):
            with open(path, "rb") as stream:
                given = tomllib.load(stream)
            where = {name: path for name in given}
        else:
            given, where = {}, {}
            for name, value, line in check.parameter_values(path):
                given[name] = value
                where[name] = f"{path}:{line}"
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise SourceError(f"{path}: not a TOML file: {error}") from None
    chosen, ignored = {}, []
    for name, value in given.items():
        if name not in numeric:
            raise SourceError(f"{where[name]}: {name}: not an item of parameter.ini")
        if name in FROM_RECORD:
            ignored.append(name)
            continue
        number = check.number(value) if value is not None else None
        if number is None or (name in INTEGER_ITEMS and number != int(number)):
            kind = "an integer" if name in INTEGER_ITEMS else "a real"
            raise SourceError(f"{where[name]}: {name}: expected {kind}, found {value!r}")
        chosen[name] = int(number) if name in INTEGER_ITEMS else number
    return chosen, ignored


def _runs(missing):
    """(start, stop) of each run of True."""
    edges = np.diff(np.concatenate([[0], missing.astype(np.int8), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def _label(local_end):
    """A local hour-ending time as its day and hour counter: 2023-12-01 hour 24."""
    start = local_end - pd.Timedelta(hours=1)
    return f"{start:%Y-%m-%d} hour {start.hour + 1}"


def _utc_offset(station, longitude, utc_offset):
    """Hours from UTC to local solar time, and how they were found."""
    if station.clock != "UTC":
        return 0, "the source's clock is local solar time already (mapping)"
    if utc_offset is not None:
        if utc_offset != int(utc_offset) or not -12 <= utc_offset <= 14:
            raise SourceError(f"--utc-offset {utc_offset}: expected whole hours from -12 to 14")
        return int(utc_offset), f"--utc-offset {int(utc_offset)}"
    where = "--longitude"
    if longitude is None:
        longitude, where = station.longitude, "the source"
    if longitude is None:
        raise SourceError(f"{station.source}: no longitude in the file; give --longitude DEGREES_EAST or "
                          f"--utc-offset HOURS")
    if not -180.0 <= longitude <= 180.0:
        raise SourceError(f"longitude {longitude}: expected degrees east from -180 to 180")
    hours = int(np.floor(longitude / 15.0 + 0.5))
    return hours, (f"longitude {longitude:.4f} E from {where}: {longitude / 15.0:+.3f} h, rounded to whole hours "
                   f"(local solar time = UTC {hours:+d} h, within {abs(longitude / 15.0 - hours) * 60:.0f} min)")


def _fill(frame, max_gap):
    """Fills each gap of up to max_gap hours with neighbours on both sides, linearly in time."""
    filled, remaining = {}, {}
    for quantity in frame.columns:
        values = frame[quantity].to_numpy(dtype=float)
        if not np.isfinite(values).any():
            continue
        runs = _runs(~np.isfinite(values))
        short = [(a, b) for a, b in runs if b - a <= max_gap and a > 0 and b < len(values)]
        for a, b in short:
            values[a:b] = np.interp(np.arange(a, b), [a - 1, b], [values[a - 1], values[b]])
        frame[quantity] = values
        filled[quantity] = short
        remaining[quantity] = [(a, b) for a, b in runs if (a, b) not in short]
    return filled, remaining


def _whole_days(index):
    """Positions of the first and last hour of whole local days (hour 1 .. hour 24)."""
    starts = index - pd.Timedelta(hours=1)
    hour = starts.hour + 1
    first = int(np.argmax(hour == 1)) if (hour == 1).any() else len(index)
    last = len(index) - 1 - int(np.argmax(hour[::-1] == HOURS_PER_DAY)) if (hour == HOURS_PER_DAY).any() else -1
    return first, last


def _longest_clean(bad_day):
    """The longest run of days without a bad one: (first, stop) day positions."""
    best = (0, 0)
    for a, b in _runs(~bad_day):
        if b - a > best[1] - best[0]:
            best = (a, b)
    return best


def _gap_record(quantity, station, local, utc_offset, a, b):
    """A run of hours a..b-1: its variable, length and first and last hour, local and UTC."""
    start = local[a] - pd.Timedelta(hours=utc_offset + 1)
    end = local[b - 1] - pd.Timedelta(hours=utc_offset)
    return {"variable": station.chosen.get(quantity, quantity), "quantity": quantity, "hours": int(b - a),
            "first": _label(local[a]), "last": _label(local[b - 1]), "utc": f"{start:%Y-%m-%d %H:%M} to {end:%Y-%m-%d %H:%M}"}


def _site_name(source, name):
    if name is None:
        name = os.path.splitext(os.path.basename(source))[0]
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", name).strip("._") or "site"
    return name


def _check_target(out, force):
    if os.path.exists(out) and not os.path.isdir(out):
        raise SourceError(f"{out}: exists and is not a directory")
    if os.path.isdir(out) and os.listdir(out) and not force:
        raise SourceError(f"{out}: not empty; give --force to write the site into it")


def prepare(source, out, *, mapping=None, latitude=None, longitude=None, utc_offset=None, time_label=None,
            max_gap=DEFAULT_MAX_GAP, longest_complete=False, parameters=None, name=None, force=False,
            jump_threshold=DEFAULT_JUMP, progress=None):
    """Writes a site from a station file and checks it.

    Raises SourceError for bad input and GapError for gaps too long to fill;
    in both cases nothing is written.
    """
    progress = progress or (lambda text: None)
    source, out = os.fspath(source), os.fspath(out)
    _check_target(out, force)
    if max_gap < 0:
        raise SourceError(f"--max-gap {max_gap}: expected 0 or more hours")
    defaults, ignored = dict(DEFAULT_PARAMETERS), []
    if parameters is not None:
        given, ignored = read_parameter_defaults(parameters)
        defaults.update(given)
    progress(f"reading {source}")
    station = stations.read_station(source, mapping)
    provenance = {"source": {"file": os.path.abspath(source), "sha256": _sha256(source), "layout": station.layout}}
    if mapping is not None:
        provenance["source"]["mapping"] = {"file": os.path.abspath(mapping), "sha256": _sha256(mapping)}

    latitude_from = "--latitude" if latitude is not None else "the source (median of the record)"
    if latitude is None:
        latitude = station.latitude
    if latitude is None or not -90.0 <= latitude <= 90.0:
        raise SourceError(f"{source}: no latitude in the file; give --latitude DEGREES_NORTH" if latitude is None
                          else f"latitude {latitude}: expected degrees north from -90 to 90")
    offset, offset_reason = _utc_offset(station, longitude, utc_offset)
    label = time_label or station.label

    # Each record labelled by the end of its hour, in local solar time.
    frame = station.data.copy()
    end = frame.index + (pd.Timedelta(hours=1) if label == "start" else pd.Timedelta(0))
    frame.index = end + pd.Timedelta(hours=offset)
    full = pd.date_range(frame.index[0], frame.index[-1], freq=pd.Timedelta(hours=1))
    frame = frame.reindex(full)
    missing_rows = int(len(full) - len(station.data))

    progress("filling gaps")
    filled, remaining = _fill(frame, max_gap)
    first, last = _whole_days(frame.index)
    if last < first:
        raise SourceError(f"{source}: no whole local solar day (hour 1 to hour 24) in the record")
    window = slice(first, last + 1)
    local = frame.index
    gaps = [_gap_record(q, station, local, offset, max(a, first), min(b, last + 1))
            for q, runs in remaining.items() if q not in OPTIONAL
            for a, b in runs if b > first and a <= last]
    cut = None
    if gaps:
        if not longest_complete:
            raise GapError(source, gaps, max_gap)
        bad_hour = np.zeros(len(frame), dtype=bool)
        for quantity, runs in remaining.items():
            for a, b in runs:
                if quantity not in OPTIONAL:
                    bad_hour[a:b] = True
        bad_day = bad_hour[window].reshape(-1, HOURS_PER_DAY).any(axis=1)
        a, b = _longest_clean(bad_day)
        if b == a:
            raise GapError(source, gaps, max_gap)
        first, last = first + a * HOURS_PER_DAY, first + b * HOURS_PER_DAY - 1
        cut = {"rule": "--longest-complete: the longest run of whole days without a gap longer than --max-gap",
               "kept": f"{_label(frame.index[first])[:10]} to {_label(frame.index[last])[:10]}",
               "days_dropped": int(len(bad_day) - (b - a)), "gaps": gaps}
        window = slice(first, last + 1)
    n_days = (last + 1 - first) // HOURS_PER_DAY
    if n_days > MAX_RUN_DAYS:
        raise SourceError(f"{source}: {n_days} whole days exceed the longest run of {MAX_RUN_DAYS} days")
    kept = frame.iloc[window].copy()

    # Shortwave cannot be negative; the radiometers' night offset is.
    zeroed = {}
    for quantity in ("sr", "column_10"):
        negative = kept[quantity].to_numpy() < 0
        zeroed[quantity] = int(negative.sum())
        kept.loc[negative, quantity] = 0.0

    # Surface lowering: the distance to the surface grows as the surface lowers.
    distance = kept["distance"].to_numpy(dtype=float)
    surface = {"variable": station.chosen.get("distance"), "jump_threshold_m": jump_threshold, "jumps": []}
    if np.isfinite(distance).any():
        reference_at = int(np.argmax(np.isfinite(distance)))
        reference = float(distance[reference_at])
        steps = np.abs(np.diff(distance))
        for k in np.flatnonzero(steps > jump_threshold):
            surface["jumps"].append({"at": _label(kept.index[k + 1]), "change_m": round(float(distance[k + 1]
                                                                                            - distance[k]), 4)})
        sd_sensor = SD_REFERENCE - (distance - reference)
        surface.update(reference_m=reference, reference_hour=_label(kept.index[reference_at]),
                       rule="sd_sensor = 0.1 - (distance - distance at the reference hour); "
                            "sd_obs = 0.1 - sd_sensor is the lowering since then, positive downwards")
    else:
        sd_sensor = np.full(len(kept), np.nan)
        surface["rule"] = "no surface distance in the source: sd_sensor is NaN (it only feeds sd_obs)"

    days = kept.index - pd.Timedelta(hours=1)
    columns = {
        "column_1": days.year, "month": days.month, "day": days.day, "obs_hour": days.hour + 1,
        "doy": days.dayofyear, "ta_obs": kept["ta_obs"], "wind": kept["wind"], "rh": kept["rh"], "sr": kept["sr"],
        "column_10": kept["column_10"], "lw_down": kept["lw_down"], "lw_up": kept["lw_up"],
        "sd_sensor": sd_sensor, "pressure": kept["pressure"],
    }
    site_name = _site_name(source, name)
    met_name = f"{site_name}.txt"
    values = dict(defaults, met_file=met_name, out_file=f"results_{site_name}.csv",
                  latitude=round(float(latitude), 4), n_days=n_days)

    def hours_of(runs, quantity):
        return [_gap_record(quantity, station, local, offset, a, b) for a, b in runs if a >= first and b <= last + 1]

    provenance.update({
        "site": {"name": site_name, "latitude": values["latitude"],
                 "latitude_from": latitude_from,
                 "n_days": n_days, "first_day": f"{days[0]:%Y-%m-%d}", "last_day": f"{days[-1]:%Y-%m-%d}"},
        "variables": {column: station.chosen.get(column) for column in
                      ("ta_obs", "wind", "rh", "sr", "column_10", "lw_down", "lw_up", "pressure")}
        | {"sd_sensor": station.chosen.get("distance")},
        "conversions": station.conversions + [f"{station.chosen.get(q, q)}: {n} negative hour(s) set to 0"
                                              for q, n in zeroed.items() if n],
        "time": {
            "source_clock": station.clock,
            "source_label": f"the {label} of the hour each record covers"
                            + (" (--time-label)" if time_label else " (this layout's convention)"),
            "utc_offset_hours": offset, "utc_offset_from": offset_reason,
            "rule": "record m feeds hour h = 1..24 of the run's day; hour h is the hour ending at h o'clock local "
                    "solar time (hour 12 ends at solar noon, hour 24 at midnight, and belongs to the day that ends); "
                    "month, day and doy are those of the local day; column 1 holds its year; obs_hour = h",
            "first_record_utc": f"{kept.index[0] - pd.Timedelta(hours=offset + 1):%Y-%m-%d %H:%M} to "
                                f"{kept.index[0] - pd.Timedelta(hours=offset):%H:%M}",
        },
        "filled": [gap for quantity, runs in filled.items() for gap in hours_of(runs, quantity)],
        "fill_rule": f"gaps of up to {max_gap} h with values on both sides: linear in time (--max-gap)",
        "left_missing": [gap for quantity, runs in remaining.items() if quantity in OPTIONAL
                         for gap in hours_of([(max(a, first), min(b, last + 1)) for a, b in runs
                                              if b > first and a <= last], quantity)],
        "dropped": {"hours_before_first_whole_day": int(first), "hours_after_last_whole_day":
                    int(len(frame) - 1 - last), "hours_missing_from_the_source": missing_rows},
        "surface": surface,
        "notes": station.notes,
        "parameters": {"defaults": "the shipped example site's values" if parameters is None
                       else os.path.abspath(parameters), "from_the_record": list(FROM_RECORD),
                       "ignored_in_the_parameters_file": ignored},
    })
    if cut:
        provenance["cut_for_gaps"] = cut
    progress("writing the site")
    _write_site(out, met_name, columns, values, provenance, force)
    progress("checking the site")
    return Prepared(out, provenance, check.check_site(os.path.join(out, "run")))


def _write_site(out, met_name, columns, parameters, provenance, force):
    """Writes the three files; a new site appears whole or not at all."""
    parent = os.path.dirname(os.path.abspath(out))
    os.makedirs(parent, exist_ok=True)
    fresh = not os.path.isdir(out)
    root = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.", dir=parent) if fresh else out
    try:
        os.makedirs(os.path.join(root, "run"), exist_ok=True)
        os.makedirs(os.path.join(root, "data", "met_lv3"), exist_ok=True)
        sitefiles.write_met_file(os.path.join(root, "data", "met_lv3", met_name), columns)
        sitefiles.write_parameter_file(os.path.join(root, "run", "parameter.ini"), parameters,
                                       STATEMENTS["pumak_metrun"])
        sitefiles.write_text_atomically(os.path.join(root, "provenance.json"),
                                        json.dumps(provenance, indent=1, ensure_ascii=False, default=_plain) + "\n")
        if fresh:
            os.chmod(root, 0o777 & ~_umask())
            os.rename(root, out)
    except BaseException:
        if fresh:
            shutil.rmtree(root, ignore_errors=True)
        raise


def _plain(value):
    """numpy numbers as the JSON numbers they are."""
    return value.item()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _summary(out, provenance):
    site, time = provenance["site"], provenance["time"]
    yield (f"{out}: {site['n_days']} whole local solar days, {site['first_day']} to {site['last_day']}, "
           f"latitude {site['latitude']}; local solar time = UTC {time['utc_offset_hours']:+d} h")
    by_variable = {}
    for gap in provenance["filled"]:
        by_variable.setdefault(gap["variable"], []).append(gap)
    for variable, gaps in by_variable.items():
        hours = sum(gap["hours"] for gap in gaps)
        where = ", ".join(f"{gap['first']} ({gap['hours']} h)" for gap in gaps[:3]) + (", ..." if len(gaps) > 3 else "")
        yield f"  filled {variable} linearly: {hours} h in {len(gaps)} gap(s): {where}"
    for conversion in provenance["conversions"]:
        yield f"  {conversion}"
    for jump in provenance["surface"]["jumps"]:
        yield (f"  {provenance['surface']['variable']}: jump of {jump['change_m']:+.3f} m at {jump['at']} "
               f"(more than {provenance['surface']['jump_threshold_m']} m in one hour; kept as recorded)")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="pumak prepare", description="Turn a station's hourly file into a "
                                     "site the programs run: SITE_DIR/run/parameter.ini, SITE_DIR/data/met_lv3/"
                                     "<name>.txt and SITE_DIR/provenance.json; then check it.")
    parser.add_argument("source", metavar="SOURCE", help="PROMICE/GC-Net hourly CSV or NetCDF, the older PROMICE "
                        "hourly text layout, or any CSV with --mapping")
    parser.add_argument("--out", required=True, metavar="SITE_DIR")
    parser.add_argument("--mapping", metavar="FILE", help="TOML file: which CSV column holds what, in which unit")
    parser.add_argument("--latitude", type=float, metavar="DEGREES_NORTH", help="when the file has none")
    parser.add_argument("--longitude", type=float, metavar="DEGREES_EAST", help="for local solar time, "
                        "instead of the file's")
    parser.add_argument("--utc-offset", type=float, metavar="HOURS", help="local solar time minus UTC, whole "
                        "hours; instead of the longitude")
    parser.add_argument("--time-label", choices=("start", "end"), help="the time stamps mark the start or the end "
                        "of the hour they cover (default: the layout's convention)")
    parser.add_argument("--max-gap", type=int, default=DEFAULT_MAX_GAP, metavar="HOURS",
                        help=f"longest gap filled by linear interpolation (default {DEFAULT_MAX_GAP})")
    parser.add_argument("--longest-complete", action="store_true", help="keep the longest period of whole days "
                        "without longer gaps instead of stopping")
    parser.add_argument("--parameters", metavar="FILE", help="items of parameter.ini other than latitude and "
                        "n_days: a TOML file (item = value) or another site's parameter.ini")
    parser.add_argument("--name", help="name of the met file (default: the source's name)")
    parser.add_argument("--jump-threshold", type=float, default=DEFAULT_JUMP, metavar="METRES",
                        help=f"report a change of the surface distance above this within one hour "
                        f"(default {DEFAULT_JUMP})")
    parser.add_argument("--force", action="store_true", help="write into a SITE_DIR that is not empty")
    args = parser.parse_args(argv)
    progress = _Progress()
    try:
        prepared = prepare(args.source, args.out, mapping=args.mapping, latitude=args.latitude,
                             longitude=args.longitude, utc_offset=args.utc_offset, time_label=args.time_label,
                             max_gap=args.max_gap, longest_complete=args.longest_complete,
                             parameters=args.parameters, name=args.name, force=args.force,
                             jump_threshold=args.jump_threshold, progress=progress)
    except SourceError as error:
        progress.done()
        print(f"pumak prepare: {error}", file=sys.stderr)
        return 2
    except GapError as error:
        progress.done()
        for line in error.lines():
            print(f"pumak prepare: {line}", file=sys.stderr)
        return 1
    progress.done()
    for line in _summary(args.out, prepared.provenance):
        print(line)
    for finding in prepared.findings:
        print(finding)
    return prepared.status
