#include "io/results_table.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

#include "io/run_failure.hpp"

namespace pumak {
namespace {

constexpr std::size_t block_rows = 4096;
// A real takes at most 16 bytes, an integer 11, each with its comma.
constexpr std::size_t longest_row = result_column_count * 17;

[[noreturn]] void write_failed(const results_table& table, int error_number) {
  throw run_failure(exit_results_file, "cannot write " + table.path + ": " + system_reason(error_number),
                    table.path);
}

// Writes `size` bytes at the end of the file; returns 0 or the errno.
int write_all(results_table& table, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = ::write(table.fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return wrote < 0 ? errno : EIO;
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (!table.destination.unfinished.empty()) {
    // Start writing this block to disk now, while the run goes on: the
    // rename at the end then finds the data already under way instead of
    // flushing the whole table at once. Advisory; failures show in close.
    ::sync_file_range(table.fd, table.written, static_cast<off_t>(done), SYNC_FILE_RANGE_WRITE);
  }
  table.written += static_cast<off_t>(done);
  return 0;
}

// The text last written in one real column. Many columns hold the same value
// hour after hour (zeros at night, the hole depth and the lowering while
// nothing melts), and copying that text again is much cheaper than
// formatting the value again.
struct column_text {
  std::uint32_t bits = 0;    // the float's bit pattern: 0 and -0 differ
  std::uint32_t length = 0;  // 0 until the column has a value
  std::array<char, 16> text{};
};

char* format_integer(char* out, std::int32_t value) {
  return std::to_chars(out, out + 12, value).ptr;
}

// Writes `value` as format_real does, formatting it only when it is not the
// float last written in its column. `out` needs 16 bytes.
char* write_real(char* out, float value, column_text& last) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (bits != last.bits || last.length == 0) {
    last.bits = bits;
    last.length = static_cast<std::uint32_t>(format_real(last.text.data(), value) - last.text.data());
  }
  std::memcpy(out, last.text.data(), last.text.size());
  return out + last.length;
}

}  // namespace

void format_rows(const result_row* rows, std::size_t count, text_buffer& text) {
  std::array<column_text, result_columns_of(column_kind::real)> last{};
  if (text.capacity < count * longest_row) {
    text.capacity = count * longest_row;
    text.data = std::make_unique_for_overwrite<char[]>(text.capacity);
  }
  char* out = text.data.get();
  for (std::size_t r = 0; r < count; ++r) {
    column_text* column = last.data();  // one per real column, in header order
    for (std::size_t i = 0; i < result_column_count; ++i) {
      if (result_columns[i].kind == column_kind::real) {
        out = write_real(out, rows[r][i].real, *column++);
      } else {
        out = format_integer(out, rows[r][i].integer);
      }
      *out++ = ',';
    }
    out[-1] = '\n';  // the last value has no comma after it
  }
  text.size = static_cast<std::size_t>(out - text.data.get());
}

namespace {

// Formats the rows of the block and hands the text on to be written. With a
// worker, the worker formats the second half while this thread formats the
// first; the worker then writes both halves, while this thread fills the
// other block.
void finish_block(results_table& table) {
  table_block& block = table.blocks[table.current];
  const std::size_t count = std::exchange(table.pending, 0);
  table.current ^= 1;
  if (!table.worker) {
    format_rows(block.rows.data(), count, block.text[0]);
    if (const int error = write_all(table, block.text[0].data.get(), block.text[0].size)) {
      write_failed(table, error);
    }
    return;
  }
  const std::size_t first = count / 2;
  block.first_half_done.store(false);
  table.worker->post([&block, first, count] {
    format_rows(block.rows.data() + first, count - first, block.text[1]);
  });
  table.worker->post([&table, &block] {
    block.first_half_done.wait(false);
    for (const text_buffer& half : block.text) {
      if (table.write_error.load() == 0) {
        table.write_error.store(write_all(table, half.data.get(), half.size));
      }
    }
    table.blocks_written.fetch_add(1);
    table.blocks_written.notify_all();
  });
  const std::size_t number = ++table.blocks_started;
  {
    // Set however this ends, so that the worker never waits for ever.
    struct first_half_mark {
      table_block& block;
      ~first_half_mark() {
        block.first_half_done.store(true);
        block.first_half_done.notify_all();
      }
    } mark{block};
    format_rows(block.rows.data(), first, block.text[0]);
  }
  // The next block goes where the one before this went: that must be written.
  for (std::size_t seen = table.blocks_written.load(); seen + 1 < number;
       seen = table.blocks_written.load()) {
    table.blocks_written.wait(seen);
  }
  if (const int error = table.write_error.load()) {
    write_failed(table, error);
  }
}

}  // namespace

char* format_real(char* out, float value) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  if (std::isinf(value)) {
    if (value < 0.0f) {
      std::memcpy(out, "-Inf", 4);
      return out + 4;
    }
    std::memcpy(out, "Inf", 3);
    return out + 3;
  }
  // The shortest text is at most 15 bytes; one without a point or an
  // exponent is an integer of at most 11, so ".0" still fits in 16.
  char* end = std::to_chars(out, out + 16, value).ptr;
  if (std::find_if(out, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    *end++ = '.';
    *end++ = '0';
  }
  return end;
}

void open_results(results_table& table, const text_field& out_file, const char* program,
                  unsigned threads) {
  table.threads = threads != 0 ? threads : std::thread::hardware_concurrency();
  table.path = std::string(out_file.trimmed());
  if (table.path.empty()) {
    throw run_failure(exit_results_file,
                      "cannot create the results file: out_file in parameter.ini is blank",
                      "parameter.ini", 1, "out_file");
  }
  table.destination = plan_destination(table.path);
  const table_destination& to = table.destination;
  guard_unfinished(program, to);
  if (to.unfinished.empty()) {
    table.fd = ::open(to.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else {
    // Exclusive: two runs into one table each write their own file.
    ::unlink(to.unfinished.c_str());
    table.fd = ::open(to.unfinished.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (table.fd >= 0 && to.earlier_table) {
      ::fchmod(table.fd, to.earlier_mode);  // the table keeps the permissions it had
    }
  }
  if (table.fd < 0) {
    const int error_number = errno;
    release_unfinished();
    throw run_failure(exit_results_file, "cannot create " + table.path + ": " + system_reason(error_number),
                      table.path);
  }
  for (table_block& block : table.blocks) {
    block.rows.resize(block_rows);
  }
  table.pending = 0;
}

void write_header(results_table& table) {
  const std::string header = results_header() + '\n';
  if (const int error = write_all(table, header.data(), header.size())) {
    write_failed(table, error);
  }
}

void append_row(results_table& table, const result_row& row) {
  std::vector<result_row>& rows = table.blocks[table.current].rows;
  rows[table.pending++] = row;
  if (table.pending == rows.size()) {
    // Only a run longer than one block is worth a second thread.
    if (!table.worker && table.threads > 1) {
      table.worker = std::make_unique<ordered_worker>();
    }
    finish_block(table);
  }
}

void close_results(results_table& table) {
  if (table.pending > 0) {
    finish_block(table);
  }
  if (table.worker) {
    table.worker->wait_idle();
    table.worker.reset();
  }
  if (table.write_error.load() != 0) {
    const int error_number = table.write_error.load();
    abandon_results(table);
    write_failed(table, error_number);
  }
  const int fd = table.fd;
  table.fd = -1;
  if (::close(fd) != 0) {
    const int error_number = errno;
    abandon_results(table);
    write_failed(table, error_number);
  }
  const table_destination& to = table.destination;
  if (!to.unfinished.empty()) {
    release_unfinished();
    if (::rename(to.unfinished.c_str(), to.target.c_str()) != 0) {
      const int error_number = errno;
      ::unlink(to.unfinished.c_str());
      write_failed(table, error_number);
    }
  }
}

void abandon_results(results_table& table) noexcept {
  table.worker.reset();  // lets what was posted finish, then joins
  if (table.fd >= 0) {
    ::close(table.fd);
    table.fd = -1;
  }
  if (!table.destination.unfinished.empty()) {
    ::unlink(table.destination.unfinished.c_str());
    release_unfinished();
  }
}

}  // namespace pumak
