// Faults from outside the process: every process of a session that opens a
// simulated camera follows the file $SIMCAM_CONTROL and applies each line
// appended to it, so that a shell or a test can unplug the camera under any
// program (simcam-run --control FILE).
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "internal.h"

namespace simcam {
namespace detail {
namespace {

constexpr long kPollNs = 50 * 1000 * 1000;

struct Follower {
    std::string path;
    off_t offset = 0;
    std::string pending;
};

// "[NODE] COMMAND [N]": without a node, for every camera.
void apply_line(const std::string& path, const std::string& line) {
    std::istringstream in(line);
    std::string first;
    if (!(in >> first) || first[0] == '#') return;
    std::vector<std::string> nodes;
    std::string command = line;
    if (first[0] == '/') {
        nodes.push_back(first);
        std::getline(in, command);
    } else {
        for (const Camera& c : cameras()) nodes.push_back(c.node);
    }
    for (const std::string& node : nodes)
        if (camera_command(node, command, Face::V4l2) < 0)
            fprintf(stderr, "simcam: %s: cannot apply '%s' to %s\n", path.c_str(), line.c_str(),
                    node.c_str());
}

// Applies the whole lines written since the last look.
void catch_up(Follower& f) {
    std::string fresh;
    {
        Busy busy;  // our own reads go straight to libc
        int fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        char buf[512];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof buf, f.offset)) > 0) {
            fresh.append(buf, size_t(n));
            f.offset += n;
        }
        close(fd);
    }
    f.pending += fresh;
    size_t eol;
    while ((eol = f.pending.find('\n')) != std::string::npos) {
        std::string line = f.pending.substr(0, eol);
        f.pending.erase(0, eol + 1);
        apply_line(f.path, line);
    }
}

}  // namespace

void watch_control_file() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* path = getenv("SIMCAM_CONTROL");
        if (!path || !*path) return;
        // Never freed: the follower runs until the process ends.
        Follower* f = new Follower{path, 0, ""};
        catch_up(*f);
        std::thread([f] {
            for (;;) {
                timespec pause = {0, kPollNs};
                nanosleep(&pause, nullptr);
                catch_up(*f);
            }
        }).detach();
    });
}

}  // namespace detail
}  // namespace simcam
