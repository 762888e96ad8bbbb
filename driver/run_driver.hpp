#pragma once

#include "model/model_variant.hpp"
#include "records/model_state.hpp"

namespace pumak {

// The whole run in the working directory: reads "parameter.ini", sets the
// constants, reads the meteorological series, then writes the results table
// hour by hour. A failure throws run_failure; the results file is opened only
// after both inputs have been read and closed. `threads` bounds the threads
// that read the met file and write the table (0: the machine's cores); the
// table is the same byte for byte with any number.
void run_driver(model_state& state, const model_variant& variant, unsigned threads = 0);

// A program's life: performs the run and returns the exit status. A failure
// is reported as one line on standard error, prefixed by the program's name;
// a normal run prints nothing. --help (-h) and --version print and touch no
// file; any other argument is ignored.
int run_program(const model_variant& variant, int argc, char** argv);

}  // namespace pumak
