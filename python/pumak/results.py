"""Results tables as DataFrames: from a run in memory or from a file the programs wrote."""

import os

import pandas as pd

from pumak import _core
from pumak.errors import InputError

RESULT_COLUMNS = tuple(c["name"] for c in _core.result_columns())


def results_frame(columns, program=None):
    """The 34 result arrays as a DataFrame in header order; attrs name the program and version."""
    frame = pd.DataFrame(columns, columns=RESULT_COLUMNS, copy=False)
    frame.attrs["model_version"] = _core.version
    if program is not None:
        frame.attrs["program"] = program
    return frame


def read_results(path):
    """The results table at `path` (as the programs write it) as a DataFrame.

    month, day and hour are int32, everything else float32, each value to the
    bit (negative zeros, NaN and infinities kept). A file that is not a results
    table raises InputError naming the file, the line and the column.
    """
    name = os.fspath(path)
    try:
        with open(name, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise InputError(f"cannot open {os.fsdecode(name)}: {exc.strerror}",
                         file=os.fsdecode(name)) from None
    return results_frame(_core.parse_results(data, os.fsencode(name)))
