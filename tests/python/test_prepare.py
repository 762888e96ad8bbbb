"""pumak prepare: from a station's own file to a site the program runs."""

import hashlib
import json
import os
import pathlib
import tempfile
import types

import numpy as np
import pandas as pd
import pytest

from pumak import check, prepare
from conftest import run_program

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
    run = run_program("metrun", site / "run")
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


# ---- a logger's 10-minute table to a site ----------------------------------------------------------------

TOA5_NAMES = ["TIMESTAMP", "RECORD", "AirTC_Avg", "RH", "WS_ms_Avg", "BP_kPa", "SWin_Avg", "LWin_Avg", "LWout_Avg",
              "SR50"]
TOA5_UNITS = ["TS", "RN", "Deg C", "%", "m/s", "kPa", "W/m^2", "W/m2", "W/m^2", "m"]
TOA5_MAPPING = ('[time]\nzone = "UTC+01:00"\n[columns]\nta_obs = "AirTC_Avg"\nrh = "RH"\nwind = "WS_ms_Avg"\n'
                'pressure = "BP_kPa"\nsr = "SWin_Avg"\nlw_down = "LWin_Avg"\nlw_up = "LWout_Avg"\n{surface}')


def write_logger_table(path, days=3, step=10, first="2023-07-01 00:30", distances=None, edit=None):
    """Records every `step` min on a UTC+01:00 clock (local solar time at 15 E), starting mid-hour.

    Air temperature is the minute of the day / 100, so an hour's mean is known by hand.
    """
    stamps = pd.date_range(first, periods=days * 24 * 60 // step, freq=f"{step}min")
    minutes = stamps.hour * 60 + stamps.minute
    sun = np.maximum(0.0, 800 * np.cos((minutes - step / 2 - 720) / 720 * np.pi))
    surface = np.linspace(2.0, 2.3, len(stamps)) if distances is None else distances
    rows = ['"TOA5","Glacier1","CR3000","1234","CR3000.Std.32","CPU:g.CR3","5678","Table10"',
            ",".join(f'"{n}"' for n in TOA5_NAMES), ",".join(f'"{u}"' for u in TOA5_UNITS),
            ",".join(['""', '""'] + ['"Avg"'] * 7 + ['"Smp"'])]
    for k, t in enumerate(stamps):
        rows.append(f'"{t:%Y-%m-%d %H:%M:%S}",{k},{minutes[k] / 100:g},80,3,85,{sun[k]:.6g},280,320,'
                    f'{surface[k]:.6g}')
    if edit:
        edit(rows)
    path.write_text("\r\n".join(rows) + "\r\n")
    return path


def logger_site(tmp_path, surface='distance = "SR50"\n', options=(), **table):
    source = write_logger_table(tmp_path / "logger.dat", **table)
    (tmp_path / "map.toml").write_text(TOA5_MAPPING.format(surface=surface))
    site = tmp_path / "site"
    status = prepare.main([str(source), "--mapping", str(tmp_path / "map.toml"), "--out", str(site),
                           "--latitude", "67", "--longitude", "15", *options])
    return status, site


def test_ten_minute_logger_table_becomes_a_site_with_hand_computed_hours(tmp_path, capsys):
    status, site = logger_site(tmp_path)
    out = capsys.readouterr()
    assert status == 0, out.err
    met = np.loadtxt(site / "data/met_lv3/logger.txt")
    # The record starts at 00:30: the partial first hour is an edge (no gap report); hour 1 of 1 July is the
    # hour ending 01:00 local solar = logger time, records 00:10 .. 01:00 -> missing 00:10, 00:20: an edge
    # that starts the first whole day at 2 July.
    assert met.shape == (2 * 24, 14) and met[0, :4].tolist() == [2023, 7, 2, 1]
    # hour 13 (12:00-13:00): records stamped 12:10 .. 13:00, minutes 730 .. 780: mean 755 / 100
    np.testing.assert_allclose(met[12, 5], 7.55, rtol=1e-6)
    np.testing.assert_allclose(met[0, [7, 13]], [0.8, 850.0], rtol=1e-6)      # % and kPa converted
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["aggregation"]["records_per_hour"] == 6 and provenance["aggregation"]["edge_hours_dropped"] == 2
    assert provenance["aggregation"]["rules"]["SR50"] == "median of the hour's records"
    assert provenance["source"]["logger"]["table"] == "Table10" and provenance["source"]["logger"]["station"] == "Glacier1"
    assert provenance["time"]["source_clock"] == "UTC+01:00 (time.zone of the mapping)"
    assert provenance["time"]["source_label"].startswith("the end of the interval")
    assert provenance["units"]["BP_kPa"] == "kPa" and "BP_kPa: kPa to hPa (x 10)" in provenance["conversions"]
    assert "10-minute records to" in out.out and "gap" not in out.err


@pytest.mark.parametrize("step", [5, 15, 30])
def test_other_steps_give_the_same_hours(tmp_path, capsys, step):
    status, site = logger_site(tmp_path, step=step, first="2023-07-01 00:00")
    assert status == 0, capsys.readouterr().err
    reference = np.loadtxt(site / "data/met_lv3/logger.txt")
    # the hour ending 13:00 averages the minutes of its records: (12:00 + step .. 13:00)
    expected = np.mean(np.arange(720 + step, 781, step)) / 100
    np.testing.assert_allclose(reference[12, 5], expected, rtol=1e-6)


@pytest.mark.parametrize("edit, status, expected", [
    # a 3-hour hole inside the record (18 records): filled; 4 hours: a gap report
    (lambda rows: rows.__delitem__(slice(100, 118)), 0, "filled AirTC_Avg linearly: 3 h"),
    (lambda rows: rows.__delitem__(slice(100, 124)), 1, "AirTC_Avg: gap of 4 h"),
])
def test_the_max_gap_boundary_after_aggregation(tmp_path, capsys, edit, status, expected):
    found, _ = logger_site(tmp_path, edit=edit, first="2023-07-01 00:10")
    out = capsys.readouterr()
    assert found == status and expected in (out.out if status == 0 else out.err)


@pytest.mark.parametrize("surface, values, expected", [
    ('distance = "SR50"\n', np.zeros(432), "no usable surface observation: SR50 is constant at 0 m"),
    ("", None, "no usable surface observation: surface distance (none in the source) holds no value"),
    ('distance = "SR50"\n', None, None),
])
def test_a_surface_that_cannot_be_trusted_is_said(tmp_path, capsys, surface, values, expected):
    status, site = logger_site(tmp_path, surface=surface, distances=values)
    assert status == 0
    out = capsys.readouterr().out
    provenance = json.loads((site / "provenance.json").read_text())
    if expected:
        assert expected in out and provenance["surface"]["unusable"].startswith(expected)
        assert out.count("no usable surface observation") == 1  # said by prepare, not again by its check
    else:
        assert "no usable surface" not in out and "unusable" not in provenance["surface"]
    others = [str(f) for f in check.check_site(site / "run") if "no usable surface" not in f.message]
    assert others and all(line in out.splitlines() for line in others)  # check's other findings all printed


def write_netcdf(path, sentinel_at=None):
    """The sample's week as the product's NetCDF, in kelvin and pascal; -999 at one hour of t_u."""
    import xarray

    frame = pd.read_csv(SAMPLE)
    temperature = frame.t_u.to_numpy() + 273.15
    if sentinel_at is not None:
        temperature[sentinel_at] = -999.0
    variables = {"t_u": (temperature, "K"), "rh_u": (frame.rh_u, "%"), "wspd_u": (frame.wspd_u, "m s-1"),
                 "p_u": (frame.p_u * 100, "Pa"), "dsr": (frame.dsr, "W m-2"), "dlr": (frame.dlr, "W m-2"),
                 "ulr": (frame.ulr, "W m-2"), "z_surf_combined": (-frame.z_boom_cor_u, "m")}
    dataset = xarray.Dataset({name: ("time", np.asarray(v, dtype=float), {"units": u})
                              for name, (v, u) in variables.items()}
                             | {"gps_lat": ((), 66.48), "gps_lon": ((), -46.29)},
                             coords={"time": pd.to_datetime(frame.time).to_numpy()})
    dataset.to_netcdf(path)
    return frame


@pytest.mark.parametrize("sentinel_at", [None, 30])
def test_netcdf_in_kelvin_and_pascal(tmp_path, capsys, sentinel_at):
    frame = write_netcdf(tmp_path / "station.nc", sentinel_at)
    assert prepare.main([str(tmp_path / "station.nc"), "--out", str(tmp_path / "site")]) == 0, capsys.readouterr().err
    met = np.loadtxt(tmp_path / "site/data/met_lv3/station.txt")
    # the first whole local day starts with the record stamped 03:00 UTC (as the CSV sample)
    np.testing.assert_allclose(met[:24, 5], frame.t_u[3:27].where(frame.index[3:27] != sentinel_at).interpolate(),
                               atol=2e-5)
    np.testing.assert_allclose(met[:24, 13], frame.p_u[3:27].interpolate(), rtol=1e-6)
    provenance = json.loads((tmp_path / "site/provenance.json").read_text())
    assert "t_u: K to °C (-273.15)" in provenance["conversions"] and "p_u: Pa to hPa (x 0.01)" in provenance["conversions"]
    # a surface height: the lowering sd_obs = 0.1 - sd_sensor follows the distance z_boom_cor_u
    lowering = 0.1 - met[:, 12]
    np.testing.assert_allclose(lowering, frame.z_boom_cor_u[3:3 + 144] - frame.z_boom_cor_u[3], atol=1e-5)
    assert any(gap["variable"] == "t_u" for gap in provenance["filled"]) == (sentinel_at is not None)


def test_force_keeps_the_users_parameters_and_parameters_wins(tmp_path, capsys):
    status, site = logger_site(tmp_path)
    ini = site / "run/parameter.ini"
    ini.write_text(ini.read_text().replace("albedo_ice 0.51", "albedo_ice 0.42").replace("ch 0.002", "ch 0.003"))
    (site / "notes.txt").write_text("mine")
    status, _ = logger_site(tmp_path, options=["--force"])
    out = capsys.readouterr().out
    text = ini.read_text()
    assert status == 0 and "albedo_ice 0.42\n" in text and "ch 0.003\n" in text and "n_days 2\n" in text
    assert f"kept the items of {ini}" in out and (site / "notes.txt").read_text() == "mine"
    (tmp_path / "p.toml").write_text("albedo_ice = 0.3\n")
    status, _ = logger_site(tmp_path, options=["--force", "--parameters", str(tmp_path / "p.toml")])
    assert status == 0 and "albedo_ice 0.3\n" in ini.read_text() and "ch 0.003\n" in ini.read_text()
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["parameters"]["kept_from_the_site"] == str(ini)
    assert provenance["parameters"]["parameters_file"] == str(tmp_path / "p.toml")
    ini.write_text(text.replace("ch 0.003", "ch zero"))
    before = (site / "data/met_lv3/logger.txt").read_bytes()
    status, _ = logger_site(tmp_path, options=["--force"])
    error = capsys.readouterr().err
    assert status == 2 and "parameter.ini:" in error and "ch" in error and error.count("\n") == 1
    assert (site / "data/met_lv3/logger.txt").read_bytes() == before


def test_parameters_of_another_site_are_read_as_the_programs_read_them(tmp_path, capsys):
    other = tmp_path / "other.ini"
    other.write_text((ROOT / "example/run/parameter.ini").read_text().replace("albedo_ice 0.51", "albedo_ice 0.33"))
    status, site = logger_site(tmp_path, options=["--parameters", str(other)])
    assert status == 0 and "albedo_ice 0.33\n" in (site / "run/parameter.ini").read_text()
    assert "latitude 67.0\n" in (site / "run/parameter.ini").read_text()


def _bom(tmp_path):
    (tmp_path / "bom.csv").write_bytes(b"\xef\xbb\xbf" + SAMPLE.read_bytes())
    return tmp_path / "bom.csv"


def _file(name, content):
    def make(tmp_path):
        (tmp_path / name).write_bytes(content) if isinstance(content, bytes) else (tmp_path / name).write_text(content)
        return tmp_path / name
    return make


def _nan_ini(tmp_path):
    text = (ROOT / "example/run/parameter.ini").read_text().replace("diffuse_mode 0", "diffuse_mode nan")
    (tmp_path / "other.ini").write_text(text)
    return "--parameters", str(tmp_path / "other.ini")


def _occupied(tmp_path):
    """A user's file where the site would go; the source stays the logger table."""
    (tmp_path / "site").mkdir()
    (tmp_path / "site/keep.txt").write_text("mine")


# (source: None for the logger table, or a maker; its mapping's edit; options; the line said, None: written)
PROBED = {
    "bom": (_bom, None, [], None),
    "an occupied folder": (_occupied, None, [], "site: not empty; give --force"),
    "columns": (None, lambda m: "columns = 5\n" + m.split("[columns]")[0], [],
                "map.toml: columns: expected a table [columns]"),
    "unit": (None, lambda m: m.replace('pressure = "BP_kPa"', 'pressure = { column = "BP_kPa", unit = "bar" }'), [],
             "map.toml: column 'BP_kPa' of"),
    "inf": (None, None, lambda t: ["--parameters", str(_file("p.toml", "diffuse_mode = inf\n")(t))],
            "p.toml: diffuse_mode: expected an integer, found inf"),
    "nan ini": (None, None, _nan_ini, "other.ini:11: diffuse_mode: expected an integer"),
    "junk": (_file("junk.bin", bytes(range(256)) * 64), None, [], "junk.bin: not a recognised layout"),
    "long line": (_file("long.csv", "time,t_u,rh_u\n2023-01-01 00:00:00," + "1" * 10_000_000 + ",80\n"), None, [],
                  "long.csv:2: cannot read as a table: field larger than field limit"),
    "parts of hours": (lambda t: write_logger_table(t / "logger.dat", edit=lambda rows: rows.__delitem__(slice(6, None))),
                       None, [], "logger.dat: no whole hour of records: the 2 record(s)"),
    "coverage": (None, None, ["--min-coverage", "3/2"], "--min-coverage: expected a share above 0 and at most 1"),
    "coverage 0": (None, None, ["--min-coverage", "0"], "--min-coverage: expected a share above 0 and at most 1"),
    "latitude 91": (None, None, ["--latitude=91"], "latitude 91.0: expected degrees north from -90 to 90"),
    # not used for the clock, but recorded as the site's
    "longitude": (None, None, ["--longitude", "500", "--utc-offset", "1"],
                  "longitude 500.0: expected degrees east from -180 to 180"),
    "jump nan": (None, None, ["--jump-threshold=nan"], "'nan': expected a finite number"),
    "jump 0": (None, None, ["--jump-threshold=0"], "--jump-threshold 0.0: expected a finite number of metres above 0"),
    "latitude inf": (None, None, ["--latitude=inf"], "'inf': expected a finite number"),
    "utc offset -nan": (None, None, ["--utc-offset=-nan"], "'-nan': expected a finite number"),
    "max gap -1": (None, None, ["--max-gap=-1"], "--max-gap"),
    "elevation 1e999": (None, None, ["--elevation=1e999"], "'1e999': expected a finite number"),
}


@pytest.mark.parametrize("source, edit, options, expected", PROBED.values(), ids=PROBED.keys())
def test_probed_faults_are_one_line(tmp_path, capsys, source, edit, options, expected):
    logger = write_logger_table(tmp_path / "logger.dat")
    source = (source(tmp_path) if source else None) or logger
    occupied = (tmp_path / "site").exists()
    mapping = TOA5_MAPPING.format(surface="")
    (tmp_path / "map.toml").write_text(edit(mapping) if edit else mapping)
    options = list(options(tmp_path) if callable(options) else options)
    if source.suffix == ".dat":
        options += ["--mapping", str(tmp_path / "map.toml")]
    site = tmp_path / "site"
    try:
        status = prepare.main([str(source), "--out", str(site), "--latitude", "67", "--longitude", "15", *options])
    except SystemExit as refusal:      # the argument parser's refusal
        status = refusal.code
    error = capsys.readouterr().err
    if expected is None:
        assert status == 0 and site.exists(), error
        return
    assert status == 2 and expected in error and error.count("\n") == 1, error
    assert [p.name for p in site.iterdir()] == ["keep.txt"] if occupied else not site.exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".site")] == []


# ---- the three real records, each with one fault ---------------------------------------------------------

KPC_MET = ROOT / "example/data/met_lv3/kpc_l_2016_08.txt"
GCNET = ROOT / "tests/data/stations/gcnet_v2_datatable10min_2022_05_head.dat"
KPC_MAPPING = ('latitude = 79.91\nlongitude = -24.09\n[time]\ncolumn = "time"\nlabel = "end"\n[columns]\n'
               'ta_obs = { column = "t", unit = "degC" }\nwind = { column = "ws", unit = "m/s" }\n'
               'rh = { column = "rh", unit = "%" }\nsr = { column = "sw", unit = "W/m2" }\n'
               'column_10 = { column = "swo", unit = "W/m2" }\nlw_down = { column = "lwd", unit = "W/m2" }\n'
               'lw_up = { column = "lwu", unit = "W/m2" }\ndistance = { column = "dist", unit = "m" }\n'
               'pressure = { column = "p", unit = "hPa" }\n')
GCNET_MAPPING = ('latitude = { column = "Latitude", unit = "ddmm" }\n'
                 'longitude = { column = "Longitude", unit = "ddmm" }\n[time]\nzone = "UTC"\n[columns]\n'
                 'ta_obs = { column = "Asp_temp_L", unit = "degC" }\nrh = { column = "Humidity_L", unit = "%" }\n'
                 'wind = { column = "WindSpeed_S_L", unit = "m/s" }\npressure = { column = "Pressure_L", unit = "hPa" }\n'
                 'sr = { column = "SWUpper", unit = "W/m2" }\n'
                 'lw_down = { column = "LWUpper", unit = "W/m2", body_temperature = "TemperatureRadSensor" }\n'
                 'lw_up = { column = "LWLower", unit = "W/m2", body_temperature = "TemperatureRadSensor" }\n'
                 'distance = { column = "SR_L", unit = "m" }\n')


def kpc_source(path, edit=None):
    """The shipped KPC_L record (example/) as its station would write it: UTC stamps of each hour's end, % humidity.

    The example's hours are local solar time at 24.09 W (UTC - 2 h); the distance to the surface grows
    as sd_sensor falls.
    """
    met = np.loadtxt(KPC_MET)
    local_end = pd.to_datetime(pd.DataFrame({"year": met[:, 0], "month": met[:, 1], "day": met[:, 2]})) \
        + pd.to_timedelta(met[:, 3], unit="h")
    frame = pd.DataFrame({"time": (local_end + pd.Timedelta(hours=2)).dt.strftime("%Y-%m-%d %H:%M:%S"),
                          "t": met[:, 5], "ws": met[:, 6], "rh": (met[:, 7] * 100).round(4), "sw": met[:, 8],
                          "swo": met[:, 9], "lwd": met[:, 10], "lwu": met[:, 11], "dist": (2.0 - met[:, 12]).round(4),
                          "p": met[:, 13]})
    if edit:
        edit(frame)
    frame.to_csv(path, index=False)
    return path


def real_record(tmp_path, which, change=None):
    """(source, mapping or None) of a copy of a shipped real record; `change` (old, new) edits its mapping."""
    if which == "promice":
        return SAMPLE, None
    source = kpc_source(tmp_path / "kpc.csv") if which == "kpc" else GCNET
    text = KPC_MAPPING if which == "kpc" else GCNET_MAPPING
    if change:
        assert change[0] in text
        text = text.replace(*change)
    (tmp_path / "map.toml").write_text(text)
    return source, tmp_path / "map.toml"


def prepare_real(tmp_path, which, change=None, options=()):
    source, mapping = real_record(tmp_path, which, change)
    return prepare.main([str(source), "--out", str(tmp_path / "site"), *options]
                        + (["--mapping", str(mapping)] if mapping else []))


def test_the_kpc_record_through_prepare_gives_the_example_back(tmp_path, capsys):
    """The station's view of the example returns the example's hours; negative shortwave of either direction is 0."""
    def night_offsets(frame):
        frame.loc[[30, 31], "swo"] = [-2.5, -0.1]              # radiometers read a little below 0 at night
        frame.loc[[40], "sw"] = -1.0
    source = kpc_source(tmp_path / "kpc.csv", night_offsets)
    (tmp_path / "map.toml").write_text(KPC_MAPPING)
    assert prepare.main([str(source), "--mapping", str(tmp_path / "map.toml"), "--out", str(tmp_path / "site")]) == 0
    out = capsys.readouterr().out
    met, example = np.loadtxt(tmp_path / "site/data/met_lv3/kpc.txt"), np.loadtxt(KPC_MET)
    assert met.shape == example.shape
    example[[30, 31], 9] = example[40, 8] = 0.0
    np.testing.assert_allclose(met, example, rtol=0, atol=1e-4)
    assert "swo: 2 negative hour(s) set to 0" in out and "sw: 1 negative hour(s) set to 0" in out


def closing(errors):
    return f"pumak prepare: {errors} error(s): nothing written (--keep-with-errors writes the site anyway)\n"


# (what, record, mapping change, options, words of an error line, words no line may hold)
WITH_ERRORS = [
    ("wrong logger zone", "gcnet", ('zone = "UTC"', 'zone = "UTC+06:00"'), [],
     "sr: error: above 50 W m-2 in 5 records while the model's sun is below the horizon", "flipped"),
    ("percent humidity declared as a fraction", "kpc", ('unit = "%"', 'unit = "fraction"'), [],
     "rh: error: above 1.5 in 720 records (first 62.08): humidity in percent?", "flipped"),
    ("flipped latitude sign", "kpc", ("latitude = 79.91", "latitude = -79.91"), [],
     "sr: error: at latitude 79.91 instead of -79.91 the shortwave follows the model's sun without a shift: the "
     "latitude's sign flipped?", "longitude's sign"),
    ("flipped longitude sign", "kpc", ("longitude = -24.09", "longitude = 24.09"), [],
     "sr: error: at longitude -24.09 instead of 24.09 (provenance.json) local solar time is UTC -2 h, not +2 h, "
     "and the shortwave follows the model's sun: the longitude's sign flipped?", "latitude's sign"),
    ("raw thermopile longwave", "gcnet", (', body_temperature = "TemperatureRadSensor"', ""), [],
     "lw_down: error: outside 50-700 W m-2 in 24 records (first -50.765)", "flipped"),
    ("latitude flipped by the option", "promice", None, ["--latitude", "-66.4825"],
     "sr: error: at latitude 66.4825 instead of -66.4825 the shortwave follows the model's sun", "longitude's sign"),
]


@pytest.mark.parametrize("what, record, change, options, words, never", WITH_ERRORS, ids=[c[0] for c in WITH_ERRORS])
def test_a_site_whose_check_finds_errors_is_not_written(tmp_path, capsys, monkeypatch, what, record, change, options,
                                                        words, never):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))      # where the copy aside is checked
    (tmp_path / "tmp").mkdir()
    real_record(tmp_path, record, change)
    before = sorted(p.name for p in tmp_path.iterdir())
    assert prepare_real(tmp_path, record, change, options) == 1
    out, err = capsys.readouterr()
    errors = [line for line in out.splitlines() if ": error: " in line]
    assert errors and any(words in line for line in errors), out
    assert never not in out
    assert all(line.startswith(str(tmp_path / "site") + os.sep) for line in errors)   # named where it would be
    assert err == closing(len(errors))
    assert sorted(p.name for p in tmp_path.iterdir()) == before and not any((tmp_path / "tmp").iterdir())
    # kept on request: written, status 1, and the errors said in its provenance
    assert prepare_real(tmp_path, record, change, [*options, "--keep-with-errors"]) == 1
    again = capsys.readouterr()
    assert again.err == "" and [line for line in again.out.splitlines() if ": error: " in line] == errors
    provenance = json.loads((tmp_path / "site/provenance.json").read_text())
    assert provenance["check"]["errors"] == errors
    assert [str(f) for f in check.check_site(tmp_path / "site/run") if f.severity == "error"] == errors


def test_errors_leave_an_earlier_site_as_it_was(tmp_path, capsys):
    assert prepare_real(tmp_path, "kpc") == 0
    site = tmp_path / "site"
    before = {p.relative_to(site): p.read_bytes() for p in site.rglob("*") if p.is_file()}
    assert prepare_real(tmp_path, "kpc", ("latitude = 79.91", "latitude = -79.91"), ["--force"]) == 1
    assert capsys.readouterr().err == closing(1)
    assert {p.relative_to(site): p.read_bytes() for p in site.rglob("*") if p.is_file()} == before


# (what, record, mapping change, options, the warning said); warnings alone still write
WARNINGS_WRITE = [
    ("clock an hour off", "kpc", ('label = "end"', 'label = "end"\nzone = "UTC+01:00"'), [],
     "sr: warning: the shortwave's daily cycle comes 1.1 h earlier than the model's sun: a clock 1 h off?"),
    ("surface ranger not connected", "gcnet", None, [],
     "no usable surface observation: SR_L is constant at 0 m over the record"),
]


@pytest.mark.parametrize("what, record, change, options, words", WARNINGS_WRITE, ids=[c[0] for c in WARNINGS_WRITE])
def test_warnings_alone_still_write_the_site(tmp_path, capsys, what, record, change, options, words):
    assert prepare_real(tmp_path, record, change, options) == 0
    out, err = capsys.readouterr()
    assert words in out and ": error: " not in out and err == ""
    assert "check" not in json.loads((tmp_path / "site/provenance.json").read_text())
    assert (tmp_path / "site/run/parameter.ini").is_file()


# (options, the lines the summary and the provenance's overrides hold)
OVERRIDES = [
    (["--latitude", "80"], ["--latitude 80 instead of 79.9100 from the mapping {map}"]),
    (["--latitude", "79.91", "--longitude", "-24.09"], []),
    (["--longitude", "-30"], ["--longitude -30 instead of -24.0900 from the mapping {map}"]),
    (["--utc-offset", "-1"], ["--utc-offset -1 h instead of -2 h from longitude -24.0900"]),
    (["--utc-offset", "-2", "--longitude", "-20"], ["--longitude -20 instead of -24.0900 from the mapping {map}",
                                                    "--longitude not used for the time: --utc-offset wins",
                                                    "--utc-offset -2 h instead of -1 h from longitude -20.0000"]),
    (["--time-label", "start"], ["--time-label start: the stamps taken as the start of their interval, not the "
                                 "end (CSV through the mapping {map})"]),
    (["--time-label", "end"], []),
]


@pytest.mark.parametrize("options, said", OVERRIDES)
def test_an_option_that_replaces_the_mapping_says_so(tmp_path, capsys, options, said):
    status = prepare_real(tmp_path, "kpc", options=options)
    out = capsys.readouterr().out
    said = [line.format(map=tmp_path / "map.toml") for line in said]
    assert status == 0
    assert [line[2:] for line in out.splitlines() if line.startswith("  --")] == said
    assert json.loads((tmp_path / "site/provenance.json").read_text())["overrides"] == said


def test_clock_options_a_local_solar_clock_does_not_use_are_said(tmp_path, capsys):
    status = prepare_real(tmp_path, "kpc", ('label = "end"', 'label = "end"\nzone = "local solar"'),
                          ["--utc-offset", "3", "--longitude", "10"])
    out = capsys.readouterr().out
    assert status == 0 and "a clock 2 h off?" in out      # the stamps are UTC: at 80 N in August a warning
    assert "  --longitude and --utc-offset not used: the mapping says the source's clock is local solar time" in out


# ---- the provenance prepare writes, as its readers read it -----------------------------------------------

def test_the_written_provenance_key_by_key_and_its_readers_find_it(tmp_path, capsys):
    import pumak

    assert prepare_real(tmp_path, "gcnet") == 0
    capsys.readouterr()
    provenance = json.loads((tmp_path / "site/provenance.json").read_text())
    assert provenance["site"] == {"name": "gcnet_v2_datatable10min_2022_05_head", "latitude": 55.6885,
                                  "latitude_from": "the source: median of Latitude (ddmm)", "longitude": 12.5822,
                                  "longitude_from": "the source: median of Longitude (ddmm)", "n_days": 1,
                                  "first_day": "2022-05-17", "last_day": "2022-05-17"}
    assert provenance["time"]["utc_offset_hours"] == 1 and provenance["time"]["first_record_utc"] == \
        "2022-05-16 23:00 to 00:00"
    assert provenance["time"]["source_clock"] == "UTC (time.zone of the mapping)"
    assert provenance["time"]["utc_offset_from"].startswith("longitude 12.5822 E from the source: median of Longitude")
    assert provenance["source"]["mapping"]["sha256"] == hashlib.sha256((tmp_path / "map.toml").read_bytes()).hexdigest()
    assert provenance["records"] == {"step_minutes": 10.0, "records": 300}
    assert provenance["units"] == {"Asp_temp_L": "degC", "Humidity_L": "%", "WindSpeed_S_L": "m/s",
                                   "Pressure_L": "hPa", "SWUpper": "W/m2", "LWUpper": "W/m2", "LWLower": "W/m2",
                                   "SR_L": "m"}
    assert provenance["variables"] == {"ta_obs": "Asp_temp_L", "wind": "WindSpeed_S_L", "rh": "Humidity_L",
                                       "sr": "SWUpper", "column_10": None, "lw_down": "LWUpper", "lw_up": "LWLower",
                                       "pressure": "Pressure_L", "sd_sensor": "SR_L"}
    # check takes the longitude the clock was set by; the NetCDF writer the source, the position and the clock
    assert check._longitude_of(provenance) == (12.5822, 1)
    site = pumak.read_site(tmp_path / "site/run")
    assert site.provenance == provenance
    dataset = pumak.to_xarray(pumak.run_site(tmp_path / "site/run"), site.parameters, site.met,
                              provenance=site.provenance)
    assert float(dataset["lat"]) == pytest.approx(55.6885) and float(dataset["lon"]) == pytest.approx(12.5822)
    assert str(dataset["station"].values) == "gcnet_v2_datatable10min_2022_05_head"
    assert pd.Timestamp(dataset["time"].values[0]) == pd.Timestamp("2022-05-17 00:00")   # hour 1 ends 01:00 at UTC+1


def test_the_longest_complete_period_the_first_of_equal_ones_and_a_jump_at_its_hour(tmp_path, capsys):
    """Two air temperature gaps of 6 h (local days 1 and 16) leave two runs of 14 whole days; the first is kept."""
    def edit(frame):
        frame.loc[[*range(5, 11), *range(15 * 24 + 5, 15 * 24 + 11)], "t"] = np.nan
        frame.loc[100:, "dist"] += 0.5                       # the ranger reset: hour 5 of 5 August
    source = kpc_source(tmp_path / "kpc.csv", edit)
    (tmp_path / "map.toml").write_text(KPC_MAPPING)
    assert prepare.main([str(source), "--mapping", str(tmp_path / "map.toml"), "--out", str(tmp_path / "site"),
                         "--longest-complete", "--jump-threshold", "0.3"]) == 0
    out = capsys.readouterr().out
    provenance = json.loads((tmp_path / "site/provenance.json").read_text())
    cut = provenance["cut_for_gaps"]
    assert (cut["kept"], cut["days_dropped"]) == ("2016-08-02 to 2016-08-15", 16)
    assert [(gap["first"], gap["hours"]) for gap in cut["gaps"]] == [("2016-08-01 hour 6", 6), ("2016-08-16 hour 6", 6)]
    sd = np.loadtxt(KPC_MET)[:, 12]
    change = round(0.5 + sd[99] - sd[100], 4)                  # the jump and that hour's lowering
    assert provenance["surface"]["jumps"] == [{"at": "2016-08-05 hour 5", "change_m": change}]
    assert f"  dist: jump of {change:+.3f} m at 2016-08-05 hour 5 (more than 0.3 m in one hour; kept as recorded)" in out
    np.testing.assert_allclose(np.loadtxt(tmp_path / "site/data/met_lv3/kpc.txt")[:, 5], np.loadtxt(KPC_MET)[24:360, 5])


@pytest.mark.parametrize("hours, expected", [(14, 14), (-12, -12), (15, None), (-13, None), (1.5, None)])
def test_utc_offset_whole_hours_from_minus_12_to_14(hours, expected):
    clock = types.SimpleNamespace(clock="UTC", longitude=None)
    if expected is None:
        with pytest.raises(prepare.SourceError, match=f"--utc-offset {hours}: expected whole hours from -12 to 14"):
            prepare.local_solar_offset(clock, utc_offset=hours)
    else:
        assert prepare.local_solar_offset(clock, utc_offset=hours) == (expected, f"--utc-offset {expected}")
