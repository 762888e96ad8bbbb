"""The station quantities, defined once: names, units, plausible ranges and what may stand in for them.

Every other table of the station readers (`QUANTITIES`, `OPTIONAL`,
`DESCRIPTION`, `KIND`, the unit spellings, `MODEL_UNIT`) and the
plausibility bounds of `pumak check` are derived from `TABLE`.
"""

import dataclasses

# Unit spellings per kind of quantity, compared lower case without blanks,
# carets, dots and stars: (spellings, factor, offset) to the model's unit,
# value_model = value * factor + offset. The first entry is the model's unit.
UNITS = {
    "temperature": (({"degc", "c", "°c", "degreesc", "degree_c", "degrees_c", "degree_celsius", "celsius",
                      "degcelsius"}, 1.0, 0.0),
                    ({"k", "kelvin"}, 1.0, -273.15)),
    "fraction": (({"1", "fraction", "-"}, 1.0, 0.0), ({"%", "percent"}, 0.01, 0.0)),
    "pressure": (({"hpa", "mbar", "mb"}, 1.0, 0.0), ({"pa"}, 0.01, 0.0), ({"kpa"}, 10.0, 0.0)),
    "speed": (({"ms-1", "m/s", "mps", "meters/second", "metres/second"}, 1.0, 0.0),
              ({"kmh-1", "km/h"}, 1 / 3.6, 0.0)),
    "flux": (({"wm-2", "w/m2", "wm2", "w/m²", "wm-²", "watts/m2"}, 1.0, 0.0),),
    "length": (({"m", "meters", "metres"}, 1.0, 0.0), ({"cm"}, 0.01, 0.0), ({"mm"}, 0.001, 0.0)),
}
MODEL_UNIT = {"temperature": "°C", "fraction": "fraction", "pressure": "hPa", "speed": "m s-1",
              "flux": "W m-2", "length": "m"}


@dataclasses.dataclass(frozen=True)
class Quantity:
    """One station quantity.

    Attributes
    ----------
    name : str
        Its column in a `Station` and the met file (``distance`` becomes sd_sensor).
    description : str
        Words for messages.
    kind : str
        Key of `UNITS` and `MODEL_UNIT`.
    plausible : tuple of float
        (low, high) in the model's unit; values outside are an error of
        `pumak check` (a unit mistake), None where no bound applies.
    required : bool
        The model cannot run without it.
    estimable : bool
        `pumak.stations.estimate` can stand in for it.
    """

    name: str
    description: str
    kind: str
    plausible: tuple
    required: bool = True
    estimable: bool = False

    @property
    def model_unit(self):
        return MODEL_UNIT[self.kind]

    @property
    def units(self):
        """(spellings, factor, offset) of each accepted unit."""
        return UNITS[self.kind]


TABLE = (
    Quantity("ta_obs", "air temperature", "temperature", (-90.0, 100.0)),
    Quantity("wind", "wind speed", "speed", (0.0, None)),
    Quantity("rh", "relative humidity", "fraction", (0.0, 1.5)),
    Quantity("sr", "incoming shortwave", "flux", (None, None)),
    Quantity("column_10", "reflected shortwave", "flux", (None, None), required=False),
    Quantity("lw_down", "incoming longwave", "flux", (50.0, 700.0), estimable=True),
    Quantity("lw_up", "outgoing longwave", "flux", (50.0, 700.0), estimable=True),
    Quantity("pressure", "air pressure", "pressure", (300.0, 1100.0), estimable=True),
    Quantity("distance", "surface distance", "length", (None, None), required=False),
)
BY_NAME = {q.name: q for q in TABLE}
ESTIMABLE = tuple(q.name for q in TABLE if q.estimable)


def plausible(name):
    """(low, high) of a quantity in the model's unit (None: no bound)."""
    return BY_NAME[name].plausible


__all__ = ["Quantity", "TABLE", "BY_NAME", "ESTIMABLE", "UNITS", "MODEL_UNIT", "plausible"]
