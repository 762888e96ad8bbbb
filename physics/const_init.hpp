#pragma once

namespace pumak {

/**
 * Sets the twelve physical constants of a run and converts the site latitude
 * from degrees to radians in place.
 *
 * @param[out] solar_constant solar constant, 1367 (W m-2).
 * @param[out] pi the single-precision value nearest to pi, 3.1415927 (-).
 * @param[out] t_melt melting point of ice and the offset from degC to K,
 *   273.15 (K).
 * @param[out] sigma Stefan-Boltzmann constant, 5.67e-8 (W m-2 K-4).
 * @param[out] l_vap latent heat of vaporisation, 2500000 (J kg-1).
 * @param[out] l_fus latent heat of fusion, 333600 (J kg-1).
 * @param[out] emissivity longwave emissivity of ice, wall and floor, 1 (-).
 * @param[out] cp_air specific heat of air, 1006 (J kg-1 K-1).
 * @param[out] p_std standard sea-level pressure, the reference of the air
 *   density, 1013.25 (hPa).
 * @param[out] rho_ice density of ice, 900 (kg m-3).
 * @param[out] rho_water density of water, 1000 (kg m-3).
 * @param[out] dt length of one model step, 3600 (s).
 * @param[in,out] latitude site latitude, north positive: degrees on entry,
 *   radians on return.
 *
 * The constants are stored from their decimal literals, so each holds the
 * nearest single-precision value (t_melt 273.149994, sigma 5.6699999e-8).
 * The latitude becomes (pi * latitude) / 180 with the stored pi, the product
 * rounded first; latitude * (pi / 180) would differ in the last bit for some
 * latitudes (28 degrees among them). The latitude is not range-checked: a
 * value outside [-90, 90] is converted all the same, and NaN stays NaN. The
 * conversion is not idempotent: a second call divides by 57.3 again.
 *
 * Basis: conventional values of the constants of a glacier surface energy
 * balance, with the ice surface treated as a black body.
 **********************************************************************/
void const_init(float& solar_constant, float& pi, float& t_melt, float& sigma, float& l_vap,
                float& l_fus, float& emissivity, float& cp_air, float& p_std, float& rho_ice,
                float& rho_water, float& dt, float& latitude);

}  // namespace pumak
