#include "io/real_parsing.hpp"

#include <charconv>
#include <limits>

namespace pumak {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view token, std::string_view word) {
  if (token.size() != word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (lower(token[i]) != word[i]) {
      return false;
    }
  }
  return true;
}

// The shape of a decimal real, found while checking its syntax.
struct decimal_shape {
  bool valid = false;
  bool negative = false;
  bool plain = true;  // no '+' sign and no 'D' exponent: from_chars can read it as it is
  // Rough decimal magnitude: the power of ten of the leading significant
  // digit. Only its sign is used, to tell overflow from underflow.
  long long magnitude = 0;
};

decimal_shape inspect_decimal(std::string_view t) {
  decimal_shape shape;
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    shape.negative = t[i] == '-';
    shape.plain = t[i] != '+';
    ++i;
  }
  std::size_t digits = 0;
  long long integer_digits_after_zeros = 0;  // significant digits before the point
  long long zeros_after_point = 0;           // zeros after the point before a significant digit
  bool significant = false;
  for (; i < t.size() && is_digit(t[i]); ++i, ++digits) {
    significant = significant || t[i] != '0';
    if (significant) {
      ++integer_digits_after_zeros;
    }
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    for (; i < t.size() && is_digit(t[i]); ++i, ++digits) {
      if (!significant) {
        if (t[i] == '0') {
          ++zeros_after_point;
        } else {
          significant = true;
        }
      }
    }
  }
  if (digits == 0) {
    return shape;
  }
  long long exponent = 0;
  if (i < t.size()) {
    const char mark = lower(t[i]);
    if (mark != 'e' && mark != 'd') {
      return shape;
    }
    shape.plain = shape.plain && mark == 'e';
    ++i;
    bool negative_exponent = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      negative_exponent = t[i] == '-';
      ++i;
    }
    if (i == t.size()) {
      return shape;
    }
    for (; i < t.size(); ++i) {
      if (!is_digit(t[i])) {
        return shape;
      }
      if (exponent < 1'000'000'000) {  // beyond this the magnitude's sign is settled
        exponent = exponent * 10 + (t[i] - '0');
      }
    }
    if (negative_exponent) {
      exponent = -exponent;
    }
  }
  shape.valid = true;
  shape.magnitude = integer_digits_after_zeros > 0 ? exponent + integer_digits_after_zeros - 1
                                                   : exponent - zeros_after_point - 1;
  return shape;
}

}  // namespace

number_status parse_integer(std::string_view token, std::int32_t& value) {
  std::int32_t plain = 0;
  if (!token.empty() && read_plain_integer(token, plain) == token.size()) {
    value = plain;
    return number_status::ok;
  }
  // from_chars takes a '-' but not a '+', so the sign is looked at here.
  std::string_view digits = token;
  const bool negative = !digits.empty() && digits[0] == '-';
  if (!digits.empty() && (digits[0] == '+' || negative)) {
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return number_status::unreadable;
  }
  for (const char c : digits) {
    if (!is_digit(c)) {
      return number_status::unreadable;
    }
  }
  const std::string_view signed_digits = negative ? token : digits;
  std::int32_t parsed = 0;
  const auto result =
      std::from_chars(signed_digits.data(), signed_digits.data() + signed_digits.size(), parsed);
  if (result.ec == std::errc::result_out_of_range) {
    return number_status::out_of_range;
  }
  if (result.ec != std::errc() || result.ptr != signed_digits.data() + signed_digits.size()) {
    return number_status::unreadable;
  }
  value = parsed;
  return number_status::ok;
}

std::size_t read_plain_integer(std::string_view text, std::int32_t& value) {
  // from_chars reads exactly an optional minus and digits.
  std::int32_t parsed = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (result.ec != std::errc()) {
    return 0;
  }
  value = parsed;
  return static_cast<std::size_t>(result.ptr - text.data());
}

std::size_t read_plain_real(std::string_view text, float& value) {
  // After an optional minus, a digit or a point must come, or from_chars
  // would also take "-nan" and "-inf"; from there it reads exactly the
  // decimal syntax that inspect_decimal checks, with 'e' for the exponent.
  const std::size_t lead = !text.empty() && text[0] == '-' ? 1 : 0;
  if (lead == text.size() || !(is_digit(text[lead]) || text[lead] == '.')) {
    return 0;
  }
  float parsed = 0.0f;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (result.ec != std::errc()) {
    return 0;  // no digits, or beyond the float range
  }
  value = parsed;
  return static_cast<std::size_t>(result.ptr - text.data());
}

number_status parse_real(std::string_view token, float& value, std::string& scratch) {
  float plain = 0.0f;
  if (!token.empty() && read_plain_real(token, plain) == token.size()) {
    value = plain;
    return number_status::ok;
  }

  constexpr float infinity = std::numeric_limits<float>::infinity();
  std::string_view word = token;
  bool negative = false;
  if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
    negative = word[0] == '-';
    word.remove_prefix(1);
  }
  if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
    value = negative ? -infinity : infinity;
    return number_status::ok;
  }
  if (equals_ignoring_case(token, "nan")) {
    value = std::numeric_limits<float>::quiet_NaN();
    return number_status::ok;
  }

  const decimal_shape shape = inspect_decimal(token);
  if (!shape.valid) {
    return number_status::unreadable;
  }
  std::string_view text = token;
  if (!shape.plain) {
    scratch.assign(token.data(), token.size());
    if (scratch[0] == '+') {
      scratch.erase(0, 1);
    }
    for (char& c : scratch) {
      if (c == 'd' || c == 'D') {
        c = 'e';
      }
    }
    text = scratch;
  }
  float parsed = 0.0f;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value unset beyond the float range; the correctly
    // rounded value there is an infinity or a zero of the token's sign.
    const float magnitude = shape.magnitude > 0 ? infinity : 0.0f;
    value = shape.negative ? -magnitude : magnitude;
    return number_status::ok;
  }
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    return number_status::unreadable;
  }
  value = parsed;
  return number_status::ok;
}

}  // namespace pumak
