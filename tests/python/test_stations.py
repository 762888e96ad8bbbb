"""pumak.stations: a station's own file read with its units, and sub-hourly records made hourly."""

import csv
import pathlib

import numpy as np
import pandas as pd
import pytest

from pumak import stations
from pumak.errors import SourceError

ROOT = pathlib.Path(__file__).resolve().parents[2]
REAL = ROOT / "tests/data/stations/gcnet_v2_datatable10min_2022_05_head.dat"
NAMES = ["TIMESTAMP", "RECORD", "AirTC", "RH", "WS", "BP", "SWin", "SWout", "LWin", "LWout", "SR50"]
UNITS = ["TS", "RN", "Deg C", "%", "m/s", "mbar", "W/m^2", "W/m^2", "W/m^2", "W/m^2", "m"]
PROCESSING = ["", "", "Avg", "Smp", "WVc", "Avg", "Avg", "Avg", "Avg", "Avg", "Smp"]
MAPPING = ('[time]\nzone = "{zone}"\n{label}\n[columns]\nta_obs = "AirTC"\nrh = "RH"\nwind = "WS"\npressure = "BP"\n'
           'sr = "SWin"\ncolumn_10 = "SWout"\nlw_down = "LWin"\nlw_up = "LWout"\ndistance = "SR50"\n{extra}')


def toa5(path, records, units=UNITS, processing=PROCESSING, first_line=None, names=NAMES):
    """A TOA5 table; records are (stamp, values...) with None for "NAN"."""
    head = first_line or '"TOA5","Glacier1","CR3000","1234","CR3000.Std.32","CPU:glacier.CR3","5678","Table10"'
    lines = [head] + [",".join(f'"{v}"' for v in row) for row in (names, units, processing)]
    for k, (stamp, *values) in enumerate(records):
        fields = [f'"{stamp}"', str(k)] + ['"NAN"' if v is None else f"{v:g}" if isinstance(v, float) else str(v)
                                           for v in values]
        lines.append(",".join(fields))
    path.write_text("\r\n".join(lines) + "\r\n")
    return path


def mapping(path, zone="UTC", label="", extra=""):
    path.write_text(MAPPING.format(zone=zone, label=label, extra=extra))
    return path


def ten_minute_records(first="2023-07-01 01:10", count=18, temperature=None):
    """Records every 10 min; air temperature 1, 2, 3, ... unless given."""
    stamps = pd.date_range(first, periods=count, freq="10min")
    temperature = temperature if temperature is not None else [float(k + 1) for k in range(count)]
    return [(f"{t:%Y-%m-%d %H:%M:%S}", ta, 80.0, 3.0, 850.0, 400.0, 200.0, 280.0, 315.0, 2.0)
            for t, ta in zip(stamps, temperature)]


# Records stamped 01:10 .. 04:00 on the logger's clock, air temperature 1 .. 18.
@pytest.mark.parametrize("zone, label, expected", [
    # end label: hours 01:00-02:00, 02:00-03:00, 03:00-04:00 of the clock, each of six whole records
    ("UTC+01:00", "", {"2023-07-01 01:00": 3.5, "2023-07-01 02:00": 9.5, "2023-07-01 03:00": 15.5}),
    ("UTC", "", {"2023-07-01 02:00": 3.5, "2023-07-01 03:00": 9.5, "2023-07-01 04:00": 15.5}),
    # half an hour: records at 03:40 .. 06:30 UTC make the UTC hours ending 05:00 (04:10 .. 05:00) and 06:00
    ("UTC-02:30", "", {"2023-07-01 05:00": 6.5, "2023-07-01 06:00": 12.5}),
    # start label: 01:10-01:50 and 04:00 are incomplete hours at the ends, dropped
    ("UTC+01:00", 'label = "start"', {"2023-07-01 02:00": 8.5, "2023-07-01 03:00": 14.5}),
])
def test_ten_minute_records_give_hand_computed_hourly_means(tmp_path, zone, label, expected):
    table = toa5(tmp_path / "t.dat", ten_minute_records())
    hourly = stations.hourly(table, mapping(tmp_path / "m.toml", zone, label))
    means = {f"{t:%Y-%m-%d %H:%M}": v for t, v in hourly.data["ta_obs"].items()}
    assert means == expected
    assert hourly.label == "end" and hourly.details["aggregation"]["records_per_hour"] == 6


@pytest.mark.parametrize("missing, coverage, expected", [
    (2, 2 / 3, 4.5),       # 4 of 6 records: exactly at the threshold, kept (mean of 3, 4, 5, 6)
    (3, 2 / 3, None),      # 3 of 6: under it, missing
    (3, 0.5, 5.0),         # kept with a lower threshold (mean of 4, 5, 6)
    (0, 1.0, 3.5),
    (1, 1.0, None),
    (0, 0.0, "--min-coverage 0.0: expected a share above 0 and at most 1"),
])
def test_an_hour_short_of_records_is_missing(tmp_path, missing, coverage, expected):
    records = ten_minute_records()
    for k in range(missing):
        records[k] = (records[k][0], None) + records[k][2:]
    if isinstance(expected, str):
        with pytest.raises(SourceError, match=expected):
            stations.hourly(toa5(tmp_path / "t.dat", records), mapping(tmp_path / "m.toml"), coverage)
        return
    hourly = stations.hourly(toa5(tmp_path / "t.dat", records), mapping(tmp_path / "m.toml"), coverage)
    first = hourly.data["ta_obs"].iloc[0]
    assert (np.isnan(first) if expected is None else first == pytest.approx(expected))
    under = hourly.details["aggregation"]["hours_under_threshold"]
    assert under.get("ta_obs", 0) == (expected is None)
    assert hourly.data["rh"].iloc[0] == pytest.approx(0.8)   # other quantities of that hour kept


@pytest.mark.parametrize("column, unit, processing, values, quantity, expected", [
    ("AirTC", "Deg C", "Avg", [1.0] * 6, "ta_obs", 1.0),
    ("AirTC", "K", "Avg", [274.15] * 6, "ta_obs", 1.0),
    ("AirTC", "Celsius", "Avg", [-3.0] * 6, "ta_obs", -3.0),
    ("BP", "kPa", "Avg", [85.0] * 6, "pressure", 850.0),
    ("BP", "hPa", "Avg", [850.0] * 6, "pressure", 850.0),
    ("RH", "%", "Smp", [50.0] * 6, "rh", 0.5),
    ("WS", "km/h", "Avg", [36.0] * 6, "wind", 10.0),
    ("SWin", "W/m2", "Tot", [10.0, 20.0, 30.0, 40.0, 50.0, 60.0], "sr", 210.0),    # a total is summed
    ("SWin", "W/m^2", "Avg", [10.0, 20.0, 30.0, 40.0, 50.0, 60.0], "sr", 35.0),
    ("SR50", "m", "Smp", [2.0, 2.0, 2.0, 2.0, 2.1, 5.0], "distance", 2.0),        # the median, not the mean
    ("SR50", "cm", "Smp", [200.0] * 6, "distance", 2.0),
    ("SR50", "mm", "Smp", [2000.0] * 6, "distance", 2.0),
])
def test_units_and_processing_come_from_lines_3_and_4(tmp_path, column, unit, processing, values, quantity, expected):
    index = NAMES.index(column)
    units, steps = list(UNITS), list(PROCESSING)
    units[index], steps[index] = unit, processing
    records = [list(r) for r in ten_minute_records("2023-07-01 01:10", 6)]
    for record, value in zip(records, values):
        record[index - 1] = value
    station = stations.read(toa5(tmp_path / "t.dat", records, units, steps), mapping(tmp_path / "m.toml"))
    assert station.units[quantity] == unit
    hourly = stations.to_model_units(stations.aggregate(station))
    assert hourly.data[quantity].tolist() == [pytest.approx(expected)]


def test_a_unit_in_the_mapping_overrides_line_3(tmp_path):
    units = list(UNITS)
    units[NAMES.index("AirTC")] = ""
    table = toa5(tmp_path / "t.dat", ten_minute_records(count=6, temperature=[274.15] * 6), units)
    with pytest.raises(SourceError, match=r"t.dat:3: column 'AirTC': no unit given for air temperature"):
        stations.read(table, mapping(tmp_path / "m.toml"))
    text = MAPPING.format(zone="UTC", label="", extra="").replace('ta_obs = "AirTC"',
                                                                  'ta_obs = { column = "AirTC", unit = "K" }')
    (tmp_path / "m.toml").write_text(text)
    assert stations.hourly(table, tmp_path / "m.toml").data["ta_obs"].tolist() == [pytest.approx(1.0)]


def test_surface_height_becomes_a_distance_and_kelvin_is_shifted(tmp_path):
    """A mapped CSV: a surface height (up) is a distance (down) with the sign reversed."""
    stamps = pd.date_range("2023-07-01 00:00", periods=4, freq="1h")
    frame = pd.DataFrame({"time": stamps.strftime("%Y-%m-%dT%H:%M"), "t": [273.15, 274.15, 275.15, 276.15],
                          "h": [1.0, 0.9, 0.8, 0.7], "rh": 0.8, "ws": 3.0, "p": 85000.0, "sw": 100.0, "lw": 300.0,
                          "lwu": 310.0})
    frame["p"] = ["85000", "1e999", "85000", "inf"]       # an overflow and an infinity are missing values
    frame["lon"] = [49.5, 49.5, None, 49.5]
    frame.to_csv(tmp_path / "s.csv", index=False)
    (tmp_path / "m.toml").write_text(
        'longitude = { column = "lon", unit = "degrees_west" }\n'
        '[time]\ncolumn = "time"\nlabel = "start"\n[columns]\nta_obs = { column = "t", unit = "K" }\n'
        'rh = { column = "rh", unit = "1" }\nwind = { column = "ws", unit = "m/s" }\n'
        'pressure = { column = "p", unit = "Pa" }\nsr = { column = "sw", unit = "W m-2" }\n'
        'lw_down = { column = "lw", unit = "W m-2" }\nlw_up = { column = "lwu", unit = "W m-2" }\n'
        'surface_height = { column = "h", unit = "m" }\n')
    hourly = stations.hourly(tmp_path / "s.csv", tmp_path / "m.toml")
    np.testing.assert_allclose(hourly.data["distance"], [-1.0, -0.9, -0.8, -0.7])
    np.testing.assert_allclose(hourly.data["ta_obs"], [0.0, 1.0, 2.0, 3.0], atol=1e-9)
    np.testing.assert_allclose(hourly.data["pressure"], [850.0, np.nan, 850.0, np.nan])
    assert hourly.step_seconds == 3600 and hourly.label == "start" and hourly.longitude == -49.5


@pytest.mark.parametrize("zone, label", [("UTC+01:00", "end"), ("UTC-03:00", "start"), ("UTC+05:30", "end")])
def test_five_minute_csv_gives_the_hours_of_its_ten_minute_subsample(tmp_path, zone, label):
    """Each 5-minute record holds the value of the 10-minute interval it lies in."""
    five = pd.date_range("2023-07-01 00:05", "2023-07-02 00:00", freq="5min")
    if label == "start":
        five = five - pd.Timedelta(minutes=5)
    tens = five.ceil("10min") if label == "end" else five.floor("10min")
    value = np.sin(tens.asi8 / 6e11 / 7.0) * 10 + 0.01 * np.arange(len(five)) // 2
    others = [("rh", "1"), ("wind", "m/s"), ("pressure", "hPa"), ("sr", "W/m2"), ("lw_down", "W/m2"), ("lw_up", "W/m2")]
    frame = pd.DataFrame({"stamp": five.strftime("%Y-%m-%d %H:%M"), "t": value} | {q: 1.0 for q, _ in others})
    header = ('[time]\ncolumn = "stamp"\nzone = "{}"\nlabel = "{}"\n[columns]\nta_obs = {{ column = "t", unit = "degC" }}\n'
              .format(zone, label) + "".join(f'{q} = {{ column = "{q}", unit = "{u}" }}\n' for q, u in others))
    (tmp_path / "m.toml").write_text(header)
    frame.to_csv(tmp_path / "five.csv", index=False)
    on_ten = (five.minute % 10 == 0)
    frame[on_ten].to_csv(tmp_path / "ten.csv", index=False)
    by_five = stations.hourly(tmp_path / "five.csv", tmp_path / "m.toml")
    by_ten = stations.hourly(tmp_path / "ten.csv", tmp_path / "m.toml")
    assert (by_five.step_seconds, by_ten.step_seconds) == (3600, 3600)
    assert by_five.data.index.equals(by_ten.data.index) and len(by_five.data) >= 22
    np.testing.assert_allclose(by_five.data["ta_obs"], by_ten.data["ta_obs"], rtol=1e-12)
    assert (by_five.data.index.minute == 0).all()                 # whole UTC hours, also at UTC+05:30


REAL_MAPPING = (
    'latitude = { column = "Latitude", unit = "ddmm" }\nlongitude = { column = "Longitude", unit = "ddmm" }\n'
    '[time]\nzone = "UTC"\n[columns]\nta_obs = { column = "Asp_temp_L", unit = "degC" }\n'
    'rh = { column = "Humidity_L", unit = "%" }\nwind = { column = "WindSpeed_S_L", unit = "m/s" }\n'
    'pressure = { column = "Pressure_L", unit = "hPa" }\nsr = { column = "SWUpper", unit = "W/m2" }\n'
    'lw_down = { column = "LWUpper", unit = "W/m2", body_temperature = "TemperatureRadSensor" }\n'
    'lw_up = { column = "LWLower", unit = "W/m2", body_temperature = "TemperatureRadSensor" }\n'
    'distance = { column = "SR_L", unit = "m" }\n')


def test_real_toa5_table_reads_and_aggregates(tmp_path):
    (tmp_path / "m.toml").write_text(REAL_MAPPING)
    station = stations.read(REAL, tmp_path / "m.toml")
    assert station.details["logger"]["table"] == "DataTable10min" and station.details["logger"]["logger"] == "CR1000X"
    assert (station.step_seconds, station.label, len(station.data)) == (600, "end", 300)
    assert station.latitude == pytest.approx(55 + 41.31 / 60, abs=1e-4)
    assert station.longitude == pytest.approx(12 + 34.93 / 60, abs=1e-4)
    assert station.latitude_from == "the source: median of Latitude (ddmm)"
    hourly = stations.to_model_units(stations.aggregate(station))
    # read independently: the six records stamped 13:10 .. 14:00 make the hour ending 14:00
    with open(REAL, newline="") as stream:
        rows = list(csv.reader(stream))
    names = rows[1]
    six = [r for r in rows[4:] if "2022-05-16 13:10:00" <= r[0] <= "2022-05-16 14:00:00"]
    assert len(six) == 6
    expected_t = np.mean([float(r[names.index("Asp_temp_L")]) for r in six])
    lw = [float(r[names.index("LWUpper")]) + 5.670374419e-8 * (float(r[names.index("TemperatureRadSensor")])
                                                                  + 273.15) ** 4 for r in six]
    assert hourly.data.index[0] == pd.Timestamp("2022-05-16 14:00")     # 12:30-13:00 is an incomplete edge
    assert hourly.data["ta_obs"].iloc[0] == pytest.approx(expected_t)
    assert hourly.data["lw_down"].iloc[0] == pytest.approx(np.mean(lw))
    assert hourly.data["rh"].iloc[0] == pytest.approx(np.mean([float(r[names.index("Humidity_L")]) for r in six]) / 100)
    assert (hourly.data["distance"] == 0).all()


def _block(tmp_path):
    return toa5(tmp_path / "t.dat", ten_minute_records())


def _edit(path, change):
    lines = path.read_bytes().decode().split("\r\n")
    change(lines)
    path.write_bytes("\r\n".join(lines).encode("utf-8", "surrogateescape"))
    return path


def _replace_value(lines, line_number, column, value):
    fields = lines[line_number - 1].split(",")
    fields[NAMES.index(column)] = value
    lines[line_number - 1] = ",".join(fields)


def _repeat_block(lines, at=10, units=None, processing=None, keep=4):
    """A header block inserted before list index `at` (line at + 1), its lines 3 and 4 edited, cut to `keep` lines."""
    block = list(lines[:4])
    for index, (column, value) in ((2, units or (None, None)), (3, processing or (None, None))):
        if column:
            fields = block[index].split(",")
            fields[NAMES.index(column)] = f'"{value}"'
            block[index] = ",".join(fields)
    lines[at:at] = block[:keep]


def _values_after(lines, at, column, factor):
    for k in range(at, len(lines)):
        if lines[k].startswith('"20'):
            fields = lines[k].split(",")
            fields[NAMES.index(column)] = f"{float(fields[NAMES.index(column)]) * factor:g}"
            lines[k] = ",".join(fields)


# Records 1 .. 18 stand on lines 5 .. 22.
@pytest.mark.parametrize("change, expected", [
    (lambda ls: ls.insert(10, "\r\n".join(ls[:4])), ("repeated_header_blocks", [11])),
    (lambda ls: ls.insert(10, ls[9]), ("duplicate_records_dropped", 1)),
    (lambda ls: _replace_value(ls, 12, "RECORD", "20"), ("record_counter_gaps", 2)),
    (lambda ls: ls.__setitem__(8, ls[8].replace(",80,", ',"INF",').replace(",850,", ",Infinity,")), ("missing", 5)),
    (lambda ls: ls.__setitem__(0, "\ufeff" + ls[0]), None),
])
def test_logger_file_quirks_are_tolerated_and_reported(tmp_path, change, expected):
    table = _edit(_block(tmp_path), change)
    station = stations.read(table, mapping(tmp_path / "m.toml"))
    assert len(station.data) == 18
    if expected and expected[0] == "missing":
        assert np.isnan(station.data.iloc[expected[1] - 1][["rh", "pressure"]]).all()
        assert np.isfinite(station.data.drop(columns=["column_10", "distance"]).drop(index=station.data.index[4])).all().all()
    elif expected:
        key, value = expected
        found = station.details[key]
        assert (found["count"] if key == "record_counter_gaps" else found) == value
    assert set(station.details) == {"logger"} | ({expected[0]} if expected and expected[0] != "missing" else set())
    assert np.isfinite(stations.aggregate(station).data["ta_obs"]).all()


@pytest.mark.parametrize("change, expected", [
    (lambda ls: ls.insert(10, ls[9].replace(",6,80,", ",6.5,80,", 1)),
     r"t.dat:11: TIMESTAMP: 2023-07-01 02:00:00 repeats the stamp of line 10 with other values \(ta_obs\)"),
    (lambda ls: ls.insert(10, ls[6]),
     r"t.dat:11: TIMESTAMP: not in time order: 2023-07-01 01:30:00 goes back before 2023-07-01 02:00:00 of line 10"),
    (lambda ls: ls.__setitem__(9, ls[9].replace("02:00:00", "02:04:00")),
     r"t.dat:10: TIMESTAMP: 2023-07-01 02:04:00 is off the 10-minute grid"),
    (lambda ls: ls.__setitem__(9, ls[9].replace("02:00:00", "yesterday")),
     r"t.dat:10: TIMESTAMP: expected a date and time, found '2023-07-01 yesterday'"),
    (lambda ls: ls.__setitem__(9, ls[9] + ",1"), r"t.dat:10: holds 12 fields, line 2 names 11 columns"),
    (lambda ls: ls.__setitem__(9, ls[9].replace(",80,", ",eighty,")), r"t.dat:10: RH: expected a number"),
    (lambda ls: ls.__setitem__(2, ls[2].replace('"mbar"', '"psi"')),
     r"t.dat:3: column 'BP': unit 'psi' of air pressure not understood"),
    (lambda ls: ls.__setitem__(slice(2, None), []), r"t.dat: ends inside its header block at line 2"),
    (lambda ls: ls.__setitem__(9, '"2023-07-01 02:00:00",' + "9" * 10_000_000), r"t.dat:10: cannot read as a TOA5 line: field larger than field limit"),
    (lambda ls: ls.__setitem__(9, "\x00\xff\xfe garbage \x01"), r"t.dat:10: control character 0x00 inside a value"),
    (lambda ls: _repeat_block(ls, processing=("SWin", "Tot")),
     r"t.dat:14: column 'SWin': processing 'Tot' in the header block repeated at line 11, 'Avg' in line 4"),
    (lambda ls: _repeat_block(ls, units=("BP", "psi")), r"t.dat:13: column 'BP': unit 'psi' of air pressure not"),
    (lambda ls: _repeat_block(ls, keep=2),
     r"t.dat:13: the header block repeated at line 11 is cut short: expected its units line .*found a record"),
    (lambda ls: _repeat_block(ls, at=len(ls) - 1, keep=3),
     r"t.dat:26: the header block repeated at line 23 is cut short: expected its processing line .*end of the file"),
    (lambda ls: ls.__setitem__(9, ls[9].replace(",850,", ",7\x00 51.174,")),
     r"t.dat:10: control character 0x00 inside a value"),
    (lambda ls: ls.__setitem__(12, ls[12].replace(",850,", ",8\x0c50,")), r"t.dat:13: control character 0x0c"),
    (lambda ls: ls.__setitem__(9, ls[9].replace(",850,", "," + "9" * 10_000_000 + ",")),
     r"t.dat:10: BP: expected a number, found a field of 10000000 characters"),
])
def test_logger_file_faults_are_one_line_naming_the_lines(tmp_path, change, expected):
    table = _edit(_block(tmp_path), change)
    with pytest.raises(SourceError, match=expected) as error:
        stations.read(table, mapping(tmp_path / "m.toml"))
    assert "\n" not in str(error.value) and len(str(error.value)) < 400


# (source: a TOA5 table or a CSV, the mapping's text, the refusal)
@pytest.mark.parametrize("is_csv, text, expected", [
    (False, '[time]\nzone = "UTC+99"\n[columns]\nta_obs = "AirTC"\n', r"m.toml: time.zone: 'UTC\+99' is no zone"),
    (False, 'columns = 5\n[time]\nzone = "UTC"\n', r"m.toml: columns: expected a table \[columns\] .*found an integer 5"),
    (False, '[time]\nzone = "UTC"\n[columns]\nta_obs = 5\n', r"m.toml: columns.ta_obs: expected a column name or a table"),
    (False, '[time]\nzone = "UTC"\nlabel = "middle"\n', r"m.toml: \[time\]: expected column"),
    (False, '[columns]\nta_obs = "AirTC"\n', r"m.toml: time.zone: the logger clock's zone is required"),
    (False, 'header_line = 1\n[time]\nzone = "UTC"\n', r"m.toml: header_line: not used for a TOA5 table"),
    (False, MAPPING.format(zone="UTC", label="", extra="").replace('"RH"', '"Humidity"'),
     r"m.toml: columns.rh.column: no column 'Humidity' in the header of .*t.dat"),
    (False, "[time\n", r"m.toml: not a TOML file"),
    (True, 'header_line = "1"\n[time]\ncolumn = "t"\nlabel = "end"\n', r"header_line: expected a line number .*found a text '1'"),
    (True, 'delimiter = 5\n[time]\ncolumn = "t"\nlabel = "end"\n', r"delimiter: expected one character"),
    (True, '[time]\ncolumn = "t"\nlabel = "end"\n[columns]\nrh = { column = "x" }\n', r"columns.rh: expected column .* and unit"),
    (True, 'latitude = "north"\n[time]\ncolumn = "t"\nlabel = "end"\n', r"latitude.*no column 'north'"),
])
def test_mapping_faults_are_one_line(tmp_path, is_csv, text, expected):
    (tmp_path / "s.csv").write_text("t,x\n2023-01-01 00:00,1\n")
    (tmp_path / "m.toml").write_text(text)
    with pytest.raises(SourceError, match=expected):
        stations.read(tmp_path / "s.csv" if is_csv else _block(tmp_path), tmp_path / "m.toml")


@pytest.mark.parametrize("value, expected", [
    (5541.31076, 55 + 41.31076 / 60), (-4930.0, -49.5), (1234.92969, 12 + 34.92969 / 60), (45.0, 0.75),
    (4960.0, None),           # 60 minutes: not a ddmm position
])
def test_ddmm_positions(value, expected):
    found = stations.ddmm_degrees(np.array([value]))[0]
    assert (np.isnan(found) if expected is None else found == pytest.approx(expected, abs=1e-12))


def test_read_is_usable_before_any_site(tmp_path):
    table = toa5(tmp_path / "t.dat", ten_minute_records())
    station = stations.read(table, mapping(tmp_path / "m.toml", "UTC+01:00"))
    assert station.clock.startswith("UTC+01:00") and station.zone_offset_hours == 1.0
    assert station.lines.tolist() == list(range(5, 23))
    assert station.data.index[0] == pd.Timestamp("2023-07-01 01:10")         # the logger's clock, untouched
    utc = stations.to_utc(station)
    assert utc.data.index[0] == pd.Timestamp("2023-07-01 00:10") and station.data.index[0].hour == 1
    with pytest.raises(SourceError, match="give --mapping FILE"):
        stations.read(table)


PRODUCT = ROOT / "example/promice_l3/l3_hourly_2023_12.csv"
GENERIC = ('[time]\ncolumn = "time"\nlabel = "start"\n{time}\n[columns]\nta_obs = {{ column = "t_u", unit = "degC" }}\n'
           'rh = {{ column = "rh_u", unit = "%" }}\nwind = {{ column = "wspd_u", unit = "m/s" }}\n'
           'pressure = {{ column = "p_u", unit = "hPa" }}\nsr = {{ column = "dsr", unit = "W/m2" }}\n'
           'lw_down = {{ column = "dlr", unit = "W/m2" }}\nlw_up = {{ column = "ulr", unit = "W/m2" }}\n')


def product_copy(path, drop=(), sep=",", empty=(), rows=30):
    """The first rows of the shipped product sample, some columns dropped or emptied."""
    frame = pd.read_csv(PRODUCT, dtype=str, keep_default_na=False).head(rows).drop(columns=list(drop))
    for column in empty:
        frame[column] = ""
    frame.to_csv(path, index=False, sep=sep)
    return path


@pytest.mark.parametrize("source, expected", [
    ("toa5", r"m.toml: columns: the model cannot run without incoming longwave \(lw_down\), outgoing longwave "
             r"\(lw_up\) and air pressure \(pressure\): the file has no column mapped to them; --estimate "
             r"lw_down,lw_up,pressure can stand in for them; --fill-from FILE fills from a reanalysis$"),
    ("product", r"l3.csv: the model cannot run without incoming longwave \(lw_down; dlr\) and air pressure "
                r"\(pressure; p_u\): the file has no variable of them with values; --estimate lw_down,pressure "
                r"can stand in for them; --fill-from FILE fills from a reanalysis$"),
    ("product emptied", r"l3.csv: the model cannot run without air pressure \(pressure; p_u holds no value\): "
                        r"the file has no variable of it with values; --estimate pressure can stand in for it; "
                        r"--fill-from FILE fills from a reanalysis$"),
    ("mapped", r"m.toml: columns: the model cannot run without incoming shortwave \(sr\) and outgoing longwave "
               r"\(lw_up\): the file has no column mapped to them; --estimate lw_up can stand in for it; "
               r"--fill-from FILE fills from a reanalysis$"),
])
def test_every_missing_quantity_is_named_in_one_refusal(tmp_path, source, expected):
    if source == "toa5":
        table = _block(tmp_path)
        text = MAPPING.format(zone="UTC", label="", extra="")
        for line in ('lw_down = "LWin"\n', 'lw_up = "LWout"\n', 'pressure = "BP"\n'):
            text = text.replace(line, "")
        (tmp_path / "m.toml").write_text(text)
        arguments = (table, tmp_path / "m.toml")
    elif source == "mapped":
        table = product_copy(tmp_path / "l3.csv")
        (tmp_path / "m.toml").write_text(GENERIC.format(time="").replace('sr = { column = "dsr", unit = "W/m2" }\n', "")
                                         .replace('lw_up = { column = "ulr", unit = "W/m2" }\n', ""))
        arguments = (table, tmp_path / "m.toml")
    else:
        arguments = (product_copy(tmp_path / "l3.csv", drop=["p_u", "dlr"]) if source == "product"
                     else product_copy(tmp_path / "l3.csv", empty=["p_u"]),)
    with pytest.raises(SourceError, match=expected):
        stations.read(*arguments)


@pytest.mark.parametrize("sep, mapped, expected", [
    (",", None, None), (";", None, None), ("\t", None, None), (" ", None, None),
    (";", "whitespace", r"no column 'time' in the header of .*l3.csv \(line 1 split at 'whitespace' as the mapping"),
    ("|", None, r"time.column: no column 'time' in the header of .*l3.csv \(line 1 splits into none of the mapped "
                r"columns at ',', ';', tab and whitespace\)"),
])
def test_the_delimiter_of_a_mapped_csv_is_found_from_its_header(tmp_path, sep, mapped, expected):
    # the product's stamps hold a blank: as two columns, so that blanks may separate them too
    frame = pd.read_csv(PRODUCT, dtype=str, keep_default_na=False).head(30)
    if sep == " ":     # empty fields do not survive blanks; a tab keeps them, and blanks would not
        frame = frame.replace("", "NaN")
    frame.insert(1, "clock", frame["time"].str[11:])
    frame["time"] = frame["time"].str[:10]
    frame.to_csv(tmp_path / "l3.csv", index=False, sep=sep)
    frame.to_csv(tmp_path / "c.csv", index=False)
    text = GENERIC.format(time="").replace('column = "time"', 'column = ["time", "clock"]')
    (tmp_path / "m.toml").write_text(("" if mapped is None else f'delimiter = "{mapped}"\n') + text)
    if expected:
        with pytest.raises(SourceError, match=expected):
            stations.read(tmp_path / "l3.csv", tmp_path / "m.toml")
        return
    station = stations.read(tmp_path / "l3.csv", tmp_path / "m.toml")
    reference = stations.read(tmp_path / "c.csv", tmp_path / "m.toml")
    pd.testing.assert_frame_equal(station.data, reference.data)
    assert len(station.data) == 30 and np.isfinite(station.data["ta_obs"]).all()
    assert station.notes[-1].endswith({",": "commas", ";": "semicolons", "\t": "tabs", " ": "blanks"}[sep])


@pytest.mark.parametrize("columns, chosen, expected", [
    ('sr = "dsr"', {"sr": "dsr", "lw_down": "dlr"}, None),
    ('rh = { column = "rh_u_wrt_ice_or_water", unit = "%" }\nsr = "dsr"', {"rh": "rh_u_wrt_ice_or_water", "sr": "dsr"},
     None),
    ('lw_down = "t_rad"', None, r"m.toml: column 't_rad': no unit given for incoming longwave"),
    ('pressure = { column = "p_u", missing = [784.5] }', {}, None),         # its first hour is missing
    ('wind = "wspd_l"\nta_obs = "wspd_l"', None, r"m.toml: columns.ta_obs: column 'wspd_l' is mapped to wind too"),
    ('sr = "nothing"', None, r"m.toml: columns.sr.column: no column 'nothing' in .*l3.csv"),
])
def test_a_mapping_of_columns_overrides_them_over_the_product(tmp_path, columns, chosen, expected):
    (tmp_path / "m.toml").write_text(f"[columns]\n{columns}\n")
    table = product_copy(tmp_path / "l3.csv")
    if expected:
        with pytest.raises(SourceError, match=expected):
            stations.read(table, tmp_path / "m.toml")
        return
    plain, over = stations.read(table), stations.read(table, tmp_path / "m.toml")
    assert over.chosen == plain.chosen | chosen and over.layout.startswith(plain.layout)
    frame = pd.read_csv(table)
    if "missing" in columns:
        frame["p_u"] = frame["p_u"].replace(784.5, np.nan)
    for quantity, column in over.chosen.items():
        np.testing.assert_array_equal(over.data[quantity], frame[column])
    assert over.label == plain.label and over.clock == plain.clock and over.latitude == plain.latitude


OLDER_HEADER = ("Year MonthOfYear DayOfMonth HourOfDayUTC AirPressure(hPa) AirTemperature(C) "
                "RelativeHumidity_wrtWater(%) RelativeHumidity(%) WindSpeed(m/s) ShortwaveRadiationDown(W/m2) "
                "LongwaveRadiationDown(W/m2) LongwaveRadiationUp(W/m2) HeightStakes(cm) ")
DEGREES = ("LatitudeGPS LongitudeGPS", "67.5 49.9")        # the longitude positive west
DDMM = ("LatitudeGPSddmm LongitudeGPSddmm", "6730.0 4954.0")


@pytest.mark.parametrize("water_gaps, ice_gaps, mapping_text, chosen, unit, position", [
    ((3, 4), (), None, "RelativeHumidity(%)", "%", DEGREES),                # the other is whole: taken, said
    ((3, 4), (7,), None, "RelativeHumidity_wrtWater(%)", "%", DDMM),        # each lacks hours: wrt water kept
    ((), (), None, "RelativeHumidity_wrtWater(%)", "%", DDMM),
    ((3, 4), (), '[columns]\nrh = "RelativeHumidity_wrtWater"\n', "RelativeHumidity_wrtWater(%)", "%", DEGREES),
    ((), (), '[columns]\ndistance = "HeightStakes"\n', "RelativeHumidity_wrtWater(%)", "cm", DEGREES),
    ((), (), '[columns]\nsurface_height = "HeightStakes"\n', "RelativeHumidity_wrtWater(%)", "cm", DDMM),
    ((), (), '[columns]\nrh = "RelativeHumidity"\nta_obs = "relative_humidity(%)"\n',
     r"m.toml: columns.ta_obs: column 'RelativeHumidity\(%\)' is mapped to rh too", None, DEGREES),
])
def test_older_layout_humidity_position_and_column_overrides(tmp_path, water_gaps, ice_gaps, mapping_text, chosen,
                                                             unit, position):
    rows = [f"2016 7 1 {h} 850 1 {-999 if h in water_gaps else 80} {-999 if h in ice_gaps else 81} 4 100 280 316 "
            f"{150 + h} {'-999 -999' if h == 1 else position[1]}" for h in range(10)]
    (tmp_path / "older.txt").write_text(OLDER_HEADER + position[0] + "\n" + "\n".join(rows) + "\n")
    if mapping_text:
        (tmp_path / "m.toml").write_text(mapping_text)
    if unit is None:
        with pytest.raises(SourceError, match=chosen):
            stations.read(tmp_path / "older.txt", tmp_path / "m.toml")
        return
    station = stations.read(tmp_path / "older.txt", tmp_path / "m.toml" if mapping_text else None)
    assert station.chosen["rh"] == chosen and station.label == "start"      # HourOfDayUTC starts its hour
    said = [note for note in station.notes if "with respect to ice" in note]
    assert len(said) == (chosen == "RelativeHumidity(%)")
    assert (station.chosen.get("distance"), station.units["distance"], station.height) == (
        ("HeightStakes(cm)", unit, "surface_height" in mapping_text) if mapping_text and "Stakes" in mapping_text
        else (None, "", False))
    assert station.latitude == pytest.approx(67.5) and station.longitude == pytest.approx(-49.9)
    assert station.latitude_from == "the source: median of " + position[0].split()[0] + (
        " (ddmm)" if position is DDMM else "")


# Records 1 .. 18 stand on lines 5 .. 22; a block inserted at line 11 moves record 7 on to line 15.
@pytest.mark.parametrize("change", [
    lambda ls: (_repeat_block(ls, units=("WS", "km/h")), _values_after(ls, 14, "WS", 3.6)),
    lambda ls: (_repeat_block(ls, units=("AirTC", "K")),
                [ls.__setitem__(k, ls[k].replace(f",{k - 7},80,", f",{k - 7 + 273.15:g},80,"))
                 for k in range(14, len(ls)) if ls[k].startswith('"20')]),
    lambda ls: _repeat_block(ls, units=("RECORD", "counts"), processing=("RECORD", "Smp")),   # a column not used
    lambda ls: ([ls.__setitem__(k, ls[k].replace(f",{k - 3},80,", f",{k - 3 + 273.15:g},80,")) for k in range(4, 10)],
                _replace_value(ls, 3, "AirTC", '"K"'), _repeat_block(ls, units=("AirTC", "Deg C"))),   # K, then °C
    lambda ls: (_values_after(ls, 4, "BP", 100.0), _repeat_block(ls, units=("BP", "hPa")),
                _values_after(ls, 14, "BP", 0.01), _replace_value(ls, 3, "BP", '"Pa"')),
])
def test_a_header_block_repeated_with_other_units_converts_the_records_after_it(tmp_path, change):
    table = _edit(_block(tmp_path), change)
    station = stations.to_model_units(stations.read(table, mapping(tmp_path / "m.toml")))
    reference = stations.to_model_units(stations.read(_block(tmp_path / ".."), mapping(tmp_path / "m.toml")))
    pd.testing.assert_frame_equal(station.data, reference.data, check_exact=False, rtol=1e-12)
    assert station.details["repeated_header_blocks"] == [11]


def test_a_changed_unit_the_mapping_gives_is_refused_in_the_real_table(tmp_path):
    lines = REAL.read_bytes().split(b"\n")
    units = lines[2].split(b",")
    units[2] = b'"kPa"'        # Pressure_L, whose unit the mapping gives
    lines[100:100] = lines[:2] + [b",".join(units)] + lines[3:4]
    (tmp_path / "t.dat").write_bytes(b"\n".join(lines))
    (tmp_path / "m.toml").write_text(REAL_MAPPING)
    with pytest.raises(SourceError, match=r"t.dat:103: column 'Pressure_L': unit 'kPa' in the header block repeated "
                                          r"at line 101, '' in line 3; the mapping's unit cannot hold for both"):
        stations.read(tmp_path / "t.dat", tmp_path / "m.toml")


@pytest.mark.parametrize("stamps, time, expected", [
    (["02.06.2023 10:00", "02.06.2023 11:00", "02.06.2023 12:00"], 'format = "%d.%m.%Y %H:%M"', "2023-06-02 10:00"),
    (["02.06.2023 10:00", "02.06.2023 11:00", "2023-06-02 12:00"], 'format = "%d.%m.%Y %H:%M"',
     r"s.csv:4: time: '2023-06-02 12:00' does not match time.format '%d.%m.%Y %H:%M' of the mapping"),
    (["02/06/2023 10:00", "02/06/2023 11:00", "02/06/2023 12:00"], 'format = "%d.%m.%Y %H:%M"',
     r"s.csv:2: time: '02/06/2023 10:00' does not match time.format"),
    (["2023-06-02T10:00+01:00", "2023-06-02T11:00+01:00", "2023-06-02T12:00+01:00"], 'zone = "UTC+01:00"',
     "2023-06-02 09:00"),
    (["2023-06-02T10:00+01:00", "2023-06-02T11:00+01:00", "2023-06-02T12:00+01:00"], "", "2023-06-02 09:00"),
    (["2023-06-02T09:00Z", "2023-06-02T10:00Z", "2023-06-02T11:00Z"], 'zone = "UTC"', "2023-06-02 09:00"),
    (["2023-06-02T14:30+0530", "2023-06-02T15:30+0530", "2023-06-02T16:30+0530"], 'zone = "UTC+05:30"',
     "2023-06-02 09:00"),
    (["2023-06-02T10:00+01:00", "2023-06-02T11:00+01:00", "2023-06-02T13:00+02:00"], 'zone = "UTC+01:00"',
     r"m.toml: time.zone: 'UTC\+01:00' conflicts with the offset of the stamp '2023-06-02T13:00\+02:00' at .*s.csv:4"),
    (["2023-06-02T10:00+01:00", "2023-06-02T11:00+01:00", "2023-06-02T12:00+01:00"], 'zone = "local solar"',
     r"m.toml: time.zone: 'local solar' conflicts with the offset of the stamp '2023-06-02T10:00\+01:00' at"),
    (["2023-06-02 10:00", "2023-06-02 12:00", "2023-06-02 14:00"], "", r"s.csv: time: not hourly: most records are 2 h"),
    (["2023-06-02T10:00+01:00", "2023-06-02T11:00", "2023-06-02T12:00+01:00"], "",
     r"s.csv:3: time: '2023-06-02T11:00' carries no offset from UTC, the stamps before it do"),
])
def test_stamps_follow_the_format_and_their_own_offset_once(tmp_path, stamps, time, expected):
    frame = pd.DataFrame({"time": stamps} | {q: [1.0, 2.0, 3.0] for q in ("t", "rh", "ws", "p", "sw", "ld", "lu")})
    frame.to_csv(tmp_path / "s.csv", index=False)
    (tmp_path / "m.toml").write_text(
        f'[time]\ncolumn = "time"\nlabel = "start"\n{time}\n[columns]\n' + "".join(
            f'{q} = {{ column = "{c}", unit = "{u}" }}\n' for q, c, u in [
                ("ta_obs", "t", "degC"), ("rh", "rh", "1"), ("wind", "ws", "m/s"), ("pressure", "p", "hPa"),
                ("sr", "sw", "W/m2"), ("lw_down", "ld", "W/m2"), ("lw_up", "lu", "W/m2")]))
    if not expected[0].isdigit():
        with pytest.raises(SourceError, match=expected):
            stations.read(tmp_path / "s.csv", tmp_path / "m.toml")
        return
    utc = stations.to_utc(stations.read(tmp_path / "s.csv", tmp_path / "m.toml"))
    assert utc.data.index[0] == pd.Timestamp(expected) and utc.step_seconds == 3600


def test_a_mapping_of_columns_over_the_product_as_netcdf(tmp_path):
    frame = pd.read_csv(PRODUCT, parse_dates=["time"]).head(30).set_index("time")
    import xarray
    dataset = xarray.Dataset.from_dataframe(frame[["t_u", "rh_u", "wspd_u", "p_u", "dsr", "dlr", "ulr", "t_rad"]])
    dataset["p_u"] = dataset["p_u"] * 100.0
    dataset["p_u"].attrs["units"] = "Pa"
    dataset["t_rad"].attrs["units"] = "degC"
    dataset.to_netcdf(tmp_path / "l3.nc")
    for unit, expected in (("", frame["t_rad"]), (', unit = "K"', frame["t_rad"] - 273.15)):
        (tmp_path / "m.toml").write_text(f'[columns]\nta_obs = {{ column = "t_rad"{unit} }}\n')
        station = stations.to_model_units(stations.read(tmp_path / "l3.nc", tmp_path / "m.toml"))
        np.testing.assert_allclose(station.data["ta_obs"], expected)
        np.testing.assert_allclose(station.data["pressure"], frame["p_u"])      # the file's own Pa still honoured
    (tmp_path / "m.toml").write_text('[time]\nzone = "UTC"\n[columns]\nsr = "dsr"\n')
    with pytest.raises(SourceError, match=r"m.toml: time: not used for the PROMICE/GC-Net hourly product \(NetCDF\)"):
        stations.read(tmp_path / "l3.nc", tmp_path / "m.toml")


@pytest.mark.parametrize("surface", [None, "z_surf_combined"])
def test_product_prefers_the_corrected_shortwave_and_the_surface_height(tmp_path, surface):
    frame = pd.read_csv(PRODUCT, dtype=str, keep_default_na=False)
    frame.loc[3, "t_u"] = "-999"           # the sentinel of older processing: missing, never -999 °C
    if surface:
        frame[surface] = [f"{-k / 100:g}" for k in range(len(frame))]
    frame.to_csv(tmp_path / "l3.csv", index=False)
    station = stations.read(tmp_path / "l3.csv")
    assert (station.chosen["sr"], station.chosen["column_10"], station.chosen["distance"], station.height) == (
        "dsr_cor", "usr_cor", surface or "z_boom_cor_u", surface is not None)
    np.testing.assert_array_equal(station.data["sr"], pd.read_csv(PRODUCT)["dsr_cor"])
    assert np.isnan(station.data["ta_obs"].iloc[3]) and np.isfinite(station.data["ta_obs"].iloc[:3]).all()
    assert station.units["rh"] == "%" and station.label == "start"
