#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/hourly_step.hpp"
#include "physics/routines.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using testing::bits;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Two days of a warm, sunny July at 45 degrees north over melting ice, and a
// hole 100 mm deep and 100 mm wide.
model_state two_days() {
  model_state s;
  run_parameters& p = s.params;
  physical_constants& c = s.constants;
  p.latitude = 45.0f;
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air, c.p_std,
             c.rho_ice, c.rho_water, c.dt, p.latitude);
  p.albedo_cryo = 0.15f;
  p.albedo_ice = 0.5f;
  p.cryoconite_diameter = 100.0f;
  p.cryoconite_depth = 100.0f;
  p.ch = 0.002f;
  p.n_days = 2;
  p.k_ice_direct = 1.0f;
  p.k_ice_diffuse = 1.0f;
  p.fixed_solar_angle = -1.0f;
  p.fixed_cryo_angle = -1.0f;
  met_series& m = s.met;
  const std::size_t n = 49;
  m.column_1.assign(n, 2020);
  m.month.assign(n, 7);
  m.day.assign(n, 8);
  m.obs_hour.assign(n, 0);
  m.doy.assign(n, 190);
  m.ta_obs.assign(n, 3.0f);
  m.wind.assign(n, 5.0f);
  m.rh.assign(n, 0.7f);
  m.sr.assign(n, 0.0f);
  m.column_10.assign(n, 0.0f);
  m.lw_down.assign(n, 280.0f);
  m.lw_up.assign(n, 316.0f);
  m.sd_sensor.assign(n, 0.1f);
  m.pressure.assign(n, 950.0f);
  for (std::size_t i = 1; i < n; ++i) {
    const int hour = static_cast<int>((i - 1) % 24) + 1;
    m.obs_hour[i] = hour;
    m.sr[i] = hour >= 6 && hour <= 18 ? 700.0f : -1.5f;
  }
  return s;
}

const hourly_quantities& step(model_state& s, int day, int hour, const model_variant& v = metrun_variant) {
  hourly_step(s, v, day, hour);
  return s.hour;
}

TEST(HourlyStep, AHoleOfDepthZeroInDaylightSeesTheWholeSky) {
  model_state s = two_days();
  s.params.cryoconite_depth = 0.0f;
  const hourly_quantities& q = step(s, 1, 12);
  EXPECT_EQ(q.cryo_angle, 0.5f * s.constants.pi);
  EXPECT_EQ(q.sky_view, 1.0f);
  EXPECT_EQ(q.src_direct, q.sr_direct);
  EXPECT_GT(q.src_direct, 0.0f);
  EXPECT_EQ(q.t_direct, 0.0f);
  EXPECT_EQ(q.k_direct, 0.0f);
  EXPECT_EQ(q.t_diffuse, 0.0f);
  EXPECT_EQ(q.k_diffuse, 0.0f);
  EXPECT_EQ(q.src_diffuse, q.sr_diffuse);
  EXPECT_EQ(q.lw_wall, 0.0f);
  EXPECT_EQ(q.lw_sky_bottom, 280.0f);
  EXPECT_EQ(s.m, 12);
}

TEST(HourlyStep, NightSendsNoDirectBeamAndKeepsItsSign) {
  model_state s = two_days();
  const hourly_quantities& q = step(s, 1, 24);
  EXPECT_EQ(q.solar_angle, 1.5707964f);
  EXPECT_EQ(q.t_direct, 0.0f);
  EXPECT_EQ(q.k_direct, 0.0f);
  EXPECT_EQ(q.t_diffuse, 0.0f);
  EXPECT_EQ(q.k_diffuse, 0.0f);
  // Negative night-time radiation: all of it diffuse, and the floor's direct
  // beam is the product 0 * (-0).
  EXPECT_EQ(bits(q.sr_direct), bits(-0.0f));
  EXPECT_EQ(bits(q.src_direct), bits(0.0f * -0.0f));
  EXPECT_EQ(q.src_diffuse, (q.sr_diffuse * (1.0f - q.sky_view)) * 0.0f + q.sr_diffuse * q.sky_view);

  s.params.fixed_cryo_angle = 95.0f;  // a wall angle beyond the horizon
  EXPECT_EQ(bits(step(s, 1, 24).src_direct), bits(s.hour.sr_direct));
}

TEST(HourlyStep, TheDirectBeamThroughTheIceKeepsItsLastCoefficientAndPath) {
  model_state s = two_days();
  s.params.cryoconite_depth = 300.0f;  // the noon sun stands outside the opening
  const hourly_quantities& q = step(s, 1, 12);
  EXPECT_LE(q.cryo_angle, q.solar_angle);
  EXPECT_EQ(q.k_used_direct, 1.0f / 1.66f);
  EXPECT_GT(q.path_length, 300.0f);
  EXPECT_GT(q.t_direct, 0.0f);
  EXPECT_LT(q.t_direct, 1.0f);
  EXPECT_EQ(q.src_direct, q.t_direct * q.sr_direct);
  const float path = q.path_length;
  step(s, 1, 24);
  EXPECT_EQ(q.path_length, path);
  EXPECT_EQ(q.k_used_direct, 1.0f / 1.66f);
}

TEST(HourlyStep, AngleOverrides) {
  model_state s = two_days();
  s.params.fixed_solar_angle = 0.0f;
  EXPECT_EQ(step(s, 1, 24).solar_angle, 0.0f);  // a zenith sun even at midnight
  for (const float off : {-1.0f, -0.0001f, nan}) {
    s.params.fixed_solar_angle = off;
    EXPECT_EQ(step(s, 1, 24).solar_angle, 1.5707964f) << off;
  }

  // Equal angles take the beam through the ice, not through the opening.
  s = two_days();
  s.params.fixed_solar_angle = 30.0f;
  s.params.fixed_cryo_angle = 30.0f;
  const hourly_quantities& q = step(s, 1, 12);
  ASSERT_EQ(q.cryo_angle, q.solar_angle);
  EXPECT_GT(q.t_direct, 0.0f);
  EXPECT_NEAR(q.sky_view, 0.2f, 1e-6f);

  // A fixed wall angle over no hole: a path of length 0 through the ice.
  s = two_days();
  s.params.cryoconite_depth = 0.0f;
  s.params.fixed_cryo_angle = 5.0f;
  const hourly_quantities& flat = step(s, 1, 12);
  EXPECT_EQ(flat.path_length, 0.0f);
  EXPECT_EQ(flat.t_direct, 1.0f);
  EXPECT_EQ(flat.k_direct, std::numeric_limits<float>::infinity());
}

TEST(HourlyStep, MeltStartsExactlyAtASurfaceOfZeroDegrees) {
  model_state s = two_days();
  s.met.lw_up[12] = 315.636871f;  // ts is exactly 0
  const hourly_quantities& q = step(s, 1, 12);
  ASSERT_EQ(bits(q.ts), bits(0.0f));
  EXPECT_GT(q.melt_ice, 0.0f);
  EXPECT_GT(s.params.sd_calc, 0.0f);

  s = two_days();
  s.met.lw_up[12] = std::nextafter(315.636871f, 0.0f);
  const float depth = s.params.cryoconite_depth;
  step(s, 1, 12);
  ASSERT_LT(s.hour.ts, 0.0f);
  EXPECT_EQ(s.hour.melt_ice, 0.0f);
  EXPECT_EQ(s.hour.melt_cryo, 0.0f);
  EXPECT_EQ(s.params.sd_calc, 0.0f);
  EXPECT_EQ(s.params.cryoconite_depth, depth);
}

TEST(HourlyStep, AHoleThatWouldBecomeShallowerThanZeroEndsAtZero) {
  // A warm, windy night melts the surface but not the sheltered floor.
  model_state s = two_days();
  s.params.cryoconite_depth = 0.01f;
  s.met.ta_obs[24] = 8.0f;
  s.met.wind[24] = 12.0f;
  step(s, 1, 24);
  EXPECT_GT(s.hour.melt_ice, s.hour.melt_cryo);
  EXPECT_EQ(bits(s.params.cryoconite_depth), bits(0.0f));
}

TEST(HourlyStep, ANaNSurfaceTemperatureMeltsNaNForTheRestOfTheRun) {
  model_state s = two_days();
  s.met.lw_up[3] = -10.0f;
  step(s, 1, 3);
  EXPECT_TRUE(std::isnan(s.hour.ts));
  EXPECT_TRUE(std::isnan(s.params.sd_calc));
  EXPECT_TRUE(std::isnan(s.params.cryoconite_depth));
  const hourly_quantities& noon = step(s, 1, 12);
  EXPECT_TRUE(std::isnan(s.params.sd_calc));
  EXPECT_EQ(noon.cryo_angle, 1.5707964f);  // a NaN depth is no hole
  EXPECT_EQ(noon.t_diffuse, 0.0f);
}

}  // namespace
}  // namespace pumak
