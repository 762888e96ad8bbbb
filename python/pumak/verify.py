"""Results that carry their proof: digests of every value, and ``pumak verify`` to run the model again.

    pumak verify FILE [--site RUN_DIR] [--sample N] [--program NAME] [--threads T]

Every NetCDF file the package writes (`pumak.write_netcdf`) is sealed:

- each variable's attribute ``sha256`` is the SHA-256 of its values as the
  file stores them, in C order, little-endian, in the variable's own dtype
  (the time variables as float64 hours since 1970-01-01);
- ``inputs`` (JSON) records what the values were computed from: program,
  model version, the shared parameters, the forcing digest
  (`forcing_digest`), the hours, the site's run directory and, for
  an ensemble, ``members_sha256``, the digest of its member table (the
  variable ``member`` and every ``parameter_<item>`` variable, by name);
  ``inputs_sha256`` is the SHA-256 of that text;
- ``attributes_sha256`` digests every other global attribute, so that an
  edited attribute shows.

``pumak verify`` checks all of these, reads the site's met series again,
runs the model from the recorded inputs (every member, or ``--sample N``
of them) and compares every value bit for bit. A results table of the
programs carries no record: it is checked against a run of its site
(``--site``, by default the table's folder). Exit status 0 ``verified: ...``,
1 ``differs: ...`` (naming the variable, the member and the first hour),
2 a file that cannot be verified (naming what is missing).
"""

import hashlib
import json
import os
import sys
import time

import numpy as np

from pumak import _core, attributes, cli
from pumak.errors import InputError

#: The variable attribute that holds the SHA-256 of the variable's values.
VALUE_DIGEST = "sha256"
#: The global attributes of the seal.
INPUTS, INPUTS_DIGEST, ATTRIBUTES_DIGEST, MEMBERS_DIGEST = ("inputs", "inputs_sha256", "attributes_sha256",
                                                            "members_sha256")
_EPOCH = np.datetime64("1970-01-01T00:00:00", "ns")
_COLUMNS = {c["name"]: c for c in _core.result_columns()}
_ITEMS = {item["name"]: item for item in _core.parameter_items()}
_MET_NAMES = tuple(c["name"] for c in _core.met_columns())


class Differs(Exception):
    """A value or an attribute that is not what the model computes or what was written (exit status 1)."""


def file_sha256(path):
    """The SHA-256 of a file's bytes, as 64 hexadecimal digits (read a MiB at a time)."""
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def forcing_digest(met, hours=None):
    """The sha256 of a met series as the model takes it, independent of how it was stored.

    Parameters
    ----------
    met : pandas.DataFrame or mapping
        The 14 met columns (as `pumak.read_site` gives them).
    hours : int, optional
        Digest the first `hours` records only (those a run uses).

    Returns
    -------
    str or None
        64 hexadecimal digits over the columns in file order, integer columns
        as little-endian int32 and real ones as float32; None when a column
        is missing.
    """
    digest = hashlib.sha256()
    for name in _MET_NAMES:
        if name not in met:
            return None
        values = np.asarray(met[name])[:hours]
        kind = "<i4" if values.dtype.kind in "iu" else "<f4"
        digest.update(name.encode())
        digest.update(np.ascontiguousarray(values, dtype=kind).tobytes())
    return digest.hexdigest()


def _stored(values):
    """Values as the file stores them: datetimes as float64 hours since the epoch."""
    values = np.asarray(values)
    if values.dtype.kind == "M":
        return (values.astype("datetime64[ns]") - _EPOCH) / np.timedelta64(1, "h")
    return values


def value_sha256(values):
    """The SHA-256 of an array's values: C order, little-endian, its own dtype.

    Parameters
    ----------
    values : array_like
        As the file stores them (a datetime64 array is taken as float64
        hours since 1970-01-01, as the time variables are stored).

    Returns
    -------
    str
        64 hexadecimal digits.
    """
    values = _stored(values)
    # no copy where the values are little-endian and contiguous already
    values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<")).reshape(-1)
    return hashlib.sha256(memoryview(values).cast("B")).hexdigest()


def _attribute_bytes(value):
    if isinstance(value, str):
        return b"text:" + value.encode("utf-8")
    array = np.asarray(value).ravel()
    array = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return array.dtype.str.encode() + b":" + array.tobytes()


def attributes_sha256(attrs):
    """The SHA-256 of global attributes: for each name in sorted order (but ``attributes_sha256``),
    the name, a line end, its value's bytes and a line end.

    A text's bytes are ``text:`` and its UTF-8; a number's (or an array's)
    are its little-endian dtype string (``<f4``), ``:`` and its values'
    little-endian bytes.
    """
    digest = hashlib.sha256()
    for name in sorted(attrs):
        if name != ATTRIBUTES_DIGEST:
            digest.update(name.encode("utf-8") + b"\n" + _attribute_bytes(attrs[name]) + b"\n")
    return digest.hexdigest()


def _members_sha256(variables):
    """The digest of a member table: each of ``member`` and the ``parameter_*`` variables by name, as
    the name, a line end and `value_sha256` of its values."""
    digest = hashlib.sha256()
    for name in sorted(variables):
        if name == "member" or name.startswith("parameter_"):
            digest.update(f"{name}\n{value_sha256(variables[name])}\n".encode())
    return digest.hexdigest()


def sealed(dataset):
    """`dataset` with its digests, as `pumak.write_netcdf` writes it (a shallow copy; `dataset` is unchanged).

    Parameters
    ----------
    dataset : xarray.Dataset

    Returns
    -------
    xarray.Dataset
        Every numeric or time variable with ``sha256``; with an ``inputs``
        record, that record (an ensemble's with ``members_sha256``) and
        ``inputs_sha256``; ``attributes_sha256`` of the global attributes.
    """
    dataset = dataset.copy(deep=False)
    for name, variable in dataset.variables.items():
        if variable.dtype.kind == "M":
            variable.encoding.update(attributes.TIME_ENCODING)
        if variable.dtype.kind in "biufM":
            variable.attrs[VALUE_DIGEST] = value_sha256(variable.values)
    attrs = dict(dataset.attrs)
    if INPUTS in attrs:
        try:
            inputs = json.loads(attrs[INPUTS])
        except (TypeError, ValueError):
            inputs = None
        if isinstance(inputs, dict):
            if "member" in dataset.dims:
                inputs[MEMBERS_DIGEST] = _members_sha256({name: dataset[name].values for name in dataset.variables
                                                          if "member" in dataset[name].dims})
            attrs[INPUTS] = json.dumps(inputs, sort_keys=True)
            attrs[INPUTS_DIGEST] = hashlib.sha256(attrs[INPUTS].encode("utf-8")).hexdigest()
    attrs.pop(ATTRIBUTES_DIGEST, None)
    attrs[ATTRIBUTES_DIGEST] = attributes_sha256(attrs)
    dataset.attrs = attrs
    return dataset


# ---- verification ------------------------------------------------------------

def _is_netcdf(path):
    with open(path, "rb") as stream:
        head = stream.read(8)
    return head.startswith((b"\x89HDF\r\n\x1a\n", b"CDF\x01", b"CDF\x02", b"CDF\x05"))


def _same_bits(a, b):
    """Whether two arrays hold the same bits (NaN equal to NaN); the flat index of the first difference."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype.kind == "f" and b.dtype.kind == "f":
        if a.dtype != b.dtype:
            return False, 0
        unsigned = np.dtype(f"u{a.dtype.itemsize}")
        same = (a.view(unsigned) == b.view(unsigned)) | (np.isnan(a) & np.isnan(b))
    else:
        same = a == b
    same = np.asarray(same).ravel()
    if same.all():
        return True, None
    return False, int(np.argmin(same))


def _shown(value):
    """An attribute's value as short text: a real to the digits of its own precision."""
    if isinstance(value, str):
        return repr(value)
    return " ".join(str(v) for v in np.asarray(value).ravel())


def _parameter_value(name, value):
    """A parameter of the inputs record as the model takes it."""
    kind = _ITEMS.get(name, {}).get("kind")
    if kind == "real":
        return float(value)
    if kind == "integer":
        return int(value)
    return value


def _read_netcdf(path):
    import netCDF4
    try:
        with netCDF4.Dataset(path) as ds:
            ds.set_auto_maskandscale(False)
            attrs = {name: ds.getncattr(name) for name in ds.ncattrs()}
            variables = {}
            for name, variable in ds.variables.items():
                values = np.asarray(variable[...])
                variables[name] = (variable.dimensions, values,
                                   {key: variable.getncattr(key) for key in variable.ncattrs()})
    except (OSError, RuntimeError, IndexError, ValueError) as error:
        raise InputError(f"{path}: not a readable NetCDF file, truncated or damaged "
                         f"({str(error).splitlines()[0] if str(error) else type(error).__name__})",
                         file=path) from None
    return attrs, variables


def _check_record(path, attrs, variables):
    """The inputs record of a file whose seal holds; Differs naming what was changed."""
    if INPUTS not in attrs:
        if attrs.get("Conventions") == attributes.CONVENTIONS and "model_version" in attrs:
            raise InputError(f"{path}: its inputs are not recorded (written without a program, or by an earlier "
                             "pumak): nothing to run again", file=path)
        raise InputError(f"{path}: not a results file of pumak (no inputs record)", file=path)
    try:
        inputs = json.loads(attrs[INPUTS])
        if not isinstance(inputs, dict) or not isinstance(inputs.get("parameters"), dict):
            raise ValueError("not an object with parameters")
    except (TypeError, ValueError):
        raise Differs("attribute inputs: not the record written (not JSON of the inputs)") from None
    for name, value in inputs["parameters"].items():
        key = f"parameter_{name}"
        if key in attrs:
            found, recorded = attrs[key], attributes.parameter_attribute(_parameter_value(name, value))
            if isinstance(found, str) or isinstance(recorded, str):
                same = str(found) == str(recorded)
            else:
                same = _same_bits(np.asarray(found).ravel(), np.asarray(recorded).ravel())[0]
            if not same:
                raise Differs(f"attribute {key}: {_shown(found)} in the file, {_shown(recorded)} in its inputs "
                              "record")
    for key in ("program", "forcing_sha256"):
        if key in attrs and attrs[key] != inputs.get(key):
            raise Differs(f"attribute {key}: {attrs[key]!r} in the file, {inputs.get(key)!r} in its inputs record")
    if hashlib.sha256(str(attrs[INPUTS]).encode("utf-8")).hexdigest() != attrs.get(INPUTS_DIGEST):
        raise Differs("attribute inputs: does not match inputs_sha256 (edited after writing)")
    if attributes_sha256(attrs) != attrs.get(ATTRIBUTES_DIGEST):
        raise Differs("global attributes: do not match attributes_sha256 (an attribute was edited after writing)")
    if "member" in variables:
        found = _members_sha256({name: values for name, (dims, values, _) in variables.items() if "member" in dims})
        if found != inputs.get(MEMBERS_DIGEST):
            raise Differs("member table (member, parameter_*): does not match members_sha256 in inputs")
    return inputs


def _changed_values(variables):
    """The variables whose values do not match their sha256, and numeric ones without one."""
    changed, unsealed = [], []
    for name, (_, values, attrs) in variables.items():
        if values.dtype.kind not in "biuf":
            continue
        if VALUE_DIGEST not in attrs:
            unsealed.append(name)
        elif value_sha256(values) != attrs[VALUE_DIGEST]:
            changed.append(name)
    return changed, unsealed


def _site_met(path, inputs, site_dir):
    """The met series of the recorded site, checked against the recorded forcing digest."""
    run_dir = site_dir or inputs.get("site")
    if not run_dir:
        raise InputError(f"{path}: the site is not recorded; name its run directory with --site RUN_DIR", file=path)
    if not os.path.isfile(os.path.join(run_dir, "parameter.ini")):
        raise InputError(f"{path}: the site {run_dir} it was run from is not there (moved? name it with --site "
                         "RUN_DIR)", file=path)
    parameters = {name: _parameter_value(name, value) for name, value in inputs["parameters"].items()}
    parameters.setdefault("out_file", "-")
    hours = int(inputs.get("hours", 0))
    met = _core.read_met(os.fsencode(run_dir), parameters)
    recorded = inputs.get("forcing_sha256")
    if recorded is None:
        raise InputError(f"{path}: the forcing digest is not recorded: nothing to compare the met file with",
                         file=path)
    found = forcing_digest(met, hours)
    if found != recorded:
        where = _core.met_file_path(parameters.get("met_file", ""), run_dir)
        raise InputError(f"{where}: the met file changed since the run of {path} (forcing sha256 "
                         f"{recorded[:12]}... recorded, {str(found)[:12]}... now)", file=where)
    return parameters, {name: values[:hours] for name, values in met.items()}


def _hour_label(variables, hour):
    if "time" in variables:
        stored = variables["time"][1]
        instant = np.datetime64("1970-01-01T00:00:00") + np.timedelta64(int(round(float(stored[hour]) * 3600)), "s")
        return f"hour {hour + 1} (ending {instant})"
    return f"hour {hour + 1}"


def _compare(variables, name, expected, member=None):
    """Differs naming the first member and hour where the file's variable is not `expected`."""
    dims, values, _ = variables[name]
    if values.shape != np.shape(expected):
        raise Differs(f"{name}: shape {values.shape} in the file, {np.shape(expected)} recomputed")
    same, first = _same_bits(values, expected)
    if same:
        return
    index = np.unravel_index(first, values.shape)
    where = []
    if "member" in dims:
        row = index[dims.index("member")]
        where.append(f"member {int(member[row]) if member is not None else row}")
    if "time" in dims:
        where.append(f"first {_hour_label(variables, index[dims.index('time')])}")
    raise Differs(", ".join([name, *where]) + f": {np.asarray(values)[index]!r} in the file, "
                  f"{np.asarray(expected)[index]!r} recomputed")


def _rerun_single(variables, inputs, parameters, met):
    program = inputs["program"]
    columns = _core.run(parameters, met, program)
    names = [name for name in variables if name in _COLUMNS]
    if not names:
        raise InputError("no results column to compare")
    for name in names:
        _compare(variables, name, columns[name])
    return f"{inputs['hours']} hours x {len(names)} columns"


def _rerun_ensemble(variables, inputs, parameters, met, sample, threads):
    member = variables["member"][1]
    total = len(member)
    rows = np.arange(total) if not sample or sample >= total else \
        np.unique(np.linspace(0, total - 1, sample).round().astype(np.int64))
    varied = [name.removeprefix("parameter_") for name, (dims, _, _) in variables.items()
              if name.startswith("parameter_") and dims == ("member",)]
    sets = []
    for row in rows:
        values = dict(parameters)
        for name in varied:
            values[name] = _parameter_value(name, variables[f"parameter_{name}"][1][row].item())
        sets.append(values)
    columns = [name for name, (dims, _, _) in variables.items() if name in _COLUMNS and dims == ("member", "time")]
    out = _core.ensemble(met, sets, inputs["program"], columns, threads=threads, summary_only=not columns)
    summaries = [row["name"] for row in _core.ensemble_summaries() if row["name"] in variables]
    for name in [*columns, *summaries]:
        dims, values, attrs = variables[name]
        variables[name] = (dims, values[rows], attrs)
        _compare(variables, name, out[name], member=member[rows])
    sampled = "" if len(rows) == total else f" (a sample of {len(rows)})"
    return f"{total} members{sampled} x {inputs['hours']} hours x {len(columns) + len(summaries)} variables"


def verify_netcdf(path, site=None, sample=None, threads=None):
    """Checks a results NetCDF file's seal and runs its model again.

    Parameters
    ----------
    path : str
        A file written by `pumak.write_netcdf` (a single run, an ensemble,
        a shard or a merged ensemble).
    site : str, optional
        The site's run directory, where it is no longer where it was run.
    sample : int, optional
        Run only this many members of an ensemble, evenly spread.
    threads : int, optional
        The engine's threads.

    Returns
    -------
    str
        What was verified.

    Raises
    ------
    Differs
        A value, an attribute or a digest that is not what was written or
        what the model computes, named.
    InputError
        A file that cannot be verified: unreadable, not written by pumak,
        inputs not recorded, the site moved, its met file changed.
    """
    attrs, variables = _read_netcdf(path)
    inputs = _check_record(path, attrs, variables)
    changed, unsealed = _changed_values(variables)
    parameters, met = _site_met(path, inputs, site)
    try:
        if "member" in variables:
            what = _rerun_ensemble(variables, inputs, parameters, met, sample, threads)
        else:
            what = _rerun_single(variables, inputs, parameters, met)
    except Differs as differs:
        if changed:
            raise Differs(f"{differs} (its sha256 does not match its values either)") from None
        raise
    if changed:
        raise Differs(f"{changed[0]}: its values do not match its sha256 (changed after writing)")
    if unsealed:
        raise Differs(f"{unsealed[0]}: carries no sha256 (added after writing)")
    return f"{what}, recomputed bit for bit ({inputs['program']}, pumak {inputs.get('model_version')})"


def verify_table(path, site=None, program="pumak_metrun", threads=None):
    """Checks a results table of the programs against a run of its site (by default the table's folder)."""
    from pumak.model import read_site, run
    from pumak.results import read_results
    table = read_results(path)
    run_dir = site or os.path.dirname(os.path.abspath(path))
    site_read = read_site(run_dir, program)
    expected = run(site_read.parameters, site_read.met, site_read.program)
    if len(table) != len(expected):
        raise Differs(f"{path}: {len(table)} hours where the run of {run_dir} gives {len(expected)} "
                      + ("(truncated)" if len(table) < len(expected) else ""))
    variables = {name: (("time",), table[name].to_numpy(), {}) for name in table.columns}
    for name in expected.columns:
        _compare(variables, name, expected[name].to_numpy())
    return f"{len(table)} hours x {len(expected.columns)} columns, recomputed bit for bit ({site_read.program})"


def _command(argv):
    parser = cli.parser("verify", "Checks a results file's digests, runs the model again from the inputs it "
                                  "records and compares every value bit for bit.")
    parser.add_argument("file", metavar="FILE", help="a NetCDF file written by pumak, or a results table")
    parser.add_argument("--site", metavar="RUN_DIR",
                        help="the site's run directory (default: the one recorded; for a table, its folder)")
    parser.add_argument("--sample", type=int, metavar="N", help="run only N members of an ensemble")
    parser.add_argument("--program", default="pumak_metrun", help="for a results table: the program that wrote it")
    parser.add_argument("--threads", type=int, metavar="T", help="engine threads (default: all cores)")
    args = parser.parse_args(argv)
    if args.sample is not None and args.sample < 1:
        raise InputError(f"--sample {args.sample}: expected a positive number", item="--sample")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads {args.threads}: expected a positive number", item="--threads")
    started = time.perf_counter()
    try:
        netcdf = _is_netcdf(args.file)
    except OSError as error:
        raise InputError(f"{args.file}: {error.strerror}", file=args.file) from None
    try:
        if netcdf:
            what = verify_netcdf(args.file, args.site, args.sample, args.threads)
        else:
            what = verify_table(args.file, args.site, args.program, args.threads)
    except Differs as differs:
        print(f"differs: {args.file}: {differs}")
        return 1
    print(f"verified: {args.file}: {what}, {time.perf_counter() - started:.2f} s")
    return 0


def main(argv=None):
    """``pumak verify``: exit status 0 verified, 1 differs, 2 cannot be verified (one line saying why)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    return cli.run("verify", lambda: _command(argv))


__all__ = ["value_sha256", "attributes_sha256", "sealed", "verify_netcdf", "verify_table", "main", "Differs"]

