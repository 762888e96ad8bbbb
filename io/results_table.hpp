#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/table_replacement.hpp"
#include "io/text_field.hpp"
#include "model/result_columns.hpp"

namespace pumak {

// The text last written in one real column. Many columns hold the same value
// hour after hour (zeros at night, the hole depth and the lowering while
// nothing melts), and copying that text again is much cheaper than
// formatting the value again.
struct column_text {
  std::uint32_t bits = 0;    // the float's bit pattern: 0 and -0 differ
  std::uint32_t length = 0;  // 0 until the column has a value
  std::array<char, 16> text{};
};

// The comma-separated results table. Rows are formatted into a large buffer
// that is written in big blocks; every write and the close are checked, and
// a failure ends the run.
struct results_table {
  int fd = -1;
  std::string path;  // out_file as the user named it, for diagnostics
  table_destination destination;
  std::vector<char> buffer;
  std::size_t used = 0;
  off_t written = 0;  // bytes in the file so far
  std::array<column_text, result_columns_of(column_kind::real)> last_text{};
};

// Starts the table named by out_file (without trailing blanks) in the
// working directory, as io/table_replacement.hpp describes: an unfinished
// file beside the target, or the device itself. `program` names the run in
// the line printed when a signal interrupts it. Opened only after both input
// files have been read, so a failed input never touches an earlier table.
void open_results(results_table& table, const text_field& out_file, const char* program = "pumak");
void write_header(results_table& table);
// Appends one row (model/result_row.hpp).
void append_row(results_table& table, const result_row& row);
// Writes what is left, closes the file and puts the table in place.
void close_results(results_table& table);
// After a failure: closes and removes the unfinished file, leaving an
// earlier table as it was. Never throws.
void abandon_results(results_table& table) noexcept;

// Writes one real as the shortest text that reads back to the same float,
// with ".0" added where that text would look like an integer (0.0, -0.0,
// 100.0), so typed readers keep every real column floating point and every
// negative zero; NaN and the infinities are written NaN, Inf and -Inf.
// Returns the end of the text. `out` needs 16 bytes.
char* format_real(char* out, float value);

}  // namespace pumak
