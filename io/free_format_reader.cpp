#include "io/free_format_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/real_parsing.hpp"
#include "io/run_failure.hpp"

namespace pumak {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ends_token(char c) { return is_blank(c) || c == ',' || c == '/'; }

// A token as it may be shown on one line of a diagnostic: cut to a readable
// length, with control characters and bytes outside ASCII escaped.
std::string printable(std::string_view token) {
  constexpr std::size_t shown = 40;
  std::string out = escaped(token.substr(0, shown), [](unsigned char c) {
    return c >= 0x20 && c < 0x7f && c != '\\' && c != '"';
  });
  if (token.size() > shown) {
    out += "...";
  }
  return out;
}

const char* kind_name(statement_item::kind type) {
  switch (type) {
    case statement_item::kind::integer:
      return "an integer";
    case statement_item::kind::real:
      return "a real";
    default:
      return "a text";
  }
}

}  // namespace

std::string explain(const statement_problem& problem, statement_item::kind type) {
  using reason = statement_problem::reason;
  const std::string found = "\"" + printable(problem.token) + "\"";
  switch (problem.why) {
    case reason::none:
      return "no problem";
    case reason::ends_early:
      return "the file ends before this value";
    case reason::null_value:
      return "no value (an empty field between commas or before the first value)";
    case reason::slash:
      return "no value (a slash ended the statement before it)";
    case reason::unreadable:
      return std::string("expected ") + kind_name(type) + ", found " + found;
    case reason::out_of_range:
      return "expected an integer within 32 bits, found " + found;
    case reason::unterminated_text:
      return "quoted text without its closing mark on the line: " + found;
    case reason::after_quote:
      return "characters directly after the closing quote: " + found;
    case reason::line_too_long:
      return "the line is longer than " + std::to_string(free_format_reader::max_line_length) +
             " characters";
    case reason::read_error:
      return "cannot read the file: " + system_reason(problem.error_number);
  }
  return "unknown problem";
}

free_format_reader::free_format_reader(int fd, std::size_t block_size, std::int64_t lines_before)
    : fd_(fd), buffer_(block_size < 16 ? 16 : block_size), line_number_(lines_before) {}

// Reads more of the file behind the unread data. Returns false at the end
// of the file or on a read error.
bool free_format_reader::fill() {
  if (at_end_) {
    return false;
  }
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    discarded_ += static_cast<std::int64_t>(begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) {
    buffer_.resize(buffer_.size() * 2);
  }
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      read_failed_ = true;
      read_errno_ = errno;
    }
    at_end_ = true;
    return false;
  }
}

// Makes the next line of the file current. Returns false at the end of the
// file, or when the line cannot be read (read_failed_, or a line too long).
bool free_format_reader::next_line() {
  for (;;) {
    const void* found = std::memchr(buffer_.data() + scanned_, '\n', end_ - scanned_);
    if (found != nullptr) {
      const auto newline = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
      line_ = std::string_view(buffer_.data() + begin_, newline - begin_);
      begin_ = scanned_ = newline + 1;
      break;
    }
    scanned_ = end_;
    if (end_ - begin_ > max_line_length) {
      return false;
    }
    if (!fill()) {
      if (read_failed_ || begin_ == end_) {
        return false;
      }
      line_ = std::string_view(buffer_.data() + begin_, end_ - begin_);  // last line, no line end
      begin_ = scanned_ = end_;
      break;
    }
  }
  if (!line_.empty() && line_.back() == '\r') {
    line_.remove_suffix(1);
  }
  ++line_number_;
  pos_ = 0;
  return true;
}

bool free_format_reader::fail(statement_problem::reason why, std::size_t item,
                              std::string_view token) {
  problem_.why = why;
  problem_.item = item;
  problem_.line = line_number_;
  problem_.token.assign(token.substr(0, 64));
  problem_.error_number = read_errno_;
  return false;
}

void free_format_reader::record(std::string_view text, bool null) {
  if (texts_ != nullptr) {
    texts_->push_back({std::string(text), null, line_number_});
  }
}

bool free_format_reader::read_statement(std::span<const statement_item> items) {
  using reason = statement_problem::reason;
  const auto end_of_lines = [this](std::size_t item) {
    if (read_failed_) {
      return fail(reason::read_error, item);
    }
    if (end_ - begin_ > max_line_length) {
      ++line_number_;
      return fail(reason::line_too_long, item);
    }
    return fail(reason::ends_early, item);
  };

  // A statement starts on a new line: the rest of the previous one is ignored.
  if (!next_line()) {
    return end_of_lines(0);
  }
  bool comma_pending = true;  // a comma here gives a null value
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (;;) {
      while (pos_ < line_.size() && is_blank(line_[pos_])) {
        ++pos_;
      }
      if (pos_ == line_.size()) {
        if (!next_line()) {
          return end_of_lines(i);
        }
        continue;
      }
      const char c = line_[pos_];
      if (c == ',') {
        ++pos_;
        if (!comma_pending) {
          comma_pending = true;  // the separator after a value
          continue;
        }
        record({}, true);
        if (items[i].type != statement_item::kind::label) {
          return fail(reason::null_value, i);
        }
        break;  // a null label is harmless: it is thrown away
      }
      if (c == '/') {
        // The statement ends here; the first item still waiting for its
        // value has none.
        for (std::size_t j = i; j < items.size(); ++j) {
          if (items[j].type != statement_item::kind::label) {
            return fail(reason::slash, j);
          }
        }
        return true;
      }
      if (!read_value(items[i], i)) {
        return false;
      }
      comma_pending = false;
      break;
    }
  }
  return true;
}

bool free_format_reader::read_value(const statement_item& item, std::size_t index) {
  using reason = statement_problem::reason;
  using kind = statement_item::kind;
  const std::string_view rest = line_.substr(pos_);
  const char first = rest[0];

  // Most values are plain numbers: read them in place, and when a separator
  // or the line end follows, that was the whole token. Anything else is cut
  // out as a token below and parsed with its diagnostics.
  if (item.type == kind::integer || item.type == kind::real) {
    std::int32_t integer = 0;
    float real = 0.0f;
    const std::size_t length = item.type == kind::integer ? read_plain_integer(rest, integer)
                                                          : read_plain_real(rest, real);
    if (length > 0 && (length == rest.size() || ends_token(rest[length]))) {
      if (item.type == kind::integer) {
        *static_cast<std::int32_t*>(item.target) = integer;
      } else {
        *static_cast<float*>(item.target) = real;
      }
      record(rest.substr(0, length));
      pos_ += length;
      return true;
    }
  }

  if ((item.type == kind::text || item.type == kind::label) && (first == '\'' || first == '"')) {
    // Delimited text: runs to the matching mark; a doubled mark is one mark.
    scratch_.clear();
    std::size_t i = 1;
    for (;;) {
      const std::size_t mark = rest.find(first, i);
      if (mark == std::string_view::npos) {
        record(rest);
        return fail(reason::unterminated_text, index, rest);
      }
      scratch_.append(rest.substr(i, mark - i));
      if (mark + 1 < rest.size() && rest[mark + 1] == first) {
        scratch_ += first;
        i = mark + 2;
        continue;
      }
      i = mark + 1;
      break;
    }
    if (i < rest.size() && !ends_token(rest[i])) {
      record(rest);
      return fail(reason::after_quote, index, rest);
    }
    pos_ += i;
    record(scratch_);
    if (item.type == kind::text) {
      static_cast<text_field*>(item.target)->assign(scratch_);
    }
    return true;
  }

  std::size_t length = 0;
  while (length < rest.size() && !ends_token(rest[length])) {
    ++length;
  }
  const std::string_view token = rest.substr(0, length);
  pos_ += length;
  record(token);
  number_status status = number_status::ok;
  switch (item.type) {
    case kind::label:
      return true;
    case kind::text:
      static_cast<text_field*>(item.target)->assign(token);
      return true;
    case kind::integer:
      status = parse_integer(token, *static_cast<std::int32_t*>(item.target));
      break;
    case kind::real:
      status = parse_real(token, *static_cast<float*>(item.target), scratch_);
      break;
  }
  if (status == number_status::out_of_range) {
    return fail(reason::out_of_range, index, token);
  }
  if (status != number_status::ok) {
    return fail(reason::unreadable, index, token);
  }
  return true;
}

}  // namespace pumak
