"""Calibration: fit parameters of a site to its observed surface lowering.

    pumak calibrate RUN_DIR --free albedo_ice=0.3:0.7 --free ch=0.001:0.005
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
(every member run, or the chain) and calibration.png: the four as a whole,
or none of them. A site whose observed lowering cannot be fitted (no usable
surface observation, too few hours paired with the model, a metric that is
not finite for the site's own parameters) is refused before any member runs.
So is, once the members have run, a record that cannot decide the free
items: a metric that varies by no more than FLAT_SHARE of its largest
value over all members, or along any free item's range through the best
member. An item whose best value lies at the edge of its range, or whose
near-best members reach a bound or spread over more than half of it, is
named "weakly constrained" on a line of its own and in calibration.json.
"""

import argparse
import json
import math
import os
import sys
import time

import numpy as np
import pandas as pd

from pumak import _core, cli, memory, outputs, sitefiles, surface
from pumak.ensembles import ensemble, member_items
from pumak.errors import InputError
from pumak.model import met_arrays, read_site

# Metric -> (summary variable, what is minimised, long name).
METRICS = {
    "rmse": ("rmse", lambda v: v, "RMSE of the lowering (m)"),
    "bias": ("bias", np.abs, "absolute bias of the lowering (m)"),
    "correlation": ("correlation", lambda v: 1.0 - v, "1 - correlation of the lowering"),
}
METHODS = ("de", "lhs", "mcmc")

#: The files of a calibration, written as a whole.
FILES = ("parameter.ini", "calibration.json", "samples.csv", "calibration.png")


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


class Objective:
    """The metric of candidate parameter vectors, each run as a member; every evaluation kept.

    Parameters
    ----------
    site : pumak.model.Site
        The site whose observed lowering is fitted.
    names : sequence of str
        The free items, in the order of a parameter vector.
    metric : str
        One of `METRICS`: ``rmse`` (m), ``bias`` (its absolute value, m) or
        ``correlation`` (1 - r, dimensionless); what is minimised.
    threads : int, optional
        The engine's threads.

    Attributes
    ----------
    samples, values : list of numpy.ndarray
        Every parameter vector run, shape (members, free items) per call,
        and its metric, shape (members,); a member the model breaks down on
        has +inf.
    evaluations : int
        Members run.
    """

    def __init__(self, site, names, metric, threads=None):
        if metric not in METRICS:
            raise InputError(f"metric: {metric!r}: expected one of {', '.join(METRICS)}", item="metric")
        self.site, self.names, self.metric, self.threads = site, list(names), metric, threads
        # Checked once here; the many small calls below go straight to the engine.
        self.met = met_arrays(site.met)
        self.base = {name: value for name, value in site.parameters.items() if name not in ("met_file", "out_file")}
        _core.checked_parameters(site.parameters, site.program)
        self.samples, self.values = [], []
        self.evaluations = 0

    def summary(self, x):
        """The engine's summary of members.

        Parameters
        ----------
        x : array_like, shape (members, free items)
            The free items' values, in their units.

        Returns
        -------
        dict of numpy.ndarray
            Each summary of `pumak.ensemble` (``rmse``, ``bias``,
            ``correlation``, ``pairs``, ...), shape (members,).
        """
        sets = [dict(self.base, **dict(zip(self.names, row))) for row in np.atleast_2d(x).tolist()]
        return _core.ensemble(self.met, sets, self.site.program, [], threads=self.threads, summary_only=True)

    def __call__(self, x):
        """The metric of members, as `scipy.optimize.differential_evolution` asks for it.

        Parameters
        ----------
        x : array_like, shape (free items, members) or (free items,)
            Parameter vectors as columns, or one vector.

        Returns
        -------
        numpy.ndarray of shape (members,), or float
            The minimised metric; +inf where it is not finite.
        """
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
        """Every member run: one column per free item and one of the metric (pandas.DataFrame)."""
        samples = np.concatenate(self.samples) if self.samples else np.empty((0, len(self.names)))
        frame = pd.DataFrame(samples, columns=self.names)
        frame[self.metric] = np.concatenate(self.values) if self.values else []
        return frame


def _as_model_holds(values):
    """Free values rounded as the engine rounds them: the parameter.ini written runs the same member."""
    return {name: float(np.float32(value)) for name, value in values.items()}


def differential_evolution(objective, bounds, seed, popsize=15, maxiter=300, tol=0.01):
    """Minimises the objective by differential evolution, a generation per engine call.

    Parameters
    ----------
    objective : Objective
        The metric; every member run is kept in it.
    bounds : sequence of (float, float)
        Lowest and highest value of each free item, in its unit.
    seed : int or None
        Random seed: the same seed, the same result.
    popsize : int
        Members per generation per free item.
    maxiter : int
        Most generations.
    tol : float
        Relative spread of the population's metric at which it stops.

    Returns
    -------
    dict
        ``best`` (free item -> value), ``generations``, ``converged``, ``message``.
    """
    from scipy import optimize

    bar = cli.progress(maxiter, "generation", "differential evolution")

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
    """Runs a Latin-hypercube sample of the box and keeps the member of lowest metric.

    Parameters
    ----------
    objective : Objective
        The metric; every member run is kept in it.
    bounds : sequence of (float, float)
        Lowest and highest value of each free item, in its unit.
    seed : int or None
        Random seed.
    samples : int
        Members in the sample.
    block : int
        Members per engine call.

    Returns
    -------
    dict
        ``best``: free item -> value of the member of lowest metric.
    """
    from scipy.stats import qmc

    low, high = np.array(bounds).T
    points = qmc.scale(qmc.LatinHypercube(d=len(bounds), seed=seed).random(samples), low, high)
    bar = cli.progress(samples, "member", "Latin hypercube")
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


def log_likelihood(rmse, pairs, obs_error=None):
    """The Gaussian log-likelihood of the hourly observed lowering, from a member's fit.

    Parameters
    ----------
    rmse : array_like of float, shape (members,)
        RMSE of the modelled against the observed lowering (m).
    pairs : array_like of float, shape (members,)
        Hours paired in the fit.
    obs_error : float, optional
        Standard error of an hourly observation (m). Without it the error is
        unknown and integrated out under a 1/sigma prior.

    Returns
    -------
    numpy.ndarray of float, shape (members,)
        The log-likelihood up to a constant shared by all members; -inf
        where it is not finite.
    """
    rmse = np.asarray(rmse, dtype=np.float64)
    hours = np.asarray(pairs, dtype=np.float64)
    squares = hours * rmse * rmse  # the sum of squared hourly residuals
    with np.errstate(divide="ignore", invalid="ignore"):
        if obs_error is None:
            value = -0.5 * hours * np.log(squares)
        else:
            value = -0.5 * squares / obs_error**2 - hours * math.log(obs_error * math.sqrt(2 * math.pi))
    return np.where(np.isfinite(value), value, -np.inf)


def posterior(objective, bounds, seed, obs_error=None, walkers=32, steps=2000, burn=None):
    """Samples the posterior of the free items with emcee: uniform priors on the box.

    Parameters
    ----------
    objective : Objective
        Runs the walkers' members; the chain after burn-in is kept in it,
        with minus the log-posterior as its metric.
    bounds : sequence of (float, float)
        The prior box: lowest and highest value of each free item, in its
        unit; no sample lies outside it.
    seed : int or None
        Random seed.
    obs_error : float, optional
        Standard error of an hourly observed lowering (m); see
        `log_likelihood`.
    walkers, steps : int
        Walkers, and steps of each.
    burn : int, optional
        First steps of each walker left out (default: half).

    Returns
    -------
    dict
        ``best`` (the sample of highest posterior), ``posterior`` (per item
        the 2.5, 16, 50, 84 and 97.5 % quantiles), ``walkers``, ``steps``,
        ``burn``, ``obs_error_m``, ``acceptance_fraction`` and
        ``autocorrelation_steps`` (per item).
    """
    import emcee

    low, high = np.array(bounds).T

    def log_probability(x):
        x = np.atleast_2d(x)
        inside = np.all((x > low) & (x < high), axis=1)
        out = np.full(len(x), -np.inf)
        if inside.any():
            out_inside = objective.summary(x[inside])
            objective.evaluations += int(inside.sum())
            out[inside] = log_likelihood(out_inside["rmse"], out_inside["pairs"], obs_error)
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
            "correlation": float(out["correlation"][k]), "pairs": int(out["pairs"][k])}


def figure(best_run, samples, names, metric, method, title):
    """Observed and modelled lowering of the best member, and the samples in pairs of free items.

    Parameters
    ----------
    best_run : xarray.Dataset
        `pumak.ensemble` of the best member (one member) with the columns
        ``days_for_graph``, ``sd_obs`` and ``sd_calc`` (m).
    samples : pandas.DataFrame
        Every member run (one column per free item and one of the metric),
        or the posterior chain.
    names : sequence of str
        The free items.
    metric : str
        The metric's column of `samples`.
    method : str
        ``de``, ``lhs`` or ``mcmc`` (a chain is drawn as histograms and pairs).
    title : str
        The title of the lowering's panel.

    Returns
    -------
    matplotlib.figure.Figure
        Not attached to a display (the Agg back end).
    """
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


def _refuse_unfittable(site, objective, names, metric):
    """Refuses a site whose observed lowering cannot be fitted; the fit of the site's own parameters.

    The observed series must be usable (`pumak.surface.fit_refusal`), at least
    `pumak.surface.MIN_VALID_HOURS` hours must pair the model with it, and
    the metric must be finite for the site's own parameters: otherwise every
    member's metric is meaningless and a "best" one would be chosen by NaN.
    """
    where = os.path.join(site.run_dir, "parameter.ini")
    hours = int(site.parameters["n_days"]) * 24
    reason = surface.fit_refusal(surface.observed_lowering(site.met, hours))
    if reason:
        raise InputError(f"{where}: {reason}; nothing to calibrate against", file=where, item="sd_sensor")
    start = objective.summary(np.array([[site.parameters[n] for n in names]], dtype=np.float64))
    fit = _fit(start)
    if fit["pairs"] < surface.MIN_VALID_HOURS:
        raise InputError(f"{where}: the site's own parameters pair {fit['pairs']} hour(s) of modelled and observed "
                         f"lowering; at least {surface.MIN_VALID_HOURS} are needed to calibrate", file=where)
    value = float(METRICS[metric][1](np.float64(start[METRICS[metric][0]][0])))
    if not math.isfinite(value):
        raise InputError(f"{where}: the metric {metric} is {value} for the site's own parameters (a constant "
                         f"modelled or observed lowering?); it cannot rank members", file=where, item=metric)
    return fit


#: The metric is flat when its spread is at most this share of its largest value: rounding in
#: single precision moves it far less, any parameter that acts on the lowering far more.
FLAT_SHARE = 1e-6
#: Members of the profile through the best member along each free item (evenly over its range).
PROFILE_POINTS = 11
#: Members whose metric lies at most this share above the best one are near the best.
NEAR_BEST_SHARE = 0.05
#: An item whose near-best members (or 95 % posterior interval) span more than this share of its
#: range is weakly constrained: a ridge or a plateau of the metric.
WEAK_SPAN = 0.5
#: A best value at most this share of its range from a bound lies at the edge of the range.
EDGE_SHARE = 0.01


def _spread(values):
    """Spread (max - min) of a metric's values and the tolerance below which it is flat.

    A non-finite value among finite ones (a member the model breaks down on)
    is a change: the spread is then infinite.
    """
    values = np.asarray(values, dtype=np.float64)
    finite = values[np.isfinite(values)]
    if finite.size < values.size and finite.size:
        return math.inf, FLAT_SHARE * float(np.abs(finite).max())
    if finite.size == 0:
        return 0.0, 0.0
    return float(finite.max() - finite.min()), FLAT_SHARE * float(np.abs(finite).max())


def identifiability(objective, bounds, best, method, result):
    """How far the observed lowering decides each free item, measured on the members run.

    Parameters
    ----------
    objective : Objective
        After the method: every member run and its metric.
    bounds : sequence of (float, float)
        The range of each free item, in its unit.
    best : dict
        The best value of each free item, in its unit.
    method : str
        ``de``, ``lhs`` or ``mcmc``.
    result : dict
        What the method returned (``posterior`` for mcmc).

    Returns
    -------
    dict
        ``metric_spread`` and ``flat_tolerance`` (the metric's unit) over
        every member run; per item (``items``) the ``profile_spread`` of the
        metric over `PROFILE_POINTS` members through the best one along the
        item's range, the ``span`` (share of the range) of its members
        within `NEAR_BEST_SHARE` of the best metric (for mcmc: of its 95 %
        posterior interval) and the ``weak`` reasons (the best at a bound or
        the profile lowest there; a span beyond `WEAK_SPAN`);
        ``weakly_constrained``, the items with a reason.

    Raises
    ------
    InputError
        The metric is flat over all members, or along a free item's
        profile: the record cannot decide that item. Names the item(s) and
        the spread.
    """
    values = np.concatenate(objective.values)
    samples = np.concatenate(objective.samples)
    spread, tolerance = _spread(values)
    where = os.path.join(objective.site.run_dir, "parameter.ini")
    label = "minus the log-posterior" if method == "mcmc" else f"the metric {objective.metric}"
    if spread <= tolerance:
        raise InputError(f"{where}: {label} is the same for all {len(values)} members (spread {spread:.3g}, "
                         f"tolerance {tolerance:.3g}): the observed lowering does not decide "
                         f"{', '.join(objective.names)}; nothing written", file=where, item=objective.names[0])
    variable, minimised, _ = METRICS[objective.metric]
    report, flat = {}, []
    for i, (name, (low, high)) in enumerate(zip(objective.names, bounds)):
        line = np.tile([best[n] for n in objective.names], (PROFILE_POINTS, 1))
        line[:, i] = np.linspace(low, high, PROFILE_POINTS)
        profile = np.asarray(minimised(np.asarray(objective.summary(line)[variable], dtype=np.float64)))
        profile_spread, profile_tolerance = _spread(profile)
        if profile_spread <= profile_tolerance:
            flat.append(f"{name} ({objective.metric} spread {profile_spread:.3g} over {low:g}:{high:g})")
        width = high - low
        if method == "mcmc":
            q = result["posterior"][name]
            reach = (q["q02.5"], q["q97.5"])
            what, spans = "its 95 % posterior interval", "spans"
        else:
            finite = np.isfinite(values)
            near = finite & (values <= values[finite].min() + NEAR_BEST_SHARE * abs(values[finite].min()))
            reach = (float(samples[near, i].min()), float(samples[near, i].max()))
            what, spans = f"the members within {NEAR_BEST_SHARE:.0%} of the best metric", "span"
        span = (reach[1] - reach[0]) / width
        weak = []
        # at a bound, or the profile still falling toward it: the range may cut the best value off
        lowest = int(np.argmin(np.where(np.isfinite(profile), profile, np.inf)))
        side = ("low" if best[name] - low <= EDGE_SHARE * width or lowest == 0 else
                "high" if high - best[name] <= EDGE_SHARE * width or lowest == PROFILE_POINTS - 1 else None)
        if side:
            weak.append(f"the best lies at the {side} edge of its range {low:g}:{high:g} (it may lie beyond)")
        else:  # near-best members at a bound: a best value beyond it is as likely
            sides = [side for side, gap in (("low", reach[0] - low), ("high", high - reach[1]))
                     if gap <= EDGE_SHARE * width]
            if sides:
                weak.append(f"{what} {'reaches' if method == 'mcmc' else 'reach'} the {' and '.join(sides)} edge "
                            f"of its range {low:g}:{high:g} (the best may lie beyond)")
        if span > WEAK_SPAN:
            weak.append(f"{what} {spans} {span:.0%} of its range (a ridge or plateau)")
        report[name] = {"profile_spread": profile_spread, "span": span, "weak": weak}
    if flat:
        raise InputError(f"{where}: the observed lowering does not decide {'; '.join(flat)} through the best "
                         f"member (tolerance {FLAT_SHARE:g} of the metric); fix it or leave it out; nothing written",
                         file=where, item=flat[0].split()[0])
    return {"metric_spread": spread, "flat_tolerance": tolerance, "items": report,
            "weakly_constrained": [name for name, item in report.items() if item["weak"]]}


def _refuse_beyond_memory(method, free, options):
    """Refuses a method's options whose samples would not fit in memory, before any member runs."""
    defaults = {"de": {"popsize": 15, "maxiter": 300}, "lhs": {"samples": 1000},
                "mcmc": {"walkers": 32, "steps": 2000}}[method]
    sizes = {**defaults, **{k: v for k, v in options.items() if k in defaults and v is not None}}
    for name, value in sizes.items():
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
            raise InputError(f"--{name} {value!r}: expected a positive integer", item=f"--{name}")
    # every member kept (its free items and metric, float64), and as much again while it is made
    if method == "de":
        members = sizes["popsize"] * free * (sizes["maxiter"] + 1)
    elif method == "lhs":
        members = sizes["samples"]
    else:
        members = sizes["walkers"] * sizes["steps"]
    need = members * (free + 1) * 8 * 2
    shown = ", ".join(f"--{name} {value}" for name, value in sizes.items())
    memory.refuse_beyond(need, f"{shown}: the {members} members kept need", f"--{next(iter(sizes))}")


def _checked_free(free, program):
    names = []
    valid = member_items(program)
    reals = [item for item in valid if _item_kind(item) == "real"]
    try:
        free = [(str(name), float(low), float(high)) for name, low, high in free]
    except (TypeError, ValueError):
        raise InputError("free: expected (item, low, high) for each free item", item="free") from None
    if not free:
        raise InputError("free: no item to calibrate", item="free")
    for name, low, high in free:
        if name not in reals:
            raise InputError(f"--free {name}: not a real item of parameter.ini; the items are {', '.join(reals)}",
                             item=name)
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise InputError(f"--free {name}={low}:{high}: LOW and HIGH must be finite, LOW below HIGH", item=name)
        names.append(name)
    if len(set(names)) != len(names):
        raise InputError("--free: an item is given twice", item="free")
    return free


def calibrate(run_dir, free, metric="rmse", method="de", seed=None, out=None, threads=None, program="pumak_metrun",
              **options):
    """Fits free items of a site to its observed lowering and writes the calibration.

    Parameters
    ----------
    run_dir : str or os.PathLike
        The site's run directory (holds parameter.ini).
    free : sequence of (str, float, float)
        Each free item (a real item of parameter.ini) with the lowest and
        highest value it may take, in its unit (albedos dimensionless, ``ch``
        dimensionless, depths in mm, ...).
    metric : str
        What ``de`` and ``lhs`` minimise: ``rmse`` (m), ``bias`` (its
        absolute value, m) or ``correlation`` (1 - r).
    method : str
        ``de``, ``lhs`` or ``mcmc`` (see the module).
    seed : int, optional
        Random seed: the same seed, the same result.
    out : str or os.PathLike, optional
        The directory written (default: RUN_DIR/../calibrated). Its
        parameter.ini, calibration.json, samples.csv and calibration.png
        are replaced as a whole; its other files are kept.
    threads : int, optional
        The engine's threads.
    program : str
        The program whose layout and model apply.
    **options
        Passed to the method: `differential_evolution`, `latin_hypercube`
        or `posterior`.

    Returns
    -------
    dict
        What calibration.json holds: the best values, their fit (``rmse_m``,
        ``bias_m`` in m, ``correlation``, ``pairs`` in hours), the fit of
        the site's own parameters, members run, time in s and what the
        method adds.

    Raises
    ------
    InputError
        Bad arguments; a site without a usable observed lowering, with too
        few hours paired, or whose metric is not finite for its own
        parameters; no member with a finite metric. Nothing is written.
    OutputError
        The system refused the output; the earlier directory is unchanged.
    """
    started = time.perf_counter()
    if method not in METHODS:
        raise InputError(f"method: {method!r}: expected one of {', '.join(METHODS)}", item="method")
    for name, value, low, high in (("seed", seed, 0, cli.MAX_SEED), ("threads", threads, 1, cli.MAX_THREADS)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, np.integer))
                                  or not low <= value <= high):
            raise InputError(f"{name}: expected a whole number from {low} to {high}, found {value!r}", item=name)
    site = read_site(run_dir, program)
    free = _checked_free(free, site.program)
    names = [name for name, _, _ in free]
    bounds = [(low, high) for _, low, high in free]
    out = os.path.join(os.path.dirname(os.path.abspath(run_dir)), "calibrated") if out is None else out
    if os.path.exists(out) and not os.path.isdir(out):  # refused before the work, not after it
        raise InputError(f"cannot write {out}: not a directory", file=os.fspath(out), item="--out")
    outputs.refuse_input(out, sitefiles.site_inputs(run_dir, site.parameters), replaces=FILES)

    _refuse_beyond_memory(method, len(names), options)
    objective = Objective(site, names, metric, threads)
    start_fit = _refuse_unfittable(site, objective, names, metric)
    if method == "de":
        result = differential_evolution(objective, bounds, seed, **options)
    elif method == "lhs":
        result = latin_hypercube(objective, bounds, seed, **options)
    else:
        result = posterior(objective, bounds, seed, **options)

    best = _as_model_holds(result.pop("best"))
    best_run = ensemble(site.met, site.parameters, pd.DataFrame([best]),
                        columns=("days_for_graph", "sd_obs", "sd_calc"), threads=threads, program=site.program,
                        provenance=site.provenance, run_dir=site.run_dir)
    fit = _fit(best_run)
    best_metric = float(METRICS[metric][1](np.float64(best_run[METRICS[metric][0]].values[0])))
    if not math.isfinite(best_metric) or (method == "mcmc" and not math.isfinite(fit["rmse_m"])):
        raise InputError(f"{run_dir}: no member of {objective.evaluations} gave a finite {metric}; nothing written",
                         item=metric)
    decided = identifiability(objective, bounds, best, method, result)
    summary = {
        "site": os.path.abspath(run_dir), "program": site.program, "method": method, "metric": metric,
        "seed": seed, "free": {name: [low, high] for name, low, high in free},
        "best": best, "best_metric": best_metric,
        "best_fit": fit, "start": {name: site.parameters[name] for name in names}, "start_fit": start_fit,
        "evaluations": objective.evaluations, **result, "identifiability": decided,
        "weakly_constrained": decided["weakly_constrained"], "model_version": _core.version,
        "time_s": None,
        # the best run's provenance, time axis and inputs, as its NetCDF file would carry them
        "attributes": {name: value.item() if isinstance(value, np.generic) else value
                       for name, value in best_run.attrs.items()},
    }

    parameters = dict(site.parameters, **best)
    parameter_text = sitefiles.parameter_file_text(parameters, _core.program_layout(site.program)["statements"])
    samples = objective.table()
    if method == "mcmc":
        samples = samples.rename(columns={metric: "minus_log_posterior"})
    title = f"{os.path.splitext(site.parameters['met_file'])[0]}: " + (
        "the sample of highest posterior" if method == "mcmc" else f"best member of {method} by {metric}")
    drawing = figure(best_run, samples, names, metric, method, title)

    def fill(directory):
        _write_text(os.path.join(directory, "parameter.ini"), parameter_text)
        _write_text(os.path.join(directory, "samples.csv"), samples.to_csv(index=False))
        drawing.savefig(os.path.join(directory, "calibration.png"), dpi=110)
        summary["time_s"] = round(time.perf_counter() - started, 3)
        _write_text(os.path.join(directory, "calibration.json"), json.dumps(_json_safe(summary), indent=2) + "\n")

    outputs.write_directory(out, fill, replaces=FILES)
    return summary


def _write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as stream:
        stream.write(text)


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
    """``pumak calibrate``: the command line of `calibrate`.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after ``calibrate`` (default: the process's).

    Returns
    -------
    int
        The exit status: 0 done (two lines: the best values and their fit),
        2 bad input or a site that cannot be calibrated, 4 an output the
        system refused, 128 + N stopped by signal N.
    """
    parser = cli.parser("calibrate", __doc__.split("\n\n")[0], epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the site's run directory (holds parameter.ini)")
    parser.add_argument("--free", type=_free, action="append", required=True, metavar="ITEM=LOW:HIGH",
                        help="an item of parameter.ini to fit and its range; repeat for each")
    parser.add_argument("--metric", choices=tuple(METRICS),
                        help="what de and lhs minimise (default rmse; bias: its absolute value; "
                             "correlation: 1 - r); mcmc uses the likelihood")
    parser.add_argument("--method", choices=METHODS, default="de")
    parser.add_argument("--seed", type=cli.seed, default=1,
                        help="random seed (default 1): the same seed, the same result")
    parser.add_argument("--out", metavar="DIR", help="where the results go (default RUN_DIR/../calibrated)")
    parser.add_argument("--threads", type=cli.threads, metavar="T", help="engine threads (default: all cores)")
    parser.add_argument("--program", default="pumak_metrun")
    parser.add_argument("--popsize", type=cli.positive_int, default=15,
                        help="de: members per generation per free item (15)")
    parser.add_argument("--maxiter", type=cli.positive_int, default=300, help="de: most generations (300)")
    parser.add_argument("--tol", type=cli.finite_float, default=0.01,
                        help="de: relative spread of the population to stop at")
    parser.add_argument("--samples", type=cli.positive_int, default=1000, help="lhs: members (1000)")
    parser.add_argument("--obs-error", type=cli.finite_float, metavar="M",
                        help="mcmc: standard error of an hourly observed lowering (m); default: unknown, "
                             "integrated out")
    parser.add_argument("--walkers", type=cli.positive_int, default=32, help="mcmc: walkers (32)")
    parser.add_argument("--steps", type=cli.positive_int, default=2000, help="mcmc: steps of each walker (2000)")
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
        for name in summary["weakly_constrained"]:
            print(f"weakly constrained: {name}: {'; '.join(summary['identifiability']['items'][name]['weak'])}")
        return 0

    return cli.run("calibrate", work)


def _check_options(args):
    if args.method == "mcmc":
        if args.metric is not None:
            raise InputError("--metric: mcmc samples the likelihood of the hourly lowering; --metric is for de and lhs",
                             item="--metric")
        if args.walkers < 2 * len(args.free):
            raise InputError(f"--walkers {args.walkers}: emcee needs at least twice the free items "
                             f"({2 * len(args.free)})", item="--walkers")
        if args.obs_error is not None and not args.obs_error > 0:
            raise InputError(f"--obs-error {args.obs_error}: expected a positive number of metres", item="--obs-error")
        if args.burn is not None and not 0 <= args.burn < args.steps:
            raise InputError(f"--burn {args.burn}: expected 0 to --steps - 1", item="--burn")
    if not args.tol > 0:
        raise InputError(f"--tol {args.tol}: expected a positive number", item="--tol")


if __name__ == "__main__":
    sys.exit(main())
