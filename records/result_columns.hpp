#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The columns of the results table, defined once: the header line, the row
// writer, the in-memory runs, the Python package and the documentation all
// take names, order, units and kinds from this table.
namespace pumak {

enum class column_kind : std::uint8_t { integer, real };

struct result_column {
  std::string_view name;           // header name
  column_kind kind;                // 32-bit integer or single-precision real
  std::string_view unit;           // UDUNITS text; "1" for a fraction or a pure number
  std::string_view long_name;      // what the column holds, for people
  std::string_view standard_name;  // CF standard name, empty where CF has none
};

// In header order. Fluxes are positive toward the surface; "ice" is the bare
// ice around the hole, "cryo" the hole floor, "d_" floor minus ice.
inline constexpr std::array<result_column, 34> result_columns{{
    {"days_for_graph", column_kind::real, "day", "observation time as fractional day of year (obs_hour / 24 + doy)", ""},
    {"month", column_kind::integer, "1", "month of the record", ""},
    {"day", column_kind::integer, "1", "day of month of the record", ""},
    {"hour", column_kind::integer, "1", "hour counter of the run, 1 to 24, local solar time", ""},
    {"sd_obs", column_kind::real, "m", "observed surface lowering (0.1 - sd_sensor)", ""},
    {"sd_calc", column_kind::real, "m", "modelled accumulated surface lowering", ""},
    {"nsr_ice", column_kind::real, "W m-2", "net shortwave radiation of the ice surface", "surface_net_downward_shortwave_flux"},
    {"nlr_ice", column_kind::real, "W m-2", "net longwave radiation of the ice surface", "surface_net_downward_longwave_flux"},
    {"sh_ice", column_kind::real, "W m-2", "sensible heat flux of the ice surface", "surface_downward_sensible_heat_flux"},
    {"lh_ice", column_kind::real, "W m-2", "latent heat flux of the ice surface", "surface_downward_latent_heat_flux"},
    {"melt_ice", column_kind::real, "W m-2", "energy available for melt at the ice surface", "surface_snow_and_ice_melt_heat_flux"},
    {"nsr_cryo", column_kind::real, "W m-2", "net shortwave radiation of the hole floor", ""},
    {"nlr_cryo", column_kind::real, "W m-2", "net longwave radiation of the hole floor", ""},
    {"sh_cryo", column_kind::real, "W m-2", "sensible heat flux of the hole floor", ""},
    {"lh_cryo", column_kind::real, "W m-2", "latent heat flux of the hole floor", ""},
    {"melt_cryo", column_kind::real, "W m-2", "energy available for melt at the hole floor", ""},
    {"cryo_angle", column_kind::real, "rad", "wall angle of the hole from the vertical", ""},
    {"solar_angle", column_kind::real, "rad", "solar zenith angle", "solar_zenith_angle"},
    {"d_nsr", column_kind::real, "W m-2", "net shortwave radiation, floor minus ice", ""},
    {"d_nlr", column_kind::real, "W m-2", "net longwave radiation, floor minus ice", ""},
    {"d_sh", column_kind::real, "W m-2", "sensible heat flux, floor minus ice", ""},
    {"d_lh", column_kind::real, "W m-2", "latent heat flux, floor minus ice", ""},
    {"d_melt", column_kind::real, "W m-2", "melt energy, floor minus ice", ""},
    {"cryoconite_depth", column_kind::real, "mm", "depth of the hole after this hour", ""},
    {"sr", column_kind::real, "W m-2", "observed global solar radiation", "surface_downwelling_shortwave_flux_in_air"},
    {"sr_direct", column_kind::real, "W m-2", "direct part of global solar radiation", "surface_direct_downwelling_shortwave_flux_in_air"},
    {"sr_diffuse", column_kind::real, "W m-2", "diffuse part of global solar radiation", "surface_diffuse_downwelling_shortwave_flux_in_air"},
    {"src_direct", column_kind::real, "W m-2", "direct shortwave reaching the hole floor", ""},
    {"src_diffuse", column_kind::real, "W m-2", "diffuse shortwave reaching the hole floor", ""},
    {"t_direct", column_kind::real, "1", "transmittance of the ice for the direct beam", ""},
    {"t_diffuse", column_kind::real, "1", "transmittance of the ice for diffuse light", ""},
    {"k_direct", column_kind::real, "m-1", "mean extinction coefficient along the direct path through ice", ""},
    {"k_diffuse", column_kind::real, "m-1", "mean extinction coefficient along the diffuse path through ice", ""},
    {"src_diffuse_t", column_kind::real, "W m-2", "diffuse shortwave reaching the floor through the ice", ""},
}};

inline constexpr std::size_t result_column_count = result_columns.size();

// The position of a column by name, at compile time: a misspelt name does
// not compile.
consteval std::size_t result_column_index(std::string_view name) {
  for (std::size_t i = 0; i < result_columns.size(); ++i) {
    if (result_columns[i].name == name) {
      return i;
    }
  }
  throw std::logic_error("no such result column");
}

// The number of columns of each kind.
consteval std::size_t result_columns_of(column_kind kind) {
  std::size_t n = 0;
  for (const result_column& c : result_columns) {
    n += c.kind == kind ? 1 : 0;
  }
  return n;
}

// The header line, without its line end: the names joined by commas.
inline std::string results_header() {
  std::string header;
  for (const result_column& c : result_columns) {
    if (!header.empty()) {
      header += ',';
    }
    header += c.name;
  }
  return header;
}

// One value of a row; `kind` of its column says which member holds it.
union result_value {
  float real;
  std::int32_t integer;
};

// The values of one row, in header order.
using result_row = std::array<result_value, result_column_count>;

}  // namespace pumak
