#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/model_state.hpp"

// Inputs for the micro-benchmarks, made in memory: no data files.
namespace pumak::bench {

// Hourly met records for `n_days` days from 1 January, in the layout of the
// station files (5 integers, 9 reals with 2 or 4 decimals, one record a
// line): a high-latitude glacier with a polar night and a melt season. The
// same arguments always give the same text.
std::string synthetic_met_text(int n_days, std::uint32_t seed = 6);

// An open temporary file holding `content`, removed from the directory at
// once and closed when the object goes away.
class temp_file {
 public:
  explicit temp_file(const std::string& content);
  ~temp_file();
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  int fd() const { return fd_; }
  // Back to the first byte, for another pass of a reader.
  void rewind() const;

 private:
  int fd_;
};

// Reads `n_days` * 24 records from `fd` into elements 1.. of the series, as
// the met file reader does. Throws std::runtime_error on a bad record.
void read_records(int fd, met_series& series, int n_days);

// A run ready for its first hour: the parameters of a site at 79.9 N, the
// constants set, and `n_days` days of synthetic series.
void prepare_state(model_state& state, int n_days);

}  // namespace pumak::bench
