#pragma once

#include <stdexcept>
#include <string>

namespace pumak {

// Exit statuses of the programs.
enum exit_status : int {
  exit_ok = 0,
  exit_internal = 1,         // out of memory or another failure of the machine
  exit_parameter_file = 2,   // "parameter.ini" missing, unreadable, short or malformed
  exit_met_file = 3,         // the meteorological data file
  exit_results_file = 4,     // the results table cannot be created or written
};

// A failure that ends the run: the message (without the program's name) goes
// to standard error as one line, and the program exits with `status`.
class run_failure : public std::runtime_error {
 public:
  run_failure(exit_status status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  exit_status status() const { return status_; }

 private:
  exit_status status_;
};

// The text of errno, for "cannot open X: <reason>" diagnostics.
std::string system_reason(int error_number);

}  // namespace pumak
