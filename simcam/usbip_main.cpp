// simcam-usbip: the simulated camera as a USB device, attached to the
// kernel's vhci_hcd (or served on a connected socket).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "simcam.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void on_signal(int) {
    char c = 0;
    ssize_t r = write(g_stop_pipe[1], &c, 1);
    (void)r;
}

int usage() {
    fprintf(stderr, "usage: simcam-usbip [--camera FILE] [--control FIFO] [--vhci DIR] [--fd N]\n");
    return 2;
}

bool write_file(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    return close(fd) == 0 && ok;
}

// First free high-speed port of the controller (status lines: hub port sta ...).
int free_port(const std::string& dir) {
    FILE* f = fopen((dir + "/status").c_str(), "re");
    if (!f) return -1;
    char line[256], hub[8];
    int port = -1;
    unsigned p, sta;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "%7s %u %u", hub, &p, &sta) == 3 && !strcmp(hub, "hs") && sta == 4) {
            port = int(p);
            break;
        }
    fclose(f);
    return port;
}

// Hands one end of a new socket pair to vhci_hcd; returns ours, -1 on failure.
int attach(const std::string& dir, int* port) {
    *port = free_port(dir);
    if (*port < 0) {
        fprintf(stderr, "simcam-usbip: %s/status: no free high-speed port\n", dir.c_str());
        return -1;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    char line[64];
    // devid: bus 1, device 2; speed 3: high speed.
    snprintf(line, sizeof line, "%d %d %u %d", *port, sv[1], (1u << 16) | 2u, 3);
    bool ok = write_file(dir + "/attach", line);
    int err = errno;
    close(sv[1]);
    if (!ok) {
        fprintf(stderr, "simcam-usbip: %s/attach: %s\n", dir.c_str(), strerror(err));
        close(sv[0]);
        return -1;
    }
    printf("simcam-usbip: attached on port %d\n", *port);
    fflush(stdout);
    return sv[0];
}

// While unplugged: waits for "replug" on the control FIFO. False on stop.
bool wait_replug(int control, const std::string& node) {
    std::string pending;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(g_stop_pipe[0], &set);
        if (control >= 0) FD_SET(control, &set);
        int r = select((control > g_stop_pipe[0] ? control : g_stop_pipe[0]) + 1, &set, nullptr,
                       nullptr, nullptr);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || FD_ISSET(g_stop_pipe[0], &set)) return false;
        char buf[256];
        ssize_t n = read(control, buf, sizeof buf);
        if (n > 0) pending.append(buf, size_t(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line == "replug") {
                simcam::replug(node);
                return true;
            }
            fprintf(stderr, "simcam-usbip: unplugged, ignoring: %s\n", line.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string camera, fifo, vhci = "/sys/devices/platform/vhci_hcd.0";
    int fd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        if (a == "--camera")
            camera = argv[++i];
        else if (a == "--control")
            fifo = argv[++i];
        else if (a == "--vhci")
            vhci = argv[++i];
        else if (a == "--fd")
            fd = atoi(argv[++i]);
        else
            return usage();
    }
    if (!camera.empty()) {
        std::string error;
        if (!simcam::load_config(camera, &error)) {
            fprintf(stderr, "simcam-usbip: %s\n", error.c_str());
            return 1;
        }
    }
    std::vector<simcam::Camera> cams = simcam::cameras();
    if (cams.empty()) {
        fprintf(stderr, "simcam-usbip: no camera\n");
        return 1;
    }
    std::string node = cams[0].node;

    int control = -1;
    if (!fifo.empty()) {
        if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) {
            fprintf(stderr, "simcam-usbip: %s: %s\n", fifo.c_str(), strerror(errno));
            return 1;
        }
        // Read and write: the FIFO never reports end of file between writers.
        control = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (control < 0) {
            fprintf(stderr, "simcam-usbip: %s: %s\n", fifo.c_str(), strerror(errno));
            return 1;
        }
    }
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    if (fd >= 0) {
        int r = simcam::usbip_serve(fd, node, control, g_stop_pipe[0]);
        return r < 0 ? 1 : 0;
    }
    for (;;) {
        int port;
        int sock = attach(vhci, &port);
        if (sock < 0) return 1;
        int r = simcam::usbip_serve(sock, node, control, g_stop_pipe[0]);
        if (r == 2) write_file(vhci + "/detach", std::to_string(port));
        // Closing our end is the unplug: vhci_hcd detaches the port itself.
        close(sock);
        if (r != 1 || !wait_replug(control, node)) return r < 0 ? 1 : 0;
    }
}
