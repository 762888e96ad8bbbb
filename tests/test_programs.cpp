#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>

#include "test_support.hpp"

namespace pumak {
namespace {

using testing::parameter_file;
using testing::run_in;
using testing::to_float;

// A site with the given parameter file and `n_days` of generated records.
struct prepared_site : testing::site {
  prepared_site(const std::string& parameters, int n_days, const std::string& records = "") {
    testing::write_file(run() / "parameter.ini", parameters);
    testing::write_file(met_dir() / "site.txt", records.empty() ? testing::met_records(n_days) : records);
  }
  testing::table results() const { return testing::read_table(run() / "results.csv"); }
};

void expect_clean_run(const testing::run_result& result) {
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(MetRun, NoDaysWritesTheHeaderAlone) {
  const prepared_site site(parameter_file({{"n_days", "0"}}), 0, "not read\n");
  expect_clean_run(run_in(PUMAK_METRUN, site.run()));
  const testing::table t = site.results();
  EXPECT_EQ(t.header.size(), 295u);
  EXPECT_TRUE(t.rows.empty());
}

TEST(MetRun, ReplacesAnEarlierLongerTable) {
  const prepared_site site(parameter_file({{"n_days", "1"}}), 1);
  testing::write_file(site.run() / "results.csv", std::string(1 << 20, 'x'));
  expect_clean_run(run_in(PUMAK_METRUN, site.run()));
  EXPECT_EQ(site.results().rows.size(), 24u);
  EXPECT_EQ(testing::read_file(site.run() / "results.csv").find('x'), std::string::npos);
}

// Columns that hold one value in every row of a fixed-forcing run.
const char* const constant_columns[] = {"sr",       "nsr_ice",  "nlr_ice", "sh_ice",  "lh_ice",
                                        "melt_ice", "nlr_cryo", "sh_cryo", "lh_cryo", "melt_cryo",
                                        "cryo_angle", "d_nlr",  "d_sh",    "d_lh",    "d_melt",
                                        "cryoconite_depth", "sd_calc"};
const char* const sun_columns[] = {"solar_angle", "sr_direct", "sr_diffuse", "src_direct", "nsr_cryo",
                                   "t_direct",    "k_direct",  "t_diffuse",  "k_diffuse",  "src_diffuse_t"};

std::set<std::string> values_of(const testing::table& t, const char* column) {
  std::set<std::string> seen;
  for (const auto& row : t.rows) seen.insert(row[t.column(column)]);
  return seen;
}

struct experiment {
  const char* name;
  const char* program;
  const char* sr;
};

class FixedForcing : public ::testing::TestWithParam<experiment> {};

TEST_P(FixedForcing, ConstantWeatherBelowMelting) {
  const prepared_site site(parameter_file({{"n_days", "4"}, {"cryoconite_depth", "60"}, {"sd_calc", "0.3"}}, 13), 4);
  expect_clean_run(run_in(GetParam().program, site.run()));
  const testing::table t = site.results();
  ASSERT_EQ(t.rows.size(), 96u);
  for (const char* column : constant_columns) {
    EXPECT_EQ(values_of(t, column).size(), 1u) << column;
  }
  for (const char* column : sun_columns) {
    EXPECT_GT(values_of(t, column).size(), 1u) << column;
  }
  EXPECT_EQ(to_float(t.rows[0][t.column("sr")]), to_float(GetParam().sr));
  EXPECT_EQ(to_float(t.rows[0][t.column("melt_ice")]), 0.0f);
  EXPECT_EQ(to_float(t.rows[0][t.column("sd_calc")]), 0.3f);
  EXPECT_EQ(to_float(t.rows[0][t.column("cryoconite_depth")]), 60.0f);
  // Night rows carry the forced radiation too.
  EXPECT_EQ(t.rows[23][t.column("nsr_ice")], t.rows[11][t.column("nsr_ice")]);
}

TEST_P(FixedForcing, ANegativeInitialDepthIsZeroInEveryRow) {
  const prepared_site site(parameter_file({{"n_days", "2"}, {"cryoconite_depth", "-20"}}, 13), 2);
  expect_clean_run(run_in(GetParam().program, site.run()));
  EXPECT_EQ(values_of(site.results(), "cryoconite_depth"), std::set<std::string>{"0"});
}

TEST_P(FixedForcing, IgnoresTheForcedColumnsItem14AndLaterStatements) {
  const prepared_site plain(parameter_file({{"n_days", "2"}}, 13), 2);
  std::string altered_records;
  for (int h = 0; h < 48; ++h) {
    altered_records += "1999 7 " + std::to_string(1 + h / 24) + " " + std::to_string(h % 24 + 1) + " " +
                       std::to_string(190 + h / 24) + " -30 0 0 9999 5 1 1 0.1 500\n";
  }
  const prepared_site altered(parameter_file({{"n_days", "2"}, {"k_ice_direct", "17.5"}, {"unused", "-3"}}, 16),
                              2, altered_records);
  expect_clean_run(run_in(GetParam().program, plain.run()));
  expect_clean_run(run_in(GetParam().program, altered.run()));
  // Both files share the calendar; the forced columns, column 1, item 13 and
  // item 14 differ, and none of that may reach the results.
  const testing::table a = plain.results();
  const testing::table b = altered.results();
  ASSERT_EQ(a.rows.size(), b.rows.size());
  for (std::size_t r = 0; r < a.rows.size(); ++r) {
    for (const char* column : {"solar_angle", "nsr_ice", "sh_ice", "lh_ice", "nsr_cryo", "src_direct",
                               "src_diffuse", "k_direct", "k_diffuse", "cryoconite_depth"}) {
      EXPECT_EQ(a.rows[r][a.column(column)], b.rows[r][b.column(column)]) << "row " << r + 1 << " " << column;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, FixedForcing,
                         ::testing::Values(experiment{"fixed_a", PUMAK_FIXED_A, "110.85"},
                                           experiment{"fixed_b", PUMAK_FIXED_B, "409.2"}),
                         [](const ::testing::TestParamInfo<experiment>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pumak
