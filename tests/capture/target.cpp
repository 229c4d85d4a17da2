#include "target.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ioctl_hook.h"

namespace target {

bool on_driver() {
    static const bool driver = [] {
        const char* v = getenv("CAMKIT_TEST_ON_DRIVER");
        return v && strcmp(v, "1") == 0;
    }();
    return driver;
}

void use(const simcam::Camera& cam) {
    if (on_driver()) {
        simcam::remove_all_cameras();  // opens of /dev/video0 reach the kernel
        ioctl_hook::record(true);
    } else {
        simcam::reset();
        EXPECT_TRUE(simcam::add_camera(cam));
    }
    clear_requests();
}

std::vector<simcam::Request> requests() {
    return on_driver() ? ioctl_hook::recorded() : simcam::request_log();
}

void clear_requests() {
    if (on_driver())
        ioctl_hook::clear_recorded();
    else
        simcam::clear_log();
}

size_t live_mappings() {
    if (!on_driver()) return simcam::live_mappings();
    // Each buffer mapping is a mapping of its own (the driver's mappings are
    // never merged).
    FILE* f = fopen("/proc/self/maps", "re");
    if (!f) return 0;
    size_t n = 0;
    char line[512];
    while (fgets(line, sizeof line, f)) n += strstr(line, " /dev/video") != nullptr;
    fclose(f);
    return n;
}

size_t open_descriptors() {
    if (!on_driver()) return simcam::open_descriptors();
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        char path[256];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t len = readlink(link.c_str(), path, sizeof path - 1);
        if (len <= 0) continue;
        path[len] = 0;
        n += strncmp(path, "/dev/video", 10) == 0;
    }
    closedir(d);
    return n;
}

bool wait_frame(int fd) {
    if (!on_driver()) return true;
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1 && (p.revents & POLLIN);
}

bool stall_registers(bool on) {
    const char* fifo = getenv("SIMCAM_USBIP_CONTROL");
    if (!fifo || !*fifo) return false;
    int fd = open(fifo, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string line = on ? "stall-xu\n" : "unstall-xu\n";
    bool ok = write(fd, line.data(), line.size()) == ssize_t(line.size());
    close(fd);
    return ok;
}

}  // namespace target
