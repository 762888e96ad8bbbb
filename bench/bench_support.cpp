#include "bench/bench_support.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "io/free_format_reader.hpp"
#include "io/metdata.hpp"
#include "physics/routines.hpp"

namespace pumak::bench {

std::string synthetic_met_text(int n_days, std::uint32_t seed) {
  constexpr double pi = 3.141592653589793;
  constexpr double sigma = 5.67e-8;
  constexpr double t_melt = 273.15;
  static constexpr std::array<int, 12> month_days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

  std::mt19937 random(seed);
  const auto uniform = [&random](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  std::normal_distribution<double> noise(0.0, 1.0);

  std::string text;
  text.reserve(static_cast<std::size_t>(n_days) * 24 * 80);
  double sensor = 1.5;
  double weather = 0.0;
  int year = 2001;
  int month = 1;
  int day = 1;
  int doy = 1;
  char line[160];
  for (int d = 0; d < n_days; ++d) {
    const double season = std::cos(2.0 * pi * (doy - 200) / 365.25);
    weather = 0.9 * weather + noise(random);
    for (int hour = 1; hour <= 24; ++hour) {
      const double daylight = std::sin(pi * (hour - 4) / 18.0);
      const double ta = -12.0 + 15.0 * season + 2.5 * daylight * std::max(season, 0.0) + weather +
                        0.4 * noise(random);
      const double sr = 900.0 * std::max(0.0, 0.35 * season + 0.25 * daylight) * uniform(0.55, 1.0);
      const double ts = std::min(ta - 1.0, 0.0) + t_melt;
      const double lw_up = sigma * std::pow(ts, 4.0) + uniform(-1.5, 2.5);
      const double lw_down = 0.75 * sigma * std::pow(ta + t_melt, 4.0) + uniform(-20.0, 40.0);
      if (ta > 0.0) {
        sensor += 0.0004 * ta;
      }
      const double wind = uniform(0.5, 12.0);
      const double rh = uniform(0.55, 0.98);
      const double reflected = sr * uniform(0.45, 0.75);
      const double pressure = uniform(955.0, 985.0);
      std::snprintf(line, sizeof line,
                    "%d %d %d %d %d %.2f %.2f %.4f %.2f %.2f %.2f %.2f %.4f %.2f\n", year, month,
                    day, hour, doy, ta, wind, rh, sr, reflected, lw_down, lw_up, sensor, pressure);
      text += line;
    }
    ++doy;
    if (++day > month_days[static_cast<std::size_t>(month - 1)]) {
      day = 1;
      if (++month > 12) {
        month = 1;
        doy = 1;
        ++year;
      }
    }
  }
  return text;
}

temp_file::temp_file(const std::string& content) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                        "/pumak-bench-XXXXXX";
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) {
    throw std::runtime_error("cannot create a temporary file in " + pattern);
  }
  ::unlink(pattern.c_str());
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd_, content.data() + done, content.size() - done);
    if (wrote <= 0) {
      ::close(fd_);
      throw std::runtime_error("cannot write the temporary file");
    }
    done += static_cast<std::size_t>(wrote);
  }
  rewind();
}

temp_file::~temp_file() { ::close(fd_); }

void temp_file::rewind() const { ::lseek(fd_, 0, SEEK_SET); }

void read_records(int fd, met_series& s, int n_days) {
  const std::size_t records = static_cast<std::size_t>(n_days) * 24;
  size_series(s, records);
  free_format_reader reader(fd);
  for (std::size_t m = 1; m <= records; ++m) {
    const std::array<statement_item, 14> record = record_items(s, m);
    if (!reader.read_statement(record)) {
      const statement_problem& problem = reader.problem();
      throw std::runtime_error("record " + std::to_string(m) + ": " +
                               explain(problem, record[problem.item].type));
    }
  }
}

void prepare_state(model_state& state, int n_days) {
  run_parameters& p = state.params;
  p.latitude = 79.91f;
  p.albedo_cryo = 0.15f;
  p.albedo_ice = 0.51f;
  p.ta_offset = 0.0f;
  p.cryoconite_diameter = 100.0f;
  p.cryoconite_depth = 100.0f;
  p.sd_calc = 0.0f;
  p.ch = 0.002f;
  p.n_days = n_days;
  p.diffuse_mode = 0;
  p.k_ice_direct = 1.0f;
  p.k_ice_diffuse = 1.0f;
  p.fixed_solar_angle = -1.0f;
  p.fixed_cryo_angle = -1.0f;
  physical_constants& c = state.constants;
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air,
             c.p_std, c.rho_ice, c.rho_water, c.dt, p.latitude);
  const temp_file file(synthetic_met_text(n_days));
  read_records(file.fd(), state.met, n_days);
}

}  // namespace pumak::bench
