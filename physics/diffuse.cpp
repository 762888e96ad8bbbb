#include "physics/diffuse.hpp"

#include <cmath>

#include "physics/checkdiffuse.hpp"
#include "physics/single_math.hpp"

namespace pumak {

void diffuse_at(float ta, float nlr_ice, float mu, float sr, float& sr_direct, float& sr_diffuse,
                float t_melt, std::int32_t diffuse_mode, float& diffuse_fraction) {
  // Cloud factor: how far the net longwave of the ice falls short of a
  // clear-sky reference that is linear in the air temperature.
  const float s = t_melt + ta;
  const float r = 1363.21f - 5.4f * s;
  const float cloud = 1.0f - nlr_ice / r;

  // Clear-sky diffuse fraction from the cosine of the zenith angle; below
  // mu = 0.0323 (and for NaN) it keeps the formula's value at that point.
  float fraction = 6.1083f;
  if (mu > 0.0323f) {
    fraction = 0.0604f / (mu - 0.0223f) + 0.0683f;
  }
  checkdiffuse(fraction);

  fraction = (1.0f - fraction) * cloud + fraction;
  // At the one air temperature where the reference r is exactly zero, a
  // clear-sky fraction of 1 gives 0 * infinity. Every neighbouring
  // temperature gives 1 there, so the fraction is 1.
  if (r == 0.0f && std::isnan(fraction)) {
    fraction = 1.0f;
  }
  checkdiffuse(fraction);

  if (diffuse_mode == diffuse_mode_all_direct) {
    fraction = 0.0f;
  }
  if (diffuse_mode == diffuse_mode_all_diffuse) {
    fraction = 1.0f;
  }

  diffuse_fraction = fraction;
  sr_direct = sr * (1.0f - fraction);
  sr_diffuse = sr * fraction;
}

void diffuse(float ta, float nlr_ice, float solar_angle, float sr, float& sr_direct,
             float& sr_diffuse, float t_melt, std::int32_t diffuse_mode, float& diffuse_fraction) {
  diffuse_at(ta, nlr_ice, clib::cos(solar_angle), sr, sr_direct, sr_diffuse, t_melt, diffuse_mode,
             diffuse_fraction);
}

}  // namespace pumak
