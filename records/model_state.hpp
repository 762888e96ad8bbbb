#pragma once

#include <cstdint>
#include <vector>

#include "physics/physical_constants.hpp"
#include "records/step_cache.hpp"
#include "records/text_field.hpp"

namespace pumak {

// The items of "parameter.ini", in file order. cryoconite_depth and sd_calc
// are the starting values of the two carried quantities and are updated in
// place every hour; latitude holds radians after const_init.
struct run_parameters {
  text_field met_file;
  text_field out_file;
  float latitude = 0.0f;             // degrees in the file, radians after start-up
  float albedo_cryo = 0.0f;          // albedo of the hole floor
  float albedo_ice = 0.0f;           // albedo of bare ice
  float ta_offset = 0.0f;            // degC, added to the recorded air temperature
  float cryoconite_diameter = 0.0f;  // mm
  float cryoconite_depth = 0.0f;     // mm of ice, carried state
  float sd_calc = 0.0f;              // m, accumulated lowering, carried state
  float ch = 0.0f;                   // bulk transfer coefficient
  std::int32_t n_days = 0;
  std::int32_t diffuse_mode = 0;
  float item_13 = 0.0f;              // read and never used
  float k_ice_direct = 0.0f;
  float k_ice_diffuse = 0.0f;
  float fixed_solar_angle = 0.0f;    // degrees; negative or NaN: not fixed
  float fixed_cryo_angle = 0.0f;     // degrees; negative or NaN: not fixed
};

// The fourteen hourly series of the meteorological file, indexed from 1 by
// m = (day - 1) * 24 + hour; element 0 is never used. They are sized once,
// before any record is read, for the hours of the run.
struct met_series {
  std::vector<std::int32_t> column_1;  // read and never used
  std::vector<std::int32_t> month;
  std::vector<std::int32_t> day;
  std::vector<std::int32_t> obs_hour;
  std::vector<std::int32_t> doy;
  std::vector<float> ta_obs;     // degC
  std::vector<float> wind;       // m s-1
  std::vector<float> rh;         // fraction
  std::vector<float> sr;         // W m-2, global solar radiation
  std::vector<float> column_10;  // read and never used
  std::vector<float> lw_down;    // W m-2
  std::vector<float> lw_up;      // W m-2
  std::vector<float> sd_sensor;  // m
  std::vector<float> pressure;   // hPa
};

// The scalars that the hourly step writes. All are written every hour except
// k_used_direct and path_length, which keep their last value between the
// hours in which the direct beam passes through ice. Fluxes are positive
// toward the surface.
struct hourly_quantities {
  float days_for_graph = 0.0f;    // day of year, obs_hour / 24 + doy
  float ta = 0.0f;                // degC, air temperature with ta_offset
  float ts = 0.0f;                // degC, surface temperature from outgoing longwave
  float l_surf = 0.0f;            // J kg-1, latent heat of the surface
  float q_sat_air = 0.0f;         // kg kg-1, saturation specific humidity at ta
  float q_sat_surf = 0.0f;        // kg kg-1, saturation specific humidity at ts
  float rho_air = 0.0f;           // kg m-3
  float nsr_ice = 0.0f;           // W m-2, net shortwave of the ice
  float nlr_ice = 0.0f;           // W m-2, net longwave of the ice
  float sh_ice = 0.0f;            // W m-2, sensible heat of the ice
  float lh_ice = 0.0f;            // W m-2, latent heat of the ice
  float s_toa = 0.0f;             // W m-2, top-of-atmosphere radiation, horizontal
  float solar_angle = 0.0f;       // rad, solar zenith angle
  float sr_direct = 0.0f;         // W m-2
  float sr_diffuse = 0.0f;        // W m-2
  float diffuse_fraction = 0.0f;  // fraction of sr that is diffuse
  float cryo_angle = 0.0f;        // rad, wall angle of the hole from the vertical
  float sky_view = 0.0f;          // fraction of the sky seen from the floor
  float k_used_direct = 0.0f;     // extinction coefficient of the slant path, k_ice_direct / 1.66
  float path_length = 0.0f;       // mm, slant path of the direct beam through ice
  float t_direct = 0.0f;          // fraction, transmittance of the direct beam
  float k_direct = 0.0f;          // extinction value of the direct path
  float src_direct = 0.0f;        // W m-2, direct shortwave at the floor
  float t_diffuse = 0.0f;         // fraction, transmittance of diffuse light
  float k_diffuse = 0.0f;         // extinction value of the diffuse path
  float src_diffuse_t = 0.0f;     // W m-2, diffuse shortwave at the floor through the ice
  float src_diffuse = 0.0f;       // W m-2, all diffuse shortwave at the floor
  float lw_sky_bottom = 0.0f;     // W m-2, longwave at the floor from the visible sky
  float lw_wall = 0.0f;           // W m-2, longwave at the floor from the wall
  float nsr_cryo = 0.0f;          // W m-2, net shortwave of the floor
  float nlr_cryo = 0.0f;          // W m-2, net longwave of the floor
  float turb_factor = 0.0f;       // share of the ice's turbulent fluxes at the floor, 0
  float sh_cryo = 0.0f;           // W m-2
  float lh_cryo = 0.0f;           // W m-2
  float melt_ice = 0.0f;          // W m-2, energy available for melt at the ice surface
  float melt_cryo = 0.0f;         // W m-2, energy available for melt at the floor
};

// Every value of a run. The carried state is params.cryoconite_depth and
// params.sd_calc.
struct model_state {
  run_parameters params;
  physical_constants constants;
  met_series met;
  hourly_quantities hour;
  std::int32_t day_index = 0;
  std::int32_t hour_index = 0;
  std::int32_t m = 0;  // record index of the current hour
  // Values the hourly steps reuse instead of computing them again; they
  // follow from the groups above and hold nothing of their own.
  step_cache cache;
};

}  // namespace pumak
