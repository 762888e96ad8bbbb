#include "io/statement_scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "records/text_field.hpp"

namespace pumak {
namespace {

const char* file_type(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Opens `path` without blocking on a FIFO and keeps it only if it is a
// regular file.
int open_regular(const std::string& path, exit_status status) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    throw run_failure(status, "cannot open " + path + ": " + system_reason(errno), path);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    throw run_failure(status, "cannot read " + path + ": " + system_reason(error), path);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    throw run_failure(status,
                      "cannot read " + path + ": " + file_type(info.st_mode) +
                          ", not a regular file",
                      path);
  }
  // Reads of a regular file never block; clear the flag all the same.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

std::size_t scanned_statement::values_on_first_line() const {
  return static_cast<std::size_t>(
      std::count_if(values.begin(), values.end(),
                    [this](const free_format_reader::value_text& v) { return v.line == first_line; }));
}

statement_scanner::statement_scanner(const std::string& path, exit_status status,
                                     std::size_t block_size)
    : fd_(open_regular(path, status)), reader_(fd_, block_size) {}

statement_scanner::~statement_scanner() { ::close(fd_); }

bool statement_scanner::next(std::span<const statement_item::kind> kinds, scanned_statement& out) {
  using reason = statement_problem::reason;
  if (finished_) {
    return false;
  }
  std::vector<free_format_reader::value_text> values;
  std::vector<std::int32_t> integers(kinds.size(), 0);
  std::vector<float> reals(kinds.size(), 0.0f);
  std::vector<text_field> texts(kinds.size());
  std::vector<statement_item> items;
  items.reserve(kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    switch (kinds[i]) {
      case statement_item::kind::label:
        items.push_back(statement_item::label());
        break;
      case statement_item::kind::text:
        items.push_back(statement_item::text(texts[i]));
        break;
      case statement_item::kind::integer:
        items.push_back(statement_item::integer(integers[i]));
        break;
      case statement_item::kind::real:
        items.push_back(statement_item::real(reals[i]));
        break;
    }
  }
  reader_.record_texts(&values);
  const bool read = reader_.read_statement(items);
  reader_.record_texts(nullptr);
  statement_problem problem = read ? statement_problem{} : reader_.problem();
  if (!read) {
    const reason why = problem.why;
    if (why == reason::line_too_long || why == reason::read_error) {
      finished_ = true;
    } else if (why == reason::ends_early) {
      finished_ = true;
      if (values.empty()) {
        return false;  // only blank lines were left
      }
    }
  }
  out.values = std::move(values);
  out.integers = std::move(integers);
  out.reals = std::move(reals);
  out.first_line = out.values.empty() ? problem.line : out.values.front().line;
  out.last_line = read ? reader_.line_number() : problem.line;
  out.rest = read ? std::string(reader_.rest_of_line()) : std::string();
  out.problem = std::move(problem);
  return true;
}

}  // namespace pumak
