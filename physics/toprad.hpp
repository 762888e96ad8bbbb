#pragma once

#include <cstdint>

namespace pumak {

/**
 * Solar radiation on a horizontal surface at the top of the atmosphere, and
 * the solar zenith angle, for one hour of one day at the site.
 *
 * @param[in] doy day of year (day number, 1 = 1 January).
 * @param[in] hour hour of the day in local solar time (1..24); hour h is the
 *   instant h:00, so hour 12 is solar noon and hour 24 the midnight that ends
 *   the day.
 * @param[in] pi the value of pi (-).
 * @param[in] solar_constant solar constant (W m-2).
 * @param[in] latitude site latitude, north positive (radians).
 * @param[out] s_toa top-of-atmosphere radiation on a horizontal surface
 *   (W m-2); exactly 0 with the sun below the horizon.
 * @param[out] solar_angle solar zenith angle (radians), in [0, pi/2] for
 *   finite inputs; 1.5707964 (= 0.5 * pi) at night.
 *
 * Day angle G = (doy / 365) * 2 pi, from the day number itself (not the day
 * number minus one). Hour angle omega = (hour / 24 - 0.5) * 2 pi: -pi/2 at
 * hour 6, 0 at hour 12, pi at hour 24; no longitude or equation-of-time
 * correction. Neither \e doy nor \e hour is range-checked: the series are
 * periodic in G, so doy 366 is close to doy 1 and doy 0 equals doy 365 up to
 * rounding.
 *
 * s_toa = (solar_constant * E0) * cos(geometric zenith angle), where E0 is
 * the eccentricity correction factor. A negative \e s_toa (sun below the
 * horizon) is set to 0; NaN passes unchanged.
 *
 * solar_angle = acos(s_toa / solar_constant). The divisor is the solar
 * constant alone, so the angle is the arc cosine of E0 times the cosine of
 * the geometric zenith angle, not the geometric angle itself (at doy 172,
 * noon, 28 N: 0.26808 rather than 0.0793). The ratio s_toa / solar_constant
 * is limited to 1 before the arc cosine: with E0 above 1 (early January) and
 * the sun near the zenith it can exceed 1, and the angle is then 0 instead of
 * NaN. A NaN ratio (for instance from a NaN latitude) gives a NaN angle.
 *
 * Basis: Spencer's Fourier series in the day angle for the Earth-Sun
 * distance factor E0 and the solar declination, and the spherical-astronomy
 * cosine of the zenith angle from latitude, declination and hour angle.
 **********************************************************************/
void toprad(std::int32_t doy, std::int32_t hour, float pi, float solar_constant, float latitude,
            float& s_toa, float& solar_angle);

// The parts of toprad, for callers that reuse them: the day terms of a day
// of year, the hour angle of an hour of the day, and the position from the
// day terms, the cosine of the hour angle and the sines and cosines of the
// declination and the latitude. toprad is these three in turn, so a caller
// that keeps the parts (the library's cos and sin of the same arguments give
// the same values) gets toprad's results bit for bit.
void solar_day(std::int32_t doy, float pi, float& e0, float& declination);
void hour_angle(std::int32_t hour, float pi, float& omega);
void sun_position(float solar_constant, float e0, float cos_omega, float cos_declination,
                  float sin_declination, float cos_latitude, float sin_latitude, float& s_toa,
                  float& solar_angle);

}  // namespace pumak
