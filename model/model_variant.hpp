#pragma once

#include "io/parameter_layout.hpp"

namespace pumak {

// The seven meteorological inputs that a fixed-forcing run writes into the
// hourly series at the start of every hour.
struct fixed_forcing {
  float ta_obs;    // degC, before ta_offset is added
  float wind;      // m s-1
  float rh;        // fraction
  float sr;        // W m-2
  float lw_down;   // W m-2
  float lw_up;     // W m-2
  float pressure;  // hPa
};

// What distinguishes the three programs. The driver and the hourly step take
// it as a setting; there is one copy of the model.
struct model_variant {
  const char* program_name;
  // Statements in "parameter.ini": 16 (17 items) for the recorded series,
  // 13 (14 items) for the fixed-forcing experiments.
  int parameter_statements;
  // Forcing written over the recorded inputs every hour; null for none.
  const fixed_forcing* forcing;
  // fixed_solar_angle and fixed_cryo_angle exist and apply.
  bool angle_overrides;
  // Extinction coefficients: taken from the parameter file, or fixed.
  bool fixed_extinction;
  float fixed_k_used_direct;
  float fixed_k_diffuse;
};

// pumak_metrun: driven by the recorded series, all 17 items in use.
inline constexpr model_variant metrun_variant{.program_name = "pumak_metrun",
                                               .parameter_statements = full_layout_statements,
                                               .forcing = nullptr,
                                               .angle_overrides = true,
                                               .fixed_extinction = false,
                                               .fixed_k_used_direct = 0.0f,
                                               .fixed_k_diffuse = 0.0f};

}  // namespace pumak
