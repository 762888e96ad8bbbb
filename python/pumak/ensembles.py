"""Ensembles: many parameter sets over one met series, computed by the compiled engine.

    site = pumak.read_site("example/run")
    members = pandas.DataFrame({"albedo_ice": [0.45, 0.50, 0.55], "ch": [0.002, 0.003, 0.004]})
    dataset = pumak.ensemble(site.met, site.parameters, members, columns=["sd_calc"])

Every member is bit for bit the run of pumak.run with its parameters, whether
the members run in this process, on the threads of the engine, as Dask tasks
or in shards of a job array merged afterwards.

    pumak ensemble RUN_DIR --members members.csv [--columns sd_calc ...]
                           [--shard K/N] [--threads T] [--quiet] --out part_K.nc
    pumak ensemble merge part_*.nc [--quiet] --out ensemble.nc

A dataset carries what identifies its ensemble as attributes: the program
(``ensemble_program``), the digest of the met series as the model holds it
(``ensemble_met_sha256``), the parameters every member shares
(``ensemble_site_parameters``, JSON) and, from the command line, the digest
and size of the members table and the shard. `merge` joins only parts that
agree on all of them.
"""

import datetime
import hashlib
import io
import json
import os
import re
import sys
import time
import uuid
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core, attributes, cli, memory, sitefiles, surface
from pumak.cf import forcing_digest, netcdf_library_failed, write_netcdf
from pumak.outputs import refuse_input
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

#: Bytes a member takes besides its hourly columns: its parameter set on the
#: way to the engine, its summary and its own items in the dataset.
MEMBER_BYTES = 1024

# The attributes that tell one ensemble from another; merge compares them.
IDENTITY = ("ensemble_program", "ensemble_met_sha256", "ensemble_site_parameters", "ensemble_members_sha256",
            "ensemble_members_total")


def member_items(program="pumak_metrun"):
    """The items of parameter.ini a member may set.

    Parameters
    ----------
    program : str
        The program whose layout applies, by its full or short name.

    Returns
    -------
    tuple of str
        Item names in file order; the file names and ``n_days``, which all
        members share, are not among them.
    """
    layout = _core.program_layout(program_name(program))
    return tuple(name for name in tuple(_ITEMS)[:layout["items"]] if name not in SHARED_ITEMS)


def _member_frame(members):
    """members as a DataFrame, or InputError naming the argument."""
    if isinstance(members, Mapping):
        try:
            members = pd.DataFrame(dict(members))
        except (ValueError, TypeError) as exc:
            raise InputError(f"members: not a table of one value per member and item ({exc})",
                             item="members") from None
    if not isinstance(members, pd.DataFrame):
        raise InputError(f"members: expected a pandas DataFrame, found {type(members).__name__}", item="members")
    if isinstance(members.columns, pd.MultiIndex):
        raise InputError("members: expected one level of column names (item names)", item="members")
    return members


def _member_table(members, program):
    """members as a DataFrame of known items, and the members' numbers."""
    members = _member_frame(members)
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
        raise InputError("members: no rows", item="members")
    if not names:
        raise InputError("members: no columns; each sets an item of parameter.ini", item="members")
    index = members.index
    if pd.api.types.is_integer_dtype(index.dtype) and index.is_unique and index.min() >= 0:
        numbers = index.to_numpy(dtype=np.int64)
    else:
        numbers = np.arange(len(members), dtype=np.int64)
    members = members.set_axis(names, axis=1)
    for name in names:
        column = members[name]
        if column.dtype.kind not in "fiu":  # bool, text, dates, complex: not an item's value
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


def ensemble(met, parameters, members, columns=(), threads=None, client=None, program="pumak_metrun",
             provenance=None, utc_offset=None, run_dir=None):
    """Runs one member per row of `members` over `met`.

    Parameters
    ----------
    met : pandas.DataFrame or dict of array_like
        The site's 14 met columns (as `pumak.read_site` gives them), at least
        ``n_days * 24`` rows; the first ``n_days * 24`` are run.
    parameters : dict
        The items every member shares, as `pumak.read_site` gives them
        (latitude in degrees north, albedos dimensionless, depths and
        diameters in mm, ``ch`` dimensionless, ``n_days`` in days, at least
        1); the file names may be left out.
    members : pandas.DataFrame or dict of array_like, shape (members, items)
        One row per member, one column per item it sets, named as in
        parameter.ini (``albedo_ice``, ``ch``, ...; see `member_items`), in
        the units of `parameters`. Integer items take whole numbers (not
        booleans); a real item may be NaN, which stays with its member. The
        members are numbered by the index when it holds unique non-negative
        integers, otherwise from 0.
    columns : sequence of str
        Result columns kept for every hour, as variables of dimensions
        (member, time). Without columns only the summary is kept and memory
        does not grow with the run length.
    threads : int, optional
        The engine's threads (default: the machine's cores; with `client`, 1
        per task).
    client : dask.distributed.Client, optional
        Runs the members in blocks as tasks on its workers, gathered in
        member order; the values are the same to the bit.
    program : str
        The program whose model runs (full or short name).
    provenance : dict, optional
        The site's provenance.json (`pumak.Site.provenance`): carried into
        the attributes as `pumak.to_xarray` carries it; its
        ``time.utc_offset_hours`` puts ``time`` in UTC.
    utc_offset : float, optional
        Local solar time minus UTC, in hours (over the provenance's).
    run_dir : str, optional
        The site's run directory, recorded so that ``pumak verify`` can
        run the members again.

    Returns
    -------
    xarray.Dataset
        Dimensions ``member`` (members) and ``time`` (``n_days * 24``
        hours). Each of `columns` (member, time) in the results table's
        units; the summary per member: ``final_sd_calc`` (m),
        ``final_depth`` (mm), ``bias``, ``rmse`` (m) and ``correlation`` of
        the modelled against the observed lowering over the ``pairs`` hours
        where both are finite (as `pumak.plot` defines them), and
        ``melt_ice_total``, ``melt_cryo_total`` (W h m-2); without a usable
        observed surface (`pumak.surface.fit_refusal`) the fit is NaN,
        ``pairs`` 0 and the attribute ``no_fit_reason`` says why; each member's own
        items as ``parameter_<item>`` (member). The shared items are
        attributes as `pumak.to_xarray` writes them; the attributes
        ``ensemble_program``, ``ensemble_met_sha256`` and
        ``ensemble_site_parameters`` identify the ensemble.

    Raises
    ------
    InputError
        A bad argument, named; also an ensemble whose hourly columns would
        not fit in the memory available, with the size it would need.
    """
    run = _Request(met, parameters, members, columns, threads, program)
    run.provenance = provenance
    run.utc_offset = attributes.utc_offset(utc_offset, provenance)
    run.run_dir = run_dir
    return _without_unjudged_fit(_dataset(run.compute(client), run), run)


#: The summary variables that compare the model with the observed surface.
FIT_VARIABLES = ("bias", "rmse", "correlation", "pairs")


def _without_unjudged_fit(dataset, run):
    """The dataset with its fit variables emptied when the record cannot judge a fit.

    Without a usable observed surface (`pumak.surface.fit_refusal`) ``bias``,
    ``rmse`` and ``correlation`` are NaN and ``pairs`` 0 for every member,
    each with a ``comment`` and the dataset with a ``no_fit_reason``
    attribute giving the reason.
    """
    reason = surface.fit_refusal(surface.observed_lowering(run.met, run.hours))
    if reason is None:
        return dataset
    for name in FIT_VARIABLES:
        empty = np.zeros_like(dataset[name].values) if name == "pairs" else np.full_like(dataset[name].values, np.nan)
        dataset[name] = dataset[name].copy(data=empty)
        dataset[name].attrs["comment"] = reason
    dataset.attrs["no_fit_reason"] = reason
    return dataset


class _Request:
    """The inputs of an ensemble, checked before any work is handed out."""

    def __init__(self, met, parameters, members, columns, threads, program):
        try:
            self.program = program_name(program)
        except (ValueError, TypeError) as exc:
            raise InputError(f"program: {exc}", item="program") from None
        self.table, self.numbers = _member_table(members, self.program)
        self.columns = _column_names(columns)
        if not isinstance(parameters, Mapping):
            raise InputError(f"parameters: expected a dict of items, found {type(parameters).__name__}",
                             item="parameters")
        self.parameters = dict(parameters)
        self.base = {name: value for name, value in self.parameters.items() if name not in ("met_file", "out_file")}
        try:
            self.met = met_arrays(met)
        except TypeError as exc:
            raise InputError(str(exc), item="met") from None
        first = _parameter_sets(self.base, self.table.iloc[:1])[0]
        checked = _core.checked_parameters({"met_file": "", "out_file": "", **first}, self.program)
        if checked["n_days"] < 1:
            raise InputError(f"parameters: n_days: expected at least 1 day, found {checked['n_days']}",
                             item="n_days")
        self.hours = int(checked["n_days"]) * 24
        short = [name for name, values in self.met.items() if len(values) < self.hours]
        if short:
            raise InputError(f"met column {short[0]} holds {len(self.met[short[0]])} rows; n_days * 24 = "
                             f"{self.hours} are needed", item=short[0])
        if threads is not None and (isinstance(threads, bool) or not isinstance(threads, (int, np.integer))
                                    or not 1 <= threads <= cli.MAX_THREADS):
            raise InputError(f"threads: expected a whole number from 1 to {cli.MAX_THREADS}, found {threads!r}",
                             item="threads")
        self.threads = threads
        self._refuse_beyond_memory()

    def _refuse_beyond_memory(self):
        n = len(self.table)
        need = n * (self.hours * len(self.columns) * 4 + MEMBER_BYTES)
        memory.refuse_beyond(need, f"members: {n} members x {self.hours} hours x {len(self.columns)} column(s) need",
                             "members", " (keep fewer columns, or run the members in shards)")

    def compute(self, client=None):
        if client is not None:
            return _run_on_dask(client, self.met, self.base, self.table, self.program, self.columns,
                                self.threads)
        return _run_chunk(self.met, self.base, self.table, self.program, self.columns, self.threads)


def _column_names(columns):
    if columns is None:
        columns = ()
    if isinstance(columns, str):
        columns = [columns]
    try:
        columns = [c for c in columns]
    except TypeError:
        raise InputError(f"columns: expected result column names, found {type(columns).__name__}",
                         item="columns") from None
    strange = [c for c in columns if not isinstance(c, str)]
    if strange:
        raise InputError(f"columns: {strange[0]!r}: expected a result column name", item="columns")
    unknown = [c for c in columns if c not in _COLUMNS]
    if unknown:
        raise InputError(f"columns: {', '.join(unknown)}: no such result column; the columns are "
                         f"{', '.join(_COLUMNS)}", item=unknown[0])
    return list(dict.fromkeys(columns))


def met_digest(met, hours):
    """The SHA-256 of the met series' first `hours` records: `pumak.cf.forcing_digest`, as results carry it.

    Parameters
    ----------
    met : dict of numpy.ndarray
        The 14 met columns as `pumak.model.met_arrays` gives them.
    hours : int
        The rows the run reads (``n_days * 24``).

    Returns
    -------
    str
        64 hexadecimal digits.
    """
    return forcing_digest(met, hours)


def _json_value(value):
    if isinstance(value, (np.integer, int)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, (np.floating, float)):
        return float(value) if np.isfinite(value) else str(float(value))
    return str(value)


def _summary_attributes():
    """Units and long names of the summary variables, as the engine describes them."""
    return {row["name"]: {key: row[key] for key in ("units", "long_name") if row.get(key)}
            for row in _core.ensemble_summaries()}


def _dataset(out, run):
    import xarray as xr

    table, numbers, parameters, met, columns = run.table, run.numbers, run.parameters, run.met, run.columns
    hours = run.hours
    varied = list(table.columns)
    shared = {name: value for name, value in parameters.items() if name not in varied}
    coords, auxiliary, station, latitude, longitude = attributes.station(shared, run.provenance)
    local = attributes.hour_ends(met["column_1"], met["month"][:hours], met["day"][:hours],
                                 np.arange(hours, dtype=np.int32) % 24 + 1)
    data_vars, times = {}, None
    if local is not None:
        time_coords, data_vars = attributes.time_axis(local, run.utc_offset)
        coords.update(time_coords)
        times = time_coords["time"][1]
        if run.utc_offset is not None:
            auxiliary.append("local_solar_time")
    for name in columns:
        data_vars[name] = (("member", "time"), out[name], attributes.column_attributes(name, auxiliary))
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
    coords["member"] = ("member", numbers, {"long_name": "ensemble member number"})
    digest = met_digest(met, hours)
    attrs = attributes.global_attributes(
        program=run.program, parameters={k: v for k, v in shared.items() if k != "out_file"},
        provenance=run.provenance, hours=hours, station_name=station, latitude=latitude, longitude=longitude,
        times=times, offset=run.utc_offset, forcing=digest, writer="pumak.ensemble", run_dir=run.run_dir,
        ensemble=True)
    if times is None:
        attrs["comment"] += "; " + attributes.calendar_problem(met["column_1"], hours)
    attrs["ensemble_program"] = run.program
    attrs["ensemble_met_sha256"] = digest
    attrs["ensemble_site_parameters"] = json.dumps(
        {name: _json_value(value) for name, value in shared.items() if name != "out_file"})
    return attributes.encode_time(xr.Dataset(data_vars, coords=coords, attrs=attrs))


# ---- the command line ------------------------------------------------------

def _shard(text):
    import argparse
    try:
        k, n = (int(part) for part in text.split("/"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected K/N, two whole numbers") from None
    if not 1 <= k <= n:
        raise argparse.ArgumentTypeError(f"{text!r}: K must be 1 to N")
    return k, n


def shard_bounds(k, n, total):
    """The members of shard `k` of `n`: every member in exactly one shard.

    Parameters
    ----------
    k : int
        The shard, from 1 to `n`.
    n : int
        Shards in all.
    total : int
        Members in the table.

    Returns
    -------
    tuple of int
        ``(first, last)``: the rows ``first`` to ``last - 1`` of the table.
    """
    return (k - 1) * total // n, k * total // n


def _read_members(path):
    """The members table of the command line, the SHA-256 of its bytes and the file's line of each row."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise InputError(f"{path}: {exc.strerror or exc}", file=path) from None
    try:
        table = pd.read_csv(io.BytesIO(data), skip_blank_lines=True)
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError, ValueError) as exc:
        raise InputError(f"{path}: not a table of members ({str(exc).splitlines()[0]})", file=path) from None
    if len(table) == 0:
        raise InputError(f"{path}: no members: a header and no rows", file=path)
    # blank lines are skipped: the rows' own lines (from 1), after the header's
    lines = [number for number, text in enumerate(data.splitlines(), 1) if text.strip()][1:]
    if len(lines) != len(table):  # a quoted line end: rows counted from the header
        lines = list(range(2, len(table) + 2))
    for name in table.columns:
        column = table[name]
        if column.dtype.kind in "fiu":
            continue
        if column.dtype.kind == "O":
            numbers = pd.to_numeric(column, errors="coerce")
            rows = np.flatnonzero(numbers.isna() & column.notna())
        else:
            rows = np.arange(len(column))
        bad = int(rows[0]) if rows.size else 0
        raise InputError(f"{path}:{lines[bad]}: {name}: expected a number, found {column.iloc[bad]!r}",
                         file=path, line=lines[bad], item=str(name))
    return table, hashlib.sha256(data).hexdigest(), lines


def _writable(path):
    """Refuses an output whose directory is missing before any work is done."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {path}: no directory {directory}", file=path, item="--out")
    if os.path.isdir(path):
        raise InputError(f"cannot write {path}: is a directory", file=path, item="--out")


def _command_parser():
    parser = cli.parser(
        "ensemble",
        "Runs the model once per row of a members table over a site's met series and writes a NetCDF file "
        "(dimensions member and time). `pumak ensemble merge --help` joins the shards of a job array.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the site's run directory (holds parameter.ini)")
    parser.add_argument("--members", required=True, metavar="CSV",
                        help="one row per member, one column per item of parameter.ini it sets; member "
                             "numbers are the rows from 0")
    parser.add_argument("--columns", nargs="+", default=[], metavar="NAME",
                        help="result columns to keep for every hour (blank- or comma-separated); "
                             "default: the summary only")
    parser.add_argument("--shard", type=_shard, metavar="K/N",
                        help="run only the K-th of N equal blocks of members (K from 1)")
    parser.add_argument("--threads", type=cli.threads, metavar="T", help="engine threads (default: all cores)")
    parser.add_argument("--program", default="pumak_metrun", help="pumak_metrun (default), fixed_a or fixed_b")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")
    parser.add_argument("--out", required=True, metavar="FILE", help="NetCDF file to write")
    return parser


def _run_command(argv):
    args = _command_parser().parse_args(argv)
    started = time.perf_counter()
    try:
        program = program_name(args.program)
    except ValueError as exc:
        raise InputError(f"--program {args.program}: {exc}", item="--program") from None
    columns = [name for text in args.columns for name in text.split(",") if name]
    _writable(args.out)
    table, digest, lines = _read_members(args.members)
    total = len(table)
    k, n = args.shard or (1, 1)
    if n > total:
        raise InputError(f"--shard {k}/{n}: {n} shards of {total} members would leave shards empty",
                         item="--shard")
    first, last = shard_bounds(k, n, total)
    stages = cli.Stages("pumak ensemble")
    stages("reading the site")
    site = read_site(args.run_dir, program)
    refuse_input(args.out, {"the members table": args.members, **sitefiles.site_inputs(args.run_dir, site.parameters)})
    stages(f"running {last - first} members")
    try:
        dataset = ensemble(site.met, site.parameters, table.iloc[first:last], columns=columns,
                           threads=args.threads, program=site.program, provenance=site.provenance,
                           run_dir=site.run_dir)
    except InputError as error:
        if not error.message.startswith("members: ") or error.file is not None:
            raise
        found = re.search(r"\(member (\d+)\)", error.message)
        line = lines[int(found[1])] if found and int(found[1]) < len(lines) else None
        raise InputError(f"{args.members}{'' if line is None else f':{line}'}: "
                         f"{error.message.removeprefix('members: ')}", file=args.members,
                         line=line, item=error.item) from None
    dataset.attrs.update({
        "ensemble_members_file": os.path.basename(args.members),
        "ensemble_members_sha256": digest,
        "ensemble_members_total": np.int64(total),
        "ensemble_shard": f"{k}/{n}",
    })
    stages(f"writing {args.out}")
    write_netcdf(dataset, args.out)
    stages.done()
    if not args.quiet:
        part = "" if n == 1 else f" (shard {k}/{n} of {total})"
        print(f"{args.out}: {_members(last - first)}{part} x {int(site.parameters['n_days']) * 24} hours, "
              f"{time.perf_counter() - started:.2f} s{_caveats(dataset)}")
    return 0


def _caveats(dataset):
    """What the summary line adds about a dataset: a fit it does not give, a time axis it lacks."""
    said = ""
    if "no_fit_reason" in dataset.attrs:
        said += f"; no fit: {dataset.attrs['no_fit_reason']}"
    if "time" not in dataset.coords:
        said += f"; {dataset.attrs.get('comment', 'no time coordinate')}"
    return said


def _members(n):
    return f"{n} member" + ("" if n == 1 else "s")


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


def _read_part(path):
    import xarray as xr
    try:
        with xr.open_dataset(path, cache=False) as part:
            return part.load()
    except (FileNotFoundError, PermissionError, IsADirectoryError) as exc:
        raise InputError(f"{path}: {exc.strerror}", file=path) from None
    except Exception:  # the netCDF library's and xarray's errors on a damaged file
        raise InputError(f"{path}: not a readable NetCDF file (truncated?)", file=path) from None


def _shown(value):
    """A parameter as parameter.ini would hold it: a real to the digits of its float32."""
    return sitefiles.format_real(value) if isinstance(value, float) else value


def _differences(here, there):
    """The identity attributes in which two parts differ, as short text."""
    found = []
    for key in IDENTITY:
        a, b = here.get(key), there.get(key)
        if key == "ensemble_site_parameters":
            try:
                a, b = json.loads(a), json.loads(b)
            except (TypeError, ValueError):
                pass
            if isinstance(a, dict) and isinstance(b, dict):
                found += [f"{name} {_shown(a.get(name, 'absent'))} here, {_shown(b.get(name, 'absent'))} there"
                          for name in list(dict.fromkeys([*a, *b])) if a.get(name) != b.get(name)]
                continue
        if str(a) != str(b):
            label = {"ensemble_program": "program", "ensemble_met_sha256": "met series (SHA-256)",
                     "ensemble_members_sha256": "members table (SHA-256)",
                     "ensemble_members_total": "members in the table"}.get(key, key)
            short = (lambda v: f"{str(v)[:12]}..." if "sha256" in key and v is not None else v)
            found.append(f"{label} {short(a)} here, {short(b)} there")
    return found


def merge(paths):
    """The shards of one ensemble as one Dataset, members in order.

    Parameters
    ----------
    paths : sequence of str
        NetCDF files written by ``pumak ensemble --shard K/N``, in any order.

    Returns
    -------
    xarray.Dataset
        Dimensions ``member`` (the table's members, each once, in order) and
        ``time``; the attributes of the first part, ``ensemble_shard`` 1/1 (the
        whole ensemble, as the unsharded command writes it) and a line of
        ``history`` more.

    Raises
    ------
    InputError
        A part that cannot be read or was not written by ``pumak ensemble``;
        a part of another ensemble (another program, met series, shared
        parameters or members table), naming it and the difference; a
        truncated part (fewer members than its shard holds); a part given
        twice or members in more than one part; missing members.
    """
    import xarray as xr

    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise InputError("no parts to merge", item="parts")
    parts = []
    for path in paths:
        part = _read_part(path)
        missing = [key for key in (*IDENTITY, "ensemble_shard") if key not in part.attrs]
        if "member" not in part.dims or len(missing) == len(IDENTITY) + 1:
            raise InputError(f"{path}: not a part of an ensemble (written by pumak ensemble)", file=path)
        if missing:
            raise InputError(f"{path}: no {', '.join(missing)}: written by an earlier pumak ensemble; run this "
                             "shard again", file=path)
        parts.append(part)
    first = parts[0].attrs
    for path, part in zip(paths[1:], parts[1:]):
        differences = _differences(part.attrs, first)
        if differences:
            raise InputError(f"{path}: from another ensemble than {paths[0]}: {'; '.join(differences[:3])}"
                             + ("; ..." if len(differences) > 3 else ""), file=path)
        if sorted(part.data_vars) != sorted(parts[0].data_vars) or part.sizes.get("time") != parts[0].sizes.get("time"):
            raise InputError(f"{path}: other variables or hours than {paths[0]}", file=path)
        # the coordinates every member shares (time, station, lat): one ensemble has one of each
        shared = sorted((set(part.coords) | set(parts[0].coords)) - {"member"})
        other = [name for name in shared if name not in part.coords or name not in parts[0].coords
                 or not part[name].variable.equals(parts[0][name].variable)]
        if other:
            raise InputError(f"{path}: coordinate {', '.join(other)} differs from that of {paths[0]}", file=path)
    total = int(first["ensemble_members_total"])
    owner = {}
    for path, part in zip(paths, parts):
        shard = str(part.attrs["ensemble_shard"])
        try:
            k, n = _shard(shard)
        except Exception:  # argparse's refusal: a label no command writes
            raise InputError(f"{path}: ensemble_shard {shard!r}: expected K/N, K from 1 to N", file=path) from None
        if n > total:
            raise InputError(f"{path}: ensemble_shard {shard!r}: more shards than the {total} members", file=path)
        expected = range(*shard_bounds(k, n, total))
        numbers = part["member"].to_numpy()
        if shard in owner:
            again = "given twice" if os.path.realpath(path) == os.path.realpath(owner[shard]) else \
                f"shard {shard} again (as {owner[shard]})"
            raise InputError(f"{path}: {again}", file=path)
        owner[shard] = path
        if len(numbers) != len(expected) or not np.array_equal(np.sort(numbers), np.asarray(expected)):
            raise InputError(f"{path}: holds {len(numbers)} member(s) where shard {shard} holds {len(expected)} "
                             f"({_ranges(expected) if len(expected) else 'none'}): truncated or altered", file=path)
    numbers = np.concatenate([part["member"].to_numpy() for part in parts])
    counts = np.bincount(numbers[(numbers >= 0) & (numbers < total)], minlength=total)
    problems = []
    if (counts == 0).any():
        problems.append(f"members {_ranges(np.flatnonzero(counts == 0))} missing")
    if (counts > 1).any():
        doubled = np.flatnonzero(counts > 1)
        holders = [path for path, part in zip(paths, parts) if np.isin(part["member"].to_numpy(), doubled).any()]
        problems.append(f"members {_ranges(doubled)} in more than one part ({', '.join(holders)})")
    if problems:
        shards = {str(part.attrs.get("ensemble_shard")) for part in parts}
        n = str(first.get("ensemble_shard", "1/1")).split("/")[-1]
        absent = [f"{k}/{n}" for k in range(1, int(n) + 1) if f"{k}/{n}" not in shards]
        raise InputError("; ".join(problems) + (f" (no part holds shard {', '.join(absent)})" if absent else ""))
    try:
        merged = xr.concat(parts, dim="member", data_vars="minimal", coords="minimal", compat="equals",
                           combine_attrs="override").sortby("member")
    except (xr.MergeError, ValueError) as exc:  # a shared variable that differs: what differs is named
        raise InputError(f"parts do not join: {str(exc).splitlines()[0]}", item="parts") from None
    merged.attrs = dict(first, ensemble_shard="1/1")  # the whole ensemble, as one part
    now = datetime.datetime.now(datetime.timezone.utc)
    merged.attrs["history"] = (f"{first.get('history', '')}\n{now:%Y-%m-%dT%H:%M:%SZ} "
                               f"{len(parts)} shards merged by pumak ensemble merge").lstrip()
    return merged


def _merge_command(argv):
    parser = cli.parser("ensemble merge", "Joins the shards of an ensemble into one NetCDF file, after checking "
                                          "that they are of one ensemble and that every member is there once.")
    parser.add_argument("parts", nargs="+", metavar="PART", help="files written with --shard")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")
    parser.add_argument("--out", required=True, metavar="FILE", help="NetCDF file to write")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    refuse_input(args.out, [("one of the parts", part) for part in args.parts])
    _writable(args.out)
    merged = merge(args.parts)
    write_netcdf(merged, args.out)
    if not args.quiet:
        hours = json.loads(merged.attrs["ensemble_site_parameters"]).get("n_days", 0) * 24
        print(f"{args.out}: {_members(merged.sizes['member'])} from {len(args.parts)} shards x {hours} hours, "
              f"{time.perf_counter() - started:.2f} s{_caveats(merged)}")
    return 0


def main(argv=None):
    """``pumak ensemble`` and ``pumak ensemble merge``.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after ``ensemble`` (default: the process's).

    Returns
    -------
    int
        The exit status: 0 done, 2 bad input, 4 an output the system refused,
        128 + N stopped by signal N. After a failure of the netCDF library the
        process ends here, once the failure is reported (that library may
        crash the interpreter at exit).
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    from pumak import cluster  # plan, status, and merge of a plan directory
    if cluster.handles(argv):
        status = cluster.main(argv)
    elif argv[:1] == ["merge"]:
        status = cli.run("ensemble merge", lambda: _merge_command(argv[1:]))
    else:
        status = cli.run("ensemble", lambda: _run_command(argv))
    if netcdf_library_failed():
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
