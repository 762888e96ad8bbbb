#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/ordered_worker.hpp"
#include "io/table_replacement.hpp"
#include "records/result_columns.hpp"
#include "records/text_field.hpp"

namespace pumak {

// Text of formatted rows: grown as needed, never cleared byte by byte.
struct text_buffer {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;
};

// A block of rows on its way to the file: the rows, then the text of its
// two halves.
struct table_block {
  std::vector<result_row> rows;
  std::array<text_buffer, 2> text;
  std::atomic<bool> first_half_done{false};  // the text of the first half is ready
};

// The comma-separated results table. Rows are kept in blocks; a full block
// is formatted and written while the run computes the next one. On a machine
// with two or more cores a second thread formats the second half of each
// block and writes the text, while this thread formats the first half and
// goes on with the run into the other block; the text is the same whichever
// thread makes it. Every write and the close are checked, and a failure ends
// the run.
struct results_table {
  int fd = -1;
  std::string path;  // out_file as the user named it, for diagnostics
  table_destination destination;
  std::array<table_block, 2> blocks;
  std::size_t current = 0;  // the block being filled
  std::size_t pending = 0;  // rows of that block filled so far
  std::size_t blocks_started = 0;
  std::atomic<std::size_t> blocks_written{0};
  off_t written = 0;                 // bytes in the file so far
  std::atomic<int> write_error{0};   // errno of the first failed write, 0 if none
  std::unique_ptr<ordered_worker> worker;  // formats and writes; null on one core
  unsigned threads = 0;                    // 1: no second thread
};

// Starts the table named by out_file (without trailing blanks) in the
// working directory, as io/table_replacement.hpp describes: an unfinished
// file beside the target, or the device itself. `program` names the run in
// the line printed when a signal interrupts it. Opened only after both input
// files have been read, so a failed input never touches an earlier table.
// `threads` above 1 allows the second thread (0: as many as the machine has
// cores); the text is the same.
void open_results(results_table& table, const text_field& out_file, const char* program = "pumak",
                  unsigned threads = 0);
void write_header(results_table& table);
// Appends one row (model/result_row.hpp).
void append_row(results_table& table, const result_row& row);
// Writes what is left, closes the file and puts the table in place.
void close_results(results_table& table);
// After a failure: stops the writing, closes and removes the unfinished
// file, leaving an earlier table as it was. Never throws.
void abandon_results(results_table& table) noexcept;

// Sets `text` to the text of `count` rows, one line each.
void format_rows(const result_row* rows, std::size_t count, text_buffer& text);

// Writes one real as the shortest text that reads back to the same float,
// with ".0" added where that text would look like an integer (0.0, -0.0,
// 100.0), so typed readers keep every real column floating point and every
// negative zero; NaN and the infinities are written NaN, Inf and -Inf.
// Returns the end of the text. `out` needs 16 bytes.
char* format_real(char* out, float value);

}  // namespace pumak
