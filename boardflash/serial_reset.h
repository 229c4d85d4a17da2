#pragma once

#include <string>

namespace boardflash {

// Opens the board's serial port without making it the controlling terminal and without waiting
// for carrier; -1 with errno set when it cannot be opened.
int open_port(const std::string& device);

// Sets 1200 baud, raises RTS, drops DTR and closes `fd`: the board takes this as the request to
// restart into its bootloader. Each step is tried whatever the previous one gave, so a port that
// is not a terminal is simply closed.
void reset_board(int fd);

}  // namespace boardflash
