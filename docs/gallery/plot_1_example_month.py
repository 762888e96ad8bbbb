"""
The example month and its fit
=============================

The shipped example is a real month of hourly weather (August 2016) at an ablation-zone station in
northern Greenland. ``pumak.run_site`` runs it in memory, bit for bit the table ``pumak_metrun``
writes, and ``pumak.plot`` summarises how well the modelled surface lowering follows the observed
one and draws the run.
"""
import pumak
from pumak import plot

# The examples run from docs/gallery; the site is the repository's example/run.
results = pumak.run_site("../../example/run")
print(results[["sd_obs", "sd_calc", "cryoconite_depth"]].iloc[-1])

# %%
# The fit of the modelled to the observed lowering, both measured from the first hour (m), as
# ``pumak plot`` prints it:
print(plot.format_summary(plot.summary(results, "example/run")))

# %%
# Lowering, hole depth, the daily melt energy of the ice and the floor, and the shortwave that reaches
# the floor:
fig = plot.figure(results, "KPC_L, August 2016")
