#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "model/model_variant.hpp"
#include "records/model_state.hpp"

// Many runs of the model over one met series in one call: the members of an
// ensemble or a calibration. No file is read or written. Each member's
// values are those of simulate() with its parameters, bit for bit; the work
// that members share is done once per hour for them: the air of the hour for
// all members with the same ta_offset, the bare ice and the sun for those
// that also share latitude, albedo_ice, ch, diffuse_mode and
// fixed_solar_angle.
namespace pumak {

// What a member's run comes to. The fit compares the modelled lowering,
// sd_calc less its first finite value, with the observed lowering, sd_obs
// less its first finite value, over the hours in which both are finite.
struct ensemble_summary {
  float final_sd_calc = 0.0f;  // m, after the last hour
  float final_depth = 0.0f;    // mm, cryoconite_depth after the last hour
  double bias = std::numeric_limits<double>::quiet_NaN();         // m, mean modelled - observed
  double rmse = std::numeric_limits<double>::quiet_NaN();         // m
  double correlation = std::numeric_limits<double>::quiet_NaN();  // Pearson
  std::int64_t pairs = 0;        // hours in which both lowerings are finite
  double melt_ice_total = 0.0;   // W h m-2, melt_ice summed over the hours
  double melt_cryo_total = 0.0;  // W h m-2, melt_cryo summed over the hours
};

// The fields of ensemble_summary by name, for callers that hand them on.
struct ensemble_summary_field {
  std::string_view name;
  std::string_view unit;  // UDUNITS text
  std::string_view long_name;
  float ensemble_summary::*single = nullptr;
  double ensemble_summary::*real = nullptr;
  std::int64_t ensemble_summary::*count = nullptr;
};

inline constexpr std::array<ensemble_summary_field, 8> ensemble_summary_fields{{
    {"final_sd_calc", "m", "modelled accumulated surface lowering after the last hour", &ensemble_summary::final_sd_calc},
    {"final_depth", "mm", "depth of the hole after the last hour", &ensemble_summary::final_depth},
    {"bias", "m", "mean of modelled minus observed lowering since the first hour", nullptr, &ensemble_summary::bias},
    {"rmse", "m", "root mean square of modelled minus observed lowering", nullptr, &ensemble_summary::rmse},
    {"correlation", "1", "Pearson correlation of modelled and observed lowering", nullptr, &ensemble_summary::correlation},
    {"pairs", "1", "hours in which both lowerings are finite", nullptr, nullptr, &ensemble_summary::pairs},
    {"melt_ice_total", "W h m-2", "energy available for melt at the ice surface, summed over the hours", nullptr, &ensemble_summary::melt_ice_total},
    {"melt_cryo_total", "W h m-2", "energy available for melt at the hole floor, summed over the hours", nullptr, &ensemble_summary::melt_cryo_total},
}};

// A result column kept for every member and hour, in the caller's buffer of
// members * hours values, the hours of member 0 first: `real` for a real
// column, `integer` for an integer column (result_columns gives the kind).
struct ensemble_column {
  std::size_t column = 0;  // index into result_columns
  float* real = nullptr;
  std::int32_t* integer = nullptr;
};

// Runs every member over `met` with the variant's model. The members hold
// full parameter sets, latitude in degrees as read; all share n_days, and
// `met` holds at least n_days * 24 records after its unused element 0.
// `columns` may be empty (the summary only: memory does not grow with the
// run length); `summaries` is empty or holds one entry per member. The
// members are split into contiguous blocks over `threads` threads (0: the
// machine's hardware threads); the results do not depend on the count.
// Throws std::invalid_argument for inputs that break these rules, before
// any work.
void run_ensemble(std::span<const run_parameters> members, const met_series& met,
                  const model_variant& variant, std::span<const ensemble_column> columns,
                  std::span<ensemble_summary> summaries, unsigned threads = 0);

}  // namespace pumak
