"""pumak check: the mistakes a run does not reveal, each found at its line and item."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

from pumak import _core, check, sitefiles
from pumak.prepare import DEFAULT_PARAMETERS
from conftest import package_environment

ROOT = pathlib.Path(__file__).resolve().parents[2]
DAYS = 4
EXAMPLE_MET = "data/met_lv3/kpc_l_2016_08.txt"
COLUMN = {name: k for k, name in enumerate(check.MET_COLUMNS)}


def hour_sun(doy, latitude):
    """The model's sun over each hour (mean cosine of the zenith angle at the hour's two ends)."""
    hour = (np.arange(doy.size) % 24 + 1).astype(np.int32)
    ends = [np.cos(np.asarray(_core.solar_angle(doy.astype(np.int32), h.astype(np.int32), latitude), float))
            for h in (hour, np.where(hour > 1, hour - 1, 24))]
    return 0.5 * (np.clip(ends[0], 0, None) + np.clip(ends[1], 0, None))


def write_site(root):
    """Four clear April days at 45 N, shortwave following the model's sun."""
    hour = np.tile(np.arange(1, 25), DAYS)
    day = np.repeat(np.arange(DAYS), 24)
    sr = (900 * hour_sun(100 + day, 45.0)).round(1)
    columns = {"column_1": np.full(hour.size, 2021), "month": np.full(hour.size, 4), "day": 10 + day,
               "obs_hour": hour, "doy": 100 + day, "ta_obs": np.full(hour.size, 1.0), "wind": np.full(hour.size, 3.0),
               "rh": np.full(hour.size, 0.7), "sr": sr, "column_10": (sr / 2).round(1),
               "lw_down": np.full(hour.size, 280.0), "lw_up": np.full(hour.size, 316.0),
               "sd_sensor": 0.1 + 0.001 * np.arange(hour.size), "pressure": np.full(hour.size, 900.0)}
    (root / "run").mkdir(parents=True)
    (root / "data/met_lv3").mkdir(parents=True)
    sitefiles.write_met_file(root / "data/met_lv3/site.txt", columns)
    parameters = dict(DEFAULT_PARAMETERS, met_file="site.txt", out_file="results.csv", latitude=45.0, n_days=DAYS)
    sitefiles.write_parameter_file(root / "run/parameter.ini", parameters, 16)
    return root / "data/met_lv3/site.txt"


def example_site(root):
    """A copy of the shipped example (30 days of a station at 79.9 N in August), labels as the items' names."""
    shutil.copytree(ROOT / "example/run", root / "run")
    shutil.copytree(ROOT / "example/data", root / "data")
    text = (root / "run/parameter.ini").read_text()
    for label, name in (("lat", "latitude"), ("diameter", "cryoconite_diameter"), ("depth", "cryoconite_depth"),
                        ("unused", "item_13")):
        text = text.replace(f"\n{label} ", f"\n{name} ")
    (root / "run/parameter.ini").write_text(text)
    return root


def edit_lines(path, edit):
    lines = path.read_text().splitlines()
    edit(lines)
    path.write_text("\n".join(lines) + "\n")


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


def errors_of(run_dir, **options):
    return [f for f in check.check_site(run_dir, **options) if f.severity == "error"]


@pytest.mark.parametrize("edit, line, column, expected", [
    (set_value(30, 7, "70.0"), 30, "rh", "percent"),
    (set_value(31, 7, "-0.05"), 31, "rh", "negative in 1 record (first -0.05): the model needs a fraction 0-1 "
                                         "(first at day 2 hour 7 of the run)"),
    (set_value(32, 6, "-0.5"), 32, "wind", "negative wind speed in 1 record (first -0.5)"),
    (set_value(41, 13, "NaN"), 41, "pressure", "NaN"),
    (set_value(42, 5, "274.15"), 42, "ta_obs", "kelvin"),
    (set_value(43, 13, "90000"), 43, "pressure", "Pa"),
    (set_value(46, 13, "1101"), 46, "pressure", "outside 300-1100 hPa in 1 record (first 1101)"),
    (set_value(44, 8, "'5'"), 44, "sr", 'expected a real, found "\'5\'"'),
    (set_value(45, 2, "1.0"), 45, "day", 'expected an integer, found "1.0"'),
    (split_line, 51, "pressure", "holds 13 of the 14 values"),
    (header_line, 1, "column_1", 'expected an integer, found "year"'),
    (lambda lines: lines.__setitem__(-1, lines[-1].rsplit(" ", 2)[0]), DAYS * 24, "n_days", "ends after 95 records"),
    (lambda lines: lines.pop(60), 61, "obs_hour", "missing or repeated"),
])
def test_a_met_file_mistake_is_an_error_at_its_line(tmp_path, edit, line, column, expected):
    met = write_site(tmp_path)
    edit_lines(met, edit)
    errors = errors_of(tmp_path / "run")
    assert errors and errors[0].line == line and errors[0].column == column, errors
    assert expected in errors[0].message
    assert str(errors[0]).startswith(f"{met}:{line}: {column}: error: ")


def test_decimal_commas_in_the_met_file_are_named_at_their_first_line(tmp_path):
    site = example_site(tmp_path)
    edit_lines(site / MET, lambda lines: lines.__setitem__(slice(4, 6), [line.replace(".", ",") for line in lines[4:6]]))
    findings = [f for f in check.check_site(site / "run") if f.file.endswith(".txt")]
    assert (findings[0].line, findings[0].column, findings[0].severity) == (5, "-", "error")
    edit_lines(site / MET, lambda lines: lines.__setitem__(9, lines[9][:-3] + "," + lines[9][-2:]))  # 971,12
    again = [f for f in check.check_site(site / "run") if f.column == "-"]
    assert [f.line for f in again] == [5] and again[0].message.startswith("decimal commas? 3 line(s)")


def test_reading_goes_on_after_a_record_the_program_stops_at(tmp_path):
    met = write_site(tmp_path)
    for line in (10, 20, 30):
        edit_lines(met, set_value(line, 8, "x"))
    assert [(f.line, f.column) for f in errors_of(tmp_path / "run")] == [(10, "sr"), (20, "sr"), (30, "sr")]


# Each mistake made in a copy of the shipped example: (what, edit of the site, file, line, item,
# severity, words the message must hold, options of check_site). The mistake is the only finding,
# but for swapped lines: each of the two is named.
def edit_parameter(line, text):
    return lambda site: edit_lines(site / "run/parameter.ini", lambda lines: lines.__setitem__(line - 1, text))


def edit_met(change):
    """Changes the example's met columns: change(values) on the (720, 14) float table."""
    def edit(site):
        path = site / EXAMPLE_MET
        values = np.loadtxt(path)
        change(values)
        columns = {name: values[:, k] for k, name in enumerate(check.MET_COLUMNS)}
        sitefiles.write_met_file(path, columns)
    return edit


def late(values, hours):
    return np.concatenate([values[:1].repeat(hours), values[:-hours]]) if hours > 0 else \
        np.concatenate([values[-hours:], values[-1:].repeat(-hours)])


def column(name, f):
    def change(values):
        values[:, COLUMN[name]] = f(values)
    return change


def swap_lines(a, b):
    def edit(site):
        def swap(lines):
            lines[a - 1], lines[b - 1] = lines[b - 1], lines[a - 1]
        edit_lines(site / "run/parameter.ini", swap)
    return edit


def met_file(name):
    return edit_parameter(1, f"'{name}' results.csv")       # quoted: a slash ends an unquoted text


def make_fifo(site):
    os.mkfifo(site / "data/met_lv3/pipe.txt")
    met_file("pipe.txt")(site)


PARAMETERS, MET = "run/parameter.ini", EXAMPLE_MET
MISTAKES = [
    ("decimal comma", edit_parameter(4, "albedo_ice 0,25"), PARAMETERS, 4, "albedo_ice", "error",
     "read as 0; the rest of the line ('25') is ignored: a decimal comma? write 0.25", {}),
    ("second value", edit_parameter(9, "ch 0.002 0.003"), PARAMETERS, 9, "ch", "warning",
     "more values than ch: read as 0.002; the rest of the line ('0.003') is ignored", {}),
    ("swapped labelled lines", swap_lines(3, 4), PARAMETERS, 3, "albedo_cryo", "error",
     "labelled 'albedo_ice', the name of another item, but the program reads this value as albedo_cryo "
     "(statement 3); line 4, labelled 'albedo_cryo', is read as albedo_ice: swapped lines?", {}),
    ("a label alone on its line", edit_parameter(4, "albedo_ice\n\n0.51"), PARAMETERS, 4, "albedo_ice", "warning",
     "the label stands alone on line 4 and the program takes albedo_ice from line 6: a value missing?", {}),
    ("the file ends inside a statement", lambda site: edit_lines(site / PARAMETERS, lambda lines: lines.__setitem__(
        slice(4, None), ["ta_offset"])), PARAMETERS, 5, "ta_offset", "error", "the file ends before this value", {}),
    ("the file ends between statements", lambda site: edit_lines(site / PARAMETERS, lambda lines: lines.__delitem__(
        slice(4, None))), PARAMETERS, 4, "ta_offset", "error", "the file ends before this value", {}),
    ("a label the program cannot read", edit_parameter(6, "'diameter 100.0"), PARAMETERS, 6, "label before "
     "cryoconite_diameter", "error", "quoted text without its closing mark on the line", {}),
    ("label typo, strict", edit_parameter(4, "albedo_ise 0.51"), PARAMETERS, 4, "albedo_ice", "warning",
     "label 'albedo_ise' is not the name of albedo_ice", {"strict": True}),
    ("a comment after a value, strict", edit_parameter(5, "ta_offset 0.0 degrees"), PARAMETERS, 5, "ta_offset",
     "warning", "read as 0; the rest of the line ('degrees') is ignored", {"strict": True}),
    ("kelvin slip", edit_met(column("ta_obs", lambda v: v[:, COLUMN["ta_obs"]] - 273.15)), MET, 1, "ta_obs",
     "error", "below -90 °C in 720 records (first -269.24)", {}),
    ("longwave above melting", edit_met(column("lw_up", lambda v: v[:, COLUMN["lw_up"]] + 12)), MET, 1, "lw_up",
     "warning", "above 325.64 W m-2 in 516 of 720 hours (first 329.16, median 329.3): ice or snow at the "
     "melting point emits 315.64 W m-2", {}),
    ("record albedo", edit_met(column("column_10", lambda v: 0.25 * v[:, COLUMN["sr"]])), PARAMETERS, 4,
     "albedo_ice", "warning", "albedo_ice 0.51, but the record's albedo around solar noon (column_10 / sr, "
     "hours 11-14) is 0.25 (median of 28 sunlit days", {}),
    ("clock an hour late", edit_met(column("sr", lambda v: late(v[:, COLUMN["sr"]], 1))), MET, 1, "sr",
     "warning", "comes 0.9 h later than the model's sun: a clock 1 h off? every record moved 1 h earlier fits "
     "the sun (shift -1 h)", {}),
    ("clock an hour early", edit_met(column("sr", lambda v: late(v[:, COLUMN["sr"]], -1))), MET, 1, "sr",
     "warning", "(shift +1 h)", {}),
    ("record albedo, low sun brighter", edit_met(lambda v: v.__setitem__(
        (slice(None), COLUMN["column_10"]), np.where(np.isin(np.arange(720) % 24 + 1, [11, 12, 13, 14]), 0.3, 0.9) *
        v[:, COLUMN["sr"]])), PARAMETERS, 4, "albedo_ice", "warning", "is 0.30 (median of 28 sunlit days", {}),
    ("negative shortwave", edit_met(lambda v: v.__setitem__((10, COLUMN["sr"]), -0.5)), MET, 11, "sr", "warning",
     "negative shortwave in 1 record (first -0.5)", {}),
    ("surface sensor all zero", edit_met(column("sd_sensor", lambda v: 0.0)), MET, 1, "sd_sensor", "warning",
     "no usable surface observation: sd_sensor is constant at 0 m over the record", {}),
    ("surface sensor absent", edit_met(column("sd_sensor", lambda v: np.nan)), MET, 1, "sd_sensor", "warning",
     "no usable surface observation: sd_sensor holds no value in 720 hour(s)", {}),
    ("NUL byte in a file name", edit_parameter(1, "kpc_l\0.txt results.csv"), PARAMETERS, 1, "met_file", "error",
     "a file name cannot hold a NUL byte", {}),
    ("a slash in an unquoted file name", edit_parameter(1, "../../dev/zero results.csv"), PARAMETERS, 1, "out_file",
     "error", "no value (a slash ended the statement before it); a slash ends an unquoted text: quote a file "
     "name that holds one", {}),
    ("met file a FIFO", make_fifo, PARAMETERS, 1, "met_file", "error",
     "data/met_lv3/pipe.txt: a FIFO, not a regular file", {}),
    ("met file /dev/zero", met_file("../../../../../../../../../../../../dev/zero"), PARAMETERS, 1, "met_file",
     "error", "/dev/zero: a character device, not a regular file", {}),
    ("met file a directory", met_file("."), PARAMETERS, 1, "met_file", "error", "a directory, not a regular file",
     {}),
    ("absolute met file", met_file("/nowhere/kpc_l_2016_08.txt"), PARAMETERS, 1, "met_file", "error",
     "cannot open {run}/../data/met_lv3//nowhere/kpc_l_2016_08.txt: No such file or directory", {}),
    ("n_days beyond the record", edit_parameter(10, "n_days 31"), MET, 720, "n_days", "error",
     "the file ends after 720 records; n_days 31 in parameter.ini needs 744", {}),
    ("n_days short of the record", edit_parameter(10, "n_days 29"), MET, 697, "n_days", "warning",
     "records from here on are not read: n_days 29 uses the 696 records before this line", {}),
]


@pytest.mark.parametrize("what, edit, file, line, item, severity, words, options", MISTAKES,
                         ids=[m[0] for m in MISTAKES])
def test_each_mistake_is_named_once_at_its_line_and_item(tmp_path, what, edit, file, line, item, severity, words,
                                                         options):
    site = example_site(tmp_path)
    edit(site)
    signal.alarm(60)                    # a reader that blocks on a FIFO fails here instead of hanging
    try:
        findings = check.check_site(site / "run", **options)
    finally:
        signal.alarm(0)
    assert len(findings) == (2 if what == "swapped labelled lines" else 1), findings
    found = findings[0]
    assert (found.file, found.line, found.column, found.severity) == \
        (os.path.normpath(site / file), line, item, severity)
    assert words.format(run=site / "run") in found.message


def provenance_of(longitude, offset_from):
    """A site's provenance.json saying what its clock was set by (as prepare writes it)."""
    def edit(site):
        (site / "provenance.json").write_text(json.dumps({
            "site": {"longitude": longitude}, "time": {"utc_offset_hours": int(np.floor(longitude / 15 + 0.5)),
                                                       "utc_offset_from": offset_from}}))
    return edit


def both(*edits):
    def edit(site):
        for one in edits:
            one(site)
    return edit


# What is no mistake stays unsaid: (what, edit of the example).
NO_MISTAKE = [
    ("outgoing longwave above melting in a minority of hours",
     edit_met(column("lw_up", lambda v: np.where(np.arange(720) < 280, 335.0, v[:, COLUMN["lw_up"]])))),
    ("column_10 without reflected shortwave", edit_met(column("column_10", lambda v: 0.0))),
    ("column_10 holding another quantity", edit_met(column("column_10", lambda v: v[:, COLUMN["wind"]]))),
    ("a comment after a value", edit_parameter(5, "ta_offset 0.0 degrees")),
    ("a slash after a value", edit_parameter(5, "ta_offset 0.0 / degrees, 5")),
    ("the longitude the clock was set by", provenance_of(-24.09, "longitude -24.0900 E from the source")),
    ("lines after the records n_days uses", lambda site: edit_lines(site / MET, lambda lines: lines.extend(
        ["not a record, 'unclosed", "1 2 x"]))),
]


@pytest.mark.parametrize("what, edit", NO_MISTAKE, ids=[m[0] for m in NO_MISTAKE])
def test_what_is_no_mistake_gives_no_finding_and_no_further_reading(tmp_path, monkeypatch, what, edit):
    site = example_site(tmp_path)
    edit(site)
    counts = []
    scan = _core.scan_statements
    monkeypatch.setattr(_core, "scan_statements", lambda *args, **options: counts.append(args[2]) or
                        scan(*args, **options))
    findings = check.check_site(site / "run")
    assert findings == [] or (what.startswith("lines after") and [f.column for f in findings] == ["n_days"])
    assert counts == [16, 30 * 24 + 1]          # parameter.ini's statements; the records n_days needs, and one


def test_a_missing_line_is_named_where_the_items_shift(tmp_path):
    site = example_site(tmp_path)
    edit_lines(site / PARAMETERS, lambda lines: lines.pop(4))         # ta_offset
    findings = check.check_site(site / "run")
    assert [(f.line, f.column, f.severity) for f in findings[:2]] == [(5, "ta_offset", "error"),
                                                                      (6, "cryoconite_diameter", "error")]
    assert findings[0].message.endswith("labelled 'cryoconite_diameter', the name of another item, but the program "
                                        "reads this value as ta_offset (statement 5): a line missing or added "
                                        "above? every later item shifts")
    assert not [f for f in findings if "swapped" in f.message]
    assert (15, "fixed_cryo_angle", "the file ends before this value") in [(f.line, f.column, f.message)
                                                                           for f in findings]


def test_values_without_labels_are_named_at_the_first(tmp_path):
    site = example_site(tmp_path)
    edit_lines(site / PARAMETERS, lambda lines: lines.__setitem__(slice(1, None), [line.split()[1] for line in lines[1:]]))
    findings = check.check_site(site / "run")
    assert (findings[0].line, findings[0].column, findings[0].severity) == (2, "latitude", "error")
    assert findings[0].message == ("line 2 holds the number 79.91 where the program reads a label: a label missing? "
                                   "the program takes latitude from line 3, and every later item shifts")
    assert findings[-1].message == "the file ends before this value"


def test_labels_are_free_text_unless_strict(tmp_path):
    site = tmp_path
    shutil.copytree(ROOT / "example", site, dirs_exist_ok=True)      # its own labels: lat, diameter, ...
    edit_parameter(4, "albedo_ise 0.51")(site)
    assert check.check_site(site / "run") == []
    assert [f.column for f in check.check_site(site / "run", strict=True)] == \
        ["latitude", "albedo_ice", "cryoconite_diameter", "cryoconite_depth", "item_13"]


def test_an_absolute_met_file_is_read_where_the_programs_read_it(tmp_path):
    site = example_site(tmp_path)
    joined = site / "data/met_lv3" / tmp_path.relative_to("/") / "elsewhere.txt"
    joined.parent.mkdir(parents=True)
    shutil.copy(site / EXAMPLE_MET, joined)
    (tmp_path / "elsewhere.txt").write_text("not a record\n")          # the file the name points at
    met_file(tmp_path / "elsewhere.txt")(site)
    assert _core.met_file_path(str(tmp_path / "elsewhere.txt"), "run") == f"run/../data/met_lv3/{tmp_path}/elsewhere.txt"
    assert check.check_site(site / "run") == []


def test_the_scanner_reads_no_further_than_asked(tmp_path):
    (tmp_path / "records").write_text("1 2\n3 x\n5 6\n7 8\n")
    scan = _core.scan_statements(tmp_path / "records", [["integer", "real"]], 3)
    assert scan["first"].tolist() == [1, 2, 3]
    assert scan["reals"][:, 1].tolist() == [2.0, pytest.approx(np.nan, nan_ok=True), 6.0]
    assert [(p["statement"], p["reason"], p["item"], p["token"]) for p in scan["problems"]] == \
        [(1, "unreadable", 1, "x")]


def test_clean_sites_give_no_finding(tmp_path, capsys):
    write_site(tmp_path / "synthetic")
    assert check.check_site(tmp_path / "synthetic" / "run") == []
    assert check.main([str(ROOT / "example/run"), "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["errors"] == 0 and report["findings"] == []


def test_fixed_forcing_program_ignores_the_replaced_inputs(tmp_path):
    met = write_site(tmp_path)
    met.write_text(met.read_text().replace(" 0.7 ", " 70.0 "))
    sitefiles.write_parameter_file(tmp_path / "run/parameter.ini", dict(
        DEFAULT_PARAMETERS, met_file="site.txt", out_file="r.csv", latitude=45.0, n_days=DAYS), 13)
    assert not errors_of(tmp_path / "run", program="fixed_a")
    assert [(f.line, f.column, f.message) for f in check.check_site(tmp_path / "run", "metrun")] == \
        [(13, "k_ice_diffuse", "the file ends before this value")]


def command(*args):
    return subprocess.run([sys.executable, "-m", "pumak", "check", *map(str, args)], capture_output=True, text=True,
                          env=package_environment())


def test_command_statuses_in_reading_order(tmp_path):
    site = example_site(tmp_path)
    assert command(site / "run").returncode == 0
    edit_parameter(4, "albedo_ice 0,25")(site)
    edit_met(column("sd_sensor", lambda v: 0.0))(site)
    done = command(site / "run")
    assert (done.returncode, done.stderr) == (1, "1 error(s), 1 warning(s)\n")
    # in the order the program reads: parameter.ini, then the met file
    assert [line.split(": ")[0] for line in done.stdout.splitlines()] == \
        [f"{site}/run/parameter.ini:4", f"{site}/{EXAMPLE_MET}:1"]
    missing = command(tmp_path / "nowhere")
    assert (missing.returncode, missing.stderr) == (2, f"pumak check: {tmp_path}/nowhere: not a directory\n")


FOUR_HOURS_LATE = edit_met(column("sr", lambda v: late(v[:, COLUMN["sr"]], 4)))
# A wrong position and a wrong clock both move the shortwave off the model's sun: (what, edit of the example,
# words of the sr finding, words it must not hold). The example is at 79.91 N, 24.09 W (UTC - 2 h).
POSITION = [
    ("latitude flipped", edit_parameter(2, "latitude -79.91"), "error: at latitude 79.91 instead of -79.91 the "
     "shortwave follows the model's sun without a shift: the latitude's sign flipped?", "longitude"),
    ("longitude flipped", both(FOUR_HOURS_LATE, provenance_of(24.09, "longitude 24.0900 E from the source")),
     "error: at longitude -24.09 instead of 24.09 (provenance.json) local solar time is UTC -2 h, not +2 h, and the "
     "shortwave follows the model's sun: the longitude's sign flipped? (degrees east; west is negative); otherwise above 50 W m-2", "latitude"),
    ("longitude flipped, an hour from the meridian", both(edit_met(column("sr", lambda v: late(v[:, COLUMN["sr"]], -2))),
                                                          provenance_of(-15.0, "longitude -15.0000 E from --longitude")),
     "error: at longitude 15 instead of -15 (provenance.json) local solar time is UTC +1 h, not -1 h, and the "
     "shortwave follows the model's sun: the longitude's sign flipped? (degrees east; west is negative); otherwise "
     "the shortwave's daily cycle comes", "latitude"),
    ("clock set by --utc-offset", both(FOUR_HOURS_LATE, provenance_of(24.09, "--utc-offset 2")),
     "error: above 50 W m-2", "flipped"),
    ("no provenance", FOUR_HOURS_LATE, "every record moved 4 h earlier (shift -4 h)", "flipped"),
    ("unreadable provenance", both(FOUR_HOURS_LATE, lambda site: (site / "provenance.json").write_text("{")),
     "every record moved 4 h earlier (shift -4 h)", "flipped"),
]


@pytest.mark.parametrize("what, edit, words, never", POSITION, ids=[c[0] for c in POSITION])
def test_a_flipped_position_is_said_before_a_clock_shift(tmp_path, what, edit, words, never):
    site = example_site(tmp_path)
    edit(site)
    found = [f for f in check.check_site(site / "run") if f.column == "sr"]
    said = [f"{f.severity}: {f.message}" for f in found]
    assert len(said) == 1 and words in said[0] and never not in said[0], said
    assert f"(shift {found[0].shift_hours:+d} h)" in said[0]      # the shift tools take is the one said
