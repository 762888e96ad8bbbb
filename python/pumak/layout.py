"""The names of a site's files, defined once for the Python side.

The items of "parameter.ini" and the columns of the met file, in file
order. When the compiled module carries its own tables these names come
from there, so that the programs and the package cannot drift apart.
"""

PARAMETER_ITEMS = (
    "met_file", "out_file", "latitude", "albedo_cryo", "albedo_ice", "ta_offset",
    "cryoconite_diameter", "cryoconite_depth", "sd_calc", "ch", "n_days",
    "diffuse_mode", "item_13", "k_ice_direct", "k_ice_diffuse",
    "fixed_solar_angle", "fixed_cryo_angle",
)
TEXT_ITEMS = ("met_file", "out_file")
INTEGER_ITEMS = ("n_days", "diffuse_mode")

MET_COLUMNS = (
    "column_1", "month", "day", "obs_hour", "doy", "ta_obs", "wind", "rh", "sr",
    "column_10", "lw_down", "lw_up", "sd_sensor", "pressure",
)
INTEGER_COLUMNS = MET_COLUMNS[:5]

# The longest run the programs accept (days).
MAX_RUN_DAYS = 365250

try:  # the compiled module's tables: the programs and the package cannot drift apart
    from pumak import _core

    _PARAMETER_TABLE = _core.parameter_items()
    _MET_TABLE = _core.met_columns()
    PARAMETER_ITEMS = tuple(row["name"] for row in _PARAMETER_TABLE)
    TEXT_ITEMS = tuple(row["name"] for row in _PARAMETER_TABLE if row["kind"] == "text")
    INTEGER_ITEMS = tuple(row["name"] for row in _PARAMETER_TABLE if row["kind"] == "integer")
    MET_COLUMNS = tuple(row["name"] for row in _MET_TABLE)
    INTEGER_COLUMNS = tuple(row["name"] for row in _MET_TABLE if row["kind"] == "integer")
    MAX_RUN_DAYS = int(_core.max_run_days)
except (ImportError, AttributeError):
    pass

# The kind of each item and column as the programs read it: "text", "integer" or "real".
PARAMETER_KINDS = {name: "text" if name in TEXT_ITEMS else "integer" if name in INTEGER_ITEMS else "real"
                   for name in PARAMETER_ITEMS}
MET_KINDS = {name: "integer" if name in INTEGER_COLUMNS else "real" for name in MET_COLUMNS}

# Statements of parameter.ini each program reads: the recorded series reads
# all items, the fixed-forcing experiments stop after k_ice_direct.
STATEMENTS = {"pumak_metrun": 16, "pumak_fixed_a": 13, "pumak_fixed_b": 13}
try:
    STATEMENTS = {program: int(_core.program_layout(program)["statements"]) for program in STATEMENTS}
except (NameError, AttributeError):
    pass
PROGRAM_ALIASES = {"metrun": "pumak_metrun", "fixed_a": "pumak_fixed_a", "fixed_b": "pumak_fixed_b"}

# The met inputs the fixed-forcing programs replace by built-in constants.
FIXED_FORCING_COLUMNS = ("ta_obs", "wind", "rh", "sr", "lw_down", "lw_up", "pressure")

# Records per day.
HOURS_PER_DAY = 24

# The met file's directory as the programs see it from the run directory.
MET_DIRECTORY = ("..", "data", "met_lv3")


def program_name(program):
    """The full name of a program given by its full or short name.

    Parameters
    ----------
    program : str
        ``pumak_metrun``, ``pumak_fixed_a``, ``pumak_fixed_b`` or ``metrun``,
        ``fixed_a``, ``fixed_b``.

    Returns
    -------
    str
        The full name.

    Raises
    ------
    ValueError
        No such program.
    """
    name = PROGRAM_ALIASES.get(program, program)
    if name not in STATEMENTS:
        raise ValueError(f"unknown program {program!r}: expected one of {', '.join(STATEMENTS)}")
    return name


def items_in_layout(statements):
    """The items a parameter file of `statements` statements holds.

    Parameters
    ----------
    statements : int
        16 (pumak_metrun) or 13 (the fixed-forcing programs).

    Returns
    -------
    tuple of str
        The item names in file order: the two file names share the first
        statement, so there are ``statements + 1``.
    """
    return PARAMETER_ITEMS[:statements + 1]


def met_file_path(run_dir, met_file):
    """The met file a program started in `run_dir` reads, joined exactly as the programs join it.

    Parameters
    ----------
    run_dir : str
        The run directory ("" for the working directory).
    met_file : str
        The item ``met_file`` of parameter.ini, without trailing blanks.

    Returns
    -------
    str
        ``run_dir/../data/met_lv3/`` followed by `met_file` as it stands: an
        absolute name such as ``/abs/x.txt`` is read from
        ``run_dir/../data/met_lv3//abs/x.txt``, never from ``/abs/x.txt``.
    """
    relative = "/".join(MET_DIRECTORY) + "/" + met_file
    return relative if not run_dir else f"{run_dir}/{relative}"
