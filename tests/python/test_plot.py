"""`pumak plot` on small results tables written to temporary folders."""
import json
import math
import shutil
import subprocess
import sys

import matplotlib.image
import pytest

import pumak
from conftest import ROOT, package_environment
from pumak import plot
from pumak.results import RESULT_COLUMNS as HEADER


def table_text(rows):
    """A results table; each row is {column: text or number}, other columns are 0."""
    lines = [",".join(HEADER)]
    for i, row in enumerate(rows):
        base = {"days_for_graph": 214 + (i + 1) / 24, "month": 8, "day": 1 + i // 24, "hour": i % 24 + 1, **row}
        lines.append(",".join(str(base.get(name, 0)) for name in HEADER))
    return "\n".join(lines) + "\n"


# Hand-made hours.  Relative to the first hour: obs 0, .1, .3, .6 and calc 0, .2, .4, .8.
#   calc - obs = 0, .1, .1, .2           -> bias = .4 / 4 = +0.1
#   squares    = 0, .01, .01, .04        -> RMSE = sqrt(.06 / 4) = sqrt(.015) = 0.1224745
#   obs deviations from mean .25:  -.25 -.15 .05 .35   Sxx = .21
#   calc deviations from mean .35: -.35 -.15 .05 .45   Syy = .35,  Sxy = .27
#   r = .27 / sqrt(.21 * .35) = .27 / .2711088 = 0.9959100
# The raw columns start at 1.0 and -0 so that a fit of raw values would differ. Six copies of the four
# hours (a day, the fewest hours a surface series needs) keep every mean, variance and covariance.
BLOCK = [
    {"sd_obs": 1.0, "sd_calc": "-0.00000000E+00", "cryoconite_depth": 100},
    {"sd_obs": 1.1, "sd_calc": 0.2, "cryoconite_depth": 90},
    {"sd_obs": 1.3, "sd_calc": 0.4, "cryoconite_depth": 120},
    {"sd_obs": 1.6, "sd_calc": 0.8, "cryoconite_depth": 110},
]
HAND = BLOCK * 6


def tool(*args, fsize=None):
    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.run([sys.executable, "-m", "pumak", "plot", *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=package_environment(),
                          preexec_fn=limit if fsize else None)


def write(path, content):
    (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
    return path


def assert_hand_fit(s):
    fit = [s[k] for k in ("final_obs_lowering_m", "final_calc_lowering_m", "bias_m", "rmse_m", "correlation")]
    assert fit == pytest.approx([0.6, 0.8, 0.1, 0.1224745, 0.9959100], abs=1e-7)
    assert (s["pairs"], s["depth_initial_mm"], s["depth_final_mm"], s["depth_min_mm"], s["depth_max_mm"]) == (
        24, 100, 110, 90, 120)
    assert s["no_fit_reason"] is None


GAPS = (BLOCK[:2] + [
    {"sd_obs": "NaN", "sd_calc": 0.3, "cryoconite_depth": "Inf"},
    {"sd_obs": 1.2, "sd_calc": "-Inf", "melt_ice": "nan", "cryoconite_depth": 95},
    {"sd_obs": 1.25, "sd_calc": "inf", "src_direct": "-inf", "cryoconite_depth": 95},
] + BLOCK[2:]) * 6
LATE = [{"sd_obs": "NaN", "sd_calc": "nan", "cryoconite_depth": 100}] + HAND  # lowering from the first finite hour


@pytest.mark.parametrize("rows, json_to, bad_hours, bad", [
    (HAND, "fit.json", 0, {}),
    (GAPS, "-", 18, {"sd_obs": 6, "sd_calc": 12, "cryoconite_depth": 6, "melt_ice": 6, "src_direct": 6}),
    (LATE, "-", 1, {"sd_obs": 1, "sd_calc": 1}),
], ids=["hand", "gaps", "late"])
def test_fit_summary_skips_and_counts_nonfinite_hours(tmp_path, rows, json_to, bad_hours, bad):
    out = tool(write(tmp_path / "t.csv", table_text(rows)), "--no-plot", "--json",
               "-" if json_to == "-" else tmp_path / json_to)
    assert out.returncode == 0, out.stderr
    # With "-" standard output holds only the JSON, and the summary goes to standard error.
    s = json.loads(out.stdout if json_to == "-" else (tmp_path / json_to).read_text())
    assert "correlation 0.9959" in (out.stderr if json_to == "-" else out.stdout)
    assert (s["hours"], s["hours_with_nonfinite"], s["nonfinite"]) == (len(rows), bad_hours, bad)
    assert_hand_fit(s)


def test_constant_model_series_has_undefined_correlation(tmp_path):
    rows = [dict(r, sd_calc=0.5) for r in HAND]
    s = plot.summary(pumak.read_results(write(tmp_path / "c.csv", table_text(rows))), "c")
    assert s["correlation"] is None and s["bias_m"] == pytest.approx(-0.25, abs=1e-7)  # calc 0, obs mean .25
    assert "correlation undefined" in plot.format_summary(s)


# An observed surface that cannot be trusted: no fit statistic, one line saying why, the figure still drawn.
UNUSABLE = {
    "all zero": ([dict(r, sd_obs=0) for r in HAND], "is constant at 0 m"),
    "absent": ([dict(r, sd_obs="NaN") for r in HAND], "holds no value in 24 hour(s)"),
    "too few hours": ([dict(r, sd_obs="NaN") for r in HAND[:-4]] + HAND[-4:], "holds a value in 4 of 24 hours"),
}


@pytest.mark.parametrize("rows, why", UNUSABLE.values(), ids=UNUSABLE.keys())
def test_an_unusable_surface_gives_no_fit_and_says_why(tmp_path, rows, why):
    out = tool(write(tmp_path / "u.csv", table_text(rows)), "--json", tmp_path / "u.json")
    assert out.returncode == 0, out.stderr
    s = json.loads((tmp_path / "u.json").read_text())
    assert [s[k] for k in ("bias_m", "rmse_m", "correlation", "final_obs_lowering_m", "pairs")] == [
        None, None, None, None, 0]
    assert s["no_fit_reason"].startswith("no usable surface observation: sd_obs ") and why in s["no_fit_reason"]
    fit = [line for line in out.stdout.splitlines() if line.startswith("fit")]
    assert fit == [f"fit              none: {s['no_fit_reason']}"]
    assert "RMSE" not in out.stdout and "bias" not in out.stdout
    assert s["final_calc_lowering_m"] == pytest.approx(0.8) and (tmp_path / "u.png").stat().st_size > 10_000
    lowering = plot.figure(pumak.read_results(tmp_path / "u.csv")).axes[0]
    assert [line.get_label() for line in lowering.lines] == ["modelled (sd_calc)"]  # no observed line drawn


GOOD = table_text(HAND).splitlines()


REFUSALS = [
    ("empty.csv", GOOD[0] + "\n", 0, "no hourly rows"),
    ("nocalc.csv", "\n".join(line.replace("sd_calc", "sd_model") for line in GOOD), 2, ":1: not a results table"),
    ("ragged.csv", "\n".join(GOOD[:2] + [GOOD[2] + ",7"]), 2, ":3: holds 35 values"),
    ("word.csv", "\n".join(GOOD[:2] + [GOOD[2].replace("1.1", "1.1x")]), 2, ':3: sd_obs: expected a real, found "1.1x"'),
    ("picture.csv", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", 2, "not a results table"),
    ("prose.csv", "Melt season notes.\nNo numbers here.\n", 2, "not a results table"),
    ("absent.csv", None, 2, "No such file"),
    ("same.csv", "\n".join(GOOD), 2, "overwrite the table"),  # the figure named as the table itself
]


@pytest.mark.parametrize("name, content, status, what", REFUSALS, ids=[case[0] for case in REFUSALS])
def test_tables_without_a_figure_say_why_in_one_line(tmp_path, name, content, status, what):
    path = tmp_path / name if content is None else write(tmp_path / name, content)
    out = tool(path, *([tmp_path / ".." / tmp_path.name / name] if name == "same.csv" else []))
    said = out.stderr if status else out.stdout
    assert out.returncode == status and len(said.strip().splitlines()) == 1, out.stderr
    assert name in said and what in said
    assert list(tmp_path.glob("*.png")) == []
    if content is not None:
        assert (path.read_bytes() if isinstance(content, bytes) else path.read_text()) == content


def test_multi_day_table_gives_four_panel_png(tmp_path):
    rows = [{"sd_obs": 0.01 * i, "sd_calc": 0.3 + 0.012 * i, "cryoconite_depth": 150 - i / 10, "melt_cryo": 5,
             "melt_ice": 10 * (i // 24), "src_direct": 40, "src_diffuse": 30, "src_diffuse_t": 20} for i in range(72)]
    rows[30]["sd_calc"], rows[31]["melt_ice"] = "Inf", "NaN"
    table = write(tmp_path / "days.csv", table_text(rows))
    out = tool(table)
    assert out.returncode == 0, out.stderr
    assert min(matplotlib.image.imread(tmp_path / "days.png").shape[:2]) > 300

    fig = plot.figure(pumak.read_results(table), "days.csv")
    lowering, depth, melt, light = fig.axes  # four panels
    assert [line.get_label() for line in lowering.lines] == ["observed (sd_obs)", "modelled (sd_calc)"]
    calc = lowering.lines[1].get_ydata()
    assert calc[0] == 0.0 and math.isnan(calc[30])  # relative to the first hour; Inf drawn as a gap
    assert list(melt.lines[0].get_ydata()) == [0, 10, 20]  # one mean per 24 rows
    assert (light.lines[1].get_ydata() == 10).all()  # src_diffuse - src_diffuse_t
    for ax in fig.axes:
        assert ax.get_ylabel().endswith(("(m)", "(mm)", "(W m$^{-2}$)"))
    assert light.get_xlabel() == "day of year"


def test_a_refused_figure_is_status_4_and_leaves_the_earlier_one(tmp_path):
    rows = [{"sd_obs": 0.01 * i, "sd_calc": 0.012 * i, "cryoconite_depth": 150} for i in range(48)]
    table = write(tmp_path / "t.csv", table_text(rows))
    write(tmp_path / "t.png", b"earlier figure")
    out = tool(table, fsize=8192)
    assert out.returncode == 4 and out.stderr == f"pumak plot: cannot write {tmp_path / 't.png'}: File too large\n"
    assert (tmp_path / "t.png").read_bytes() == b"earlier figure"
    assert [p.name for p in tmp_path.iterdir() if "unfinished" in p.name] == []


def test_the_shortcut_ends_quietly_on_a_closed_pipe(tmp_path):
    if not list((ROOT / "python" / "pumak").glob("_core*.so")):
        pytest.skip("tools/plot_results.py runs the tree's package, whose core is not built in place here")
    table = write(tmp_path / "t.csv", table_text(HAND))
    reader = subprocess.Popen([sys.executable, ROOT / "tools" / "plot_results.py", table, "--no-plot"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.close()  # as `| head -0` would: the command writes into a closed pipe
    _, err = reader.communicate(timeout=120)
    assert (reader.returncode, err) == (0, b"")


def test_the_shortcut_without_the_core_built_in_place_says_so_in_one_line(tmp_path):
    (tmp_path / "tools").mkdir()
    shutil.copy(ROOT / "tools" / "plot_results.py", tmp_path / "tools")
    shutil.copytree(ROOT / "python" / "pumak", tmp_path / "python" / "pumak",
                    ignore=shutil.ignore_patterns("_core*.so", "__pycache__"))
    table = write(tmp_path / "t.csv", table_text(HAND))
    done = subprocess.run([sys.executable, tmp_path / "tools" / "plot_results.py", table, "--no-plot"],
                          capture_output=True, text=True, timeout=120, env=package_environment())
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1), done.stderr
    assert done.stderr.startswith("plot_results: ") and "-DPUMAK_BUILD_PYTHON=ON" in done.stderr


@pytest.mark.parametrize("json_to", ["t.csv", "t.png"])
def test_the_summary_never_overwrites_the_table_or_the_figure(tmp_path, json_to):
    table = write(tmp_path / "t.csv", table_text(HAND))
    out = tool(table, "--json", tmp_path / json_to)
    assert out.returncode == 2 and "--json" in out.stderr and len(out.stderr.splitlines()) == 1
    assert table.read_text() == table_text(HAND) and not (tmp_path / "t.png").exists()
