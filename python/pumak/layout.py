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

# The met inputs the fixed-forcing programs replace by built-in constants.
FIXED_FORCING_COLUMNS = ("ta_obs", "wind", "rh", "sr", "lw_down", "lw_up", "pressure")

# Records per day.
HOURS_PER_DAY = 24


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
