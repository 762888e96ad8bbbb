#include "io/metdata.hpp"

#include <array>

#include "io/free_format_reader.hpp"
#include "io/input_file.hpp"
#include "io/run_failure.hpp"

namespace pumak {
namespace {

constexpr std::array<const char*, 14> column_names{
    "column 1", "month", "day",     "obs_hour", "doy",       "ta_obs",    "wind",
    "rh",       "sr",    "column 10", "lw_down", "lw_up", "sd_sensor", "pressure"};

}  // namespace

void size_series(met_series& s, std::size_t records) {
  for (auto* column : {&s.column_1, &s.month, &s.day, &s.obs_hour, &s.doy}) {
    column->assign(records + 1, 0);
  }
  for (auto* column : {&s.ta_obs, &s.wind, &s.rh, &s.sr, &s.column_10, &s.lw_down, &s.lw_up,
                       &s.sd_sensor, &s.pressure}) {
    column->assign(records + 1, 0.0f);
  }
}

std::array<statement_item, 14> record_items(met_series& s, std::size_t m) {
  return {statement_item::integer(s.column_1[m]), statement_item::integer(s.month[m]),
          statement_item::integer(s.day[m]),      statement_item::integer(s.obs_hour[m]),
          statement_item::integer(s.doy[m]),      statement_item::real(s.ta_obs[m]),
          statement_item::real(s.wind[m]),        statement_item::real(s.rh[m]),
          statement_item::real(s.sr[m]),          statement_item::real(s.column_10[m]),
          statement_item::real(s.lw_down[m]),     statement_item::real(s.lw_up[m]),
          statement_item::real(s.sd_sensor[m]),   statement_item::real(s.pressure[m])};
}

std::string met_file_path(const text_field& met_file) {
  return "../data/met_lv3/" + std::string(met_file.trimmed());
}

void metdata(met_series& s, std::int32_t n_days, std::int32_t hours_per_day,
             const text_field& met_file) {
  if (met_file.trimmed().empty()) {
    throw run_failure(exit_met_file, "cannot open the met file: met_file in parameter.ini is blank");
  }
  const std::string path = met_file_path(met_file);
  const input_file file(path, exit_met_file);

  const std::int64_t records =
      n_days > 0 ? static_cast<std::int64_t>(n_days) * hours_per_day : std::int64_t{0};
  size_series(s, static_cast<std::size_t>(records));

  free_format_reader reader(file.fd());
  for (std::int32_t d = 1; d <= n_days; ++d) {
    for (std::int32_t h = 1; h <= hours_per_day; ++h) {
      const std::size_t m = static_cast<std::size_t>(d - 1) * static_cast<std::size_t>(hours_per_day) +
                            static_cast<std::size_t>(h);
      const std::array<statement_item, 14> record = record_items(s, m);
      if (reader.read_statement(record)) {
        continue;
      }
      const statement_problem& problem = reader.problem();
      if (problem.why == statement_problem::reason::ends_early) {
        std::string message = path + ": ends after " + std::to_string(m - 1) + " of the " +
                              std::to_string(records) + " records that n_days " +
                              std::to_string(n_days) + " needs";
        if (problem.item > 0) {
          message += " (record " + std::to_string(m) + " has " + std::to_string(problem.item) +
                     " of its 14 values)";
        }
        throw run_failure(exit_met_file, message);
      }
      throw run_failure(exit_met_file,
                        path + ":" + std::to_string(problem.line) + ": record " + std::to_string(m) +
                            " (day " + std::to_string(d) + ", hour " + std::to_string(h) + "), " +
                            column_names[problem.item] + ": " +
                            explain(problem, record[problem.item].type));
    }
  }
}

}  // namespace pumak
