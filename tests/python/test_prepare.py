"""pumak prepare: from a station's own file to a site the program runs."""

import hashlib
import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

from pumak import prepare

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "example/promice_l3/l3_hourly_2023_12.csv"
OLDER_HEADER = ("Year MonthOfYear DayOfMonth HourOfDayUTC DayOfYear AirPressure(hPa) AirTemperature(C) "
                "RelativeHumidity_wrtWater(%) WindSpeed(m/s) ShortwaveRadiationDown(W/m2) "
                "ShortwaveRadiationDown_Cor(W/m2) ShortwaveRadiationUp(W/m2) LongwaveRadiationDown(W/m2) "
                "LongwaveRadiationUp(W/m2) HeightSensorBoom(m) LatitudeGPS(degN) LongitudeGPS(degW)")


def test_promice_sample_becomes_a_site_that_runs(tmp_path, capsys):
    site = tmp_path / "site"
    assert prepare.main([str(SAMPLE), "--out", str(site)]) == 0
    # Hours of 00:00-01:00 UTC onwards at 46.3 W: local solar time is UTC - 3 h, so the first
    # whole local day starts with 03:00-04:00 UTC (t_u -15.55, rh_u 76.22) and 1 to 6 December remain.
    met = np.loadtxt(site / "data/met_lv3/l3_hourly_2023_12.txt")
    assert met.shape == (6 * 24, 14)
    assert met[0].tolist()[:8] == [2023, 12, 1, 1, 335, -15.55, 15.89, 0.7622]
    assert met[-1].tolist()[:5] == [2023, 12, 6, 24, 340]
    assert np.isfinite(met).all() and (met[:, 8] >= 0).all()
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["source"]["sha256"] == hashlib.sha256(SAMPLE.read_bytes()).hexdigest()
    assert [(gap["variable"], gap["first"], gap["hours"]) for gap in provenance["filled"]] == [
        ("p_u", "2023-12-01 hour 10", 1), ("p_u", "2023-12-04 hour 10", 2), ("p_u", "2023-12-05 hour 20", 1)]
    assert "n_days 6\n" in (site / "run/parameter.ini").read_text()
    # check ran at the end: a polar night that melts nothing is no mistake
    findings = [line for line in capsys.readouterr().out.splitlines() if ": warning: " in line or ": error: " in line]
    assert findings == []
    program = pathlib.Path(os.environ.get("PUMAK_BUILD_DIR", ROOT / "build"), "pumak_metrun")
    if not program.is_absolute():
        program = ROOT / program
    if not program.exists():
        pytest.skip(f"{program} is not built")
    run = subprocess.run([program], cwd=site / "run", capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert len((site / "run/results_l3_hourly_2023_12.csv").read_text().splitlines()) == 1 + 6 * 24


def write_older_layout(path):
    """Four UTC days in the older text layout, with -999 for two gaps and trailing blank lines."""
    rows = []
    for k in range(96):
        day, hour = divmod(k, 24)
        sun = max(0.0, 600 * np.cos((hour + 0.5 - 15) * np.pi / 12))     # 45 W: solar noon at 15 UTC
        rows.append([2016, 7, 1 + day, hour, 183 + day, 850.0, 1.5 + 0.1 * k, 80.0, 4.0, sun, sun, sun / 2,
                     280.0, 316.0, 2.0 + 0.001 * k, 67.0, 45.0])
    rows[30][6] = rows[31][6] = -999          # 2 h of air temperature: filled
    for k in range(60, 65):
        rows[k][7] = -999                      # 5 h of humidity: too long
    text = "\n".join(" ".join(f"{v:g}" for v in row) for row in rows)
    path.write_text(f"{OLDER_HEADER}\n{text}\n\n\n")


def test_older_layout_fills_short_gaps_and_reports_long_ones(tmp_path, capsys):
    source, site = tmp_path / "older.txt", tmp_path / "site"
    write_older_layout(source)
    assert prepare.main([str(source), "--out", str(site)]) == 1
    report = capsys.readouterr().err.splitlines()
    assert "RelativeHumidity_wrtWater(%): gap of 5 h from 2016-07-03 hour 10 to 2016-07-03 hour 14" in report[0]
    assert len(report) == 2 and not site.exists()
    assert prepare.main([str(source), "--out", str(site), "--longest-complete"]) == 0
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["site"]["n_days"] == 2 and provenance["time"]["utc_offset_hours"] == -3
    assert [(gap["variable"], gap["hours"]) for gap in provenance["filled"]] == [("AirTemperature(C)", 2)]
    met = np.loadtxt(site / "data/met_lv3/older.txt")
    # UTC hours 30 and 31 are hours 28 and 29 of the run; linear between 4.4 and 4.7 °C
    np.testing.assert_allclose(met[27:29, 5], [4.5, 4.6], rtol=1e-6)
    np.testing.assert_allclose(0.1 - met[:3, 12], [0.0, 0.001, 0.002], atol=1e-6)   # lowering since hour 1


@pytest.mark.parametrize("source, mapping, occupied, expected", [
    ("README.md", False, False, "README.md: not a recognised layout"),
    ("ten_minutes.csv", False, False, "ten_minutes.csv:3: time: not hourly"),
    ("sample", True, False, "mapping.toml: columns.rh.column: no column 'RH'"),
    ("sample", False, True, "site: not empty; give --force"),
])
def test_bad_input_is_one_line_status_2_and_nothing_written(tmp_path, capsys, source, mapping, occupied, expected):
    header, first = SAMPLE.read_text().splitlines()[:2]
    tens = [first.replace("00:00:00", f"00:{10 * k:02d}:00", 1) for k in range(5)]
    (tmp_path / "ten_minutes.csv").write_text("\n".join([header] + tens) + "\n")
    (tmp_path / "mapping.toml").write_text('[time]\ncolumn = "time"\nlabel = "start"\n[columns.rh]\n'
                                           'column = "RH"\nunit = "%"\n')
    source = {"README.md": ROOT / "README.md", "sample": SAMPLE}.get(source, tmp_path / source)
    site = tmp_path / "site"
    if occupied:
        site.mkdir()
        (site / "keep.txt").write_text("mine")
    options = ["--mapping", str(tmp_path / "mapping.toml")] if mapping else []
    assert prepare.main([str(source), "--out", str(site), *options]) == 2
    error = capsys.readouterr().err
    assert expected in error and error.count("\n") == 1
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".site")]
    assert [p.name for p in site.iterdir()] == ["keep.txt"] if occupied else not site.exists()
