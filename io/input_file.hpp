#pragma once

#include <string>

#include "io/run_failure.hpp"

namespace pumak {

// An input file opened for reading only (a missing file is never created),
// closed when the object goes away.
class input_file {
 public:
  // Opens `path`; a failure ends the run with `status`.
  input_file(const std::string& path, exit_status status);
  ~input_file();
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace pumak
