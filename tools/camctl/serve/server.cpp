#include "server.h"

#include <errno.h>
#include <microhttpd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "api.h"
#include "assets.h"
#include "metrics.h"
#include "values.h"

namespace serve {

namespace {

constexpr size_t kMaxBody = 4096;
// Request line and headers share this per-connection pool; MHD answers
// 414/431 when they do not fit.
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr int kPollMs = 500;
const char kBoundary[] = "camctlframe";

// Set from a signal handler, read by every connection's thread: a lock-free
// atomic is safe in both places (a volatile is only the former).
std::atomic<int> g_stop_flag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

struct Server {
    ServerOptions o;
    Feed* const* feeds;
    std::atomic<unsigned> streams{0};
};

struct Request {
    std::string body;
    bool too_big = false;
};

struct Stream {
    Server* server;
    Feed* feed;
    Picture picture;
    std::string head;
    size_t part_size = 0;  // head + jpeg + CRLF
    size_t pos = 0;        // sent of the current part
};

void add_common_headers(const Server& s, MHD_Connection* c, MHD_Response* r) {
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    const char* origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
    if (!s.o.allow_origin.empty() && origin && s.o.allow_origin == origin) {
        MHD_add_response_header(r, "Access-Control-Allow-Origin", origin);
        MHD_add_response_header(r, "Vary", "Origin");
    }
}

MHD_Result send(const Server& s, MHD_Connection* c, const Reply& reply) {
    MHD_Response* r = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", reply.type);
    for (const auto& h : reply.headers) MHD_add_response_header(r, h.first, h.second);
    add_common_headers(s, c, r);
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(reply.status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result send_error(const Server& s, MHD_Connection* c, int status, const std::string& why) {
    return send(s, c, error_reply(status, why));
}

MHD_Result send_bytes(const Server& s, MHD_Connection* c, const void* data, size_t size,
                      const char* type, bool page) {
    MHD_Response* r =
        MHD_create_response_from_buffer(size, const_cast<void*>(data), MHD_RESPMEM_PERSISTENT);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    add_common_headers(s, c, r);
    if (page) {
        MHD_add_response_header(r, "Content-Security-Policy",
                                "default-src 'self'; img-src 'self' blob: data:; "
                                "frame-ancestors 'none'");
        MHD_add_response_header(r, "X-Frame-Options", "DENY");
    }
    MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ok;
}

// Every byte compared whatever the lengths, so the time says nothing of
// where a guess went wrong.
bool same_secret(const std::string& given, const std::string& wanted) {
    size_t n = std::max(given.size(), wanted.size());
    unsigned char diff = given.size() == wanted.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        unsigned char b = i < wanted.size() ? static_cast<unsigned char>(wanted[i]) : 0;
        diff |= static_cast<unsigned char>(a ^ b);
    }
    return diff == 0;
}

bool authorised(const Server& s, MHD_Connection* c) {
    if (s.o.auth.empty()) return true;
    char* pass = nullptr;
    char* user = MHD_basic_auth_get_username_password(c, &pass);
    std::string given;
    bool present = user && pass;
    if (present) given = std::string(user) + ":" + pass;
    if (user) MHD_free(user);
    if (pass) MHD_free(pass);
    return same_secret(given, s.o.auth) && present;
}

// Another web site's page must not drive the camera or read its pictures
// through the user's browser: requests that say they come from elsewhere
// are refused, whatever the method.
const char* foreign(const Server& s, MHD_Connection* c) {
    const char* origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
    const char* host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host");
    bool allowed = origin && !s.o.allow_origin.empty() && s.o.allow_origin == origin;
    if (origin && !allowed && !(host && std::string("http://") + host == origin))
        return "requests from another origin are refused";
    const char* site = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Sec-Fetch-Site");
    if (site && !strcmp(site, "cross-site") && !allowed) return "cross-site requests are refused";
    return nullptr;
}

bool is_json(MHD_Connection* c) {
    const char* type = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Type");
    if (!type) return false;
    const char kJson[] = "application/json";
    size_t n = sizeof kJson - 1;
    return !strncasecmp(type, kJson, n) && (type[n] == 0 || type[n] == ';' || type[n] == ' ');
}

ssize_t stream_part(void* cls, uint64_t, char* buf, size_t max) {
    Stream* st = static_cast<Stream*>(cls);
    if (st->pos == st->part_size) {
        uint64_t after = st->picture.number;
        Picture next;
        while (!next.jpeg) {
            if (stop_requested()) return MHD_CONTENT_READER_END_OF_STREAM;
            next = next_picture(st->feed, after, kPollMs);
            if (!next.jpeg && stop_requested()) return MHD_CONTENT_READER_END_OF_STREAM;
        }
        st->picture = next;
        char line[64];
        st->head =
            std::string("--") + kBoundary +
            "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(next.jpeg->size()) +
            "\r\nX-Frame-Sequence: " + std::to_string(next.number) + "\r\n";
        // The driver's time of the frame (CLOCK_MONOTONIC for uvcvideo), so
        // that a client can tell how old a picture is when it arrives.
        if (next.timestamp > 0 && next.timestamp < 1e12) {
            snprintf(line, sizeof line, "X-Frame-Timestamp: %.6f\r\n", next.timestamp);
            st->head += line;
        }
        st->head += "\r\n";
        st->part_size = st->head.size() + next.jpeg->size() + 2;
        st->pos = 0;
    }
    size_t done = 0;
    const std::vector<unsigned char>& jpeg = *st->picture.jpeg;
    while (done < max && st->pos < st->part_size) {
        size_t at = st->pos, n;
        if (at < st->head.size()) {
            n = std::min(max - done, st->head.size() - at);
            memcpy(buf + done, st->head.data() + at, n);
        } else if ((at -= st->head.size()) < jpeg.size()) {
            n = std::min(max - done, jpeg.size() - at);
            memcpy(buf + done, jpeg.data() + at, n);
        } else {
            at -= jpeg.size();
            n = std::min(max - done, 2 - at);
            memcpy(buf + done, "\r\n" + at, n);
        }
        done += n;
        st->pos += n;
    }
    st->feed->bytes_sent += done;
    return static_cast<ssize_t>(done);
}

void stream_done(void* cls) {
    Stream* st = static_cast<Stream*>(cls);
    --st->feed->clients;
    --st->server->streams;
    delete st;
}

Feed* feed_for(Server* s, MHD_Connection* c, MHD_Result* result) {
    int cam = 0;
    std::string why;
    if (!cam_index(MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "cam"), &cam, &why)) {
        *result = send_error(*s, c, 400, why);
        return nullptr;
    }
    if (!s->feeds[cam]) {
        *result = send_error(*s, c, 404, "no camera " + std::to_string(cam) + " is served");
        return nullptr;
    }
    return s->feeds[cam];
}

MHD_Result start_stream(Server* s, MHD_Connection* c) {
    MHD_Result result = MHD_NO;
    Feed* f = feed_for(s, c, &result);
    if (!f) return result;
    if (++s->streams > s->o.max_clients) {
        --s->streams;
        return send_error(
            *s, c, 503,
            "too many clients; at most " + std::to_string(s->o.max_clients) + " streams at once");
    }
    ++f->clients;
    Stream* st = new Stream{s, f, Picture{}, std::string(), 0, 0};
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, stream_part,
                                                        st, stream_done);
    if (!r) {
        stream_done(st);
        return MHD_NO;
    }
    MHD_add_response_header(
        r, "Content-Type",
        (std::string("multipart/x-mixed-replace; boundary=") + kBoundary).c_str());
    add_common_headers(*s, c, r);
    MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result snapshot(Server* s, MHD_Connection* c) {
    MHD_Result result = MHD_NO;
    Feed* f = feed_for(s, c, &result);
    if (!f) return result;
    Picture p = next_picture(f, 0, kSnapshotWaitMs);
    if (!p.jpeg) return send_error(*s, c, 503, "the server is stopping");
    f->bytes_sent += p.jpeg->size();
    return send(*s, c, snapshot_reply(p));
}

MHD_Result dispatch(Server* s, MHD_Connection* c, const char* url, const char* method,
                    const Request& req) {
    const bool get = !strcmp(method, "GET") || !strcmp(method, "HEAD");
    const bool post = !strcmp(method, "POST");
    if (!strcmp(url, "/api/dsp") || !strcmp(url, "/api/sensor") ||
        (!strcmp(url, "/api/controls") && post)) {
        if (!post) return send_error(*s, c, 405, "use POST");
        if (req.too_big) return send_error(*s, c, 413, "the body is too large");
        if (!is_json(c)) return send_error(*s, c, 415, "the body must be application/json");
        if (!strcmp(url, "/api/dsp")) return send(*s, c, post_dsp(s->feeds, req.body));
        if (!strcmp(url, "/api/sensor")) return send(*s, c, post_sensor(s->feeds, req.body));
        return send(*s, c, post_controls(s->feeds, req.body));
    }
    if (!get) return send_error(*s, c, 405, "use GET");
    if (!strcmp(url, "/stream")) return start_stream(s, c);
    if (!strcmp(url, "/snapshot")) return snapshot(s, c);
    if (!strcmp(url, "/api/state")) return send(*s, c, get_state(s->feeds));
    if (!strcmp(url, "/metrics")) return send(*s, c, get_metrics(s->feeds));
    if (!strcmp(url, "/api/devices")) return send(*s, c, get_devices());
    if (!strcmp(url, "/api/controls"))
        return send(
            *s, c,
            get_controls(s->feeds, MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "cam")));
    if (const Asset* a = find_asset(url))
        return send_bytes(*s, c, a->data, a->size, a->content_type,
                          !strcmp(a->content_type, "text/html; charset=utf-8"));
    return send_error(*s, c, 404, "no such page");
}

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char*, const char* upload, size_t* upload_size, void** state) {
    Server* s = static_cast<Server*>(cls);
    Request* req = static_cast<Request*>(*state);
    if (!req) {
        // Headers are in: refuse what needs no body to decide.
        *state = req = new Request;
        if (!authorised(*s, c)) {
            Reply r = error_reply(401, "authorisation required");
            MHD_Response* resp = MHD_create_response_from_buffer(
                r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
            MHD_add_response_header(resp, "Content-Type", r.type);
            MHD_Result ok = MHD_queue_basic_auth_fail_response(c, "camctl serve", resp);
            MHD_destroy_response(resp);
            return ok;
        }
        if (const char* why = foreign(*s, c)) return send_error(*s, c, 403, why);
        if (!strcmp(method, "OPTIONS")) {
            const char* origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
            if (!origin || s->o.allow_origin != origin)
                return send_error(*s, c, 405, "use GET or POST");
            MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            add_common_headers(*s, c, r);
            MHD_add_response_header(r, "Access-Control-Allow-Methods", "GET, POST");
            MHD_add_response_header(r, "Access-Control-Allow-Headers", "Content-Type");
            MHD_Result ok = MHD_queue_response(c, MHD_HTTP_NO_CONTENT, r);
            MHD_destroy_response(r);
            return ok;
        }
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
        if (length && strtoull(length, nullptr, 10) > kMaxBody)
            return send_error(*s, c, 413, "the body is too large");
        return MHD_YES;
    }
    if (*upload_size) {
        if (req->body.size() + *upload_size > kMaxBody)
            req->too_big = true;
        else
            req->body.append(upload, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    return dispatch(s, c, url, method, *req);
}

void on_completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
}

}  // namespace

void request_stop() {
    g_stop_flag = 1;
}
bool stop_requested() {
    return g_stop_flag != 0;
}
void clear_stop() {
    g_stop_flag = 0;
}

bool run_server(const ServerOptions& o, Feed* const feeds[2],
                const std::function<void(unsigned port)>& ready) {
    Server s;
    s.o = o;
    s.feeds = feeds;
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
    if (o.address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    // Streams beyond max_clients are answered 503; the API keeps some room.
    unsigned connections = o.max_clients + 16;
    MHD_Daemon* d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &s, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr*>(&o.address), MHD_OPTION_CONNECTION_LIMIT, connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, connections, MHD_OPTION_CONNECTION_TIMEOUT, o.timeout_s,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        on_completed, nullptr, MHD_OPTION_END);
    if (!d) {
        if (!errno) errno = EADDRINUSE;
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    ready(info ? info->port : 0);
    while (!stop_requested()) usleep(100 * 1000);
    // The feeds stop first so that streams waiting for a frame end at once.
    for (int cam = 0; cam < 2; ++cam)
        if (feeds[cam]) stop_feed(feeds[cam]);
    MHD_stop_daemon(d);
    return true;
}

}  // namespace serve
