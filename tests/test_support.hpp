#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// What the tests share: temporary sites, the built programs run in them, and
// files read back.
namespace pumak::testing {

namespace fs = std::filesystem;

// A fresh directory, removed with all it holds when the object goes.
struct temp_dir {
  fs::path path = [] {
    std::string pattern = (fs::temp_directory_path() / "pumak-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }();
  ~temp_dir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const fs::path& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary) << content)) throw std::runtime_error("cannot write " + path.string());
}

// Replaces line k (from 1) of a file, or with `to_end` line k and all after
// it, with `text`, which may hold several lines.
inline void replace_line(const fs::path& path, int k, const std::string& text, bool to_end = false) {
  std::string content = read_file(path);
  std::size_t start = 0;
  for (int i = 1; i < k; ++i) start = content.find('\n', start) + 1;
  write_file(path, content.replace(start, to_end ? std::string::npos : content.find('\n', start) - start, text));
}

// Every entry under `root`: a file's content, a link's target, a directory.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries[entry.path().lexically_relative(root)] = entry.is_symlink() ? "link to " + fs::read_symlink(entry).string()
                                                     : entry.is_directory() ? "directory" : read_file(entry);
  }
  return entries;
}

// The reference site tests/data/golden/<name>, and a copy of a site's run/ and data/.
inline fs::path golden(const std::string& name) { return fs::path(PUMAK_SOURCE_DIR) / "tests/data/golden" / name; }
inline void copy_site(const fs::path& from, const fs::path& to) {
  for (const char* part : {"run", "data"}) fs::copy(from / part, to / part, fs::copy_options::recursive);
}

struct run_options {
  std::vector<std::string> args;
  long file_size_limit = 0;         // bytes (RLIMIT_FSIZE); 0: none
  bool stdout_closed_pipe = false;  // standard output a pipe that nobody reads
  int stop_with = 0;  // a signal sent once the run's unfinished results.csv holds 4 MiB
};

struct run_result {
  int status;  // as a shell reports it: the exit status, or 128 + the signal
  int wait_status;
  std::string out, err;
  long peak_kib;  // peak resident memory
  // "<status>|<standard output>|<standard error>", to check all three at once.
  std::string seen() const { return std::to_string(status) + "|" + out + "|" + err; }
};

// Runs the built pumak_<program> in `dir`, with standard input /dev/null and
// the signals as a fresh process has them. What the child needs is made
// before the fork: another thread may hold the allocator's lock.
inline run_result run(const std::string& program, const fs::path& dir, const run_options& options = {}) {
  const temp_dir capture;
  const std::string out = capture.path / "out", err = capture.path / "err", path = PUMAK_PROGRAM_DIR "/pumak_" + program;
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const rlimit size{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
  int unread[2] = {-1, -1};
  if (options.stdout_closed_pipe && ::pipe(unread) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  if (pid == 0) {
    for (const int s : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
    const int out_fd = unread[1] >= 0 ? unread[1] : ::creat(out.c_str(), 0644);
    if (::dup2(::open("/dev/null", O_RDONLY), 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(::creat(err.c_str(), 0644), 2) < 0 ||
        ::chdir(dir.c_str()) != 0 || (size.rlim_cur > 0 && ::setrlimit(RLIMIT_FSIZE, &size) != 0)) {
      ::_exit(127);
    }
    ::close(unread[0]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(unread[0]), ::close(unread[1]);
  const fs::path unfinished = dir / ("results.csv.unfinished-" + std::to_string(pid));
  for (int i = 0; options.stop_with != 0 && i < 40000; ++i, ::usleep(500)) {
    std::error_code absent;
    if (fs::file_size(unfinished, absent) >= (4 << 20) && !absent && ::kill(pid, options.stop_with) == 0) break;
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("cannot wait for " + program);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), status, read_file(out), read_file(err), usage.ru_maxrss};
}

}  // namespace pumak::testing
