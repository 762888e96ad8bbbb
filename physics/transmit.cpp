#include "physics/transmit.hpp"
#include "physics/single_math.hpp"

namespace pumak {

void transmit(float path_length, float& transmittance, float diffuse_fraction, float k_ice,
              float& k_effective) {
  using clib::exp;
  using clib::pow;
  const float x = path_length / 1000.0f;  // mm to m
  const float f = diffuse_fraction;

  // Two stretched exponentials of the path, weighted by the diffuse fraction.
  const float a1 = k_ice * 1.9167f;
  const float t1 = exp(-(pow(x, 0.38672f) * a1));
  const float a2 = k_ice * 1.6203f;
  const float t2 = exp(-(pow(x, 0.48077f) * a2));
  transmittance = ((1.0f - f) * t1) + (f * t2);

  // Path-mean extinction coefficient of each term, -ln(Ti) / x in exact
  // arithmetic, taken by the power rather than from Ti.
  const float g1 = pow(x, -0.61328f) * a1;
  const float g2 = pow(x, -0.51923f) * a2;
  k_effective = ((1.0f - f) * g1) + (f * g2);
}

}  // namespace pumak
