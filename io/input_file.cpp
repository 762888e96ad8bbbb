#include "io/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pumak {

input_file::input_file(const std::string& path, exit_status status)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (fd_ < 0) {
    throw run_failure(status, "cannot open " + path + ": " + system_reason(errno), path);
  }
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd_);
    throw run_failure(status, "cannot read " + path + ": " + system_reason(EISDIR), path);
  }
}

input_file::~input_file() { ::close(fd_); }

}  // namespace pumak
