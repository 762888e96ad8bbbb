#include "test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace pumak::testing {

temp_dir::temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "pumak-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

scoped_chdir::scoped_chdir(const fs::path& dir) : previous_(fs::current_path()) {
  fs::current_path(dir);
}

scoped_chdir::~scoped_chdir() { fs::current_path(previous_); }

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

site::site() {
  fs::create_directories(run());
  fs::create_directories(met_dir());
}

std::string parameter_file(const std::map<std::string, std::string>& values, int statements) {
  const std::vector<std::pair<std::string, std::string>> items{
      {"latitude", "67.0"},        {"albedo_cryo", "0.15"},
      {"albedo_ice", "0.5"},       {"ta_offset", "0.0"},
      {"cryoconite_diameter", "100.0"}, {"cryoconite_depth", "100.0"},
      {"sd_calc", "0.0"},          {"ch", "0.002"},
      {"n_days", "3"},             {"diffuse_mode", "0"},
      {"unused", "0.0"},           {"k_ice_direct", "1.0"},
      {"k_ice_diffuse", "1.0"},    {"fixed_solar_angle", "-1.0"},
      {"fixed_cryo_angle", "-1.0"}};
  const auto value_of = [&values](const std::string& name, const std::string& fallback) {
    const auto found = values.find(name);
    return found == values.end() ? fallback : found->second;
  };
  std::string text = value_of("met_file", "site.txt") + " " + value_of("out_file", "results.csv") + "\n";
  for (int s = 2; s <= statements; ++s) {
    const auto& [name, fallback] = items[static_cast<std::size_t>(s - 2)];
    text += name + " " + value_of(name, fallback) + "\n";
  }
  return text;
}

std::string met_records(int n_days, int first_doy) {
  std::string text;
  char line[256];
  for (int d = 0; d < n_days; ++d) {
    for (int h = 1; h <= 24; ++h) {
      const double daylight = std::sin(3.14159265 * (h - 4) / 18.0);
      const double sun = h > 4 && h < 22 ? 750.0 * daylight : 0.0;
      const double ta = 1.0 + 3.0 * daylight + 0.1 * (d % 5);
      const double lw_up = h > 8 && h < 20 ? 316.0 : 310.0 + 0.2 * h;
      std::snprintf(line, sizeof line,
                    "2020 7 %d %d %d %.2f %.2f %.4f %.2f %.2f %.2f %.2f %.4f %.2f\n", 1 + d % 28, h,
                    first_doy + d, ta, 4.0 + (h % 5), 0.75, sun, 0.5 * sun, 270.0 + 0.5 * (d % 7),
                    lw_up, 0.1 - 0.01 * d, 965.0);
      text += line;
    }
  }
  return text;
}

run_result run_in(const std::string& program, const fs::path& dir, long file_size_limit) {
  const temp_dir capture;
  const fs::path out = capture.path() / "out";
  const fs::path err = capture.path() / "err";
  const pid_t child = ::fork();
  if (child == 0) {
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 ||
        ::dup2(err_fd, 2) < 0 || ::chdir(dir.c_str()) != 0) {
      ::_exit(127);
    }
    if (file_size_limit > 0) {
      ::signal(SIGXFSZ, SIG_IGN);  // let the write fail instead of ending the program
      const rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  run_result result;
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) {
    throw std::runtime_error("cannot run " + program);
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out);
  result.err = read_file(err);
  result.peak_kib = usage.ru_maxrss;
  return result;
}

std::size_t table::column(std::string_view name) const {
  std::size_t index = 0;
  std::size_t start = 0;
  while (start <= header.size()) {
    const std::size_t comma = std::min(header.find(',', start), header.size());
    if (header.substr(start, comma - start) == name) {
      return index;
    }
    ++index;
    start = comma + 1;
  }
  throw std::runtime_error("no column " + std::string(name));
}

table read_table(const fs::path& path) {
  std::ifstream in(path);
  table t;
  std::getline(in, t.header);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = line.find(',', start);
      fields.push_back(line.substr(start, comma - start));
      if (comma == std::string::npos) {
        break;
      }
      start = comma + 1;
    }
    t.rows.push_back(std::move(fields));
  }
  return t;
}

float to_float(const std::string& text) {
  std::string s = text;
  s.erase(0, s.find_first_not_of(' '));
  s.erase(s.find_last_not_of(' ') + 1);
  if (s == "NaN" || s == "nan" || s == "-nan") {
    return std::numeric_limits<float>::quiet_NaN();
  }
  if (s == "Inf" || s == "inf") {
    return std::numeric_limits<float>::infinity();
  }
  if (s == "-Inf" || s == "-inf") {
    return -std::numeric_limits<float>::infinity();
  }
  float value = 0.0f;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), value);
  if (result.ec != std::errc() || result.ptr != s.data() + s.size()) {
    throw std::runtime_error("not a real: \"" + text + "\"");
  }
  return value;
}

std::uint32_t bits(float value) {
  std::uint32_t b = 0;
  std::memcpy(&b, &value, sizeof b);
  return b;
}

}  // namespace pumak::testing
