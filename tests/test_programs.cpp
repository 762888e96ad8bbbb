// The built programs end to end: every distinct failure, the failed writes
// included, leaves each file of the site as it was; a results table is whole
// or not there, whatever stops a run; help touches nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>

#include "driver/run_driver.hpp"
#include "io/results_table.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

namespace fs = std::filesystem;
using edit = std::function<void(const fs::path& run)>;
const std::string par = "parameter.ini";
const std::string met = "../data/met_lv3/syn28.txt";

// Line k of a file, or with `to_end` line k and all after it, replaced by `text`.
edit line(const std::string& file, int k, const std::string& text, bool to_end = false) {
  return [=](const fs::path& run) { testing::replace_line(run / file, k, text, to_end); };
}
edit directory(const std::string& name) {
  return [=](const fs::path& run) { fs::remove(run / name), fs::create_directory(run / name); };
}
const edit link_to_met = [](const fs::path& run) { fs::create_symlink(met, run / "link.csv"); };
const edit no_met = [](const fs::path& run) { fs::remove(run / met); };

// Each row: program, changes to the lat28_summer site, status, the line on
// standard error after "<program>: ", how the program is run.
TEST(Programs, EveryFailureLeavesEveryFileAsItWas) {
  const std::tuple<std::string, std::vector<edit>, int, std::string, testing::run_options> failures[] = {
      {"metrun", {directory(par)}, 2, "cannot read parameter.ini: Is a directory", {}},
      {"fixed_a", {[](const fs::path& run) { fs::remove(run / par); }}, 2, "cannot open parameter.ini: No such file or directory", {}},
      {"fixed_b", {line(par, 1, "", true)}, 2, "parameter.ini: met_file: the file ends before this value", {}},
      {"fixed_a", {line(par, 13, "", true)}, 2, "parameter.ini:12: k_ice_direct: the file ends before this value", {}},
      {"metrun", {line(par, 3, "albedo_cryo\n" + std::string("0.\0\xe2", 4) + std::string(1 << 20, '9'))}, 2,
       "parameter.ini:4: albedo_cryo: expected a real, found \"0.\\x00\\xe2" + std::string(36, '9') + "...\"", {}},
      {"fixed_b", {line(par, 10, "n_days 10.0")}, 2, "parameter.ini:10: n_days: expected an integer, found \"10.0\"", {}},
      {"metrun", {line(par, 9, "ch,, 0.002")}, 2, "parameter.ini:9: ch: no value (an empty field between commas or before the first value)", {}},
      {"metrun", {line(par, 13, "k_ice_direct_1/m 1.0")}, 2, "parameter.ini:13: k_ice_direct: no value (a slash ended the statement before it)", {}},
      {"metrun", {line(par, 1, "'syn28.txt results.csv")}, 2,
       "parameter.ini:1: met_file: quoted text without its closing mark on the line: \"'syn28.txt results.csv\"", {}},
      {"metrun", {line(par, 1, std::string("'syn28.txt\0x' results.csv", 25))}, 2, "parameter.ini:1: met_file: a file name cannot hold a NUL byte", {}},
      {"fixed_a", {line(par, 11, "mode -99999999999")}, 2,
       "parameter.ini:11: diffuse_mode: expected an integer within 32 bits, found \"-99999999999\"", {}},
      {"metrun", {line(par, 10, "n_days 365251")}, 2, "parameter.ini:10: n_days: 365251 days exceed the longest run of 365250 days (1000 years)", {}},
      {"fixed_b", {line(par, 10, "n_days 0"), no_met}, 3, "cannot open " + met + ": No such file or directory", {}},
      {"metrun", {line(par, 1, "'' results.csv")}, 3, "cannot open the met file: met_file in parameter.ini is blank", {}},
      {"metrun", {line(met, 240, "", true)}, 3, met + ": ends after 239 of the 240 records that n_days 10 needs", {}},
      {"metrun", {line(met, 240, "240 6 18 24 169 -3.72 1.47 0.833 0 0 229", true)}, 3,
       met + ": ends after 239 of the 240 records that n_days 10 needs (record 240 has 11 of its 14 values)", {}},
      {"fixed_a", {line(met, 29, "29 6 10 5 161 -1.84 calm 0.921 0 0 224 301 1.38 889")}, 3,
       met + ":29: record 29 (day 2, hour 5), wind: expected a real, found \"calm\"", {}},
      {"metrun", {line(par, 10, "n_days 365250")}, 3, met + ": ends after 240 of the 8766000 records that n_days 365250 needs", {}},
      {"metrun", {line(par, 1, "syn28.txt ''")}, 4, "cannot create the results file: out_file in parameter.ini is blank", {}},
      {"metrun", {line(par, 1, "syn28.txt 'no\x1b[2Jdir\x7f/res\rults.csv'")}, 4,
       "cannot create no\\x1b[2Jdir\\x7f/res\\x0dults.csv: No such file or directory", {}},
      {"metrun", {line(par, 1, "syn28.txt tables"), directory("tables")}, 4, "cannot create tables: Is a directory", {}},
      {"fixed_b", {line(par, 1, "syn28.txt '../run/./parameter.ini'")}, 4,
       "cannot create ../run/./parameter.ini: it is the input file parameter.ini", {}},
      {"metrun", {line(par, 1, "syn28.txt link.csv"), link_to_met}, 4, "cannot create link.csv: it is the input file " + met, {}},
      {"fixed_a", {line(par, 1, "syn28.txt '/dev/full'")}, 4, "cannot write /dev/full: No space left on device", {}},
      {"metrun", {}, 4, "cannot write results.csv: File too large", {.file_size_limit = 16384}},
      {"fixed_b", {line(par, 1, "syn28.txt '/dev/stdout'")}, 4, "cannot write /dev/stdout: Broken pipe", {.stdout_closed_pipe = true}},
  };
  for (const auto& [program, edits, status, diagnostic, options] : failures) {
    SCOPED_TRACE(diagnostic);
    const testing::temp_dir dir;
    testing::copy_site(testing::golden("lat28_summer"), dir.path);
    testing::write_file(dir.path / "run/results.csv", "earlier table\n");
    for (const edit& e : edits) e(dir.path / "run");
    const auto before = testing::snapshot(dir.path);
    EXPECT_EQ(testing::run(program, dir.path / "run", options).seen(), std::to_string(status) + "||pumak_" + program + ": " + diagnostic + "\n");
    EXPECT_TRUE(testing::snapshot(dir.path) == before) << "a file of the site changed";
  }
}

TEST(Programs, ATableIsWholeOrNotThere) {
  // A century of records alike but for their day of year, and an earlier table.
  const testing::temp_dir dir;
  testing::copy_site(testing::golden("lat28_summer"), dir.path);
  const fs::path run = dir.path / "run";
  testing::replace_line(run / par, 10, "n_days 36525");
  std::ofstream records(run / met);
  for (int h = 0; h < 36525 * 24; ++h) {
    records << "1 7 1 " << h % 24 + 1 << ' ' << h / 24 + 1 << " -3 5 0.8 " << (h % 24 > 5 && h % 24 < 18 ? 400 : 0) << " 0 250 300 1.4 890\n";
  }
  records.close();
  testing::write_file(run / "results.csv", "earlier table\n");
  const auto before = testing::snapshot(run);
  const auto unfinished = [](const auto& file) { return fs::path(file.first).string().starts_with("results.csv.unfinished-"); };
  for (const int signal : {SIGTERM, SIGKILL}) {
    const testing::run_result stopped = testing::run("metrun", run, {.stop_with = signal});
    EXPECT_TRUE(WIFSIGNALED(stopped.wait_status) && WTERMSIG(stopped.wait_status) == signal);
    EXPECT_EQ(stopped.seen(), std::to_string(128 + signal) + "||" +
                                  (signal == SIGTERM ? "pumak_metrun: interrupted: the earlier results.csv is unchanged\n" : ""));
    auto after = testing::snapshot(run);
    EXPECT_EQ(std::erase_if(after, unfinished), signal == SIGKILL ? 1u : 0u) << "a killed run leaves its unfinished file";
    EXPECT_TRUE(after == before);
  }
  const testing::run_result whole = testing::run("metrun", run);
  EXPECT_EQ(whole.seen(), "0||");
  EXPECT_LT(whole.peak_kib, PUMAK_PEAK_MIB * 1024);  // the fourteen series take 47 MiB
  const std::string two_threads = testing::read_file(run / "results.csv");
  EXPECT_EQ(std::count(two_threads.begin(), two_threads.end(), '\n'), 36525 * 24 + 1);
  // Read and written by one thread in this process: the same bytes.
  const fs::path here = fs::current_path();
  fs::current_path(run);
  run_driver(*std::make_unique<model_state>(), metrun_variant, 1);
  fs::current_path(here);
  EXPECT_TRUE(testing::read_file(run / "results.csv") == two_threads);

  // Two programs at once into one table (and the unfinished file of the
  // killed run removed): one run's whole table remains.
  testing::replace_line(run / par, 10, "n_days 3650");
  std::vector<std::string> tables;
  for (const char* program : {"metrun", "fixed_a"}) {
    EXPECT_EQ(testing::run(program, run).status, 0);
    tables.push_back(testing::read_file(run / "results.csv"));
  }
  auto metrun = std::async(std::launch::async, [&run] { return testing::run("metrun", run).status; });
  EXPECT_EQ(testing::run("fixed_a", run).status + metrun.get(), 0);
  auto now = testing::snapshot(run);
  EXPECT_TRUE(tables[0] != tables[1] && (now["results.csv"] == tables[0] || now["results.csv"] == tables[1]));
  EXPECT_EQ(std::erase_if(now, unfinished), 0u);

  // Help touches no file; a table named by a link replaces the link's target.
  fs::create_directory(run / "tables");
  fs::rename(run / "results.csv", run / "tables/real.csv");
  fs::create_symlink("tables/real.csv", run / "results.csv");
  now = testing::snapshot(run);
  for (const std::string program : {"metrun", "fixed_a", "fixed_b"}) {
    for (const std::string arg : {"--help", "-h", "--version"}) {
      const std::string help = testing::run(program, run, {.args = {arg}}).seen();
      EXPECT_TRUE(help.starts_with((arg == "--version" ? "0|pumak_" : "0|usage: pumak_") + program + " ") && help.ends_with("\n|")) << help;
      EXPECT_TRUE(testing::snapshot(run) == now) << program << " " << arg;
    }
  }
  EXPECT_EQ(testing::run("metrun", run).status, 0);
  now["tables/real.csv"] = tables[0];
  EXPECT_TRUE(testing::snapshot(run) == now) << "the link stays and its target holds metrun's table";
}

// The shortest text that reads back to the same float, with ".0" where it
// would look like an integer.
TEST(Programs, RealsReadBackAsThemselvesAndLookLikeReals) {
  char text[16];
  for (const auto& [value, spelled] :
       {std::pair{0.0f, "0.0"}, {-0.0f, "-0.0"}, {100.0f, "100.0"}, {-3.0f, "-3.0"}, {16777216.0f, "16777216.0"}, {0.1f, "0.1"},
        {123456.79f, "123456.79"}, {1e20f, "1e+20"}, {1.4e-45f, "1e-45"}, {3.4028235e38f, "3.4028235e+38"}, {NAN, "NaN"},
        {-NAN, "NaN"}, {HUGE_VALF, "Inf"}, {-HUGE_VALF, "-Inf"}}) {
    EXPECT_EQ(std::string(text, format_real(text, value)), spelled);
  }
}

}  // namespace
}  // namespace pumak
