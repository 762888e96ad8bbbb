#include "model/simulate.hpp"

#include <stdexcept>

#include "io/met_columns.hpp"
#include "io/metdata.hpp"
#include "io/para.hpp"
#include "physics/routines.hpp"

namespace pumak {

run_parameters read_parameters(const std::string& run_dir, const model_variant& variant,
                               const run_parameters& defaults) {
  run_parameters params = defaults;
  para(params, variant.parameter_statements, run_dir);
  return params;
}

met_series read_met(const std::string& run_dir, const run_parameters& params) {
  met_series met;
  metdata(met, params.n_days, 24, params.met_file, run_dir);
  return met;
}

std::size_t run_hours(const run_parameters& params) {
  return params.n_days > 0 ? static_cast<std::size_t>(params.n_days) * 24 : 0;
}

void start_run(model_state& state) {
  physical_constants& c = state.constants;
  const_init(c.solar_constant, c.pi, c.t_melt, c.sigma, c.l_vap, c.l_fus, c.emissivity, c.cp_air,
             c.p_std, c.rho_ice, c.rho_water, c.dt, state.params.latitude);
}

void check_series_length(const met_series& met, std::size_t hours) {
  for (const met_column& column : met_columns) {
    const std::size_t size =
        column.integer != nullptr ? (met.*column.integer).size() : (met.*column.real).size();
    if (size < hours + 1) {
      throw std::invalid_argument("met column " + std::string(column.name) + " holds " +
                                  std::to_string(size == 0 ? 0 : size - 1) + " records; the run needs " +
                                  std::to_string(hours));
    }
  }
}

}  // namespace pumak
