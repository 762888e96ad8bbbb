#pragma once

#include <string_view>

#include "model/model_variant.hpp"

namespace pumak {

// The variant of a program: "pumak_metrun", "pumak_fixed_a", "pumak_fixed_b"
// or the short forms "metrun", "fixed_a", "fixed_b". Throws
// std::invalid_argument for any other name.
const model_variant& variant_named(std::string_view program);

}  // namespace pumak
