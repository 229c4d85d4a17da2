// boardflash with Debian's avrdude against the emulated bootloader: real uploads, a board that
// never answers, and a bootloader that comes back under another name after the reset.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "child_run.h"

extern char** environ;

namespace {

const size_t kFlashBytes = 32 * 1024;
const char* const kOpenLine = "Open Serial....";
const char* const kResetLine = "Reset Arduino Leonardo....";

using std::chrono::steady_clock;

// A firmware image of `size` bytes and its Intel HEX text, 16 data bytes a record.
struct Firmware {
    std::string bytes;
    std::string hex;
};

Firmware make_firmware(size_t size) {
    Firmware fw;
    unsigned state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        fw.bytes += static_cast<char>(state >> 16);
    }
    char buf[24];
    for (size_t off = 0; off < size; off += 16) {
        size_t n = std::min<size_t>(16, size - off);
        unsigned sum = static_cast<unsigned>(n + (off >> 8) + (off & 0xFF));
        snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(n),
                 static_cast<unsigned>(off));
        fw.hex += buf;
        for (size_t i = 0; i < n; ++i) {
            unsigned char b = static_cast<unsigned char>(fw.bytes[off + i]);
            sum += b;
            snprintf(buf, sizeof buf, "%02X", b);
            fw.hex += buf;
        }
        snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        fw.hex += buf;
    }
    fw.hex += ":00000001FF\n";
    return fw;
}

class Upload : public ::testing::Test {
  protected:
    void TearDown() override { stop_emulator(); }

    // Starts the emulated bootloader behind the link `name` in the test's folder and waits
    // until the link is there.
    void start_emulator(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{
            LEONARDO_EMULATOR,      "--link",       dir_.file(name),    "--flash-out",
            dir_.file("flash.bin"), "--speeds-out", dir_.file("speeds")};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        ASSERT_EQ(posix_spawn(&emulator_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char ready[6] = {};
        ASSERT_EQ(read(out[0], ready, 6), 6);
        close(out[0]);
        ASSERT_EQ(std::string(ready, 6), "ready\n");
    }

    // The emulator's exit status: 0 after avrdude's exit command, 3 when it had to be stopped.
    int stop_emulator() {
        if (emulator_ <= 0) return -1;
        int status = 0;
        for (int i = 0; i < 100 && waitpid(emulator_, &status, WNOHANG) == 0; ++i) usleep(20000);
        if (waitpid(emulator_, &status, WNOHANG) == 0) {
            kill(emulator_, SIGTERM);
            waitpid(emulator_, &status, 0);
        }
        emulator_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ChildResult run(const std::vector<std::string>& args, int limit_s = 0) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("PATH=", 0) != 0) env.push_back(entry);
        }
        std::string avrdude = AVRDUDE_DIR;
        env.push_back("PATH=" + avrdude.substr(0, avrdude.rfind('/')) + ":/usr/bin:/bin");
        ChildResult r = run_child(BOARDFLASH_PROGRAM, args, env, dir_.file("stderr"), false,
                                  std::chrono::seconds(limit_s));
        EXPECT_FALSE(r.timed_out);
        return r;
    }

    std::string firmware_file(const std::string& name, const Firmware& fw) {
        write_file(dir_.file(name), fw.hex);
        return dir_.file(name);
    }

    // The emulated flash holds the image, erased bytes after it.
    void expect_flashed(const Firmware& fw) {
        std::string flash = read_file(dir_.file("flash.bin"));
        ASSERT_EQ(flash.size(), kFlashBytes);
        EXPECT_TRUE(flash.compare(0, fw.bytes.size(), fw.bytes) == 0);
        EXPECT_EQ(flash.find_first_not_of('\xFF', fw.bytes.size()), std::string::npos);
    }

    static std::string lines(const std::vector<std::string>& texts) {
        std::string out;
        for (const std::string& t : texts) out += t + "\n";
        return out;
    }

    static std::string command(const std::string& port_word, const std::string& flash_word) {
        return "avrdude cmd :avrdude -pm32u4 -cavr109 -F -D -P" + port_word +
               " -Uflash:w:" + flash_word;
    }

    TempDir dir_;
    pid_t emulator_ = -1;
};

TEST_F(Upload, WritesAndVerifiesTheImageAfterTheTwelveHundredBaudReset) {
    const Firmware fw = make_firmware(3000);
    const std::string hex = firmware_file("fw.hex", fw);
    start_emulator("port");
    ChildResult r = run({dir_.file("port"), hex});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(stop_emulator(), 0);
    EXPECT_EQ(r.out, lines({kOpenLine, kResetLine, command(dir_.file("port"), hex)}));
    EXPECT_NE(r.err.find("3000 bytes of flash verified"), std::string::npos) << r.err;
    expect_flashed(fw);
    // Our reset, then avrdude's own speed.
    std::string speeds = read_file(dir_.file("speeds"));
    EXPECT_EQ(speeds.rfind("9600\n1200\n", 0), 0u) << speeds;
    EXPECT_GT(speeds.size(), std::string("9600\n1200\n").size()) << speeds;
}

TEST_F(Upload, FirmwarePathWithBlankAndShellCharactersIsOneArgument) {
    const Firmware fw = make_firmware(1000);
    const std::string planted = dir_.file("planted");
    const std::string name = "my fw; touch planted $(id).hex";
    const std::string hex = firmware_file(name, fw);
    start_emulator("port");
    ChildResult r = run({dir_.file("port"), hex});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(stop_emulator(), 0);
    EXPECT_NE(r.err.find("1000 bytes of flash verified"), std::string::npos) << r.err;
    expect_flashed(fw);
    EXPECT_FALSE(file_exists(planted));
}

// avrdude's own limit is close to a minute: this test is slow on purpose.
TEST_F(Upload, SilentBootloaderGivesTwoWithAvrdudesMessage) {
    const std::string hex = firmware_file("fw.hex", make_firmware(100));
    start_emulator("port", {"--silent"});
    ChildResult r = run({dir_.file("port"), hex}, 110);

    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("programmer is not responding"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, lines({kOpenLine, kResetLine, command(dir_.file("port"), hex)}));
}

TEST_F(Upload, TimeoutStopsAvrdudeOnASilentBootloader) {
    const std::string hex = firmware_file("fw.hex", make_firmware(100));
    start_emulator("port", {"--silent"});
    const auto start = steady_clock::now();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--timeout", "2", dir_.file("port"), hex},
          std::vector<std::string>{"--timeout=2", dir_.file("port"), hex}}) {
        ChildResult r = run(args);
        EXPECT_EQ(r.exit_status, 2) << args[0];
        EXPECT_EQ(r.out, lines({kOpenLine, kResetLine, command(dir_.file("port"), hex),
                                "The board did not answer within 2 seconds."}))
            << args[0];
    }
    // Two runs of 2 s wait + 2 s limit (+ at most 2 s grace each), far below avrdude's own limit.
    auto took = std::chrono::duration_cast<std::chrono::seconds>(steady_clock::now() - start);
    EXPECT_LT(took.count(), 20);
}

TEST_F(Upload, BootloaderThatComesBackUnderAnotherName) {
    struct Case {
        const char* what;
        int reappear_ms;  // after the reset; well past the wait when it never comes in time
        int exit_status;
    };
    const Case cases[] = {
        {"appears after the 2 s wait", 2600, 0},
        {"appears too late", 30000, 2},
    };
    const Firmware fw = make_firmware(500);
    const std::string hex = firmware_file("fw.hex", fw);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(dir_.file("ttyACM0").c_str());
        unlink(dir_.file("ttyACM1").c_str());
        start_emulator("ttyACM0", {"--move-to", dir_.file("ttyACM1"), "--move-after-ms",
                                   std::to_string(c.reappear_ms)});
        ChildResult r = run({dir_.file("ttyACM0"), hex});
        EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
        if (c.exit_status == 0) {
            EXPECT_EQ(stop_emulator(), 0);
            EXPECT_EQ(r.out,
                      lines({kOpenLine, kResetLine, "Bootloader port: " + dir_.file("ttyACM1"),
                             command(dir_.file("ttyACM1"), hex)}));
            expect_flashed(fw);
        } else {
            EXPECT_EQ(stop_emulator(), 3);
            EXPECT_EQ(r.out, lines({kOpenLine, kResetLine, command(dir_.file("ttyACM0"), hex)}));
        }
    }
}

}  // namespace
