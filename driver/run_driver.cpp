#include "driver/run_driver.hpp"

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
#include "io/table_replacement.hpp"
#include "model/version.hpp"
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

void run_driver(model_state& state, const model_variant& variant, unsigned threads) {
  run_parameters& p = state.params;
  para(p, variant.parameter_statements);
  start_run(state);
  metdata(state.met, p.n_days, 24, p.met_file, {}, threads);

  refuse_overwriting_inputs(p);
  results_table table;
  open_results(table, p.out_file, variant.program_name, threads);
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

namespace {

// What --help prints: what the program reads and writes, and where to learn more.
void print_usage(const model_variant& variant) {
  const bool fixed = variant.forcing != nullptr;
  std::printf(
      "usage: %s            (run in a site's run directory; takes no options)\n"
      "\n"
      "Runs the cryoconite-hole model for every hour of a site's record:\n"
      "  reads   parameter.ini (%d statements: the file names, then one labelled value each)\n"
      "          ../data/met_lv3/<met_file> (14 values per hourly record)\n"
      "  writes  <out_file>, a 34-column results table, replaced only when the run completes\n"
      "%s"
      "\n"
      "A normal run prints nothing and exits 0. Exit statuses: 1 out of memory, 2 parameter.ini,\n"
      "3 the met file, 4 the results table, 128+N stopped by signal N.\n"
      "  -h, --help     this text; --version  the version. Neither touches any file.\n"
      "See README.md of the pumak sources for the file layouts and the model.\n",
      variant.program_name, variant.parameter_statements,
      fixed ? "  with the built-in constant weather of this experiment in place of seven met columns\n"
            : "");
}

}  // namespace

int run_program(const model_variant& variant, int argc, char** argv) {
  // Other arguments are ignored, as they always were.
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      print_usage(variant);
      return std::fflush(stdout) == 0 ? exit_ok : exit_internal;
    }
    if (argument == "--version") {
      std::printf("%s %s\n", variant.program_name, pumak_version);
      return std::fflush(stdout) == 0 ? exit_ok : exit_internal;
    }
  }
  // A closed pipe or a file-size limit must come back as a write error with
  // a diagnostic, not end the program silently.
  ignore_write_signals();
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
