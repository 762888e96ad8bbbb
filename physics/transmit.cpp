#include "physics/transmit.hpp"
#include "physics/single_math.hpp"

namespace pumak {
namespace {

// The path in metres and the factors of the two terms for an extinction
// coefficient.
struct path_law {
  float x;
  float a1;
  float a2;
};

path_law law_of(float path_length, float k_ice) {
  return {path_length / 1000.0f, k_ice * 1.9167f, k_ice * 1.6203f};  // mm to m
}

}  // namespace

void transmit_terms(float path_length, float k_ice, float& t1, float& t2) {
  using clib::exp;
  using clib::pow;
  // Two stretched exponentials of the path.
  const path_law law = law_of(path_length, k_ice);
  t1 = exp(-(pow(law.x, 0.38672f) * law.a1));
  t2 = exp(-(pow(law.x, 0.48077f) * law.a2));
}

void extinction_terms(float path_length, float k_ice, float& g1, float& g2) {
  using clib::pow;
  // Path-mean extinction coefficient of each term, -ln(Ti) / x in exact
  // arithmetic, taken by the power rather than from Ti.
  const path_law law = law_of(path_length, k_ice);
  g1 = pow(law.x, -0.61328f) * law.a1;
  g2 = pow(law.x, -0.51923f) * law.a2;
}

void weigh_terms(float term_1, float term_2, float diffuse_fraction, float& weighted) {
  const float f = diffuse_fraction;
  weighted = ((1.0f - f) * term_1) + (f * term_2);
}

void transmit(float path_length, float& transmittance, float diffuse_fraction, float k_ice,
              float& k_effective) {
  // The two terms weighted by the diffuse fraction.
  float t1 = 0.0f;
  float t2 = 0.0f;
  transmit_terms(path_length, k_ice, t1, t2);
  weigh_terms(t1, t2, diffuse_fraction, transmittance);
  float g1 = 0.0f;
  float g2 = 0.0f;
  extinction_terms(path_length, k_ice, g1, g2);
  weigh_terms(g1, g2, diffuse_fraction, k_effective);
}

}  // namespace pumak
