#include "physics/const_init.hpp"

namespace pumak {

void const_init(float& solar_constant, float& pi, float& t_melt, float& sigma, float& l_vap,
                float& l_fus, float& emissivity, float& cp_air, float& p_std, float& rho_ice,
                float& rho_water, float& dt, float& latitude) {
  solar_constant = 1367.0f;
  pi = 3.1415927f;
  t_melt = 273.15f;
  sigma = 5.67e-8f;
  l_vap = 2500000.0f;
  l_fus = 333600.0f;
  emissivity = 1.0f;
  cp_air = 1006.0f;
  p_std = 1013.25f;
  rho_ice = 900.0f;
  rho_water = 1000.0f;
  dt = 3600.0f;
  // Product first, then the division: latitude * (pi / 180) differs in the
  // last bit for some latitudes (28 degrees among them).
  latitude = (pi * latitude) / 180.0f;
}

}  // namespace pumak
