// Fuzzes the free-format reader on the layout of "parameter.ini": a
// statement of two texts (the file names), then label-and-value statements
// with the reals and the two integers in the order the programs read them.
//
// Each input is read twice, with a tiny and a large block size: the result
// must not depend on where the blocks end. The statement scanner (pumak
// check's reading) must see the same statements, lines and values up to the
// first problem, and the text it gives for each number must read back to
// that number. Short inputs are also parsed as
// one real and one integer token and compared with the C library's
// correctly rounded conversions.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "io/parameter_layout.hpp"
#include "io/real_parsing.hpp"
#include "io/statement_scan.hpp"
#include "records/text_field.hpp"

namespace {

using pumak::number_status;
using pumak::statement_item;
using pumak::text_field;

// The statements of the 17-item file, in the programs' layout.
struct parameter_layout {
  pumak::run_parameters params;

  std::vector<statement_item> operator()(int s) {
    using pumak::parameter_items;
    if (s == 0) {
      return {reader_target(parameter_items[0], params), reader_target(parameter_items[1], params)};
    }
    const auto item = static_cast<std::size_t>(s) + 1;
    if (item >= pumak::items_in_layout(pumak::full_layout_statements)) {
      return {};
    }
    return {statement_item::label(), reader_target(parameter_items[item], params)};
  }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The syntax of a decimal real, written independently of the parser:
// [sign] (digits [. digits] | . digits) [(E|D) [sign] digits].
bool decimal_syntax(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i == t.size()) return true;
  if (t[i] != 'e' && t[i] != 'E' && t[i] != 'd' && t[i] != 'D') return false;
  ++i;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  if (i == t.size()) return false;
  while (i < t.size() && is_digit(t[i])) ++i;
  return i == t.size();
}

std::string lowered(std::string_view t) {
  std::string s(t);
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

void check_real_token(std::string_view token) {
  std::string scratch;
  float value = 0.0f;
  const number_status status = pumak::parse_real(token, value, scratch);
  PUMAK_FUZZ_CHECK(status != number_status::out_of_range);  // a real is never out of range

  std::string word = lowered(token);
  if (word == "nan") {
    PUMAK_FUZZ_CHECK(status == number_status::ok && std::isnan(value));
    return;
  }
  const bool negative = !word.empty() && word[0] == '-';
  if (!word.empty() && (word[0] == '+' || word[0] == '-')) word.erase(0, 1);
  if (word == "inf" || word == "infinity") {
    PUMAK_FUZZ_CHECK(status == number_status::ok && std::isinf(value) && std::signbit(value) == negative);
    return;
  }
  PUMAK_FUZZ_CHECK((status == number_status::ok) == decimal_syntax(token));
  if (status != number_status::ok) {
    return;
  }
  // strtof rounds correctly to the nearest float, overflow and underflow included.
  std::string c_text(token);
  for (char& c : c_text) c = (c == 'd' || c == 'D') ? 'e' : c;
  char* end = nullptr;
  const float expected = std::strtof(c_text.c_str(), &end);
  PUMAK_FUZZ_CHECK(end == c_text.c_str() + c_text.size());
  PUMAK_FUZZ_CHECK(std::memcmp(&expected, &value, sizeof value) == 0);
}

void check_integer_token(std::string_view token) {
  std::int32_t value = 12345;
  const number_status status = pumak::parse_integer(token, value);
  std::size_t i = (!token.empty() && (token[0] == '+' || token[0] == '-')) ? 1 : 0;
  bool syntax = i < token.size();
  for (; i < token.size(); ++i) syntax = syntax && is_digit(token[i]);
  if (!syntax) {
    PUMAK_FUZZ_CHECK(status == number_status::unreadable && value == 12345);
    return;
  }
  const std::string c_text(token);
  errno = 0;
  const long long expected = std::strtoll(c_text.c_str(), nullptr, 10);
  const bool fits = errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX;
  PUMAK_FUZZ_CHECK(status == (fits ? number_status::ok : number_status::out_of_range));
  PUMAK_FUZZ_CHECK(!fits || value == expected);
}

// The item kinds of statement s of the 17-item layout; empty past its end.
std::vector<statement_item::kind> scan_kinds(int s) {
  using pumak::parameter_items;
  if (s == 0) {
    return {parameter_items[0].kind, parameter_items[1].kind};
  }
  const auto item = static_cast<std::size_t>(s) + 1;
  if (item >= pumak::items_in_layout(pumak::full_layout_statements)) {
    return {};
  }
  return {statement_item::kind::label, parameter_items[item].kind};
}

void check_scanner(const std::uint8_t* data, std::size_t size, const pumak::fuzzing::reading& read) {
  const int fd = pumak::fuzzing::memory_file(data, size);
  pumak::statement_scanner scanner("/proc/self/fd/" + std::to_string(fd), pumak::exit_parameter_file,
                                   16 + size % 13);
  ::close(fd);
  int statements = 0;
  std::vector<std::int64_t> lines;
  std::vector<std::uint8_t> values;
  std::string scratch;
  pumak::scanned_statement s;
  for (int k = 0;; ++k) {
    const std::vector<statement_item::kind> kinds = scan_kinds(k);
    if (kinds.empty() || !scanner.next(kinds, s)) {
      break;
    }
    PUMAK_FUZZ_CHECK(s.first_line <= s.last_line);
    if (!s.complete()) {
      PUMAK_FUZZ_CHECK(statements == read.statements);
      PUMAK_FUZZ_CHECK(s.problem.why == read.problem.why && s.problem.item == read.problem.item &&
                       s.problem.line == read.problem.line && s.problem.token == read.problem.token);
      break;
    }
    ++statements;
    lines.push_back(s.last_line);
    std::size_t v = 0;  // the value texts, a null label included
    for (std::size_t i = 0; i < kinds.size(); ++i, ++v) {
      PUMAK_FUZZ_CHECK(v < s.values.size());
      const std::string& text = s.values[v].text;
      if (kinds[i] == statement_item::kind::text) {
        text_field field;
        field.assign(text);
        values.insert(values.end(), field.chars.begin(), field.chars.end());
      } else if (kinds[i] == statement_item::kind::integer) {
        std::int32_t again = 0;
        PUMAK_FUZZ_CHECK(pumak::parse_integer(text, again) == number_status::ok && again == s.integers[i]);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&s.integers[i]);
        values.insert(values.end(), bytes, bytes + sizeof(std::int32_t));
      } else if (kinds[i] == statement_item::kind::real) {
        float again = 0.0f;
        PUMAK_FUZZ_CHECK(pumak::parse_real(text, again, scratch) == number_status::ok &&
                         std::memcmp(&again, &s.reals[i], sizeof again) == 0);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&s.reals[i]);
        values.insert(values.end(), bytes, bytes + sizeof(float));
      }
    }
    PUMAK_FUZZ_CHECK(v == s.values.size());
  }
  PUMAK_FUZZ_CHECK(statements == read.statements && lines == read.lines);
  PUMAK_FUZZ_CHECK(values.size() <= read.values.size() &&
                   std::equal(values.begin(), values.end(), read.values.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using pumak::fuzzing::read_all;
  const std::size_t small_block = 16 + size % 29;
  parameter_layout small_layout;
  parameter_layout large_layout;
  const auto small = read_all(data, size, small_block, small_layout);
  const auto large = read_all(data, size, std::size_t{1} << 16, large_layout);
  PUMAK_FUZZ_CHECK(small == large);
  check_scanner(data, size, large);

  if (size <= 96) {
    const std::string_view token(reinterpret_cast<const char*>(data), size);
    check_real_token(token);
    check_integer_token(token);
  }
  return 0;
}
