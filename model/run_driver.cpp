#include "model/run_driver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "io/metdata.hpp"
#include "io/para.hpp"
#include "io/results_table.hpp"
#include "io/run_failure.hpp"
#include "model/hourly_step.hpp"
#include "physics/routines.hpp"

namespace pumak {
namespace {

bool same_file(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Replacing the results file must not destroy an input of the run: a typing
// slip in out_file would otherwise lose the parameter or data file.
void refuse_overwriting_inputs(const run_parameters& p) {
  const std::string out(p.out_file.trimmed());
  for (const std::string& input : {std::string("parameter.ini"), met_file_path(p.met_file)}) {
    if (!out.empty() && same_file(out, input)) {
      throw run_failure(exit_results_file,
                        "cannot create " + out + ": it is the input file " + input);
    }
  }
}

// A diagnostic stays one line on the terminal: control characters that a
// quoted file name may carry (a carriage return, an escape) are shown as \xNN.
std::string one_line(std::string_view message) {
  std::string line;
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      line += "\\x";
      line += hex[byte >> 4];
      line += hex[byte & 0xf];
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace

void run_driver(model_state& state, const model_variant& variant) {
  run_parameters& p = state.params;
  physical_constants& c = state.constants;

  para(p, variant.parameter_statements);
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air,
             c.p_std, c.rho_ice, c.rho_water, c.dt, p.latitude);
  metdata(state.met, p.n_days, 24, p.met_file);

  refuse_overwriting_inputs(p);
  results_table table;
  open_results(table, p.out_file);
  try {
    write_header(table);
    const std::int32_t n_days = p.n_days;
    for (std::int32_t day = 1; day <= n_days; ++day) {
      for (std::int32_t hour = 1; hour <= 24; ++hour) {
        hourly_step(state, variant, day, hour);
        append_row(table, state);
      }
    }
    close_results(table);
  } catch (...) {
    abandon_results(table);
    throw;
  }
}

int run_program(const model_variant& variant) {
  try {
    // The state holds the series of the whole run: keep it off the stack.
    const auto state = std::make_unique<model_state>();
    run_driver(*state, variant);
    return exit_ok;
  } catch (const run_failure& failure) {
    std::fprintf(stderr, "%s: %s\n", variant.program_name, one_line(failure.what()).c_str());
    return failure.status();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", variant.program_name);
    return exit_internal;
  }
}

}  // namespace pumak
