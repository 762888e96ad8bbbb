#pragma once

#include <cstdint>
#include <string>

#include "records/model_state.hpp"

namespace pumak {

// The longest run a program accepts, in days (1000 years of hours). The
// hourly series are sized from n_days before any record is read.
inline constexpr std::int32_t max_run_days = 365250;

// The path of "parameter.ini" in `run_dir`; the bare name for the working
// directory (an empty `run_dir`), as diagnostics show it.
std::string parameter_file_path(const std::string& run_dir);

// Reads "parameter.ini" of `run_dir` into `params`: `statements` is 16 for
// the 17-item file, 13 for the 14-item file of the fixed-forcing programs
// (io/parameter_layout.hpp). The first statement holds the two file names;
// each further one a label, which is thrown away, and one value. Lines after
// the last statement are never read. Every item must receive a value, and
// n_days must not exceed max_run_days. A failure throws run_failure with
// exit_parameter_file, naming the file, line and item.
void para(run_parameters& params, int statements, const std::string& run_dir = {});

}  // namespace pumak
