#include "io/metdata.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "io/free_format_reader.hpp"
#include "io/input_file.hpp"
#include "io/met_columns.hpp"
#include "io/run_failure.hpp"

namespace pumak {
void size_series(met_series& s, std::size_t records) {
  for (const met_column& column : met_columns) {
    if (column.integer != nullptr) {
      (s.*column.integer).assign(records + 1, 0);
    } else {
      (s.*column.real).assign(records + 1, 0.0f);
    }
  }
}

std::array<statement_item, 14> record_items(met_series& s, std::size_t m) {
  std::array<statement_item, 14> items{};
  for (std::size_t i = 0; i < met_columns.size(); ++i) {
    const met_column& column = met_columns[i];
    items[i] = column.integer != nullptr ? statement_item::integer((s.*column.integer)[m])
                                         : statement_item::real((s.*column.real)[m]);
  }
  return items;
}

std::string met_file_path(const text_field& met_file, const std::string& run_dir) {
  const std::string relative = "../data/met_lv3/" + std::string(met_file.trimmed());
  return run_dir.empty() ? relative : run_dir + "/" + relative;
}

namespace {

// Reads records first..last into the series. Returns 0 when all were read,
// or the record that could not be (the reader's problem says why).
std::size_t read_records(free_format_reader& reader, met_series& s, std::size_t first,
                         std::size_t last) {
  for (std::size_t m = first; m <= last; ++m) {
    const std::array<statement_item, 14> record = record_items(s, m);
    if (!reader.read_statement(record)) {
      return m;
    }
  }
  return 0;
}

struct reading_context {
  std::string path;
  std::size_t records;
  std::int32_t n_days;
  std::int32_t hours_per_day;
};

[[noreturn]] void report(const reading_context& c, const statement_problem& problem, std::size_t m) {
  if (problem.why == statement_problem::reason::ends_early) {
    std::string message = c.path + ": ends after " + std::to_string(m - 1) + " of the " +
                          std::to_string(c.records) + " records that n_days " +
                          std::to_string(c.n_days) + " needs";
    if (problem.item > 0) {
      message += " (record " + std::to_string(m) + " has " + std::to_string(problem.item) +
                 " of its 14 values)";
    }
    throw run_failure(exit_met_file, message, c.path);
  }
  const auto hours = static_cast<std::size_t>(c.hours_per_day);
  const std::size_t d = (m - 1) / hours + 1;
  const std::size_t h = (m - 1) % hours + 1;
  const met_column& column = met_columns[problem.item];
  throw run_failure(exit_met_file,
                    c.path + ":" + std::to_string(problem.line) + ": record " + std::to_string(m) +
                        " (day " + std::to_string(d) + ", hour " + std::to_string(h) + "), " +
                        std::string(column.name) + ": " + explain(problem, column.kind),
                    c.path, problem.line, std::string(column.name));
}

// Below this many records one thread reads the whole file.
constexpr std::size_t parallel_records = std::size_t{1} << 15;

// The second half of a met file, read by a second thread. It starts at the
// first line that begins after the middle of the file and assumes that
// every line before it holds one record, so that its first record is the
// one after those lines. The first thread confirms that when it gets there.
struct second_half {
  bool usable = false;
  std::int64_t start = 0;        // byte offset of its first line
  std::int64_t lines_before = 0;  // lines of the file before that
  std::size_t failed = 0;        // record that could not be read, 0 if none
  statement_problem problem;
};

// Finds where the second half starts: after the first line end at or past
// the middle of the file, counting the lines before it.
bool find_second_half(int fd, std::int64_t size, second_half& half) {
  std::vector<char> block(std::size_t{1} << 20);
  std::int64_t offset = 0;
  std::int64_t lines = 0;
  const std::int64_t middle = size / 2;
  while (offset < size) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got <= 0) {
      return false;
    }
    const char* data = block.data();
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\n', data + got - p)));
         ++p) {
      ++lines;
      if (offset + (p - data) >= middle) {
        half.start = offset + (p - data) + 1;
        half.lines_before = lines;
        return half.start < size;
      }
    }
    offset += got;
  }
  return false;
}

// Runs on the second thread: finds the second half, tells the first thread
// where it starts, then reads it. Never throws: the first thread reads
// whatever this one could not.
void read_second_half(const std::string& path, met_series& s, std::size_t records, second_half& half,
                      std::promise<void>& found) noexcept {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  try {
    struct stat info {};
    half.usable = fd >= 0 && ::fstat(fd, &info) == 0 && find_second_half(fd, info.st_size, half) &&
                  static_cast<std::size_t>(half.lines_before) < records &&
                  ::lseek(fd, half.start, SEEK_SET) == half.start;
  } catch (...) {
    half.usable = false;
  }
  found.set_value();
  if (half.usable) {
    try {
      free_format_reader reader(fd, std::size_t{1} << 20, half.lines_before);
      half.failed = read_records(reader, s, static_cast<std::size_t>(half.lines_before) + 1, records);
      if (half.failed != 0) {
        half.problem = reader.problem();
      }
    } catch (...) {
      half.usable = false;  // out of memory: the first thread reads on instead
    }
  }
  if (fd >= 0) {
    ::close(fd);
  }
}

}  // namespace

void metdata(met_series& s, std::int32_t n_days, std::int32_t hours_per_day,
             const text_field& met_file, const std::string& run_dir, unsigned threads) {
  if (met_file.trimmed().empty()) {
    throw run_failure(exit_met_file, "cannot open the met file: met_file in parameter.ini is blank",
                      "parameter.ini", 1, "met_file");
  }
  const std::string path = met_file_path(met_file, run_dir);
  const input_file file(path, exit_met_file);

  const std::size_t records =
      n_days > 0 ? static_cast<std::size_t>(n_days) * static_cast<std::size_t>(hours_per_day) : 0;
  size_series(s, records);
  const reading_context context{path, records, n_days, hours_per_day};
  free_format_reader reader(file.fd());

  std::size_t next = 1;  // the first record not yet read by this thread
  if (threads == 0) {
    threads = std::thread::hardware_concurrency();
  }
  if (records >= parallel_records && threads > 1) {
    second_half half;
    std::promise<void> found;
    std::thread helper(read_second_half, std::cref(path), std::ref(s), records, std::ref(half),
                       std::ref(found));
    found.get_future().wait();
    if (half.usable) {
      const auto last = static_cast<std::size_t>(half.lines_before);
      const std::size_t failed = read_records(reader, s, 1, last);
      helper.join();
      if (failed != 0) {
        report(context, reader.problem(), failed);
      }
      if (half.usable && reader.line_number() == half.lines_before &&
          reader.bytes_consumed() == half.start) {
        // The halves meet between two records: the second thread read what
        // this one would have read from there.
        if (half.failed != 0) {
          report(context, half.problem, half.failed);
        }
        return;
      }
      next = last + 1;  // blank or continued lines: read the rest here
    } else {
      helper.join();
    }
  }
  if (const std::size_t failed = read_records(reader, s, next, records)) {
    report(context, reader.problem(), failed);
  }
}

}  // namespace pumak
