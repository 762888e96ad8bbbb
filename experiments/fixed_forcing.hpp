#pragma once

#include "model/model_variant.hpp"

namespace pumak {

// Forcing set A and forcing set B: constant weather for the fixed-forcing
// experiments. The surface stays below melting with either set.
extern const fixed_forcing forcing_set_a;
extern const fixed_forcing forcing_set_b;

// The experiments read the 14-item parameter file, have no angle overrides
// and use fixed extinction coefficients: 0.60240966 for the direct beam
// (1 / 1.66 in single precision) and 1 for diffuse light.
extern const model_variant fixed_a_variant;
extern const model_variant fixed_b_variant;

}  // namespace pumak
