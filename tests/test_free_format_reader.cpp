#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/free_format_reader.hpp"
#include "test_support.hpp"

namespace pumak {
namespace {

using reason = statement_problem::reason;

// Reads statements from `content` with a deliberately small block size, so
// that lines straddle the blocks the reader fetches.
class reader_on {
 public:
  explicit reader_on(const std::string& content, std::size_t block = 7) {
    const auto path = dir_.path() / "input.txt";
    testing::write_file(path, content);
    fd_ = ::open(path.c_str(), O_RDONLY);
    reader_ = std::make_unique<free_format_reader>(fd_, block);
  }
  ~reader_on() { ::close(fd_); }
  free_format_reader& operator*() { return *reader_; }
  free_format_reader* operator->() { return reader_.get(); }

 private:
  testing::temp_dir dir_;
  int fd_ = -1;
  std::unique_ptr<free_format_reader> reader_;
};

// Reads "label value" statements with a real value, as most of the
// parameter file is laid out.
std::vector<float> labelled_reals(const std::string& content, int statements) {
  reader_on reader(content);
  std::vector<float> values;
  for (int i = 0; i < statements; ++i) {
    float value = 0.0f;
    const std::array<statement_item, 2> items{statement_item::label(), statement_item::real(value)};
    EXPECT_TRUE(reader->read_statement(items)) << "statement " << i + 1;
    values.push_back(value);
  }
  return values;
}

statement_problem first_problem(const std::string& content, std::vector<statement_item> items) {
  reader_on reader(content);
  EXPECT_FALSE(reader->read_statement(items));
  return reader->problem();
}

TEST(FreeFormatSeparators, BlanksCommasTabsAndLineEnds) {
  EXPECT_EQ(labelled_reals("a 1.5\nb,2.5\nc , 3.5\nd\t4.5\ne\t,\t5.5\n", 5),
            (std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f, 5.5f}));
}

TEST(FreeFormatSeparators, RestOfTheLineAfterTheLastValueIsIgnored) {
  EXPECT_EQ(labelled_reals("lat 79.91 degrees north, 7 / 8\nalbedo 0.15 'unclosed\n", 2),
            (std::vector<float>{79.91f, 0.15f}));
}

TEST(FreeFormatSeparators, AStatementShortOfValuesGoesOnToTheNextLines) {
  // The value alone on the line after its label, with blank lines between;
  // the next statement starts on the line after the value.
  EXPECT_EQ(labelled_reals("latitude\n\n   \n\t\n79.9 ignored\nch 0.002\n", 2),
            (std::vector<float>{79.9f, 0.002f}));
}

TEST(FreeFormatSeparators, ACommentOnItsOwnLineIsReadAsTheNextStatement) {
  reader_on reader("a 1.0\nthis comment\nb 2.0\n");
  float first = 0.0f;
  float second = 0.0f;
  ASSERT_TRUE(reader->read_statement(std::array{statement_item::label(), statement_item::real(first)}));
  EXPECT_FALSE(reader->read_statement(std::array{statement_item::label(), statement_item::real(second)}));
  EXPECT_EQ(reader->problem().why, reason::unreadable);
  EXPECT_EQ(reader->problem().token, "comment");
  EXPECT_EQ(reader->problem().line, 2);
}

TEST(FreeFormatLineEnds, CrlfAndAMissingLastLineEndReadAsUnixLines) {
  EXPECT_EQ(labelled_reals("a 1.5\r\nb 2.5\r\n\r\nc 3.5\r", 3), (std::vector<float>{1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(labelled_reals("a 1.5\nb 2.5", 2), (std::vector<float>{1.5f, 2.5f}));
}

TEST(FreeFormatText, DelimitedTextMayHoldBlanksCommasAndSlashes) {
  reader_on reader("'my site, 2016/08.txt' \"out \"\"x\"\".csv\"\nit's 'a''b'\n");
  text_field met;
  text_field out;
  ASSERT_TRUE(reader->read_statement(std::array{statement_item::text(met), statement_item::text(out)}));
  EXPECT_EQ(met.trimmed(), "my site, 2016/08.txt");
  EXPECT_EQ(out.trimmed(), "out \"x\".csv");
  // An apostrophe inside an undelimited text is an ordinary character.
  ASSERT_TRUE(reader->read_statement(std::array{statement_item::text(met), statement_item::text(out)}));
  EXPECT_EQ(met.trimmed(), "it's");
  EXPECT_EQ(out.trimmed(), "a'b");
}

TEST(FreeFormatText, UndelimitedTextEndsAtASlashAndLongTextIsCut) {
  reader_on reader("data/x.txt out.csv\n" + std::string(200, 'n') + " " + std::string(128, 'o') + "\n");
  text_field met;
  text_field out;
  const std::array items{statement_item::text(met), statement_item::text(out)};
  EXPECT_FALSE(reader->read_statement(items));
  EXPECT_EQ(reader->problem().why, reason::slash);
  EXPECT_EQ(reader->problem().item, 1u);
  EXPECT_EQ(met.trimmed(), "data");
  ASSERT_TRUE(reader->read_statement(items));
  EXPECT_EQ(met.trimmed(), std::string(128, 'n'));
  EXPECT_EQ(out.trimmed(), std::string(128, 'o'));
}

TEST(FreeFormatText, AQuoteClosesOnItsLineAndEndsTheText) {
  text_field a;
  text_field b;
  const auto open = first_problem("'site.txt out.csv\n'\n", {statement_item::text(a), statement_item::text(b)});
  EXPECT_EQ(open.why, reason::unterminated_text);
  EXPECT_EQ(open.line, 1);
  const auto run_on = first_problem("'site'txt out.csv\n", {statement_item::text(a), statement_item::text(b)});
  EXPECT_EQ(run_on.why, reason::after_quote);
}

TEST(FreeFormatSlashAndNull, NullValuesAreProblemsExceptForLabels) {
  float value = 0.0f;
  // A comma before the first value nulls the label, which is thrown away.
  reader_on reader(",79.91\n");
  ASSERT_TRUE(reader->read_statement(std::array{statement_item::label(), statement_item::real(value)}));
  EXPECT_EQ(value, 79.91f);

  const auto between = first_problem("lat, ,79.91\n", {statement_item::label(), statement_item::real(value)});
  EXPECT_EQ(between.why, reason::null_value);
  EXPECT_EQ(between.item, 1u);
  std::int32_t n = 0;
  const auto across_lines = first_problem("1,\n,3\n", {statement_item::integer(n), statement_item::integer(n),
                                                       statement_item::integer(n)});
  EXPECT_EQ(across_lines.why, reason::null_value);
  EXPECT_EQ(across_lines.item, 1u);
}

TEST(FreeFormatEnd, EndingEarlyNamesTheItemAndTheLastLine) {
  std::int32_t n = 0;
  const auto problem = first_problem("1 2\n3\n\n", {statement_item::integer(n), statement_item::integer(n),
                                                    statement_item::integer(n), statement_item::integer(n)});
  EXPECT_EQ(problem.why, reason::ends_early);
  EXPECT_EQ(problem.item, 3u);
  EXPECT_EQ(problem.line, 3);
  EXPECT_EQ(first_problem("", {statement_item::integer(n)}).line, 0);
}

TEST(FreeFormatRecords, AShortLineTakesItsLastValuesFromTheNextLine) {
  // A 13-value line takes its 14th value from the next line and skips the
  // rest of it; the next record starts on the line after.
  reader_on reader("1 2 3 4 5 6 7 8 9 10 11 12 13\n14 99 99\n21 22 23 24 25 26 27 28 29 30 31 32 33 34\n",
                   4096);
  std::array<std::int32_t, 5> ints{};
  std::array<float, 9> reals{};
  std::vector<statement_item> record;
  for (auto& v : ints) record.push_back(statement_item::integer(v));
  for (auto& v : reals) record.push_back(statement_item::real(v));
  ASSERT_TRUE(reader->read_statement(record));
  EXPECT_EQ(reals[8], 14.0f);
  ASSERT_TRUE(reader->read_statement(record));
  EXPECT_EQ(ints[0], 21);
  EXPECT_EQ(reals[8], 34.0f);
}

TEST(FreeFormatExplain, DiagnosticsShowTheTokenSafely) {
  statement_problem problem;
  problem.why = reason::unreadable;
  problem.token = std::string("ab\0\xff\"", 5) + std::string(100, 'x');
  const std::string text = explain(problem, statement_item::kind::real);
  EXPECT_EQ(text.rfind("expected a real, found \"ab\\x00\\xff\\x22", 0), 0u) << text;
  EXPECT_NE(text.find("...\""), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace pumak
