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

}  // namespace
}  // namespace pumak
