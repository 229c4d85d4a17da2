// boardflash: restarts the board into its bootloader through its serial port, then writes a
// firmware file into its flash with avrdude.
//
// Exit status: 0 when avrdude ran and succeeded, 1 when the arguments are missing or the port
// cannot be opened, 2 when avrdude could not be started, failed, or outlasted --timeout.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>

#include "avrdude_command.h"
#include "camkit_version.h"
#include "port_search.h"
#include "run_program.h"
#include "serial_reset.h"

namespace {

const int kExitUsage = 1;
const int kExitPort = 1;
const int kExitUpload = 2;

// The bootloader needs this long to come up on its USB port after the reset.
const unsigned kBootloaderWaitSeconds = 2;
// How long a bootloader that comes back under another name may take to appear.
const unsigned kNewPortWaitMs = 5000;

// "--timeout S" or "--timeout=S" ahead of the two paths; 0 when absent. False when malformed.
bool take_timeout(int* argc, char*** argv, unsigned* seconds) {
    *seconds = 0;
    if (*argc < 2) return true;
    const char* arg = (*argv)[1];
    const char* value = nullptr;
    int used = 0;
    if (std::strcmp(arg, "--timeout") == 0 && *argc >= 3) {
        value = (*argv)[2];
        used = 2;
    } else if (std::strncmp(arg, "--timeout=", 10) == 0) {
        value = arg + 10;
        used = 1;
    } else if (std::strcmp(arg, "--timeout") == 0) {
        return false;
    } else {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(value, &end, 10);
    if (*value < '0' || *value > '9' || *end != '\0' || errno != 0 || v == 0 || v > 86400) {
        return false;
    }
    *seconds = static_cast<unsigned>(v);
    *argc -= used;
    *argv += used;
    return true;
}

// The synopsis alone after a mistake; with --help the whole text.
void usage(std::ostream& out, bool whole) {
    out << "usage: boardflash [--timeout S] <serial device> <firmware file>\n"
           "       boardflash --help | --version\n";
    if (!whole) {
        out << std::flush;
        return;
    }
    out << "\n"
           "Restarts the board into its bootloader through its serial port, then writes\n"
           "the firmware file into its flash with avrdude.\n"
           "\n"
           "  --timeout S  longest time in seconds the upload may take (1 to 86400)\n"
           "\n"
           "Exit status: 0 uploaded, 1 missing arguments or a port that cannot be opened,\n"
           "2 avrdude could not be started, failed, or outlasted --timeout."
        << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc == 2 ? argv[1] : "";
    if (first == "--version") {
        std::cout << "boardflash " << CAMKIT_VERSION << std::endl;
        return 0;
    }
    if (first == "--help" || first == "-h") {
        usage(std::cout, true);
        return 0;
    }
    unsigned timeout = 0;
    if (!take_timeout(&argc, &argv, &timeout) || argc < 3) {
        usage(std::cerr, false);
        return kExitUsage;
    }
    const std::string given = argv[1];
    const std::string firmware = argv[2];

    int fd = boardflash::open_port(given);
    if (fd == -1) {
        perror("open_port: Unable to open serial port\n");
        return kExitPort;
    }
    std::cout << "Open Serial...." << std::endl;
    // Taken before the reset, so a port the bootloader gets afterwards stands out.
    const std::set<std::string> before = boardflash::serial_neighbours(given);
    boardflash::reset_board(fd);
    std::cout << "Reset Arduino Leonardo...." << std::endl;

    unsigned left = kBootloaderWaitSeconds;
    while (left > 0) left = sleep(left);

    // Something may still hold the old node open; the bootloader then enumerates anew.
    const std::string device = boardflash::bootloader_port(given, before, kNewPortWaitMs);
    if (device != given) std::cout << "Bootloader port: " << device << std::endl;

    // std::endl has flushed our lines, so they come before anything avrdude writes.
    std::cout << "avrdude cmd :" << boardflash::avrdude_command_line(device, firmware) << std::endl;
    bool timed_out = false;
    int status =
        boardflash::run_program(boardflash::avrdude_argv(device, firmware), timeout, &timed_out);
    if (timed_out) {
        std::cout << "The board did not answer within " << timeout << " seconds." << std::endl;
        return kExitUpload;
    }
    if (status == -1) {
        // Stands in for the shell's "not found" notice, so the user learns why nothing ran.
        perror("avrdude");
        return kExitUpload;
    }
    return status == 0 ? 0 : kExitUpload;
}
