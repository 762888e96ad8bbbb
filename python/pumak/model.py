"""Sites and runs: read a site as the programs read it, run the model in memory, write a site.

Every value goes through the compiled core, which reads the files with the
programs' own readers and runs the programs' own model: a run here gives the
programs' table to the bit.
"""

import dataclasses
import os
from collections.abc import Mapping

import numpy as np
import pandas as pd

from pumak import _core, sitefiles
from pumak.errors import InputError
from pumak.results import results_frame

MET_COLUMNS = tuple(c["name"] for c in _core.met_columns())
_INTEGER_MET_COLUMNS = frozenset(c["name"] for c in _core.met_columns() if c["kind"] == "integer")


@dataclasses.dataclass
class Site:
    """A site as a program reads it from its run directory."""

    parameters: dict  # item name -> value: str, int or float (latitude in degrees)
    met: pd.DataFrame  # the 14 met columns, n_days * 24 rows, int32 and float32
    program: str  # full name of the program whose layout was read
    run_dir: str


def program_name(program):
    """The full name of a program given by its full or short name ("metrun", "fixed_a", ...)."""
    return _core.program_layout(program)["program"]


def read_site(run_dir, program="pumak_metrun"):
    """Reads run_dir/parameter.ini in the program's layout and the met file it names.

    Bad files raise InputError with the program's diagnostic.
    """
    name = program_name(program)
    directory = os.fsencode(run_dir)
    parameters = _core.read_parameters(directory, name)
    met = _core.read_met(directory, parameters)
    return Site(parameters, pd.DataFrame(met, columns=MET_COLUMNS), name, os.fsdecode(run_dir))


def met_arrays(met):
    """The 14 met columns of a DataFrame or mapping as int32 and float32 arrays.

    Integer columns must hold integers within 32 bits; real columns may hold
    any real or integer numbers, taken to the nearest single-precision value
    (as the programs read a decimal). Anything else is refused, naming the
    column. Lengths are left to the run, which knows n_days.
    """
    if isinstance(met, pd.DataFrame):
        names = list(met.columns)
    elif isinstance(met, Mapping):
        names = list(met.keys())
    else:
        raise TypeError(f"met: expected a pandas DataFrame or a dict of arrays, found {type(met).__name__}")
    arrays = {}
    for name in MET_COLUMNS:
        if name not in names:
            raise InputError(f"met: no column {name}", item=name)
        if names.count(name) > 1:
            raise InputError(f"met column {name}: appears more than once", item=name)
        arrays[name] = _column(name, met[name])
    return arrays


def _column(name, values):
    dtype = getattr(values, "dtype", None)
    if isinstance(values, pd.Series):
        values = values.to_numpy()
    values = np.asarray(values)
    shown = dtype if dtype is not None else values.dtype
    if values.ndim != 1:
        raise InputError(f"met column {name}: expected one dimension, found {values.ndim}", item=name)
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
    """Runs the model in memory and returns its 34 result columns as a DataFrame.

    `parameters` holds the items of the program's parameter.ini (the two file
    names may be left out); `met` is a DataFrame or dict of the 14 met columns
    with at least n_days * 24 rows. The table is bit for bit the program's.
    """
    name = program_name(program)
    columns = _core.run(dict(parameters), met_arrays(met), name)
    return results_frame(columns, program=name)


def run_site(run_dir, program="pumak_metrun"):
    """read_site, then run: the table the program would write in run_dir."""
    site = read_site(run_dir, program)
    return run(site.parameters, site.met, site.program)


def write_site(root, parameters, met, program="pumak_metrun"):
    """Writes root/run/parameter.ini and root/data/met_lv3/<met_file>.

    The program, started in root/run, reads back exactly these values and
    writes the table that run() gives. Returns the path of root/run.
    """
    name = program_name(program)
    layout = _core.program_layout(name)
    values = _core.checked_parameters(dict(parameters), name)
    for item in ("met_file", "out_file"):
        if not values[item].strip():
            raise InputError(f"parameters: {item}: blank; the program needs a file name", item=item)
    arrays = met_arrays(met)
    hours = max(values["n_days"], 0) * 24
    for column, array in arrays.items():
        if len(array) < hours:
            raise InputError(f"met column {column} holds {len(array)} rows; "
                             f"n_days * 24 = {hours} are needed", item=column)
    run_dir = os.path.join(os.fspath(root), "run")
    met_path = os.path.join(os.fspath(root), "data", "met_lv3", values["met_file"])
    os.makedirs(run_dir, exist_ok=True)
    os.makedirs(os.path.dirname(met_path), exist_ok=True)
    sitefiles.write_met_file(met_path, arrays)
    sitefiles.write_parameter_file(os.path.join(run_dir, "parameter.ini"), values, layout["statements"])
    return run_dir
