// Fuzzes a whole run in this process: the input is split into a
// "parameter.ini" and a meteorological file, laid out in a temporary site
// (<root>/run/parameter.ini, <root>/data/met_lv3/<met_file>), and the
// program's driver runs there.
//
// Input layout: the first byte chooses the program ('a': fixed forcing A,
// 'b': fixed forcing B, anything else: the recorded series); the rest up to
// the first "\n--met--\n" is the parameter file, what follows is the met
// file, stored under the name the parameter file gives. Without the marker
// there is no met file.
//
// Harness-only guards, which leave the programs as they are: inputs whose
// file names hold a '/' are skipped (an out_file such as "/etc/x" would
// write outside the temporary site, a met_file such as "../../dev/zero"
// would read a device), and so are runs of more than max_days days, to keep
// every input fast.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "driver/run_driver.hpp"
#include "experiments/fixed_forcing.hpp"
#include "fuzz_support.hpp"
#include "io/para.hpp"
#include "io/run_failure.hpp"
#include "records/model_state.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t max_days = 3;
constexpr std::string_view met_marker = "\n--met--\n";

fs::path site_root;

// The run reads and writes relative to the working directory; libFuzzer's
// own paths (corpus, artifacts) are relative to the one it started in.
class inside_site {
 public:
  explicit inside_site(const fs::path& dir) : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    PUMAK_FUZZ_CHECK(previous_ >= 0 && ::chdir(dir.c_str()) == 0);
  }
  ~inside_site() {
    PUMAK_FUZZ_CHECK(::fchdir(previous_) == 0);
    ::close(previous_);
  }
  inside_site(const inside_site&) = delete;
  inside_site& operator=(const inside_site&) = delete;

 private:
  int previous_;
};

void write_bytes(const fs::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  PUMAK_FUZZ_CHECK(fd >= 0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    PUMAK_FUZZ_CHECK(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  ::close(fd);
}

void empty_directory(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    fs::remove_all(entry.path());
  }
}

bool usable_name(std::string_view name) { return name.find('/') == std::string_view::npos; }

std::string contents(const fs::path& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  PUMAK_FUZZ_CHECK(fd >= 0);
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    PUMAK_FUZZ_CHECK(got >= 0);
    if (got == 0) break;
    content.append(block, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "pumak-fuzz-run-XXXXXX").string();
  PUMAK_FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
  site_root = pattern;
  fs::create_directories(site_root / "run");
  fs::create_directories(site_root / "data" / "met_lv3");
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(site_root, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const pumak::model_variant& variant = data[0] == 'a'   ? pumak::fixed_a_variant
                                        : data[0] == 'b' ? pumak::fixed_b_variant
                                                         : pumak::metrun_variant;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t marker = input.find(met_marker);
  const std::string_view parameters = input.substr(0, marker);
  const std::string_view met =
      marker == std::string_view::npos ? std::string_view() : input.substr(marker + met_marker.size());

  const fs::path run = site_root / "run";
  const fs::path met_dir = site_root / "data" / "met_lv3";
  empty_directory(run);
  empty_directory(met_dir);
  write_bytes(run / "parameter.ini", parameters);
  const inside_site inside(run);

  // Read the parameters once as the run will, to apply the guards and to
  // store the met file under its name.
  auto probe = std::make_unique<pumak::run_parameters>();
  bool parameters_read = true;
  try {
    pumak::para(*probe, variant.parameter_statements);
  } catch (const pumak::run_failure& failure) {
    PUMAK_FUZZ_CHECK(failure.status() == pumak::exit_parameter_file);
    parameters_read = false;
  }
  if (parameters_read) {
    const std::string_view met_name = probe->met_file.trimmed();
    const std::string_view out_name = probe->out_file.trimmed();
    if (!usable_name(met_name) || !usable_name(out_name) || probe->n_days > max_days) {
      return 0;
    }
    const std::string met_path = std::string(met_name);
    if (marker != std::string_view::npos && !met_path.empty() && met_path != "." &&
        met_path != ".." && met_path.find('\0') == std::string::npos) {
      write_bytes(met_dir / met_path, met);
    }
  }
  auto state = std::make_unique<pumak::model_state>();
  bool finished = true;
  try {
    pumak::run_driver(*state, variant);
  } catch (const pumak::run_failure& failure) {
    const std::string_view message = failure.what();
    PUMAK_FUZZ_CHECK(!message.empty() && message.find('\n') == std::string_view::npos);
    PUMAK_FUZZ_CHECK(failure.status() >= pumak::exit_parameter_file &&
                     failure.status() <= pumak::exit_results_file);
    PUMAK_FUZZ_CHECK(parameters_read || failure.status() == pumak::exit_parameter_file);
    finished = false;
  }
  // Whatever out_file names, the parameter file is never written to, and
  // no unfinished table is left behind, finished or not.
  PUMAK_FUZZ_CHECK(contents("parameter.ini") == parameters);
  for (const auto& entry : fs::directory_iterator(run)) {
    PUMAK_FUZZ_CHECK(entry.path().filename().string().find(".unfinished-") == std::string::npos);
  }
  if (finished) {
    // A finished run wrote the header and one row per hour.
    PUMAK_FUZZ_CHECK(parameters_read);
    const std::size_t hours = probe->n_days > 0 ? static_cast<std::size_t>(probe->n_days) * 24 : 0;
    const std::string table = contents(std::string(probe->out_file.trimmed()));
    PUMAK_FUZZ_CHECK(static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n')) == hours + 1);
  }
  return 0;
}
