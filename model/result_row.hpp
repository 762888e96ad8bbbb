#pragma once

#include "model/model_state.hpp"
#include "model/result_columns.hpp"

namespace pumak {

// The row of the hour just computed, in header order: the hour counter
// state.hour_index, record state.m of the series, the hour's quantities and
// the carried state after this hour's update. The differences floor minus
// ice and sd_obs = 0.1 - sd_sensor are formed here, for the row only.
void make_row(const model_state& state, result_row& row);

}  // namespace pumak
