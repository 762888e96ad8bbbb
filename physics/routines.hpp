#pragma once

#include <cstdint>

// The radiation and atmosphere routines. Each is one operation on scalars:
// inputs by value, outputs written through references, nothing kept between
// calls and no error reporting. Arguments keep the order of the model's
// interface tables.
namespace pumak {

// Sets the twelve physical constants and converts the latitude in place from
// degrees to radians. Not idempotent: a second call converts again.
void const_init(float& solar_constant, float& pi, float& t_melt, float& sigma, float& l_vap,
                float& l_fus, float& emissivity, float& cp_air, float& p_std, float& rho_ice,
                float& rho_water, float& dt, float& latitude);

// Top-of-atmosphere radiation on a horizontal surface and solar zenith angle
// for day of year `doy` and hour `hour` (1..24, local solar time).
void toprad(std::int32_t doy, std::int32_t hour, float pi, float solar_constant, float latitude,
            float& s_toa, float& solar_angle);

// Limits a fraction to 0..1; NaN passes unchanged.
void checkdiffuse(float& fraction);

// Splits global radiation `sr` into direct and diffuse parts.
void diffuse(float ta, float nlr_ice, float solar_angle, float sr, float& sr_direct,
             float& sr_diffuse, float t_melt, std::int32_t diffuse_mode, float& diffuse_fraction);

// Saturation specific humidities, latent heat of the surface and air density.
void vapor(float ta, float rh, float pressure, float p_std, float l_vap, float l_fus, float ts,
           float& l_surf, float& q_sat_air, float& q_sat_surf, float& rho_air, float t_melt);

// Wall angle of the hole (from the vertical) and sky-view factor of its floor.
void checkzenithangle(float pi, float cryoconite_depth, float cryoconite_diameter,
                      float& cryo_angle, float& sky_view);

// Transmittance of ice along a path (mm) and the mean extinction coefficient.
void transmit(float path_length, float& transmittance, float diffuse_fraction, float k_ice,
              float& k_effective);

}  // namespace pumak
