"""Ensembles: many parameter sets over one met series, computed by the compiled engine.

    site = pumak.read_site("example/run")
    members = pandas.DataFrame({"albedo_ice": [0.45, 0.50, 0.55], "ch": [0.002, 0.003, 0.004]})
    dataset = pumak.ensemble(site.met, site.parameters, members, columns=["sd_calc"])

Every member is bit for bit the run of pumak.run with its parameters, whether
the members run in this process, on the threads of the engine, as Dask tasks
or in shards of a job array merged afterwards.

    python3 -m pumak ensemble RUN_DIR --members members.csv [--columns sd_calc ...]
                             [--shard K/N] [--threads T] --out part_K.nc
    python3 -m pumak ensemble merge part_*.nc --out ensemble.nc
"""

import argparse
import datetime
import hashlib
import os
import sys
import uuid
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core
from pumak.cf import to_xarray
from pumak.errors import InputError
from pumak.model import met_arrays, program_name, read_site

# The items of parameter.ini that every member shares: the files, and the
# run length (the time dimension is one for all members).
SHARED_ITEMS = ("met_file", "out_file", "n_days")

_ITEMS = {item["name"]: item for item in _core.parameter_items()}
_COLUMNS = tuple(c["name"] for c in _core.result_columns())

# Dask tasks per worker thread: enough to balance the load and to lose
# little when a worker dies, few enough that the met series and the call
# overhead stay small against the work.
TASKS_PER_THREAD = 4


def member_items(program="pumak_metrun"):
    """The items a member may set for `program`, in file order."""
    layout = _core.program_layout(program_name(program))
    return tuple(name for name in tuple(_ITEMS)[:layout["items"]] if name not in SHARED_ITEMS)


def _member_table(members, program):
    """members as a DataFrame of known items, and the members' numbers."""
    if isinstance(members, Mapping):
        members = pd.DataFrame(members)
    if not isinstance(members, pd.DataFrame):
        raise TypeError(f"members: expected a pandas DataFrame, found {type(members).__name__}")
    valid = member_items(program)
    names = [str(name) for name in members.columns]
    unknown = [name for name in names if name not in valid]
    if unknown:
        shared = [name for name in unknown if name in SHARED_ITEMS]
        raise InputError(
            f"members: {', '.join(unknown)}: not an item a member sets"
            + (f" ({', '.join(shared)} shared by all members)" if shared else "")
            + f"; the items are {', '.join(valid)}", item=unknown[0])
    doubled = sorted({name for name in names if names.count(name) > 1})
    if doubled:
        raise InputError(f"members: {', '.join(doubled)} appears more than once", item=doubled[0])
    if len(members) == 0:
        raise InputError("members: no rows")
    index = members.index
    if pd.api.types.is_integer_dtype(index.dtype) and index.is_unique and index.min() >= 0:
        numbers = index.to_numpy(dtype=np.int64)
    else:
        numbers = np.arange(len(members), dtype=np.int64)
    members = members.set_axis(names, axis=1)
    for name in names:
        column = members[name]
        if column.dtype.kind not in "fiu":
            raise InputError(f"members: {name}: expected numbers, found {column.dtype}", item=name)
        if _ITEMS[name]["kind"] == "integer":
            values = column.to_numpy(dtype=np.float64)
            whole = np.isfinite(values) & (values == np.round(values)) & (np.abs(values) < 2**31)
            if not whole.all():
                k = int(np.argmin(whole))
                raise InputError(f"members: {name}: expected an integer, found {values[k]!r} "
                                 f"(member {numbers[k]})", item=name)
    return members, numbers


def _parameter_sets(base, table):
    """One dict of parameters per member: the shared ones with the member's own over them."""
    columns = {}
    for name in table.columns:
        values = table[name].to_numpy()
        if _ITEMS[name]["kind"] == "integer":  # whole numbers, checked; a CSV column with blanks is float
            values = values.astype(np.int64)
        columns[name] = values.tolist()
    sets = []
    for k in range(len(table)):
        values = dict(base)
        for name, column in columns.items():
            values[name] = column[k]
        sets.append(values)
    return sets


def _run_chunk(met, base, table, program, columns, threads):
    """The engine on one block of members: what a Dask task does."""
    return _core.ensemble(met, _parameter_sets(base, table), program, list(columns),
                          threads=threads, summary_only=not columns)


def _gathered(blocks):
    """The engine's outputs of consecutive blocks of members as one, in member order."""
    if len(blocks) == 1:
        return blocks[0]
    return {name: np.concatenate([block[name] for block in blocks]) for name in blocks[0]}


def _run_on_dask(client, met, base, table, program, columns, threads):
    total_threads = sum(client.nthreads().values()) or 1
    n_tasks = max(1, min(len(table), TASKS_PER_THREAD * total_threads))
    bounds = np.linspace(0, len(table), n_tasks + 1).round().astype(int)
    # The met series goes to every worker once, as one piece of data.
    [met_on_workers] = client.scatter([met], broadcast=True, hash=False)
    call = uuid.uuid4().hex[:12]
    futures = [client.submit(_run_chunk, met_on_workers, base, table.iloc[lo:hi], program, columns,
                             threads or 1, pure=False, key=f"pumak-ensemble-{call}-{k}")
               for k, (lo, hi) in enumerate(zip(bounds[:-1], bounds[1:]))]
    try:
        blocks = client.gather(futures)
    except BaseException:
        # The tasks still queued stop; on success the futures are simply
        # released (cancel would wait for the scheduler's answer).
        client.cancel(futures + [met_on_workers])
        raise
    return _gathered(blocks)


def ensemble(met, parameters, members, columns=(), threads=None, client=None, program="pumak_metrun"):
    """Runs one member per row of `members` over `met`; an xarray.Dataset of member and time.

    `parameters` holds the items every member shares (as pumak.read_site
    gives them; the file names may be left out); each column of `members`
    (a DataFrame) sets one item for each member, named as in parameter.ini
    (`albedo_ice`, `ch`, ...). `columns` names the result columns to keep
    for every hour, as variables of dimensions (member, time); without
    columns only the summary is kept and memory does not grow with the run
    length. The summary per member: final lowering and depth, bias, RMSE and
    correlation of the modelled against the observed lowering (as pumak.plot
    defines them) and the melt energy of ice and floor summed over the run.
    The members' own items are the variables parameter_<item> along
    member, the shared ones attributes as pumak.to_xarray writes them.

    The members are numbered by the DataFrame's index when it holds unique
    non-negative integers, otherwise from 0. `threads` is the engine's
    thread count (default: the machine's cores). With `client`, a
    dask.distributed.Client, the members run in blocks as tasks on its
    workers (each with `threads` threads, default 1) and are gathered in
    member order; the values are the same to the bit.
    """
    run = _Request(met, parameters, members, columns, threads, program)
    return _dataset(run.compute(client), run)


class _Request:
    """The inputs of an ensemble, checked before any work is handed out."""

    def __init__(self, met, parameters, members, columns, threads, program):
        self.program = program_name(program)
        self.table, self.numbers = _member_table(members, self.program)
        self.columns = _column_names(columns)
        self.parameters = dict(parameters)
        self.base = {name: value for name, value in self.parameters.items() if name not in ("met_file", "out_file")}
        self.met = met_arrays(met)
        first = _parameter_sets(self.base, self.table.iloc[:1])[0]
        _core.checked_parameters({"met_file": "", "out_file": "", **first}, self.program)
        if threads is not None and (isinstance(threads, bool) or not isinstance(threads, (int, np.integer))
                                    or threads < 1):
            raise InputError(f"threads: expected a positive integer, found {threads!r}", item="threads")
        self.threads = threads

    def compute(self, client=None):
        if client is not None:
            return _run_on_dask(client, self.met, self.base, self.table, self.program, self.columns,
                                self.threads)
        return _run_chunk(self.met, self.base, self.table, self.program, self.columns, self.threads)


def _column_names(columns):
    if isinstance(columns, str):
        columns = [columns]
    columns = [str(c) for c in columns]
    unknown = [c for c in columns if c not in _COLUMNS]
    if unknown:
        raise InputError(f"columns: {', '.join(unknown)}: no such result column; the columns are "
                         f"{', '.join(_COLUMNS)}", item=unknown[0])
    return list(dict.fromkeys(columns))


def _summary_attributes():
    """Units and long names of the summary variables, as the engine describes them."""
    return {row["name"]: {key: row[key] for key in ("units", "long_name") if row.get(key)}
            for row in _core.ensemble_summaries()}


def _dataset(out, run):
    import xarray as xr

    table, numbers, parameters, met, columns = run.table, run.numbers, run.parameters, run.met, run.columns
    hours = int(parameters["n_days"]) * 24
    varied = list(table.columns)
    shared = {name: value for name, value in parameters.items() if name not in varied}
    # pumak.to_xarray of a run-long template gives the variables' attributes,
    # the time coordinate, the site and the global attributes; the data
    # comes from the engine.
    template = {"month": met["month"][:hours], "day": met["day"][:hours],
                "hour": (np.arange(hours, dtype=np.int32) % 24 + 1)}
    for name in columns:
        template.setdefault(name, np.zeros(hours, dtype=out[name].dtype))
    single = to_xarray(pd.DataFrame(template), shared, met, program=run.program)

    data_vars = {}
    for name in columns:
        data_vars[name] = (("member", "time"), out[name], dict(single[name].attrs))
    for name, attrs in _summary_attributes().items():
        data_vars[name] = ("member", out[name], attrs)
    for name in varied:
        item = _ITEMS[name]
        kind = np.int32 if item["kind"] == "integer" else np.float32
        with np.errstate(over="ignore", invalid="ignore"):
            values = table[name].to_numpy(dtype=np.float64).astype(kind)
        attrs = {"long_name": item["meaning"]}
        if item["unit"]:
            attrs["units"] = item["unit"]
        data_vars[f"parameter_{name}"] = ("member", values, attrs)

    if "time_bnds" in single:  # the bounds the time coordinate names
        data_vars["time_bnds"] = single["time_bnds"]
    coords = {"member": ("member", numbers, {"long_name": "ensemble member number"}), **single.coords}
    attrs = dict(single.attrs)
    attrs["title"] = "pumak cryoconite hole model ensemble"
    attrs["history"] = attrs["history"].replace("pumak.to_xarray", "pumak.ensemble")
    dataset = xr.Dataset(data_vars, coords=coords, attrs=attrs)
    if "time" in single.coords:
        dataset["time"].encoding.update(single["time"].encoding)
        dataset["time_bnds"].encoding.update(single["time_bnds"].encoding)
    return dataset


# ---- the command line ------------------------------------------------------

class Refusal(Exception):
    """Bad input on the command line: one line on stderr, status 2."""


def reporting_failures(command, work):
    """work() -> exit status; bad input becomes one line and status 2, a failing system status 1."""
    try:
        return work()
    except (Refusal, InputError) as exc:
        print(f"pumak {command}: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        where = f"{os.fsdecode(exc.filename)}: " if exc.filename else ""
        print(f"pumak {command}: {where}{exc.strerror or exc}", file=sys.stderr)
        return 1


class OneLineParser(argparse.ArgumentParser):
    """Arguments it cannot take are reported in one line (--help shows the usage)."""

    def error(self, message):
        self.exit(2, f"{self.prog.replace('python3 -m ', '')}: {message}\n")


def _shard(text):
    try:
        k, n = (int(part) for part in text.split("/"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected K/N, two whole numbers") from None
    if not 1 <= k <= n:
        raise argparse.ArgumentTypeError(f"{text!r}: K must be 1 to N")
    return k, n


def shard_bounds(k, n, total):
    """Members [first, last) of shard k of n (k from 1): every member in exactly one shard."""
    return (k - 1) * total // n, k * total // n


def _read_members(path):
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise Refusal(f"{path}: {exc.strerror}") from None
    try:
        import io
        table = pd.read_csv(io.BytesIO(data), skip_blank_lines=True)
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError) as exc:
        raise Refusal(f"{path}: not a table of members ({str(exc).splitlines()[0]})") from None
    for name in table.columns:
        if table[name].dtype.kind not in "fiu":
            numbers = pd.to_numeric(table[name], errors="coerce")
            bad = int(np.flatnonzero(numbers.isna() & table[name].notna())[0])
            raise Refusal(f"{path}:{bad + 2}: {name}: expected a number, found {table[name].iloc[bad]!r}")
    return table, hashlib.sha256(data).hexdigest()


def _writable(path):
    """Refuses an output whose directory is missing before any work is done."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise Refusal(f"cannot write {path}: no directory {directory}")
    if os.path.isdir(path):
        raise Refusal(f"cannot write {path}: is a directory")


def _write_netcdf(dataset, path):
    """The file appears whole under its name or not at all."""
    import secrets
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    try:
        dataset.to_netcdf(temporary)
        os.replace(temporary, path)
    except OSError as exc:
        raise Refusal(f"cannot write {path}: {exc.strerror or exc}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _run_command(argv):
    parser = OneLineParser(
        prog="python3 -m pumak ensemble",
        description="Runs the model once per row of a members table over a site's met series and writes "
                    "a NetCDF file (dimensions member and time). `python3 -m pumak ensemble merge --help` "
                    "joins the shards of a job array.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the site's run directory (holds parameter.ini)")
    parser.add_argument("--members", required=True, metavar="CSV",
                        help="one row per member, one column per item of parameter.ini it sets; member "
                             "numbers are the rows from 0")
    parser.add_argument("--columns", nargs="+", default=[], metavar="NAME",
                        help="result columns to keep for every hour (blank- or comma-separated); "
                             "default: the summary only")
    parser.add_argument("--shard", type=_shard, metavar="K/N",
                        help="run only the K-th of N equal blocks of members (K from 1)")
    parser.add_argument("--threads", type=int, metavar="T", help="engine threads (default: all cores)")
    parser.add_argument("--program", default="pumak_metrun", help="pumak_metrun (default), fixed_a or fixed_b")
    parser.add_argument("--out", required=True, metavar="FILE", help="NetCDF file to write")
    args = parser.parse_args(argv)

    columns = [name for text in args.columns for name in text.split(",") if name]
    _writable(args.out)
    table, digest = _read_members(args.members)
    total = len(table)
    k, n = args.shard or (1, 1)
    if n > total:
        raise Refusal(f"--shard {k}/{n}: {n} shards of {total} members would leave shards empty")
    first, last = shard_bounds(k, n, total)
    if args.threads is not None and args.threads < 1:
        raise Refusal(f"--threads {args.threads}: expected a positive number")
    site = read_site(args.run_dir, args.program)
    dataset = ensemble(site.met, site.parameters, table.iloc[first:last], columns=columns,
                       threads=args.threads, program=site.program)
    dataset.attrs.update({
        "ensemble_members_file": os.path.basename(args.members),
        "ensemble_members_sha256": digest,
        "ensemble_members_total": np.int64(total),
        "ensemble_shard": f"{k}/{n}",
    })
    _write_netcdf(dataset, args.out)
    return 0


def _ranges(numbers):
    """Member numbers as short text: 3, 7-9, 12."""
    numbers = sorted(int(v) for v in numbers)
    parts, start = [], None
    for i, v in enumerate(numbers):
        if start is None:
            start = v
        if i + 1 == len(numbers) or numbers[i + 1] != v + 1:
            parts.append(str(v) if v == start else f"{start}-{v}")
            start = None
    return ", ".join(parts)


def merge(paths):
    """The shards of one ensemble as one Dataset, members in order; refuses gaps and overlaps."""
    import xarray as xr

    parts = []
    for path in paths:
        try:
            with xr.open_dataset(path) as part:
                parts.append(part.load())
        except (OSError, ValueError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else "not a readable NetCDF file"
            raise Refusal(f"{path}: {reason}") from None
        if "ensemble_members_total" not in parts[-1].attrs or "member" not in parts[-1].dims:
            raise Refusal(f"{path}: not a part of an ensemble (written by python3 -m pumak ensemble)")
    first = parts[0].attrs
    for path, part in zip(paths, parts):
        for key in ("ensemble_members_sha256", "ensemble_members_total"):
            if part.attrs.get(key) != first.get(key):
                raise Refusal(f"{path}: from another ensemble than {paths[0]} ({key} differs)")
        if sorted(part.data_vars) != sorted(parts[0].data_vars):
            raise Refusal(f"{path}: other variables than {paths[0]}")
    total = int(first["ensemble_members_total"])
    numbers = np.concatenate([part["member"].to_numpy() for part in parts])
    counts = np.bincount(numbers[(numbers >= 0) & (numbers < total)], minlength=total)
    problems = []
    if (counts == 0).any():
        problems.append(f"members {_ranges(np.flatnonzero(counts == 0))} missing")
    if (counts > 1).any():
        problems.append(f"members {_ranges(np.flatnonzero(counts > 1))} in more than one part")
    if len(numbers) != counts.sum():
        problems.append(f"members beyond the {total} of the table")
    if problems:
        shards = {part.attrs.get("ensemble_shard") for part in parts}
        n = str(first.get("ensemble_shard", "1/1")).split("/")[-1]
        absent = [f"{k}/{n}" for k in range(1, int(n) + 1) if f"{k}/{n}" not in shards]
        raise Refusal("; ".join(problems) + (f" (no part holds shard {', '.join(absent)})" if absent else ""))
    merged = xr.concat(parts, dim="member", data_vars="minimal", coords="minimal", compat="equals",
                       combine_attrs="override").sortby("member")
    merged.attrs = {key: value for key, value in first.items() if key != "ensemble_shard"}
    now = datetime.datetime.now(datetime.timezone.utc)
    merged.attrs["history"] = (f"{first.get('history', '')}\n{now:%Y-%m-%dT%H:%M:%SZ} "
                               f"{len(parts)} shards merged by python3 -m pumak ensemble merge").lstrip()
    return merged


def _merge_command(argv):
    parser = OneLineParser(prog="python3 -m pumak ensemble merge",
                                     description="Joins the shards of an ensemble into one NetCDF file, "
                                                 "after checking that every member is there exactly once.")
    parser.add_argument("parts", nargs="+", metavar="PART", help="files written with --shard")
    parser.add_argument("--out", required=True, metavar="FILE", help="NetCDF file to write")
    args = parser.parse_args(argv)
    if os.path.abspath(args.out) in {os.path.abspath(p) for p in args.parts}:
        raise Refusal(f"--out {args.out}: is one of the parts")
    _writable(args.out)
    _write_netcdf(merge(args.parts), args.out)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["merge"]:
        return reporting_failures("ensemble", lambda: _merge_command(argv[1:]))
    return reporting_failures("ensemble", lambda: _run_command(argv))


if __name__ == "__main__":
    sys.exit(main())
