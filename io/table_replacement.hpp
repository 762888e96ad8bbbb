#pragma once

#include <sys/types.h>

#include <string>

namespace pumak {

// Where and how a results table is written.
//
// A table that names a regular file, or nothing yet, is written to an
// unfinished file beside its target, "<target>.unfinished-<pid>", and renamed
// over the target only after its last row and a successful close: until then
// an earlier table stays byte for byte as it was, and a reader never sees a
// partial table under the target's name. A symbolic link keeps pointing where
// it pointed; the table replaces the link's final target. A run killed
// outright (SIGKILL, a power loss) leaves its unfinished file; the next run
// into the same target removes those whose process is gone. A character device
// or a FIFO, and any name under /dev/ or /proc/ (/dev/stdout, /dev/null, a
// pipe) is written directly.
struct table_destination {
  std::string target;      // the file that holds the table in the end
  std::string unfinished;  // where rows go first; empty when written directly
  bool earlier_table = false;  // the target exists as a regular file now
  mode_t earlier_mode = 0;     // its permission bits, which the new table takes over
};

// Decides the destination of `out_path`. A failure (a directory, a link loop,
// an earlier table that may not be written) throws run_failure with
// exit_results_file.
table_destination plan_destination(const std::string& out_path);

// While a table is unfinished, SIGINT, SIGTERM and SIGHUP remove the
// unfinished file, print one line naming `program`, and end the process by
// the same signal (status 128 + signal number in a shell). Ignores SIGPIPE
// and SIGXFSZ for good, so a closed pipe or a file-size limit becomes a
// write error with a diagnostic.
void guard_unfinished(const char* program, const table_destination& destination);

// The unfinished file is gone (renamed or removed): signals act as usual.
void release_unfinished() noexcept;

// Ignores SIGPIPE and SIGXFSZ: writes then fail with EPIPE or EFBIG.
void ignore_write_signals();

}  // namespace pumak
