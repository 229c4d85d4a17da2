// Runs the built boardflash as a user would: a pseudo-terminal stands in for the board's serial
// port and a shell script named avrdude, first on PATH, records the words it is started with.
// Each run waits 2 s for the board, so every test makes one run and checks all it can of it.

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "child_run.h"

extern char** environ;

namespace {

const char* const kFakeAvrdude = R"(#!/bin/sh
echo "fake avrdude started"
echo "fake avrdude: exit $FAKE_AVRDUDE_EXIT" >&2
: > "$FAKE_AVRDUDE_ARGS"
for word in "$@"; do printf '%s\n' "$word" >> "$FAKE_AVRDUDE_ARGS"; done
if [ "$FAKE_AVRDUDE_EXIT" = signal ]; then kill -KILL $$; fi
exit "$FAKE_AVRDUDE_EXIT"
)";

const char* const kOpenLine = "Open Serial....";
const char* const kResetLine = "Reset Arduino Leonardo....";
const char* const kCommandPrefix = "avrdude cmd :avrdude -pm32u4 -cavr109 -F -D ";
const char* const kFakeStartedLine = "fake avrdude started";
const char* const kUsage =
    "usage: boardflash [--timeout S] <serial device> <firmware file>\n"
    "       boardflash --help | --version\n";

using std::chrono::milliseconds;

class BoardflashRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // Expected lines below quote paths by hand; that needs a temporary directory without
        // characters of its own to quote.
        ASSERT_EQ(
            dir_.path().find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._-"),
            std::string::npos)
            << dir_.path();

        ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(dir_.file("empty").c_str(), 0700), 0);
        write_file(dir_.file("bin/avrdude"), kFakeAvrdude);
        ASSERT_EQ(chmod(dir_.file("bin/avrdude").c_str(), 0700), 0);

        // The test keeps both sides open so the terminal and its settings outlive the
        // program's close of the port.
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0) << strerror(errno);
        port_ = ptsname(master_);
        ASSERT_NE(port_, "");
        termios attr{};
        ASSERT_EQ(tcgetattr(slave_, &attr), 0);
        cfsetispeed(&attr, B9600);
        cfsetospeed(&attr, B9600);
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &attr), 0);
        ASSERT_EQ(port_speed(), B9600);
    }

    void TearDown() override {
        if (slave_ != -1) close(slave_);
        if (master_ != -1) close(master_);
    }

    // Runs boardflash with PATH set to `path` alone; the fake avrdude exits with `fake_exit`,
    // or kills itself when it is "signal". With `sigchld_ignored`, boardflash starts with
    // SIGCHLD ignored, as some daemons leave it to the programs they start.
    ChildResult run(const std::vector<std::string>& args, const std::string& fake_exit = "0",
                    const std::string& path = "", bool sigchld_ignored = false) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("PATH=", 0) == 0 || entry.rfind("FAKE_AVRDUDE_", 0) == 0) continue;
            env.push_back(entry);
        }
        env.push_back("PATH=" + (path.empty() ? dir_.file("bin") : path));
        env.push_back("FAKE_AVRDUDE_ARGS=" + args_file());
        env.push_back("FAKE_AVRDUDE_EXIT=" + fake_exit);
        ChildResult result =
            run_child(BOARDFLASH_PROGRAM, args, env, dir_.file("stderr"), sigchld_ignored);
        EXPECT_FALSE(result.timed_out);
        return result;
    }

    speed_t port_speed() const {
        termios attr{};
        if (tcgetattr(slave_, &attr) != 0) return static_cast<speed_t>(-1);
        EXPECT_EQ(cfgetispeed(&attr), cfgetospeed(&attr));
        return cfgetospeed(&attr);
    }

    std::string args_file() const { return dir_.file("avrdude-args"); }

    // The words the fake avrdude was started with, or nothing when it never ran.
    std::vector<std::string> avrdude_words() const {
        std::vector<std::string> words;
        std::istringstream in(read_file(args_file()));
        for (std::string word; std::getline(in, word);) words.push_back(word);
        return words;
    }

    static std::string output(const std::string& port_word, const std::string& flash_word,
                              bool avrdude_started) {
        std::string out = std::string(kOpenLine) + "\n" + kResetLine + "\n" + kCommandPrefix +
                          port_word + " " + flash_word + "\n";
        if (avrdude_started) out += std::string(kFakeStartedLine) + "\n";
        return out;
    }

    static long long ms_between(const ChildResult& r, const std::string& from,
                                const std::string& to) {
        const TimedLine* a = nullptr;
        const TimedLine* b = nullptr;
        for (const TimedLine& line : r.lines) {
            if (a == nullptr && line.text == from) a = &line;
            if (b == nullptr && line.text.rfind(to, 0) == 0) b = &line;
        }
        if (a == nullptr || b == nullptr) return -1;
        return std::chrono::duration_cast<milliseconds>(b->at - a->at).count();
    }

    TempDir dir_;
    int master_ = -1;
    int slave_ = -1;
    std::string port_;
};

std::vector<std::string> fixed_words() {
    return {"-pm32u4", "-cavr109", "-F", "-D"};
}

std::vector<std::string> expected_words(const std::string& port, const std::string& firmware) {
    std::vector<std::string> words = fixed_words();
    words.push_back("-P" + port);
    words.push_back("-Uflash:w:" + firmware);
    return words;
}

TEST_F(BoardflashRun, ResetsAtTwelveHundredBaudWaitsAndFlashes) {
    const std::string firmware = dir_.file("Blink.ino.hex");
    ChildResult r = run({port_, firmware}, "0");

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, output("-P" + port_, "-Uflash:w:" + firmware, true));
    EXPECT_EQ(r.err, "fake avrdude: exit 0\n");
    EXPECT_EQ(avrdude_words(), expected_words(port_, firmware));
    EXPECT_EQ(port_speed(), B1200);

    // The board needs the wait to come back as its bootloader: it lies after the reset line,
    // before the command line and the start of avrdude.
    long long to_command = ms_between(r, kResetLine, "avrdude cmd :");
    long long to_avrdude = ms_between(r, kResetLine, kFakeStartedLine);
    EXPECT_GE(to_command, 1900);
    EXPECT_GE(to_avrdude, 1900);
    EXPECT_LT(to_avrdude, 5000);
    EXPECT_LT(ms_between(r, kOpenLine, kResetLine), 1000);
}

TEST_F(BoardflashRun, FirmwarePathWithBlankIsOneWordAndFailedUploadGivesTwo) {
    const std::string firmware = dir_.file("my firmware.hex");
    ChildResult r = run({port_, firmware}, "1");

    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, output("-P" + port_, "-Uflash:w:'" + firmware + "'", true));
    EXPECT_EQ(r.err, "fake avrdude: exit 1\n");
    EXPECT_EQ(avrdude_words(), expected_words(port_, firmware));
}

TEST_F(BoardflashRun, ShellCharactersInPathsAreNeverInterpretedEvenWithSigchldIgnored) {
    const std::string planted = dir_.file("planted");
    const std::string firmware = dir_.file("fw.hex; touch " + planted);
    const std::string port = dir_.file("it's a port");
    ASSERT_EQ(symlink(port_.c_str(), port.c_str()), 0);
    ChildResult r = run({port, firmware}, "0", "", true);

    // An ignored SIGCHLD must not cost avrdude's exit status.
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "fake avrdude: exit 0\n");
    const std::string quoted_port = "'" + dir_.file("it'\\''s a port") + "'";
    EXPECT_EQ(r.out, output("-P" + quoted_port, "-Uflash:w:'" + firmware + "'", true));
    EXPECT_EQ(avrdude_words(), expected_words(port, firmware));
    EXPECT_FALSE(file_exists(planted));
    EXPECT_EQ(port_speed(), B1200);
}

TEST_F(BoardflashRun, AvrdudeNotOnPathGivesTwo) {
    const std::string firmware = dir_.file("fw.hex");
    ChildResult r = run({port_, firmware}, "0", dir_.file("empty"));

    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, output("-P" + port_, "-Uflash:w:" + firmware, false));
    EXPECT_FALSE(file_exists(args_file()));
    // Under user-mode emulation the spawn may not learn of the failed exec; the child then
    // ends with status 127 and there is no message, but the exit status is the same.
    if (!r.err.empty()) {
        EXPECT_EQ(r.err, std::string("avrdude: ") + strerror(ENOENT) + "\n");
    }
}

TEST_F(BoardflashRun, PortThatIsNotATerminalStillFlashesAndKilledAvrdudeGivesTwo) {
    const std::string port = dir_.file("plain-file");
    write_file(port, "");
    const std::string firmware = dir_.file("fw.hex");
    ChildResult r = run({port, firmware}, "signal");

    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, output("-P" + port, "-Uflash:w:" + firmware, true));
    EXPECT_EQ(r.err, "fake avrdude: exit signal\n");
    EXPECT_EQ(avrdude_words(), expected_words(port, firmware));
    EXPECT_EQ(read_file(port), "");
}

TEST_F(BoardflashRun, MissingDeviceGivesOneAndTouchesNothing) {
    ChildResult r = run({dir_.file("no-such-port"), dir_.file("fw.hex")}, "0");

    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              std::string("open_port: Unable to open serial port\n: ") + strerror(ENOENT) + "\n");
    EXPECT_FALSE(file_exists(args_file()));
}

TEST_F(BoardflashRun, MissingArgumentsGiveUsageAndTouchNothing) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{port_},
          std::vector<std::string>{"--timeout", "2", port_},
          std::vector<std::string>{"--timeout", port_, "fw.hex"},
          std::vector<std::string>{"--timeout=0", port_, "fw.hex"},
          std::vector<std::string>{"--timeout", "-3", port_, "fw.hex"},
          std::vector<std::string>{"--timeout=5s", port_, "fw.hex"}}) {
        ChildResult r = run(args, "0");
        EXPECT_EQ(r.exit_status, 1) << args.size() << " arguments";
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
        EXPECT_FALSE(file_exists(args_file()));
        EXPECT_EQ(port_speed(), B9600);
    }
}

TEST_F(BoardflashRun, HelpGoesToStandardOutput) {
    for (const char* help : {"--help", "-h"}) {
        ChildResult r = run({help}, "0");
        EXPECT_EQ(r.exit_status, 0) << help;
        EXPECT_EQ(r.out.rfind(kUsage, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--timeout S  longest time"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(file_exists(args_file()));
    }
}

}  // namespace
