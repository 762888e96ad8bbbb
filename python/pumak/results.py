"""Results tables as DataFrames: from a run in memory or from a file the programs wrote.

The table's columns (names, order, units, kinds) are the model's own
(`pumak._core.result_columns`); a file is parsed by the compiled core with
the model's number reader, so every value reads back to the bit.
"""

import os
import stat

import pandas as pd

from pumak import _core, memory
from pumak.errors import InputError

#: The 34 column names of a results table, in header order.
RESULT_COLUMNS = tuple(c["name"] for c in _core.result_columns())


def path_argument(value, name):
    """A file or directory name given to a public function, as str.

    Parameters
    ----------
    value : str, bytes or os.PathLike
        The name.
    name : str
        The argument's name, for the error.

    Raises
    ------
    InputError
        `value` is not a path, or holds a NUL byte; `.item` is `name`.
    """
    if isinstance(value, bool) or not isinstance(value, (str, bytes, os.PathLike)):
        raise InputError(f"{name}: expected a file or directory name, found {value!r}", item=name)
    text = os.fsdecode(os.fspath(value))
    if "\0" in text:
        raise InputError(f"{name}: {text!r} holds a NUL byte", item=name)
    return text


def results_frame(columns, program=None):
    """The result arrays as a DataFrame in header order.

    Parameters
    ----------
    columns : dict of str to numpy.ndarray, each shape (hours,)
        The 34 columns: int32 for ``month``, ``day``, ``hour``, float32 for
        the others (units: `pumak.cf.to_xarray` attributes, or the README's
        table).
    program : str, optional
        The program whose run these are.

    Returns
    -------
    pandas.DataFrame, shape (hours, 34)
        ``attrs`` hold ``model_version`` and, when given, ``program``.
    """
    frame = pd.DataFrame(columns, columns=RESULT_COLUMNS, copy=False)
    frame.attrs["model_version"] = _core.version
    if program is not None:
        frame.attrs["program"] = program
    return frame


def read_results(path):
    """The results table at `path`, as the programs write it, as a DataFrame.

    Parameters
    ----------
    path : str or os.PathLike
        A results table: the model's header line, then one row per hour.

    Returns
    -------
    pandas.DataFrame, shape (hours, 34)
        ``month``, ``day`` and ``hour`` int32, every other column float32,
        each value to the bit (negative zeros, NaN and infinities kept).
        Units are those of `pumak.cf.to_xarray` (m, mm, W m-2, rad, day).

    Raises
    ------
    InputError
        `path` is not a file name; the file cannot be opened, is not a
        regular file, or is not a results table (naming the file, the line
        and the column); or it is larger than the memory available.
    """
    name = path_argument(path, "path")
    try:
        with open(name, "rb", opener=lambda p, flags: os.open(p, flags | os.O_NONBLOCK)) as stream:
            info = os.fstat(stream.fileno())
            if not stat.S_ISREG(info.st_mode):
                raise InputError(f"{name}: not a regular file, not a results table", file=name)
            # The text and the arrays (about a tenth of the text) are held at once.
            memory.refuse_beyond(2 * info.st_size, f"path: reading {name} ({info.st_size} bytes) needs", "path")
            data = stream.read()
    except OSError as exc:
        raise InputError(f"cannot open {name}: {exc.strerror}", file=name) from None
    return results_frame(_core.parse_results(data, os.fsencode(name)))
