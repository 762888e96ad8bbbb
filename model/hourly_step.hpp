#pragma once

#include <cstdint>

#include "model/model_variant.hpp"
#include "records/model_state.hpp"

namespace pumak {

// Computes hour `hour_index` (1..24) of day `day_index` of the run: the energy
// balance of the bare ice and of the hole floor, their melt, and the new
// sd_calc and cryoconite_depth. Never fails; non-finite inputs flow through.
void hourly_step(model_state& state, const model_variant& variant, std::int32_t day_index,
                 std::int32_t hour_index);

}  // namespace pumak
