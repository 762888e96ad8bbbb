"""pumak check: the mistakes a run does not reveal, each found at its line."""

import json
import pathlib

import numpy as np
import pytest

from pumak import check, sitefiles
from pumak.prepare import DEFAULT_PARAMETERS

ROOT = pathlib.Path(__file__).resolve().parents[2]
try:
    from pumak._core import solar_angle  # noqa: F401  (the model's own sun)
    HAVE_SUN = True
except ImportError:
    HAVE_SUN = False
DAYS = 4


def write_site(root, shift=0):
    """Four clear April days at 45 N: a bell of shortwave from 06 to 18 local solar time."""
    hour = np.tile(np.arange(1, 25), DAYS)
    day = np.repeat(np.arange(DAYS), 24)
    sr = np.roll(np.clip(800 * np.sin(np.pi * (hour - 6) / 12), 0, None), shift)
    columns = {"column_1": np.full(hour.size, 2021), "month": np.full(hour.size, 4), "day": 10 + day,
               "obs_hour": hour, "doy": 100 + day, "ta_obs": np.full(hour.size, 1.0), "wind": np.full(hour.size, 3.0),
               "rh": np.full(hour.size, 0.7), "sr": sr, "column_10": sr / 2, "lw_down": np.full(hour.size, 280.0),
               "lw_up": np.full(hour.size, 316.0), "sd_sensor": np.full(hour.size, 0.1),
               "pressure": np.full(hour.size, 900.0)}
    (root / "run").mkdir(parents=True)
    (root / "data/met_lv3").mkdir(parents=True)
    sitefiles.write_met_file(root / "data/met_lv3/site.txt", columns)
    parameters = dict(DEFAULT_PARAMETERS, met_file="site.txt", out_file="results.csv", latitude=45.0, n_days=DAYS)
    sitefiles.write_parameter_file(root / "run/parameter.ini", parameters, 16)
    return root / "data/met_lv3/site.txt"


def set_value(line, column, text):
    def edit(lines):
        values = lines[line - 1].split()
        values[column] = text
        lines[line - 1] = " ".join(values)
    return edit


def split_line(lines):
    values = lines[50].split()
    lines[50:51] = [" ".join(values[:13]), values[13]]


def header_line(lines):
    lines.insert(0, "year month day hour doy ta ws rh sr sro lwd lwu sd p")


@pytest.mark.parametrize("edit, line, column, expected", [
    (set_value(30, 7, "70.0"), 30, "rh", "percent"),
    (set_value(41, 13, "NaN"), 41, "pressure", "NaN"),
    (set_value(42, 5, "274.15"), 42, "ta_obs", "kelvin"),
    (set_value(43, 13, "90000"), 43, "pressure", "Pa"),
    (split_line, 51, "pressure", "holds 13 of the 14 values"),
    (header_line, 1, "column_1", "expected an integer, found 'year'"),
    (lambda lines: lines.pop(), DAYS * 24 - 1, "n_days", "ends after 95 records"),
    (lambda lines: lines.pop(60), 61, "obs_hour", "missing or repeated"),
])
def test_a_mistake_is_an_error_at_its_line(tmp_path, edit, line, column, expected):
    met = write_site(tmp_path)
    lines = met.read_text().splitlines()
    edit(lines)
    met.write_text("\n".join(lines) + "\n")
    errors = [f for f in check.check_site(tmp_path / "run") if f.severity == "error"]
    assert errors and errors[0].line == line and errors[0].column == column, errors
    assert expected in errors[0].message
    assert str(errors[0]).startswith(f"{met}:{line}: {column}: error: ")


@pytest.mark.skipif(not HAVE_SUN, reason="needs the compiled module's solar geometry")
@pytest.mark.parametrize("shift", [3, -4])
def test_shortwave_off_the_models_sun_gives_the_shift(tmp_path, shift):
    write_site(tmp_path, shift=shift)
    errors = [f for f in check.check_site(tmp_path / "run") if f.severity == "error"]
    assert [(f.column, f.shift_hours) for f in errors] == [("sr", -shift)]
    # moved 3 h late, the hour ending 20:00 (19:00 is past the model's sunset) carries afternoon light
    assert shift != 3 or errors[0].line == 20


def test_clean_sites_pass(tmp_path, capsys):
    write_site(tmp_path / "synthetic")
    findings = check.check_site(tmp_path / "synthetic" / "run")
    assert not findings if HAVE_SUN else all(f.severity == "warning" for f in findings)
    assert check.main([str(ROOT / "example/run"), "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["errors"] == 0 and report["findings"] == ([] if HAVE_SUN else report["findings"])


def test_fixed_forcing_program_ignores_the_replaced_inputs(tmp_path):
    met = write_site(tmp_path)
    met.write_text(met.read_text().replace(" 0.7 ", " 70.0 "))
    sitefiles.write_parameter_file(tmp_path / "run/parameter.ini", dict(
        DEFAULT_PARAMETERS, met_file="site.txt", out_file="r.csv", latitude=45.0, n_days=DAYS), 13)
    assert not [f for f in check.check_site(tmp_path / "run", "fixed_a") if f.severity == "error"]
    assert [(f.line, f.column) for f in check.check_site(tmp_path / "run", "metrun")] == [(13, "k_ice_diffuse")]
