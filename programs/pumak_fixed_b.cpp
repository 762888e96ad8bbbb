// pumak_fixed_b: see the README. Takes no arguments and reads no environment.
#include "experiments/fixed_forcing.hpp"
#include "model/run_driver.hpp"

int main() { return pumak::run_program(pumak::fixed_b_variant); }
