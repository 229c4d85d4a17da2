// boardflash: restarts the board into its bootloader through its serial port, then writes a
// firmware file into its flash with avrdude.
//
// Exit status: 0 when avrdude ran and succeeded, 1 when the arguments are missing or the port
// cannot be opened, 2 when avrdude could not be started or failed.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "avrdude_command.h"
#include "camkit_version.h"
#include "run_program.h"
#include "serial_reset.h"

namespace {

const int kExitUsage = 1;
const int kExitPort = 1;
const int kExitUpload = 2;

// The bootloader needs this long to come up on its USB port after the reset.
const unsigned kBootloaderWaitSeconds = 2;

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "boardflash " << CAMKIT_VERSION << std::endl;
        return 0;
    }
    if (argc < 3) {
        std::cerr << "usage: boardflash <serial device> <firmware file>" << std::endl;
        return kExitUsage;
    }
    const std::string device = argv[1];
    const std::string firmware = argv[2];

    int fd = boardflash::open_port(device);
    if (fd == -1) {
        perror("open_port: Unable to open serial port\n");
        return kExitPort;
    }
    std::cout << "Open Serial...." << std::endl;
    boardflash::reset_board(fd);
    std::cout << "Reset Arduino Leonardo...." << std::endl;

    unsigned left = kBootloaderWaitSeconds;
    while (left > 0) left = sleep(left);

    // std::endl has flushed our lines, so they come before anything avrdude writes.
    std::cout << "avrdude cmd :" << boardflash::avrdude_command_line(device, firmware) << std::endl;
    int status = boardflash::run_program(boardflash::avrdude_argv(device, firmware));
    if (status == -1) {
        // Stands in for the shell's "not found" notice, so the user learns why nothing ran.
        perror("avrdude");
        return kExitUpload;
    }
    return status == 0 ? 0 : kExitUpload;
}
