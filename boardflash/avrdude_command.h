#pragma once

#include <string>
#include <vector>

namespace boardflash {

// The argument vector avrdude is started with, program name first; each path stays one word.
std::vector<std::string> avrdude_argv(const std::string& device, const std::string& firmware);

// The same command as one line for the user: words joined by blanks, paths quoted where a shell
// would otherwise change them, so the line can be pasted and runs what was run.
std::string avrdude_command_line(const std::string& device, const std::string& firmware);

}  // namespace boardflash
