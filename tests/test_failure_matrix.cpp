// End-to-end failures of the three programs: each case lays out a site,
// runs a built program in it and checks the exit status, the one diagnostic
// line on standard error, the silence on standard output, and that no file
// of the site changed (an earlier results table included). Every case fails
// for root too: none relies on file permissions.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "io/para.hpp"
#include "io/results_table.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

namespace fs = std::filesystem;
using testing::parameter_file;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif
#else
constexpr bool address_sanitizer = false;
#endif

const std::string met_path = "../data/met_lv3/site.txt";
const std::string earlier_table = "earlier table\n";

// The names of the numeric items in diagnostics, statements 2 to 16.
const std::vector<std::string> item_names{
    "latitude", "albedo_cryo", "albedo_ice", "ta_offset", "cryoconite_diameter",
    "cryoconite_depth", "sd_calc", "ch", "n_days", "diffuse_mode",
    "item_13", "k_ice_direct", "k_ice_diffuse", "fixed_solar_angle", "fixed_cryo_angle"};

// The labels that parameter_file() writes, in statement order from 2.
const std::vector<std::string> file_labels{
    "latitude", "albedo_cryo", "albedo_ice", "ta_offset", "cryoconite_diameter",
    "cryoconite_depth", "sd_calc", "ch", "n_days", "diffuse_mode",
    "unused", "k_ice_direct", "k_ice_diffuse", "fixed_solar_angle", "fixed_cryo_angle"};

std::string program_name(const std::string& program) { return fs::path(program).filename().string(); }

// The plain parameter file with the line of `label` replaced by `line`.
std::string with_line(const std::string& label, const std::string& line) {
  std::string text = parameter_file();
  const std::size_t start = text.find("\n" + label + " ") + 1;
  return text.replace(start, text.find('\n', start) - start, line);
}

// The first `lines` lines of the plain parameter file.
std::string first_lines(int lines) {
  const std::string text = parameter_file();
  std::size_t end = 0;
  for (int i = 0; i < lines; ++i) end = text.find('\n', end) + 1;
  return text.substr(0, end);
}

// The met file of `days` days with its `record`-th line (from 1) changed by `edit`.
std::string records_with(int days, int record, const std::function<std::string(std::string)>& edit) {
  const std::string text = testing::met_records(days);
  std::size_t start = 0;
  for (int i = 1; i < record; ++i) start = text.find('\n', start) + 1;
  const std::size_t end = text.find('\n', start);
  return text.substr(0, start) + edit(text.substr(start, end - start)) + text.substr(end);
}

// Replaces the `field`-th blank-separated field (from 1) of a record line.
std::function<std::string(std::string)> field_set_to(int field, const std::string& value) {
  return [field, value](std::string line) {
    std::size_t start = 0;
    for (int i = 1; i < field; ++i) start = line.find(' ', start) + 1;
    const std::size_t end = line.find(' ', start);
    return line.replace(start, end == std::string::npos ? std::string::npos : end - start, value);
  };
}

// Keeps the first `fields` blank-separated fields of a record line.
std::function<std::string(std::string)> first_fields(int fields) {
  return [fields](std::string line) {
    std::size_t end = 0;
    for (int i = 0; i < fields; ++i) end = line.find(' ', end + 1);
    return line.substr(0, end);
  };
}

// Every file and directory under `root` with its content, to tell that a
// failed run changed nothing.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    files[name] = entry.is_directory() ? "<directory>" : testing::read_file(entry.path());
  }
  return files;
}

struct failure_case {
  std::string name;
  std::string program;
  std::optional<std::string> parameters;  // "parameter.ini"; none: no such file
  std::optional<std::string> records;     // "site.txt" in the met directory; none: no such file
  int status;
  std::string diagnostic;  // what follows "<program>: " on the one line of standard error
  std::function<void(const testing::site&)> arrange = nullptr;  // anything more the case needs
};

std::ostream& operator<<(std::ostream& out, const failure_case& c) { return out << c.name; }

class Failure : public ::testing::TestWithParam<failure_case> {};

TEST_P(Failure, OneDiagnosticAndNoFileChanged) {
  const failure_case& c = GetParam();
  const testing::site site;
  if (c.parameters) testing::write_file(site.run() / "parameter.ini", *c.parameters);
  if (c.records) testing::write_file(site.met_dir() / "site.txt", *c.records);
  testing::write_file(site.run() / "results.csv", earlier_table);
  if (c.arrange) c.arrange(site);
  const auto before = snapshot(site.root.path());

  const testing::run_result result = testing::run_in(c.program, site.run());

  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, program_name(c.program) + ": " + c.diagnostic + "\n");
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(snapshot(site.root.path()) == before) << "a failed run changed the files of the site";
}

std::string case_name(const ::testing::TestParamInfo<failure_case>& info) { return info.param.name; }

// parameter.ini missing, unreadable, short or malformed: status 2.
std::vector<failure_case> parameter_file_cases() {
  const std::string met = testing::met_records(3);
  std::vector<failure_case> cases{
      {"Missing", PUMAK_METRUN, std::nullopt, met, 2,
       "cannot open parameter.ini: No such file or directory"},
      {"MissingFixedA", PUMAK_FIXED_A, std::nullopt, met, 2,
       "cannot open parameter.ini: No such file or directory"},
      {"MissingFixedB", PUMAK_FIXED_B, std::nullopt, met, 2,
       "cannot open parameter.ini: No such file or directory"},
      {"Empty", PUMAK_METRUN, "", met, 2, "parameter.ini: met_file: the file ends before this value"},
      {"ADirectory", PUMAK_METRUN, std::nullopt, met, 2, "cannot read parameter.ini: Is a directory",
       [](const testing::site& s) { fs::create_directory(s.run() / "parameter.ini"); }},
      {"OnlyTheMetFileName", PUMAK_METRUN, "site.txt\n", met, 2,
       "parameter.ini:1: out_file: the file ends before this value"},
      {"ThirteenStatementsForMetrun", PUMAK_METRUN, parameter_file({}, 13), met, 2,
       "parameter.ini:13: k_ice_diffuse: the file ends before this value"},
      {"TwelveStatementsForFixedA", PUMAK_FIXED_A, first_lines(12), met, 2,
       "parameter.ini:12: k_ice_direct: the file ends before this value"},
      {"WordForAReal", PUMAK_METRUN, parameter_file({{"albedo_ice", "half"}}), met, 2,
       "parameter.ini:4: albedo_ice: expected a real, found \"half\""},
      {"PointInNDays", PUMAK_METRUN, parameter_file({{"n_days", "10.0"}}), met, 2,
       "parameter.ini:10: n_days: expected an integer, found \"10.0\""},
      {"PointInNDaysFixedB", PUMAK_FIXED_B, parameter_file({{"n_days", "10.0"}}, 13), met, 2,
       "parameter.ini:10: n_days: expected an integer, found \"10.0\""},
      {"NullValue", PUMAK_METRUN, with_line("ch", "ch,, 0.002"), met, 2,
       "parameter.ini:9: ch: no value (an empty field between commas or before the first value)"},
      {"NullName", PUMAK_METRUN, parameter_file({{"met_file", ","}}), met, 2,
       "parameter.ini:1: met_file: no value (an empty field between commas or before the first value)"},
      {"SlashBeforeAValue", PUMAK_METRUN, with_line("ch", "ch / 0.002"), met, 2,
       "parameter.ini:9: ch: no value (a slash ended the statement before it)"},
      {"SlashInALabel", PUMAK_METRUN, with_line("k_ice_direct", "k_ice_direct_1/m 1.0"), met, 2,
       "parameter.ini:13: k_ice_direct: no value (a slash ended the statement before it)"},
      {"UnterminatedQuotedName", PUMAK_METRUN, parameter_file({{"met_file", "'site.txt"}}), met, 2,
       "parameter.ini:1: met_file: quoted text without its closing mark on the line: "
       "\"'site.txt results.csv\""},
      {"OneMegabyteToken", PUMAK_METRUN, with_line("latitude", "latitude\n" + std::string(1 << 20, '9') + "x"),
       met, 2, "parameter.ini:3: latitude: expected a real, found \"" + std::string(40, '9') + "...\""},
      {"NulBytes", PUMAK_METRUN, parameter_file({{"albedo_ice", std::string("0.\0" "51", 5)}}), met, 2,
       "parameter.ini:4: albedo_ice: expected a real, found \"0.\\x0051\""},
      {"InvalidUtf8", PUMAK_METRUN, parameter_file({{"albedo_cryo", "0.1\xe2\x82"}}), met, 2,
       "parameter.ini:3: albedo_cryo: expected a real, found \"0.1\\xe2\\x82\""},
      {"NulInTheMetFileName", PUMAK_METRUN, parameter_file({{"met_file", std::string("'site.txt\0x'", 12)}}), met, 2,
       "parameter.ini:1: met_file: a file name cannot hold a NUL byte"},
      {"NulInTheResultsFileName", PUMAK_FIXED_A, parameter_file({{"out_file", std::string("'res\0ults.csv'", 14)}}, 13),
       met, 2, "parameter.ini:1: out_file: a file name cannot hold a NUL byte"},
      {"IntegerBeyond32Bits", PUMAK_METRUN, parameter_file({{"n_days", "2147483648"}}), met, 2,
       "parameter.ini:10: n_days: expected an integer within 32 bits, found \"2147483648\""},
      {"DiffuseModeBeyond32Bits", PUMAK_FIXED_A, parameter_file({{"diffuse_mode", "-99999999999"}}, 13), met, 2,
       "parameter.ini:11: diffuse_mode: expected an integer within 32 bits, found \"-99999999999\""},
  };
  // The file ends before statement k, or after its label.
  for (int k = 2; k <= 16; ++k) {
    const std::string& item = item_names[static_cast<std::size_t>(k - 2)];
    const std::string& label = file_labels[static_cast<std::size_t>(k - 2)];
    cases.push_back({"EndsBeforeStatement" + std::to_string(k), PUMAK_METRUN, first_lines(k - 1), met, 2,
                     "parameter.ini:" + std::to_string(k - 1) + ": " + item + ": the file ends before this value"});
    cases.push_back({"EndsAfterTheLabelOfStatement" + std::to_string(k), PUMAK_METRUN,
                     first_lines(k - 1) + label + "\n", met, 2,
                     "parameter.ini:" + std::to_string(k) + ": " + item + ": the file ends before this value"});
  }
  return cases;
}

// The met file missing, short or malformed: status 3. The length of the run
// is checked with parameter.ini (status 2) before any record is read.
std::vector<failure_case> met_file_cases() {
  const std::string three_days = parameter_file();
  const std::string records = testing::met_records(3);
  const std::string one_short = records.substr(0, records.rfind('\n', records.size() - 2) + 1);
  std::string truncated = records_with(3, 72, first_fields(11));
  truncated.pop_back();  // the last line cut after a value, without its line end
  std::string capacity_parameters = parameter_file({{"n_days", std::to_string(max_run_days)}});
  return {
      {"Missing", PUMAK_METRUN, three_days, std::nullopt, 3,
       "cannot open " + met_path + ": No such file or directory"},
      {"MissingWithNoDays", PUMAK_METRUN, parameter_file({{"n_days", "0"}}), std::nullopt, 3,
       "cannot open " + met_path + ": No such file or directory"},
      {"MissingFixedB", PUMAK_FIXED_B, parameter_file({}, 13), std::nullopt, 3,
       "cannot open " + met_path + ": No such file or directory"},
      {"BlankName", PUMAK_METRUN, parameter_file({{"met_file", "''"}}), records, 3,
       "cannot open the met file: met_file in parameter.ini is blank"},
      {"ADirectory", PUMAK_METRUN, three_days, std::nullopt, 3, "cannot read " + met_path + ": Is a directory",
       [](const testing::site& s) { fs::create_directory(s.met_dir() / "site.txt"); }},
      {"OneRecordShort", PUMAK_METRUN, three_days, one_short, 3,
       met_path + ": ends after 71 of the 72 records that n_days 3 needs"},
      {"TruncatedLastLine", PUMAK_METRUN, three_days, truncated, 3,
       met_path + ": ends after 71 of the 72 records that n_days 3 needs (record 72 has 11 of its 14 values)"},
      {"HeaderLine", PUMAK_METRUN, three_days,
       "year month day hour doy ta wind rh sr x lw_down lw_up sd p\n" + records, 3,
       met_path + ":1: record 1 (day 1, hour 1), column_1: expected an integer, found \"year\""},
      {"WordInARealColumn", PUMAK_METRUN, three_days, records_with(3, 29, field_set_to(7, "calm")), 3,
       met_path + ":29: record 29 (day 2, hour 5), wind: expected a real, found \"calm\""},
      {"PointInAnIntegerColumn", PUMAK_FIXED_A, parameter_file({}, 13), records_with(3, 3, field_set_to(4, "3.0")), 3,
       met_path + ":3: record 3 (day 1, hour 3), obs_hour: expected an integer, found \"3.0\""},
      {"NullValue", PUMAK_METRUN, three_days, records_with(3, 72, field_set_to(11, ",,")), 3,
       met_path + ":72: record 72 (day 3, hour 24), lw_down: no value (an empty field between commas or "
       "before the first value)"},
      {"Slash", PUMAK_METRUN, three_days, records_with(3, 5, field_set_to(14, "/")), 3,
       met_path + ":5: record 5 (day 1, hour 5), pressure: no value (a slash ended the statement before it)"},
      {"IntegerBeyond32Bits", PUMAK_METRUN, three_days, records_with(3, 2, field_set_to(5, "4294967296")), 3,
       met_path + ":2: record 2 (day 1, hour 2), doy: expected an integer within 32 bits, found \"4294967296\""},
      // Refused from parameter.ini even though the met file would fail at once.
      {"NDaysBeyondTheCapacity", PUMAK_METRUN, parameter_file({{"n_days", std::to_string(max_run_days + 1)}}),
       "not a record\n", 2,
       "parameter.ini:10: n_days: 365251 days exceed the longest run of 365250 days (1000 years)"},
      {"NDaysHuge", PUMAK_FIXED_A, parameter_file({{"n_days", "2147483647"}}, 13), std::nullopt, 2,
       "parameter.ini:10: n_days: 2147483647 days exceed the longest run of 365250 days (1000 years)"},
      // The longest run is accepted: the series are sized and the records read.
      {"NDaysAtTheCapacity", PUMAK_METRUN, capacity_parameters, testing::met_records(2), 3,
       met_path + ": ends after 48 of the 8766000 records that n_days 365250 needs"},
  };
}

// The results table cannot be created or written: status 4.
std::vector<failure_case> results_file_cases() {
  const std::string met = testing::met_records(3);
  // Quoted, since an unquoted name ends at a slash.
  const auto out_file = [](const std::string& name, int statements = 16) {
    return parameter_file({{"out_file", "'" + name + "'"}}, statements);
  };
  return {
      {"Blank", PUMAK_METRUN, parameter_file({{"out_file", "''"}}), met, 4,
       "cannot create the results file: out_file in parameter.ini is blank"},
      {"InAMissingDirectory", PUMAK_METRUN, out_file("nowhere/results.csv"), met, 4,
       "cannot create nowhere/results.csv: No such file or directory"},
      {"DeviceFull", PUMAK_METRUN, out_file("/dev/full"), met, 4,
       "cannot write /dev/full: No space left on device"},
      {"DeviceFullFixedA", PUMAK_FIXED_A, out_file("/dev/full", 13), met, 4,
       "cannot write /dev/full: No space left on device"},
      {"ControlCharactersInTheName", PUMAK_METRUN, out_file("no\x1b[2Jdir/res\rults.csv"), met, 4,
       "cannot create no\\x1b[2Jdir/res\\x0dults.csv: No such file or directory"},
      {"AnExistingDirectory", PUMAK_METRUN, out_file("tables"), met, 4, "cannot create tables: Is a directory",
       [](const testing::site& s) { fs::create_directory(s.run() / "tables"); }},
      {"TheParameterFile", PUMAK_METRUN, out_file("parameter.ini"), met, 4,
       "cannot create parameter.ini: it is the input file parameter.ini"},
      {"TheParameterFileByAnotherPath", PUMAK_FIXED_B, out_file("../run/./parameter.ini", 13), met, 4,
       "cannot create ../run/./parameter.ini: it is the input file parameter.ini"},
      {"TheMetFile", PUMAK_METRUN, out_file(met_path), met, 4,
       "cannot create " + met_path + ": it is the input file " + met_path},
  };
}

INSTANTIATE_TEST_SUITE_P(ParameterFile, Failure, ::testing::ValuesIn(parameter_file_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(MetFile, Failure, ::testing::ValuesIn(met_file_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(ResultsFile, Failure, ::testing::ValuesIn(results_file_cases()), case_name);

// A site ready to run, for the cases that succeed or write part of a table.
struct ready_site : testing::site {
  ready_site(const std::string& parameters, const std::string& records) {
    testing::write_file(run() / "parameter.ini", parameters);
    testing::write_file(met_dir() / "site.txt", records);
  }
  std::string table() const { return testing::read_file(run() / "results.csv"); }
};

TEST(ResultsWriteFailure, StopsTheRunAndKeepsTheRowsWritten) {
  // A table of 40 days is far beyond the file size limit, so the writes
  // fail with EFBIG part of the way through.
  const ready_site site(parameter_file({{"n_days", "40"}}), testing::met_records(40));
  testing::write_file(site.run() / "results.csv", earlier_table);
  const auto run = testing::run_in(PUMAK_METRUN, site.run(), 64 * 1024);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err, "pumak_metrun: cannot write results.csv: File too large\n");
  EXPECT_EQ(run.out, "");
  const std::string table = site.table();
  EXPECT_EQ(table.rfind(results_header() + "\n", 0), 0u);
  EXPECT_EQ(table.size(), 64u * 1024u);
}

// Files laid out differently but holding the same values give the same table.
TEST(InputLayouts, CrlfTabsAndCommasGiveTheTableOfThePlainFiles) {
  const std::string parameters = parameter_file();
  const std::string records = testing::met_records(3);
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
    return text;
  };
  const ready_site plain(parameters, records);
  ASSERT_EQ(testing::run_in(PUMAK_METRUN, plain.run()).status, 0);
  const std::string expected = plain.table();
  ASSERT_EQ(testing::read_table(plain.run() / "results.csv").rows.size(), 72u);

  const std::vector<std::pair<const char*, std::function<std::string(const std::string&)>>> layouts{
      {"crlf", [&](const std::string& t) { return replaced(t, "\n", "\r\n"); }},
      {"tabs", [&](const std::string& t) { return replaced(t, " ", "\t"); }},
      {"commas", [&](const std::string& t) { return replaced(t, " ", " , "); }},
      {"crlf and tabs", [&](const std::string& t) { return replaced(replaced(t, "\n", "\r\n"), " ", "\t"); }},
  };
  for (const auto& [name, layout] : layouts) {
    const ready_site site(layout(parameters), layout(records));
    const testing::run_result result = testing::run_in(PUMAK_METRUN, site.run());
    EXPECT_EQ(result.status, 0) << name << ": " << result.err;
    EXPECT_EQ(site.table(), expected) << name;
  }
}

// Reals beyond single range are read as their correctly rounded values and
// reach the table as such: sd_calc stays as read in a run below melting.
TEST(InputLayouts, RealsBeyondSingleRangeAreRoundedLikeIeee) {
  for (const auto& [token, written] : std::vector<std::pair<std::string, std::string>>{
           {"1e39", "Inf"}, {"-1D39", "-Inf"}, {"1e-50", "0"}, {"1e-40", "1e-40"}, {"7.1e-46", "1e-45"}}) {
    const ready_site site(parameter_file({{"n_days", "1"}, {"sd_calc", token}}, 13), testing::met_records(1));
    const testing::run_result result = testing::run_in(PUMAK_FIXED_A, site.run());
    ASSERT_EQ(result.status, 0) << token << ": " << result.err;
    const testing::table t = testing::read_table(site.run() / "results.csv");
    ASSERT_EQ(t.rows.size(), 24u);
    EXPECT_EQ(t.rows[23][t.column("sd_calc")], written) << token;
  }
}

// A run of a hundred years: every row is written and the memory stays
// bounded by the series of the run.
TEST(LongRun, ACenturyOfHours) {
  constexpr int days = 36525;
  const ready_site site(parameter_file({{"n_days", std::to_string(days)}}), testing::met_records(days));
  const auto run = testing::run_in(PUMAK_METRUN, site.run());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  const std::string table = site.table();
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), days * 24 + 1);
  // The last row is the last hour of the file: day of year 190 + 36524, hour 24.
  const std::size_t last_line = table.rfind('\n', table.size() - 2) + 1;
  EXPECT_EQ(table.substr(last_line, table.find(',', last_line) - last_line), "36715");
  // The fourteen series take 47 MiB; the files are read and written in
  // blocks. AddressSanitizer adds its shadow memory and quarantine.
  std::cout << "peak resident memory of a " << days << "-day run: " << run.peak_kib / 1024 << " MiB\n";
  EXPECT_LT(run.peak_kib, (address_sanitizer ? 400 : 200) * 1024);
}

}  // namespace
}  // namespace pumak
