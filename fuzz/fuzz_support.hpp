#pragma once

// Helpers shared by the libFuzzer harnesses.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "io/free_format_reader.hpp"

namespace pumak::fuzzing {

// A broken invariant: report it and abort, which libFuzzer records as a crash.
#define PUMAK_FUZZ_CHECK(condition)                                                       \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)

// An anonymous in-memory file holding `size` bytes, open for reading at its
// start. The caller closes it.
inline int memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("pumak-fuzz", MFD_CLOEXEC);
  PUMAK_FUZZ_CHECK(fd >= 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = ::write(fd, data + done, size - done);
    PUMAK_FUZZ_CHECK(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  PUMAK_FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

// What a reader made of a file: the statements read, their values as bytes,
// the line on which each ended, and the problem that stopped the reading.
struct reading {
  int statements = 0;
  std::vector<std::uint8_t> values;
  std::vector<std::int64_t> lines;
  statement_problem problem;

  bool operator==(const reading& other) const {
    return statements == other.statements && values == other.values && lines == other.lines &&
           problem.why == other.problem.why && problem.item == other.problem.item &&
           problem.line == other.problem.line && problem.token == other.problem.token;
  }
};

// The values of a statement's items (labels have none) appended as bytes.
inline void append_values(std::vector<std::uint8_t>& out, std::span<const statement_item> items) {
  for (const statement_item& item : items) {
    const void* from = item.target;
    std::size_t size = 0;
    switch (item.type) {
      case statement_item::kind::label:
        continue;
      case statement_item::kind::text:
        from = static_cast<const text_field*>(item.target)->chars.data();
        size = text_field::capacity;
        break;
      case statement_item::kind::integer:
        size = sizeof(std::int32_t);
        break;
      case statement_item::kind::real:
        size = sizeof(float);
        break;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(from);
    out.insert(out.end(), bytes, bytes + size);
  }
}

// Checks what must hold after a statement could not be read: a reason, an
// item of the statement, a line of the file, and a one-line explanation.
inline void check_problem(const statement_problem& problem, std::span<const statement_item> items,
                          std::int64_t lines_in_file) {
  PUMAK_FUZZ_CHECK(problem.why != statement_problem::reason::none);
  PUMAK_FUZZ_CHECK(problem.why != statement_problem::reason::read_error);
  PUMAK_FUZZ_CHECK(problem.item < items.size());
  PUMAK_FUZZ_CHECK(problem.line >= 0 && problem.line <= lines_in_file);
  const std::string text = explain(problem, items[problem.item].type);
  PUMAK_FUZZ_CHECK(!text.empty());
  PUMAK_FUZZ_CHECK(text.find('\n') == std::string::npos);
  PUMAK_FUZZ_CHECK(text.size() < 400);
}

// The number of lines a reader may count in the file: a last line without
// its line end counts too.
inline std::int64_t lines_in(const std::uint8_t* data, std::size_t size) {
  std::int64_t lines = 0;
  for (std::size_t i = 0; i < size; ++i) {
    lines += data[i] == '\n' ? 1 : 0;
  }
  return lines + (size > 0 && data[size - 1] != '\n' ? 1 : 0);
}

// Reads statements laid out by `layout(s)` (the items of statement s, empty
// when there is no statement s) from the bytes with the given block size,
// checking the reader's promises on the way.
template <typename Layout>
reading read_all(const std::uint8_t* data, std::size_t size, std::size_t block, Layout layout) {
  const int fd = memory_file(data, size);
  const std::int64_t lines = lines_in(data, size);
  free_format_reader reader(fd, block);
  reading result;
  std::int64_t previous_line = 0;
  for (int s = 0;; ++s) {
    const std::vector<statement_item> items = layout(s);
    if (items.empty()) {
      break;
    }
    if (!reader.read_statement(items)) {
      result.problem = reader.problem();
      check_problem(result.problem, items, lines);
      append_values(result.values, items);  // the items read before the problem
      break;
    }
    // A statement ends on a line of the file, after the previous one.
    PUMAK_FUZZ_CHECK(reader.line_number() > previous_line && reader.line_number() <= lines);
    previous_line = reader.line_number();
    ++result.statements;
    result.lines.push_back(reader.line_number());
    append_values(result.values, items);
  }
  ::close(fd);
  return result;
}

}  // namespace pumak::fuzzing
