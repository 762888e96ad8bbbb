#pragma once

#include <cstdint>

#include "model/model_state.hpp"

namespace pumak {

// The longest run a program accepts, in days (1000 years of hours). The
// hourly series are sized from n_days before any record is read.
inline constexpr std::int32_t max_run_days = 365250;

// Reads "parameter.ini" from the working directory into `params`:
// `statements` is 16 for the 17-item file, 13 for the 14-item file of the
// fixed-forcing programs. The first statement holds the two file names; each
// further one a label, which is thrown away, and one value. Lines after the
// last statement are never read. Any failure ends the run.
void para(run_parameters& params, int statements);

}  // namespace pumak
