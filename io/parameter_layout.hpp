#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "io/free_format_reader.hpp"
#include "records/model_state.hpp"

// The layout of "parameter.ini", defined once: the reader, its diagnostics,
// the Python package, the ensemble engine, the tests, fuzzers and benchmarks
// take item names, order, kinds and statements from this table.
namespace pumak {

struct parameter_item {
  std::string_view name;       // as in run_parameters and in diagnostics
  statement_item::kind kind;   // text, integer or real
  int statement;               // 1 holds both file names; items 3.. one each
  std::string_view unit;       // UDUNITS text as read from the file; "1" for a pure number
  std::string_view meaning;
  // Where the item lives in run_parameters: exactly one of the three is set.
  text_field run_parameters::*text = nullptr;
  std::int32_t run_parameters::*integer = nullptr;
  float run_parameters::*real = nullptr;
};

// All 17 items in file order.
inline constexpr std::array<parameter_item, 17> parameter_items{{
    {"met_file", statement_item::kind::text, 1, "", "name of the met file in ../data/met_lv3/", &run_parameters::met_file},
    {"out_file", statement_item::kind::text, 1, "", "name of the results table", &run_parameters::out_file},
    {"latitude", statement_item::kind::real, 2, "degree_north", "site latitude", nullptr, nullptr, &run_parameters::latitude},
    {"albedo_cryo", statement_item::kind::real, 3, "1", "albedo of the hole floor", nullptr, nullptr, &run_parameters::albedo_cryo},
    {"albedo_ice", statement_item::kind::real, 4, "1", "albedo of bare ice", nullptr, nullptr, &run_parameters::albedo_ice},
    {"ta_offset", statement_item::kind::real, 5, "degC", "added to the recorded air temperature", nullptr, nullptr, &run_parameters::ta_offset},
    {"cryoconite_diameter", statement_item::kind::real, 6, "mm", "diameter of the hole", nullptr, nullptr, &run_parameters::cryoconite_diameter},
    {"cryoconite_depth", statement_item::kind::real, 7, "mm", "initial depth of the hole", nullptr, nullptr, &run_parameters::cryoconite_depth},
    {"sd_calc", statement_item::kind::real, 8, "m", "initial accumulated surface lowering", nullptr, nullptr, &run_parameters::sd_calc},
    {"ch", statement_item::kind::real, 9, "1", "bulk transfer coefficient of sensible and latent heat", nullptr, nullptr, &run_parameters::ch},
    {"n_days", statement_item::kind::integer, 10, "day", "number of days to simulate", nullptr, &run_parameters::n_days},
    {"diffuse_mode", statement_item::kind::integer, 11, "1", "diffuse fraction: 2 none, 3 all, else parameterised", nullptr, &run_parameters::diffuse_mode},
    {"item_13", statement_item::kind::real, 12, "1", "read and not used", nullptr, nullptr, &run_parameters::item_13},
    {"k_ice_direct", statement_item::kind::real, 13, "m-1", "extinction coefficient of ice for the direct beam", nullptr, nullptr, &run_parameters::k_ice_direct},
    {"k_ice_diffuse", statement_item::kind::real, 14, "m-1", "extinction coefficient of ice for diffuse light", nullptr, nullptr, &run_parameters::k_ice_diffuse},
    {"fixed_solar_angle", statement_item::kind::real, 15, "degree", "fixed solar zenith angle; negative: not fixed", nullptr, nullptr, &run_parameters::fixed_solar_angle},
    {"fixed_cryo_angle", statement_item::kind::real, 16, "degree", "fixed wall angle of the hole; negative: not fixed", nullptr, nullptr, &run_parameters::fixed_cryo_angle},
}};

// Statements of the two layouts: the recorded series reads all 17 items,
// the fixed-forcing experiments the first 14.
inline constexpr int full_layout_statements = 16;
inline constexpr int fixed_forcing_layout_statements = 13;

// The number of items that a layout of `statements` statements holds.
constexpr std::size_t items_in_layout(int statements) {
  return static_cast<std::size_t>(statements) + 1;
}

// The item of `params` that `item` names, as a value the reader fills.
inline statement_item reader_target(const parameter_item& item, run_parameters& params) {
  if (item.text != nullptr) {
    return statement_item::text(params.*item.text);
  }
  if (item.integer != nullptr) {
    return statement_item::integer(params.*item.integer);
  }
  return statement_item::real(params.*item.real);
}

// The item called `name`, or null.
constexpr const parameter_item* find_parameter_item(std::string_view name) {
  for (const parameter_item& item : parameter_items) {
    if (item.name == name) {
      return &item;
    }
  }
  return nullptr;
}

}  // namespace pumak
