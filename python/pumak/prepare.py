"""`pumak prepare SOURCE --out SITE_DIR`: a station's own file becomes a site.

The site holds run/parameter.ini, data/met_lv3/<name>.txt and
provenance.json, which records every choice made on the way: the source
and its sha256, the variables chosen, each unit conversion, the time
shift, the aggregation of sub-hourly records and every hour filled or dropped.

`prepare` is a chain of steps, each usable on its own:

1. `pumak.stations.read`: the record as the file holds it, with its units;
2. `pumak.stations.to_utc`: the stamps from the logger's clock to UTC;
3. `pumak.stations.aggregate`: sub-hourly records to hours (mean, median
   of the surface distance, sum of totals; hours short of records missing);
4. `pumak.stations.to_model_units`: °C, m s-1, fraction, W m-2, hPa, m;
5. `to_local_hours`: each hour labelled by its end in local solar time;
6. `fill_gaps`: gaps of up to ``max_gap`` hours filled linearly;
7. `local_solar_days`: whole local days only (or the longest run of them);
8. `met_columns` and `write_site`: the met file, parameter.ini and the provenance.

Time: the programs feed record m to hour h = 1..24 of day d of the run and
take hour h as local solar time, the hour ending at h o'clock (hour 12 ends
at solar noon). The source's UTC time stamps are moved to local solar time
by the longitude (whole hours), each record is labelled by the end of the
hour it covers, and only whole local days are kept: a day starts with the
hour ending 01:00 and ends with the hour ending at midnight, which is hour
24 of that day.
"""

import argparse
import dataclasses
import errno
import math
import os
import re
import shutil
import tempfile
import tomllib

import numpy as np
import pandas as pd

from pumak import check, cli, model, outputs, stations, surface
from pumak.verify import file_sha256
from pumak.errors import GapError, InputError, OutputError, SourceError
from pumak.layout import HOURS_PER_DAY, INTEGER_ITEMS, MAX_RUN_DAYS, PARAMETER_ITEMS, TEXT_ITEMS
from pumak.stations import OPTIONAL
from pumak.stations.era5 import DEFAULT_MAX_DISTANCE_KM as DEFAULT_MAX_DISTANCE
from pumak.stations.era5 import PRODUCTS, read_reanalysis
from pumak.stations.estimate import estimate as estimate_station
from pumak.stations.estimate import parse_names as parse_estimates
from pumak.stations.fill import fill_from as fill_station
from pumak.stations.fill import require

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
DEFAULT_MIN_COVERAGE = stations.DEFAULT_MIN_COVERAGE
SD_REFERENCE = 0.1           # sd_obs = 0.1 - sd_sensor is the lowering since the first hour
_HOUR = pd.Timedelta(hours=1)

__all__ = ["prepare", "Prepared", "site_parameters", "read_parameter_defaults", "local_solar_offset",
           "to_local_hours", "fill_gaps", "local_solar_days", "met_columns", "write_site", "main",
           "DEFAULT_PARAMETERS", "FROM_RECORD", "SourceError", "GapError"]


@dataclasses.dataclass
class Prepared:
    """A site made by `prepare`: its directory, its provenance, what `check` found on it and whether it was written.

    A site whose check finds an error is not written (``written`` False)
    unless `prepare` is asked to keep it (``keep_with_errors``).
    """

    site: str
    provenance: dict
    findings: list          # what check found on the new site
    written: bool = True

    @property
    def status(self):
        return 1 if any(f.severity == "error" for f in self.findings) else 0


# ---- parameters -----------------------------------------------------------------------------------------

def _read_parameter_ini(path):
    """The items of a parameter.ini, read by the programs' own reader (pumak._core)."""
    from pumak import _core

    path = os.fspath(path)
    if os.path.basename(path) == "parameter.ini":
        return _core.read_parameters(os.fsencode(os.path.dirname(path) or "."), "pumak_metrun")
    with tempfile.TemporaryDirectory() as directory:
        copy = os.path.join(directory, "parameter.ini")
        shutil.copyfile(path, copy)
        try:
            return _core.read_parameters(os.fsencode(directory), "pumak_metrun")
        except InputError as error:
            raise SourceError(str(error).replace(copy, path), file=path, line=error.line, item=error.item) from None


def _toml_number(path, name, value):
    """A TOML value of an item of parameter.ini, refused unless it is a finite number of the item's kind."""
    integer = name in INTEGER_ITEMS
    good = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    if good and integer:
        good = float(value).is_integer() and -2**31 <= value < 2**31
    if not good:
        kind = "an integer" if integer else "a finite real"
        raise SourceError(f"{path}: {name}: expected {kind}, found {value!r}", file=path, item=name)
    return int(value) if integer else float(value)


def read_parameter_defaults(path):
    """Items for the template from a TOML file (``item = value``) or another site's parameter.ini.

    Parameters
    ----------
    path : str
        A ``.toml`` file, or a parameter.ini read as the programs read it.

    Returns
    -------
    chosen : dict
        Item -> value (albedos as fractions, diameters and depths in mm, ``ch``
        dimensionless, angles in degrees) for the items not taken from the record.
    ignored : list of str
        Items given that always come from the record.
    """
    path = os.fspath(path)
    numeric = [name for name in PARAMETER_ITEMS if name not in TEXT_ITEMS]
    try:
        if path.endswith(".toml"):
            with open(path, "rb") as stream:
                given = tomllib.load(stream)
        else:
            given = {name: value for name, value in _read_parameter_ini(path).items() if name not in TEXT_ITEMS}
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise SourceError(f"{path}: not a TOML file: {error}") from None
    chosen, ignored = {}, []
    for name, value in given.items():
        if name not in numeric:
            raise SourceError(f"{path}: {name}: not an item of parameter.ini", file=path, item=name)
        if name in FROM_RECORD:
            ignored.append(name)
            continue
        chosen[name] = _toml_number(path, name, value)
    return chosen, ignored


def site_parameters(out, parameters=None, force=False):
    """The items of the new parameter.ini other than those taken from the record, and where they came from.

    Parameters
    ----------
    out : str
        The site directory. With `force`, the items of its existing
        run/parameter.ini (read as the programs read it) are kept.
    parameters : str, optional
        A TOML file or another site's parameter.ini; its items win.
    force : bool
        Whether `prepare` writes over an existing site.

    Returns
    -------
    values : dict
        Item -> value for every item but met_file, out_file, latitude, n_days.
    origin : dict
        For the provenance: the defaults, the items kept from the site, the
        parameters file and the items it gave that were ignored.
    """
    values = dict(DEFAULT_PARAMETERS)
    origin = {"defaults": "the shipped example site's values", "from_the_record": list(FROM_RECORD)}
    existing = os.path.join(out, "run", "parameter.ini")
    if force and os.path.isfile(existing):
        try:
            kept = _read_parameter_ini(existing)
        except InputError as error:
            raise SourceError(f"{error}; --force keeps this site's parameters: correct the file or remove it",
                              file=existing) from None
        kept = {name: value for name, value in kept.items() if name in DEFAULT_PARAMETERS}
        values.update(kept)
        origin["kept_from_the_site"] = os.path.abspath(existing)
    if parameters is not None:
        given, ignored = read_parameter_defaults(parameters)
        values.update(given)
        origin["parameters_file"] = os.path.abspath(parameters)
        origin["ignored_in_the_parameters_file"] = ignored
    return values, origin


# ---- time -----------------------------------------------------------------------------------------------

def local_solar_offset(station, longitude=None, utc_offset=None):
    """Hours from UTC to local solar time, and how they were found.

    Parameters
    ----------
    station : Station
        Its longitude (degrees east) and clock.
    longitude : float, optional
        Degrees east, instead of the station's.
    utc_offset : float, optional
        Local solar time minus UTC in whole hours; wins over the longitude.

    Returns
    -------
    hours : int
        Local solar time minus UTC, h (longitude / 15 rounded).
    reason : str
    """
    if station.clock == "local solar time":
        return 0, "the source's clock is local solar time already (mapping)"
    if utc_offset is not None:
        if not math.isfinite(utc_offset) or utc_offset != int(utc_offset) or not -12 <= utc_offset <= 14:
            raise SourceError(f"--utc-offset {utc_offset}: expected whole hours from -12 to 14")
        return int(utc_offset), f"--utc-offset {int(utc_offset)}"
    where = "--longitude"
    if longitude is None:
        longitude, where = station.longitude, (station.longitude_from or "the source")
    if longitude is None:
        raise SourceError(f"{station.source}: no longitude in the file; give --longitude DEGREES_EAST or "
                          f"--utc-offset HOURS")
    if not -180.0 <= longitude <= 180.0:
        raise SourceError(f"longitude {longitude}: expected degrees east from -180 to 180")
    hours = int(np.floor(longitude / 15.0 + 0.5))
    return hours, (f"longitude {longitude:.4f} E from {where}: {longitude / 15.0:+.3f} h, rounded to whole hours "
                   f"(local solar time = UTC {hours:+d} h, within {abs(longitude / 15.0 - hours) * 60:.0f} min)")


def to_local_hours(station, offset):
    """The hourly record labelled by each hour's end in local solar time, every hour present.

    Parameters
    ----------
    station : Station
        Hourly values (after `aggregate`) on UTC stamps marking `station.label`.
    offset : int
        Local solar time minus UTC, h.

    Returns
    -------
    frame : pandas.DataFrame
        The quantities, one row per hour from the first to the last, NaN
        where the source has no record.
    missing : int
        Hours the source lacks between its first and last record.
    """
    frame = station.data.copy()
    end = frame.index + (_HOUR if station.label == "start" else pd.Timedelta(0))
    frame.index = end + pd.Timedelta(hours=offset)
    full = pd.date_range(frame.index[0], frame.index[-1], freq=_HOUR)
    return frame.reindex(full), int(len(full) - len(station.data))


def _runs(missing):
    """(start, stop) of each run of True."""
    edges = np.diff(np.concatenate([[0], missing.astype(np.int8), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def fill_gaps(frame, max_gap=DEFAULT_MAX_GAP):
    """Each gap of up to `max_gap` hours with values on both sides filled linearly in time.

    Parameters
    ----------
    frame : pandas.DataFrame, shape (hours, quantities)
        Hourly values, any units; NaN where missing.
    max_gap : int
        The longest gap filled, h.

    Returns
    -------
    filled_frame : pandas.DataFrame
        The same with the short gaps filled.
    filled, remaining : dict of str to list of (int, int)
        Per quantity, the (first, stop) row positions of the gaps filled and
        of those left (longer, or at an end).
    """
    frame = frame.copy()
    filled, remaining = {}, {}
    for quantity in frame.columns:
        values = frame[quantity].to_numpy(dtype=float).copy()
        if not np.isfinite(values).any():
            continue
        runs = _runs(~np.isfinite(values))
        short = [(a, b) for a, b in runs if b - a <= max_gap and a > 0 and b < len(values)]
        for a, b in short:
            values[a:b] = np.interp(np.arange(a, b), [a - 1, b], [values[a - 1], values[b]])
        frame[quantity] = values
        filled[quantity] = short
        remaining[quantity] = [(a, b) for a, b in runs if (a, b) not in short]
    return frame, filled, remaining


def _label(local_end):
    """A local hour-ending time as its day and hour counter: 2023-12-01 hour 24."""
    start = local_end - _HOUR
    return f"{start:%Y-%m-%d} hour {start.hour + 1}"


def _gap_record(quantity, station, local, utc_offset, a, b):
    """A run of hours a..b-1: its variable, length and first and last hour, local and UTC."""
    start = local[a] - pd.Timedelta(hours=utc_offset + 1)
    end = local[b - 1] - pd.Timedelta(hours=utc_offset)
    return {"variable": station.chosen.get(quantity, quantity), "quantity": quantity, "hours": int(b - a),
            "first": _label(local[a]), "last": _label(local[b - 1]),
            "utc": f"{start:%Y-%m-%d %H:%M} to {end:%Y-%m-%d %H:%M}"}


def _whole_days(index):
    """Positions of the first and last hour of whole local days (hour 1 .. hour 24)."""
    starts = index - _HOUR
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


def local_solar_days(frame, remaining, station, offset, max_gap=DEFAULT_MAX_GAP, longest_complete=False):
    """The rows of whole local solar days to keep, or the gaps that forbid it.

    Parameters
    ----------
    frame : pandas.DataFrame
        Hourly values labelled by the hour's end in local solar time.
    remaining : dict
        The gaps `fill_gaps` left, per quantity.
    station : Station
        For the variables' names.
    offset : int
        Local solar time minus UTC, h.
    max_gap : int
        For the report, h.
    longest_complete : bool
        Keep the longest run of whole days without a gap left instead of stopping.

    Returns
    -------
    first, last : int
        Row positions of hour 1 of the first day and hour 24 of the last.
    cut : dict or None
        What `longest_complete` dropped.

    Raises
    ------
    GapError
        A gap left in a quantity the model needs (and no whole day without one).
    SourceError
        No whole local day.
    """
    source = station.source
    first, last = _whole_days(frame.index)
    if last < first:
        raise SourceError(f"{source}: no whole local solar day (hour 1 to hour 24) in the record")
    local = frame.index
    gaps = [_gap_record(q, station, local, offset, max(a, first), min(b, last + 1))
            for q, runs in remaining.items() if q not in OPTIONAL
            for a, b in runs if b > first and a <= last]
    if not gaps:
        return first, last, None
    if not longest_complete:
        raise GapError(source, gaps, max_gap)
    bad_hour = np.zeros(len(frame), dtype=bool)
    for quantity, runs in remaining.items():
        for a, b in runs:
            if quantity not in OPTIONAL:
                bad_hour[a:b] = True
    bad_day = bad_hour[first:last + 1].reshape(-1, HOURS_PER_DAY).any(axis=1)
    a, b = _longest_clean(bad_day)
    if b == a:
        raise GapError(source, gaps, max_gap)
    first, last = first + a * HOURS_PER_DAY, first + b * HOURS_PER_DAY - 1
    cut = {"rule": "--longest-complete: the longest run of whole days without a gap longer than --max-gap",
           "kept": f"{_label(frame.index[first])[:10]} to {_label(frame.index[last])[:10]}",
           "days_dropped": int(len(bad_day) - (b - a)), "gaps": gaps}
    return first, last, cut


# ---- the site's files ------------------------------------------------------------------------------------

def met_columns(kept, station, jump_threshold=DEFAULT_JUMP):
    """The 14 columns of the met file from whole local days of hourly values.

    Parameters
    ----------
    kept : pandas.DataFrame, shape (n_days * 24, quantities)
        Hourly values in the model's units (°C, m s-1, fraction, W m-2, hPa,
        m), labelled by the hour's end in local solar time.
    station : Station
        For the surface variable's name.
    jump_threshold : float
        m: a larger change of the surface distance within one hour is reported.

    Returns
    -------
    columns : dict of str to numpy.ndarray
        The met file's columns; negative shortwave set to 0; ``sd_sensor`` =
        0.1 - (distance - distance at the first valid hour), m.
    zeroed : dict
        Negative shortwave hours set to 0, per quantity.
    surface_record : dict
        The surface rule, its reference, its jumps, and why it cannot be
        trusted (``unusable``) when it cannot.
    """
    kept = kept.copy()
    # Shortwave cannot be negative; the radiometers' night offset is.
    zeroed = {}
    for quantity in ("sr", "column_10"):
        negative = kept[quantity].to_numpy() < 0
        zeroed[quantity] = int(negative.sum())
        kept.loc[negative, quantity] = 0.0

    # Surface lowering: the distance to the surface grows as the surface lowers.
    distance = kept["distance"].to_numpy(dtype=float)
    name = station.chosen.get("distance")
    record = {"variable": name, "jump_threshold_m": jump_threshold, "jumps": []}
    reason = surface.unusable(distance, name or "surface distance (none in the source)")
    if reason:
        record["unusable"] = reason
    if np.isfinite(distance).any():
        reference_at = int(np.argmax(np.isfinite(distance)))
        reference = float(distance[reference_at])
        steps = np.abs(np.diff(distance))
        for k in np.flatnonzero(steps > jump_threshold):
            record["jumps"].append({"at": _label(kept.index[k + 1]),
                                    "change_m": round(float(distance[k + 1] - distance[k]), 4)})
        sd_sensor = SD_REFERENCE - (distance - reference)
        record.update(reference_m=reference, reference_hour=_label(kept.index[reference_at]),
                      rule="sd_sensor = 0.1 - (distance - distance at the reference hour); "
                           "sd_obs = 0.1 - sd_sensor is the lowering since then, positive downwards")
    else:
        sd_sensor = np.full(len(kept), np.nan)
        record["rule"] = "no surface distance in the source: sd_sensor is NaN (it only feeds sd_obs)"

    days = kept.index - _HOUR
    columns = {
        "column_1": days.year, "month": days.month, "day": days.day, "obs_hour": days.hour + 1,
        "doy": days.dayofyear, "ta_obs": kept["ta_obs"], "wind": kept["wind"], "rh": kept["rh"], "sr": kept["sr"],
        "column_10": kept["column_10"], "lw_down": kept["lw_down"], "lw_up": kept["lw_up"],
        "sd_sensor": sd_sensor, "pressure": kept["pressure"],
    }
    return columns, zeroed, record


def write_site(out, met_name, columns, parameters, provenance, exclusive=False):
    """Writes run/parameter.ini, data/met_lv3/`met_name` and provenance.json as one whole (`pumak.write_site`).

    A new site appears whole or not at all; over an existing one the three
    files are replaced in one step and its other files kept. With
    `exclusive`, a folder another writer filled meanwhile is not written
    over (`OutputError`, errno EEXIST).

    Raises
    ------
    OutputError
        The system refused the write; an earlier site is unchanged.
    """
    model.write_site(out, dict(parameters, met_file=met_name), columns, "pumak_metrun", provenance=provenance,
                     exclusive=exclusive)


def _site_name(source, name):
    if name is None:
        name = os.path.splitext(os.path.basename(source))[0]
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", name).strip("._") or "site"


def _check_target(out, force, inputs, met_name):
    if os.path.exists(out) and not os.path.isdir(out):
        raise SourceError(f"{out}: exists and is not a directory")
    outputs.refuse_input(out, inputs, replaces=("run/parameter.ini", model.site_met_path(met_name),
                                                model.PROVENANCE_FILE))
    if os.path.isdir(out) and os.listdir(out) and not force:
        raise SourceError(f"{out}: not empty; give --force to write the site into it")


# ---- the chain -------------------------------------------------------------------------------------------

def prepare(source, out, *, mapping=None, latitude=None, longitude=None, utc_offset=None, time_label=None,
            max_gap=DEFAULT_MAX_GAP, min_coverage=DEFAULT_MIN_COVERAGE, longest_complete=False, parameters=None,
            name=None, force=False, jump_threshold=DEFAULT_JUMP, keep_with_errors=False, progress=None, estimate=(),
            elevation=None, reanalysis=None, fill_from=None, product="era5", max_distance=DEFAULT_MAX_DISTANCE):
    """Makes a site from a station file (or a reanalysis), checks it, and writes it unless its check finds an error.

    Parameters
    ----------
    source : str
        The station file (`pumak.stations.read`).
    out : str
        The site directory.
    mapping : str, optional
        A TOML mapping of the source's columns.
    latitude, longitude : float, optional
        Degrees north and east, instead of the source's.
    utc_offset : int, optional
        Local solar time minus UTC, h, instead of the longitude's.
    time_label : {"start", "end"}, optional
        What the stamps mark of their interval, instead of the layout's.
    max_gap : int
        Longest gap filled linearly, h.
    min_coverage : float
        Share of an hour's sub-hourly records needed for its value.
    longest_complete : bool
        Keep the longest run of whole days without longer gaps instead of stopping.
    parameters : str, optional
        A TOML file or another site's parameter.ini for the items not taken
        from the record.
    name : str, optional
        The met file's name (default: the source's).
    force : bool
        Write into a non-empty `out`, keeping its parameter.ini's items.
    jump_threshold : float
        m of surface change within one hour that is reported.
    keep_with_errors : bool
        Write the site although its check finds errors; they are recorded
        in its provenance (``check.errors``).
    progress : callable, optional
        Called with the name of each stage.
    estimate : sequence of str
        Quantities estimated where missing (`pumak.stations.estimate`):
        ``pressure``, ``lw_down``, ``lw_up`` (``lw_up:melting``).
    elevation : float, optional
        The station's elevation, m a.s.l. (``pressure``; the clear sky of ``lw_down``).
    reanalysis : sequence of str, optional
        ERA5 / ERA5-Land files making the site alone (`source` None).
    fill_from : sequence of str, optional
        ERA5 / ERA5-Land files corrected to the station that fill its gaps.
    product : {"era5", "era5-land"}
        How the reanalysis files store accumulations.
    max_distance : float
        km: the farthest reanalysis grid point accepted by `fill_from`.

    Returns
    -------
    Prepared
        ``written`` is False when the check found an error (and
        `keep_with_errors` is not set): then nothing was written, an earlier
        site is unchanged, and ``findings`` names the errors.

    Raises
    ------
    SourceError
        Bad input; nothing written.
    GapError
        Gaps too long to fill (exit status 1); nothing written.
    OutputError
        The system refused the write; an earlier site is unchanged.
    """
    progress = progress or (lambda text: None)
    source, out = (os.fspath(source) if source is not None else None), os.fspath(out)
    if reanalysis and source is not None:
        raise SourceError(f"{source}: give a station file or --reanalysis FILE..., not both (--fill-from fills a "
                          f"station from a reanalysis)")
    if not reanalysis and source is None:
        raise SourceError("no station file: give SOURCE, or --reanalysis FILE... for a site from a reanalysis")
    inputs = {"the station file": source, "the mapping": mapping, "the parameters file": parameters}
    inputs.update({f"the reanalysis file {path}": path for path in [*(reanalysis or ()), *(fill_from or ())]})
    _check_target(out, force, inputs,
                  f"{_site_name(source if source is not None else os.fspath(reanalysis[0]), name)}.txt")
    if max_gap < 0:
        raise SourceError(f"--max-gap {max_gap}: expected 0 or more hours")
    if not math.isfinite(jump_threshold) or jump_threshold <= 0:
        raise SourceError(f"--jump-threshold {jump_threshold}: expected a finite number of metres above 0")
    if longitude is not None and not -180.0 <= longitude <= 180.0:   # also where --utc-offset sets the clock
        raise SourceError(f"longitude {longitude}: expected degrees east from -180 to 180")
    values, parameter_origin = site_parameters(out, parameters, force)

    overrides = []
    given = stations.site_options(mapping) if mapping is not None else {}
    names = parse_estimates(estimate)
    if "estimate" in given:
        mapped = parse_estimates(given["estimate"], where=f"{mapping}: estimate")
        if names and names != mapped:
            overrides.append(f"--estimate {','.join(names)} instead of {','.join(mapped)} from the mapping")
        names = names or mapped
    if "elevation" in given:
        if elevation is not None and elevation != given["elevation"]:
            overrides.append(f"--elevation {elevation:g} instead of {given['elevation']:g} from the mapping")
        elevation = given["elevation"] if elevation is None else elevation
    if reanalysis:
        source = os.fspath(reanalysis[0])
        progress(f"reading {source}")
        record = read_reanalysis(reanalysis, product, latitude, longitude)
        hourly = stations.to_model_units(record)
    else:
        progress(f"reading {source}")
        absent = [n.split(":")[0] for n in names] + (list(stations.QUANTITIES) if fill_from else [])
        record = stations.read(source, mapping, absent=absent)
        if time_label and time_label != record.label:
            overrides.append(f"--time-label {time_label}: the stamps taken as the {time_label} of their interval, "
                             f"not the {record.label} ({record.layout})")
        if time_label:
            record.label = time_label
        progress("aggregating to hours")
        hourly = stations.to_model_units(stations.aggregate(stations.to_utc(record), min_coverage))
    if fill_from:
        progress("filling from the reanalysis")
        near = hourly.replace(latitude=hourly.latitude if latitude is None else latitude,
                              longitude=hourly.longitude if longitude is None else longitude)
        other = stations.to_model_units(read_reanalysis(fill_from, product, near.latitude, near.longitude))
        hourly = fill_station(near, other, max_distance)

    latitude_from = "--latitude"
    if latitude is None:
        latitude, latitude_from = hourly.latitude, hourly.latitude_from
    elif hourly.latitude is not None and round(latitude, 4) != round(hourly.latitude, 4):
        overrides.append(f"--latitude {latitude:g} instead of {hourly.latitude:.4f} from "
                         f"{hourly.latitude_from or 'the source'}")
    if latitude is None or not -90.0 <= latitude <= 90.0:
        raise SourceError(f"{source}: no latitude in the file; give --latitude DEGREES_NORTH" if latitude is None
                          else f"latitude {latitude}: expected degrees north from -90 to 90")
    offset, offset_reason = local_solar_offset(hourly, longitude, utc_offset)
    overrides += _position_overrides(hourly, longitude, utc_offset, offset)
    site_longitude, longitude_from = ((longitude, "--longitude") if longitude is not None
                                      else (hourly.longitude, hourly.longitude_from or "the source"))
    if names:
        hourly = estimate_station(hourly.replace(latitude=latitude), names, elevation, offset, max_gap)
    require(hourly, names)
    frame, missing_rows = to_local_hours(hourly, offset)

    progress("filling gaps")
    frame, filled, remaining = fill_gaps(frame, max_gap)
    first, last, cut = local_solar_days(frame, remaining, hourly, offset, max_gap, longest_complete)
    n_days = (last + 1 - first) // HOURS_PER_DAY
    if n_days > MAX_RUN_DAYS:
        raise SourceError(f"{source}: {n_days} whole days exceed the longest run of {MAX_RUN_DAYS} days")
    kept = frame.iloc[first:last + 1]
    columns, zeroed, surface_record = met_columns(kept, hourly, jump_threshold)

    site_name = _site_name(source, name)
    met_name = f"{site_name}.txt"
    values = dict(values, met_file=met_name, out_file=f"results_{site_name}.csv",
                  latitude=round(float(latitude), 4), n_days=n_days)
    provenance = _provenance(source, mapping, record, hourly, locals())
    progress("checking the site")
    findings = _check_before_writing(out, met_name, columns, values, provenance)
    errors = [str(finding) for finding in findings if finding.severity == "error"]
    if errors:
        if not keep_with_errors:
            return Prepared(out, provenance, findings, written=False)
        provenance["check"] = {"errors": errors, "written": "with these errors (--keep-with-errors)"}
    progress("writing the site")
    try:
        write_site(out, met_name, columns, values, provenance, exclusive=not force)
    except OutputError as error:
        if error.errno in (errno.ENOTEMPTY, errno.EEXIST) and not force:
            raise SourceError(f"{out}: written by another process meanwhile; give --force to write over it") from None
        raise
    return Prepared(out, provenance, findings)


def _position_overrides(station, longitude, utc_offset, offset):
    """What --longitude and --utc-offset replaced (or could not), in words for the summary and the provenance."""
    said = []
    if station.clock == "local solar time":
        given = [name for name, value in (("--longitude", longitude), ("--utc-offset", utc_offset))
                 if value is not None]
        if given:
            said.append(f"{' and '.join(given)} not used: the mapping says the source's clock is local solar time")
        return said
    if longitude is not None and station.longitude is not None and round(longitude, 4) != round(station.longitude, 4):
        said.append(f"--longitude {longitude:g} instead of {station.longitude:.4f} from "
                    f"{station.longitude_from or 'the source'}")
    if utc_offset is not None:
        east = longitude if longitude is not None else station.longitude
        if longitude is not None:
            said.append("--longitude not used for the time: --utc-offset wins")
        if east is not None and int(np.floor(east / 15.0 + 0.5)) != offset:
            said.append(f"--utc-offset {offset:+d} h instead of {int(np.floor(east / 15.0 + 0.5)):+d} h from "
                        f"longitude {east:.4f}")
    return said


def _check_before_writing(out, met_name, columns, values, provenance):
    """What `check` finds on the site before it is written: a copy made aside is checked, its paths named as `out`'s.

    The copy holds the same parameter.ini and met file, byte for byte, as
    the site `write_site` writes; it is removed whatever happens.
    """
    with tempfile.TemporaryDirectory(prefix="pumak-prepare-") as aside:
        staged = os.path.join(aside, "site")
        write_site(staged, met_name, columns, values, provenance)
        findings = check.check_site(os.path.join(staged, "run"))
    shown = os.path.normpath(out)
    return [dataclasses.replace(finding, file=shown + finding.file[len(staged):])
            if finding.file == staged or finding.file.startswith(staged + os.sep) else finding
            for finding in findings]


def _provenance(source, mapping, record, hourly, made):
    """Every choice `prepare` made, for provenance.json."""
    local, offset, first, last = made["frame"].index, made["offset"], made["first"], made["last"]
    days = made["kept"].index - _HOUR

    def hours_of(runs, quantity):
        return [_gap_record(quantity, hourly, local, offset, a, b) for a, b in runs if a >= first and b <= last + 1]

    provenance = {"source": {"file": os.path.abspath(source), "sha256": file_sha256(source), "layout": record.layout}}
    site = {"name": made["site_name"], "latitude": made["values"]["latitude"],
            "latitude_from": made["latitude_from"] or "the source"}
    if made["site_longitude"] is not None:
        site.update(longitude=round(float(made["site_longitude"]), 4), longitude_from=made["longitude_from"])
    site.update(n_days=made["n_days"], first_day=f"{days[0]:%Y-%m-%d}", last_day=f"{days[-1]:%Y-%m-%d}")
    if mapping is not None:
        provenance["source"]["mapping"] = {"file": os.path.abspath(mapping), "sha256": file_sha256(mapping)}
    if "logger" in record.details:
        provenance["source"]["logger"] = record.details["logger"]
    records = {"step_minutes": record.step_seconds / 60, "records": int(len(record.data))}
    for key in ("duplicate_records_dropped", "repeated_header_blocks", "record_counter_gaps"):
        if key in record.details:
            records[key] = record.details[key]
    provenance.update({
        "site": site,
        "variables": {column: hourly.chosen.get(column) for column in
                      ("ta_obs", "wind", "rh", "sr", "column_10", "lw_down", "lw_up", "pressure")}
        | {"sd_sensor": hourly.chosen.get("distance")},
        "units": {hourly.chosen[q]: record.units[q] for q in stations.QUANTITIES if q in hourly.chosen},
        "conversions": hourly.conversions + [f"{hourly.chosen.get(q, q)}: {n} negative hour(s) set to 0"
                                             for q, n in made["zeroed"].items() if n],
        "records": records,
        "time": {
            "source_clock": record.clock,
            "source_label": f"the {record.label} of the interval each record covers"
                            + (" (--time-label)" if made["time_label"] else " (this layout's convention)"),
            "utc_offset_hours": offset, "utc_offset_from": made["offset_reason"],
            "rule": "record m feeds hour h = 1..24 of the run's day; hour h is the hour ending at h o'clock local "
                    "solar time (hour 12 ends at solar noon, hour 24 at midnight, and belongs to the day that ends); "
                    "month, day and doy are those of the local day; column 1 holds its year; obs_hour = h",
            "first_record_utc": f"{made['kept'].index[0] - pd.Timedelta(hours=offset + 1):%Y-%m-%d %H:%M} to "
                                f"{made['kept'].index[0] - pd.Timedelta(hours=offset):%H:%M}",
        },
        "filled": [gap for quantity, runs in made["filled"].items() for gap in hours_of(runs, quantity)],
        "fill_rule": f"gaps of up to {made['max_gap']} h with values on both sides: linear in time (--max-gap)",
        "left_missing": [gap for quantity, runs in made["remaining"].items() if quantity in OPTIONAL
                         for gap in hours_of([(max(a, first), min(b, last + 1)) for a, b in runs
                                              if b > first and a <= last], quantity)],
        "dropped": {"hours_before_first_whole_day": int(first), "hours_after_last_whole_day":
                    int(len(made["frame"]) - 1 - last), "hours_missing_from_the_source": made["missing_rows"]},
        "surface": made["surface_record"],
        "notes": hourly.notes,
        "parameters": made["parameter_origin"],
        "overrides": made["overrides"],
    })
    if "aggregation" in hourly.details:
        provenance["aggregation"] = hourly.details["aggregation"]
    if made["reanalysis"]:
        provenance["source"]["reanalysis"] = [{"file": os.path.abspath(f), "sha256": file_sha256(f)}
                                              for f in made["reanalysis"]]
        provenance["source"]["product"] = made["product"]
    for key in ("estimated", "filled_from"):
        if hourly.details.get(key):
            provenance[key] = hourly.details[key]
    if "filled_from" in provenance:
        provenance["filled_from"]["files"] = [{"file": os.path.abspath(f), "sha256": file_sha256(f)}
                                              for f in provenance["filled_from"]["files"]]
    if made["cut"]:
        provenance["cut_for_gaps"] = made["cut"]
    return provenance


# ---- the command -----------------------------------------------------------------------------------------

def _summary(out, provenance):
    site, time = provenance["site"], provenance["time"]
    yield (f"{out}: {site['n_days']} whole local solar days, {site['first_day']} to {site['last_day']}, "
           f"latitude {site['latitude']}; local solar time = UTC {time['utc_offset_hours']:+d} h")
    for override in provenance["overrides"]:
        yield f"  {override}"
    if "kept_from_the_site" in provenance["parameters"]:
        yield (f"  kept the items of {provenance['parameters']['kept_from_the_site']} other than "
               f"{', '.join(FROM_RECORD)} (--force)"
               + ("; --parameters gave its own" if "parameters_file" in provenance["parameters"] else ""))
    aggregation = provenance.get("aggregation")
    if aggregation:
        under = aggregation["hours_with_a_quantity_under_threshold"]
        yield (f"  {aggregation['record_step_minutes']:g}-minute records to {aggregation['hours']} hours "
               f"({aggregation['records_per_hour']} per hour; {under} hour(s) with fewer than "
               f"{aggregation['min_coverage']:.3g} of their records missing, {aggregation['edge_hours_dropped']} "
               f"incomplete hour(s) at the ends dropped)")
    records = provenance["records"]
    if records.get("duplicate_records_dropped"):
        yield f"  {records['duplicate_records_dropped']} repeated identical record(s) dropped"
    if records.get("repeated_header_blocks"):
        yield (f"  {len(records['repeated_header_blocks'])} repeated header block(s) skipped, at line(s) "
               f"{', '.join(map(str, records['repeated_header_blocks'][:5]))}")
    if records.get("record_counter_gaps"):
        gaps = records["record_counter_gaps"]
        yield f"  RECORD: {gaps['count']} break(s) in the logger's record counter, the first {gaps['first'][0]}"
    by_variable = {}
    for gap in provenance["filled"]:
        by_variable.setdefault(gap["variable"], []).append(gap)
    for variable, gaps in by_variable.items():
        hours = sum(gap["hours"] for gap in gaps)
        where = ", ".join(f"{gap['first']} ({gap['hours']} h)" for gap in gaps[:3]) + (", ..." if len(gaps) > 3 else "")
        yield f"  filled {variable} linearly: {hours} h in {len(gaps)} gap(s): {where}"
    for conversion in provenance["conversions"]:
        yield f"  {conversion}"
    if "reanalysis" in provenance["source"]:
        yield (f"  made from the reanalysis alone ({provenance['source']['product']}): no surface observation, "
               f"wind at 10 m")
    for quantity, entry in provenance.get("estimated", {}).items():
        at = (f" (z = {entry['elevation_m']:g} m, {entry['elevation_from']})"
              if entry.get("elevation_from", "given") != "given" else "")
        yield f"  estimated {quantity} in {entry['hours']} h: {entry['rule']}{at}"
    filled_from = provenance.get("filled_from")
    if filled_from:
        where = f", grid point {filled_from['distance_km']:g} km away" if "distance_km" in filled_from else ""
        yield f"  filled from the reanalysis ({filled_from['product']}{where}):"
        for quantity, entry in filled_from["quantities"].items():
            yield f"    {quantity} in {entry['hours']} h from {entry['variable']}: {entry['rule']}"
    record = provenance["surface"]
    if "unusable" in record:
        yield f"  {record['unusable']}"
    for jump in record["jumps"]:
        yield (f"  {record['variable']}: jump of {jump['change_m']:+.3f} m at {jump['at']} "
               f"(more than {record['jump_threshold_m']} m in one hour; kept as recorded)")


def _share(text):
    """A share from a number (0.75) or a fraction (2/3), for --min-coverage."""
    try:
        numerator, _, denominator = text.partition("/")
        value = float(numerator) / float(denominator) if denominator else float(numerator)
    except (ValueError, ZeroDivisionError):
        value = math.nan
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a share above 0 and at most 1 (0.75 or 2/3), found {text!r}")
    return value


def main(argv=None):
    parser = cli.parser("prepare", "Turn a station's file into a site the programs run: SITE_DIR/run/parameter.ini, "
                        "SITE_DIR/data/met_lv3/<name>.txt and SITE_DIR/provenance.json; then check it.")
    parser.add_argument("source", metavar="SOURCE", nargs="?", help="a TOA5 logger table (with --mapping), the "
                        "PROMICE/GC-Net hourly product as CSV or NetCDF, the older PROMICE hourly text layout, or any "
                        "CSV with --mapping (none with --reanalysis)")
    parser.add_argument("--out", required=True, metavar="SITE_DIR")
    parser.add_argument("--mapping", metavar="FILE", help="TOML file: which column holds what (and for a CSV, in "
                        "which unit)")
    parser.add_argument("--latitude", type=cli.finite_float, metavar="DEGREES_NORTH", help="when the file has none")
    parser.add_argument("--longitude", type=cli.finite_float, metavar="DEGREES_EAST", help="for local solar time, "
                        "instead of the file's")
    parser.add_argument("--utc-offset", type=cli.finite_float, metavar="HOURS", help="local solar time minus UTC, "
                        "whole hours; instead of the longitude")
    parser.add_argument("--time-label", choices=("start", "end"), help="the time stamps mark the start or the end "
                        "of the interval they cover (default: the layout's convention)")
    parser.add_argument("--max-gap", type=cli.non_negative_int, default=DEFAULT_MAX_GAP, metavar="HOURS",
                        help=f"longest gap filled by linear interpolation (default {DEFAULT_MAX_GAP})")
    parser.add_argument("--min-coverage", type=_share, default=DEFAULT_MIN_COVERAGE, metavar="SHARE",
                        help="share of an hour's sub-hourly records needed for its value (default 2/3)")
    parser.add_argument("--longest-complete", action="store_true", help="keep the longest period of whole days "
                        "without longer gaps instead of stopping")
    parser.add_argument("--parameters", metavar="FILE", help="items of parameter.ini other than latitude and "
                        "n_days: a TOML file (item = value) or another site's parameter.ini")
    parser.add_argument("--name", help="name of the met file (default: the source's name)")
    parser.add_argument("--jump-threshold", type=cli.finite_float, default=DEFAULT_JUMP, metavar="METRES",
                        help=f"report a change of the surface distance above this within one hour "
                        f"(default {DEFAULT_JUMP})")
    parser.add_argument("--force", action="store_true", help="write into a SITE_DIR that is not empty, keeping "
                        "its parameter.ini's items")
    parser.add_argument("--keep-with-errors", action="store_true", help="write the site although its check finds "
                        "errors (they are recorded in provenance.json); without it such a site is not written")
    parser.add_argument("--estimate", default="", metavar="NAMES", help="estimate where missing, comma separated: "
                        "pressure, lw_down, lw_up (or lw_up:melting); see docs/estimates.md")
    parser.add_argument("--elevation", type=cli.finite_float, metavar="METRES", help="the station's elevation "
                        "above sea level (--estimate pressure; the clear sky of lw_down); default: the mapping's or "
                        "the file's")
    parser.add_argument("--reanalysis", nargs="+", metavar="FILE", help="make the site from ERA5 / ERA5-Land point "
                        "series alone (CSV, zip of CSVs, NetCDF); no SOURCE")
    parser.add_argument("--fill-from", nargs="+", metavar="FILE", help="fill the station's gaps and missing "
                        "quantities from ERA5 / ERA5-Land point series corrected to it")
    parser.add_argument("--product", choices=PRODUCTS, default="era5", help="era5: accumulations over the hour "
                        "ending at valid_time (default); era5-land: accumulated since 00 UTC")
    parser.add_argument("--max-distance", type=cli.finite_float, default=DEFAULT_MAX_DISTANCE, metavar="KM",
                        help=f"farthest reanalysis grid point from the station (default {DEFAULT_MAX_DISTANCE:g})")
    args = parser.parse_args(argv)
    stages = cli.Stages("prepare")

    def work():
        try:
            prepared = prepare(args.source, args.out, mapping=args.mapping, latitude=args.latitude,
                               longitude=args.longitude, utc_offset=args.utc_offset, time_label=args.time_label,
                               max_gap=args.max_gap, min_coverage=args.min_coverage,
                               longest_complete=args.longest_complete, parameters=args.parameters, name=args.name,
                               force=args.force, jump_threshold=args.jump_threshold,
                               keep_with_errors=args.keep_with_errors, progress=stages, estimate=args.estimate,
                               elevation=args.elevation, reanalysis=args.reanalysis, fill_from=args.fill_from,
                               product=args.product, max_distance=args.max_distance)
        finally:
            stages.done()
        for line in _summary(args.out, prepared.provenance):
            print(line)
        said = "unusable" in prepared.provenance["surface"]  # the summary named the station's own column
        for finding in prepared.findings:
            if not (said and finding.column == "sd_sensor"
                    and finding.message.startswith("no usable surface observation:")):
                print(finding)
        if not prepared.written:
            errors = sum(finding.severity == "error" for finding in prepared.findings)
            cli.say("prepare", f"{errors} error(s): nothing written (--keep-with-errors writes the site anyway)")
        return prepared.status

    return cli.run("prepare", work)
