#include "model/hourly_step.hpp"

#include "model/hour_terms.hpp"

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
  met_series& met = state.met;

  state.day_index = day_index;
  state.hour_index = hour_index;
  const std::int32_t m = (day_index - 1) * 24 + hour_index;
  state.m = m;
  if (variant.forcing != nullptr) {
    apply_forcing(met, m, *variant.forcing);
  }

  const met_record record = record_at(met, static_cast<std::size_t>(m), nullptr);
  hour_terms terms;
  air_hour(record, p.ta_offset, state.constants, state.hour, terms);
  sky_hour(record, hour_index, sky_parameters_of(p, variant), state.constants, state.cache.sun,
           state.cache.fixed, state.hour, terms);
  floor_hour(terms, floor_parameters_of(p, variant), state.constants, floor_detail{},
             state.cache.hole, state.hour, p.cryoconite_depth, p.sd_calc);
}

}  // namespace pumak
