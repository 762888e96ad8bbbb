#pragma once

#include <cstddef>
#include <cstdint>

#include "records/model_state.hpp"
#include "records/result_columns.hpp"

namespace pumak {

// What a row is made of: the hour's quantities, the hour counter, the
// record's own columns that the row shows and the carried state after this
// hour's update.
struct row_source {
  const hourly_quantities* hour;
  std::int32_t hour_index;
  std::int32_t month;
  std::int32_t day;
  float sd_sensor;
  float sr;
  float sd_calc;
  float cryoconite_depth;
};

// The value of the column at `column` (an index into result_columns) for
// `s`: the one definition of every column's value. The differences floor
// minus ice and sd_obs = 0.1 - sd_sensor are formed here, for the row only.
inline result_value row_value(std::size_t column, const row_source& s) {
  const hourly_quantities& q = *s.hour;
  const auto real = [](float value) { return result_value{.real = value}; };
  const auto integer = [](std::int32_t value) { return result_value{.integer = value}; };
  switch (column) {
    case result_column_index("days_for_graph"): return real(q.days_for_graph);
    case result_column_index("month"): return integer(s.month);
    case result_column_index("day"): return integer(s.day);
    case result_column_index("hour"): return integer(s.hour_index);
    case result_column_index("sd_obs"): return real(0.1f - s.sd_sensor);
    case result_column_index("sd_calc"): return real(s.sd_calc);
    case result_column_index("nsr_ice"): return real(q.nsr_ice);
    case result_column_index("nlr_ice"): return real(q.nlr_ice);
    case result_column_index("sh_ice"): return real(q.sh_ice);
    case result_column_index("lh_ice"): return real(q.lh_ice);
    case result_column_index("melt_ice"): return real(q.melt_ice);
    case result_column_index("nsr_cryo"): return real(q.nsr_cryo);
    case result_column_index("nlr_cryo"): return real(q.nlr_cryo);
    case result_column_index("sh_cryo"): return real(q.sh_cryo);
    case result_column_index("lh_cryo"): return real(q.lh_cryo);
    case result_column_index("melt_cryo"): return real(q.melt_cryo);
    case result_column_index("cryo_angle"): return real(q.cryo_angle);
    case result_column_index("solar_angle"): return real(q.solar_angle);
    case result_column_index("d_nsr"): return real(q.nsr_cryo - q.nsr_ice);
    case result_column_index("d_nlr"): return real(q.nlr_cryo - q.nlr_ice);
    case result_column_index("d_sh"): return real(q.sh_cryo - q.sh_ice);
    case result_column_index("d_lh"): return real(q.lh_cryo - q.lh_ice);
    case result_column_index("d_melt"): return real(q.melt_cryo - q.melt_ice);
    case result_column_index("cryoconite_depth"): return real(s.cryoconite_depth);
    case result_column_index("sr"): return real(s.sr);
    case result_column_index("sr_direct"): return real(q.sr_direct);
    case result_column_index("sr_diffuse"): return real(q.sr_diffuse);
    case result_column_index("src_direct"): return real(q.src_direct);
    case result_column_index("src_diffuse"): return real(q.src_diffuse);
    case result_column_index("t_direct"): return real(q.t_direct);
    case result_column_index("t_diffuse"): return real(q.t_diffuse);
    case result_column_index("k_direct"): return real(q.k_direct);
    case result_column_index("k_diffuse"): return real(q.k_diffuse);
    case result_column_index("src_diffuse_t"): return real(q.src_diffuse_t);
    default: return integer(0);  // no such column
  }
}

// The row of the hour just computed, in header order: the hour counter
// state.hour_index, record state.m of the series, the hour's quantities and
// the carried state after this hour's update.
void make_row(const model_state& state, result_row& row);

}  // namespace pumak
