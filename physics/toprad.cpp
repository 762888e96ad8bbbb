#include "physics/toprad.hpp"
#include "physics/single_math.hpp"

namespace pumak {

void toprad(std::int32_t doy, std::int32_t hour, float pi, float solar_constant, float latitude,
            float& s_toa, float& solar_angle) {
  using namespace clib;
  // Day angle from the day number itself (not the day number minus one).
  const float g = (static_cast<float>(doy) / 365.0f) * (pi + pi);
  const float g2 = g + g;
  const float g3 = 3.0f * g;

  // Eccentricity correction factor and declination (Fourier series in g).
  const float e0 = (((0.034221f * cos(g) + 1.00011f) + 0.00128f * sin(g)) + 0.000719f * cos(g2)) +
                   0.000077f * sin(g2);
  const float declination = (((((0.006918f - 0.399912f * cos(g)) + 0.070257f * sin(g)) -
                               0.006758f * cos(g2)) +
                              0.000907f * sin(g2)) -
                             0.002697f * cos(g3)) +
                            0.00148f * sin(g3);

  // Hour angle from the loop's hour as local solar time: hour 12 is noon.
  const float h = static_cast<float>(hour) / 24.0f - 0.5f;
  const float omega = (h + h) * pi;

  s_toa = (solar_constant * e0) *
          (cos(omega) * (cos(declination) * cos(latitude)) + sin(declination) * sin(latitude));
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
  solar_angle = acos(ratio);
}

}  // namespace pumak
