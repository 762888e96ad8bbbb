#pragma once

#include <array>
#include <string_view>

namespace pumak {

// A text item of the input files: 128 characters filled with trailing blanks.
struct text_field {
  static constexpr std::size_t capacity = 128;
  std::array<char, capacity> chars;

  text_field() { chars.fill(' '); }

  // Stores `text`, cut to 128 characters and filled with blanks.
  void assign(std::string_view text) {
    chars.fill(' ');
    text.copy(chars.data(), capacity);
  }

  // The text without its trailing blanks, as a file name is used.
  std::string_view trimmed() const {
    std::string_view all(chars.data(), capacity);
    const auto last = all.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view() : all.substr(0, last + 1);
  }
};

}  // namespace pumak
