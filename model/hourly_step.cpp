#include "model/hourly_step.hpp"

#include "physics/routines.hpp"
#include "physics/single_math.hpp"

namespace pumak {
namespace {

void apply_forcing(met_series& met, std::int32_t m, const fixed_forcing& forcing) {
  met.ta_obs[m] = forcing.ta_obs;
  met.wind[m] = forcing.wind;
  met.rh[m] = forcing.rh;
  met.sr[m] = forcing.sr;
  met.lw_down[m] = forcing.lw_down;
  met.lw_up[m] = forcing.lw_up;
  met.pressure[m] = forcing.pressure;
}

}  // namespace

void hourly_step(model_state& state, const model_variant& variant, std::int32_t day_index,
                 std::int32_t hour_index) {
  run_parameters& p = state.params;
  const physical_constants& c = state.constants;
  met_series& met = state.met;
  hourly_quantities& q = state.hour;

  state.day_index = day_index;
  state.hour_index = hour_index;
  const std::int32_t m = (day_index - 1) * 24 + hour_index;
  state.m = m;
  if (variant.forcing != nullptr) {
    apply_forcing(met, m, *variant.forcing);
  }

  q.days_for_graph = static_cast<float>(met.obs_hour[m]) / 24.0f + static_cast<float>(met.doy[m]);
  q.ta = p.ta_offset + met.ta_obs[m];
  // Surface temperature from the outgoing longwave, with no emissivity.
  q.ts = clib::pow(met.lw_up[m] / c.sigma, 0.25f) - c.t_melt;

  vapor(q.ta, met.rh[m], met.pressure[m], c.p_std, c.l_vap, c.l_fus, q.ts, q.l_surf, q.q_sat_air,
        q.q_sat_surf, q.rho_air, c.t_melt);

  // Energy balance of the bare ice, fluxes positive toward the surface.
  q.nsr_ice = met.sr[m] * (1.0f - p.albedo_ice);
  q.nlr_ice = c.emissivity * (met.lw_down[m] - met.lw_up[m]);
  q.sh_ice = (((q.rho_air * c.cp_air) * p.ch) * met.wind[m]) * (q.ta - q.ts);
  q.lh_ice = (q.q_sat_air * met.rh[m] - q.q_sat_surf) * (((q.rho_air * q.l_surf) * p.ch) * met.wind[m]);

  toprad(met.doy[m], hour_index, c.pi, c.solar_constant, p.latitude, q.s_toa, q.solar_angle);
  if (variant.angle_overrides && p.fixed_solar_angle >= 0.0f) {
    q.solar_angle = (c.pi * p.fixed_solar_angle) / 180.0f;
  }

  diffuse(q.ta, q.nlr_ice, q.solar_angle, met.sr[m], q.sr_direct, q.sr_diffuse, c.t_melt,
          p.diffuse_mode, q.diffuse_fraction);

  // The hole as it stands at the start of the hour.
  const float depth = p.cryoconite_depth;
  checkzenithangle(c.pi, depth, p.cryoconite_diameter, q.cryo_angle, q.sky_view);
  if (variant.angle_overrides && p.fixed_cryo_angle >= 0.0f) {
    q.cryo_angle = (c.pi * p.fixed_cryo_angle) / 180.0f;  // sky_view stays as computed
  }

  // Direct beam at the floor: through the opening, through the ice wall along
  // a slant path, or not at all with the sun at or below the horizon.
  if (q.cryo_angle > q.solar_angle) {
    q.src_direct = q.sr_direct;
    q.t_direct = 0.0f;
    q.k_direct = 0.0f;
  } else if (q.solar_angle < 0.5f * c.pi) {
    q.k_used_direct = variant.fixed_extinction ? variant.fixed_k_used_direct
                                               : p.k_ice_direct / 1.66f;
    q.path_length = depth / clib::cos(q.solar_angle);
    transmit(q.path_length, q.t_direct, q.diffuse_fraction, q.k_used_direct, q.k_direct);
    q.src_direct = q.t_direct * q.sr_direct;
  } else {
    q.t_direct = 0.0f;
    q.k_direct = 0.0f;
    q.src_direct = q.t_direct * q.sr_direct;  // a signed zero, or NaN
  }

  // Diffuse light at the floor: the hidden part of the sky through the ice
  // along the vertical, the visible part through the opening.
  if (q.solar_angle < 0.5f * c.pi && depth > 0.0f) {
    const float k_diffuse_ice = variant.fixed_extinction ? variant.fixed_k_diffuse : p.k_ice_diffuse;
    transmit(depth, q.t_diffuse, q.diffuse_fraction, k_diffuse_ice, q.k_diffuse);
  } else {
    q.t_diffuse = 0.0f;
    q.k_diffuse = 0.0f;
  }
  q.src_diffuse_t = (q.sr_diffuse * (1.0f - q.sky_view)) * q.t_diffuse;
  q.src_diffuse = q.src_diffuse_t + q.sr_diffuse * q.sky_view;

  // Longwave at the floor from the visible sky and from the wall, which
  // radiates at the surface temperature like the floor itself.
  q.lw_sky_bottom = (c.emissivity * met.lw_down[m]) * q.sky_view;
  q.lw_wall = clib::pow(c.t_melt + q.ts, 4.0f) * ((c.emissivity * (1.0f - q.sky_view)) * c.sigma);
  q.nsr_cryo = (q.src_diffuse + q.src_direct) * (1.0f - p.albedo_cryo);
  q.nlr_cryo = (q.lw_sky_bottom + q.lw_wall) - clib::pow(c.t_melt + q.ts, 4.0f) * (c.emissivity * c.sigma);

  // The floor is sheltered from the wind: products, so a negative ice flux
  // gives a negative zero and a non-finite one NaN.
  q.turb_factor = 0.0f;
  q.sh_cryo = q.sh_ice * q.turb_factor;
  q.lh_cryo = q.lh_ice * q.turb_factor;

  // Melt energy: a surface below 0 degC does not melt; NaN takes the sum.
  if (q.ts < 0.0f) {
    q.melt_ice = 0.0f;
    q.melt_cryo = 0.0f;
  } else {
    q.melt_ice = q.nlr_ice + q.nsr_ice + q.sh_ice + q.lh_ice;
    q.melt_cryo = q.nlr_cryo + q.nsr_cryo + q.sh_cryo + q.lh_cryo;
    if (q.melt_ice < 0.0f) {
      q.melt_ice = 0.0f;
    }
    if (q.melt_cryo < 0.0f) {
      q.melt_cryo = 0.0f;
    }
  }

  // Lowering of the ice surface (m) and the hole depth (mm of ice), which
  // grows when the floor melts faster than the surface.
  p.sd_calc = ((c.dt * q.melt_ice) / c.l_fus) / c.rho_ice + p.sd_calc;
  p.cryoconite_depth =
      ((c.dt * (q.melt_cryo - q.melt_ice)) / c.l_fus) / (c.rho_ice / c.rho_water) + p.cryoconite_depth;
  if (p.cryoconite_depth < 0.0f) {
    p.cryoconite_depth = 0.0f;
  }
}

}  // namespace pumak
