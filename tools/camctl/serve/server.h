// The HTTP side of camctl serve: the page, the streams, the snapshots and
// the JSON API over the feeds, with the checks that keep other web sites
// and oversized requests out.
#ifndef CAMCTL_SERVE_SERVER_H
#define CAMCTL_SERVE_SERVER_H

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

#include "feed.h"

namespace serve {

struct ServerOptions {
    sockaddr_storage address{};            // where to listen (port 0: any free one)
    unsigned max_clients = 32;             // streams at once; more get 503
    std::string auth;                      // "user:password", empty for none
    std::string allow_origin;              // the one other origin allowed, empty for none
    std::vector<std::string> allow_hosts;  // Host names served besides the address's own
    unsigned timeout_s = 10;               // idle or stalled connections are closed
    std::string record_dir;                // where recordings go, empty: recording is off
};

// Serves the feeds (feeds[cam] null: not served) until stop_requested()
// turns true; calls ready(port) once listening. Returns false (errno set)
// when the address cannot be bound.
bool run_server(const ServerOptions& o, Feed* const feeds[2],
                const std::function<void(unsigned port)>& ready);

// Safe from a signal handler.
void request_stop();
bool stop_requested();
void clear_stop();

}  // namespace serve

#endif  // CAMCTL_SERVE_SERVER_H
