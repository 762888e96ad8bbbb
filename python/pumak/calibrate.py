"""Calibration: fit parameters of a site to its observed surface lowering.

    python3 -m pumak calibrate RUN_DIR --free albedo_ice=0.3:0.7 --free ch=0.001:0.005
                               [--metric rmse|bias|correlation] [--method de|lhs|mcmc] [--seed S]
                               [--out DIR]

Every candidate is a member of an ensemble, run by the compiled engine a
whole population (or sample, or half of the walkers) per call. The fit is
that of pumak.plot: modelled against observed lowering, both taken from
their first hour.

Methods:
  de    differential evolution (scipy.optimize.differential_evolution), whole
        generations evaluated in one ensemble call
  lhs   a Latin-hypercube sample of the box (scipy.stats.qmc), the best kept
  mcmc  the posterior of the free items (emcee): uniform priors on the box,
        a Gaussian likelihood of the hourly lowering with the observation
        error --obs-error, or with the error unknown and integrated out
        under a 1/sigma prior when it is not given

DIR (default: RUN_DIR/../calibrated, a run directory of the same site)
receives parameter.ini with the best values, calibration.json, samples.csv
(every member run, or the chain) and calibration.png.
"""

import argparse
import json
import math
import os
import sys
import time

import numpy as np
import pandas as pd

from pumak import _core, sitefiles
from pumak.ensembles import OneLineParser, Refusal, ensemble, member_items, reporting_failures
from pumak.errors import InputError
from pumak.model import met_arrays, read_site

# Metric -> (summary variable, what is minimised, long name).
METRICS = {
    "rmse": ("rmse", lambda v: v, "RMSE of the lowering (m)"),
    "bias": ("bias", np.abs, "absolute bias of the lowering (m)"),
    "correlation": ("correlation", lambda v: 1.0 - v, "1 - correlation of the lowering"),
}
METHODS = ("de", "lhs", "mcmc")


def _free(text):
    name, _, box = text.partition("=")
    low, _, high = box.partition(":")
    try:
        low, high = float(low), float(high)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected ITEM=LOW:HIGH, e.g. albedo_ice=0.3:0.7") from None
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise argparse.ArgumentTypeError(f"{text!r}: LOW and HIGH must be finite numbers, LOW below HIGH")
    return name.strip(), low, high


def _progress(total, unit, description):
    """A progress bar on a terminal; None when stderr is not one."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm
    return tqdm(total=total, unit=unit, desc=description, leave=False, dynamic_ncols=True)


class Objective:
    """The metric of candidate parameter vectors, each run as a member; every evaluation kept."""

    def __init__(self, site, names, metric, threads=None):
        self.site, self.names, self.metric, self.threads = site, list(names), metric, threads
        # Checked once here; the many small calls below go straight to the engine.
        self.met = met_arrays(site.met)
        self.base = {name: value for name, value in site.parameters.items() if name not in ("met_file", "out_file")}
        _core.checked_parameters(site.parameters, site.program)
        self.samples, self.values = [], []
        self.evaluations = 0

    def summary(self, x):
        """The engine's summary of the members x (members x free items)."""
        sets = [dict(self.base, **dict(zip(self.names, row))) for row in np.atleast_2d(x).tolist()]
        return _core.ensemble(self.met, sets, self.site.program, [], threads=self.threads, summary_only=True)

    def __call__(self, x):
        """x of shape (free items, members) as differential_evolution hands it; the metric per member."""
        x = np.asarray(x, dtype=np.float64)
        members = x.T if x.ndim == 2 else x[np.newaxis, :]
        out = self.summary(members)
        variable, minimised, _ = METRICS[self.metric]
        values = np.asarray(minimised(np.asarray(out[variable], dtype=np.float64)))
        values = np.where(np.isfinite(values), values, np.inf)  # a member that breaks down loses
        self.samples.append(members.copy())
        self.values.append(values)
        self.evaluations += len(members)
        return values if x.ndim == 2 else float(values[0])

    def table(self):
        samples = np.concatenate(self.samples) if self.samples else np.empty((0, len(self.names)))
        frame = pd.DataFrame(samples, columns=self.names)
        frame[self.metric] = np.concatenate(self.values) if self.values else []
        return frame


def _as_model_holds(values):
    """Free values rounded as the engine rounds them: the parameter.ini written runs the same member."""
    return {name: float(np.float32(value)) for name, value in values.items()}


def differential_evolution(objective, bounds, seed, popsize=15, maxiter=300, tol=0.01):
    from scipy import optimize

    bar = _progress(maxiter, "generation", "differential evolution")

    def generation(xk, convergence):
        if bar is not None:
            bar.update(1)
            bar.set_postfix_str(f"best {min(v.min() for v in objective.values):.5g}")

    try:
        result = optimize.differential_evolution(
            objective, bounds, seed=seed, popsize=popsize, maxiter=maxiter, tol=tol, polish=False,
            vectorized=True, updating="deferred", init="latinhypercube", callback=generation)
    finally:
        if bar is not None:
            bar.close()
    return {"best": dict(zip(objective.names, result.x)), "generations": int(result.nit),
            "converged": bool(result.success), "message": str(result.message)}


def latin_hypercube(objective, bounds, seed, samples=1000, block=256):
    from scipy.stats import qmc

    low, high = np.array(bounds).T
    points = qmc.scale(qmc.LatinHypercube(d=len(bounds), seed=seed).random(samples), low, high)
    bar = _progress(samples, "member", "Latin hypercube")
    try:
        for start in range(0, samples, block):
            objective(points[start:start + block].T)
            if bar is not None:
                bar.update(min(block, samples - start))
    finally:
        if bar is not None:
            bar.close()
    values = np.concatenate(objective.values)
    return {"best": dict(zip(objective.names, points[int(np.argmin(values))]))}


def posterior(objective, bounds, seed, obs_error=None, walkers=32, steps=2000, burn=None):
    import emcee

    low, high = np.array(bounds).T

    def log_probability(x):
        x = np.atleast_2d(x)
        inside = np.all((x > low) & (x < high), axis=1)
        out = np.full(len(x), -np.inf)
        if inside.any():
            out_inside = objective.summary(x[inside])
            objective.evaluations += int(inside.sum())
            rmse = np.asarray(out_inside["rmse"], dtype=np.float64)
            hours = np.asarray(out_inside["pairs"], dtype=np.float64)
            squares = hours * rmse * rmse  # the sum of squared hourly residuals
            if obs_error is None:
                value = -0.5 * hours * np.log(squares)
            else:
                value = -0.5 * squares / obs_error**2 - hours * math.log(obs_error * math.sqrt(2 * math.pi))
            out[inside] = np.where(np.isfinite(value), value, -np.inf)
        return out

    rng = np.random.default_rng(seed)
    start = low + (high - low) * rng.random((walkers, len(bounds)))
    sampler = emcee.EnsembleSampler(walkers, len(bounds), log_probability, vectorize=True)
    sampler.random_state = np.random.RandomState(seed).get_state()
    sampler.run_mcmc(start, steps, progress=sys.stderr.isatty())
    burn = steps // 2 if burn is None else burn
    chain = sampler.get_chain(discard=burn, flat=True)
    probability = sampler.get_log_prob(discard=burn, flat=True)
    objective.samples.append(chain)
    objective.values.append(-probability)
    best = chain[int(np.argmax(probability))]
    quantiles = np.percentile(chain, [2.5, 16, 50, 84, 97.5], axis=0)
    # tol=0: the estimate without emcee's warning; the JSON gives it next to the chain's length.
    tau = [float(t) for t in sampler.get_autocorr_time(discard=burn, tol=0)]
    return {"best": dict(zip(objective.names, best)),
            "posterior": {name: dict(zip(("q02.5", "q16", "median", "q84", "q97.5"),
                                         (float(v) for v in quantiles[:, i])))
                          for i, name in enumerate(objective.names)},
            "walkers": walkers, "steps": steps, "burn": burn,
            "obs_error_m": obs_error,
            "acceptance_fraction": float(np.mean(sampler.acceptance_fraction)),
            "autocorrelation_steps": tau}


def _fit(out, k=0):
    return {"rmse_m": float(out["rmse"][k]), "bias_m": float(out["bias"][k]),
            "correlation": float(out["correlation"][k])}


def figure(best_run, samples, names, metric, method, title):
    """Observed and modelled lowering of the best member, and the samples in pairs of free items."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    n = len(names)
    fig = Figure(figsize=(3.2 * max(n, 2) + 1, 3.2 * max(n, 2) + 3.4), layout="constrained")
    top, bottom = fig.subfigures(2, 1, height_ratios=[1.2, max(n, 2) * 1.0])
    axis = top.subplots()
    day = best_run["days_for_graph"].to_numpy()[0]
    for name, style, label in (("sd_obs", "k-", "observed (sd_obs)"), ("sd_calc", "C3-", "best member (sd_calc)")):
        series = best_run[name].to_numpy()[0].astype(np.float64)
        finite = np.flatnonzero(np.isfinite(series))
        axis.plot(day, series - (series[finite[0]] if finite.size else np.nan), style, lw=1, label=label)
    axis.set_xlabel("day of year")
    axis.set_ylabel("surface lowering since\nfirst hour (m)")
    axis.set_title(title)
    axis.grid(True, alpha=0.3)
    axis.legend(loc="best", fontsize="small")

    grid = bottom.subplots(n, n, squeeze=False)
    values = samples[metric].to_numpy() if method != "mcmc" else None
    order = np.argsort(-values) if values is not None else slice(None)  # the best drawn last, on top
    for i in range(n):
        for j in range(n):
            ax = grid[i, j]
            if j > i:
                ax.set_axis_off()
                continue
            if i == j and values is None:
                ax.hist(samples[names[i]], bins=40, color="C0")
            elif i == j:  # the metric against the item: how sharply it is fixed
                finite = np.isfinite(values)
                ax.plot(samples[names[i]].to_numpy()[finite], values[finite], ".", ms=2, color="0.4")
                ax.set_yscale("log")
                ax.set_ylabel(metric, fontsize="small")
            else:
                x, y = samples[names[j]].to_numpy()[order], samples[names[i]].to_numpy()[order]
                if values is None:
                    ax.plot(x, y, ",", color="C0", alpha=0.3)
                else:
                    shown = values[order]
                    finite = np.isfinite(shown)
                    points = ax.scatter(x[finite], y[finite], c=shown[finite], s=4, cmap="viridis_r")
                ax.plot(best_run[f"parameter_{names[j]}"].item(), best_run[f"parameter_{names[i]}"].item(),
                        "r+", ms=12, mew=2)
            ax.locator_params(axis="x", nbins=4)
            if i != j or values is None:
                ax.locator_params(axis="y", nbins=4)
            ax.tick_params(labelsize="small")
            if i == n - 1:
                ax.set_xlabel(names[j])
            if j == 0 and i > 0:
                ax.set_ylabel(names[i])
    if values is not None and n > 1:
        bottom.colorbar(points, ax=grid[-1, -1], label=METRICS[metric][2], location="right")
    bottom.suptitle("posterior samples" if method == "mcmc"
                    else f"members run ({method}), coloured by {metric}; + the best", fontsize="medium")
    return fig


def calibrate(run_dir, free, metric="rmse", method="de", seed=None, out=None, threads=None, program="pumak_metrun",
              **options):
    """Runs the calibration and writes its files into `out`; returns the summary written to calibration.json."""
    started = time.perf_counter()
    site = read_site(run_dir, program)
    names = [name for name, _, _ in free]
    valid = member_items(site.program)
    for name in names:
        if name not in valid or _item_kind(name) != "real":
            reals = [item for item in valid if _item_kind(item) == "real"]
            raise InputError(f"--free {name}: not a real item of parameter.ini; the items are {', '.join(reals)}",
                             item=name)
    if len(set(names)) != len(names):
        raise InputError("--free: an item is given twice")
    bounds = [(low, high) for _, low, high in free]
    out = os.path.join(os.path.dirname(os.path.abspath(run_dir)), "calibrated") if out is None else out

    objective = Objective(site, names, metric, threads)
    start_fit = _fit(objective.summary(np.array([[site.parameters[n] for n in names]])))
    if method == "de":
        result = differential_evolution(objective, bounds, seed, **options)
    elif method == "lhs":
        result = latin_hypercube(objective, bounds, seed, **options)
    else:
        result = posterior(objective, bounds, seed, **options)

    best = _as_model_holds(result.pop("best"))
    best_run = ensemble(site.met, site.parameters, pd.DataFrame([best]),
                        columns=("days_for_graph", "sd_obs", "sd_calc"), threads=threads, program=site.program)
    fit = _fit(best_run)
    summary = {
        "site": os.path.abspath(run_dir), "program": site.program, "method": method, "metric": metric,
        "seed": seed, "free": {name: [low, high] for name, low, high in free},
        "best": best, "best_metric": float(METRICS[metric][1](best_run[METRICS[metric][0]].values[0])),
        "best_fit": fit, "start": {name: site.parameters[name] for name in names}, "start_fit": start_fit,
        "evaluations": objective.evaluations, **result, "model_version": _core.version,
        "time_s": None,
    }

    os.makedirs(out, exist_ok=True)
    parameters = dict(site.parameters, **best)
    sitefiles.write_parameter_file(os.path.join(out, "parameter.ini"), parameters,
                                   _core.program_layout(site.program)["statements"])
    samples = objective.table()
    if method == "mcmc":
        samples = samples.rename(columns={metric: "minus_log_posterior"})
    sitefiles.write_text_atomically(os.path.join(out, "samples.csv"), samples.to_csv(index=False))
    title = f"{os.path.splitext(site.parameters['met_file'])[0]}: " + (
        "the sample of highest posterior" if method == "mcmc" else f"best member of {method} by {metric}")
    figure(best_run, samples, names, metric, method, title).savefig(os.path.join(out, "calibration.png"), dpi=110)
    summary["time_s"] = round(time.perf_counter() - started, 3)
    sitefiles.write_text_atomically(os.path.join(out, "calibration.json"),
                                    json.dumps(_json_safe(summary), indent=2) + "\n")
    return summary


def _item_kind(name):
    return next(item["kind"] for item in _core.parameter_items() if item["name"] == name)


def _json_safe(value):
    """Standard JSON: NaN and infinities as null."""
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def main(argv=None):
    parser = OneLineParser(prog="python3 -m pumak calibrate", description=__doc__.split("\n\n")[0],
                           epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the site's run directory (holds parameter.ini)")
    parser.add_argument("--free", type=_free, action="append", required=True, metavar="ITEM=LOW:HIGH",
                        help="an item of parameter.ini to fit and its range; repeat for each")
    parser.add_argument("--metric", choices=tuple(METRICS),
                        help="what de and lhs minimise (default rmse; bias: its absolute value; "
                             "correlation: 1 - r); mcmc uses the likelihood")
    parser.add_argument("--method", choices=METHODS, default="de")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1): the same seed, the same result")
    parser.add_argument("--out", metavar="DIR", help="where the results go (default RUN_DIR/../calibrated)")
    parser.add_argument("--threads", type=int, metavar="T", help="engine threads (default: all cores)")
    parser.add_argument("--program", default="pumak_metrun")
    parser.add_argument("--popsize", type=int, default=15, help="de: members per generation per free item (15)")
    parser.add_argument("--maxiter", type=int, default=300, help="de: most generations (300)")
    parser.add_argument("--tol", type=float, default=0.01, help="de: relative spread of the population to stop at")
    parser.add_argument("--samples", type=int, default=1000, help="lhs: members (1000)")
    parser.add_argument("--obs-error", type=float, metavar="M",
                        help="mcmc: standard error of an hourly observed lowering (m); default: unknown, "
                             "integrated out")
    parser.add_argument("--walkers", type=int, default=32, help="mcmc: walkers (32)")
    parser.add_argument("--steps", type=int, default=2000, help="mcmc: steps of each walker (2000)")
    parser.add_argument("--burn", type=int, help="mcmc: first steps left out (default: half)")
    args = parser.parse_args(argv)
    metric = args.metric or "rmse"

    options = {"de": {"popsize": args.popsize, "maxiter": args.maxiter, "tol": args.tol},
               "lhs": {"samples": args.samples},
               "mcmc": {"obs_error": args.obs_error, "walkers": args.walkers, "steps": args.steps,
                        "burn": args.burn}}[args.method]

    def work():
        _check_options(args)
        summary = calibrate(args.run_dir, args.free, metric, args.method, args.seed, args.out,
                            args.threads, args.program, **options)
        best = ", ".join(f"{name} {value:.6g}" for name, value in summary["best"].items())
        fit, before = summary["best_fit"], summary["start_fit"]
        how = "highest posterior" if args.method == "mcmc" else f"{args.method}, {metric}"
        print(f"best of {summary['evaluations']} members ({how}): {best}")
        print(f"fit: RMSE {fit['rmse_m']:.4f} m, bias {fit['bias_m']:+.4f} m, correlation {fit['correlation']:.4f} "
              f"(the site's parameters: RMSE {before['rmse_m']:.4f} m, bias {before['bias_m']:+.4f} m, "
              f"correlation {before['correlation']:.4f})")
        return 0

    return reporting_failures("calibrate", work)


def _check_options(args):
    positive = {"--threads": args.threads, "--popsize": args.popsize, "--maxiter": args.maxiter,
                "--samples": args.samples, "--walkers": args.walkers, "--steps": args.steps}
    for option, value in positive.items():
        if value is not None and value < 1:
            raise Refusal(f"{option} {value}: expected a positive number")
    if args.method == "mcmc":
        if args.metric is not None:
            raise Refusal("--metric: mcmc samples the likelihood of the hourly lowering; --metric is for de and lhs")
        if args.walkers < 2 * len(args.free):
            raise Refusal(f"--walkers {args.walkers}: emcee needs at least twice the free items "
                           f"({2 * len(args.free)})")
        if args.obs_error is not None and not (math.isfinite(args.obs_error) and args.obs_error > 0):
            raise Refusal(f"--obs-error {args.obs_error}: expected a positive number of metres")
        if args.burn is not None and not 0 <= args.burn < args.steps:
            raise Refusal(f"--burn {args.burn}: expected 0 to --steps - 1")
    if not (math.isfinite(args.tol) and args.tol > 0):
        raise Refusal(f"--tol {args.tol}: expected a positive number")


if __name__ == "__main__":
    sys.exit(main())
