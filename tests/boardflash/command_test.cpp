// The command avrdude is started with, and the line printed for it: ordinary paths print as they
// are, anything a shell would change prints so that pasting the line runs the same words.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "avrdude_command.h"
#include "shell_quote.h"

namespace {

using boardflash::avrdude_argv;
using boardflash::avrdude_command_line;
using boardflash::shell_quote;

// Has /bin/sh run `line` with avrdude defined as a function that prints each of its words
// followed by a NUL, and returns those words.
std::vector<std::string> words_the_shell_runs(const std::string& line) {
    std::string script = "avrdude() { for w in \"$@\"; do printf '%s\\0' \"$w\"; done; }; " + line;
    FILE* shell = popen(script.c_str(), "r");
    if (shell == nullptr) return {"popen failed"};
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, shell)) > 0) out.append(chunk, n);
    int status = pclose(shell);
    if (status != 0) return {"shell status " + std::to_string(status)};

    std::vector<std::string> words;
    size_t start = 0;
    for (size_t end; (end = out.find('\0', start)) != std::string::npos; start = end + 1) {
        words.push_back(out.substr(start, end - start));
    }
    return words;
}

TEST(AvrdudeCommand, OrdinaryPathsGiveTheLegacyLineAndWords) {
    EXPECT_EQ(avrdude_command_line("/dev/ttyACM0", "/home/pi/Blink.ino.hex"),
              "avrdude -pm32u4 -cavr109 -F -D -P/dev/ttyACM0 -Uflash:w:/home/pi/Blink.ino.hex");
    EXPECT_EQ(avrdude_argv("/dev/ttyACM0", "/home/pi/Blink.ino.hex"),
              (std::vector<std::string>{"avrdude", "-pm32u4", "-cavr109", "-F", "-D",
                                        "-P/dev/ttyACM0", "-Uflash:w:/home/pi/Blink.ino.hex"}));
}

TEST(AvrdudeCommand, LongPathsAreKeptWhole) {
    std::string device = "/dev/" + std::string(300, 'd');
    std::string firmware = "/" + std::string(5000, 'f') + ".hex";
    std::vector<std::string> argv = avrdude_argv(device, firmware);
    ASSERT_EQ(argv.size(), 7u);
    EXPECT_EQ(argv[5], "-P" + device);
    EXPECT_EQ(argv[6], "-Uflash:w:" + firmware);
    EXPECT_EQ(avrdude_command_line(device, firmware),
              "avrdude -pm32u4 -cavr109 -F -D -P" + device + " -Uflash:w:" + firmware);
}

TEST(ShellQuote, PlainTextIsLeftAlone) {
    for (const char* text : {"", "/dev/ttyACM0", "fw-1.0_rc+2,b:c@d%e=f.hex", "ABCxyz0189"}) {
        EXPECT_EQ(shell_quote(text), text);
    }
}

TEST(ShellQuote, SpecialCharactersAreSingleQuoted) {
    struct Case {
        const char* text;
        const char* quoted;
    };
    const Case cases[] = {
        {"my fw.hex", "'my fw.hex'"},
        {"a\tb", "'a\tb'"},
        {"a\nb", "'a\nb'"},
        {"x; touch y", "'x; touch y'"},
        {"$(id)", "'$(id)'"},
        {"`id`", "'`id`'"},
        {"a\\b", "'a\\b'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"''", "''\\'''\\'''"},
        {"~/fw.hex", "'~/fw.hex'"},
        {"caf\xc3\xa9.hex", "'caf\xc3\xa9.hex'"},
    };
    for (const Case& c : cases) EXPECT_EQ(shell_quote(c.text), c.quoted) << c.text;

    for (char special : std::string(" \t\n\r;&|$`\\\"'*?[](){}<>~#!^")) {
        std::string text = std::string("a") + special + "b";
        std::string quoted = shell_quote(text);
        ASSERT_GE(quoted.size(), 2u) << text;
        EXPECT_EQ(quoted.front(), '\'') << text;
        EXPECT_EQ(quoted.back(), '\'') << text;
    }
}

TEST(AvrdudeCommand, PastedLineRunsTheSameWords) {
    std::vector<std::string> paths = {
        "/dev/ttyACM0",
        "my fw.hex",
        "x; touch y",
        "$(touch y)",
        "`touch y`",
        "a|b&c",
        "a>b<c",
        "it's",
        "'",
        "a\\'b\"c",
        "*",
        "?.hex",
        "[ab].hex",
        "{a,b}.hex",
        "~root",
        "#comment",
        "!!",
        "a\nb\tc",
        "^x",
        "$HOME/$1/${x}",
        "-rf /",
        "fw.hex #x",
        "a=b",
        "caf\xc3\xa9",
        "",
    };
    std::string all_bytes;
    for (int c = 1; c < 256; ++c) all_bytes += static_cast<char>(c);
    paths.push_back(all_bytes);

    for (const std::string& path : paths) {
        std::vector<std::string> argv = avrdude_argv(path, path);
        std::vector<std::string> expected(argv.begin() + 1, argv.end());
        EXPECT_EQ(words_the_shell_runs(avrdude_command_line(path, path)), expected) << path;
    }
}

}  // namespace
