#pragma once

namespace pumak {

/**
 * Saturation specific humidities of the air and of the ice surface, the
 * density of moist air, and the latent heat that goes with the state of the
 * surface: the inputs of the bulk turbulent fluxes.
 *
 * @param[in] ta air temperature (degC).
 * @param[in] rh relative humidity (fraction 0..1); enters only \e rho_air.
 * @param[in] pressure air pressure (hPa).
 * @param[in] p_std reference pressure of the air density (hPa).
 * @param[in] l_vap latent heat of vaporisation (J kg-1).
 * @param[in] l_fus latent heat of fusion (J kg-1).
 * @param[in] ts surface temperature of the bare ice (degC).
 * @param[out] l_surf latent heat of the surface (J kg-1): l_vap + l_fus
 *   (sublimation) for ts < 0, l_vap (evaporation) otherwise.
 * @param[out] q_sat_air saturation specific humidity at \e ta (kg kg-1).
 * @param[out] q_sat_surf saturation specific humidity at \e ts (kg kg-1).
 * @param[out] rho_air density of moist air (kg m-3).
 * @param[in] t_melt melting point of ice, the offset from degC to K (K).
 *
 * Saturation vapour pressure at T (degC): e = 6.1078 * 10^((a * T) / (b + T))
 * (hPa), with (a, b) = (9.5, 265.3) over ice and (7.5, 237.3) over water.
 * The air takes the ice coefficients only for ta < -2; ta = -2 exactly, and
 * NaN, take the water ones, so e and \e q_sat_air step down just below
 * -2 degC. The surface takes the ice coefficients and l_fus + l_vap for
 * ts < 0; ts = 0 exactly, above 0, and NaN take the water coefficients and
 * \e l_vap.
 *
 * Specific humidity q = 0.622 / (pressure / e - 0.378). Air density
 *   rho_air = ((1 - ((0.378 * e_air) * rh) / pressure)
 *              * ((pressure / p_std) * (1.293 * t_melt))) / (t_melt + ta),
 * where e_air * rh is the vapour pressure of the air; \e rh = 0 gives dry
 * air. Nothing is guarded: NaN in any input passes to
 * the outputs that use it (a NaN \e ts still gives \e l_surf = \e l_vap), a
 * zero \e pressure or \e ta = -t_melt divides by zero.
 *
 * Basis: Magnus-Tetens form of saturation vapour pressure over ice and over
 * water, specific humidity from vapour pressure, and the ideal-gas density of
 * moist air scaled from 1.293 kg m-3 at 0 degC and standard pressure.
 **********************************************************************/
void vapor(float ta, float rh, float pressure, float p_std, float l_vap, float l_fus, float ts,
           float& l_surf, float& q_sat_air, float& q_sat_surf, float& rho_air, float t_melt);

}  // namespace pumak
