#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "io/results_table.hpp"
#include "io/run_failure.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using testing::bits;

std::string written(float value) {
  char text[16];
  return std::string(text, format_real(text, value));
}

TEST(ResultNumbers, EveryFloatReadsBackToItself) {
  std::mt19937 random(20161);
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t pattern = random();
    float value = 0.0f;
    std::memcpy(&value, &pattern, sizeof value);
    if (std::isnan(value)) {
      continue;
    }
    const std::string text = written(value);
    ASSERT_EQ(bits(testing::to_float(text)), pattern) << text;
  }
  for (const float edge : {std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
                           std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                           -std::numeric_limits<float>::denorm_min(), 273.15f, 1.65999997f}) {
    EXPECT_EQ(bits(testing::to_float(written(edge))), bits(edge)) << written(edge);
  }
}

TEST(ResultNumbers, SignedZerosAndSpecialValues) {
  EXPECT_EQ(written(0.0f), "0");
  EXPECT_EQ(written(-0.0f), "-0");
  EXPECT_EQ(written(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(written(-std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(written(std::numeric_limits<float>::infinity()), "Inf");
  EXPECT_EQ(written(-std::numeric_limits<float>::infinity()), "-Inf");
  EXPECT_EQ(written(0.1f), "0.1");
}

// A state with one hour in which every quantity has a distinct value.
model_state one_hour() {
  model_state s;
  s.met.month = {0, 8};
  s.met.day = {0, 17};
  s.met.sd_sensor = {0.0f, 0.35f};
  s.met.sr = {0.0f, 412.5f};
  s.m = 1;
  s.hour_index = 7;
  float next = 1.0f;
  for (float* q : {&s.hour.days_for_graph, &s.hour.nsr_ice, &s.hour.nlr_ice, &s.hour.sh_ice, &s.hour.lh_ice,
                   &s.hour.melt_ice, &s.hour.nsr_cryo, &s.hour.nlr_cryo, &s.hour.sh_cryo, &s.hour.lh_cryo,
                   &s.hour.melt_cryo, &s.hour.cryo_angle, &s.hour.solar_angle, &s.hour.sr_direct,
                   &s.hour.sr_diffuse, &s.hour.src_direct, &s.hour.src_diffuse, &s.hour.t_direct,
                   &s.hour.t_diffuse, &s.hour.k_direct, &s.hour.k_diffuse, &s.hour.sky_view}) {
    *q = next;
    next = next * 1.5f + 0.25f;
  }
  s.hour.sky_view = 0.3f;
  s.hour.sh_cryo = -0.0f;
  s.params.sd_calc = 0.125f;
  s.params.cryoconite_depth = 151.5f;
  return s;
}

TEST(ResultsTable, HeaderAndRowHoldThirtyFourValuesInHeaderOrder) {
  testing::temp_dir dir;
  const testing::scoped_chdir here(dir.path());
  text_field name;
  name.assign("results.csv");
  results_table table;
  open_results(table, name);
  write_header(table);
  const model_state s = one_hour();
  append_row(table, s);
  close_results(table);

  const std::string text = testing::read_file("results.csv");
  const std::string header = text.substr(0, text.find('\n'));
  EXPECT_EQ(header.size(), 295u);
  EXPECT_EQ(std::count(header.begin(), header.end(), ','), 33);
  EXPECT_EQ(header.substr(header.rfind(',') + 1), "src_diffuse_t");

  const testing::table t = testing::read_table("results.csv");
  ASSERT_EQ(t.rows.size(), 1u);
  const auto& row = t.rows[0];
  ASSERT_EQ(row.size(), 34u);
  const auto value = [&](const char* column) { return testing::to_float(row[t.column(column)]); };
  const hourly_quantities& q = s.hour;
  EXPECT_EQ(row[t.column("month")], "8");
  EXPECT_EQ(row[t.column("day")], "17");
  EXPECT_EQ(row[t.column("hour")], "7");
  EXPECT_EQ(value("sd_obs"), 0.1f - 0.35f);
  EXPECT_EQ(value("sd_calc"), 0.125f);
  EXPECT_EQ(value("cryoconite_depth"), 151.5f);
  EXPECT_EQ(value("sr"), 412.5f);
  EXPECT_EQ(value("melt_cryo"), q.melt_cryo);
  EXPECT_EQ(value("solar_angle"), q.solar_angle);
  EXPECT_EQ(value("k_diffuse"), q.k_diffuse);
  EXPECT_EQ(value("d_nsr"), q.nsr_cryo - q.nsr_ice);
  EXPECT_EQ(value("d_melt"), q.melt_cryo - q.melt_ice);
  EXPECT_EQ(bits(value("sh_cryo")), bits(-0.0f));
  EXPECT_EQ(value("d_sh"), -q.sh_ice);
  EXPECT_EQ(value("src_diffuse_t"), (q.sr_diffuse * (1.0f - q.sky_view)) * q.t_diffuse);
}

TEST(ResultsTable, ReplacesALongerFileAndDropsTrailingBlanksFromTheName) {
  testing::temp_dir dir;
  const testing::scoped_chdir here(dir.path());
  testing::write_file("out.csv", std::string(100000, 'x'));
  text_field name;
  name.assign("out.csv   ");
  results_table table;
  open_results(table, name);
  write_header(table);
  close_results(table);
  EXPECT_EQ(testing::read_file("out.csv"), std::string(results_header) + "\n");
}

TEST(ResultsTable, AWriteErrorIsCaughtEvenWhenBuffered) {
  text_field name;
  name.assign("/dev/full");
  results_table table;
  open_results(table, name);
  write_header(table);
  try {
    close_results(table);
    ADD_FAILURE() << "a failed write was reported as success";
  } catch (const run_failure& failure) {
    EXPECT_EQ(failure.status(), exit_results_file);
    EXPECT_STREQ(failure.what(), "cannot write /dev/full: No space left on device");
  }
}

TEST(ResultsTable, ABlankNameIsRefused) {
  results_table table;
  EXPECT_THROW(open_results(table, text_field{}), run_failure);
}

}  // namespace
}  // namespace pumak
