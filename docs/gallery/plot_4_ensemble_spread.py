"""
An ensemble's spread of lowering and hole depth
===============================================

The albedo of the bare ice and the bulk transfer coefficient ``ch`` are the least certain items of the
example. ``pumak.ensemble`` runs a grid of them over the example month in one call of the compiled engine
(every member bit for bit the single run with its items), and ``pumak.plots.ensemble_spread`` draws the
members' median with their 25-75 % and 5-95 % bands. On the command line,
``pumak ensemble example/run --members members.csv --columns sd_calc cryoconite_depth sd_obs --out
ensemble.nc`` and then ``pumak plot ensemble.nc`` make the same figure.
"""
import itertools

import pandas as pd

import pumak
from pumak import plots

site = pumak.read_site("../../example/run")
grid = itertools.product([0.40, 0.45, 0.50, 0.55, 0.60], [0.0015, 0.002, 0.0025, 0.003])
members = pd.DataFrame(grid, columns=["albedo_ice", "ch"])
ensemble = pumak.ensemble(site.met, site.parameters, members, columns=["sd_calc", "cryoconite_depth", "sd_obs"])
print(ensemble[["parameter_albedo_ice", "parameter_ch", "rmse", "final_depth"]]
      .reset_coords(drop=True).to_dataframe().sort_values("rmse").head())

# %%
# The lowering is held close by the observed one; the hole's depth, which follows the difference
# between the floor's melt and the surface's, spreads much more.
print(plots.spread_summary(ensemble, "the example's ensemble"))
fig = plots.ensemble_spread(ensemble, f"{len(members)} members over albedo_ice and ch")
