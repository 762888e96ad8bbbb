#pragma once

namespace pumak {

// The twelve physical constants of a run, set once by const_init (values in
// brackets) and never changed afterwards.
struct physical_constants {
  float solar_constant = 0.0f;  // W m-2, solar constant [1367]
  float pi = 0.0f;              // -, pi as the nearest single-precision value [3.1415927]
  float t_melt = 0.0f;          // K, melting point of ice and the offset from degC to K [273.15]
  float sigma = 0.0f;           // W m-2 K-4, Stefan-Boltzmann constant [5.67e-8]
  float l_vap = 0.0f;           // J kg-1, latent heat of vaporisation [2500000]
  float l_fus = 0.0f;           // J kg-1, latent heat of fusion [333600]
  float emissivity = 0.0f;      // -, longwave emissivity of ice, wall and floor [1]
  float cp_air = 0.0f;          // J kg-1 K-1, specific heat of air [1006]
  float p_std = 0.0f;           // hPa, standard pressure, reference of the air density [1013.25]
  float rho_ice = 0.0f;         // kg m-3, density of ice [900]
  float rho_water = 0.0f;       // kg m-3, density of water [1000]
  float dt = 0.0f;              // s, length of one model step [3600]
};

}  // namespace pumak
