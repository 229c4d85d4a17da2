// The command line of camctl serve.
#ifndef CAMCTL_SERVE_OPTIONS_H
#define CAMCTL_SERVE_OPTIONS_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "server.h"

namespace serve {

struct ServeOptions {
    std::vector<const char*> devices;  // one or two; none: the catalogue chooses
    uint32_t fourcc = 0;
    unsigned width = 0, height = 0, fps = 0;
    unsigned quality = 80;
    std::string listen = "127.0.0.1:8080";
    ServerOptions server;
};

// "ADDR:PORT" or "[ADDR6]:PORT", numeric addresses only; false if malformed.
bool parse_listen(const char* text, sockaddr_storage* out);
bool is_loopback(const sockaddr_storage& a);

// Returns -1 to go on, or the exit status (0 after --help, 1 on a usage
// error with one line on stderr).
int parse_serve_options(const char* prog, int argc, char** argv, void (*usage)(FILE*),
                        ServeOptions* o);

}  // namespace serve

#endif  // CAMCTL_SERVE_OPTIONS_H
