#include "model/result_row.hpp"

#include <utility>

namespace pumak {
namespace {

// Every column in turn; with the column known here, each value is a plain copy.
template <std::size_t... column>
void fill_row(const row_source& s, result_row& row, std::index_sequence<column...>) {
  ((row[column] = row_value(column, s)), ...);
}

}  // namespace

void make_row(const model_state& state, result_row& row) {
  const met_series& met = state.met;
  const std::size_t m = static_cast<std::size_t>(state.m);
  const row_source s{&state.hour,      state.hour_index,        met.month[m],
                     met.day[m],       met.sd_sensor[m],        met.sr[m],
                     state.params.sd_calc, state.params.cryoconite_depth};
  fill_row(s, row, std::make_index_sequence<result_column_count>{});
}

}  // namespace pumak
