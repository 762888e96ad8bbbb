#pragma once

#include <array>
#include <cstdint>
#include <vector>

// What the hourly step keeps so as not to compute a value twice: the same
// library function on the same argument gives the same bits, so a value
// taken from here is the value the routine would give again. Each part
// remembers the arguments it was made for and is made again when they
// change; nothing here is part of the model's state.
namespace pumak {

// The sun of one hour at the site: toprad's outputs and the cosine of the
// zenith angle.
struct sun_hour {
  float s_toa = 0.0f;
  float solar_angle = 0.0f;
  float cos_solar = 0.0f;
};

// The sun at one site for every hour of every day of year 0..366, each day
// filled when it is first asked for. `site` holds the bits of pi, the solar
// constant and the latitude (radians) the table was made for.
struct sun_table {
  static constexpr std::int32_t last_day = 366;
  std::array<std::uint32_t, 3> site{};
  bool made = false;
  float cos_latitude = 0.0f;
  float sin_latitude = 0.0f;
  std::array<float, 24> cos_omega{};  // cosine of the hour angle of hours 1..24
  std::vector<std::uint8_t> day_filled;
  std::vector<sun_hour> hours;        // (doy * 24 + hour - 1)
  sun_hour outside;                   // a day or hour outside the table, computed each time
};

// The hole as it stands at one depth: checkzenithangle's outputs for the
// depth, diameter and pi in `key`, and the two terms of transmit (and of
// the extinction coefficient) along the vertical for the depth and the
// diffuse extinction coefficient in `key`, made when first needed.
struct hole_geometry {
  std::array<std::uint32_t, 4> key{};  // depth, diameter, pi, k_ice for diffuse light
  bool made = false;
  float cryo_angle = 0.0f;
  float sky_view = 0.0f;
  bool has_transmittance = false;
  float t1 = 0.0f;
  float t2 = 0.0f;
  bool has_extinction = false;
  float g1 = 0.0f;
  float g2 = 0.0f;
};

// The cosine of the last fixed solar angle.
struct fixed_sun {
  std::uint32_t angle = 0;
  bool made = false;
  float cos_solar = 0.0f;
};

// What one run's hourly steps keep between hours.
struct step_cache {
  sun_table sun;
  fixed_sun fixed;
  hole_geometry hole;
};

}  // namespace pumak
