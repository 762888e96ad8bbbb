// Fuzzes the free-format reader on the records of the meteorological file:
// five integers and nine reals per record, read until the input ends or a
// record cannot be read. Each input is read with a tiny and a large block
// size, which must give the same records and the same problem.
//
// The records are also read as fourteen texts: every value the reader gives
// (or refuses) must be what parse_integer and parse_real make of its token,
// so that reading numbers in place agrees with reading tokens.

#include <array>
#include <cmath>
#include <string_view>

#include "fuzz_support.hpp"
#include "io/real_parsing.hpp"

namespace {

using pumak::number_status;
using pumak::statement_item;
using pumak::text_field;

struct met_layout {
  std::array<std::int32_t, 5> integers{};
  std::array<float, 9> reals{};

  std::vector<statement_item> operator()(int s) {
    if (s >= 4096) {
      return {};
    }
    std::vector<statement_item> items;
    for (auto& v : integers) items.push_back(statement_item::integer(v));
    for (auto& v : reals) items.push_back(statement_item::real(v));
    return items;
  }
};

// Checks the item `i` of a record against the parsing of its token: read
// (status ok, the same value) or refused (the status of the problem).
void check_against_token(const met_layout& record, std::size_t i, std::string_view token, number_status read) {
  std::string scratch;
  if (i < 5) {
    std::int32_t value = 0;
    PUMAK_FUZZ_CHECK(pumak::parse_integer(token, value) == read);
    PUMAK_FUZZ_CHECK(read != number_status::ok || value == record.integers[i]);
  } else {
    float value = 0.0f;
    PUMAK_FUZZ_CHECK(pumak::parse_real(token, value, scratch) == read);
    PUMAK_FUZZ_CHECK(read != number_status::ok ||
                     std::memcmp(&value, &record.reals[i - 5], sizeof value) == 0);
  }
}

// Reads the records as numbers and as texts side by side. Quoted texts
// would be cut differently from numbers, so inputs with quotes are left out.
void compare_with_tokens(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.find_first_of("'\"") != std::string_view::npos) {
    return;
  }
  const int numbers_fd = pumak::fuzzing::memory_file(data, size);
  const int texts_fd = pumak::fuzzing::memory_file(data, size);
  pumak::free_format_reader numbers(numbers_fd, 1 << 16);
  pumak::free_format_reader texts(texts_fd, 1 << 16);
  met_layout record;
  std::array<text_field, 14> tokens;
  std::vector<statement_item> token_items;
  for (auto& t : tokens) token_items.push_back(statement_item::text(t));
  for (int r = 0; r < 4096; ++r) {
    const bool read = numbers.read_statement(record(r));
    const bool cut = texts.read_statement(token_items);
    const auto& problem = numbers.problem();
    const bool refused_value = !read && (problem.why == pumak::statement_problem::reason::unreadable ||
                                         problem.why == pumak::statement_problem::reason::out_of_range);
    // Texts and numbers end a statement alike, except where a number is refused.
    PUMAK_FUZZ_CHECK(cut == read || refused_value);
    if (!cut) {
      break;
    }
    const std::size_t checked = read ? 14 : refused_value ? problem.item + 1 : 0;
    for (std::size_t i = 0; i < checked; ++i) {
      const std::string_view token(tokens[i].chars.data(), text_field::capacity);
      if (token.back() != ' ') {
        continue;  // cut to 128 characters: the whole token is unknown
      }
      const number_status status = read || i < problem.item ? number_status::ok
                                   : problem.why == pumak::statement_problem::reason::unreadable
                                       ? number_status::unreadable
                                       : number_status::out_of_range;
      check_against_token(record, i, tokens[i].trimmed(), status);
    }
    if (!read) {
      break;
    }
  }
  ::close(numbers_fd);
  ::close(texts_fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using pumak::fuzzing::read_all;
  met_layout small_layout;
  met_layout large_layout;
  const auto small = read_all(data, size, 16 + size % 31, small_layout);
  const auto large = read_all(data, size, std::size_t{1} << 16, large_layout);
  PUMAK_FUZZ_CHECK(small == large);
  compare_with_tokens(data, size);
  return 0;
}
