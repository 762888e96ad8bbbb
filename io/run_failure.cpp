#include "io/run_failure.hpp"

#include <cstring>

namespace pumak {

std::string system_reason(int error_number) { return std::strerror(error_number); }

std::string escaped(std::string_view text, bool (*keep)(unsigned char)) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (keep(byte)) {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    }
  }
  return out;
}

std::string one_line(const std::string& message) {
  return escaped(message, [](unsigned char byte) { return byte >= 0x20 && byte != 0x7f; });
}

}  // namespace pumak
