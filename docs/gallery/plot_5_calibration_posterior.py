"""
A calibration's posterior
=========================

``pumak.calibrate.calibrate`` fits free items of a site to its observed lowering. With ``method="mcmc"``
it samples their posterior with emcee (uniform priors on the ranges given; each step of the walkers is
one ensemble call) and writes the best ``parameter.ini``, ``calibration.json``, ``samples.csv`` and a
figure into a run directory. The chain here is kept short so that the example runs in seconds; a real
calibration takes the defaults (32 walkers, 2000 steps), as ``pumak calibrate example/run --method mcmc
--free albedo_ice=0.3:0.7 --free ch=0.001:0.005`` does.
"""
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd

from pumak.calibrate import calibrate

scratch = tempfile.TemporaryDirectory()   # removed when the example ends
out = Path(scratch.name) / "calibrated"
summary = calibrate("../../example/run", [("albedo_ice", 0.3, 0.7), ("ch", 0.001, 0.005)], method="mcmc",
                    seed=3, out=out, walkers=8, steps=120)
print({name: round(value, 4) for name, value in summary["best"].items()}, summary["best_fit"])
for name, quantiles in summary["posterior"].items():
    print(name, quantiles)

# %%
# The samples after burn-in, in the plane of the two items, and each item's marginal: one month of
# lowering fixes a combination of the ice's albedo and ``ch`` (a ridge), not both, and the posterior
# presses against the top of the range given for ``albedo_ice``: the range, not the data, bounds it.
samples = pd.read_csv(out / "samples.csv")
kept = samples[samples["minus_log_posterior"].notna()]
fig, (ridge, alone) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
ridge.scatter(kept["albedo_ice"], kept["ch"], s=6, c=kept["minus_log_posterior"], cmap="viridis_r")
ridge.set_xlabel("albedo_ice")
ridge.set_ylabel("ch")
ridge.set_title("posterior samples (colour: minus log posterior)", fontsize="medium")
alone.hist(kept["albedo_ice"], bins=25, color="C0")
alone.set_xlabel("albedo_ice")
alone.set_ylabel("samples")
