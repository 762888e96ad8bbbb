#include "io/table_replacement.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include "io/run_failure.hpp"

namespace pumak {
namespace {

[[noreturn]] void cannot_create(const std::string& path, const std::string& why) {
  throw run_failure(exit_results_file, "cannot create " + path + ": " + why, path);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows a chain of symbolic links to the name it ends in, which need not
// exist yet.
std::string final_target(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return current;
    }
    std::string link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
    if (length < 0) {
      cannot_create(path, system_reason(errno));
    }
    link.resize(static_cast<std::size_t>(length));
    current = !link.empty() && link[0] == '/' ? link : directory_of(current) + link;
  }
  cannot_create(path, system_reason(ELOOP));
}

// What a signal handler may touch: plain bytes, set before the handlers.
constexpr std::size_t path_room = 4096;
char unfinished_path[path_room];
char interrupt_line[path_room + 256];
std::size_t interrupt_length = 0;
volatile std::sig_atomic_t guarding = 0;

void on_interrupt(int signal_number) {
  if (guarding != 0) {
    ::unlink(unfinished_path);
    const ssize_t ignored = ::write(STDERR_FILENO, interrupt_line, interrupt_length);
    (void)ignored;
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void append(std::size_t& used, const std::string& text) {
  const std::size_t n = std::min(text.size(), sizeof(interrupt_line) - 1 - used);
  std::memcpy(interrupt_line + used, text.data(), n);
  used += n;
}

// Removes what runs into the same target left when they were killed: an
// unfinished file whose process no longer exists.
void remove_stale_unfinished(const std::string& target) {
  const std::string directory = directory_of(target);
  const std::string prefix = target.substr(directory.size()) + ".unfinished-";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(
           directory.empty() ? std::string(".") : directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    const std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
      continue;
    }
    const auto pid = static_cast<pid_t>(std::stol(digits));
    if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
      ::unlink((directory + name).c_str());
    }
  }
}

}  // namespace

table_destination plan_destination(const std::string& out_path) {
  table_destination destination;
  struct stat info {};
  // /dev/stdout and the like are links into the kernel's own file system
  // (/proc/self/fd/1 -> "pipe:[...]"): written where they point, directly.
  const bool special_name = out_path.starts_with("/dev/") || out_path.starts_with("/proc/");
  if (special_name || (::stat(out_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) &&
                       !S_ISDIR(info.st_mode))) {
    destination.target = out_path;
    return destination;
  }
  destination.target = final_target(out_path);
  if (::stat(destination.target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      cannot_create(out_path, system_reason(EISDIR));
    }
    if (!S_ISREG(info.st_mode)) {
      return destination;  // a device or a FIFO: written directly
    }
    // A table its owner made read-only is not replaced behind their back,
    // as writing it in place could not either.
    if (::access(destination.target.c_str(), W_OK) != 0) {
      cannot_create(out_path, system_reason(errno));
    }
    destination.earlier_table = true;
    destination.earlier_mode = info.st_mode & 07777;
  }
  remove_stale_unfinished(destination.target);
  destination.unfinished =
      destination.target + ".unfinished-" + std::to_string(static_cast<long>(::getpid()));
  return destination;
}

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void guard_unfinished(const char* program, const table_destination& destination) {
  ignore_write_signals();
  if (destination.unfinished.empty() || destination.unfinished.size() >= path_room) {
    return;
  }
  std::memcpy(unfinished_path, destination.unfinished.c_str(), destination.unfinished.size() + 1);
  std::size_t used = 0;
  append(used, std::string(program) + ": interrupted: ");
  append(used, destination.earlier_table
                   ? one_line("the earlier " + destination.target + " is unchanged")
                   : one_line("no results table written, " + destination.target + " does not exist"));
  append(used, "\n");
  interrupt_length = used;
  guarding = 1;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal_number, on_interrupt);
  }
}

void release_unfinished() noexcept { guarding = 0; }

}  // namespace pumak
