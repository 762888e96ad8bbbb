#include "io/para.hpp"

#include <array>
#include <string>

#include "io/free_format_reader.hpp"
#include "io/input_file.hpp"
#include "io/parameter_layout.hpp"
#include "io/run_failure.hpp"

namespace pumak {
namespace {

[[noreturn]] void stop(const std::string& path, std::int64_t line, const std::string& item,
                       const std::string& what) {
  std::string where = path;
  if (line > 0) {
    where += ":" + std::to_string(line);
  }
  throw run_failure(exit_parameter_file, where + ": " + item + ": " + what, path, line, item);
}

[[noreturn]] void stop(const std::string& path, const statement_problem& problem,
                       const std::string& item, statement_item::kind type) {
  stop(path, problem.line, item, explain(problem, type));
}

}  // namespace

std::string parameter_file_path(const std::string& run_dir) {
  return run_dir.empty() ? std::string("parameter.ini") : run_dir + "/parameter.ini";
}

void para(run_parameters& p, int statements, const std::string& run_dir) {
  const std::string path = parameter_file_path(run_dir);
  const input_file file(path, exit_parameter_file);
  free_format_reader reader(file.fd(), 1 << 16);

  const parameter_item& met_file = parameter_items[0];
  const parameter_item& out_file = parameter_items[1];
  const std::array<statement_item, 2> names{reader_target(met_file, p), reader_target(out_file, p)};
  if (!reader.read_statement(names)) {
    const statement_problem& problem = reader.problem();
    stop(path, problem, std::string(parameter_items[problem.item].name), statement_item::kind::text);
  }
  // A path given to the operating system ends at a NUL byte: a name holding
  // one would silently read or replace another file.
  for (const parameter_item* item : {&met_file, &out_file}) {
    if ((p.*item->text).trimmed().find('\0') != std::string_view::npos) {
      stop(path, reader.line_number(), std::string(item->name), "a file name cannot hold a NUL byte");
    }
  }

  std::int64_t n_days_line = 0;
  for (std::size_t i = 2; i < items_in_layout(statements); ++i) {
    const parameter_item& item = parameter_items[i];
    const std::array<statement_item, 2> statement{statement_item::label(), reader_target(item, p)};
    if (!reader.read_statement(statement)) {
      const statement_problem& problem = reader.problem();
      if (problem.item == 0 && problem.why != statement_problem::reason::ends_early) {
        stop(path, problem, "label before " + std::string(item.name), statement_item::kind::label);
      }
      stop(path, problem, std::string(item.name), item.kind);
    }
    if (item.integer == &run_parameters::n_days) {
      n_days_line = reader.line_number();
    }
  }

  // The series are sized from n_days; refuse a run they cannot hold.
  if (p.n_days > max_run_days) {
    stop(path, n_days_line, "n_days",
         std::to_string(p.n_days) + " days exceed the longest run of " +
             std::to_string(max_run_days) + " days (1000 years)");
  }
}

}  // namespace pumak
