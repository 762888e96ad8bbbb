"""Tests of tools/plot_results.py on small results tables written to temporary folders."""
import json
import math
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "tools" / "plot_results.py"
sys.path.insert(0, str(TOOL.parent))
import plot_results  # noqa: E402

HEADER = ("days_for_graph,month,day,hour,sd_obs,sd_calc,nsr_ice,nlr_ice,sh_ice,lh_ice,melt_ice,"
          "nsr_cryo,nlr_cryo,sh_cryo,lh_cryo,melt_cryo,cryo_angle,solar_angle,d_nsr,d_nlr,d_sh,"
          "d_lh,d_melt,cryoconite_depth,sr,sr_direct,sr_diffuse,src_direct,src_diffuse,t_direct,"
          "t_diffuse,k_direct,k_diffuse,src_diffuse_t").split(",")


def table_text(rows):
    """A results table; each row is {column: text or number}, other columns are 0."""
    lines = [",".join(HEADER)]
    for i, row in enumerate(rows):
        base = {"days_for_graph": 214 + (i + 1) / 24, "month": 8, "day": 1 + i // 24,
                "hour": i % 24 + 1}
        base.update(row)
        lines.append(",".join(str(base.get(name, 0)) for name in HEADER))
    return "\n".join(lines) + "\n"


# Hand-made hours.  Relative to the first hour: obs 0, .1, .3, .6 and calc 0, .2, .4, .8.
#   calc - obs = 0, .1, .1, .2           -> bias = .4 / 4 = +0.1
#   squares    = 0, .01, .01, .04        -> RMSE = sqrt(.06 / 4) = sqrt(.015) = 0.1224745
#   obs deviations from mean .25:  -.25 -.15 .05 .35   Sxx = .21
#   calc deviations from mean .35: -.35 -.15 .05 .45   Syy = .35,  Sxy = .27
#   r = .27 / sqrt(.21 * .35) = .27 / .2711088 = 0.9959100
# The raw columns start at 1.0 and -0 so that a fit of raw values would differ.
HAND = [
    {"sd_obs": 1.0, "sd_calc": "-0.00000000E+00", "cryoconite_depth": 100},
    {"sd_obs": 1.1, "sd_calc": 0.2, "cryoconite_depth": 90},
    {"sd_obs": 1.3, "sd_calc": 0.4, "cryoconite_depth": 120},
    {"sd_obs": 1.6, "sd_calc": 0.8, "cryoconite_depth": 110},
]


class ToolCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = Path(tmp.name)

    def write(self, name, content):
        path = self.dir / name
        (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
        return path

    def run_tool(self, *args):
        return subprocess.run([sys.executable, str(TOOL), *map(str, args)],
                              capture_output=True, text=True, timeout=120)

    def assert_hand_fit(self, s):
        self.assertEqual(s["pairs"], 4)
        self.assertAlmostEqual(s["final_obs_lowering_m"], 0.6, places=12)
        self.assertAlmostEqual(s["final_calc_lowering_m"], 0.8, places=12)
        self.assertAlmostEqual(s["bias_m"], 0.1, places=12)
        self.assertAlmostEqual(s["rmse_m"], 0.1224745, places=7)
        self.assertAlmostEqual(s["correlation"], 0.9959100, places=7)
        self.assertEqual((s["depth_initial_mm"], s["depth_final_mm"],
                          s["depth_min_mm"], s["depth_max_mm"]), (100, 110, 90, 120))


class Statistics(ToolCase):
    def test_hand_table_through_json(self):
        table = self.write("hand.csv", table_text(HAND))
        out = self.run_tool(table, "--no-plot", "--json", self.dir / "fit.json")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("correlation 0.9959", out.stdout)
        s = json.loads((self.dir / "fit.json").read_text())
        self.assertEqual((s["hours"], s["hours_with_nonfinite"], s["nonfinite"]), (4, 0, {}))
        self.assert_hand_fit(s)

    def test_nonfinite_hours_are_skipped_and_counted(self):
        rows = HAND[:2] + [
            {"sd_obs": "NaN", "sd_calc": 0.3, "cryoconite_depth": "Inf"},
            {"sd_obs": 1.2, "sd_calc": "-Inf", "melt_ice": "nan", "cryoconite_depth": 95},
            {"sd_obs": 1.25, "sd_calc": "inf", "src_direct": "-inf", "cryoconite_depth": 95},
        ] + HAND[2:]
        out = self.run_tool(self.write("gaps.csv", table_text(rows)), "--no-plot", "--json", "-")
        self.assertEqual(out.returncode, 0, out.stderr)
        s = json.loads(out.stdout)          # with "-" standard output holds only the JSON
        self.assertEqual(s["hours"], 7)
        self.assertEqual(s["hours_with_nonfinite"], 3)
        self.assertEqual(s["nonfinite"], {"sd_obs": 1, "sd_calc": 2, "cryoconite_depth": 1,
                                          "melt_ice": 1, "src_direct": 1})
        self.assert_hand_fit(s)

    def test_constant_series_has_undefined_correlation(self):
        rows = [dict(r, sd_calc=0.5) for r in HAND]
        s = plot_results.summarise(plot_results.read_table(self.write("c.csv", table_text(rows))), "c")
        self.assertIsNone(s["correlation"])
        self.assertAlmostEqual(s["bias_m"], -0.25, places=12)     # calc 0, obs mean .25
        self.assertIn("correlation undefined", plot_results.format_summary(s))


class BadInput(ToolCase):
    def assert_rejected(self, path, what):
        out = self.run_tool(path)
        self.assertNotEqual(out.returncode, 0)
        self.assertEqual(len(out.stderr.strip().splitlines()), 1, out.stderr)
        self.assertIn(path.name, out.stderr)
        self.assertIn(what, out.stderr)
        self.assertEqual(list(self.dir.glob("*.png")), [])

    def test_header_only_table(self):
        path = self.write("empty.csv", ",".join(HEADER) + "\n")
        out = self.run_tool(path)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("no hourly rows", out.stdout)
        self.assertFalse((self.dir / "empty.png").exists())

    def test_files_that_are_not_results_tables(self):
        good = table_text(HAND).splitlines()
        cases = {
            "nocalc.csv": ("\n".join(l.replace("sd_calc", "sd_model") for l in good), "sd_calc"),
            "ragged.csv": ("\n".join(good[:2] + [good[2] + ",7"]), "line 3"),
            "word.csv": ("\n".join(good[:2] + [good[2].replace("1.1", "1.1x")]), "sd_obs"),
            "picture.csv": (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", "not a text file"),
            "prose.csv": ("Melt season notes.\nNo numbers here.\n", "missing column"),
        }
        for name, (content, what) in cases.items():
            with self.subTest(name):
                self.assert_rejected(self.write(name, content), what)
        with self.subTest("missing file"):
            self.assert_rejected(self.dir / "absent.csv", "no such file")


class Figure(ToolCase):
    def test_multi_day_table_gives_four_panel_png(self):
        rows = [{"sd_obs": 0.01 * i, "sd_calc": 0.3 + 0.012 * i, "cryoconite_depth": 150 - i / 10,
                 "melt_ice": 10 * (i // 24), "melt_cryo": 5, "src_direct": 40,
                 "src_diffuse": 30, "src_diffuse_t": 20} for i in range(72)]
        rows[30]["sd_calc"], rows[31]["melt_ice"] = "Inf", "NaN"
        table = self.write("days.csv", table_text(rows))
        out = self.run_tool(table)
        self.assertEqual(out.returncode, 0, out.stderr)
        import matplotlib.image
        image = matplotlib.image.imread(self.dir / "days.png")
        self.assertEqual(image.ndim, 3)
        self.assertGreater(min(image.shape[:2]), 300)

        fig = plot_results.build_figure(plot_results.read_table(table), "days.csv")
        lowering, depth, melt, light = fig.axes
        self.assertEqual(len(fig.axes), 4)
        calc = lowering.lines[1].get_ydata()
        self.assertEqual(calc[0], 0.0)                      # relative to the first hour
        self.assertTrue(math.isnan(calc[30]))               # Inf drawn as a gap
        self.assertEqual(list(melt.lines[0].get_ydata()), [0, 10, 20])   # one mean per 24 rows
        opening = light.lines[1].get_ydata()
        self.assertTrue((opening == 10).all())              # src_diffuse - src_diffuse_t
        for ax in fig.axes:
            self.assertRegex(ax.get_ylabel(), r"\((m|mm|W m\$\^\{-2\}\$)\)$")
        self.assertEqual(light.get_xlabel(), "day of year")


if __name__ == "__main__":
    unittest.main()
