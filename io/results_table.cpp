#include "io/results_table.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "io/run_failure.hpp"

namespace pumak {
namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;
constexpr std::size_t longest_row = 34 * 16 + 2;

[[noreturn]] void write_failed(const results_table& table, int error_number) {
  throw run_failure(exit_results_file,
                    "cannot write " + table.path + ": " + system_reason(error_number));
}

void flush(results_table& table) {
  std::size_t done = 0;
  while (done < table.used) {
    const ssize_t wrote = ::write(table.fd, table.buffer.data() + done, table.used - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      write_failed(table, wrote < 0 ? errno : EIO);
    }
    done += static_cast<std::size_t>(wrote);
  }
  table.used = 0;
}

char* format_integer(char* out, std::int32_t value) {
  return std::to_chars(out, out + 12, value).ptr;
}

// Writes `value` as format_real does, formatting it only when it is not the
// float last written in its column. `out` needs 16 bytes.
char* write_real(char* out, float value, column_text& last) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (bits != last.bits || last.length == 0) {
    last.bits = bits;
    last.length = static_cast<std::uint32_t>(format_real(last.text.data(), value) - last.text.data());
  }
  std::memcpy(out, last.text.data(), last.text.size());
  return out + last.length;
}

}  // namespace

char* format_real(char* out, float value) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  if (std::isinf(value)) {
    if (value < 0.0f) {
      std::memcpy(out, "-Inf", 4);
      return out + 4;
    }
    std::memcpy(out, "Inf", 3);
    return out + 3;
  }
  return std::to_chars(out, out + 16, value).ptr;
}

void open_results(results_table& table, const text_field& out_file) {
  table.path = std::string(out_file.trimmed());
  if (table.path.empty()) {
    throw run_failure(exit_results_file,
                      "cannot create the results file: out_file in parameter.ini is blank");
  }
  table.fd = ::open(table.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (table.fd < 0) {
    throw run_failure(exit_results_file, "cannot create " + table.path + ": " + system_reason(errno));
  }
  table.buffer.resize(buffer_size);
  table.used = 0;
  table.last_text = {};
}

void write_header(results_table& table) {
  const std::size_t length = std::strlen(results_header);
  std::memcpy(table.buffer.data() + table.used, results_header, length);
  table.used += length;
  table.buffer[table.used++] = '\n';
}

void append_row(results_table& table, const model_state& state) {
  if (table.buffer.size() - table.used < longest_row) {
    flush(table);
  }
  const hourly_quantities& q = state.hour;
  const met_series& met = state.met;
  const std::size_t m = static_cast<std::size_t>(state.m);
  const float sd_obs = 0.1f - met.sd_sensor[m];
  const float src_diffuse_t = (q.sr_diffuse * (1.0f - q.sky_view)) * q.t_diffuse;

  char* out = table.buffer.data() + table.used;
  column_text* column = table.last_text.data();  // one per real, in the order of the header
  const auto real = [&out, &column](float value) {
    out = write_real(out, value, *column++);
    *out++ = ',';
  };
  const auto integer = [&out](std::int32_t value) {
    out = format_integer(out, value);
    *out++ = ',';
  };
  real(q.days_for_graph);
  integer(met.month[m]);
  integer(met.day[m]);
  integer(state.hour_index);
  real(sd_obs);
  real(state.params.sd_calc);
  real(q.nsr_ice);
  real(q.nlr_ice);
  real(q.sh_ice);
  real(q.lh_ice);
  real(q.melt_ice);
  real(q.nsr_cryo);
  real(q.nlr_cryo);
  real(q.sh_cryo);
  real(q.lh_cryo);
  real(q.melt_cryo);
  real(q.cryo_angle);
  real(q.solar_angle);
  real(q.nsr_cryo - q.nsr_ice);
  real(q.nlr_cryo - q.nlr_ice);
  real(q.sh_cryo - q.sh_ice);
  real(q.lh_cryo - q.lh_ice);
  real(q.melt_cryo - q.melt_ice);
  real(state.params.cryoconite_depth);
  real(met.sr[m]);
  real(q.sr_direct);
  real(q.sr_diffuse);
  real(q.src_direct);
  real(q.src_diffuse);
  real(q.t_direct);
  real(q.t_diffuse);
  real(q.k_direct);
  real(q.k_diffuse);
  real(src_diffuse_t);
  assert(column == table.last_text.data() + table.last_text.size());
  out[-1] = '\n';  // the last value has no comma after it
  table.used = static_cast<std::size_t>(out - table.buffer.data());
}

void close_results(results_table& table) {
  flush(table);
  const int fd = table.fd;
  table.fd = -1;
  if (::close(fd) != 0) {
    write_failed(table, errno);
  }
}

void abandon_results(results_table& table) noexcept {
  if (table.fd >= 0) {
    ::close(table.fd);
    table.fd = -1;
  }
}

}  // namespace pumak
