#include "io/metdata.hpp"

#include <array>

#include "io/free_format_reader.hpp"
#include "io/input_file.hpp"
#include "io/met_columns.hpp"
#include "io/run_failure.hpp"

namespace pumak {
void size_series(met_series& s, std::size_t records) {
  for (const met_column& column : met_columns) {
    if (column.integer != nullptr) {
      (s.*column.integer).assign(records + 1, 0);
    } else {
      (s.*column.real).assign(records + 1, 0.0f);
    }
  }
}

std::array<statement_item, 14> record_items(met_series& s, std::size_t m) {
  std::array<statement_item, 14> items{};
  for (std::size_t i = 0; i < met_columns.size(); ++i) {
    const met_column& column = met_columns[i];
    items[i] = column.integer != nullptr ? statement_item::integer((s.*column.integer)[m])
                                         : statement_item::real((s.*column.real)[m]);
  }
  return items;
}

std::string met_file_path(const text_field& met_file, const std::string& run_dir) {
  const std::string relative = "../data/met_lv3/" + std::string(met_file.trimmed());
  return run_dir.empty() ? relative : run_dir + "/" + relative;
}

void metdata(met_series& s, std::int32_t n_days, std::int32_t hours_per_day,
             const text_field& met_file, const std::string& run_dir) {
  if (met_file.trimmed().empty()) {
    throw run_failure(exit_met_file, "cannot open the met file: met_file in parameter.ini is blank",
                      "parameter.ini", 1, "met_file");
  }
  const std::string path = met_file_path(met_file, run_dir);
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
        throw run_failure(exit_met_file, message, path);
      }
      const std::string column(met_columns[problem.item].name);
      throw run_failure(exit_met_file,
                        path + ":" + std::to_string(problem.line) + ": record " + std::to_string(m) +
                            " (day " + std::to_string(d) + ", hour " + std::to_string(h) + "), " +
                            column + ": " + explain(problem, record[problem.item].type),
                        path, problem.line, column);
    }
  }
}

}  // namespace pumak
