#include "io/results_table.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "io/run_failure.hpp"

namespace pumak {
namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;
// A real takes at most 16 bytes, an integer 11, each with its comma.
constexpr std::size_t longest_row = result_column_count * 17;

[[noreturn]] void write_failed(const results_table& table, int error_number) {
  throw run_failure(exit_results_file, "cannot write " + table.path + ": " + system_reason(error_number),
                    table.path);
}

void flush(results_table& table) {
  std::size_t done = 0;
  while (done < table.used) {
    const ssize_t wrote = ::write(table.fd, table.buffer.data() + done, table.used - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      write_failed(table, wrote < 0 ? errno : EIO);
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
  table.used = 0;
}

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

void open_results(results_table& table, const text_field& out_file, const char* program) {
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
  }
  if (table.fd < 0) {
    const int error_number = errno;
    release_unfinished();
    throw run_failure(exit_results_file, "cannot create " + table.path + ": " + system_reason(error_number),
                      table.path);
  }
  table.buffer.resize(buffer_size);
  table.used = 0;
  table.last_text = {};
}

void write_header(results_table& table) {
  const std::string header = results_header() + '\n';
  std::memcpy(table.buffer.data() + table.used, header.data(), header.size());
  table.used += header.size();
}

void append_row(results_table& table, const result_row& row) {
  if (table.buffer.size() - table.used < longest_row) {
    flush(table);
  }
  char* out = table.buffer.data() + table.used;
  column_text* last = table.last_text.data();  // one per real column, in header order
  for (std::size_t i = 0; i < result_column_count; ++i) {
    if (result_columns[i].kind == column_kind::real) {
      out = write_real(out, row[i].real, *last++);
    } else {
      out = format_integer(out, row[i].integer);
    }
    *out++ = ',';
  }
  out[-1] = '\n';  // the last value has no comma after it
  table.used = static_cast<std::size_t>(out - table.buffer.data());
}

void close_results(results_table& table) {
  flush(table);
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
