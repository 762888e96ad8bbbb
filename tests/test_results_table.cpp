#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io/results_table.hpp"
#include "model/result_row.hpp"
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
  EXPECT_EQ(testing::read_file("out.csv"), results_header() + "\n");
}

// Rows reuse the text of a column's previous value when the float is the
// same; values that compare equal but differ in bits must not share it.
TEST(ResultsTable, ARepeatedValueIsWrittenAsItselfRowAfterRow) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> values{0.0f, -0.0f, -0.0f, 0.0f, nan, nan, 1.5f, 1.5f,
                                  1.50000012f, -inf, inf, inf, 0.0f};
  testing::temp_dir dir;
  const testing::scoped_chdir here(dir.path());
  text_field name;
  name.assign("out.csv");
  const auto state = std::make_unique<model_state>();
  met_series& met = state->met;
  met.month.assign(values.size() + 1, 7);
  met.day.assign(values.size() + 1, 1);
  met.sr.assign(values.size() + 1, 0.0f);
  met.sd_sensor.assign(values.size() + 1, 0.1f);
  results_table table;
  open_results(table, name);
  write_header(table);
  for (std::size_t i = 0; i < values.size(); ++i) {
    state->m = static_cast<std::int32_t>(i + 1);
    state->hour_index = 1;
    state->hour.nsr_ice = values[i];
    state->hour.k_diffuse = values[values.size() - 1 - i];
    state->params.sd_calc = values[i];
    result_row row;
    make_row(*state, row);
    append_row(table, row);
  }
  close_results(table);

  const testing::table read = testing::read_table("out.csv");
  ASSERT_EQ(read.rows.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto& row = read.rows[i];
    EXPECT_EQ(row[read.column("nsr_ice")], written(values[i])) << "row " << i;
    EXPECT_EQ(row[read.column("sd_calc")], written(values[i])) << "row " << i;
    EXPECT_EQ(row[read.column("d_nsr")], written(0.0f - values[i])) << "row " << i;
    EXPECT_EQ(row[read.column("k_diffuse")], written(values[values.size() - 1 - i])) << "row " << i;
  }
}

}  // namespace
}  // namespace pumak
