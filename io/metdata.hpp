#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "io/free_format_reader.hpp"

#include "records/model_state.hpp"
#include "records/text_field.hpp"

namespace pumak {

// The path of the meteorological file: "../data/met_lv3/" and the name
// without its trailing blanks, relative to `run_dir` (empty: the working
// directory).
std::string met_file_path(const text_field& met_file, const std::string& run_dir = {});

// Sizes the fourteen series for `records` hours: elements 0 to `records`.
void size_series(met_series& series, std::size_t records);

// The fourteen values of record m as the items of one statement, in the
// order of the file's columns: five integers, then nine reals.
std::array<statement_item, 14> record_items(met_series& series, std::size_t m);

// Reads n_days * hours_per_day records from the meteorological file into
// elements 1.. of the fourteen series, which are sized for them first. With
// n_days <= 0 the file is still opened (it must exist) and no record is read.
// Lines after the last record are never read. A failure throws run_failure
// with exit_met_file, naming the file, line, record and column.
// n_days must not exceed max_run_days.
// `threads` above 1 lets a second thread read the second half of a long
// file (0: as many as the machine has cores); the series are the same.
void metdata(met_series& series, std::int32_t n_days, std::int32_t hours_per_day,
             const text_field& met_file, const std::string& run_dir = {}, unsigned threads = 0);

}  // namespace pumak
