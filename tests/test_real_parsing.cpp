#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "io/real_parsing.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using testing::bits;

float real(const std::string& token) {
  std::string scratch;
  float value = -12345.0f;
  EXPECT_EQ(parse_real(token, value, scratch), number_status::ok) << token;
  return value;
}

number_status real_status(const std::string& token) {
  std::string scratch;
  float value = 0.0f;
  return parse_real(token, value, scratch);
}

TEST(IntegerItems, AcceptDigitsWithAnOptionalSign) {
  for (const auto& [token, expected] : std::initializer_list<std::pair<const char*, std::int32_t>>{
           {"30", 30}, {"+30", 30}, {"-7", -7}, {"007", 7}, {"2147483647", 2147483647},
           {"-2147483648", -2147483647 - 1}}) {
    std::int32_t value = 0;
    EXPECT_EQ(parse_integer(token, value), number_status::ok) << token;
    EXPECT_EQ(value, expected) << token;
  }
}

TEST(IntegerItems, RejectPointsExponentsAndWords) {
  for (const char* token : {"10.0", "10.", "1e3", "1d3", "", "+", "-", "+-5", "--5", "12a", "3*1", "ten"}) {
    std::int32_t value = 99;
    EXPECT_EQ(parse_integer(token, value), number_status::unreadable) << token;
    EXPECT_EQ(value, 99) << "an unreadable token leaves the item unchanged";
  }
}

TEST(IntegerItems, BeyondThirtyTwoBitsIsOutOfRange) {
  std::int32_t value = 0;
  EXPECT_EQ(parse_integer("2147483648", value), number_status::out_of_range);
  EXPECT_EQ(parse_integer("-2147483649", value), number_status::out_of_range);
  EXPECT_EQ(parse_integer("99999999999999999999", value), number_status::out_of_range);
}

TEST(RealItems, DecimalFormsAreCorrectlyRounded) {
  EXPECT_EQ(bits(real("79.91")), bits(79.91f));
  EXPECT_EQ(bits(real("78")), bits(78.0f));
  EXPECT_EQ(bits(real("+.5")), bits(0.5f));
  EXPECT_EQ(bits(real("-.5")), bits(-0.5f));
  EXPECT_EQ(bits(real("-5.e-1")), bits(-0.5f));
  EXPECT_EQ(bits(real("5.")), bits(5.0f));
  EXPECT_EQ(bits(real("1.5E2")), bits(150.0f));
  EXPECT_EQ(bits(real("1.5D2")), bits(150.0f));
  EXPECT_EQ(bits(real("+2.5d-1")), bits(0.25f));
  EXPECT_EQ(bits(real("5.67e-8")), bits(5.67e-8f));
  // Halfway between two floats: ties go to the even neighbour.
  EXPECT_EQ(bits(real("16777217")), bits(16777216.0f));
  EXPECT_EQ(bits(real("16777219")), bits(16777220.0f));
  EXPECT_EQ(bits(real("-0")), bits(-0.0f));
}

TEST(RealItems, BeyondTheFloatRangeGiveTheRoundedIeeeValue) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(real("1e39"), inf);
  EXPECT_EQ(real("-1e39"), -inf);
  EXPECT_EQ(real("1D400"), inf);
  EXPECT_EQ(real("3.4028235e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(real("3.4028236e38"), inf);
  EXPECT_EQ(bits(real("1e-50")), bits(0.0f));
  EXPECT_EQ(bits(real("-1e-50")), bits(-0.0f));
  EXPECT_EQ(bits(real("0." + std::string(60, '0') + "1")), bits(0.0f));
  EXPECT_EQ(bits(real("1e-40")), bits(1e-40f));
  EXPECT_TRUE(std::fpclassify(real("1e-40")) == FP_SUBNORMAL);
  EXPECT_EQ(real("1e-99999999999999"), 0.0f);
  EXPECT_EQ(real("1e99999999999999"), inf);
}

TEST(RealItems, SpecialWordsInAnyCase) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(real("Inf"), inf);
  EXPECT_EQ(real("+INFINITY"), inf);
  EXPECT_EQ(real("-inf"), -inf);
  EXPECT_EQ(real("-Infinity"), -inf);
  EXPECT_TRUE(std::isnan(real("NaN")));
  EXPECT_TRUE(std::isnan(real("nan")));
}

TEST(RealItems, RejectWhatIsNotANumber) {
  for (const char* token : {"n/a", "", ".", "-", "e5", "1e", "1e+", "1.2.3", "1,5", "3*1.0", "1.0-3",
                            "1.0+3", "0x10", "infinit", "nan(1)", "+nan", "12 ", "1e5x", "'1.0'",
                            "-nan", "-NaN", "-nan(1)", "-.", "-.e5", "1.e", "0x1p3", "-0x1p3", "5-"}) {
    EXPECT_EQ(real_status(token), number_status::unreadable) << token;
  }
}

}  // namespace
}  // namespace pumak
