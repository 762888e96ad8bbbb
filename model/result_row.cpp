#include "model/result_row.hpp"

#include <cstddef>

namespace pumak {
void make_row(const model_state& state, result_row& row) {
  const hourly_quantities& q = state.hour;
  const met_series& met = state.met;
  const std::size_t m = static_cast<std::size_t>(state.m);
  // Slots are looked up by name when this file is compiled.
  const auto real = [&row](std::size_t at, float value) { row[at].real = value; };
  const auto integer = [&row](std::size_t at, std::int32_t value) { row[at].integer = value; };

  real(result_column_index("days_for_graph"), q.days_for_graph);
  integer(result_column_index("month"), met.month[m]);
  integer(result_column_index("day"), met.day[m]);
  integer(result_column_index("hour"), state.hour_index);
  real(result_column_index("sd_obs"), 0.1f - met.sd_sensor[m]);
  real(result_column_index("sd_calc"), state.params.sd_calc);
  real(result_column_index("nsr_ice"), q.nsr_ice);
  real(result_column_index("nlr_ice"), q.nlr_ice);
  real(result_column_index("sh_ice"), q.sh_ice);
  real(result_column_index("lh_ice"), q.lh_ice);
  real(result_column_index("melt_ice"), q.melt_ice);
  real(result_column_index("nsr_cryo"), q.nsr_cryo);
  real(result_column_index("nlr_cryo"), q.nlr_cryo);
  real(result_column_index("sh_cryo"), q.sh_cryo);
  real(result_column_index("lh_cryo"), q.lh_cryo);
  real(result_column_index("melt_cryo"), q.melt_cryo);
  real(result_column_index("cryo_angle"), q.cryo_angle);
  real(result_column_index("solar_angle"), q.solar_angle);
  real(result_column_index("d_nsr"), q.nsr_cryo - q.nsr_ice);
  real(result_column_index("d_nlr"), q.nlr_cryo - q.nlr_ice);
  real(result_column_index("d_sh"), q.sh_cryo - q.sh_ice);
  real(result_column_index("d_lh"), q.lh_cryo - q.lh_ice);
  real(result_column_index("d_melt"), q.melt_cryo - q.melt_ice);
  real(result_column_index("cryoconite_depth"), state.params.cryoconite_depth);
  real(result_column_index("sr"), met.sr[m]);
  real(result_column_index("sr_direct"), q.sr_direct);
  real(result_column_index("sr_diffuse"), q.sr_diffuse);
  real(result_column_index("src_direct"), q.src_direct);
  real(result_column_index("src_diffuse"), q.src_diffuse);
  real(result_column_index("t_direct"), q.t_direct);
  real(result_column_index("t_diffuse"), q.t_diffuse);
  real(result_column_index("k_direct"), q.k_direct);
  real(result_column_index("k_diffuse"), q.k_diffuse);
  real(result_column_index("src_diffuse_t"), q.src_diffuse_t);
}

}  // namespace pumak
