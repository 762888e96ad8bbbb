#include "io/para.hpp"

#include <array>
#include <string>

#include "io/free_format_reader.hpp"
#include "io/input_file.hpp"
#include "io/run_failure.hpp"

namespace pumak {
namespace {

constexpr const char* parameter_path = "parameter.ini";
constexpr int n_days_statement = 10;  // item 11 of the file

struct numeric_item {
  const char* name;
  statement_item item;
};

[[noreturn]] void stop(const statement_problem& problem, const char* name,
                       statement_item::kind type) {
  std::string where = parameter_path;
  if (problem.line > 0) {
    where += ":" + std::to_string(problem.line);
  }
  throw run_failure(exit_parameter_file, where + ": " + name + ": " + explain(problem, type));
}

}  // namespace

void para(run_parameters& p, int statements) {
  const input_file file(parameter_path, exit_parameter_file);
  free_format_reader reader(file.fd(), 1 << 16);

  const std::array<statement_item, 2> names{statement_item::text(p.met_file),
                                            statement_item::text(p.out_file)};
  if (!reader.read_statement(names)) {
    const statement_problem& problem = reader.problem();
    stop(problem, problem.item == 0 ? "met_file" : "out_file", statement_item::kind::text);
  }
  // A path given to the operating system ends at a NUL byte: a name holding
  // one would silently read or replace another file.
  for (const auto& [name, field] : {std::pair{"met_file", &p.met_file}, std::pair{"out_file", &p.out_file}}) {
    if (field->trimmed().find('\0') != std::string_view::npos) {
      throw run_failure(exit_parameter_file, std::string(parameter_path) + ":" +
                                                 std::to_string(reader.line_number()) + ": " + name +
                                                 ": a file name cannot hold a NUL byte");
    }
  }

  const std::array<numeric_item, 15> items{{
      {"latitude", statement_item::real(p.latitude)},
      {"albedo_cryo", statement_item::real(p.albedo_cryo)},
      {"albedo_ice", statement_item::real(p.albedo_ice)},
      {"ta_offset", statement_item::real(p.ta_offset)},
      {"cryoconite_diameter", statement_item::real(p.cryoconite_diameter)},
      {"cryoconite_depth", statement_item::real(p.cryoconite_depth)},
      {"sd_calc", statement_item::real(p.sd_calc)},
      {"ch", statement_item::real(p.ch)},
      {"n_days", statement_item::integer(p.n_days)},
      {"diffuse_mode", statement_item::integer(p.diffuse_mode)},
      {"item 13", statement_item::real(p.item_13)},
      {"k_ice_direct", statement_item::real(p.k_ice_direct)},
      {"k_ice_diffuse", statement_item::real(p.k_ice_diffuse)},
      {"fixed_solar_angle", statement_item::real(p.fixed_solar_angle)},
      {"fixed_cryo_angle", statement_item::real(p.fixed_cryo_angle)},
  }};
  std::int64_t n_days_line = 0;
  for (int s = 2; s <= statements; ++s) {
    const numeric_item& item = items[static_cast<std::size_t>(s - 2)];
    const std::array<statement_item, 2> statement{statement_item::label(), item.item};
    if (!reader.read_statement(statement)) {
      const statement_problem& problem = reader.problem();
      if (problem.item == 0 && problem.why != statement_problem::reason::ends_early) {
        const std::string label = std::string("label before ") + item.name;
        stop(problem, label.c_str(), statement_item::kind::label);
      }
      stop(problem, item.name, item.item.type);
    }
    if (s == n_days_statement) {
      n_days_line = reader.line_number();
    }
  }

  // The series are sized from n_days; refuse a run they cannot hold.
  if (p.n_days > max_run_days) {
    throw run_failure(exit_parameter_file,
                      std::string(parameter_path) + ":" + std::to_string(n_days_line) +
                          ": n_days: " + std::to_string(p.n_days) + " days exceed the longest run of " +
                          std::to_string(max_run_days) + " days (1000 years)");
  }
}

}  // namespace pumak
