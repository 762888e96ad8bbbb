#pragma once

#include <cstdint>

#include "model/model_variant.hpp"
#include "records/model_state.hpp"
#include "records/step_cache.hpp"

// The hour in three parts: the air, which depends on the record and
// ta_offset alone; the bare ice and the sun, which add albedo_ice, ch, the
// latitude, diffuse_mode and a fixed sun; and the hole and its floor. A run
// does all three every hour; an ensemble does each part once for all the
// members that share its parameters.
namespace pumak {

// The inputs of one hour: record m of the series, with a fixed-forcing
// variant's values in place of the seven it replaces.
struct met_record {
  std::int32_t obs_hour = 0;
  std::int32_t doy = 0;
  float ta_obs = 0.0f;
  float wind = 0.0f;
  float rh = 0.0f;
  float sr = 0.0f;
  float lw_down = 0.0f;
  float lw_up = 0.0f;
  float pressure = 0.0f;
};

met_record record_at(const met_series& met, std::size_t m, const fixed_forcing* forcing);

// The run parameters that the bare ice and the sun depend on besides the air.
struct sky_parameters {
  float latitude = 0.0f;  // radians
  float albedo_ice = 0.0f;
  float ch = 0.0f;
  std::int32_t diffuse_mode = 0;
  float fixed_solar_angle = -1.0f;  // degrees; negative or NaN: the sun of toprad
};

inline sky_parameters sky_parameters_of(const run_parameters& p, const model_variant& variant) {
  return {p.latitude, p.albedo_ice, p.ch, p.diffuse_mode,
          variant.angle_overrides ? p.fixed_solar_angle : -1.0f};
}

// The run parameters of the hole and its floor.
struct floor_parameters {
  float albedo_cryo = 0.0f;
  float cryoconite_diameter = 0.0f;
  float k_used_direct = 0.0f;     // extinction coefficient of the slant path
  float k_ice_diffuse = 0.0f;     // extinction coefficient of the vertical path
  float fixed_cryo_angle = -1.0f; // degrees; negative or NaN: the hole's own
};

inline floor_parameters floor_parameters_of(const run_parameters& p, const model_variant& variant) {
  return {p.albedo_cryo, p.cryoconite_diameter,
          variant.fixed_extinction ? variant.fixed_k_used_direct : p.k_ice_direct / 1.66f,
          variant.fixed_extinction ? variant.fixed_k_diffuse : p.k_ice_diffuse,
          variant.angle_overrides ? p.fixed_cryo_angle : -1.0f};
}

// Values of the hour besides hourly_quantities that the floor reuses.
struct hour_terms {
  // From air_hour.
  float emission = 0.0f;            // pow(t_melt + ts, 4)
  float floor_emission = 0.0f;      // emission * (emissivity * sigma)
  float sky_longwave = 0.0f;        // emissivity * lw_down
  bool frozen = false;              // ts < 0: neither surface melts
  // From sky_hour.
  float cos_solar = 0.0f;           // cos(solar_angle)
  bool sun_up = false;              // solar_angle < 0.5 * pi
  float sd_increment = 0.0f;        // lowering of the hour, m
  float still_depth_increment = 0.0f;  // depth change of a floor that does not melt, mm
};

// The air of an hour, which depends on the record and ta_offset alone:
// writes days_for_graph, ta, ts, vapor's outputs and nlr_ice into `q`, and
// the longwave terms and `frozen` into `terms`.
void air_hour(const met_record& r, float ta_offset, const physical_constants& c,
              hourly_quantities& q, hour_terms& terms);

// The rest of the bare ice and the sun, after air_hour: writes the other
// three ice fluxes, s_toa, solar_angle, the direct and diffuse parts, the
// floor's turbulent fluxes (the ice's times 0) and melt_ice into `q`, and
// the rest into `terms`. `hour_index` is 1..24.
void sky_hour(const met_record& r, std::int32_t hour_index, const sky_parameters& p,
              const physical_constants& c, sun_table& sun, fixed_sun& fixed, hourly_quantities& q,
              hour_terms& terms);

// What the floor computes besides melt and the carried state.
struct floor_detail {
  bool when_frozen = true;  // the floor's radiation also in hours in which nothing melts
  bool extinction = true;   // k_direct and k_diffuse
};

// Change of the hole depth in an hour (mm of ice): the floor's melt less the
// surface's.
inline float depth_increment(float melt_cryo, float melt_ice, const physical_constants& c) {
  return ((c.dt * (melt_cryo - melt_ice)) / c.l_fus) / (c.rho_ice / c.rho_water);
}

// The carried state at the end of the hour. A hole that would become
// shallower than 0 ends the hour at 0.
inline void carry_hour(float sd_increment, float depth_change, float& cryoconite_depth,
                       float& sd_calc) {
  sd_calc = sd_increment + sd_calc;
  cryoconite_depth = depth_change + cryoconite_depth;
  if (cryoconite_depth < 0.0f) {
    cryoconite_depth = 0.0f;
  }
}

// The floor's part of floor_hour for a hole of depth `depth` at the start of
// the hour: the wall angle, sky view, the shortwave and longwave of the
// floor and melt_cryo into `q`.
void floor_radiation(const hour_terms& terms, const floor_parameters& f,
                     const physical_constants& c, floor_detail detail, hole_geometry& hole,
                     hourly_quantities& q, float depth);

// The hole and its floor after sky_hour: the floor's radiation and melt into
// `q`, then the hour's lowering is added to sd_calc and the hole depth
// moves. With detail.when_frozen false, an hour in which nothing melts only
// moves the carried state and sets melt_cryo; the other floor quantities in
// `q` are then left as they were. Without detail.extinction, k_direct and
// k_diffuse are not written where they would come from transmit.
inline void floor_hour(const hour_terms& terms, const floor_parameters& f,
                       const physical_constants& c, floor_detail detail, hole_geometry& hole,
                       hourly_quantities& q, float& cryoconite_depth, float& sd_calc) {
  if (terms.frozen && !detail.when_frozen) {
    q.melt_cryo = 0.0f;
    carry_hour(terms.sd_increment, terms.still_depth_increment, cryoconite_depth, sd_calc);
    return;
  }
  floor_radiation(terms, f, c, detail, hole, q, cryoconite_depth);
  carry_hour(terms.sd_increment, depth_increment(q.melt_cryo, q.melt_ice, c), cryoconite_depth,
             sd_calc);
}

}  // namespace pumak
