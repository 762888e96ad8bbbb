"""
The hole's energy balance over a day
====================================

The results table holds each hour's flux components at the bare ice (``nsr_ice``, ``nlr_ice``, ``sh_ice``,
``lh_ice``) and at the hole floor (``nsr_cryo`` ...), all positive toward the surface, with the energy
left for melt (``melt_ice``, ``melt_cryo``). ``pumak.plots.energy_balance_day`` draws one day of them;
by default the day the floor received most energy.
"""
import pumak
from pumak import plots

results = pumak.run_site("../../example/run")
day, fluxes = plots.day_fluxes(results)
print(f"day {day} of the run: floor {fluxes['melt_cryo'].mean():.1f} W m-2, "
      f"ice {fluxes['melt_ice'].mean():.1f} W m-2 available for melt on average")

# %%
# The floor is sheltered from the wind, so its sensible and latent heat are zero: it melts on
# shortwave alone, while the ice around it gains sensible heat and loses latent heat.
fig = plots.energy_balance_day(results, day)
