#pragma once

namespace pumak {

// The twelve physical constants of a run, set once by const_init.
struct physical_constants {
  float solar_constant = 0.0f;  // W m-2
  float pi = 0.0f;
  float t_melt = 0.0f;      // K, melting point of ice and the offset from degC to K
  float sigma = 0.0f;       // W m-2 K-4, Stefan-Boltzmann constant
  float l_vap = 0.0f;       // J kg-1, latent heat of vaporisation
  float l_fus = 0.0f;       // J kg-1, latent heat of fusion
  float emissivity = 0.0f;  // longwave emissivity of the surfaces
  float cp_air = 0.0f;      // J kg-1 K-1, specific heat of air
  float p_std = 0.0f;       // hPa, reference pressure of the air density
  float rho_ice = 0.0f;     // kg m-3
  float rho_water = 0.0f;   // kg m-3
  float dt = 0.0f;          // s, length of one model step
};

}  // namespace pumak
