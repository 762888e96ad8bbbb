#include "experiments/fixed_forcing.hpp"

#include "io/parameter_layout.hpp"

namespace pumak {

const fixed_forcing forcing_set_a{
    .ta_obs = -0.1f, .wind = 5.0f, .rh = 0.76f, .sr = 110.85f, .lw_down = 246.84f, .lw_up = 300.65f,
    .pressure = 896.2f};
const fixed_forcing forcing_set_b{
    .ta_obs = -1.5f, .wind = 3.0f, .rh = 0.72f, .sr = 409.2f, .lw_down = 271.65f, .lw_up = 307.44f,
    .pressure = 898.3f};

const model_variant fixed_a_variant{.program_name = "pumak_fixed_a",
                                    .parameter_statements = fixed_forcing_layout_statements,
                                    .forcing = &forcing_set_a,
                                    .angle_overrides = false,
                                    .fixed_extinction = true,
                                    .fixed_k_used_direct = 0.60240966f,
                                    .fixed_k_diffuse = 1.0f};
const model_variant fixed_b_variant{.program_name = "pumak_fixed_b",
                                    .parameter_statements = fixed_forcing_layout_statements,
                                    .forcing = &forcing_set_b,
                                    .angle_overrides = false,
                                    .fixed_extinction = true,
                                    .fixed_k_used_direct = 0.60240966f,
                                    .fixed_k_diffuse = 1.0f};

}  // namespace pumak
