"""Sites and runs: read a site as the programs read it, run the model in memory, write a site.

Every value goes through the compiled core, which reads the files with the
programs' own readers and runs the programs' own model: a run here gives the
programs' table to the bit. Every argument is checked before any work
starts; a refusal is an `InputError` whose ``.item`` names the argument,
item or column at fault.
"""

import dataclasses
import json
import os
import stat
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core, layout, memory, outputs, sitefiles
from pumak.errors import InputError
from pumak.results import path_argument, results_frame

MET_COLUMNS = tuple(c["name"] for c in _core.met_columns())
_INTEGER_MET_COLUMNS = frozenset(c["name"] for c in _core.met_columns() if c["kind"] == "integer")
_RESULT_BYTES_PER_HOUR = 4 * len(_core.result_columns())
_MET_BYTES_PER_HOUR = 4 * len(MET_COLUMNS)

#: The largest provenance.json read, in bytes.
MAX_PROVENANCE_BYTES = 16 * 2**20
#: The site's record of where its forcing came from, in the site's folder (the run directory's parent).
PROVENANCE_FILE = "provenance.json"


@dataclasses.dataclass
class Site:
    """A site as a program reads it from its run directory.

    Attributes
    ----------
    parameters : dict
        Item name to value as the program holds it: texts (``met_file``,
        ``out_file``), int (``n_days``, ``diffuse_mode``), float (the exact
        single-precision value; ``latitude`` in degrees north, the other
        units as the README's parameter table gives them).
    met : pandas.DataFrame, shape (n_days * 24, 14)
        The met columns in file order, int32 and float32.
    program : str
        The full name of the program whose layout was read.
    run_dir : str
        The run directory read.
    provenance : dict or None
        The site's ``provenance.json`` (in the run directory's parent, as
        ``pumak prepare`` writes it), or None when the site has none.
    """

    parameters: dict
    met: pd.DataFrame
    program: str
    run_dir: str
    provenance: dict | None = None


def program_name(program):
    """The full name of a program given by its full or short name.

    Parameters
    ----------
    program : str
        ``pumak_metrun``, ``pumak_fixed_a``, ``pumak_fixed_b`` or the short
        ``metrun``, ``fixed_a``, ``fixed_b``.

    Returns
    -------
    str
        The full name.

    Raises
    ------
    InputError
        Not a text, or no such program; `.item` is ``"program"``.
    """
    if not isinstance(program, str):
        raise InputError(f"program: expected a program's name, found {program!r}", item="program")
    try:
        return _core.program_layout(program)["program"]
    except ValueError as error:
        raise InputError(f"program: {error}", item="program") from None


def _parameter_dict(parameters):
    if not isinstance(parameters, Mapping):
        raise InputError(f"parameters: expected a dict of items, found {type(parameters).__name__}",
                         item="parameters")
    return dict(parameters)


def read_provenance(run_dir):
    """The provenance.json of the site whose run directory is `run_dir`, or None when it has none.

    Parameters
    ----------
    run_dir : str or os.PathLike
        The run directory ("" for the working directory); the file is
        ``run_dir/../provenance.json``.

    Returns
    -------
    dict or None
        The JSON object as written by ``pumak prepare``.

    Raises
    ------
    InputError
        The file exists but is not a regular file, is larger than
        `MAX_PROVENANCE_BYTES`, is not UTF-8 JSON, or holds no JSON object
        (naming the file and, for bad JSON, the line).
    """
    run_dir = path_argument(run_dir, "run_dir")
    path = os.path.join(run_dir or os.curdir, os.pardir, PROVENANCE_FILE)
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise InputError(f"cannot open {path}: {error.strerror}", file=path) from None
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):
            raise InputError(f"{path}: not a regular file", file=path)
        if info.st_size > MAX_PROVENANCE_BYTES:
            raise InputError(f"{path}: {info.st_size} bytes, more than a provenance record holds "
                             f"({MAX_PROVENANCE_BYTES})", file=path)
        with os.fdopen(descriptor, "rb", closefd=False) as stream:
            data = stream.read(MAX_PROVENANCE_BYTES + 1)
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}", file=path) from None
    finally:
        os.close(descriptor)
    try:
        record = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise InputError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})", file=path) from None
    except json.JSONDecodeError as error:
        raise InputError(f"{path}:{error.lineno}: not JSON: {error.msg}", file=path, line=error.lineno) from None
    if not isinstance(record, dict):
        raise InputError(f"{path}: expected a JSON object, found {type(record).__name__}", file=path)
    return record


def read_site(run_dir, program="pumak_metrun"):
    """Reads a site as the program started in `run_dir` reads it.

    Parameters
    ----------
    run_dir : str or os.PathLike
        The run directory ("" for the working directory): its
        ``parameter.ini``, the met file it names under
        ``../data/met_lv3/`` and the site's ``../provenance.json``.
    program : str
        The program whose parameter layout is read (see `program_name`).

    Returns
    -------
    Site
        ``met`` holds the n_days * 24 records the program reads.

    Raises
    ------
    InputError
        A bad argument, or a file the program would refuse, with the
        program's diagnostic, ``.file``, ``.line``, ``.item`` and ``.status``.
    """
    name = program_name(program)
    run_dir = path_argument(run_dir, "run_dir")
    if not os.path.isdir(run_dir):  # a site a killed rewrite left under a hidden name is put back
        outputs.recover(os.path.dirname(os.path.abspath(run_dir)))
    directory = os.fsencode(run_dir)
    parameters = _core.read_parameters(directory, name)
    met = _core.read_met(directory, parameters)
    return Site(parameters, pd.DataFrame(met, columns=MET_COLUMNS), name, run_dir, read_provenance(run_dir))


def met_arrays(met, hours=None):
    """The 14 met columns of a DataFrame or mapping as int32 and float32 arrays.

    Parameters
    ----------
    met : pandas.DataFrame or dict of array_like
        The met columns by name (units: the README's met file table).
        Integer columns must hold integers within 32 bits; real columns may
        hold any real or integer numbers, taken to the nearest
        single-precision value (as the programs read a decimal).
    hours : int, optional
        Only the first `hours` records are converted (those a run reads);
        default: all.

    Returns
    -------
    dict of str to numpy.ndarray, each shape (records,)
        Contiguous int32 (columns 1 to 5) and float32 arrays.

    Raises
    ------
    InputError
        Not a DataFrame or mapping, a column missing or given twice, of
        more than one dimension, of the wrong kind (text, bool, float for an
        integer column) or beyond 32 bits; `.item` names the column. Columns
        whose conversion would take more memory than is available are
        refused before any copy is made (`.item` is ``"met"``).
    """
    if isinstance(met, pd.DataFrame):
        names = list(met.columns)
    elif isinstance(met, Mapping):
        names = list(met.keys())
    else:
        raise InputError(f"met: expected a pandas DataFrame or a dict of arrays, found {type(met).__name__}",
                         item="met")
    for name in MET_COLUMNS:
        if name not in names:
            raise InputError(f"met: no column {name}", item=name)
        if names.count(name) > 1:
            raise InputError(f"met column {name}: appears more than once", item=name)
    # The copies to int32 and float32 are made only after the memory they take is known to be there.
    copies = 0
    for name in MET_COLUMNS:
        values = met[name]
        target = np.int32 if name in _INTEGER_MET_COLUMNS else np.float32
        if getattr(values, "dtype", None) != target:
            length = len(values) if hasattr(values, "__len__") else 1
            copies += 4 * (length if hours is None else min(length, hours))
    records = len(met[MET_COLUMNS[0]]) if hasattr(met[MET_COLUMNS[0]], "__len__") else 1
    memory.refuse_beyond(copies, f"met: converting {records if hours is None else min(records, hours)} records to "
                                 "int32 and float32 needs", "met")
    return {name: _column(name, met[name], hours) for name in MET_COLUMNS}


def _column(name, values, hours):
    dtype = getattr(values, "dtype", None)
    if isinstance(values, pd.Series):
        values = values.to_numpy()
    values = np.asarray(values)
    shown = dtype if dtype is not None else values.dtype
    if values.ndim != 1:
        raise InputError(f"met column {name}: expected one dimension, found {values.ndim}", item=name)
    if hours is not None:
        values = values[:hours]
    kind = values.dtype.kind
    if name in _INTEGER_MET_COLUMNS:
        if kind not in "iu":
            raise InputError(f"met column {name}: expected integers, found {shown}", item=name)
        if values.dtype != np.int32 and values.size and (
                values.min() < np.iinfo(np.int32).min or values.max() > np.iinfo(np.int32).max):
            raise InputError(f"met column {name}: a value beyond 32 bits", item=name)
        return np.ascontiguousarray(values, dtype=np.int32)
    if kind not in "fiu":
        raise InputError(f"met column {name}: expected real numbers, found {shown}", item=name)
    with np.errstate(over="ignore"):  # beyond the single-precision range: an infinity
        return np.ascontiguousarray(values, dtype=np.float32)


def run(parameters, met, program="pumak_metrun"):
    """Runs the model in memory, bit for bit as the program would.

    Parameters
    ----------
    parameters : dict
        The items of the program's parameter.ini (`Site.parameters`; the two
        file names may be left out). ``n_days`` must be an int (not a bool,
        not a float); a run of n_days <= 0 computes no hour, as the programs.
    met : pandas.DataFrame or dict of array_like
        The 14 met columns with at least n_days * 24 records (later ones
        are not used); see `met_arrays`.
    program : str
        See `program_name`.

    Returns
    -------
    pandas.DataFrame, shape (n_days * 24, 34)
        The results table: int32 ``month``, ``day``, ``hour``, float32 for
        the rest; units as `pumak.cf.to_xarray` gives them. ``attrs`` name
        the program and the model version. The caller's values are not
        changed.

    Raises
    ------
    InputError
        A bad argument, item or column (`.item` names it), including a
        run whose results and met arrays would not fit in the available
        memory (refused before anything is allocated, with the size).
    """
    name = program_name(program)
    values = _parameter_dict(parameters)
    n_days = _core.checked_parameters({"met_file": "-", "out_file": "-", **values}, name)["n_days"]
    hours = max(n_days, 0) * layout.HOURS_PER_DAY
    memory.refuse_beyond(hours * (_RESULT_BYTES_PER_HOUR + _MET_BYTES_PER_HOUR),
                         f"n_days: a run of {n_days} days ({hours} hours) needs", "n_days")
    columns = _core.run(values, met_arrays(met, hours), name)
    return results_frame(columns, program=name)


def run_site(run_dir, program="pumak_metrun"):
    """`read_site`, then `run`: the table the program would write in `run_dir`.

    Parameters
    ----------
    run_dir : str or os.PathLike
        As `read_site`.
    program : str
        As `read_site`.

    Returns
    -------
    pandas.DataFrame, shape (n_days * 24, 34)
        As `run`.
    """
    site = read_site(run_dir, program)
    return run(site.parameters, site.met, site.program)


def site_met_path(met_file):
    """Where, relative to a site's folder, the programs read the met file `met_file`.

    The programs read ``run/../data/met_lv3/`` followed by the name as it
    stands, so an absolute name ``/abs/x.txt`` is read from
    ``data/met_lv3/abs/x.txt`` inside the site, never from ``/abs/x.txt``.

    Parameters
    ----------
    met_file : str
        The item ``met_file``.

    Returns
    -------
    str
        The path relative to the site's folder, ``/``-separated, under
        ``data/met_lv3/``.

    Raises
    ------
    InputError
        A name with a ``..`` part (it would lead out of data/met_lv3, and
        the system resolves it through folders a lexical join cannot see),
        or one that names a folder (empty, ends in ``/`` or ``.``); `.item`
        is ``"met_file"``.
    """
    joined = _core.met_file_path(met_file, "run")
    parts = [part for part in met_file.split("/") if part not in ("", ".")]
    reason = None
    if os.pardir in met_file.split("/"):
        reason = "has a '..' part: a site's met file stays in its data/met_lv3 folder"
    elif not parts or met_file.endswith(("/", "/.")) or met_file == ".":
        reason = "names a folder, not a file"
    if reason:
        raise InputError(f"parameters: met_file {met_file!r}: the programs read {joined}, which {reason}",
                         item="met_file")
    return "/".join(["data", "met_lv3", *parts])


def _same_file_text(path, digest):
    import hashlib

    check = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                check.update(block)
    except OSError:
        return False
    return check.hexdigest() == digest


def _json_plain(value):
    """numpy numbers as the JSON numbers they are; anything else as its text."""
    return value.item() if isinstance(value, np.generic) else str(value)


def write_site(root, parameters, met, program="pumak_metrun", provenance=None, exclusive=False):
    """Writes a site the program reads back exactly: root/run/parameter.ini and its met file, as one set.

    The two files are written into a new folder that takes the place of
    `root` in one step: a failure (a full disk, a file-size limit, a
    signal) leaves the earlier site unchanged, never new records beside
    old parameters. Other files of an earlier `root` are kept; its
    ``provenance.json`` is dropped when the met file changes (it no longer
    describes the forcing) unless `provenance` gives a new one.

    Parameters
    ----------
    root : str or os.PathLike
        The site's folder.
    parameters : dict
        Every item of the program's layout, the two file names included.
        ``met_file`` is joined as the programs join it (`site_met_path`):
        an absolute name is written inside the site, where the programs
        read it, never over a file elsewhere.
    met : pandas.DataFrame or dict of array_like
        The met columns (`met_arrays`), all of one length, at least
        n_days * 24 records; every record is written.
    program : str
        See `program_name`.
    provenance : dict, optional
        Written as root/provenance.json (JSON).
    exclusive : bool
        `root` is meant to be new (missing or empty): when another writer
        filled it meanwhile, this one fails (`OutputError`, errno EEXIST)
        instead of writing over it.

    Returns
    -------
    str
        The run directory, root/run.

    Raises
    ------
    InputError
        A bad argument, item or column (`.item` names it); nothing written.
    OutputError
        The system refused the write; the earlier site is unchanged.
    """
    name = program_name(program)
    root = path_argument(root, "root")
    statements = _core.program_layout(name)["statements"]
    values = _core.checked_parameters(_parameter_dict(parameters), name)
    for item in ("met_file", "out_file"):
        if not values[item].strip():
            raise InputError(f"parameters: {item}: blank; the program needs a file name", item=item)
    if provenance is not None and not isinstance(provenance, Mapping):
        raise InputError(f"provenance: expected a dict, found {type(provenance).__name__}", item="provenance")
    met_relative = site_met_path(values["met_file"])
    arrays = met_arrays(met)
    hours = max(values["n_days"], 0) * layout.HOURS_PER_DAY
    for column, array in arrays.items():
        if len(array) < hours:
            raise InputError(f"met column {column} holds {len(array)} rows; "
                             f"n_days * 24 = {hours} are needed", item=column)
    parameter_text = sitefiles.parameter_file_text(values, statements)
    provenance_text = None if provenance is None else json.dumps(
        provenance, indent=1, ensure_ascii=False, default=_json_plain) + "\n"
    records = len(arrays[MET_COLUMNS[0]])
    for column, array in arrays.items():
        if len(array) != records:
            raise InputError(f"met column {column} holds {len(array)} rows, {MET_COLUMNS[0]} {records}: "
                             f"the columns of a met file are of one length", item=column)
    earlier_met = os.path.join(root, met_relative)

    def fill(unfinished):
        os.makedirs(os.path.join(unfinished, "run"), exist_ok=True)
        with open(os.path.join(unfinished, "run", "parameter.ini"), "x", encoding="utf-8", newline="\n") as out:
            out.write(parameter_text)
        target = os.path.join(unfinished, met_relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        inside = os.path.realpath(os.path.dirname(target)).startswith(os.path.realpath(unfinished) + os.sep)
        if inside:
            digest = sitefiles.write_met_records(target, arrays)
        else:  # data/met_lv3 is a link to a folder shared by sites: that one file is replaced whole
            sitefiles.write_met_file(target, arrays)
            digest = None
        kept = os.path.join(unfinished, PROVENANCE_FILE)
        if provenance_text is not None:
            with open(kept, "x", encoding="utf-8", newline="\n") as out:
                out.write(provenance_text)
        elif os.path.lexists(kept) and (digest is None or not _same_file_text(earlier_met, digest)):
            os.unlink(kept)  # a link to the earlier record, which describes other records

    replaces = ["run/parameter.ini", met_relative] + ([PROVENANCE_FILE] if provenance_text is not None else [])
    outputs.write_directory(root, fill, replaces=replaces, exclusive=exclusive)
    return os.path.join(root, "run")
