"""Estimates of quantities a station does not measure: pressure, incoming and outgoing longwave.

    hourly = estimate(to_model_units(aggregate(to_utc(read(path, absent=("lw_down",))))), ["lw_down"])

Each estimate fills the hours where its quantity is missing (all of them
when the station lacks it) and records them in ``details["estimated"]``;
a measured hour is never replaced. docs/estimates.md gives the formulas,
their sources and how well they reproduce measured records.
"""

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.common import DESCRIPTION
from pumak.stations.quantities import ESTIMABLE

# The model's constants in single precision (physics/const_init.cpp).
SIGMA = np.float32(5.67e-8)          # W m-2 K-4
T_MELT = np.float32(273.15)          # K
SOLAR_CONSTANT = 1367.0              # W m-2
# The smallest outgoing longwave (W m-2, single precision) from which the model
# takes a surface temperature of exactly 0 °C: powf(L / sigma, 0.25f) - t_melt == 0.
MELTING_LW_UP = np.float32(315.63687)

# Standard atmosphere (ICAO): sea-level pressure (hPa), temperature (K), lapse rate
# (K m-1) and the exponent g M / (R L).
P0, T0, LAPSE, BARO_EXPONENT = 1013.25, 288.15, 0.0065, 5.25588
ELEVATION_RANGE = (-500.0, 9000.0)   # m a.s.l. accepted

# All-sky incoming longwave (Konzelmann et al. 1994): clear-sky emissivity
# 0.23 + 0.484 (e / T)^(1/8) with e in Pa and T in K, overcast emissivity 0.952,
# cloud exponent 4.
KONZELMANN = {"base": 0.23, "b": 0.484, "overcast": 0.952, "p": 4.0}
# Cloud cover from the shortwave's transmissivity against clear sky (Kasten and
# Czeplak 1980): sr / sr_clear = 1 - 0.75 n^3.4.
KASTEN = {"a": 0.75, "b": 3.4}
# Clear-sky transmissivity of the atmosphere, 0.75 + 2e-5 z (Allen et al. 1998, FAO-56 eq. 37).
CLEAR_SKY = (0.75, 2e-5)
# The cloud cover is read only in hours whose mean top-of-atmosphere shortwave is at
# least this share of the solar constant (a sun about 8.6° high), and carried on through
# the other hours.
DAYLIGHT_SHARE = 0.15

RULES = {
    "pressure": "standard atmosphere: 1013.25 (1 - 0.0065 z / 288.15)^5.25588 hPa at the elevation z",
    "lw_down": "Konzelmann et al. (1994) all-sky emissivity from air temperature, vapour pressure and a cloud "
               "cover from the shortwave's transmissivity (Kasten and Czeplak 1980; clear sky 0.75 + 2e-5 z of the "
               "model's top-of-atmosphere shortwave), carried through hours without sun",
    "lw_up": "a black body at min(air temperature, 0 °C) with the model's sigma; at or above 0 °C exactly the "
             "value from which the model takes 0 °C (315.63687 W m-2)",
    "lw_up:melting": "a melting surface: the value from which the model takes exactly 0 °C (315.63687 W m-2)",
}
NEEDS = {"pressure": (), "lw_down": ("ta_obs", "rh", "sr"), "lw_up": ("ta_obs",), "lw_up:melting": ()}


def parse_names(text, where="--estimate"):
    """The estimates named in ``pressure,lw_down,lw_up`` (``lw_up:melting`` for a melting surface).

    Raises
    ------
    SourceError
        An unknown name.
    """
    names = [name.strip() for name in (text.split(",") if isinstance(text, str) else text) if name.strip()]
    for name in names:
        if name not in RULES:
            raise SourceError(f"{where}: {name!r}: expected some of {', '.join(RULES)}")
    return names


def saturation_pressure(ta):
    """Saturation vapour pressure over water (Pa) at `ta` (°C), the model's Magnus-Tetens pair 7.5, 237.3."""
    return 610.78 * 10.0 ** (7.5 * ta / (237.3 + ta))


def barometric_pressure(elevation):
    """Air pressure (hPa) of the standard atmosphere at `elevation` (m a.s.l.)."""
    return P0 * (1.0 - LAPSE * elevation / T0) ** BARO_EXPONENT


def melting_lw_up(ta):
    """Outgoing longwave (W m-2) of a surface at min(`ta`, 0 °C), in the model's convention.

    Where `ta` >= 0 °C it is `MELTING_LW_UP`, from which the model takes a
    surface temperature of exactly 0 °C; below, sigma T^4 with the model's
    constants, kept under `MELTING_LW_UP` so that the model's surface stays
    below 0 °C. NaN stays NaN.
    """
    ta = np.asarray(ta, dtype=float)
    below = np.float32(np.nextafter(MELTING_LW_UP, np.float32(0)))
    frozen = float(SIGMA) * (ta + float(T_MELT)) ** 4          # used below 0 °C only
    out = np.where(ta >= 0.0, float(MELTING_LW_UP), np.minimum(frozen, float(below)))
    return np.where(np.isnan(ta), np.nan, out)


def top_of_atmosphere(index, latitude, utc_offset):
    """The model's top-of-atmosphere shortwave (W m-2) averaged over each hour.

    Parameters
    ----------
    index : pandas.DatetimeIndex
        Each hour's end in UTC.
    latitude : float
        Degrees north.
    utc_offset : int
        Local solar time minus UTC, h.

    Returns
    -------
    numpy.ndarray
        The mean of the model's sun at the hour's start and end
        (`pumak._core.solar_angle`, whose cosine carries the eccentricity).
    """
    from pumak import _core

    start = pd.DatetimeIndex(index) - pd.Timedelta(hours=1) + pd.Timedelta(hours=utc_offset)
    doy = start.dayofyear.to_numpy(dtype=np.int32)
    hour = (start.hour + 1).to_numpy(dtype=np.int32)
    at_end = np.cos(_core.solar_angle(doy, hour, float(latitude)).astype(float))
    at_start = np.cos(_core.solar_angle(doy, hour - 1, float(latitude)).astype(float))
    return SOLAR_CONSTANT * np.clip((at_start + at_end) / 2.0, 0.0, None)


def cloud_cover(sr, toa, elevation=0.0):
    """Cloud cover 0..1 from shortwave (W m-2) against clear sky, carried through hours without sun.

    Returns
    -------
    cover : numpy.ndarray
    daylight : int
        Hours in which it was read.
    """
    clear = (CLEAR_SKY[0] + CLEAR_SKY[1] * elevation) * toa
    daylight = (toa >= DAYLIGHT_SHARE * SOLAR_CONSTANT) & np.isfinite(sr)
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.clip(np.where(daylight, sr / clear, np.nan), 0.0, 1.0)
    cover = np.clip((1.0 - ratio) / KASTEN["a"], 0.0, 1.0) ** (1.0 / KASTEN["b"])
    cover = pd.Series(cover).ffill().bfill().to_numpy()
    return cover, int(daylight.sum())


def longwave_down(ta, rh, cover):
    """Incoming longwave (W m-2) from air temperature (°C), humidity (fraction) and cloud cover (0..1)."""
    t = ta + 273.15
    e = rh * saturation_pressure(ta)
    clear = KONZELMANN["base"] + KONZELMANN["b"] * (np.clip(e, 0.0, None) / t) ** 0.125
    n = cover ** KONZELMANN["p"]
    return (clear * (1.0 - n) + KONZELMANN["overcast"] * n) * 5.67e-8 * t ** 4


def utc_runs(index, mask):
    """The runs of True in `mask` as UTC intervals of hours ("2016-08-01 02:00 to 2016-08-01 05:00 UTC")."""
    edges = np.diff(np.concatenate([[0], mask.astype(np.int8), [0]]))
    return [f"{index[a] - pd.Timedelta(hours=1):%Y-%m-%d %H:%M} to {index[b - 1]:%Y-%m-%d %H:%M} UTC"
            for a, b in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1))]


def check_elevation(elevation, where="--elevation"):
    """The elevation in m a.s.l., refused when missing or absurd."""
    if elevation is None:
        raise SourceError(f"{where}: the station's elevation is needed (give --elevation METRES)")
    if not ELEVATION_RANGE[0] <= elevation <= ELEVATION_RANGE[1]:
        raise SourceError(f"{where} {elevation:g}: expected metres above sea level from {ELEVATION_RANGE[0]:g} to "
                          f"{ELEVATION_RANGE[1]:g}")
    return float(elevation)


def _short_gaps(missing, max_gap):
    """Hours of runs of `missing` of at most `max_gap` hours with values on both sides."""
    short = np.zeros(len(missing), dtype=bool)
    edges = np.diff(np.concatenate([[0], missing.astype(np.int8), [0]]))
    for a, b in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)):
        if b - a <= max_gap and a > 0 and b < len(missing):
            short[a:b] = True
    return short


def estimate(station, names, elevation=None, utc_offset=None, max_gap=0):
    """The station with `names` estimated in the hours they are missing.

    Parameters
    ----------
    station : Station
        Hourly values in the model's units (°C, fraction, W m-2, hPa),
        indexed by each hour's end in UTC (after `to_model_units`).
    names : sequence of str
        Some of ``pressure``, ``lw_down``, ``lw_up``, ``lw_up:melting``.
    elevation : float, optional
        The station's elevation, m a.s.l. (pressure; also the clear-sky
        shortwave of ``lw_down``, 0 m when not given). Default:
        ``station.details["elevation"]``.
    utc_offset : int, optional
        Local solar time minus UTC, h, for the model's sun; default from the
        station's longitude (rounded as `pumak.prepare` rounds it).
    max_gap : int
        Gaps of up to this many hours between measured values are left
        for `pumak.prepare`'s linear filling, h.

    Returns
    -------
    Station
        ``details["estimated"]`` maps each estimated quantity to its rule,
        its hours and their UTC runs.

    Raises
    ------
    SourceError
        An unknown name, an elevation missing or absurd, inputs missing
        (named), or no sunlit hour to read the cloud cover from.
    """
    names = parse_names(names)
    elevation_from = "given"
    if elevation is None:
        elevation = station.details.get("elevation")
        elevation_from = station.details.get("elevation_from", "the source")
    data = station.data.copy()
    out = station.replace(data=data)
    estimated = out.details.setdefault("estimated", {})
    for name in names:
        quantity = name.split(":")[0]
        missing = data[quantity].isna().to_numpy()
        missing &= ~_short_gaps(missing, max_gap)
        lacking = [DESCRIPTION[q] for q in NEEDS[name] if not data[q].notna().any()]
        if lacking:
            raise SourceError(f"{station.source}: --estimate {name}: needs {', '.join(lacking)}, which the record "
                              f"lacks")
        if not missing.any():
            out.notes.append(f"{DESCRIPTION[quantity]}: measured in every hour, nothing estimated")
            continue
        if quantity == "pressure":
            values = np.full(len(data), barometric_pressure(check_elevation(elevation)))
        elif name == "lw_up:melting":
            values = np.full(len(data), float(MELTING_LW_UP))
        elif quantity == "lw_up":
            values = melting_lw_up(data["ta_obs"].to_numpy())
        else:
            values = _lw_down(station, data, elevation, utc_offset)
        data.loc[missing, quantity] = values[missing]
        done = missing & np.isfinite(values)
        estimated[quantity] = {"rule": RULES[name], "hours": int(done.sum()), "utc": utc_runs(data.index, done)}
        if quantity == "pressure":
            estimated[quantity].update(elevation_m=float(elevation), elevation_from=elevation_from)
        out.chosen.setdefault(quantity, f"estimated {quantity}")
        out.units[quantity] = out.units.get(quantity) or ""
    return out


def _lw_down(station, data, elevation, utc_offset):
    if station.latitude is None:
        raise SourceError(f"{station.source}: --estimate lw_down: needs the station's latitude for the sun "
                          f"(give --latitude)")
    if utc_offset is None:
        if station.longitude is None:
            raise SourceError(f"{station.source}: --estimate lw_down: needs the station's longitude for the sun "
                              f"(give --longitude or --utc-offset)")
        utc_offset = int(np.floor(station.longitude / 15.0 + 0.5))
    toa = top_of_atmosphere(data.index, station.latitude, utc_offset)
    cover, daylight = cloud_cover(data["sr"].to_numpy(), toa, elevation or 0.0)
    if not daylight:
        raise SourceError(f"{station.source}: --estimate lw_down: no hour with the sun higher than about 8.6° and a "
                          f"shortwave value, so no cloud cover can be read (polar night?)")
    return longwave_down(data["ta_obs"].to_numpy(), data["rh"].to_numpy(), cover)


__all__ = ["estimate", "parse_names", "barometric_pressure", "melting_lw_up", "longwave_down", "cloud_cover",
           "top_of_atmosphere", "saturation_pressure", "check_elevation", "MELTING_LW_UP", "RULES", "ESTIMABLE"]
