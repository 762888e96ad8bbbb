#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/free_format_reader.hpp"
#include "io/run_failure.hpp"

// Reading a site's file statement by statement as the programs read it, for
// tools that report on the file (pumak check) rather than run the model:
// the programs' reader and rules, with what each statement held and where,
// going on after a statement the programs would stop at.
namespace pumak {

// One statement as the programs read it.
struct scanned_statement {
  std::int64_t first_line = 0;  // the line of its first value (of the problem without one)
  std::int64_t last_line = 0;   // the line on which it ended
  // The texts of its values in item order, up to the problem if there is one.
  std::vector<free_format_reader::value_text> values;
  // Each item's value as the program types it; 0 where the item is not a
  // number or received no value.
  std::vector<std::int32_t> integers;
  std::vector<float> reals;
  statement_problem problem;  // reason::none when the program reads it whole
  // What stands on its last line after its last value: the programs pass
  // over it. Empty after a problem.
  std::string rest;

  bool complete() const { return problem.why == statement_problem::reason::none; }
  // How many of its values stand on its first line.
  std::size_t values_on_first_line() const;
};

// Reads a file statement by statement. Memory is bounded by the block size
// and the longest line, never by the file.
class statement_scanner {
 public:
  // Opens `path`. Refuses, with run_failure of `status` and a one-line
  // message naming the file, what cannot be opened or is not a regular file
  // (a directory, a FIFO, a device such as /dev/zero): the scanner never
  // blocks on a pipe and never reads without end.
  statement_scanner(const std::string& path, exit_status status, std::size_t block_size = 1 << 16);
  ~statement_scanner();
  statement_scanner(const statement_scanner&) = delete;
  statement_scanner& operator=(const statement_scanner&) = delete;

  // Reads the next statement, one value for each of `kinds`, into `out`.
  // Returns false, with `out` untouched, when the file holds no further
  // value, or when the previous statement ended the reading for good (a
  // line too long, a read error). A statement the programs would stop at
  // is returned with its problem; the next one starts on the next line, as
  // every statement does.
  bool next(std::span<const statement_item::kind> kinds, scanned_statement& out);

 private:
  int fd_ = -1;
  free_format_reader reader_;
  bool finished_ = false;
};

}  // namespace pumak
