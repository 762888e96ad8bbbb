// pumak_fixed_a: see the README. Reads no environment; --help and --version only print.
#include "driver/run_driver.hpp"
#include "experiments/fixed_forcing.hpp"

int main(int argc, char** argv) { return pumak::run_program(pumak::fixed_a_variant, argc, argv); }
