#pragma once

#include <string>
#include <vector>

namespace boardflash {

// Starts argv[0], found through PATH, with these words as its arguments; it shares our standard
// input, output and error. Waits for it and returns its exit status (128 + the signal number when
// a signal ended it, as a shell reports it), or -1 with errno set when it could not be started.
//
// With a nonzero `timeout_seconds` the program runs in a process group of its own; when it has
// not ended by then, the group gets SIGTERM, then SIGKILL after a grace period, and
// `*timed_out` is set.
int run_program(const std::vector<std::string>& argv, unsigned timeout_seconds = 0,
                bool* timed_out = nullptr);

}  // namespace boardflash
