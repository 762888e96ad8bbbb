#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "io/free_format_reader.hpp"
#include "records/model_state.hpp"

// The columns of the met file, defined once, in the order each record holds
// them: five integers, then nine reals.
namespace pumak {

struct met_column {
  std::string_view name;
  statement_item::kind kind;  // integer or real
  std::string_view unit;      // UDUNITS text; "1" for a pure number or a fraction
  std::string_view meaning;
  std::vector<std::int32_t> met_series::*integer = nullptr;
  std::vector<float> met_series::*real = nullptr;
};

inline constexpr std::array<met_column, 14> met_columns{{
    {"column_1", statement_item::kind::integer, "1", "not used by the model (the year, by convention)", &met_series::column_1},
    {"month", statement_item::kind::integer, "1", "month of the record", &met_series::month},
    {"day", statement_item::kind::integer, "1", "day of month of the record", &met_series::day},
    {"obs_hour", statement_item::kind::integer, "1", "hour label of the record, feeds days_for_graph only", &met_series::obs_hour},
    {"doy", statement_item::kind::integer, "1", "day of year, drives the sun", &met_series::doy},
    {"ta_obs", statement_item::kind::real, "degC", "air temperature", nullptr, &met_series::ta_obs},
    {"wind", statement_item::kind::real, "m s-1", "wind speed", nullptr, &met_series::wind},
    {"rh", statement_item::kind::real, "1", "relative humidity, fraction", nullptr, &met_series::rh},
    {"sr", statement_item::kind::real, "W m-2", "global solar radiation", nullptr, &met_series::sr},
    {"column_10", statement_item::kind::real, "1", "not used by the model (reflected shortwave, by convention)", nullptr, &met_series::column_10},
    {"lw_down", statement_item::kind::real, "W m-2", "incoming longwave radiation", nullptr, &met_series::lw_down},
    {"lw_up", statement_item::kind::real, "W m-2", "outgoing longwave radiation", nullptr, &met_series::lw_up},
    {"sd_sensor", statement_item::kind::real, "m", "surface-distance reading; sd_obs = 0.1 - sd_sensor", nullptr, &met_series::sd_sensor},
    {"pressure", statement_item::kind::real, "hPa", "air pressure", nullptr, &met_series::pressure},
}};

}  // namespace pumak
