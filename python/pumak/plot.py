"""Plot a results table of a cryoconite hole run and summarise how well it fits.

    pumak plot TABLE [PNG] [--json FILE|-] [--no-plot]
    pumak plot ENSEMBLE.nc [PNG] [--no-plot]

The table is the CSV the model writes, read with `pumak.read_results` (each
value to the bit): one header line, then one row per simulated hour, 24 rows
per day in run order. Non-finite values (NaN, Inf, -Inf) are kept as gaps:
they are left out of every statistic and counted in the summary. When the
observed surface cannot be trusted (`pumak.surface.fit_refusal`: absent,
too few valid hours, or constant such as a sensor reading zero), no fit
statistic is given and the summary says why; the figure is still drawn,
without an observed line.

Exit status: 0 done (also for a table without rows); 2 bad input (an
argument, a file that is not a results table); 4 the figure or the JSON
could not be written (a full disk, a file-size limit, no permission).

In a script, `figure(results)` and `summary(results)` take the DataFrame of
pumak.run or pumak.read_results.

A NetCDF file (``.nc``) of `pumak ensemble` is drawn as the spread of its
members' lowering and hole depth (`pumak.plots.ensemble_spread`), with their
final values' median and 5-95 % range as the summary.
"""
import json
import math
import os
import sys
from pathlib import Path

import numpy as np

from pumak import cli, outputs, surface
from pumak.errors import InputError

COMMAND = "plot"
HOURS_PER_DAY = 24

# Columns the summary and the figure use (day of year; m; mm; W m-2).
REQUIRED = ("days_for_graph", "sd_obs", "sd_calc", "cryoconite_depth", "melt_ice", "melt_cryo",
            "src_direct", "src_diffuse", "src_diffuse_t")


def relative(series):
    """The series minus its first finite value (the first hour, unless that hour is missing).

    Parameters
    ----------
    series : numpy.ndarray of float, shape (hours,)
        A lowering in m (any unit: the result has the series' unit).

    Returns
    -------
    numpy.ndarray of float, shape (hours,)
        All NaN when the series holds no finite value.
    """
    finite = np.isfinite(series)
    if not finite.any():
        return np.full_like(series, np.nan)
    return series - series[np.argmax(finite)]


def daily_means(series):
    """Mean of the finite values in each consecutive group of 24 rows.

    Parameters
    ----------
    series : numpy.ndarray of float, shape (hours,)
        Hourly values (unit kept).

    Returns
    -------
    numpy.ndarray of float, shape (ceil(hours / 24),)
        NaN for a group without a finite value; the last group may be short.
    """
    means = []
    for start in range(0, len(series), HOURS_PER_DAY):
        day = series[start:start + HOURS_PER_DAY]
        day = day[np.isfinite(day)]
        means.append(day.mean() if day.size else np.nan)
    return np.array(means)


def _first_last(series):
    finite = series[np.isfinite(series)]
    return (float(finite[0]), float(finite[-1])) if finite.size else (None, None)


def correlation(x, y):
    """Pearson correlation of paired finite values.

    Parameters
    ----------
    x, y : numpy.ndarray of float, shape (pairs,)
        Paired values, all finite.

    Returns
    -------
    float or None
        From -1 to 1; None for fewer than 2 pairs or a constant series.
    """
    if x.size < 2 or np.all(x == x[0]) or np.all(y == y[0]):
        return None
    dx, dy = x - x.mean(), y - y.mean()
    dx, dy = dx / np.abs(dx).max(), dy / np.abs(dy).max()   # scaled, so squares cannot overflow
    r = float(np.sum(dx * dy) / math.sqrt(np.sum(dx * dx) * np.sum(dy * dy)))
    return max(-1.0, min(1.0, r))


def summarise(table, name):
    """The fit of modelled to observed lowering and the course of the hole depth.

    Parameters
    ----------
    table : dict of str to numpy.ndarray of float, each shape (hours,)
        The `REQUIRED` columns (sd_obs and sd_calc in m, depth in mm).
    name : str
        The table's name, for the summary.

    Returns
    -------
    dict
        ``table``, ``hours``, ``final_obs_lowering_m``,
        ``final_calc_lowering_m``, ``pairs`` (hours of the fit), ``bias_m``
        (mean of modelled minus observed lowering), ``rmse_m``,
        ``correlation``, ``no_fit_reason`` (None, or why the observed
        surface gives no fit; the fit values are then None),
        ``depth_initial_mm``, ``depth_final_mm``, ``depth_min_mm``,
        ``depth_max_mm``, ``hours_with_nonfinite``, ``nonfinite`` (column
        to count). Undefined values are None.
    """
    obs, calc = relative(table["sd_obs"]), relative(table["sd_calc"])
    depth = table["cryoconite_depth"]
    reason = surface.fit_refusal(table["sd_obs"]) if len(depth) else None
    paired = np.isfinite(obs) & np.isfinite(calc) & (reason is None)
    diff = calc[paired] - obs[paired]
    finite_depth = depth[np.isfinite(depth)]
    bad = {col: int(np.count_nonzero(~np.isfinite(v))) for col, v in table.items()}
    bad_hours = np.zeros(len(depth), dtype=bool)
    for v in table.values():
        bad_hours |= ~np.isfinite(v)
    return {
        "table": name,
        "hours": int(len(depth)),
        "final_obs_lowering_m": None if reason else _first_last(obs)[1],
        "final_calc_lowering_m": _first_last(calc)[1],
        "pairs": int(diff.size),
        "bias_m": float(diff.mean()) if diff.size else None,
        "rmse_m": float(math.sqrt(np.mean(diff * diff))) if diff.size else None,
        "correlation": correlation(calc[paired], obs[paired]),
        "no_fit_reason": reason,
        "depth_initial_mm": _first_last(depth)[0],
        "depth_final_mm": _first_last(depth)[1],
        "depth_min_mm": float(finite_depth.min()) if finite_depth.size else None,
        "depth_max_mm": float(finite_depth.max()) if finite_depth.size else None,
        "hours_with_nonfinite": int(np.count_nonzero(bad_hours)),
        "nonfinite": {col: n for col, n in bad.items() if n},
    }


def format_summary(s):
    """The summary as the command prints it.

    Parameters
    ----------
    s : dict
        As `summarise` returns it.

    Returns
    -------
    str
        Six lines without a final line end; lowering in m (4 decimals),
        depth in mm (1 decimal); ``undefined`` for a value that is None, and
        the reason instead of the fit when the surface gives none.
    """
    def num(value, fmt):
        return "undefined" if value is None else format(value, fmt)
    if s.get("no_fit_reason"):
        fit = "fit              none: %s" % s["no_fit_reason"]
    else:
        fit = ("fit              bias %s m, RMSE %s m, correlation %s (%d paired hours)"
               % (num(s["bias_m"], "+.4f"), num(s["rmse_m"], ".4f"), num(s["correlation"], ".4f"), s["pairs"]))
    lines = [
        "table            %s" % s["table"],
        "hours            %d" % s["hours"],
        "final lowering   observed %s m, modelled %s m (from the first hour)"
        % (num(s["final_obs_lowering_m"], ".4f"), num(s["final_calc_lowering_m"], ".4f")),
        fit,
        "hole depth       initial %s, final %s, min %s, max %s mm"
        % tuple(num(s[k], ".1f") for k in
                ("depth_initial_mm", "depth_final_mm", "depth_min_mm", "depth_max_mm")),
        "non-finite       %d hour(s)%s" % (s["hours_with_nonfinite"], "".join(
            ", %s %d" % item for item in s["nonfinite"].items())),
    ]
    return "\n".join(lines)


def build_figure(table, title):
    """Four panels over the day of year: lowering, hole depth, daily melt energy, floor shortwave.

    Parameters
    ----------
    table : dict of str to numpy.ndarray of float, each shape (hours,)
        The `REQUIRED` columns.
    title : str
        The figure's title.

    Returns
    -------
    matplotlib.figure.Figure
        Lowering in m since the first hour (the observed one only when
        `pumak.surface.fit_refusal` accepts it); depth in mm; daily mean
        melt energy and floor shortwave in W m-2. Non-finite values are gaps.
    """
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    # Infinities would wreck the axis limits; draw every non-finite value as a gap.
    t = {k: np.where(np.isfinite(v), v, np.nan) for k, v in table.items()}
    day = t["days_for_graph"]
    fig = Figure(figsize=(10, 11), layout="constrained")
    lower, depth, melt, light = fig.subplots(4, 1, sharex=True)
    fig.suptitle(title)

    if surface.fit_refusal(table["sd_obs"]) is None:
        lower.plot(day, relative(t["sd_obs"]), "k-", lw=1, label="observed (sd_obs)")
    lower.plot(day, relative(t["sd_calc"]), "C3-", label="modelled (sd_calc)")
    lower.set_ylabel("surface lowering since\nfirst hour (m)")

    depth.plot(day, t["cryoconite_depth"], "C0-", label="hole depth")
    depth.set_ylabel("cryoconite hole\ndepth (mm)")

    # One point per day, at the mean time of its 24 hours.
    mid = [np.nanmean(g) if np.isfinite(g).any() else np.nan
           for g in np.array_split(day, np.arange(HOURS_PER_DAY, len(day), HOURS_PER_DAY))]
    melt.plot(mid, daily_means(t["melt_ice"]), "C0o-", label="ice surface (melt_ice)")
    melt.plot(mid, daily_means(t["melt_cryo"]), "C1s-", label="hole floor (melt_cryo)")
    melt.set_ylabel("daily mean melt\nenergy (W m$^{-2}$)")

    light.plot(day, t["src_direct"], "C1-", lw=1, label="direct beam")
    light.plot(day, t["src_diffuse"] - t["src_diffuse_t"], "C0-", lw=1,
               label="diffuse through opening")
    light.plot(day, t["src_diffuse_t"], "C2-", lw=1, label="diffuse through ice")
    light.set_ylabel("shortwave on hole\nfloor (W m$^{-2}$)")
    light.set_xlabel("day of year")

    for ax in (lower, depth, melt, light):
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small")
    return fig


def _columns(results):
    """The columns the tool uses, as float64 arrays, from a DataFrame or mapping of results."""
    missing = [name for name in REQUIRED if name not in results]
    if missing:
        raise InputError(f"results: no column {', '.join(missing)}", item=missing[0])
    return {name: np.asarray(results[name], dtype=np.float64) for name in REQUIRED}


def figure(results, title=""):
    """The four-panel figure of a DataFrame of results (`build_figure`; save with ``.savefig``).

    Parameters
    ----------
    results : pandas.DataFrame, shape (hours, 34)
        As `pumak.run` or `pumak.read_results` give them.
    title : str
        The figure's title.
    """
    return build_figure(_columns(results), title)


def summary(results, name=""):
    """The fit summary of a DataFrame of results, as the command prints it (`summarise`).

    Parameters
    ----------
    results : pandas.DataFrame, shape (hours, 34)
        As `pumak.run` or `pumak.read_results` give them.
    name : str
        The table's name, for the summary.
    """
    return summarise(_columns(results), name)


def _json_text(s):
    # Standard JSON has no NaN or Infinity: an overflowed statistic is written as null.
    clean = {k: None if isinstance(v, float) and not math.isfinite(v) else v for k, v in s.items()}
    return json.dumps(clean, indent=2) + "\n"


def main(argv=None):
    """``pumak plot``: the command line; returns the exit status (see the module's docstring)."""
    parser = cli.parser(COMMAND, __doc__.split("\n\n")[0])
    parser.add_argument("table", help="results table (CSV)")
    parser.add_argument("png", nargs="?", help="figure to write (default: TABLE with .png)")
    parser.add_argument("--json", metavar="FILE", help="also write the summary as JSON ('-': stdout)")
    parser.add_argument("--no-plot", action="store_true", help="print the summary only")
    args = parser.parse_args(argv)
    return cli.run(COMMAND, lambda: _plot(args))


def _plot(args):
    from pumak.results import read_results

    # With the JSON on standard output, everything meant for people goes to stderr.
    talk = sys.stderr if args.json == "-" else sys.stdout
    table_path = Path(args.table)
    png = Path(args.png) if args.png else table_path.with_suffix(".png")
    if table_path.suffix == ".nc":
        return _plot_netcdf(args, table_path, png, talk)
    results = read_results(table_path)
    if not args.no_plot:
        outputs.refuse_input(png, {"the table": table_path}, option="figure")
    if args.json not in (None, "-"):
        outputs.refuse_input(args.json, {"the table": table_path}, option="--json")
    if args.json not in (None, "-") and not args.no_plot and os.path.realpath(args.json) == os.path.realpath(png):
        raise InputError(f"--json {args.json}: the summary would overwrite the figure; give another name",
                         item="--json")
    table = _columns(results)
    s = summarise(table, table_path.name)
    if s["hours"] == 0:
        print("%s: the table has a header but no hourly rows; nothing to summarise or plot"
              % args.table, file=talk)
    else:
        print(format_summary(s), file=talk)
    if args.json == "-":
        sys.stdout.write(_json_text(s))
    elif args.json:
        outputs.write_file(args.json, _json_text(s))

    if s["hours"] and s["hours"] % HOURS_PER_DAY:
        cli.say(COMMAND, "%s: %d rows are not whole days; the last daily mean covers %d hour(s)"
                % (args.table, s["hours"], s["hours"] % HOURS_PER_DAY))
    if s["hours"] and not args.no_plot:
        fig = build_figure(table, table_path.name)
        outputs.write_file(png, lambda unfinished: fig.savefig(unfinished, format="png", dpi=120))
        print("figure written to %s" % png, file=talk)
    sys.stdout.flush()  # a closed pipe shows here, where the command ends quietly
    return 0


def _plot_netcdf(args, path, png, talk):
    """`pumak plot` of a NetCDF file: an ensemble's spread, or one run's table."""
    from pumak import plots

    dataset = plots.read_netcdf(path)
    if "member" not in dataset.dims:
        raise InputError(f"{args.table}: not an ensemble (no member dimension); plot a run's results table "
                         "(CSV) instead", file=args.table, item="member")
    if args.json:
        raise InputError("--json: a JSON summary is written for a run's results, not for an ensemble",
                         item="--json")
    if not args.no_plot and os.path.realpath(png) == os.path.realpath(path):
        raise InputError(f"{args.table}: the figure would overwrite the ensemble; give another PNG name",
                         file=args.table)
    print(plots.spread_summary(dataset, path.name), file=talk)
    if not args.no_plot:
        fig = plots.ensemble_spread(dataset, path.name)
        outputs.write_file(png, lambda unfinished: fig.savefig(unfinished, format="png", dpi=120))
        print("figure written to %s" % png, file=talk)
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
