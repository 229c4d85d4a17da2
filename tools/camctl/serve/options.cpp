#include "options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "args.h"
#include "status.h"

namespace serve {

bool parse_listen(const char* text, sockaddr_storage* out) {
    std::string s = text;
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = s.substr(0, colon);
    unsigned port = 0;
    if (!parse_uint(s.c_str() + colon + 1, 0, 65535, &port)) return false;
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) != 1)
            return false;
    } else {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&a);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return false;
    }
    *out = a;
    return true;
}

bool is_loopback(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr) >> 24) == 127;
    return a.ss_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
}

namespace {

// "user:password": both parts there.
bool credentials(const std::string& v) {
    size_t colon = v.find(':');
    return colon != std::string::npos && colon > 0 && colon + 1 < v.size() &&
           v.find('\0') == std::string::npos;
}

// systemd hands a unit's credentials over in a directory of its own that
// only the service's user can read; it may open the file to that user by an
// ACL, which shows as group bits.
bool in_credentials_directory(const char* path) {
    const char* dir = getenv("CREDENTIALS_DIRECTORY");
    size_t n = dir ? strlen(dir) : 0;
    return n > 0 && !strncmp(path, dir, n) && path[n] == '/';
}

// The password file: one line "user:password", not open to other users.
// Says what to do and returns false otherwise.
bool read_auth_file(const char* prog, const char* path, std::string* auth) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "%s: cannot read %s: %s\n", prog, path, strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    // The mode of the file opened, not of whatever the name shows later.
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) && !in_credentials_directory(path)) {
        close(fd);
        fprintf(stderr, "%s: %s is open to other users (mode %04o); run chmod 600 %s\n", prog, path,
                static_cast<unsigned>(st.st_mode & 07777), path);
        return false;
    }
    char text[1024];
    ssize_t n = S_ISREG(st.st_mode) ? read(fd, text, sizeof text) : -1;
    close(fd);
    std::string line(text, n > 0 ? static_cast<size_t>(n) : 0);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (n == static_cast<ssize_t>(sizeof text) || line.find('\n') != std::string::npos ||
        !credentials(line)) {
        fprintf(stderr, "%s: %s must hold one line user:password\n", prog, path);
        return false;
    }
    *auth = line;
    return true;
}

bool apply(const char* opt, const char* v, ServeOptions* o) {
    if (!strcmp(opt, "-d")) {
        if (!*v || o->devices.size() == 2) return false;
        o->devices.push_back(v);
        return true;
    }
    if (!strcmp(opt, "-f")) return parse_fourcc(v, &o->fourcc);
    if (!strcmp(opt, "-s")) return parse_size(v, &o->width, &o->height);
    if (!strcmp(opt, "-r")) return parse_uint(v, 1, 1000, &o->fps);
    if (!strcmp(opt, "--quality")) return parse_uint(v, 1, 100, &o->quality);
    if (!strcmp(opt, "--max-clients")) return parse_uint(v, 1, 256, &o->server.max_clients);
    if (!strcmp(opt, "--listen")) {
        o->listen = v;
        return parse_listen(v, &o->server.address);
    }
    if (!strcmp(opt, "--auth")) {
        if (!credentials(v)) return false;
        o->server.auth = v;
        return true;
    }
    if (!strcmp(opt, "--record-dir")) {
        struct stat st;
        if (!*v || stat(v, &st) != 0 || !S_ISDIR(st.st_mode) || access(v, W_OK) != 0) return false;
        o->server.record_dir = v;
        while (o->server.record_dir.size() > 1 && o->server.record_dir.back() == '/')
            o->server.record_dir.pop_back();
        return true;
    }
    if (!strcmp(opt, "--allow-host")) {
        // A name as it comes in Host, without the port ([...] for IPv6).
        if (!*v || strpbrk(v, "/ \t") || (v[0] != '[' && strchr(v, ':'))) return false;
        o->server.allow_hosts.push_back(v);
        return true;
    }
    // The origin a browser sends: scheme://host[:port], nothing after.
    std::string origin = v;
    size_t scheme = origin.find("://");
    if (scheme == std::string::npos || scheme == 0 || origin.size() == scheme + 3 ||
        origin.find('/', scheme + 3) != std::string::npos)
        return false;
    o->server.allow_origin = origin;
    return true;
}

}  // namespace

int parse_serve_options(const char* prog, int argc, char** argv, void (*usage)(FILE*),
                        ServeOptions* o) {
    static const char* const kWithValue[] = {"-d",
                                             "-f",
                                             "-s",
                                             "-r",
                                             "--listen",
                                             "--quality",
                                             "--max-clients",
                                             "--auth",
                                             "--auth-file",
                                             "--allow-origin",
                                             "--allow-host",
                                             "--record-dir"};
    parse_listen(o->listen.c_str(), &o->server.address);
    for (int i = 0; i < argc; ++i) {
        const char* opt = argv[i];
        if (!strcmp(opt, "-h") || !strcmp(opt, "--help")) {
            usage(stdout);
            return kOk;
        }
        bool known = false;
        for (const char* k : kWithValue) known = known || !strcmp(opt, k);
        const char* problem = !known          ? "unknown option"
                              : i + 1 >= argc ? "missing value after"
                                              : nullptr;
        if (problem) {
            fprintf(stderr, "%s: %s '%s' (see %s --help)\n", prog, problem, opt, prog);
            return kUsage;
        }
        const char* v = argv[++i];
        if (!strcmp(opt, "--auth-file")) {
            if (!read_auth_file(prog, v, &o->server.auth)) return kUsage;
            continue;
        }
        if (!apply(opt, v, o)) {
            // The password stays out of the message.
            fprintf(stderr, "%s: bad value for %s: '%s' (see %s --help)\n", prog, opt,
                    strcmp(opt, "--auth") ? v : "...", prog);
            return kUsage;
        }
    }
    return -1;
}

}  // namespace serve
