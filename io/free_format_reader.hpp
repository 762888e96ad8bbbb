#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records/text_field.hpp"

namespace pumak {

// One value of a statement and where it goes.
struct statement_item {
  enum class kind : std::uint8_t { label, text, integer, real };
  kind type;
  void* target;  // text_field*, std::int32_t* or float*; unused for a label

  // A label: read as text and thrown away. It may be a null value.
  static statement_item label() { return {kind::label, nullptr}; }
  static statement_item text(text_field& t) { return {kind::text, &t}; }
  static statement_item integer(std::int32_t& v) { return {kind::integer, &v}; }
  static statement_item real(float& v) { return {kind::real, &v}; }
};

// Why a statement could not be read completely.
struct statement_problem {
  enum class reason : std::uint8_t {
    none,
    ends_early,         // the file ended before the statement had all its values
    null_value,         // an empty field between commas, or a comma first
    slash,              // a slash ended the statement before this value
    unreadable,         // the token is not a value of the item's type
    out_of_range,       // an integer beyond 32 bits
    unterminated_text,  // a quoted text without its closing mark on the line
    after_quote,        // characters directly after a closing quote
    line_too_long,      // a line longer than the reader accepts
    read_error,         // the operating system could not read the file
  };
  reason why = reason::none;
  std::size_t item = 0;      // index of the item in the statement
  std::int64_t line = 0;     // line number, 0 when the file has no line
  std::string token;         // what was found, for the diagnostic
  int error_number = 0;      // for read_error
};

// Explains a problem for a diagnostic, e.g. `expected an integer, found "10.0"`.
std::string explain(const statement_problem& problem, statement_item::kind type);

// Reads a text file statement by statement with the free-format rules of the
// model's input files:
//  - a statement starts on the line after the one on which the previous one
//    ended, and the rest of that line after its last value is ignored;
//  - values are separated by blanks (spaces and tabs), a comma with optional
//    blanks around it, or a line end; a statement short of values goes on to
//    the next lines, and blank lines are passed over;
//  - a text ends at a blank, comma, slash or line end, unless it starts with
//    an apostrophe or quotation mark: then it runs to the matching mark on
//    the same line, and a doubled mark stands for one;
//  - a slash ends the statement; two commas with only blanks between them, or
//    a comma before the first value, give a null value;
//  - a carriage return before a line end belongs to the line end.
// Every item of a statement must receive a value: a null value or a slash
// before an item is reported as a problem (a label may be null).
//
// The file is read in blocks, so memory does not grow with the file.
class free_format_reader {
 public:
  // Reads from the open file descriptor `fd`, which the caller owns, from
  // its current offset. `lines_before` is the number of lines of the file
  // before that offset, for the line numbers of diagnostics.
  explicit free_format_reader(int fd, std::size_t block_size = 1 << 20,
                              std::int64_t lines_before = 0);

  // Reads one statement into `items`. Returns false, with problem() set, if
  // the statement cannot be read completely; items already read keep their
  // new values.
  bool read_statement(std::span<const statement_item> items);

  const statement_problem& problem() const { return problem_; }

  // The text of one value as it stands in the file (a delimited text
  // without its marks), with the line it stands on; `null` for an empty
  // field between commas.
  struct value_text {
    std::string text;
    bool null = false;
    std::int64_t line = 0;
  };

  // From now on, each value read (and the token of a value that cannot be
  // read) is appended to `texts`; null stops it. For tools that show what
  // a statement held; the programs do not use it.
  void record_texts(std::vector<value_text>* texts) { texts_ = texts; }

  // What stands on the current line after the last value read: the rest of
  // the line that the next statement passes over.
  std::string_view rest_of_line() const { return line_.substr(pos_); }

  // The number of the line on which the last statement ended (1 for the first line).
  std::int64_t line_number() const { return line_number_; }

  // Bytes taken from the file so far, up to the start of the next unread
  // line: where the next statement begins.
  std::int64_t bytes_consumed() const { return discarded_ + static_cast<std::int64_t>(begin_); }

  // Lines longer than this are refused instead of growing the buffer without bound.
  static constexpr std::size_t max_line_length = std::size_t{64} << 20;

 private:
  bool next_line();
  bool fill();
  bool fail(statement_problem::reason why, std::size_t item, std::string_view token = {});
  bool read_value(const statement_item& item, std::size_t index);
  void record(std::string_view text, bool null = false);

  int fd_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;    // start of the unread data
  std::size_t end_ = 0;      // end of the valid data
  std::size_t scanned_ = 0;  // data from begin_ to here holds no line end
  std::int64_t discarded_ = 0;  // bytes moved out of the buffer before begin_
  bool at_end_ = false;
  bool read_failed_ = false;
  int read_errno_ = 0;

  std::string_view line_;
  std::size_t pos_ = 0;
  std::int64_t line_number_ = 0;

  std::string scratch_;
  statement_problem problem_;
  std::vector<value_text>* texts_ = nullptr;
};

}  // namespace pumak
