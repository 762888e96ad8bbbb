#pragma once

namespace pumak {

/**
 * Share of solar radiation that passes through a length of ice, and the
 * mean extinction coefficient over that length.
 *
 * @param[in] path_length length of the path through ice (mm).
 * @param[out] transmittance share transmitted (fraction).
 * @param[in] diffuse_fraction diffuse fraction f of the hour, the weight of
 *   the second term (fraction 0..1).
 * @param[in] k_ice extinction coefficient of ice (m-1, nominally): the
 *   factor of the coefficients 1.9167 and 1.6203 of the law, which hold for a
 *   path in metres.
 * @param[out] k_effective path-mean extinction coefficient (m-1).
 *
 * With x = path_length / 1000 (m), a1 = k_ice * 1.9167 and
 * a2 = k_ice * 1.6203:
 *   T1 = exp(-(x^0.38672 * a1)),  T2 = exp(-(x^0.48077 * a2)),
 *   transmittance = (1 - f) * T1 + f * T2;
 *   g1 = x^-0.61328 * a1,  g2 = x^-0.51923 * a2  (gi = -ln(Ti) / x exactly),
 *   k_effective = (1 - f) * g1 + f * g2,
 * the weighted mean of the two terms' path means, not -ln(transmittance) / x.
 *
 * A path of 0 gives T1 = T2 = 1 and \e transmittance (1 - f) + f, while the
 * negative powers are infinite: \e k_effective is infinite with the sign of
 * k_ice when k_ice is not 0 and 0 < f < 1, and NaN otherwise. k_ice = 0
 * gives \e transmittance (1 - f) + f and, for a positive path,
 * \e k_effective 0. A negative path (non-integer power of a negative base)
 * or any NaN argument gives NaN for both outputs.
 *
 * Basis: extinction of light in ice as two stretched exponentials of the
 * path length, for the direct and the diffuse part of the light, mixed by
 * the diffuse fraction.
 **********************************************************************/
void transmit(float path_length, float& transmittance, float diffuse_fraction, float k_ice,
              float& k_effective);

// The parts of transmit, for callers that keep the terms of a path while it
// does not change: T1 and T2 of a path, g1 and g2 of a path, and the mix
// ((1 - f) * term_1) + (f * term_2) of two terms with the diffuse fraction f.
// transmit mixes T1 and T2 into the transmittance and g1 and g2 into the
// extinction coefficient.
void transmit_terms(float path_length, float k_ice, float& t1, float& t2);
void extinction_terms(float path_length, float k_ice, float& g1, float& g2);
void weigh_terms(float term_1, float term_2, float diffuse_fraction, float& weighted);

}  // namespace pumak
