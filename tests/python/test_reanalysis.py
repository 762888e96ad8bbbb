"""ERA5 / ERA5-Land point series: round trips of the shipped records, de-accumulation, gap filling, refusals."""

import json
import pathlib
import zipfile

import numpy as np
import pandas as pd
import pytest
import xarray as xr

from pumak import prepare, stations
from pumak.stations.era5 import as_era5, read_reanalysis
from pumak.stations.fill import fill_from
from test_estimate import kpc_l, promice

ROOT = pathlib.Path(__file__).resolve().parents[2]
KPC_MET = ROOT / "example/data/met_lv3/kpc_l_2016_08.txt"
COMPARED = ("ta_obs", "rh", "wind", "pressure", "sr", "lw_down", "lw_up")
GRID = (79.9, -24.0)


def write_csv(path, frame, point=GRID):
    frame = frame.rename_axis("valid_time")
    frame.insert(0, "longitude", point[1])
    frame.insert(0, "latitude", point[0])
    frame.to_csv(path, date_format="%Y-%m-%d %H:%M:%S")


def write_zip(path, frame, point=GRID):
    with zipfile.ZipFile(path, "w") as archive:
        for name in frame.columns:
            part = frame[[name]].copy()
            part.insert(0, "longitude", point[1])
            part.insert(0, "latitude", point[0])
            archive.writestr(f"reanalysis-era5-single-levels-timeseries-{name}.csv",
                             part.to_csv(date_format="%Y-%m-%d %H:%M:%S"))


def write_netcdf(path, frame, point=GRID, members=1):
    """Today's layout: `valid_time`, the point as scalar coordinates, float32 values along a member axis."""
    values = {name: (("number", "valid_time"), np.tile(frame[name].to_numpy(dtype=np.float32), (members, 1)))
              for name in frame.columns}
    dataset = xr.Dataset(values, coords={"valid_time": frame.index.to_numpy(), "latitude": point[0],
                                         "longitude": point[1], "number": np.arange(members)})
    dataset.to_netcdf(path)


def write_older_netcdf(path, frame, point=GRID):
    """The older layout: `time`, a 1 x 1 grid, values packed as int16, mean rates instead of accumulations,
    the last ten days as early release data (expver 5) beside the final data (expver 1)."""
    rates = {"msdwswrf": frame["ssrd"] / 3600, "msdwlwrf": frame["strd"] / 3600, "msnlwrf": frame["str"] / 3600}
    frame = frame.drop(columns=["ssrd", "strd", "str"]).assign(**rates)
    encoding = {}
    for name in frame.columns:
        low, high = np.nanmin(frame[name]), np.nanmax(frame[name])
        scale = (high - low) / 60000 or 1.0
        encoding[name] = {"dtype": "int16", "scale_factor": scale, "add_offset": (high + low) / 2,
                          "_FillValue": -32767}
    late = np.arange(len(frame)) >= len(frame) - 240
    dataset = xr.Dataset({name: (("time", "expver", "latitude", "longitude"),
                                 np.stack([np.where(late, np.nan, frame[name]), np.where(late, frame[name], np.nan)],
                                          axis=1)[:, :, None, None])
                          for name in frame.columns},
                         coords={"time": frame.index.to_numpy(), "expver": [1, 5], "latitude": [point[0]],
                                 "longitude": [point[1]]})
    dataset.to_netcdf(path, encoding=encoding)


WRITERS = {"csv": write_csv, "zip": write_zip, "netcdf": write_netcdf, "older netcdf": write_older_netcdf}
SUFFIX = {"csv": ".csv", "zip": ".zip", "netcdf": ".nc", "older netcdf": ".nc"}


def hourly_record(name):
    """A shipped record's hourly values in the model's units, indexed by each hour's end in UTC."""
    return (kpc_l() if name == "kpc_l" else promice()).data


@pytest.mark.parametrize("record", ["kpc_l", "promice"])
@pytest.mark.parametrize("form, product", [("csv", "era5"), ("zip", "era5"), ("netcdf", "era5"),
                                           ("older netcdf", "era5"), ("csv", "era5-land"),
                                           ("netcdf", "era5-land")])
def test_a_record_written_as_the_data_store_does_reads_back_hour_by_hour(tmp_path, record, form, product):
    truth = hourly_record(record)
    path = tmp_path / f"series{SUFFIX[form]}"
    WRITERS[form](path, as_era5(truth, product))
    got = stations.to_model_units(read_reanalysis([path], product)).data
    assert (got.index == truth.index).all()
    for quantity in COMPARED:
        expected, values = truth[quantity].to_numpy(), got[quantity].to_numpy()
        tolerance = 1e-4 * (np.nanmax(np.abs(expected)) + 1) if form == "older netcdf" else 1e-3
        if form == "netcdf":
            tolerance = 1e-6 * np.nanmax(np.abs(expected)) * 300
        both = np.isfinite(expected) & np.isfinite(values)
        # only what the source lacks, and an ERA5-Land record's first hour (no hour before it), is missing
        assert (np.isfinite(values) == np.isfinite(expected))[1:].all(), quantity
        assert np.abs(values[both] - expected[both]).max() <= tolerance, quantity


@pytest.mark.parametrize("t2m, d2m, u10, v10, rh, wind", [
    (273.16, 273.16, 3.0, 4.0, 1.0, 5.0),
    (293.15, 283.15, -6.0, 8.0, 1227.9 / 2338.3, 10.0),     # 10 °C dew point at 20 °C: 1228 of 2338 Pa
    (250.0, 250.5, 0.0, -2.0, 1.0, 2.0),                    # a dew point above the air: saturated, not more
])
def test_humidity_and_wind_from_the_reanalysis_variables(tmp_path, t2m, d2m, u10, v10, rh, wind):
    hours = pd.date_range("2020-06-01 01:00", periods=3, freq="h")
    write_csv(tmp_path / "point.csv", pd.DataFrame({"t2m": t2m, "d2m": d2m, "u10": u10, "v10": v10}, index=hours))
    got = read_reanalysis([tmp_path / "point.csv"]).data
    assert np.allclose(got["rh"], rh, rtol=2e-4) and np.allclose(got["wind"], wind)


def test_era5_land_hours_across_midnight_are_differences_and_00_utc_closes_the_day(tmp_path):
    hours = pd.date_range("2020-06-01 00:00", "2020-06-03 02:00", freq="h")
    flux = 100.0 + np.arange(len(hours), dtype=float)          # W m-2, a different value each hour
    day = (hours - pd.Timedelta(hours=1)).floor("D")           # the 00 UTC value belongs to the day before
    accumulated = pd.Series(flux * 3600, index=hours).groupby(day).cumsum()
    frame = pd.DataFrame({"ssrd": accumulated, "strd": accumulated, "str": 0 * accumulated}, index=hours)
    write_csv(tmp_path / "land.csv", frame)
    got = read_reanalysis([tmp_path / "land.csv"], "era5-land").data
    assert np.isnan(got["sr"].iloc[0])                         # 00 UTC of the first day: no hour before it
    assert np.allclose(got["sr"].to_numpy()[1:], flux[1:])
    assert np.allclose(got["lw_up"].to_numpy()[1:], flux[1:])
    midnight = got.index.get_loc(pd.Timestamp("2020-06-02 00:00"))
    assert got["sr"].iloc[midnight] == pytest.approx(flux[midnight])
    assert got["sr"].iloc[midnight + 1] == pytest.approx(flux[midnight + 1])


@pytest.mark.parametrize("form", ["csv", "netcdf"])
def test_a_reanalysis_alone_makes_the_same_site_as_the_station(tmp_path, capsys, form):
    path = tmp_path / f"kpc{SUFFIX[form]}"
    WRITERS[form](path, as_era5(kpc_l().data))
    site = tmp_path / "site"
    assert prepare.main(["--reanalysis", str(path), "--out", str(site)]) == 0
    assert "from the reanalysis alone (era5): no surface observation" in capsys.readouterr().out
    station, made = np.loadtxt(KPC_MET), np.loadtxt(site / "data/met_lv3/kpc.txt")
    assert station.shape == made.shape
    columns = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 13]
    assert np.allclose(made[:, columns], station[:, columns], atol=0 if form == "csv" else 2e-5 * 1000)
    assert np.isnan(made[:, [9, 12]]).all()
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["variables"]["lw_up"] == "strd - str" and provenance["source"]["product"] == "era5"


def distorted(truth, seed=7):
    """A 'reanalysis' of the record: biased, scaled and noisy the way a grid cell differs from a station."""
    rng = np.random.default_rng(seed)
    noise = rng.normal(size=(len(truth), 7))
    daily = np.cos(2 * np.pi * truth.index.hour.to_numpy() / 24)      # a grid cell's damped daily cycle
    return truth.assign(ta_obs=truth["ta_obs"] + 1.5 + daily + 0.3 * noise[:, 0],
                        rh=(truth["rh"] * 0.9 + 0.01 * noise[:, 1]).clip(0.05, 1),
                        wind=truth["wind"] * 1.4 + 0.5 + 0.2 * noise[:, 2].clip(-2, 2),
                        sr=truth["sr"] * 0.85, lw_down=truth["lw_down"] - 12 + 3 * noise[:, 4],
                        pressure=truth["pressure"] - 30 + 0.2 * noise[:, 6])


def test_gaps_filled_from_a_reanalysis_come_back_close_to_the_removed_hours():
    station = kpc_l()
    truth = station.data
    removed = (truth.index >= "2016-08-10 03:00") & (truth.index < "2016-08-13 03:00")
    gappy = station.replace(data=truth[~removed].assign(lw_up=np.nan))
    gappy.chosen = {q: q for q in truth.columns if q != "lw_up"}
    other = stations.Station("era5.csv", "reanalysis", distorted(truth), latitude=79.9, longitude=-24.0,
                             chosen={q: q for q in ("ta_obs", "rh", "wind", "sr", "lw_down", "lw_up", "pressure")},
                             details={"files": ["era5.csv"], "product": "era5"})
    filled = fill_from(gappy, other)
    record = filled.details["filled_from"]
    assert filled.data.index.equals(truth.index)
    assert {q: e["hours"] for q, e in record["quantities"].items()} == {
        "ta_obs": 72, "wind": 72, "rh": 72, "sr": 72, "lw_down": 72, "lw_up": 720, "pressure": 72}
    assert record["quantities"]["ta_obs"]["utc"] == ["2016-08-10 02:00 to 2016-08-13 02:00 UTC"]
    assert record["quantities"]["lw_up"]["rule"].startswith("taken as it is")
    assert 0 < record["distance_km"] < 5
    for quantity, limit in [("ta_obs", 0.6), ("wind", 0.5), ("rh", 0.03), ("sr", 1.0), ("lw_down", 6.0),
                            ("pressure", 0.5)]:
        error = filled.data.loc[removed, quantity] - truth.loc[removed, quantity]
        raw = other.data.loc[removed, quantity] - truth.loc[removed, quantity]
        assert np.sqrt((error ** 2).mean()) < limit < np.sqrt((raw ** 2).mean()), quantity
    assert (filled.data.loc[~removed, "ta_obs"] == truth.loc[~removed, "ta_obs"]).all()


def test_a_short_overlap_is_corrected_as_one_and_shortwave_through_zero():
    station = kpc_l()
    truth = station.data.iloc[:240]
    removed = (truth.index >= "2016-08-05 03:00") & (truth.index < "2016-08-07 03:00")
    gappy = station.replace(data=truth[~removed])
    cloudy = distorted(truth)
    cloudy["sr"] += 10 * np.random.default_rng(3).normal(size=len(truth))
    other = stations.Station("era5.csv", "reanalysis", cloudy, latitude=79.9, longitude=-24.0,
                             chosen={"sr": "ssrd", "ta_obs": "t2m"}, details={"files": ["era5.csv"]})
    filled = fill_from(gappy, other)
    entry = filled.details["filled_from"]["quantities"]["sr"]
    assert entry["overlap_hours"] == 192 and entry["b"] == pytest.approx(1 / 0.85, rel=0.01) and entry["a"] == 0
    assert np.allclose(filled.data.loc[removed, "sr"], other.data.loc[removed, "sr"] * entry["b"])


def test_a_station_csv_with_gaps_is_filled_through_prepare(tmp_path, capsys):
    truth = kpc_l().data
    keep = (truth.index < "2016-08-10 03:00") | (truth.index >= "2016-08-12 03:00")
    table = truth[keep].rename_axis("time").reset_index()[["time", "ta_obs", "rh", "sr", "wind", "pressure"]]
    table.to_csv(tmp_path / "station.csv", index=False, date_format="%Y-%m-%d %H:%M:%S")
    (tmp_path / "station.toml").write_text(
        'latitude = 79.91\nlongitude = -24.08\n[time]\ncolumn = "time"\nzone = "UTC"\nlabel = "end"\n[columns]\n'
        'ta_obs = { column = "ta_obs", unit = "degC" }\nrh = { column = "rh", unit = "1" }\n'
        'sr = { column = "sr", unit = "W/m2" }\nwind = { column = "wind", unit = "m/s" }\n'
        'pressure = { column = "pressure", unit = "hPa" }\n')
    write_csv(tmp_path / "era5.csv", as_era5(distorted(truth)))
    site = tmp_path / "site"
    assert prepare.main([str(tmp_path / "station.csv"), "--mapping", str(tmp_path / "station.toml"), "--out",
                         str(site), "--fill-from", str(tmp_path / "era5.csv"), "--latitude", "79.91",
                         "--longitude", "-24.08"]) == 0
    out = capsys.readouterr().out
    assert "ta_obs in 48 h from t2m" in out and "lw_down in 720 h from strd" in out
    provenance = json.loads((site / "provenance.json").read_text())
    assert provenance["filled_from"]["quantities"]["rh"]["hours"] == 48
    assert provenance["variables"]["lw_down"] == "reanalysis strd"
    assert np.loadtxt(site / "data/met_lv3/station.txt").shape == (720, 14)


def _cumulative(frame):
    return frame.assign(ssrd=frame["ssrd"].cumsum())


def _rate_in_joules(frame):
    frame = frame.assign(msdwswrf=frame["ssrd"]).drop(columns=["ssrd"])
    return frame


BAD = [
    # (what is written, extra arguments, words of the one line)
    ("pressure levels", [], "not an ERA5 or ERA5-Land single-level series: none of t2m"),
    ("ensemble members", [], "t2m: a file along number (10), another product"),
    ("other names", [], "not an ERA5 or ERA5-Land single-level series"),
    ("no time", [], "no valid_time or time"),
    ("cumulative", [], "accumulated since 00 UTC (--product era5-land)?"),
    ("hourly as land", ["--product", "era5-land"], "ssrd: falls within the day"),
    ("rate in joules", [], "msdwswrf: a mean rate up to"),
    ("disagree", [], "t2m: 2016-08-04 21:00:00 is 279.94 here but 277.94 in"),
    ("two points", [], "holds 2 grid points; give --latitude and --longitude"),
    ("no pressure", ["--estimate", "pressure"], "elevation is needed"),
    ("no pressure", ["--estimate", "pressure", "--elevation", "-4000"], "--elevation -4000: expected metres"),
]


def write_bad(tmp_path, case):
    era5 = as_era5(kpc_l().data)
    path = tmp_path / "bad.csv"
    if case == "pressure levels":
        path = tmp_path / "bad.nc"
        xr.Dataset({"t": (("valid_time", "pressure_level"), np.ones((3, 2)))},
                   coords={"valid_time": era5.index[:3], "pressure_level": [850, 500]}).to_netcdf(path)
    elif case == "ensemble members":
        path = tmp_path / "bad.nc"
        write_netcdf(path, era5, members=10)
    elif case == "other names":
        era5.rename(columns={"t2m": "T2M", "ssrd": "SWGDN"})[["T2M", "SWGDN"]].to_csv(path)
    elif case == "no time":
        era5.rename_axis("date").to_csv(path)
    elif case == "cumulative":
        write_csv(path, _cumulative(era5))
    elif case == "rate in joules":
        write_csv(path, _rate_in_joules(era5))
    elif case == "disagree":
        write_csv(path, era5)
        later = era5.iloc[90:].copy()
        later["t2m"] += 2.0
        write_csv(tmp_path / "bad2.csv", later)
        return [path, tmp_path / "bad2.csv"]
    elif case == "two points":
        both = pd.concat([era5.assign(latitude=79.9, longitude=-24.0), era5.assign(latitude=80.0, longitude=-24.0)])
        both.to_csv(path, date_format="%Y-%m-%d %H:%M:%S")
    elif case == "no pressure":
        write_csv(path, era5.drop(columns=["sp"]))
    else:
        write_csv(path, era5)
    return [path]


@pytest.mark.parametrize("case, extra, words", BAD)
def test_a_bad_reanalysis_file_is_one_line_status_2_and_nothing_written(tmp_path, capsys, case, extra, words):
    files = write_bad(tmp_path, case)
    site = tmp_path / "site"
    status = prepare.main(["--reanalysis", *map(str, files), "--out", str(site), *extra])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 2 and len(err) == 1 and words in err[0], err
    assert str(files[-1] if case == "disagree" else files[0]) in err[0] or "--elevation" in err[0]
    assert not site.exists()


@pytest.mark.parametrize("point, hours, words", [
    ((81.0, -24.0), None, "is 121 km from the station (79.910 N -24.080 E); at most 50 km"),
    (GRID, 100, "overlaps the station's air temperature in 76 h; correcting it needs at least 168 h"),
])
def test_a_reanalysis_too_far_or_too_short_is_refused_for_filling(tmp_path, point, hours, words):
    station = kpc_l()
    other = stations.Station("era5.csv", "reanalysis", station.data.iloc[:hours], latitude=point[0],
                             longitude=point[1], chosen={"ta_obs": "t2m"}, details={"files": ["era5.csv"]})
    with pytest.raises(stations.SourceError, match=words.replace("(", r"\(").replace(")", r"\)")):
        fill_from(station.replace(data=station.data.assign(ta_obs=station.data["ta_obs"].where(
            station.data.index.day != 2))), other)
