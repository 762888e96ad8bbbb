#include "physics/vapor.hpp"
#include "physics/single_math.hpp"

namespace pumak {
namespace {

// Saturation vapour pressure (hPa) at t (degC), Magnus-Tetens form.
float saturation_pressure(float t, float a, float b) {
  const float x = (a * t) / (b + t);
  return 6.1078f * clib::pow(10.0f, x);
}

float over_ice(float t) { return saturation_pressure(t, 9.5f, 265.3f); }
float over_water(float t) { return saturation_pressure(t, 7.5f, 237.3f); }

float specific_humidity(float pressure, float vapour_pressure) {
  return 0.622f / (pressure / vapour_pressure - 0.378f);
}

}  // namespace

void vapor(float ta, float rh, float pressure, float p_std, float l_vap, float l_fus, float ts,
           float& l_surf, float& q_sat_air, float& q_sat_surf, float& rho_air, float t_melt) {
  // The air switches to the ice coefficients only below -2 degC.
  const float e_air = ta < -2.0f ? over_ice(ta) : over_water(ta);
  q_sat_air = specific_humidity(pressure, e_air);

  // Moist-air density from 1.293 kg m-3 at 0 degC and the reference pressure.
  const float base = 1.293f * t_melt;
  const float scaled = (pressure / p_std) * base;
  const float vapour_term = ((0.378f * e_air) * rh) / pressure;
  const float moist = (1.0f - vapour_term) * scaled;
  rho_air = moist / (t_melt + ta);

  // A frozen surface sublimates, a melting one evaporates.
  float e_surf = 0.0f;
  if (ts < 0.0f) {
    e_surf = over_ice(ts);
    l_surf = l_vap + l_fus;
  } else {
    e_surf = over_water(ts);
    l_surf = l_vap;
  }
  q_sat_surf = specific_humidity(pressure, e_surf);
}

}  // namespace pumak
