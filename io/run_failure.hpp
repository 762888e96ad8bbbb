#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pumak {

// Exit statuses of the programs.
enum exit_status : int {
  exit_ok = 0,
  exit_internal = 1,         // out of memory or another failure of the machine
  exit_parameter_file = 2,   // "parameter.ini" missing, unreadable, short or malformed
  exit_met_file = 3,         // the meteorological data file
  exit_results_file = 4,     // the results table cannot be created or written
};

// A failure that ends the run. what() is the whole diagnostic without the
// program's name, e.g. `parameter.ini:11: n_days: expected an integer,
// found "10.0"`; file, line and item say where, for callers that show it
// their own way (line 0 and an empty item where they do not apply).
class run_failure : public std::runtime_error {
 public:
  run_failure(exit_status status, const std::string& message, std::string file = {},
              std::int64_t line = 0, std::string item = {})
      : std::runtime_error(message),
        status_(status),
        file_(std::move(file)),
        line_(line),
        item_(std::move(item)) {}
  exit_status status() const { return status_; }
  const std::string& file() const { return file_; }
  std::int64_t line() const { return line_; }
  const std::string& item() const { return item_; }

 private:
  exit_status status_;
  std::string file_;
  std::int64_t line_;
  std::string item_;
};

// The text of errno, for "cannot open X: <reason>" diagnostics.
std::string system_reason(int error_number);

// `text` with every byte for which `keep` is false shown as \xNN: the one
// escaping rule of all diagnostics.
std::string escaped(std::string_view text, bool (*keep)(unsigned char));

// A diagnostic stays one line on a terminal: control characters and DEL
// (from a quoted file name, say) are shown as \xNN.
std::string one_line(const std::string& message);

}  // namespace pumak
