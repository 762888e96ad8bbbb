"""
A logger's TOA5 table to a site
===============================

A Campbell logger writes a TOA5 table: a line of the logger's identity, the column names, their units
and their processing, then one record every ten minutes. ``pumak.prepare.prepare`` reads it through a
small mapping that names the columns (and, where the units line is empty, their units), moves the
logger's clock to UTC and then to local solar time, averages the records into hours, keeps whole
days and writes a site the programs read.

The table here is the head of a real GC-Net v2 logger table (a test installation in Denmark, not a
glacier: its sonic ranger was not connected, and its longwave columns are thermopile signals to which
the sensor body's emission is added).
"""
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt

import pumak
from pumak.prepare import prepare

TABLE = "../../tests/data/stations/gcnet_v2_datatable10min_2022_05_head.dat"
MAPPING = """
latitude = { column = "Latitude", unit = "ddmm" }
longitude = { column = "Longitude", unit = "ddmm" }

[time]
zone = "UTC"

[columns]
ta_obs = { column = "Asp_temp_L", unit = "degC" }
rh = { column = "Humidity_L", unit = "%" }
wind = { column = "WindSpeed_S_L", unit = "m/s" }
pressure = { column = "Pressure_L", unit = "hPa" }
sr = { column = "SWUpper", unit = "W/m2" }
column_10 = { column = "SWLower", unit = "W/m2" }
lw_down = { column = "LWUpper", unit = "W/m2", body_temperature = "TemperatureRadSensor" }
lw_up = { column = "LWLower", unit = "W/m2", body_temperature = "TemperatureRadSensor" }
distance = { column = "SR_L", unit = "m" }
"""

scratch = tempfile.TemporaryDirectory()   # removed when the example ends
work = Path(scratch.name)
(work / "map.toml").write_text(MAPPING)
prepared = prepare(TABLE, str(work / "site"), mapping=str(work / "map.toml"))
print(sorted(p.relative_to(work).as_posix() for p in (work / "site").rglob("*") if p.is_file()))

# %%
# The site reads back as the programs read it: one record per hour of local solar time, hour 12 at
# solar noon.
site = pumak.read_site(work / "site" / "run")
met = site.met
print(site.parameters["latitude"], site.parameters["n_days"], "day(s)")

fig, (air, light) = plt.subplots(2, 1, sharex=True, figsize=(9, 6), layout="constrained")
hours = range(1, len(met["ta_obs"]) + 1)
air.plot(hours, met["ta_obs"], "C3.-")
air.set_ylabel("air temperature (°C)")
light.plot(hours, met["sr"], "C1.-", label="global shortwave (sr)")
light.plot(hours, met["lw_down"], "C0.-", label="incoming longwave")
light.plot(hours, met["lw_up"], "C2.-", label="outgoing longwave")
light.set_ylabel("W m$^{-2}$")
light.set_xlabel("hour of the site's record (local solar time)")
light.legend(fontsize="small")
fig.suptitle("A logger's ten-minute table as the model's hourly record")
