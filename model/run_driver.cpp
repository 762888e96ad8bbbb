#include "model/run_driver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "io/metdata.hpp"
#include "io/para.hpp"
#include "io/results_table.hpp"
#include "io/run_failure.hpp"
#include "model/simulate.hpp"

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

}  // namespace

void run_driver(model_state& state, const model_variant& variant) {
  run_parameters& p = state.params;
  para(p, variant.parameter_statements);
  start_run(state);
  metdata(state.met, p.n_days, 24, p.met_file);

  refuse_overwriting_inputs(p);
  results_table table;
  open_results(table, p.out_file);
  try {
    write_header(table);
    result_row row;
    run_started(state, variant, [&table, &row](const model_state& hour) {
      make_row(hour, row);
      append_row(table, row);
    });
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
