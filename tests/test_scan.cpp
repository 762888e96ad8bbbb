// The statement scanner: the programs' reading rules, with what each
// statement held and where, going on after a statement the programs stop at.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <charconv>

#include "io/statement_scan.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

namespace fs = std::filesystem;

// Every statement `content` holds, read in blocks of 16 bytes with one item
// for each letter of `shape` (l label, t text, i integer, r real), one per
// line of the result: "first-last: " then each value's text ([~] for a null
// value), the numbers as the program types them, the problem ("@line.item
// why") and the rest of the last line after "| ".
std::string scanned(const std::string& content, std::string_view shape, std::size_t count = 100) {
  const testing::temp_dir dir;
  testing::write_file(dir.path / "in", content);
  statement_scanner scanner((dir.path / "in").string(), exit_met_file, 16);
  std::vector<statement_item::kind> kinds;
  for (const char c : shape) kinds.push_back(static_cast<statement_item::kind>(std::string_view("ltir").find(c)));
  std::string out;
  scanned_statement s;
  for (std::size_t n = 0; n < count && scanner.next(kinds, s); ++n) {
    out += std::to_string(s.first_line) + "-" + std::to_string(s.last_line) + ":";
    for (const auto& v : s.values) out += v.null ? " [~]" : " [" + v.text + "]";
    for (std::size_t i = 0; i < kinds.size(); ++i) {
      char number[32] = {};
      if (kinds[i] == statement_item::kind::integer) std::to_chars(number, number + 32, s.integers[i]);
      if (kinds[i] == statement_item::kind::real) std::to_chars(number, number + 32, s.reals[i]);
      if (number[0] != '\0') out += std::string(" ") + number;
    }
    if (!s.complete()) out += " @" + std::to_string(s.problem.line) + "." + std::to_string(s.problem.item) + " " +
                              explain(s.problem, kinds[s.problem.item]);
    if (!s.rest.empty()) out += " | " + s.rest;
    out += " (" + std::to_string(s.values_on_first_line()) + " on the first line)\n";
  }
  return out;
}

TEST(Scanning, WhatEachStatementHeldAndWhere) {
  const std::string unreadable = "expected a real, found \"x\"";
  const std::array<std::string, 4> cases[] = {
      // the decimal comma: read as 0, the rest of the line passed over
      {"albedo_ice 0,25\nch 0.002\n", "lr", "",
       "1-1: [albedo_ice] [0] 0 | ,25 (2 on the first line)\n2-2: [ch] [0.002] 0.002 (2 on the first line)\n"},
      // a label without its value takes the next line's label as its value
      {"a\n\n1.5 b 2.5\n", "lr", "", "1-3: [a] [1.5] 1.5 |  b 2.5 (1 on the first line)\n"},
      // reading goes on after a value the program cannot read, on the next line
      {"1 x 3\n4 5 6\n7,,9\n10 11\n", "iri", "",
       "1-1: [1] [x] 1 0 0 @1.1 " + unreadable + " (2 on the first line)\n"
       "2-2: [4] [5] [6] 4 5 6 (3 on the first line)\n"
       "3-3: [7] [~] 7 0 0 @3.1 no value (an empty field between commas or before the first value) (2 on the first line)\n"
       "4-4: [10] [11] 10 11 0 @4.2 the file ends before this value (2 on the first line)\n"},
      // quoted texts lose their marks; a slash ends a statement
      {"'my site.txt' \"out\"\"s\"\"\" extra / more\n1 /\n", "tt", "",
       "1-1: [my site.txt] [out\"s\"] |  extra / more (2 on the first line)\n"
       "2-2: [1] @2.1 no value (a slash ended the statement before it) (1 on the first line)\n"},
      // at most `count` statements are read; blank lines at the end are no statement
      {"1\n2\n3\n", "i", "2", "1-1: [1] 1 (1 on the first line)\n2-2: [2] 2 (1 on the first line)\n"},
      {"\n\n  \n", "i", "", ""},
      {"a 1e39 7\r\nb -2147483649\r\n", "li", "",
       "1-1: [a] [1e39] 0 @1.1 expected an integer, found \"1e39\" (2 on the first line)\n"
       "2-2: [b] [-2147483649] 0 @2.1 expected an integer within 32 bits, found \"-2147483649\" (2 on the first line)\n"},
  };
  for (const auto& [content, shape, count, expected] : cases) {
    EXPECT_EQ(scanned(content, shape, count.empty() ? 100 : std::stoul(count)), expected) << content;
  }
}

TEST(Scanning, RefusesWhatIsNotARegularFile) {
  const testing::temp_dir dir;
  ASSERT_EQ(::mkfifo((dir.path / "fifo").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {(dir.path / "fifo").string(), "a FIFO, not a regular file"},
      {"/dev/zero", "a character device, not a regular file"},
      {dir.path.string(), "a directory, not a regular file"},
      {(dir.path / "absent").string(), "No such file or directory"},
  };
  for (const auto& [path, why] : cases) {
    try {
      statement_scanner scanner(path, exit_met_file);
      ADD_FAILURE() << path << " was opened";
    } catch (const run_failure& f) {
      EXPECT_NE(std::string(f.what()).find(path + ": " + why), std::string::npos) << f.what();
      EXPECT_EQ(f.status(), exit_met_file);
      EXPECT_EQ(f.file(), path);
    }
  }
}

}  // namespace
}  // namespace pumak
