#include "io/run_failure.hpp"

#include <cstring>

namespace pumak {

std::string system_reason(int error_number) { return std::strerror(error_number); }

}  // namespace pumak
