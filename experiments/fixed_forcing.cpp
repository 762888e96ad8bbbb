#include "experiments/fixed_forcing.hpp"

#include "io/parameter_layout.hpp"

namespace pumak {

const fixed_forcing forcing_set_a{
    .ta_obs = -0.1f, .wind = 5.0f, .rh = 0.76f, .sr = 110.85f, .lw_down = 246.84f, .lw_up = 300.65f,
    .pressure = 896.2f};
const fixed_forcing forcing_set_b{
    .ta_obs = -1.5f, .wind = 3.0f, .rh = 0.72f, .sr = 409.2f, .lw_down = 271.65f, .lw_up = 307.44f,
    .pressure = 898.3f};

namespace {

// The experiments differ only in their forcing: the 14-item parameter file,
// no angle overrides, and fixed extinction coefficients (1 / 1.66 in single
// precision for the direct beam, 1 for diffuse light).
constexpr model_variant fixed_forcing_variant(const char* program_name, const fixed_forcing* forcing) {
  return {.program_name = program_name,
          .parameter_statements = fixed_forcing_layout_statements,
          .forcing = forcing,
          .angle_overrides = false,
          .fixed_extinction = true,
          .fixed_k_used_direct = 0.60240966f,
          .fixed_k_diffuse = 1.0f};
}

}  // namespace

const model_variant fixed_a_variant = fixed_forcing_variant("pumak_fixed_a", &forcing_set_a);
const model_variant fixed_b_variant = fixed_forcing_variant("pumak_fixed_b", &forcing_set_b);

}  // namespace pumak
