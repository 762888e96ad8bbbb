"""pumak._core: the compiled model (python/src/*.cpp), as type checkers and editors see it.

Every function bound in python/src has its signature here, with the
parameter names of the binding; tests/python/test_install.py checks that
the two agree. Paths are str or bytes (bytes pass through unchanged); the
arrays are one-dimensional, one value per hour, int32 for the integer
columns and float32 (IEEE single precision, the model's own values) for
the real ones.
"""

from typing import Any, Literal, Mapping, Sequence, TypedDict

import numpy as np
from numpy.typing import NDArray

Column = NDArray[np.int32] | NDArray[np.float32]
ParameterValue = str | int | float

version: str
max_run_days: int

class ResultColumn(TypedDict):
    name: str
    kind: Literal["integer", "real"]
    unit: str
    long_name: str
    standard_name: str

class ParameterItem(TypedDict):
    name: str
    kind: Literal["text", "integer", "real", "label"]
    statement: int
    unit: str
    meaning: str

class MetColumn(TypedDict):
    name: str
    kind: Literal["text", "integer", "real", "label"]
    unit: str
    meaning: str

class ProgramLayout(TypedDict):
    program: str
    statements: int
    items: int

class SummaryVariable(TypedDict):
    name: str
    units: str
    long_name: str

def read_parameters(run_dir: str | bytes, program: str) -> dict[str, ParameterValue]:
    """parameter.ini of run_dir (empty: the working directory) in the program's layout; latitude in degrees."""

def read_met(run_dir: str | bytes, parameters: dict[str, ParameterValue]) -> dict[str, Column]:
    """The n_days * 24 records of the met file that parameters name, as the 14 met columns."""

def run(parameters: dict[str, ParameterValue], met: dict[str, Column], program: str) -> dict[str, Column]:
    """A run in memory: the 34 result columns of n_days * 24 hours."""

def checked_parameters(parameters: dict[str, Any], program: str) -> dict[str, ParameterValue]:
    """The items of the program's layout as the model holds them (reals rounded to single precision)."""

def solar_angle(doy: NDArray[np.int32], hour: NDArray[np.int32], latitude_degrees: float) -> NDArray[np.float32]:
    """The model's solar zenith angle in rad for each day of year and hour (1..24); latitude in degrees."""

def parse_results(data: bytes, file: str | bytes) -> dict[str, Column]:
    """The bytes of a results table as its 34 columns, each value to the bit; file names it in errors."""

def write_results(columns: Mapping[str, NDArray[Any]], fd: int) -> None:
    """Writes the results table as the programs write it (header and rows), byte for byte, to the open file fd."""

def result_columns() -> list[ResultColumn]:
    """The 34 result columns, in header order."""

def parameter_items() -> list[ParameterItem]:
    """The 17 items of parameter.ini, in file order."""

def met_columns() -> list[MetColumn]:
    """The 14 columns of the met file, in file order."""

def program_layout(program: str) -> ProgramLayout:
    """The full name of a program and the statements and items of its parameter.ini."""

def ensemble(
    met: dict[str, Column],
    parameters: Sequence[Mapping[str, ParameterValue]],
    program: str,
    columns: list[str] = ...,
    threads: int | None = None,
    summary_only: bool = False,
) -> dict[str, NDArray[Any]]:
    """One member per parameter mapping over met: the named result columns as (members, hours)
    arrays and one array (members) per entry of ensemble_summaries()."""

def ensemble_summaries() -> list[SummaryVariable]:
    """The summary variables of ensemble(): name, units and long_name of each."""

class ScanProblem(TypedDict):
    statement: int
    reason: str
    item: int
    line: int
    token: str
    message: str

class Scan(TypedDict):
    first: NDArray[np.int64]
    last: NDArray[np.int64]
    on_first_line: NDArray[np.int32]
    integers: NDArray[np.int32]
    reals: NDArray[np.float32]
    valid: NDArray[np.bool_]
    texts: list[list[str | None]] | None
    rest: dict[int, str]
    problems: list[ScanProblem]

def scan_statements(
    path: str | bytes,
    layouts: Sequence[Sequence[Literal["label", "text", "integer", "real"]]],
    count: int,
    texts: bool = True,
) -> Scan:
    """At most `count` statements of the file with the programs' reader, going on after a problem."""

def met_file_path(met_file: str | bytes, run_dir: str | bytes) -> str:
    """The met file's path exactly as the programs join it (run_dir/../data/met_lv3/ + the name)."""
