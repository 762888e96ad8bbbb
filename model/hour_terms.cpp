#include "model/hour_terms.hpp"

#include <bit>

#include "physics/routines.hpp"
#include "physics/single_math.hpp"

namespace pumak {
namespace {

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// The latitude terms and the hour angles of a site, and an empty table.
void make_site(sun_table& t, const physical_constants& c, float latitude) {
  t.site = {bits_of(c.pi), bits_of(c.solar_constant), bits_of(latitude)};
  t.made = true;
  t.cos_latitude = clib::cos(latitude);
  t.sin_latitude = clib::sin(latitude);
  for (std::int32_t hour = 1; hour <= 24; ++hour) {
    float omega = 0.0f;
    hour_angle(hour, c.pi, omega);
    t.cos_omega[static_cast<std::size_t>(hour - 1)] = clib::cos(omega);
  }
  const std::size_t days = static_cast<std::size_t>(sun_table::last_day) + 1;
  t.day_filled.assign(days, 0);
  t.hours.resize(days * 24);
}

// The 24 hours of day of year `doy` from its day terms.
void fill_day(sun_table& t, const physical_constants& c, std::int32_t doy) {
  float e0 = 0.0f;
  float declination = 0.0f;
  solar_day(doy, c.pi, e0, declination);
  const float cos_declination = clib::cos(declination);
  const float sin_declination = clib::sin(declination);
  sun_hour* day = &t.hours[static_cast<std::size_t>(doy) * 24];
  for (std::size_t h = 0; h < 24; ++h) {
    sun_position(c.solar_constant, e0, t.cos_omega[h], cos_declination, sin_declination,
                 t.cos_latitude, t.sin_latitude, day[h].s_toa, day[h].solar_angle);
    day[h].cos_solar = clib::cos(day[h].solar_angle);
  }
  t.day_filled[static_cast<std::size_t>(doy)] = 1;
}

// toprad's outputs for (doy, hour) at `latitude`, and the cosine of the angle.
const sun_hour& sun_at(sun_table& t, const physical_constants& c, float latitude, std::int32_t doy,
                       std::int32_t hour) {
  if (!t.made || t.site[0] != bits_of(c.pi) || t.site[1] != bits_of(c.solar_constant) ||
      t.site[2] != bits_of(latitude)) {
    make_site(t, c, latitude);
  }
  if (doy < 0 || doy > sun_table::last_day || hour < 1 || hour > 24) {
    toprad(doy, hour, c.pi, c.solar_constant, latitude, t.outside.s_toa, t.outside.solar_angle);
    t.outside.cos_solar = clib::cos(t.outside.solar_angle);
    return t.outside;
  }
  if (t.day_filled[static_cast<std::size_t>(doy)] == 0) {
    fill_day(t, c, doy);
  }
  return t.hours[static_cast<std::size_t>(doy) * 24 + static_cast<std::size_t>(hour - 1)];
}

float cos_of_fixed(fixed_sun& fixed, float angle) {
  if (!fixed.made || fixed.angle != bits_of(angle)) {
    fixed.angle = bits_of(angle);
    fixed.made = true;
    fixed.cos_solar = clib::cos(angle);
  }
  return fixed.cos_solar;
}

// The wall angle and sky view at `depth`; the transmit terms along the
// vertical are made again only with the hole.
void hole_at(hole_geometry& hole, float pi, float depth, float diameter, float k_ice) {
  const std::array<std::uint32_t, 4> key{bits_of(depth), bits_of(diameter), bits_of(pi),
                                         bits_of(k_ice)};
  if (hole.made && hole.key[0] == key[0] && hole.key[1] == key[1] && hole.key[2] == key[2] &&
      hole.key[3] == key[3]) {
    return;
  }
  hole.key = key;
  hole.made = true;
  checkzenithangle(pi, depth, diameter, hole.cryo_angle, hole.sky_view);
  hole.has_transmittance = false;
  hole.has_extinction = false;
}

// Energy available for melt at a surface (W m-2): none when frozen, else
// the sum of its four fluxes in this order, and never less than 0 (a
// negative zero and NaN pass).
float melt_energy(bool frozen, float nlr, float nsr, float sh, float lh) {
  if (frozen) {
    return 0.0f;
  }
  const float melt = nlr + nsr + sh + lh;
  return melt < 0.0f ? 0.0f : melt;
}

}  // namespace

met_record record_at(const met_series& met, std::size_t m, const fixed_forcing* forcing) {
  met_record r{met.obs_hour[m], met.doy[m],     met.ta_obs[m],  met.wind[m],    met.rh[m],
               met.sr[m],       met.lw_down[m], met.lw_up[m],   met.pressure[m]};
  if (forcing != nullptr) {
    r.ta_obs = forcing->ta_obs;
    r.wind = forcing->wind;
    r.rh = forcing->rh;
    r.sr = forcing->sr;
    r.lw_down = forcing->lw_down;
    r.lw_up = forcing->lw_up;
    r.pressure = forcing->pressure;
  }
  return r;
}

void air_hour(const met_record& r, float ta_offset, const physical_constants& c,
              hourly_quantities& q, hour_terms& terms) {
  q.days_for_graph = static_cast<float>(r.obs_hour) / 24.0f + static_cast<float>(r.doy);
  q.ta = ta_offset + r.ta_obs;
  // Surface temperature from the outgoing longwave, with no emissivity.
  q.ts = clib::pow(r.lw_up / c.sigma, 0.25f) - c.t_melt;
  terms.frozen = q.ts < 0.0f;  // neither surface melts

  vapor(q.ta, r.rh, r.pressure, c.p_std, c.l_vap, c.l_fus, q.ts, q.l_surf, q.q_sat_air,
        q.q_sat_surf, q.rho_air, c.t_melt);
  q.nlr_ice = c.emissivity * (r.lw_down - r.lw_up);

  // The wall and the floor radiate at the surface temperature.
  terms.emission = clib::pow(c.t_melt + q.ts, 4.0f);
  terms.floor_emission = terms.emission * (c.emissivity * c.sigma);
  terms.sky_longwave = c.emissivity * r.lw_down;
}

void sky_hour(const met_record& r, std::int32_t hour_index, const sky_parameters& p,
              const physical_constants& c, sun_table& sun, fixed_sun& fixed, hourly_quantities& q,
              hour_terms& terms) {
  // Energy balance of the bare ice, fluxes positive toward the surface.
  q.nsr_ice = r.sr * (1.0f - p.albedo_ice);
  q.sh_ice = (((q.rho_air * c.cp_air) * p.ch) * r.wind) * (q.ta - q.ts);
  q.lh_ice = (q.q_sat_air * r.rh - q.q_sat_surf) * (((q.rho_air * q.l_surf) * p.ch) * r.wind);

  const sun_hour& s = sun_at(sun, c, p.latitude, r.doy, hour_index);
  q.s_toa = s.s_toa;
  q.solar_angle = s.solar_angle;
  terms.cos_solar = s.cos_solar;
  if (p.fixed_solar_angle >= 0.0f) {
    q.solar_angle = (c.pi * p.fixed_solar_angle) / 180.0f;
    terms.cos_solar = cos_of_fixed(fixed, q.solar_angle);
  }
  terms.sun_up = q.solar_angle < 0.5f * c.pi;

  diffuse_at(q.ta, q.nlr_ice, terms.cos_solar, r.sr, q.sr_direct, q.sr_diffuse, c.t_melt,
             p.diffuse_mode, q.diffuse_fraction);

  // The floor is sheltered from the wind: products, so a negative ice flux
  // gives a negative zero and a non-finite one NaN.
  q.turb_factor = 0.0f;
  q.sh_cryo = q.sh_ice * q.turb_factor;
  q.lh_cryo = q.lh_ice * q.turb_factor;

  // Melt energy: a surface below 0 degC does not melt; NaN takes the sum.
  q.melt_ice = melt_energy(terms.frozen, q.nlr_ice, q.nsr_ice, q.sh_ice, q.lh_ice);
  // Lowering of the ice surface (m), and the hole's change when the floor
  // does not melt either.
  terms.sd_increment = ((c.dt * q.melt_ice) / c.l_fus) / c.rho_ice;
  terms.still_depth_increment = depth_increment(0.0f, q.melt_ice, c);
}

void floor_radiation(const hour_terms& terms, const floor_parameters& f,
                     const physical_constants& c, floor_detail detail, hole_geometry& hole,
                     hourly_quantities& q, float depth) {
  // The hole as it stands at the start of the hour.
  hole_at(hole, c.pi, depth, f.cryoconite_diameter, f.k_ice_diffuse);
  q.cryo_angle = hole.cryo_angle;
  q.sky_view = hole.sky_view;
  if (f.fixed_cryo_angle >= 0.0f) {
    q.cryo_angle = (c.pi * f.fixed_cryo_angle) / 180.0f;  // sky_view stays as computed
  }

  // Direct beam at the floor: through the opening, through the ice wall along
  // a slant path, or not at all with the sun at or below the horizon.
  if (q.cryo_angle > q.solar_angle) {
    q.src_direct = q.sr_direct;
    q.t_direct = 0.0f;
    q.k_direct = 0.0f;
  } else if (terms.sun_up) {
    q.k_used_direct = f.k_used_direct;
    q.path_length = depth / terms.cos_solar;
    float t1 = 0.0f;
    float t2 = 0.0f;
    transmit_terms(q.path_length, q.k_used_direct, t1, t2);
    weigh_terms(t1, t2, q.diffuse_fraction, q.t_direct);
    if (detail.extinction) {
      float g1 = 0.0f;
      float g2 = 0.0f;
      extinction_terms(q.path_length, q.k_used_direct, g1, g2);
      weigh_terms(g1, g2, q.diffuse_fraction, q.k_direct);
    }
    q.src_direct = q.t_direct * q.sr_direct;
  } else {
    q.t_direct = 0.0f;
    q.k_direct = 0.0f;
    q.src_direct = q.t_direct * q.sr_direct;  // a signed zero, or NaN
  }

  // Diffuse light at the floor: the hidden part of the sky through the ice
  // along the vertical, the visible part through the opening.
  if (terms.sun_up && depth > 0.0f) {
    if (!hole.has_transmittance) {
      transmit_terms(depth, f.k_ice_diffuse, hole.t1, hole.t2);
      hole.has_transmittance = true;
    }
    weigh_terms(hole.t1, hole.t2, q.diffuse_fraction, q.t_diffuse);
    if (detail.extinction) {
      if (!hole.has_extinction) {
        extinction_terms(depth, f.k_ice_diffuse, hole.g1, hole.g2);
        hole.has_extinction = true;
      }
      weigh_terms(hole.g1, hole.g2, q.diffuse_fraction, q.k_diffuse);
    }
  } else {
    q.t_diffuse = 0.0f;
    q.k_diffuse = 0.0f;
  }
  const float hidden_sky = 1.0f - q.sky_view;
  q.src_diffuse_t = (q.sr_diffuse * hidden_sky) * q.t_diffuse;
  q.src_diffuse = q.src_diffuse_t + q.sr_diffuse * q.sky_view;

  // Longwave at the floor from the visible sky and from the wall.
  q.lw_sky_bottom = terms.sky_longwave * q.sky_view;
  q.lw_wall = terms.emission * ((c.emissivity * hidden_sky) * c.sigma);
  q.nsr_cryo = (q.src_diffuse + q.src_direct) * (1.0f - f.albedo_cryo);
  q.nlr_cryo = (q.lw_sky_bottom + q.lw_wall) - terms.floor_emission;

  q.melt_cryo = melt_energy(terms.frozen, q.nlr_cryo, q.nsr_cryo, q.sh_cryo, q.lh_cryo);
}

}  // namespace pumak
