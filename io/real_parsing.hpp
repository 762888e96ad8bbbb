#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pumak {

enum class number_status { ok, unreadable, out_of_range };

// An integer item: decimal digits with an optional sign, within 32 bits.
number_status parse_integer(std::string_view token, std::int32_t& value);

// A real item: optional sign, digits with an optional decimal point, an
// optional exponent introduced by E or D; or Inf, Infinity (signed or not)
// and NaN in any case. The value is the correctly rounded single-precision
// number, also beyond the range of finite floats (1e39 is +Inf, 1e-50 is 0).
// `scratch` is reused between calls to avoid allocation.
number_status parse_real(std::string_view token, float& value, std::string& scratch);

// The common forms, read from the start of `text` without first cutting out
// a token: a plain integer is an optional minus and digits within 32 bits; a
// plain real is an optional minus, digits with an optional point, an optional
// 'e' exponent, and a value within the float range. Each returns the number
// of characters read, with `value` as parse_integer or parse_real gives for
// them as a token; or 0, with `value` unchanged, when `text` does not start
// with a plain number. Whether the number ends there is for the caller.
std::size_t read_plain_integer(std::string_view text, std::int32_t& value);
std::size_t read_plain_real(std::string_view text, float& value);

}  // namespace pumak
