#pragma once

namespace pumak {

// The model's version, shown by --version and recorded in NetCDF output.
inline constexpr const char* pumak_version = "0.2.0";

}  // namespace pumak
