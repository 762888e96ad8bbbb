"""Results as CF-1.11 / ACDD-1.3 datasets and NetCDF files: attributes, time bounds, provenance carried along."""
import datetime
import json

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import pumak
from pumak import _core, cf
from conftest import KPC_L, assert_same_bits

PROVENANCE = {  # as pumak prepare writes it, with a longitude and a mapping
    "source": {"file": "/stations/KPC_L_hour.csv", "sha256": "5e" * 32, "layout": "promice_l3",
               "mapping": {"file": "/stations/kpc.toml", "sha256": "a1" * 32}},
    "site": {"name": "kpc_l", "latitude": 79.91, "longitude": -24.08, "n_days": 30},
    "time": {"utc_offset_hours": -2, "source_clock": "UTC"},
    "filled": [{"variable": "wind", "hours": 2}],
}


@pytest.fixture(scope="module")
def kpc(tmp_path_factory):
    """KPC_L written as a site with its provenance, read back, run, and written to NetCDF and read again."""
    original = pumak.read_site(KPC_L)
    root = tmp_path_factory.mktemp("kpc") / "site"
    site = pumak.read_site(pumak.write_site(root, original.parameters, original.met, provenance=PROVENANCE))
    results = pumak.run(site.parameters, site.met)
    dataset = pumak.to_xarray(results, site.parameters, site.met, provenance=site.provenance)
    path = cf.write_netcdf(dataset, root / "results.nc")
    with xr.open_dataset(path) as back:
        back.load()
    return site, results, dataset, back


def test_provenance_is_read_back_field_by_field(kpc):
    site, _, dataset, back = kpc
    assert site.provenance == PROVENANCE
    assert json.loads(back.attrs["provenance"]) == PROVENANCE


# attribute of the file read back -> expected value; each would show a dropped or misplaced field.
FROM_PROVENANCE = {
    "source_file": "/stations/KPC_L_hour.csv",
    "source_sha256": "5e" * 32,
    "source_layout": "promice_l3",
    "source_mapping_file": "/stations/kpc.toml",
    "source_mapping_sha256": "a1" * 32,
    "geospatial_lon_min": np.float32(-24.08),
    "geospatial_lon_max": np.float32(-24.08),
    "utc_offset_hours": np.float32(-2),
    # the clock of the provenance puts the axis in UTC: hour 1 local solar time ends 03:00 UTC
    "time_coverage_start": "2016-08-01T02:00:00Z",
    "time_coverage_end": "2016-08-31T02:00:00Z",
}


@pytest.mark.parametrize("name, value", FROM_PROVENANCE.items(), ids=FROM_PROVENANCE.keys())
def test_the_netcdf_file_says_where_its_forcing_came_from(kpc, name, value):
    assert kpc[3].attrs[name] == value


def test_source_and_history_name_the_station_file_and_its_digest(kpc):
    attrs = kpc[3].attrs
    assert "KPC_L_hour.csv (promice_l3 layout)" in attrs["source"] and attrs["source"].startswith(
        f"pumak {_core.version} pumak_metrun")
    first, last = attrs["history"].splitlines()
    assert "/stations/KPC_L_hour.csv" in first and "5e" * 32 in first
    assert last.endswith(f"pumak_metrun run by pumak {_core.version}; written by pumak.to_xarray")
    assert attrs["forcing_sha256"] == cf.forcing_digest(kpc[0].met) != cf.forcing_digest(
        kpc[0].met.assign(wind=kpc[0].met["wind"] + 1))
    assert (kpc[3]["station"].item(), kpc[3]["station"].attrs["cf_role"]) == ("kpc_l", "timeseries_id")
    assert kpc[3]["lon"].item() == np.float32(-24.08)


ACDD = {  # the conventions' highly recommended and recommended attributes, with what they must hold
    "Conventions": "CF-1.11 ACDD-1.3",
    "featureType": "timeSeries",
    "product_version": _core.version,
    "geospatial_lat_min": np.float32(79.91),
    "geospatial_lat_max": np.float32(79.91),
    "time_coverage_resolution": "PT1H",
    "time_coverage_duration": "PT720H",
    "parameter_albedo_ice": np.float32(0.45),
}


@pytest.mark.parametrize("name, value", ACDD.items(), ids=ACDD.keys())
def test_cf_and_acdd_attributes(kpc, name, value):
    assert kpc[3].attrs[name] == value


KINDS = {"text": str, "integer": np.int32, "real": np.float32}


@pytest.mark.parametrize("item", _core.parameter_items(), ids=lambda item: item["name"])
def test_each_parameter_keeps_its_kind_and_value_through_netcdf(kpc, item):
    site, _, _, back = kpc
    value = back.attrs[f"parameter_{item['name']}"]
    assert type(value) is KINDS[item["kind"]]  # an integer item written as a real would read back as one
    assert value == (value.dtype.type(site.parameters[item["name"]]) if item["kind"] != "text"
                     else site.parameters[item["name"]])


def test_id_and_date_created(kpc):
    site, results, dataset, back = kpc
    stamp = "%Y-%m-%dT%H:%M:%SZ"
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0, tzinfo=None)
    again = pumak.to_xarray(results, site.parameters, site.met, provenance=site.provenance)
    after = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    assert before <= datetime.datetime.strptime(again.attrs["date_created"], stamp) <= after
    assert datetime.datetime.strptime(back.attrs["date_created"], stamp) <= after
    other = pumak.to_xarray(results, {**site.parameters, "albedo_ice": 0.4}, site.met, provenance=site.provenance)
    assert again.attrs["id"] == dataset.attrs["id"] != other.attrs["id"]
    assert back.attrs["id"].startswith(f"pumak_{back['station'].item()}_pumak_metrun_")
    assert all(isinstance(back.attrs[name], str) and len(back.attrs[name]) > 5
               for name in ("title", "summary", "keywords", "history", "source"))


# column -> cell_methods: fluxes are hourly means, states and labels are values at the end of the hour
CELL_METHODS = {
    "melt_ice": "time: mean", "sr": "time: mean", "d_melt": "time: mean", "src_diffuse_t": "time: mean",
    "cryoconite_depth": "time: point", "sd_calc": "time: point", "sd_obs": "time: point",
    "solar_angle": "time: point", "cryo_angle": "time: point", "t_direct": "time: point",
    "hour": "time: point", "days_for_graph": "time: point",
}


@pytest.mark.parametrize("column, method", CELL_METHODS.items(), ids=CELL_METHODS.keys())
def test_cell_methods_and_units_come_from_the_column_table(kpc, column, method):
    variable = kpc[3][column]
    row = next(c for c in _core.result_columns() if c["name"] == column)
    assert variable.attrs["cell_methods"] == method
    assert (variable.attrs["units"], variable.attrs["long_name"]) == (row["unit"], row["long_name"])
    assert variable.attrs.get("standard_name", "") == row["standard_name"]


def test_time_bounds_are_the_model_hours(kpc):
    _, _, dataset, back = kpc
    for ds in (dataset, back):
        time, bounds = ds["time"].values, ds["time_bnds"].values
        assert ds["time"].attrs["bounds"] == "time_bnds"
        assert (bounds[:, 1] == time).all() and (bounds[:, 0] == time - np.timedelta64(1, "h")).all()
    assert back["time"].values[0] == np.datetime64("2016-08-01T03:00")


def test_results_survive_netcdf_to_the_bit(kpc):
    _, results, _, back = kpc
    frame = back[list(results.columns)].to_dataframe().reset_index(drop=True)[list(results.columns)]
    assert_same_bits(frame, results)


@pytest.mark.parametrize("years, why", [
    (None, "no time coordinate: the rows are the run's hours in order"),
    ({4: 2300}, "; year 2300 in record 5 is outside the years a time axis holds (1678 to 2261)"),
    ({0: 1600}, "; year 1600 in record 1 is outside the years a time axis holds (1678 to 2261)"),
    ({7: 2261}, None),
])
def test_without_a_calendar_there_is_no_time_axis_and_it_says_why(kpc, years, why):
    site, results, _, _ = kpc
    if years is None:
        dataset = pumak.to_xarray(results, site.parameters)
    else:
        year = site.met["column_1"].to_numpy().copy()
        year[list(years)] = list(years.values())
        dataset = pumak.to_xarray(results, site.parameters, site.met.assign(column_1=year))
    if why is None:
        assert dataset["time"].size == len(results) and "comment" not in dataset.attrs
        return
    assert "time" not in dataset.coords and "time_bnds" not in dataset
    assert dataset.attrs["comment"].startswith("no time coordinate") and dataset.attrs["comment"].endswith(why)
    assert dataset.attrs["Conventions"] == "CF-1.11 ACDD-1.3" and dataset["station"].item() == "kpc_l_2016_08"


BAD = {  # the argument -> the keyword arguments given
    "utc_offset NaN": ("utc_offset", dict(utc_offset=float("nan"))),
    "utc_offset infinite": ("utc_offset", dict(utc_offset=float("inf"))),
    "utc_offset beyond a day": ("utc_offset", dict(utc_offset=25)),
    "utc_offset bool": ("utc_offset", dict(utc_offset=True)),
    "utc_offset text": ("utc_offset", dict(utc_offset="-2")),
    "provenance offset NaN": ("utc_offset", dict(provenance={"time": {"utc_offset_hours": float("nan")}})),
    "results not a table": ("results", dict(results=[1, 2])),
    "parameters a list": ("parameters", dict(parameters=[("latitude", 80)])),
    "met without years": ("met", dict(met=pd.DataFrame({"month": [8]}))),
    "met years as reals": ("met", dict(met=pd.DataFrame({"column_1": np.full(720, 2016.0)}))),
    "met too short": ("met", dict(met=pd.DataFrame({"column_1": np.full(10, 2016)}))),

    "program a number": ("program", dict(program=5)),
    "unknown program": ("program", dict(program="pumak_other")),
    "provenance a list": ("provenance", dict(provenance=["x"])),
    "latitude as text": ("latitude", dict(parameters={"latitude": "79.9N"})),
    "bool as a parameter": ("n_days", dict(parameters={"n_days": True})),
}


@pytest.mark.parametrize("item, changes", BAD.values(), ids=BAD.keys())
def test_bad_arguments_to_to_xarray_name_the_argument(kpc, item, changes):
    site, results, _, _ = kpc
    arguments = {"results": results, "parameters": site.parameters, "met": site.met, **changes}
    with pytest.raises(pumak.InputError) as caught:
        pumak.to_xarray(**arguments)
    assert caught.value.item == item and item in str(caught.value)


def test_write_netcdf_refuses_what_is_not_a_dataset(tmp_path):
    with pytest.raises(pumak.InputError) as caught:
        cf.write_netcdf({"a": 1}, tmp_path / "r.nc")
    assert caught.value.item == "dataset" and not (tmp_path / "r.nc").exists()


def test_the_forcing_digest_covers_the_hours_run_only(kpc):
    site, results, dataset, _ = kpc
    longer = pd.concat([site.met, site.met.iloc[:24]], ignore_index=True)  # records the run does not read
    assert pumak.to_xarray(results, site.parameters, longer).attrs["forcing_sha256"] == dataset.attrs["forcing_sha256"]
    changed = site.met.assign(pressure=site.met["pressure"].where(site.met.index != 719, 900.0))  # the last hour
    assert pumak.to_xarray(results, site.parameters, changed).attrs["forcing_sha256"] != dataset.attrs["forcing_sha256"]
