#include "physics/toprad.hpp"
#include "physics/single_math.hpp"

namespace pumak {

void solar_day(std::int32_t doy, float pi, float& e0, float& declination) {
  using namespace clib;
  // Day angle from the day number itself (not the day number minus one).
  const float g = (static_cast<float>(doy) / 365.0f) * (pi + pi);
  const float g2 = g + g;
  const float g3 = 3.0f * g;

  // Eccentricity correction factor and declination (Fourier series in g).
  e0 = (((0.034221f * cos(g) + 1.00011f) + 0.00128f * sin(g)) + 0.000719f * cos(g2)) +
       0.000077f * sin(g2);
  declination = (((((0.006918f - 0.399912f * cos(g)) + 0.070257f * sin(g)) -
                   0.006758f * cos(g2)) +
                  0.000907f * sin(g2)) -
                 0.002697f * cos(g3)) +
                0.00148f * sin(g3);
}

void hour_angle(std::int32_t hour, float pi, float& omega) {
  // Hour angle from the loop's hour as local solar time: hour 12 is noon.
  const float h = static_cast<float>(hour) / 24.0f - 0.5f;
  omega = (h + h) * pi;
}

void sun_position(float solar_constant, float e0, float cos_omega, float cos_declination,
                  float sin_declination, float cos_latitude, float sin_latitude, float& s_toa,
                  float& solar_angle) {
  s_toa = (solar_constant * e0) *
          (cos_omega * (cos_declination * cos_latitude) + sin_declination * sin_latitude);
  if (s_toa < 0.0f) {
    s_toa = 0.0f;  // sun below the horizon
  }

  // The ratio carries the eccentricity factor, so with the Earth nearer the
  // sun than on average and the sun near the zenith it can exceed 1. Limit it
  // there so that acos gives a zenith sun rather than NaN; a NaN ratio stays.
  float ratio = s_toa / solar_constant;
  if (ratio > 1.0f) {
    ratio = 1.0f;
  }
  solar_angle = clib::acos(ratio);
}

void toprad(std::int32_t doy, std::int32_t hour, float pi, float solar_constant, float latitude,
            float& s_toa, float& solar_angle) {
  using namespace clib;
  float e0 = 0.0f;
  float declination = 0.0f;
  solar_day(doy, pi, e0, declination);
  float omega = 0.0f;
  hour_angle(hour, pi, omega);
  sun_position(solar_constant, e0, cos(omega), cos(declination), sin(declination), cos(latitude),
               sin(latitude), s_toa, solar_angle);
}

}  // namespace pumak
