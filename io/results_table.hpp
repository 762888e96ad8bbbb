#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
  std::string path;
  std::vector<char> buffer;
  std::size_t used = 0;
  std::array<column_text, result_columns_of(column_kind::real)> last_text{};
};

// Creates the file named by out_file (without trailing blanks) in the working
// directory, or replaces an existing one. It is opened only after both input
// files have been read, so a failed input never touches an earlier table;
// once it is open, a failed write stops the run and the rows already
// written remain.
void open_results(results_table& table, const text_field& out_file);
void write_header(results_table& table);
// Appends one row (model/result_row.hpp).
void append_row(results_table& table, const result_row& row);
// Writes what is left and closes the file.
void close_results(results_table& table);
// After a failure: closes the file. Never throws.
void abandon_results(results_table& table) noexcept;

// Writes one real as the shortest text that reads back to the same float;
// a negative zero keeps its sign, and NaN and the infinities are written
// NaN, Inf and -Inf. Returns the end of the text. `out` needs 16 bytes.
char* format_real(char* out, float value);

}  // namespace pumak
