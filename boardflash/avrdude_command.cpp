#include "avrdude_command.h"

#include "shell_quote.h"

namespace boardflash {

namespace {

const char* const kProgram = "avrdude";
// ATmega32U4 part, AVR109 bootloader protocol, no signature check, no chip erase.
const char* const kFixedOptions[] = {"-pm32u4", "-cavr109", "-F", "-D"};
const char* const kPortOption = "-P";
const char* const kFlashOption = "-Uflash:w:";

}  // namespace

std::vector<std::string> avrdude_argv(const std::string& device, const std::string& firmware) {
    std::vector<std::string> argv{kProgram};
    for (const char* option : kFixedOptions) argv.emplace_back(option);
    argv.push_back(kPortOption + device);
    argv.push_back(kFlashOption + firmware);
    return argv;
}

std::string avrdude_command_line(const std::string& device, const std::string& firmware) {
    std::string line = kProgram;
    for (const char* option : kFixedOptions) {
        line += ' ';
        line += option;
    }
    line += ' ';
    line += kPortOption + shell_quote(device);
    line += ' ';
    line += kFlashOption + shell_quote(firmware);
    return line;
}

}  // namespace boardflash
