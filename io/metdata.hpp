#pragma once

#include <cstdint>
#include <string>

#include "io/text_field.hpp"
#include "model/model_state.hpp"

namespace pumak {

// The path of the meteorological file: "../data/met_lv3/" and the name
// without its trailing blanks.
std::string met_file_path(const text_field& met_file);

// Reads n_days * hours_per_day records from the meteorological file into
// elements 1.. of the fourteen series, which are sized for them first. With
// n_days <= 0 the file is still opened (it must exist) and no record is read.
// Lines after the last record are never read. Any failure ends the run.
// n_days must not exceed max_run_days.
void metdata(met_series& series, std::int32_t n_days, std::int32_t hours_per_day,
             const text_field& met_file);

}  // namespace pumak
