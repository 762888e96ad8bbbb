// pumak_metrun: see the README. Takes no arguments and reads no environment.
#include "model/model_variant.hpp"
#include "model/run_driver.hpp"

int main() { return pumak::run_program(pumak::metrun_variant); }
