// pumak_metrun: see the README. Reads no environment; --help and --version only print.
#include "driver/run_driver.hpp"
#include "model/model_variant.hpp"

int main(int argc, char** argv) { return pumak::run_program(pumak::metrun_variant, argc, argv); }
