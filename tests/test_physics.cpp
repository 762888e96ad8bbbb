#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "physics/physical_constants.hpp"
#include "physics/routines.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using testing::bits;
constexpr float pi = 3.1415927f;
constexpr float t_melt = 273.15f;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

// Reference values given to about five significant digits.
#define EXPECT_ABOUT(value, expected) EXPECT_NEAR(value, expected, std::fabs(expected) * 6e-5f + 1e-7f)

float converted_latitude(float degrees) {
  physical_constants c;
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air, c.p_std,
             c.rho_ice, c.rho_water, c.dt, degrees);
  return degrees;
}

TEST(Constants, ValuesAndLatitudeConversionOrder) {
  physical_constants c;
  float latitude = 28.0f;
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air, c.p_std,
             c.rho_ice, c.rho_water, c.dt, latitude);
  EXPECT_EQ(c.t_melt, 273.149994f);
  EXPECT_EQ(c.sigma, 5.6699999e-8f);
  EXPECT_EQ(c.l_vap + c.l_fus, 2833600.0f);
  // (pi * x) / 180, not x * (pi / 180), which gives 0.4886922 at 28 degrees.
  EXPECT_EQ(latitude, 0.48869222f);
  EXPECT_NE(latitude, 28.0f * (pi / 180.0f));
  EXPECT_EQ(converted_latitude(90.0f), 1.5707964f);
  EXPECT_EQ(converted_latitude(0.0f), 0.0f);
  EXPECT_LT(converted_latitude(-45.0f), 0.0f);
  EXPECT_GT(converted_latitude(400.0f), 2.0f * pi);  // no range check
}

struct sun {
  float s_toa;
  float solar_angle;
};

sun at(int doy, int hour, float latitude_degrees) {
  sun s{};
  toprad(doy, hour, pi, 1367.0f, converted_latitude(latitude_degrees), s.s_toa, s.solar_angle);
  return s;
}

TEST(SolarGeometry, NightIsExactlyAZeroSunAtTheHorizon) {
  const sun night = at(172, 24, 28.0f);
  EXPECT_EQ(bits(night.s_toa), bits(0.0f));
  EXPECT_EQ(night.solar_angle, 0.5f * pi);
  EXPECT_EQ(night.solar_angle, 1.5707964f);
}

TEST(SolarGeometry, ASunNearTheZenithInJanuaryIsNotNaN) {
  // E0 is about 1.035 here, so s_toa exceeds the solar constant.
  const sun tropical = at(1, 12, -23.0f);
  EXPECT_GT(tropical.s_toa, 1367.0f);
  EXPECT_EQ(bits(tropical.solar_angle), bits(0.0f));
  EXPECT_FALSE(std::isnan(at(80, 12, 0.0f).solar_angle));
  // A NaN latitude still gives NaN.
  float s_toa = 0.0f;
  float angle = 0.0f;
  toprad(1, 12, pi, 1367.0f, nan, s_toa, angle);
  EXPECT_TRUE(std::isnan(angle));
}

struct split {
  float direct;
  float diffuse;
  float fraction;
};

split partition(float ta, float nlr_ice, float solar_angle, float sr, int mode = 0) {
  split s{};
  diffuse(ta, nlr_ice, solar_angle, sr, s.direct, s.diffuse, t_melt, mode, s.fraction);
  return s;
}

TEST(DiffuseFraction, LowSunNightAndColdAirGiveAllDiffuse) {
  for (const split s : {partition(2.0f, -80.0f, 1.5707964f, 3.0f), partition(2.0f, -80.0f, 1.49f, 50.0f),
                        partition(-25.0f, -50.0f, 0.3f, 500.0f)}) {
    EXPECT_EQ(s.fraction, 1.0f);
    EXPECT_EQ(s.direct, 0.0f);
  }
}

TEST(DiffuseFraction, ForcedModesAreExact) {
  const split direct = partition(1.0f, -60.0f, 0.7f, 613.7f, 2);
  EXPECT_EQ(direct.direct, 613.7f);
  EXPECT_EQ(direct.diffuse, 0.0f);
  const split diffuse_only = partition(1.0f, -60.0f, 0.7f, 613.7f, 3);
  EXPECT_EQ(diffuse_only.direct, 0.0f);
  EXPECT_EQ(diffuse_only.diffuse, 613.7f);
  EXPECT_EQ(partition(1.0f, -60.0f, 0.7f, 613.7f, 7).fraction, partition(1.0f, -60.0f, 0.7f, 613.7f, 0).fraction);
}

TEST(DiffuseFraction, TheTemperatureWhereTheCloudReferenceIsZero) {
  const float ta = -20.7037201f;
  ASSERT_EQ(1363.21f - 5.4f * (t_melt + ta), 0.0f);
  // Clear-sky fraction 1 (night) would give 0 * infinity.
  EXPECT_EQ(partition(ta, -50.0f, 1.5707964f, 0.0f).fraction, 1.0f);
  EXPECT_EQ(partition(ta, -50.0f, 0.2f, 400.0f).fraction, 1.0f);
  EXPECT_EQ(partition(ta, 50.0f, 0.2f, 400.0f).fraction, 0.0f);
  EXPECT_TRUE(std::isnan(partition(nan, -50.0f, 1.5707964f, 0.0f).fraction));
}

struct humidity {
  float l_surf, q_sat_air, q_sat_surf, rho_air;
};

humidity air(float ta, float rh, float pressure, float ts) {
  humidity h{};
  vapor(ta, rh, pressure, 1013.25f, 2500000.0f, 333600.0f, ts, h.l_surf, h.q_sat_air, h.q_sat_surf,
        h.rho_air, t_melt);
  return h;
}

TEST(Humidity, AirSwitchesToIceBelowMinusTwoAndTheSurfaceBelowZero) {
  const humidity at_minus_two = air(-2.0f, 0.8f, 900.0f, -0.5f);
  EXPECT_ABOUT(at_minus_two.q_sat_air, 0.0036530f);
  EXPECT_ABOUT(at_minus_two.q_sat_surf, 0.0040604f);
  EXPECT_EQ(at_minus_two.l_surf, 2833600.0f);
  EXPECT_NEAR(at_minus_two.rho_air, 1.1549034f, 2e-7f);
  const humidity colder = air(-2.0001f, 0.8f, 900.0f, -0.5f);
  EXPECT_NEAR(colder.rho_air, 1.1549432f, 2e-7f);
  EXPECT_LT(colder.q_sat_air, at_minus_two.q_sat_air);
  EXPECT_EQ(air(-1.0f, 0.8f, 900.0f, 0.0f).l_surf, 2500000.0f);
  EXPECT_EQ(air(-1.0f, 0.8f, 900.0f, nan).l_surf, 2500000.0f);
}

struct hole {
  float cryo_angle;
  float sky_view;
};

hole geometry(float depth, float diameter) {
  hole h{};
  checkzenithangle(pi, depth, diameter, h.cryo_angle, h.sky_view);
  return h;
}

TEST(HoleGeometry, WallAngleAndSkyView) {
  EXPECT_EQ(geometry(50.0f, 100.0f).cryo_angle, 0.7853982f);
  EXPECT_ABOUT(geometry(50.0f, 100.0f).sky_view, 0.5f);
  EXPECT_ABOUT(geometry(100.0f, 100.0f).cryo_angle, 0.4636476f);
  EXPECT_ABOUT(geometry(100.0f, 100.0f).sky_view, 0.2f);
  EXPECT_ABOUT(geometry(200.0f, 100.0f).sky_view, 1.0f / 17.0f);
  EXPECT_EQ(geometry(10.0f, 0.0f).cryo_angle, 0.0f);
  EXPECT_EQ(geometry(10.0f, 0.0f).sky_view, 0.0f);
}

TEST(HoleGeometry, NoHoleForZeroNegativeNaNOrVanishingDepth) {
  for (const float depth : {0.0f, -0.0f, -20.0f, nan, 1e-40f}) {
    EXPECT_EQ(geometry(depth, 100.0f).cryo_angle, 1.5707964f) << depth;
    EXPECT_EQ(geometry(depth, 100.0f).sky_view, 1.0f) << depth;
  }
}

struct light {
  float transmittance;
  float k_effective;
};

light through(float path, float fraction, float k) {
  light l{};
  transmit(path, l.transmittance, fraction, k, l.k_effective);
  return l;
}

TEST(Transmission, NoExtinctionAndAPathOfZero) {
  EXPECT_EQ(through(250.0f, 0.3f, 0.0f).transmittance, (1.0f - 0.3f) + 0.3f);
  EXPECT_EQ(through(250.0f, 0.3f, 0.0f).k_effective, 0.0f);
  EXPECT_EQ(through(0.0f, 0.3f, 1.0f).transmittance, (1.0f - 0.3f) + 0.3f);
  EXPECT_EQ(through(0.0f, 0.3f, 1.0f).k_effective, inf);
  EXPECT_EQ(through(0.0f, 0.3f, -1.0f).k_effective, -inf);
  EXPECT_TRUE(std::isnan(through(0.0f, 0.0f, 1.0f).k_effective));
  EXPECT_TRUE(std::isnan(through(0.0f, 1.0f, 1.0f).k_effective));
  EXPECT_TRUE(std::isnan(through(0.0f, 0.3f, 0.0f).k_effective));
}

}  // namespace
}  // namespace pumak
