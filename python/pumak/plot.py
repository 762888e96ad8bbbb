"""Plot a results table of a cryoconite hole run and summarise how well it fits.

The table is the CSV the model writes: one header line, then one row per simulated
hour, 24 rows per day in run order.  Columns are found by name, so their order and
any extra columns do not matter.  Non-finite values (NaN, Inf, -Inf, any case) are
kept as gaps: they are left out of every statistic and counted in the summary.

    python3 -m pumak plot TABLE [PNG] [--json FILE|-] [--no-plot]

Exit status: 0 on success (also for a table without rows), 1 when the file is not
a readable results table or the plot cannot be written, 2 for bad arguments.

In a script, `figure(results)` and `summary(results)` take the DataFrame of
pumak.run or pumak.read_results.
"""
import argparse
import csv
import json
import math
import re
import sys
from pathlib import Path

import numpy as np

HOURS_PER_DAY = 24

# Columns the summary and the figure use (day of year; m; mm; W m-2).
REQUIRED = ("days_for_graph", "sd_obs", "sd_calc", "cryoconite_depth", "melt_ice", "melt_cryo",
            "src_direct", "src_diffuse", "src_diffuse_t")

# A decimal number, or NaN / Inf / Infinity with an optional sign, in any case.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|nan|inf(?:inity)?)",
                     re.IGNORECASE)


class TableError(Exception):
    """The file is not a readable results table; the message says why."""


def read_table(path):
    """Return {column: float64 array} for the required columns of the table at `path`."""
    path = Path(path)
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            rows = list(csv.reader(handle))
    except FileNotFoundError:
        raise TableError("no such file")
    except IsADirectoryError:
        raise TableError("is a directory, not a table")
    except UnicodeDecodeError:
        raise TableError("not a text file")
    except (OSError, csv.Error) as exc:
        raise TableError("cannot be read as CSV (%s)" % exc)

    rows = [(n, row) for n, row in enumerate(rows, start=1) if any(f.strip() for f in row)]
    if not rows:
        raise TableError("empty file, no header line")
    header = [name.strip() for name in rows[0][1]]
    missing = [name for name in REQUIRED if name not in header]
    if missing:
        raise TableError("not a results table: missing column(s) %s" % ", ".join(missing))
    doubled = sorted({name for name in REQUIRED if header.count(name) > 1})
    if doubled:
        raise TableError("column(s) %s appear more than once" % ", ".join(doubled))

    index = {name: header.index(name) for name in REQUIRED}
    values = {name: np.empty(len(rows) - 1) for name in REQUIRED}
    for i, (line, row) in enumerate(rows[1:]):
        if len(row) != len(header):
            raise TableError("line %d has %d fields, the header has %d"
                             % (line, len(row), len(header)))
        for name, col in index.items():
            text = row[col].strip()
            if not _NUMBER.fullmatch(text):
                raise TableError("line %d, column %s: %r is not a number" % (line, name, text))
            values[name][i] = float(text)
    return values


def relative(series):
    """The series minus its first finite value (the first hour, unless that hour is missing)."""
    finite = np.isfinite(series)
    if not finite.any():
        return np.full_like(series, np.nan)
    return series - series[np.argmax(finite)]


def daily_means(series):
    """Mean of the finite values in each consecutive group of 24 rows (NaN for a group with none)."""
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
    """Pearson correlation of paired finite values; None if fewer than 2 pairs or a series is constant."""
    if x.size < 2 or np.all(x == x[0]) or np.all(y == y[0]):
        return None
    dx, dy = x - x.mean(), y - y.mean()
    dx, dy = dx / np.abs(dx).max(), dy / np.abs(dy).max()   # scaled, so squares cannot overflow
    r = float(np.sum(dx * dy) / math.sqrt(np.sum(dx * dx) * np.sum(dy * dy)))
    return max(-1.0, min(1.0, r))


def summarise(table, name):
    """Fit of modelled to observed lowering and the course of the hole depth, as a dict."""
    obs, calc = relative(table["sd_obs"]), relative(table["sd_calc"])
    depth = table["cryoconite_depth"]
    paired = np.isfinite(obs) & np.isfinite(calc)
    diff = calc[paired] - obs[paired]
    finite_depth = depth[np.isfinite(depth)]
    bad = {col: int(np.count_nonzero(~np.isfinite(v))) for col, v in table.items()}
    bad_hours = np.zeros(len(depth), dtype=bool)
    for v in table.values():
        bad_hours |= ~np.isfinite(v)
    return {
        "table": name,
        "hours": int(len(depth)),
        "final_obs_lowering_m": _first_last(obs)[1],
        "final_calc_lowering_m": _first_last(calc)[1],
        "pairs": int(diff.size),
        "bias_m": float(diff.mean()) if diff.size else None,
        "rmse_m": float(math.sqrt(np.mean(diff * diff))) if diff.size else None,
        "correlation": correlation(calc[paired], obs[paired]),
        "depth_initial_mm": _first_last(depth)[0],
        "depth_final_mm": _first_last(depth)[1],
        "depth_min_mm": float(finite_depth.min()) if finite_depth.size else None,
        "depth_max_mm": float(finite_depth.max()) if finite_depth.size else None,
        "hours_with_nonfinite": int(np.count_nonzero(bad_hours)),
        "nonfinite": {col: n for col, n in bad.items() if n},
    }


def format_summary(s):
    def num(value, fmt):
        return "undefined" if value is None else format(value, fmt)
    lines = [
        "table            %s" % s["table"],
        "hours            %d" % s["hours"],
        "final lowering   observed %s m, modelled %s m (from the first hour)"
        % (num(s["final_obs_lowering_m"], ".4f"), num(s["final_calc_lowering_m"], ".4f")),
        "fit              bias %s m, RMSE %s m, correlation %s (%d paired hours)"
        % (num(s["bias_m"], "+.4f"), num(s["rmse_m"], ".4f"),
           num(s["correlation"], ".4f"), s["pairs"]),
        "hole depth       initial %s, final %s, min %s, max %s mm"
        % tuple(num(s[k], ".1f") for k in
                ("depth_initial_mm", "depth_final_mm", "depth_min_mm", "depth_max_mm")),
        "non-finite       %d hour(s)%s" % (s["hours_with_nonfinite"], "".join(
            ", %s %d" % item for item in s["nonfinite"].items())),
    ]
    return "\n".join(lines)


def build_figure(table, title):
    """Four panels over the day of year: lowering, hole depth, daily melt energy, floor shortwave."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    # Infinities would wreck the axis limits; draw every non-finite value as a gap.
    t = {k: np.where(np.isfinite(v), v, np.nan) for k, v in table.items()}
    day = t["days_for_graph"]
    fig = Figure(figsize=(10, 11), layout="constrained")
    lower, depth, melt, light = fig.subplots(4, 1, sharex=True)
    fig.suptitle(title)

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


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m pumak plot", description=__doc__.split("\n\n")[0])
    parser.add_argument("table", help="results table (CSV)")
    parser.add_argument("png", nargs="?", help="figure to write (default: TABLE with .png)")
    parser.add_argument("--json", metavar="FILE", help="also write the summary as JSON ('-': stdout)")
    parser.add_argument("--no-plot", action="store_true", help="print the summary only")
    args = parser.parse_args(argv)

    # With the JSON on standard output, everything meant for people goes to stderr.
    talk = sys.stderr if args.json == "-" else sys.stdout
    table_path = Path(args.table)
    png = Path(args.png) if args.png else table_path.with_suffix(".png")
    try:
        table = read_table(table_path)
    except TableError as exc:
        print("%s: %s" % (args.table, exc), file=sys.stderr)
        return 1
    if not args.no_plot and png.resolve() == table_path.resolve():
        print("%s: the figure would overwrite the table; give another PNG name" % args.table,
              file=sys.stderr)
        return 1

    summary = summarise(table, table_path.name)
    if summary["hours"] == 0:
        print("%s: the table has a header but no hourly rows; nothing to summarise or plot"
              % args.table, file=talk)
    else:
        print(format_summary(summary), file=talk)
    if args.json:
        # Standard JSON has no NaN or Infinity: an overflowed statistic is written as null.
        clean = {k: None if isinstance(v, float) and not math.isfinite(v) else v
                 for k, v in summary.items()}
        text = json.dumps(clean, indent=2)
        if args.json == "-":
            print(text)
        else:
            try:
                Path(args.json).write_text(text + "\n")
            except OSError as exc:
                print("%s: cannot write JSON summary (%s)" % (args.json, exc), file=sys.stderr)
                return 1

    if summary["hours"] == 0:
        return 0
    if summary["hours"] % HOURS_PER_DAY:
        print("%s: %d rows are not whole days; the last daily mean covers %d hour(s)"
              % (args.table, summary["hours"], summary["hours"] % HOURS_PER_DAY), file=sys.stderr)
    if not args.no_plot:
        try:
            build_figure(table, table_path.name).savefig(png, dpi=120)
        except OSError as exc:
            print("%s: cannot write figure (%s)" % (png, exc), file=sys.stderr)
            return 1
        print("figure written to %s" % png, file=talk)
    return 0


def _columns(results):
    """The columns the tool uses, as float64 arrays, from a DataFrame or mapping of results."""
    return {name: np.asarray(results[name], dtype=np.float64) for name in REQUIRED}


def figure(results, title=""):
    """The four-panel figure of a DataFrame of results (a matplotlib Figure; save with .savefig)."""
    return build_figure(_columns(results), title)


def summary(results, name=""):
    """The fit summary of a DataFrame of results, as the command prints it (a dict)."""
    return summarise(_columns(results), name)


if __name__ == "__main__":
    sys.exit(main())
