#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Helpers shared by the tests: temporary working layouts, parameter and met
// files, running the built programs and reading their tables back.
namespace pumak::testing {

namespace fs = std::filesystem;

// A fresh empty directory, removed when the object goes away.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Changes the working directory for the life of the object.
class scoped_chdir {
 public:
  explicit scoped_chdir(const fs::path& dir);
  ~scoped_chdir();

 private:
  fs::path previous_;
};

void write_file(const fs::path& path, std::string_view content);
std::string read_file(const fs::path& path);

// The working layout of a site: <root>/run/parameter.ini and the met file
// in <root>/data/met_lv3/.
struct site {
  temp_dir root;
  fs::path run() const { return root.path() / "run"; }
  fs::path met_dir() const { return root.path() / "data" / "met_lv3"; }
  site();
};

// A parameter file of the plain layout, one statement per line: the two file
// names, then "label value" for each numeric item. `values` overrides items
// by name; `statements` is 16 or 13.
std::string parameter_file(const std::map<std::string, std::string>& values = {},
                           int statements = 16);

// Plausible hourly records for `n_days` days in July at a melting ice
// surface: warm days with strong sun, cooler nights.
std::string met_records(int n_days, int first_doy = 190);

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
  long peak_kib = 0;  // peak resident memory of the program
};

// Runs `program` with `dir` as its working directory and no input. A
// `file_size_limit` (bytes) makes its writes beyond that size fail with EFBIG.
run_result run_in(const std::string& program, const fs::path& dir, long file_size_limit = 0);

// A results table read back: the header and each row split at commas.
struct table {
  std::string header;
  std::vector<std::vector<std::string>> rows;
  std::size_t column(std::string_view name) const;
};
table read_table(const fs::path& path);

// A written real read back to single precision (NaN, Inf and -Inf included).
float to_float(const std::string& text);
std::uint32_t bits(float value);

}  // namespace pumak::testing
