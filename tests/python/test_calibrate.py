"""Calibration of a small twin site: each method and metric, refusals of what cannot be fitted, whole outputs."""
import argparse
import json
import math
import os
import re
import signal
import sys

import numpy as np
import pandas as pd
import pytest
from pathlib import Path

import pumak
from pumak import calibrate, cli, plot
from conftest import KPC_L, package_environment, signal_when_ready

DAYS = 4
TRUTH = 0.47  # albedo_ice of the twin; every other item is the site's
FILES = sorted(calibrate.FILES)


def twin_site(root, sensor=None, **items):
    """KPC_L cut to DAYS days, observing the lowering of its run with albedo_ice TRUTH (or `sensor`)."""
    site = pumak.read_site(KPC_L)
    gap = items.pop("met_gap", None)
    parameters = dict(site.parameters, n_days=DAYS, **items)
    if sensor is None or isinstance(sensor, str):  # warm: the lowering observed without the items' change
        truth = dict(parameters if sensor is None else site.parameters, n_days=DAYS, albedo_ice=TRUTH)
        lowering = pumak.run(truth, site.met)["sd_calc"].to_numpy()
        sensor = np.float32(0.1) - lowering
    met = site.met.iloc[:len(sensor)].assign(sd_sensor=np.asarray(sensor, dtype=np.float32))
    if gap is not None:  # no air temperature from hour `gap` on: the model's lowering stops there
        met.loc[gap:, "ta_obs"] = np.nan
    return pumak.write_site(root, parameters, met)


@pytest.fixture(scope="module")
def twin(tmp_path_factory):
    return twin_site(tmp_path_factory.mktemp("twin"))


def status_of(main, argv):
    """The exit status of a command, also when its parser ends it."""
    try:
        return main(argv)
    except SystemExit as end:
        return end.code


def sibling(run_dir, tmp_path):
    """An output directory beside the run directory, so that it is a run directory of the site too."""
    return Path(run_dir).parent / f"calibrated_{tmp_path.name}"


def contents(directory):
    return {name: (directory / name).read_bytes() for name in sorted(os.listdir(directory))}


# Method, metric, box of albedo_ice, options, where the best must be: the
# truth inside the box, or the box's edge when the truth lies outside it (the
# prior box holds, and the item is said to be weakly constrained), also with a
# second free item whose box holds the truth.
@pytest.mark.parametrize("method, metric, box, options, best, weak", [
    ("de", "rmse", (0.3, 0.7), ["--popsize", "6", "--tol", "0.001"], (TRUTH, 0.003), []),
    ("de", "bias", (0.3, 0.7), ["--popsize", "6", "--tol", "0.001"], (TRUTH, 0.005), []),
    ("lhs", "rmse", (0.3, 0.7), ["--samples", "80"], (TRUTH, 0.006), []),
    ("lhs", "bias", (0.3, 0.7), ["--samples", "80"], (TRUTH, 0.006), []),
    ("mcmc", None, (0.3, 0.7), ["--walkers", "8", "--steps", "150"], (TRUTH, 0.003), []),
    ("mcmc", None, (0.3, 0.46), ["--walkers", "8", "--steps", "150"], (0.46, 0.004),
     ["the best lies at the high edge of its range 0.3:0.46"]),
    ("mcmc", None, (0.48, 0.7), ["--walkers", "8", "--steps", "150", "--obs-error", "0.002"], (0.48, 0.004),
     ["the best lies at the low edge of its range 0.48:0.7"]),
    ("mcmc", None, (0.3, 0.46), ["--walkers", "8", "--steps", "150", "--free", "ch=0.0015:0.0025"], (0.46, 0.01),
     ["the best lies at the high edge of its range 0.3:0.46"]),
    ("lhs", "rmse", (0.5, 0.7), ["--samples", "30"], (0.5, 0.01),
     ["the best lies at the low edge of its range 0.5:0.7"]),
])
def test_each_method_finds_the_twins_albedo_and_keeps_to_its_box(twin, tmp_path, capsys, method, metric, box,
                                                                  options, best, weak):
    out = sibling(twin, tmp_path)
    argv = [twin, "--free", f"albedo_ice={box[0]}:{box[1]}", "--method", method, "--seed", "3", "--out", str(out),
            *options] + (["--metric", metric] if metric else [])
    boxes = {"albedo_ice": box, "ch": (0.0015, 0.0025)}
    assert calibrate.main(argv) == 0
    said = capsys.readouterr().out.splitlines()
    assert sorted(os.listdir(out)) == FILES
    summary = json.loads((out / "calibration.json").read_text())
    assert summary["best"]["albedo_ice"] == pytest.approx(best[0], abs=best[1])
    # an item whose best lies at the edge of its box is said, in the summary and the JSON
    assert [w.split(" (")[0] for w in summary["identifiability"]["items"]["albedo_ice"]["weak"]] == weak
    assert summary["weakly_constrained"] == (["albedo_ice"] if weak else [])
    assert len(said) == 2 + len(summary["weakly_constrained"])
    assert all(f"weakly constrained: albedo_ice: {w}" in said[2] for w in weak)
    samples = pd.read_csv(out / "samples.csv")
    assert len(samples) > 0 and all(samples[name].between(*boxes[name]).all() for name in summary["best"])
    # parameter.ini runs the best member, whose fit the summary reports
    written = pumak.read_site(out)
    assert written.parameters["albedo_ice"] == summary["best"]["albedo_ice"]
    assert plot.summary(pumak.run(written.parameters, written.met))["rmse_m"] == pytest.approx(
        summary["best_fit"]["rmse_m"], rel=1e-5)
    if method == "mcmc":
        posterior = summary["posterior"]["albedo_ice"]
        assert box[0] <= posterior["q02.5"] <= posterior["median"] <= posterior["q97.5"] <= box[1]
        assert posterior["median"] == pytest.approx(best[0], abs=2 * best[1])
        assert summary["burn"] == 75 and len(samples) == 8 * (150 - 75)  # half of each walker burnt in


@pytest.mark.parametrize("metric, of_fit", [
    ("rmse", lambda fit: fit["rmse_m"]),
    ("bias", lambda fit: abs(fit["bias_m"])),
    ("correlation", lambda fit: 1.0 - fit["correlation"]),
])
def test_each_metric_ranks_members_by_its_definition(twin, tmp_path, metric, of_fit):
    out = tmp_path / "out"
    assert calibrate.main([twin, "--free", "albedo_ice=0.3:0.7", "--free", "ch=0.001:0.004", "--method", "lhs",
                           "--samples", "12", "--metric", metric, "--out", str(out)]) == 0
    samples = pd.read_csv(out / "samples.csv")
    site = pumak.read_site(twin)
    for _, row in samples.iloc[[0, 5, 11]].iterrows():
        fit = plot.summary(pumak.run(dict(site.parameters, albedo_ice=row["albedo_ice"], ch=row["ch"]), site.met))
        assert row[metric] == pytest.approx(of_fit(fit), rel=1e-5, abs=1e-9)
    summary = json.loads((out / "calibration.json").read_text())
    assert summary["best_metric"] == pytest.approx(samples[metric].min(), rel=1e-5, abs=1e-9)


@pytest.mark.parametrize("rmse, pairs, obs_error, expected", [
    (0.1, 100, None, 0.0),  # -n/2 log(n rmse^2)
    (0.05, 100, None, -50 * math.log(0.25)),
    (0.1, 100, 0.1, -50.0 - 100 * math.log(0.1 * math.sqrt(2 * math.pi))),
    (0.2, 100, 0.1, -200.0 - 100 * math.log(0.1 * math.sqrt(2 * math.pi))),
    (float("nan"), 100, None, -math.inf),  # a member the model breaks down on
    (0.0, 100, None, -math.inf),
])
def test_the_likelihood_of_the_hourly_lowering(rmse, pairs, obs_error, expected):
    assert calibrate.log_likelihood([rmse], [pairs], obs_error)[0] == pytest.approx(expected)


def sensor_with(valid, value=None):
    """A surface series with `valid` finite hours (of DAYS * 24): a constant `value`, or a moving surface."""
    series = np.full(DAYS * 24, np.nan, dtype=np.float32)
    series[:valid] = value if value is not None else np.linspace(0.1, 0.02, valid)
    return series



@pytest.mark.parametrize("sensor, items, argv, message", [
    (sensor_with(DAYS * 24, 0.0), {}, [], "no usable surface observation: sd_obs is constant at 0.1 m"),
    (sensor_with(0), {}, [], f"no usable surface observation: sd_obs holds no value in {DAYS * 24} hour(s)"),
    (sensor_with(20), {}, [], "holds a value in 20 of 96 hours"),
    (sensor_with(DAYS * 24, 0.37), {}, [], "is constant at -0.27 m"),
    ("warm", {"ta_offset": -30.0}, ["--metric", "correlation"],
     "the metric correlation is nan for the site's own parameters"),
    (None, {"met_gap": 20}, [], "the site's own parameters pair 20 hour(s) of modelled and observed lowering"),
    (None, {}, ["--free", "ta_offset=-40:-30", "--metric", "correlation"], "no member of 8 gave a finite correlation"),
    # a cold record: nothing melts whatever the albedo, the metric is that of the site's own parameters
    ("warm", {"ta_offset": -30.0}, [], "the metric rmse is the same for all 8 members (spread 0, tolerance "),
    ("warm", {"ta_offset": -30.0}, ["--method", "mcmc", "--walkers", "4", "--steps", "4"],
     "minus the log-posterior is the same for all 8 members (spread 0, "),
    # the floor's albedo does not act on the lowering of the ice around the hole
    (None, {}, ["--free", "albedo_cryo=0.05:0.4"], "does not decide albedo_cryo (rmse spread 0 over 0.05:0.4)"),
])
def test_a_site_that_cannot_be_fitted_is_refused_and_nothing_written(tmp_path, capsys, sensor, items, argv, message):
    run_dir = twin_site(tmp_path, sensor, **items)
    out = tmp_path / "calibrated"
    out.mkdir()
    (out / "parameter.ini").write_text("earlier\n")
    status = calibrate.main([run_dir, "--free", "albedo_ice=0.3:0.7", "--method", "lhs", "--samples", "8", *argv])
    captured = capsys.readouterr()
    assert (status, captured.out) == (2, "")
    assert len(captured.err.splitlines()) == 1 and message in captured.err, captured.err
    assert contents(out) == {"parameter.ini": b"earlier\n"}


class Surface:
    """An objective over two items a and b in 0:1 whose metric is `shape`(a, b), sampled on a grid."""

    def __init__(self, shape, tmp_path):
        self.names, self.metric, self.shape = ["a", "b"], "rmse", shape
        self.site = type("Site", (), {"run_dir": str(tmp_path)})
        grid = np.stack(np.meshgrid(np.linspace(0, 1, 21), np.linspace(0, 1, 21)), axis=-1).reshape(-1, 2)
        self.samples, self.values = [grid], [self.shape(grid[:, 0], grid[:, 1])]

    def summary(self, x):
        return {"rmse": self.shape(x[:, 0], x[:, 1])}

    def best(self):
        return dict(zip(self.names, self.samples[0][np.argmin(self.values[0])]))


# The members run cover a and b over 0:1; b's range may be wider (the profile then reaches beyond them).
@pytest.mark.parametrize("shape, weak, refused, b_range", [(*case, (0, 1))[:4] for case in [
    (lambda a, b: (a - 0.4) ** 2 + (b - 0.6) ** 2 + 0.01, {}, None),
    (lambda a, b: (a - 1.3) ** 2 + (b - 0.6) ** 2, {"a": "the best lies at the high edge of its range 0:1"}, None),
    (lambda a, b: (a - 0.4) ** 2 + (b + 0.5) ** 2, {"b": "the best lies at the low edge of its range 0:1"}, None),
    (lambda a, b: (a - 0.4) ** 2 + (b - 0.98) ** 2 + 1.0, {"b": "the best lies at the high edge"}, None),
    (lambda a, b: (a - 0.4) ** 2 + 0.01 * (b - 0.3) ** 2 + 0.05, {
        "b": "the members within 5% of the best metric reach the low edge of its range -0.005:1"}, None, (-0.005, 1)),
    # no member beyond 1, but the metric still falls toward the end of the range
    (lambda a, b: (a - 0.4) ** 2 + (b - 1.3) ** 2, {"b": "the best lies at the high edge of its range 0:1.2"}, None,
     (0, 1.2)),
    (lambda a, b: (a + b - 0.8) ** 2 + 0.01, {
        "a": "the members within 5% of the best metric span 80% of its range (a ridge or plateau)",
        "b": "the members within 5% of the best metric span 80% of its range (a ridge or plateau)"}, None),
    (lambda a, b: (a + 0.5 * b - 0.75) ** 2 + 0.1, {
        "a": "the members within 5% of the best metric span 60% of its range (a ridge or plateau)",
        "b": "the members within 5% of the best metric span 100% of its range"}, None),
    (lambda a, b: (a - 0.4) ** 2 + 0 * b + 0.01, {}, "does not decide b (rmse spread 0 over 0:1)"),
    (lambda a, b: 0.02 + 0 * a, {}, "the metric rmse is the same for all 441 members (spread 0, tolerance 2e-08)"),
    (lambda a, b: 0.02 + 1e-9 * a, {}, "the metric rmse is the same for all 441 members (spread 1e-09, "),
    (lambda a, b: 1e-9 * a + (b - 0.5) ** 2 + 0.01, {}, "does not decide a (rmse spread 1e-09 over 0:1) through"),
]])
def test_identifiability_names_the_items_the_metric_does_not_decide(tmp_path, shape, weak, refused, b_range):
    objective = Surface(shape, tmp_path)
    run = lambda: calibrate.identifiability(objective, [(0, 1), b_range], objective.best(), "lhs", {})  # noqa: E731
    if refused:
        with pytest.raises(pumak.InputError, match=re.escape(refused)):
            run()
        return
    found = run()
    assert found["weakly_constrained"] == sorted(weak)
    for name, reason in weak.items():
        assert any(text.startswith(reason) for text in found["items"][name]["weak"]), found["items"][name]


@pytest.mark.parametrize("kind, text, value", [
    (cli.threads, "1", 1), (cli.threads, "1024", 1024), (cli.threads, "1025", None), (cli.threads, "0", None),
    (cli.seed, "0", 0), (cli.seed, "4294967295", 4294967295), (cli.seed, "4294967296", None), (cli.seed, "-1", None),
    (cli.positive_int, "1", 1), (cli.positive_int, "2.5", None), (cli.positive_int, "", None),
    (cli.finite_float, "-0.5", -0.5), (cli.finite_float, "1e308", 1e308), (cli.finite_float, "1e400", None),
    (cli.finite_float, "nan", None), (cli.finite_float, "-inf", None), (cli.finite_float, "0,5", None),
])
def test_the_shared_argument_types_take_their_whole_range_and_nothing_else(kind, text, value):
    if value is None:
        with pytest.raises(argparse.ArgumentTypeError, match=re.escape(repr(text))):
            kind(text)
    else:
        assert kind(text) == value and type(kind(text)) is type(value)


@pytest.mark.parametrize("argv, message", [
    (["--free", "albedo=0.3:0.7"], "--free albedo: not a real item of parameter.ini"),
    (["--free", "diffuse_mode=0:2"], "--free diffuse_mode: not a real item"),
    (["--free", "albedo_ice=0.7:0.3"], "LOW below HIGH"),
    (["--free", "albedo_ice=0.5:0.5"], "LOW below HIGH"),
    (["--free", "albedo_ice=0.3:nan"], "LOW and HIGH must be finite"),
    (["--free", "ch=0.001:0.002", "--free", "ch=0.002:0.003"], "--free: an item is given twice"),
    (["--free", "ch=0.001:0.002", "--walkers", "0"], "argument --walkers: '0': expected a whole number from 1 to "),
    (["--free", "ch=0.001:0.002", "--seed", "-1"], "argument --seed: '-1': expected a seed from 0 to 4294967295"),
    (["--free", "ch=0.001:0.002", "--threads", "99999999999999999999"], "argument --threads: '99999999999999999999': "
     "expected a number of threads from 1 to 1024"),
    (["--free", "ch=0.001:0.002", "--method", "mcmc", "--obs-error", "nan"], "argument --obs-error: 'nan': expected "
     "a finite number"),
    (["--free", "ch=0.001:0.002", "--method", "mcmc", "--metric", "bias"], "--metric: mcmc samples"),
    (["--free", "ch=0.001:0.002", "--method", "mcmc", "--obs-error", "-1"], "--obs-error -1.0"),
    (["--free", "ch=0.001:0.002", "--tol", "inf"], "argument --tol: 'inf': expected a finite number"),
    (["--free", "ch=0.001:0.002", "--tol", "0"], "--tol 0.0: expected a positive number"),
    (["--free", "ch=0.001:0.002"], "cannot write {c}: not a directory"),
    (["--free", "ch=0.001:0.002", "--method", "lhs", "--samples", str(2 * 10**9)],
     f"--samples {2 * 10**9}: the {2 * 10**9} members kept need 59.6 GiB of memory"),
    (["--free", "ch=0.001:0.002", "--method", "mcmc", "--walkers", "100000", "--steps", "100000000"],
     "--walkers 100000, --steps 100000000: the 10000000000000 members kept need 298023.2 GiB"),
])
def test_bad_arguments_are_one_line_and_status_2(twin, tmp_path, capsys, argv, message):
    if "{c}" in message:
        (tmp_path / "c").write_text("a file\n")
    assert status_of(calibrate.main, [twin, *argv, "--out", str(tmp_path / "c")]) == 2
    err = capsys.readouterr().err
    message = message.format(c=tmp_path / "c")
    assert err.startswith("pumak calibrate: ") and len(err.splitlines()) == 1 and message in err, err
    assert not (tmp_path / "c").is_dir()


# The child stops in the middle of writing the figure into the new directory.
CHILD = """
import pathlib, sys, time
from matplotlib.figure import Figure
import pumak.calibrate
save = Figure.savefig
def stalled(self, path, *args, **kwargs):
    save(self, path, *args, **kwargs)
    pathlib.Path(sys.argv[1]).touch()
    time.sleep(120)
Figure.savefig = stalled
sys.exit(pumak.calibrate.main(sys.argv[2:]))
"""


# A failed write (file-size limit, full disk) is the writer's (test_outputs) and the command line's.
@pytest.mark.parametrize("fault", ["SIGTERM", "SIGKILL"])
def test_an_interrupted_write_keeps_the_earlier_calibration(twin, tmp_path, fault):
    out = tmp_path / "calibrated"
    argv = [twin, "--free", "albedo_ice=0.3:0.7", "--method", "lhs", "--samples", "10", "--out", str(out)]
    assert calibrate.main(argv) == 0
    (out / "results.csv").write_text("a run of the program, kept\n")
    before = contents(out)
    ready = tmp_path / "ready"
    changed = [*argv, "--seed", "9"]
    status, err = signal_when_ready([sys.executable, "-c", CHILD, str(ready), *changed], ready, fault,
                                    package_environment(MPLBACKEND="Agg"))
    assert (status, err) == ((143, "pumak calibrate: interrupted; earlier outputs are unchanged\n")
                             if fault == "SIGTERM" else (-signal.SIGKILL, ""))
    assert contents(out) == before
    # the next run completes and leaves nothing of the interrupted one
    assert calibrate.main(changed) == 0
    assert sorted(os.listdir(out)) == sorted([*FILES, "results.csv"])
    assert (out / "results.csv").read_bytes() == before["results.csv"]
    assert [name for name in os.listdir(tmp_path) if "unfinished" in name] == []
