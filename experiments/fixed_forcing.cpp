#include "experiments/fixed_forcing.hpp"

namespace pumak {

//                                   ta_obs  wind  rh     sr       lw_down  lw_up    pressure
const fixed_forcing forcing_set_a{-0.1f, 5.0f, 0.76f, 110.85f, 246.84f, 300.65f, 896.2f};
const fixed_forcing forcing_set_b{-1.5f, 3.0f, 0.72f, 409.2f, 271.65f, 307.44f, 898.3f};

const model_variant fixed_a_variant{"pumak_fixed_a", 13, &forcing_set_a, false, true, 0.60240966f, 1.0f};
const model_variant fixed_b_variant{"pumak_fixed_b", 13, &forcing_set_b, false, true, 0.60240966f, 1.0f};

}  // namespace pumak
