"""An ensemble's spread and a day's energy balance: the figures' numbers and `pumak plot ENSEMBLE.nc`."""
import subprocess
import sys

import matplotlib.image
import numpy as np
import pandas as pd
import pytest
import xarray as xr

from conftest import package_environment
from pumak import plots
from pumak.errors import InputError
from pumak.results import RESULT_COLUMNS as HEADER


def ensemble(members=21, hours=5, columns=("sd_calc", "cryoconite_depth"), obs=False):
    """Member k lowers by k mm an hour from 0.5 m and deepens from 100 mm by k mm an hour."""
    k = np.arange(members, dtype=np.float32)[:, None]
    h = np.arange(hours, dtype=np.float32)[None, :]
    values = {"sd_calc": 0.5 + 0.001 * k * h, "cryoconite_depth": 100.0 + k * h}
    data = {name: (("member", "time"), values[name].astype(np.float32)) for name in columns}
    if obs:
        data["sd_obs"] = (("member", "time"), np.tile(np.float32(0.1) + 0.002 * h, (members, 1)))
    time = pd.date_range("2016-08-01T01:00", periods=hours, freq="h")
    return xr.Dataset(data, coords={"member": np.arange(members), "time": time})


def results(days=3, melt_day=2):
    """A results table of whole days whose floor melts most on melt_day; each flux column holds its number."""
    hours = 24 * days
    frame = pd.DataFrame({name: np.zeros(hours, dtype=np.float32) for name in HEADER})
    frame["hour"] = np.tile(np.arange(1, 25, dtype=np.int32), days)
    for number, (flux, _) in enumerate(plots.FLUXES):
        for offset, (surface, _) in enumerate(plots.SURFACES):
            frame[f"{flux}_{surface}"] = np.float32(10 * number + offset) + np.arange(hours) / 1000
    frame.loc[24 * (melt_day - 1) + 11, "melt_cryo"] = 500.0
    return frame


@pytest.mark.parametrize("members, nan_member, column, quantile, expected", [
    # 21 members 0..20 at the last hour (4): lowering 0.004 k m, depth 100 + 4 k mm.
    (21, None, "sd_calc", 0.5, 0.040),
    (21, None, "sd_calc", 0.05, 0.004),
    (21, None, "sd_calc", 0.95, 0.076),
    (21, None, "cryoconite_depth", 0.25, 120.0),
    (21, None, "cryoconite_depth", 0.75, 160.0),
    (21, 20, "cryoconite_depth", 0.5, 138.0),     # a NaN member is left out, not counted as 0 or inf
    (1, None, "cryoconite_depth", 0.95, 100.0),
])
def test_spread_quantiles(members, nan_member, column, quantile, expected):
    dataset = ensemble(members)
    if nan_member is not None:
        dataset[column][nan_member, -1] = np.nan
    q = plots.spread(dataset)[column]
    assert q[quantile][-1] == pytest.approx(expected, rel=1e-5)
    assert q[quantile][0] == pytest.approx(0.0 if column == "sd_calc" else 100.0)


@pytest.mark.parametrize("columns, obs, panels, lines", [
    (("sd_calc", "cryoconite_depth"), False, 2, [1, 1]),
    (("sd_calc", "cryoconite_depth"), True, 2, [2, 1]),
    (("cryoconite_depth",), True, 1, [1]),
    ((), False, None, None),
    (("melt_ice",), False, None, None),
])
def test_ensemble_spread_panels(columns, obs, panels, lines):
    dataset = ensemble(columns=[c for c in columns if c != "melt_ice"], obs=obs)
    if "melt_ice" in columns:
        dataset = dataset.assign(melt_ice=(("member", "time"), np.zeros((21, 5), np.float32)))
    if panels is None:
        with pytest.raises(InputError, match="no member x time column sd_calc or cryoconite_depth"):
            plots.ensemble_spread(dataset)
        return
    axes = plots.ensemble_spread(dataset).axes
    assert [len(ax.lines) for ax in axes] == lines
    if obs and "sd_calc" in columns:   # observed lowering from its first hour: 0.002 m an hour
        assert axes[0].lines[1].get_ydata() == pytest.approx(0.002 * np.arange(5), abs=1e-6)


@pytest.mark.parametrize("days, melt_day, day, drawn", [
    (3, 2, None, 2),
    (3, 3, None, 3),
    (3, 2, 1, 1),
    (3, 2, 3, 3),
    (1, 1, None, 1),
])
def test_day_fluxes_takes_the_days_rows(days, melt_day, day, drawn):
    got_day, fluxes = plots.day_fluxes(results(days, melt_day), day)
    assert got_day == drawn
    assert list(fluxes["hour"]) == list(range(1, 25))
    first_row = 24 * (drawn - 1)
    assert fluxes["nlr_cryo"][0] == pytest.approx(11 + first_row / 1000, abs=1e-4)
    assert fluxes["sh_ice"][23] == pytest.approx(20 + (first_row + 23) / 1000, abs=1e-4)


@pytest.mark.parametrize("frame, day, said", [
    (results(3), 0, "day: 0 is not a day of the run (1 to 3)"),
    (results(3), 4, "day: 4 is not a day of the run (1 to 3)"),
    (results(3), True, "day: True is not a day"),
    (results(3), 1.0, "day: 1.0 is not a day"),
    (results(1).iloc[:23], None, "results: 23 hour(s) hold no whole day"),
    (results(1).drop(columns="lh_cryo"), 1, "results: no column lh_cryo"),
])
def test_day_fluxes_refuses(frame, day, said):
    with pytest.raises(InputError, match=said.replace("(", r"\(").replace(")", r"\)")):
        plots.day_fluxes(frame, day)


def test_energy_balance_day_draws_each_flux_of_each_surface():
    axes = plots.energy_balance_day(results(3, 2), 3).axes
    drawn = [[list(line.get_ydata()) for line in ax.lines if not line.get_label().startswith("_")] for ax in axes]
    for offset, panel in enumerate(drawn):
        assert [round(values[0]) for values in panel] == [10 * n + offset for n in range(len(plots.FLUXES))]
    assert axes[0].get_ylim() == axes[1].get_ylim()


def plot_command(*args):
    return subprocess.run([sys.executable, "-m", "pumak", "plot", *map(str, args)], capture_output=True,
                          text=True, timeout=120, env=package_environment())


def test_plot_of_an_ensemble_file(tmp_path):
    ensemble(obs=True).to_netcdf(tmp_path / "e.nc")
    done = plot_command(tmp_path / "e.nc")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines() == [
        "ensemble         e.nc: 21 members x 5 hours",
        "final lowering   median 0.0400 m, 5-95 % of members 0.0040 to 0.0760 m",
        "final depth      median 140.0 mm, 5-95 % of members 104.0 to 176.0 mm",
        f"figure written to {tmp_path / 'e.png'}",
    ]
    height, width = matplotlib.image.imread(tmp_path / "e.png").shape[:2]
    assert height > 300 and width > 600


@pytest.mark.parametrize("make, args, said", [
    (lambda p: ensemble().to_netcdf(p), ["--json", "x.json"], "--json: a JSON summary is written for a run's"),
    (lambda p: ensemble().to_netcdf(p), ["{nc}"], "the figure would overwrite the ensemble"),
    (lambda p: ensemble().isel(member=0).drop_vars("member").to_netcdf(p), [], "not an ensemble"),
    (lambda p: ensemble(columns=()).to_netcdf(p), [], "no member x time column sd_calc"),
    (lambda p: p.write_text("days,depth\n1,2\n"), [], "not a NetCDF file that can be read"),
    (lambda p: None, [], "no such file"),
])
def test_plot_of_an_ensemble_file_refuses(tmp_path, make, args, said):
    nc = tmp_path / "e.nc"
    make(nc)
    done = plot_command(nc, *[a.format(nc=nc) for a in args])
    assert done.returncode == 2
    assert len(done.stderr.splitlines()) == 1 and said in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "e.png").exists()
