// A stand-in for the Leonardo's bootloader behind a pseudo-terminal: answers avrdude's avr109
// programmer from a 32 KiB flash image, and records the line speeds the port is set to.
//
//   leonardo_emulator --link PATH [--flash-out FILE] [--speeds-out FILE] [--silent]
//                     [--move-to PATH --move-after-ms MS]
//
// PATH becomes a symbolic link to the terminal; "ready" on standard output says it is there.
// With --move-to, the 1200-baud reset removes PATH and MS later the link appears as the new
// name, as a board does that comes back on another node. --silent never answers. The run ends
// at the protocol's exit command (after which the image is written) or at SIGTERM.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const size_t kFlashBytes = 32 * 1024;
const size_t kEepromBytes = 1024;
const unsigned kBlockBytes = 128;
const unsigned char kSignature[3] = {0x1E, 0x95, 0x87};
const unsigned char kDeviceCode = 0x44;

volatile sig_atomic_t g_stop = 0;
void on_term(int) {
    g_stop = 1;
}

struct Options {
    std::string link, flash_out, speeds_out, move_to;
    int move_after_ms = 0;
    bool silent = false;
};

class Emulator {
  public:
    Emulator(int master, int slave, const Options& o) : master_(master), slave_(slave), o_(o) {}

    // Runs until the exit command or SIGTERM; true after the exit command.
    bool run() {
        auto moved_at = std::chrono::steady_clock::time_point::max();
        while (!g_stop) {
            if (std::chrono::steady_clock::now() >= linger_until_) return true;
            watch_speed(&moved_at);
            if (std::chrono::steady_clock::now() >= moved_at) {
                if (symlink(ptsname(master_), o_.move_to.c_str()) != 0) perror(o_.move_to.c_str());
                moved_at = std::chrono::steady_clock::time_point::max();
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) continue;
            unsigned char buf[512];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            if (o_.silent) continue;
            in_.insert(in_.end(), buf, buf + n);
            while (handle()) {
            }
            if (exited_ && linger_until_ == std::chrono::steady_clock::time_point::max()) {
                // avrdude still talks to the port after the exit command; a terminal that
                // vanishes under it leaves it spinning on a dead line.
                linger_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            }
        }
        return exited_;
    }

    void save() const {
        if (!o_.flash_out.empty()) {
            std::ofstream(o_.flash_out, std::ios::binary)
                .write(reinterpret_cast<const char*>(flash_.data()), flash_.size());
        }
    }

  private:
    void watch_speed(std::chrono::steady_clock::time_point* moved_at) {
        termios attr{};
        if (tcgetattr(slave_, &attr) != 0) return;
        speed_t s = cfgetospeed(&attr);
        if (s == last_speed_) return;
        last_speed_ = s;
        if (!o_.speeds_out.empty()) {
            std::ofstream(o_.speeds_out, std::ios::app) << baud(s) << "\n";
        }
        if (s == B1200 && !o_.move_to.empty() && !moved_) {
            moved_ = true;
            unlink(o_.link.c_str());
            *moved_at =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(o_.move_after_ms);
        }
    }

    static long baud(speed_t s) {
        switch (s) {
            case B1200:
                return 1200;
            case B9600:
                return 9600;
            case B19200:
                return 19200;
            case B38400:
                return 38400;
            case B57600:
                return 57600;
            case B115200:
                return 115200;
            default:
                return -static_cast<long>(s);
        }
    }

    void reply(const std::vector<unsigned char>& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
            } else if (errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }
    void ok() { reply({'\r'}); }

    std::vector<unsigned char>& memory(unsigned char type) {
        return type == 'E' ? eeprom_ : flash_;
    }

    // Byte address of the current word address, for `type`'s memory.
    size_t byte_address(unsigned char type) const {
        return type == 'E' ? address_ : size_t{address_} * 2;
    }

    // Handles one complete command at the front of the input; false when more input is needed.
    bool handle() {
        if (in_.empty()) return false;
        const unsigned char cmd = in_[0];
        size_t need = 1;
        switch (cmd) {
            case 'A':
                need = 3;
                break;
            case 'T':
                need = 2;
                break;
            case 'g':
                need = 4;
                break;
            case 'B':
                if (in_.size() < 4) return false;
                need = 4 + ((size_t{in_[1]} << 8) | in_[2]);
                break;
            case 'c':
            case 'C':
            case 'D':
                need = 2;
                break;
            case 'l':
            case 'x':
            case 'y':
                need = 2;
                break;
            default:
                break;
        }
        if (in_.size() < need) return false;
        std::vector<unsigned char> c(in_.begin(), in_.begin() + static_cast<long>(need));
        in_.erase(in_.begin(), in_.begin() + static_cast<long>(need));

        switch (cmd) {
            case 'S':
                reply({'L', 'E', 'O', 'E', 'M', 'U', '1'});
                break;
            case 'V':
                reply({'1', '0'});
                break;
            case 'v':
                reply({'?'});
                break;
            case 'p':
                reply({'S'});
                break;
            case 'a':
                reply({'Y'});
                break;
            case 'b':
                reply({'Y', 0, kBlockBytes});
                break;
            case 't':
                reply({kDeviceCode, 0});
                break;
            case 'T':
            case 'P':
            case 'L':
            case 'x':
            case 'y':
            case 'l':
                ok();
                break;
            case 's':
                reply({kSignature[2], kSignature[1], kSignature[0]});
                break;
            case 'e':
                std::fill(flash_.begin(), flash_.end(), 0xFF);
                ok();
                break;
            case 'A':
                address_ = static_cast<unsigned>((c[1] << 8) | c[2]);
                ok();
                break;
            case 'B': {
                std::vector<unsigned char>& mem = memory(c[3]);
                size_t at = byte_address(c[3]);
                size_t size = c.size() - 4;
                for (size_t i = 0; i < size && at + i < mem.size(); ++i) mem[at + i] = c[4 + i];
                address_ += static_cast<unsigned>(c[3] == 'E' ? size : size / 2);
                ok();
                break;
            }
            case 'g': {
                const std::vector<unsigned char>& mem = memory(c[3]);
                size_t at = byte_address(c[3]);
                size_t size = (size_t{c[1]} << 8) | c[2];
                std::vector<unsigned char> out(size, 0xFF);
                for (size_t i = 0; i < size && at + i < mem.size(); ++i) out[i] = mem[at + i];
                address_ += static_cast<unsigned>(c[3] == 'E' ? size : size / 2);
                reply(out);
                break;
            }
            case 'R': {
                size_t at = size_t{address_} * 2;
                unsigned char lo = at < flash_.size() ? flash_[at] : 0xFF;
                unsigned char hi = at + 1 < flash_.size() ? flash_[at + 1] : 0xFF;
                ++address_;
                reply({hi, lo});
                break;
            }
            case 'F':
            case 'N':
            case 'Q':
            case 'r':
                reply({0xFF});
                break;
            case 'E':
                ok();
                exited_ = true;
                break;
            case 0x1B:
                break;  // avrdude's resync byte: no answer
            default:
                reply({'?'});
                break;
        }
        return true;
    }

    int master_, slave_;
    Options o_;
    std::vector<unsigned char> in_;
    std::vector<unsigned char> flash_ = std::vector<unsigned char>(kFlashBytes, 0xFF);
    std::vector<unsigned char> eeprom_ = std::vector<unsigned char>(kEepromBytes, 0xFF);
    unsigned address_ = 0;
    speed_t last_speed_ = static_cast<speed_t>(-1);
    bool moved_ = false;
    bool exited_ = false;
    std::chrono::steady_clock::time_point linger_until_ =
        std::chrono::steady_clock::time_point::max();
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--link")
            o.link = value();
        else if (a == "--flash-out")
            o.flash_out = value();
        else if (a == "--speeds-out")
            o.speeds_out = value();
        else if (a == "--move-to")
            o.move_to = value();
        else if (a == "--move-after-ms")
            o.move_after_ms = std::stoi(value());
        else if (a == "--silent")
            o.silent = true;
        else {
            fprintf(stderr, "leonardo_emulator: unknown argument %s\n", a.c_str());
            return 64;
        }
    }
    if (o.link.empty()) {
        fprintf(stderr, "leonardo_emulator: --link is required\n");
        return 64;
    }
    signal(SIGTERM, on_term);
    signal(SIGPIPE, SIG_IGN);

    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        perror("openpty");
        return 1;
    }
    // Our own open of the slave keeps the terminal alive between the programs that use it,
    // and lets us read back the speeds they set.
    termios attr{};
    tcgetattr(slave, &attr);
    cfmakeraw(&attr);
    cfsetispeed(&attr, B9600);
    cfsetospeed(&attr, B9600);
    tcsetattr(slave, TCSANOW, &attr);
    fcntl(master, F_SETFL, O_NONBLOCK);
    if (symlink(ptsname(master), o.link.c_str()) != 0) {
        perror(o.link.c_str());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    Emulator emulator(master, slave, o);
    bool exited = emulator.run();
    emulator.save();
    return exited ? 0 : 3;
}
