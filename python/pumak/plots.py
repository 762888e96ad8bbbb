"""Figures of an ensemble's spread and of the hole's energy balance over a day.

    pumak plot ENSEMBLE.nc [PNG]

`ensemble_spread(dataset)` draws the members' surface lowering and hole
depth over time as a median with the 25-75 % and 5-95 % bands of the
members (and the observed lowering when the ensemble kept ``sd_obs``);
`energy_balance_day(results, day)` draws one day's hourly flux components
of the bare ice and of the hole floor from a results DataFrame. The command
`pumak plot` draws the first for a NetCDF file of `pumak ensemble`.
"""
import warnings

import numpy as np

from pumak.errors import InputError

HOURS_PER_DAY = 24
# Member x time columns the spread figure draws (m, mm); at least one is needed.
SPREAD = ("sd_calc", "cryoconite_depth")
# Quantiles of the members: the outer band, the inner band and the median.
BANDS = ((0.05, 0.95), (0.25, 0.75))
# The flux components of each surface (W m-2, positive toward the surface)
# and the energy left for melt; the results table's names without the surface.
FLUXES = (("nsr", "net shortwave"), ("nlr", "net longwave"), ("sh", "sensible heat"),
          ("lh", "latent heat"), ("melt", "available for melt"))
SURFACES = (("ice", "bare ice"), ("cryo", "hole floor"))


def _figure(rows, height, sharey=False):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(10, height), layout="constrained")
    return fig, fig.subplots(rows, 1, sharex=True, sharey=sharey, squeeze=False)[:, 0]


def spread(dataset):
    """The members' quantiles of each column of `SPREAD` the ensemble kept.

    Parameters
    ----------
    dataset : xarray.Dataset
        As `pumak.ensemble` returns it or `pumak ensemble` writes it, with
        ``sd_calc`` (m) or ``cryoconite_depth`` (mm) over ``member`` and
        ``time``.

    Returns
    -------
    dict of str to dict of float to numpy.ndarray of float, shape (time,)
        Per column, the quantile (0.05, 0.25, 0.5, 0.75, 0.95) of the
        members hour by hour, in the column's unit; ``sd_calc`` is measured
        from each member's first hour. Non-finite values are left out.

    Raises
    ------
    pumak.InputError
        When the dataset has no member x time column of `SPREAD`.
    """
    names = [n for n in SPREAD if n in dataset.data_vars and dataset[n].dims == ("member", "time")]
    if not names:
        raise InputError("ensemble: no member x time column sd_calc or cryoconite_depth (run the ensemble "
                         "with columns sd_calc and cryoconite_depth)", item="sd_calc")
    out = {}
    for name in names:
        values = dataset[name].to_numpy().astype(np.float64)
        values[~np.isfinite(values)] = np.nan
        if name == "sd_calc":
            values = values - values[:, :1]
        levels = sorted({q for band in BANDS for q in band} | {0.5})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)   # an hour where every member is NaN
            quantiles = np.nanquantile(values, levels, axis=0)
        out[name] = dict(zip(levels, quantiles))
    return out


def ensemble_spread(dataset, title=""):
    """The spread of an ensemble's surface lowering and hole depth over time.

    Parameters
    ----------
    dataset : xarray.Dataset
        As `pumak.ensemble` returns it or `pumak ensemble` writes it (see
        `spread`); an ``sd_obs`` column, when kept, is drawn as the
        observed lowering (m, from the first hour).
    title : str
        The figure's title.

    Returns
    -------
    matplotlib.figure.Figure
        One panel per column: the median, the 25-75 % and 5-95 % bands of
        the members; lowering in m, depth in mm, over the time coordinate.
    """
    bands = spread(dataset)
    time = dataset["time"].to_numpy()
    fig, axes = _figure(len(bands), 3.2 * len(bands) + 0.8)
    members = dataset.sizes["member"]
    fig.suptitle(title or f"ensemble of {members} member{'s' * (members != 1)}")
    labels = {"sd_calc": "surface lowering since\nfirst hour (m)", "cryoconite_depth": "cryoconite hole\ndepth (mm)"}
    for ax, (name, q) in zip(axes, bands.items()):
        for (low, high), alpha in zip(BANDS, (0.2, 0.4)):
            ax.fill_between(time, q[low], q[high], color="C0", alpha=alpha, lw=0,
                            label=f"{low:.0%}-{high:.0%} of members")
        ax.plot(time, q[0.5], "C0-", lw=1.5, label="median of members")
        if name == "sd_calc" and "sd_obs" in dataset.data_vars:
            obs = dataset["sd_obs"].to_numpy().astype(np.float64)
            obs = obs[0] if obs.ndim == 2 else obs
            obs = np.where(np.isfinite(obs), obs, np.nan)
            first = np.flatnonzero(np.isfinite(obs))
            if first.size:
                ax.plot(time, obs - obs[first[0]], "k-", lw=1, label="observed (sd_obs)")
        ax.set_ylabel(labels[name])
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small")
    if np.issubdtype(time.dtype, np.datetime64):
        from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
        locator = AutoDateLocator()
        axes[-1].xaxis.set_major_locator(locator)
        axes[-1].xaxis.set_major_formatter(ConciseDateFormatter(locator))
    axes[-1].set_xlabel("time")
    return fig


def day_fluxes(results, day=None):
    """One day's hourly flux components of the bare ice and the hole floor.

    Parameters
    ----------
    results : pandas.DataFrame, shape (hours, 34)
        As `pumak.run` or `pumak.read_results` give them: 24 rows per day
        in run order.
    day : int, optional
        The day of the run, from 1 (rows 24 (day - 1) to 24 day - 1).
        Default: the day with the most energy for melt at the hole floor.

    Returns
    -------
    day : int
        The day drawn, from 1.
    fluxes : dict of str to numpy.ndarray of float, shape (24,)
        The day's columns ``nsr_ice`` ... ``melt_cryo`` of `FLUXES` for both
        surfaces (W m-2) and ``hour`` (1 to 24, local solar time).

    Raises
    ------
    pumak.InputError
        When a column is missing, the table holds no whole day, or `day`
        is not one of its days.
    """
    names = [f"{flux}_{surface}" for surface, _ in SURFACES for flux, _ in FLUXES]
    missing = [n for n in names + ["hour"] if n not in results]
    if missing:
        raise InputError(f"results: no column {', '.join(missing)}", item=missing[0])
    days = len(results) // HOURS_PER_DAY
    if days == 0:
        raise InputError(f"results: {len(results)} hour(s) hold no whole day of 24 hours", item="day")
    if day is None:
        melt = np.asarray(results["melt_cryo"], dtype=np.float64)[:days * HOURS_PER_DAY]
        daily = np.where(np.isfinite(melt), melt, 0.0).reshape(days, HOURS_PER_DAY).sum(axis=1)
        day = int(np.argmax(daily)) + 1
    elif isinstance(day, bool) or not isinstance(day, (int, np.integer)) or not 1 <= day <= days:
        raise InputError(f"day: {day!r} is not a day of the run (1 to {days})", item="day")
    rows = slice((day - 1) * HOURS_PER_DAY, day * HOURS_PER_DAY)
    return int(day), {n: np.asarray(results[n], dtype=np.float64)[rows] for n in names + ["hour"]}


def energy_balance_day(results, day=None, title=""):
    """The energy balance of the bare ice and of the hole floor over one day, hour by hour.

    Parameters
    ----------
    results : pandas.DataFrame, shape (hours, 34)
        As `pumak.run` or `pumak.read_results` give them.
    day : int, optional
        The day of the run, from 1; default as `day_fluxes`.
    title : str
        The figure's title (default: names the day).

    Returns
    -------
    matplotlib.figure.Figure
        Two panels on one W m-2 scale, the bare ice and the hole floor:
        net shortwave, net longwave, sensible and latent heat, and the
        energy available for melt, against the hour of local solar time.
    """
    day, fluxes = day_fluxes(results, day)
    fig, axes = _figure(2, 7.5, sharey=True)
    fig.suptitle(title or f"energy balance over day {day} of the run")
    hour = fluxes["hour"]
    for ax, (surface, name) in zip(axes, SURFACES):
        for k, (flux, label) in enumerate(FLUXES):
            values = fluxes[f"{flux}_{surface}"]
            style = dict(color="k", lw=2.2) if flux == "melt" else dict(color=f"C{k}", lw=1.3)
            ax.plot(hour, np.where(np.isfinite(values), values, np.nan), marker=".", label=label, **style)
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.set_ylabel(f"{name}\n(W m$^{{-2}}$, toward the surface)")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small", ncol=2)
    axes[-1].set_xlabel("hour of the run (local solar time; 12 is solar noon)")
    axes[-1].set_xticks(range(0, 25, 3))
    return fig


def read_netcdf(path):
    """A NetCDF file of results or of an ensemble, loaded into memory.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    xarray.Dataset

    Raises
    ------
    pumak.InputError
        When the file is missing or is not NetCDF.
    """
    import xarray as xr

    try:
        with xr.open_dataset(path) as dataset:
            return dataset.load()
    except FileNotFoundError:
        raise InputError(f"{path}: no such file", file=str(path)) from None
    except (OSError, ValueError):
        raise InputError(f"{path}: not a NetCDF file that can be read", file=str(path)) from None


def spread_summary(dataset, name):
    """The lines `pumak plot` prints for an ensemble.

    Parameters
    ----------
    dataset : xarray.Dataset
        As for `spread`.
    name : str
        The file's name.

    Returns
    -------
    str
        Members and hours, then per column its final value's median and
        5-95 % range over the members (lowering in m, depth in mm).
    """
    lines = [f"ensemble         {name}: {dataset.sizes['member']} members x {dataset.sizes['time']} hours"]
    for column, q in spread(dataset).items():
        label, unit, fmt = (("final lowering", "m", ".4f") if column == "sd_calc"
                            else ("final depth", "mm", ".1f"))
        lines.append(f"{label:<16} median {q[0.5][-1]:{fmt}} {unit}, 5-95 % of members "
                     f"{q[0.05][-1]:{fmt}} to {q[0.95][-1]:{fmt}} {unit}")
    return "\n".join(lines)
