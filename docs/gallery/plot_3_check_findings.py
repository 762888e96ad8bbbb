"""
What ``check`` finds on a site with planted mistakes
====================================================

The programs validate nothing: humidity in percent, a decimal comma or two swapped lines of
``parameter.ini`` give a run that ends normally with wrong results. ``pumak.check.check_site`` reads a
site as the program reads it and says, line by line, what the program will make of it. Here the example
site is copied and four mistakes are planted in it.
"""
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import pumak
from pumak.check import check_site

site = pumak.read_site("../../example/run")
scratch = tempfile.TemporaryDirectory()   # removed when the example ends
run_dir = Path(pumak.write_site(scratch.name, site.parameters, site.met))

# The logger's clock ran an hour late (every reading one record later), and day 5 logged humidity in
# percent.
met = site.met.copy()
weather = ["ta_obs", "wind", "rh", "sr", "column_10", "lw_down", "lw_up", "pressure"]
met[weather] = np.roll(met[weather].to_numpy(), 1, axis=0)
met.loc[met.index[4 * 24:5 * 24], "rh"] *= 100
run_dir = Path(pumak.write_site(scratch.name, site.parameters, met))

# parameter.ini: the two albedo lines swapped, and a decimal comma in ch.
lines = (run_dir / "parameter.ini").read_text().splitlines()
albedo_cryo, albedo_ice = lines.index(next(l for l in lines if l.startswith("albedo_cryo"))), \
    lines.index(next(l for l in lines if l.startswith("albedo_ice")))
lines[albedo_cryo], lines[albedo_ice] = lines[albedo_ice], lines[albedo_cryo]
lines = [l.replace("0.002", "0,002") if l.startswith("ch") else l for l in lines]
(run_dir / "parameter.ini").write_text("\n".join(lines) + "\n")

findings = check_site(run_dir)
for finding in findings:
    print(str(finding).replace(scratch.name, "SITE"))

# %%
# Each finding names the file, the line and the item. The clock finding compares the daily cycle of the
# recorded shortwave with the model's sun, and gives the shift that fits best:
clock = next(f for f in findings if f.shift_hours)
hour = np.arange(1, 25)
fig, (cycle, humidity) = plt.subplots(1, 2, figsize=(10, 3.8), layout="constrained")
cycle.plot(hour, site.met["sr"].to_numpy().reshape(-1, 24).mean(axis=0), "k-", label="as recorded")
cycle.plot(hour, met["sr"].to_numpy().reshape(-1, 24).mean(axis=0), "C3--", label="clock an hour late")
cycle.set_xlabel("hour of the record (local solar time)")
cycle.set_ylabel("mean global shortwave (W m$^{-2}$)")
cycle.set_title(f"check: move the records by {clock.shift_hours:+d} h", fontsize="medium")
cycle.legend(fontsize="small")

rh = next(f for f in findings if f.column == "rh")
humidity.plot(np.arange(1, len(met) + 1), met["rh"], "C0-", lw=1)
humidity.axvline(rh.line, color="C3", lw=1, label=f"check: line {rh.line}, rh above 1.5")
humidity.set_yscale("log")
humidity.set_xlabel("line of the met file (one record per hour)")
humidity.set_ylabel("relative humidity as written")
humidity.legend(fontsize="small")
