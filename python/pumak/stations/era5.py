"""ERA5 and ERA5-Land single-level point series, as the data store delivers them, read as a `Station`.

    station = read_reanalysis(["era5_2016.csv"], product="era5")
    hourly = to_model_units(station)          # already hourly, UTC, each hour labelled by its end

Files: a CSV ``valid_time,latitude,longitude,<short names>`` (one or more
variables), a zip of such CSVs (one per variable), or NetCDF with
``valid_time`` (or the older ``time``, packed values decoded by xarray).
Several files are joined on their stamps; a stamp two files hold must carry
the same values.

Variables (short names): t2m, d2m, skt (K), u10, v10 (m s-1), sp (Pa), the
accumulations ssrd, strd, str (J m-2) and the mean rates msdwswrf, msdwlwrf,
msnlwrf (W m-2). ``era5``: an accumulation covers the hour ending at
``valid_time`` (also ERA5-Land time series, delivered de-accumulated);
``era5-land``: accumulated since 00 UTC, so an hour is the difference from
the previous stamp, and the 00 UTC value closes the previous day. An
instantaneous value at ``valid_time`` stands for the hour ending then.
"""

import io
import math
import os
import zipfile

import numpy as np
import pandas as pd

from pumak.errors import SourceError
from pumak.stations.common import QUANTITIES, Station, settle_records

PRODUCTS = ("era5", "era5-land")
INSTANT = ("t2m", "d2m", "skt", "u10", "v10", "sp")
ACCUMULATED = ("ssrd", "strd", "str")
MEAN_RATE = ("msdwswrf", "msdwlwrf", "msnlwrf")
KNOWN = INSTANT + ACCUMULATED + MEAN_RATE
TIME_NAMES = ("valid_time", "time")
# The largest hourly mean a flux can have (W m-2): shortwave below the top of the
# atmosphere, longwave far below; more is an accumulation read as an hour or a rate.
MAX_FLUX = {"ssrd": 1500.0, "msdwswrf": 1500.0, "strd": 800.0, "msdwlwrf": 800.0, "str": 800.0, "msnlwrf": 800.0}
# IFS saturation vapour pressure over water (Pa): a1 exp(a3 (T - T0) / (T - a4)).
IFS_WATER = {"a1": 611.21, "a3": 17.502, "a4": 32.19, "t0": 273.16}
SIGMA = 5.67e-8
EARTH_RADIUS_KM = 6371.0
DEFAULT_MAX_DISTANCE_KM = 50.0
SECONDS = 3600.0


def ifs_saturation(t):
    """Saturation vapour pressure over water (Pa) at `t` (K), as the IFS documents it."""
    c = IFS_WATER
    return c["a1"] * np.exp(c["a3"] * (t - c["t0"]) / (t - c["a4"]))


def distance_km(lat1, lon1, lat2, lon2):
    """Great-circle distance (km) between two points given in degrees."""
    p1, p2, dl = map(math.radians, (lat1, lat2, lon2 - lon1))
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * EARTH_RADIUS_KM * math.asin(min(1.0, math.sqrt(a)))


# ---- one file ------------------------------------------------------------------------------------------

def _time_name(path, names):
    found = [name for name in TIME_NAMES if name in names]
    if not found:
        raise SourceError(f"{path}: no valid_time or time: not a reanalysis point series (found "
                          f"{', '.join(map(str, list(names)[:8]))})")
    return found[0]


def _nearest(path, points, near):
    """The row of `points` (a frame of latitude, longitude) nearest `near`; one point needs no `near`."""
    if len(points) == 1:
        return 0
    if near is None or near[0] is None or near[1] is None:
        raise SourceError(f"{path}: holds {len(points)} grid points; give --latitude and --longitude of the site "
                          f"to choose the nearest")
    distances = [distance_km(near[0], near[1], a, b) for a, b in zip(points["latitude"], points["longitude"])]
    return int(np.argmin(distances))


def _csv_frame(path, text, near, member=None):
    where = f"{path}:{member}" if member else path
    try:
        table = pd.read_csv(io.StringIO(text), comment="#")
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError) as error:
        raise SourceError(f"{where}: not a CSV table: {str(error).splitlines()[0]}") from None
    table.columns = [str(name).strip() for name in table.columns]
    time = _time_name(where, table.columns)
    for name in [c for c in table.columns if c in KNOWN or c in ("latitude", "longitude")]:
        values = pd.to_numeric(table[name], errors="coerce")
        bad = values.isna() & table[name].notna() & (table[name].astype(str).str.strip() != "")
        if bad.any():
            i = int(np.argmax(bad.to_numpy()))
            raise SourceError(f"{where}:{i + 2}: {name}: expected a number, found {str(table[name].iloc[i])[:40]!r}")
        table[name] = values
    position = None
    if {"latitude", "longitude"} <= set(table.columns):
        points = table[["latitude", "longitude"]].drop_duplicates().reset_index(drop=True)
        chosen = points.iloc[_nearest(where, points, near)]
        table = table[(table["latitude"] == chosen["latitude"]) & (table["longitude"] == chosen["longitude"])]
        position = (float(chosen["latitude"]), float(chosen["longitude"]))
    stamps = pd.to_datetime(table[time].astype(str).str.strip(), errors="coerce", utc=True)
    if stamps.isna().any():
        i = int(np.argmax(stamps.isna().to_numpy()))
        raise SourceError(f"{where}:{table.index[i] + 2}: {time}: expected a date and time, found "
                          f"{str(table[time].iloc[i])[:40]!r}")
    frame = table[[c for c in table.columns if c in KNOWN]].set_axis(stamps.dt.tz_convert(None).to_numpy())
    return frame, position, {c: where for c in frame.columns}


def _netcdf_frame(path, near):
    import xarray as xr

    try:
        dataset = xr.open_dataset(path)
    except (OSError, ValueError) as error:
        raise SourceError(f"{path}: cannot read as NetCDF: {str(error).splitlines()[0]}") from None
    with dataset:
        names = set(dataset.variables)
        time = _time_name(path, names)
        found = [name for name in KNOWN if name in dataset.data_vars]
        if not found:
            raise SourceError(f"{path}: not an ERA5 or ERA5-Land single-level series: none of "
                              f"{', '.join(KNOWN)} (found {', '.join(map(str, list(dataset.data_vars)[:8]))})")
        if "expver" in dataset.dims:   # early release and final data on one axis: the one that holds a value
            dataset = dataset.max("expver", skipna=True)
        dataset = dataset.squeeze([d for d, n in dataset.sizes.items() if n == 1 and d != time])
        other = [d for d in dataset.dims if d not in (time, "latitude", "longitude")]
        if other:
            what = "on pressure levels" if other[0] in ("pressure_level", "level") else f"along {other[0]}"
            raise SourceError(f"{path}: {found[0]}: a file {what} ({dataset.sizes[other[0]]}), another product; "
                              f"expected single-level values along {time} only")
        position = None
        spatial = [d for d in ("latitude", "longitude") if d in dataset.dims]
        if spatial:
            lats = np.atleast_1d(dataset["latitude"].values)
            lons = np.atleast_1d(dataset["longitude"].values)
            grid = pd.DataFrame([(a, b) for a in lats for b in lons], columns=["latitude", "longitude"])
            point = grid.iloc[_nearest(path, grid, near)]
            dataset = dataset.sel(latitude=point["latitude"], longitude=point["longitude"])
        if "latitude" in dataset.coords and "longitude" in dataset.coords:
            position = (float(dataset["latitude"].values), float(dataset["longitude"].values))
        frame = pd.DataFrame({name: np.asarray(dataset[name].values, dtype=float).reshape(-1) for name in found},
                             index=pd.DatetimeIndex(dataset[time].values))
    return frame, position, {c: path for c in frame.columns}


def _read_file(path, near):
    """[(frame of short names indexed by UTC stamps, (latitude, longitude) or None, variable -> where)]."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as stream:
            head = stream.read(8)
    except OSError as error:
        raise SourceError(f"{path}: cannot open: {error.strerror}") from None
    if head.startswith((b"CDF", b"\x89HDF")):
        return [_netcdf_frame(path, near)]
    if head.startswith(b"PK"):
        try:
            with zipfile.ZipFile(path) as archive:
                members = [m for m in archive.namelist() if m.lower().endswith(".csv")]
                if not members:
                    raise SourceError(f"{path}: a zip without a CSV file")
                return [_csv_frame(path, archive.read(m).decode("utf-8-sig"), near, m) for m in members]
        except zipfile.BadZipFile as error:
            raise SourceError(f"{path}: not a readable zip: {error}") from None
    with open(path, encoding="utf-8-sig", errors="replace") as stream:
        return [_csv_frame(path, stream.read(), near)]


def _join(parts):
    """One frame of every variable from several files; a stamp held twice must agree."""
    joined, where = None, {}
    for frame, _, origin in parts:
        frame = frame[~frame.index.duplicated(keep="first")]
        if joined is None:
            joined = frame.copy()
        else:
            common = joined.index.intersection(frame.index)
            for name in frame.columns:
                if name in joined.columns and len(common):
                    a = joined.loc[common, name].to_numpy()
                    b = frame.loc[common, name].to_numpy()
                    both = np.isfinite(a) & np.isfinite(b)
                    differ = both & (np.abs(a - b) > 1e-3 * np.maximum(np.abs(a), np.abs(b)) + 1e-3)
                    if differ.any():
                        i = int(np.argmax(differ))
                        raise SourceError(f"{origin[name]}: {name}: {common[i]} is {b[i]:g} here but {a[i]:g} in "
                                          f"{where[name]}: overlapping files disagree")
            joined = joined.combine_first(frame)
        for name in frame.columns:
            where.setdefault(name, origin[name])
    return joined.sort_index(), where


# ---- to hourly quantities ----------------------------------------------------------------------------------

def _deaccumulate(values, stamps):
    """Hourly totals from totals accumulated since 00 UTC (the 00 UTC value closes the previous day)."""
    previous = np.concatenate([[np.nan], values[:-1]])
    contiguous = np.concatenate([[False], np.diff(stamps.asi8) == 3600 * 10**9])
    hourly = np.where(contiguous, values - previous, np.nan)
    first_of_day = stamps.hour == 1
    return np.where(first_of_day, values, hourly)


def _flux(path, name, values, stamps, product):
    """An accumulation or a mean rate as hourly means (W m-2), refused when it does not fit `product`."""
    if name in MEAN_RATE:
        fluxes = values
    elif product == "era5-land":
        hourly = _deaccumulate(values, stamps)
        inside = stamps.hour != 1
        falling = inside & (hourly < -0.01 * np.nanmax(np.abs(values)))
        if name != "str" and falling.sum() > 0.05 * inside.sum():   # net longwave may fall, the others not
            raise SourceError(f"{path}: {name}: falls within the day in {int(falling.sum())} hours: not accumulated "
                              f"since 00 UTC as era5-land is; hourly accumulations (--product era5)?")
        fluxes = hourly / SECONDS
    else:
        fluxes = values / SECONDS
    top = np.nanmax(np.abs(fluxes)) if np.isfinite(fluxes).any() else 0.0
    if top > MAX_FLUX[name]:
        if name in MEAN_RATE:
            what = (f"a mean rate up to {top:g} W m-2, above {MAX_FLUX[name]:g}: J m-2 under a mean rate's name "
                    f"(3600 times too large)?")
        else:
            what = (f"up to {top * SECONDS:g} J m-2 in one hour ({top:g} W m-2, above {MAX_FLUX[name]:g}): "
                    + ("accumulated since 00 UTC (--product era5-land)?" if product == "era5"
                       else "not an ERA5-Land accumulation"))
        raise SourceError(f"{path}: {name}: {what}")
    return fluxes


def read_reanalysis(paths, product="era5", latitude=None, longitude=None):
    """ERA5 or ERA5-Land point series as an hourly `Station` (UTC, each hour labelled by its end).

    Parameters
    ----------
    paths : sequence of str
        CSV, zip of CSVs or NetCDF files of one point (or of a grid, of which
        the point nearest `latitude`, `longitude` is taken).
    product : {"era5", "era5-land"}
        How accumulations are stored (see the module's text).
    latitude, longitude : float, optional
        Degrees north and east of the site, to choose a grid point.

    Returns
    -------
    Station
        ``ta_obs`` in K, ``rh`` a fraction (over water, from d2m and t2m),
        ``wind`` m s-1 (from u10, v10), ``pressure`` Pa, ``sr``, ``lw_down``,
        ``lw_up`` W m-2 (``lw_up`` from strd - str, or sigma skt^4); no
        reflected shortwave and no surface (NaN). `to_model_units` turns
        them into the model's units.

    Raises
    ------
    SourceError
        One line naming the file and the variable.
    """
    if product not in PRODUCTS:
        raise SourceError(f"--product {product!r}: expected one of {', '.join(PRODUCTS)}")
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise SourceError("--reanalysis: no file given")
    parts = [part for path in paths for part in _read_file(path, (latitude, longitude))]
    positions = {part[1] for part in parts if part[1] is not None}
    if len(positions) > 1:
        raise SourceError(f"{paths[-1]}: the files hold different points: "
                          + ", ".join(f"{a:.3f} N {b:.3f} E" for a, b in sorted(positions)))
    frame, where = _join(parts)
    source = ", ".join(paths)
    label = frame.columns[0] if len(frame.columns) else "time"
    frame, _, step, _ = settle_records(where.get(label, paths[0]), frame.index, frame, None, "valid_time")
    if step != 3600:
        raise SourceError(f"{paths[0]}: valid_time: records {step // 60} min apart; expected hourly")
    full = pd.date_range(frame.index[0], frame.index[-1], freq="h")
    frame = frame.reindex(full)
    stamps = frame.index
    has = {name: name in frame.columns and frame[name].notna().any() for name in KNOWN}
    data = {q: np.full(len(frame), np.nan) for q in QUANTITIES}
    units, chosen = {q: "" for q in QUANTITIES}, {}

    def take(quantity, values, unit, name):
        data[quantity], units[quantity], chosen[quantity] = values, unit, name

    if has["t2m"]:
        take("ta_obs", frame["t2m"].to_numpy(), "K", "t2m")
    if has["t2m"] and has["d2m"]:
        rh = ifs_saturation(frame["d2m"].to_numpy()) / ifs_saturation(frame["t2m"].to_numpy())
        take("rh", np.minimum(rh, 1.0), "fraction", "d2m, t2m")
    if has["u10"] and has["v10"]:
        take("wind", np.hypot(frame["u10"].to_numpy(), frame["v10"].to_numpy()), "m s-1", "u10, v10")
    if has["sp"]:
        take("pressure", frame["sp"].to_numpy(), "Pa", "sp")
    fluxes = {name: _flux(where[name], name, frame[name].to_numpy(), stamps, product)
              for name in ACCUMULATED + MEAN_RATE if has[name]}
    for quantity, names in (("sr", ("ssrd", "msdwswrf")), ("lw_down", ("strd", "msdwlwrf"))):
        name = next((n for n in names if n in fluxes), None)
        if name:
            take(quantity, fluxes[name], "W m-2", name)
    pair = next(((d, n) for d, n in (("strd", "str"), ("msdwlwrf", "msnlwrf")) if d in fluxes and n in fluxes), None)
    if pair:
        take("lw_up", fluxes[pair[0]] - fluxes[pair[1]], "W m-2", f"{pair[0]} - {pair[1]}")
    elif has["skt"]:
        take("lw_up", SIGMA * frame["skt"].to_numpy() ** 4, "W m-2", "sigma skt^4")
    if not chosen:
        raise SourceError(f"{paths[0]}: not an ERA5 or ERA5-Land single-level series: none of {', '.join(KNOWN)}")
    position = next(iter(positions), (None, None))
    notes = ["reanalysis: no surface observation (the surface distance is NaN)",
             "reanalysis: wind at 10 m, air temperature and dew point at 2 m"]
    station = Station(source=source, layout=f"reanalysis ({product})", data=pd.DataFrame(data, index=stamps),
                      units=units, label="end", step_seconds=3600,
                      aggregation={q: "mean" for q in QUANTITIES}, latitude=position[0], longitude=position[1],
                      latitude_from=f"the reanalysis grid point of {paths[0]}" if position[0] is not None else None,
                      longitude_from=f"the reanalysis grid point of {paths[0]}" if position[1] is not None else None,
                      chosen=chosen, notes=notes,
                      details={"product": product, "files": paths, "hours": int(len(stamps)),
                               "grid_point": list(position)})
    if latitude is not None and longitude is not None and position[0] is not None:
        station.details["distance_km"] = round(distance_km(latitude, longitude, *position), 2)
    return station


__all__ = ["read_reanalysis", "distance_km", "ifs_saturation", "PRODUCTS", "KNOWN", "DEFAULT_MAX_DISTANCE_KM"]


def as_era5(data, product="era5"):
    """Hourly values in the model's units as the data store's short names: the inverse of `read_reanalysis`.

    Parameters
    ----------
    data : pandas.DataFrame
        ``ta_obs`` (°C), ``rh`` (fraction), ``wind`` (m s-1), ``pressure``
        (hPa), ``sr``, ``lw_down``, ``lw_up`` (W m-2), indexed by each hour's
        end in UTC.
    product : {"era5", "era5-land"}
        ``era5-land`` accumulates the fluxes since 00 UTC.

    Returns
    -------
    pandas.DataFrame
        t2m, d2m (K), u10, v10 (m s-1, the wind blowing along u), sp (Pa),
        ssrd, strd, str (J m-2), indexed by valid_time; the wind blows from
        the south-west (u = v). For round trips and benchmarks.
    """
    c = IFS_WATER
    t = data["ta_obs"].to_numpy(dtype=float) + 273.15
    x = np.log(data["rh"].to_numpy(dtype=float) * ifs_saturation(t) / c["a1"]) / c["a3"]
    frame = pd.DataFrame({"t2m": t, "d2m": (c["t0"] - x * c["a4"]) / (1.0 - x),
                          "u10": data["wind"].to_numpy(dtype=float) / np.sqrt(2),
                          "v10": data["wind"].to_numpy(dtype=float) / np.sqrt(2),
                          "sp": data["pressure"].to_numpy(dtype=float) * 100.0,
                          "ssrd": data["sr"].to_numpy(dtype=float) * SECONDS,
                          "strd": data["lw_down"].to_numpy(dtype=float) * SECONDS,
                          "str": (data["lw_down"] - data["lw_up"]).to_numpy(dtype=float) * SECONDS},
                         index=pd.DatetimeIndex(data.index, name="valid_time"))
    if product == "era5-land":
        day = (frame.index - pd.Timedelta(hours=1)).floor("D")
        for name in ACCUMULATED:
            frame[name] = frame[name].groupby(day).cumsum()
    return frame
