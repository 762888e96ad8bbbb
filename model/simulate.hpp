#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/run_failure.hpp"
#include "model/hourly_step.hpp"
#include "model/model_variant.hpp"
#include "model/result_row.hpp"
#include "records/model_state.hpp"
#include "records/result_columns.hpp"

// The model as a library: read a site's files into records, run the model
// on records with no file touched, and hand each hour's row to the caller.
// The programs are thin wrappers over these same functions.
namespace pumak {

// Reads "parameter.ini" of `run_dir` in the variant's layout (empty: the
// working directory). Items the layout does not hold stay as in `defaults`.
// Latitude stays in degrees. Throws run_failure as the programs report it.
run_parameters read_parameters(const std::string& run_dir, const model_variant& variant,
                               const run_parameters& defaults = {});

// Reads the n_days * 24 records of the met file that `params` names, looked
// up as ../data/met_lv3/<met_file> from `run_dir`. Throws run_failure.
met_series read_met(const std::string& run_dir, const run_parameters& params);

// The number of hours a run of `params` computes: n_days * 24, or 0.
std::size_t run_hours(const run_parameters& params);

// Sets the constants and converts the latitude of `state.params` to radians:
// the start of every run, after the parameters are in place.
void start_run(model_state& state);

// Runs every hour of a started state in order and calls on_row(state) after
// each step, with the hour's quantities and carried state in `state`.
template <class RowSink>
void run_started(model_state& state, const model_variant& variant, RowSink&& on_row) {
  const std::int32_t n_days = state.params.n_days;
  for (std::int32_t day = 1; day <= n_days; ++day) {
    for (std::int32_t hour = 1; hour <= 24; ++hour) {
      hourly_step(state, variant, day, hour);
      on_row(static_cast<const model_state&>(state));
    }
  }
}

// Throws std::invalid_argument naming the first of the fourteen series that
// holds fewer than `hours` records after element 0.
void check_series_length(const met_series& met, std::size_t hours);

// A whole run on records, in a state of its own: `params` (latitude in
// degrees) and `met` are not changed. `met` must hold run_hours(params)
// records after its unused element 0 (std::invalid_argument otherwise).
template <class RowSink>
void simulate(const run_parameters& params, const met_series& met, const model_variant& variant,
              RowSink&& on_row) {
  const auto state = std::make_unique<model_state>();
  state->params = params;
  state->met = met;
  check_series_length(state->met, run_hours(params));
  start_run(*state);
  run_started(*state, variant, on_row);
}

}  // namespace pumak
