#pragma once

#include <cstdint>

namespace pumak {

// The values of diffuse_mode that fix the diffuse fraction; any other value
// uses the parameterised fraction.
inline constexpr std::int32_t diffuse_mode_all_direct = 2;   // f = 0
inline constexpr std::int32_t diffuse_mode_all_diffuse = 3;  // f = 1

/**
 * Splits the measured global radiation of an hour into a direct-beam part
 * and a diffuse part.
 *
 * @param[in] ta air temperature (degC).
 * @param[in] nlr_ice net longwave radiation of the bare ice, positive toward
 *   the surface (W m-2).
 * @param[in] solar_angle solar zenith angle (radians).
 * @param[in] sr global solar radiation (W m-2); used as given, a negative
 *   value is not clipped.
 * @param[out] sr_direct direct part, sr * (1 - f) (W m-2).
 * @param[out] sr_diffuse diffuse part, sr * f (W m-2).
 * @param[in] t_melt melting point of ice, the offset from degC to K (K).
 * @param[in] diffuse_mode 2: all radiation direct (f = 0); 3: all radiation
 *   diffuse (f = 1); any other value: the parameterised f.
 * @param[out] diffuse_fraction the diffuse fraction f (-), in 0..1 or NaN;
 *   its value on entry is not read.
 *
 * Cloud factor c = 1 - nlr_ice / r with the clear-sky reference
 * r = 1363.21 - 5.4 * (t_melt + ta) (W m-2; -111.8 at 0 degC). c is 0 when
 * \e nlr_ice equals the reference, 1 when \e nlr_ice is 0, and is not
 * limited. Below about -20.70 degC the reference is positive, so a negative
 * \e nlr_ice gives c > 1 and f = 1.
 *
 * Clear-sky fraction from mu = cos(solar_angle):
 * f0 = 0.0604 / (mu - 0.0223) + 0.0683 for mu > 0.0323; otherwise
 * (mu <= 0.0323, or NaN) f0 = 6.1083, the formula's value at mu = 0.0323.
 * f0 is limited to 0..1 (checkdiffuse), so it is 1 for mu up to about
 * 0.0871 (zenith angles beyond about 85 degrees, and every night hour).
 *
 * Cloud correction f = (1 - f0) * c + f0, limited to 0..1 again. At the one
 * air temperature where r is exactly 0 (about -20.70 degC), f0 = 1 gives
 * 0 * infinity; a NaN f is set to 1 there, the value at every neighbouring
 * temperature (this also turns 0 / 0 from \e nlr_ice = 0, and a NaN
 * \e nlr_ice, into 1 at that temperature). Elsewhere NaN passes: a NaN
 * \e ta or \e nlr_ice makes c and f NaN, while a NaN \e solar_angle gives
 * f0 = 1 and so f = 1 for a finite c. \e diffuse_mode 2 or 3 is applied last
 * and replaces any f, NaN included. The two parts are rounded separately, so
 * their sum may differ from \e sr in the last bit.
 *
 * Basis: a clear-sky diffuse fraction that falls hyperbolically with the
 * cosine of the zenith angle, raised toward 1 by a cloud factor taken from
 * how far the net longwave of the ice falls short of a clear-sky reference
 * linear in air temperature.
 **********************************************************************/
void diffuse(float ta, float nlr_ice, float solar_angle, float sr, float& sr_direct,
             float& sr_diffuse, float t_melt, std::int32_t diffuse_mode, float& diffuse_fraction);

// diffuse with the cosine of the solar zenith angle, mu = cos(solar_angle),
// given instead of the angle: diffuse takes the cosine and calls it.
void diffuse_at(float ta, float nlr_ice, float mu, float sr, float& sr_direct, float& sr_diffuse,
                float t_melt, std::int32_t diffuse_mode, float& diffuse_fraction);

}  // namespace pumak
