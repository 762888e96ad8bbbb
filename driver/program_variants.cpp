#include "driver/program_variants.hpp"

#include <stdexcept>
#include <string>

#include "experiments/fixed_forcing.hpp"

namespace pumak {

const model_variant& variant_named(std::string_view program) {
  for (const model_variant* variant : {&metrun_variant, &fixed_a_variant, &fixed_b_variant}) {
    const std::string_view name = variant->program_name;
    if (program == name || program == name.substr(std::string_view("pumak_").size())) {
      return *variant;
    }
  }
  throw std::invalid_argument("unknown program \"" + std::string(program) +
                              "\": expected pumak_metrun, pumak_fixed_a or pumak_fixed_b");
}

}  // namespace pumak
