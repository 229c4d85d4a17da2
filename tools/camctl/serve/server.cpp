#include "server.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "api.h"
#include "assets.h"
#include "frame_source.h"
#include "metrics.h"
#include "options.h"
#include "recording.h"
#include "values.h"

namespace serve {

namespace {

constexpr size_t kMaxBody = 4096;
// Request line and headers share this per-connection pool; MHD answers
// 414/431 when they do not fit.
constexpr size_t kConnectionMemory = 32 * 1024;
// A request (line, headers, body) must be in within this time of its
// connection opening or of the previous answer on it, however slowly it
// trickles: MHD only times out connections that make no progress at all.
constexpr double kRequestDeadline = 5.0;
constexpr int kSweepMs = 100;
// How long a pump waits for a frame before it looks at deadlines again.
constexpr int kPumpMs = 250;
constexpr double kNoSignalRepeat = 1.0;
// Descriptors kept for the cameras, the files and the listening sockets.
constexpr rlim_t kReservedFds = 64;
constexpr unsigned kMaxConnections = 16384;
const char kBoundary[] = "camctlframe";

// Set from a signal handler, read by the server's threads: a lock-free
// atomic is safe in both places (a volatile is only the former).
std::atomic<int> g_stop_flag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

// A connection parked until its feed has a picture for it: a stream between
// two frames, or a snapshot waiting for a fresh one. MHD's threads never
// block; the feed's pump resumes what it parked.
struct Waiter {
    MHD_Connection* c = nullptr;
    Feed* feed = nullptr;
    uint64_t after = 0;      // wants a picture numbered above this
    double deadline = 0;     // resumed then even without one (0: never)
    bool suspended = false;  // guarded by Server::m; resumed only while true
};

// One socket, from accept to close.
struct Conn {
    MHD_socket fd;
    double since;       // accepted, or the previous request on it answered
    bool busy = false;  // a whole request is in and being answered
    bool cut = false;   // shut down for missing the deadline
};

struct Server;
struct Request;
using Handler = MHD_Result (*)(Server*, MHD_Connection*, Request*);

struct Route {
    const char* path;
    bool post;
    Handler run;
    bool prefix = false;  // the path is the start of the URL, the rest a name
};

struct Request {
    const Route* route = nullptr;
    std::string url;  // a download's, with the name
    const Asset* asset = nullptr;
    std::string body;
    bool whole = false;  // the body is in
    Waiter wait;         // a snapshot's
};

struct Server {
    ServerOptions o;
    Feed* const* feeds;
    std::vector<std::string> hosts;  // Host names served: lower case, no port
    bool any_address = false;        // wildcard listen: any address literal too
    std::atomic<unsigned> streams{0};

    std::mutex m;  // guards what follows
    std::condition_variable wake;
    std::vector<Waiter*> parked;
    std::unordered_set<Conn*> conns;
    bool closing = false;
};

struct Stream {
    Server* server;
    Feed* feed;
    Picture picture;
    std::string head;
    size_t part_size = 0;  // head + jpeg + CRLF
    size_t pos = 0;        // sent of the current part
    double sent_at;        // the last picture, or the start
    Waiter wait;
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

MHD_Result send(const Server& s, MHD_Connection* c, const Reply& reply, bool close = false) {
    MHD_Response* r = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", reply.type);
    for (const auto& h : reply.headers) MHD_add_response_header(r, h.first, h.second);
    add_common_headers(s, c, r);
    if (close) MHD_add_response_header(r, "Connection", "close");
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(reply.status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result send_error(const Server& s, MHD_Connection* c, int status, const std::string& why,
                      bool close = false) {
    return send(s, c, error_reply(status, why), close);
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

// A Host value's name: lower case, without the port and a final dot; empty
// when it is not a name with an optional numeric port.
std::string host_name(const std::string& h) {
    size_t end = h.empty() || h[0] != '[' ? h.find(':') : h.find(']');
    if (end == std::string::npos) end = h.size();
    if (h[0] == '[' && end++ == h.size()) return "";
    if (end < h.size() && (h[end] != ':' || h.size() - end > 6 ||
                           h.find_first_not_of("0123456789", end + 1) != std::string::npos))
        return "";
    std::string name = h.substr(0, end);
    for (char& ch : name) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    return name;
}

bool is_address(const std::string& name) {
    unsigned char a[sizeof(in6_addr)];
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), a) == 1;
    return inet_pton(AF_INET, name.c_str(), a) == 1;
}

// DNS rebinding: another site's page whose name now resolves to this
// address reaches us with its own name in Host. Only names the user can
// have meant are served. A literal address cannot be rebound.
bool host_allowed(const Server& s, const char* host) {
    std::string name = host_name(host);
    if (name.empty()) return false;
    if (std::find(s.hosts.begin(), s.hosts.end(), name) != s.hosts.end()) return true;
    return s.any_address && is_address(name);
}

void allowed_hosts(Server* s) {
    const sockaddr_storage& a = s->o.address;
    char text[INET6_ADDRSTRLEN] = "";
    bool wildcard;
    if (a.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
        inet_ntop(AF_INET6, &v6, text, sizeof text);
        s->hosts.push_back(std::string("[") + text + "]");
        wildcard = IN6_IS_ADDR_UNSPECIFIED(&v6);
    } else {
        const in_addr& v4 = reinterpret_cast<const sockaddr_in&>(a).sin_addr;
        inet_ntop(AF_INET, &v4, text, sizeof text);
        s->hosts.push_back(text);
        wildcard = v4.s_addr == htonl(INADDR_ANY);
    }
    if (wildcard || is_loopback(a)) {
        for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) s->hosts.push_back(name);
    }
    for (const std::string& name : s->o.allow_hosts) s->hosts.push_back(host_name(name));
    s->any_address = wildcard;
}

struct Framing {
    int hosts = 0, lengths = 0, codings = 0;
    bool blank = false;    // a name with a blank before its colon
    bool unknown = false;  // a transfer coding other than chunked
};

MHD_Result count_framing(void* cls, MHD_ValueKind, const char* name, const char* value) {
    Framing* f = static_cast<Framing*>(cls);
    f->blank = f->blank || strpbrk(name, " \t");
    f->hosts += !strcasecmp(name, "Host");
    f->lengths += !strcasecmp(name, "Content-Length");
    if (!strcasecmp(name, "Transfer-Encoding")) {
        ++f->codings;
        f->unknown = f->unknown || strcasecmp(value, "chunked");
    }
    return MHD_YES;
}

// Where the body ends must be beyond doubt: a proxy in front that reads it
// otherwise would take the rest for another request. MHD takes all of these.
// Answered with the connection closed, as nothing after them can be trusted.
MHD_Result check_framing(const Server& s, MHD_Connection* c, const char* version, bool* bad) {
    Framing f;
    MHD_get_connection_values(c, MHD_HEADER_KIND, count_framing, &f);
    const char* why =
        f.blank                  ? "a header name ends in a blank"
        : f.codings > 1          ? "Transfer-Encoding is given twice"
        : f.codings && f.lengths ? "both Content-Length and Transfer-Encoding are given"
        : f.lengths > 1          ? "Content-Length is given twice"
        : f.hosts > 1            ? "Host is given twice"
        : !f.hosts && strcmp(version, MHD_HTTP_VERSION_1_0) ? "HTTP/1.1 requests need a Host header"
                                                            : nullptr;
    *bad = true;
    if (why) return send_error(s, c, 400, why, true);
    if (f.unknown) return send_error(s, c, 501, "only the chunked transfer coding is known", true);
    *bad = false;
    return MHD_YES;
}

Conn* conn_of(MHD_Connection* c) {
    const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return i ? static_cast<Conn*>(i->socket_context) : nullptr;
}

void set_busy(Server* s, MHD_Connection* c, bool busy) {
    Conn* k = conn_of(c);
    if (!k) return;
    std::lock_guard<std::mutex> lock(s->m);
    k->busy = busy;
    k->since = now_seconds();
}

void on_connection(void* cls, MHD_Connection* c, void** context,
                   MHD_ConnectionNotificationCode code) {
    Server* s = static_cast<Server*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        Conn* k = new Conn{i ? i->connect_fd : MHD_INVALID_SOCKET, now_seconds()};
        std::lock_guard<std::mutex> lock(s->m);
        s->conns.insert(k);
        *context = k;
        return;
    }
    Conn* k = static_cast<Conn*>(*context);
    if (!k) return;
    {
        std::lock_guard<std::mutex> lock(s->m);
        s->conns.erase(k);
    }
    delete k;
    *context = nullptr;
}

// Shuts down the sockets whose request is late; MHD sees the end and closes
// them (the descriptor is still MHD's until it says the connection closed).
void sweep(Server* s) {
    const double now = now_seconds();
    std::lock_guard<std::mutex> lock(s->m);
    for (Conn* k : s->conns) {
        if (k->busy || k->cut || now - k->since < kRequestDeadline) continue;
        shutdown(k->fd, SHUT_RDWR);
        k->cut = true;
    }
}

// Parks the connection (from MHD's thread, in the handler or the reader);
// false when the server is closing.
bool park(Server* s, Waiter* w) {
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (s->closing) return false;
        w->suspended = true;
        s->parked.push_back(w);
        MHD_suspend_connection(w->c);
    }
    s->wake.notify_all();
    return true;
}

// Under Server::m.
void resume(Server* s, size_t i) {
    Waiter* w = s->parked[i];
    s->parked[i] = s->parked.back();
    s->parked.pop_back();
    w->suspended = false;
    MHD_resume_connection(w->c);
}

void forget(Server* s, Waiter* w) {
    std::lock_guard<std::mutex> lock(s->m);
    auto it = std::find(s->parked.begin(), s->parked.end(), w);
    if (it != s->parked.end()) s->parked.erase(it);
}

// One per camera: waits for the feed's next picture while anyone is parked
// on it, and resumes those it is for, and those whose deadline passed.
void pump(Server* s, Feed* f) {
    std::unique_lock<std::mutex> lock(s->m);
    for (;;) {
        uint64_t after = UINT64_MAX;
        auto mine = [&] {
            after = UINT64_MAX;
            for (Waiter* w : s->parked)
                if (w->feed == f) after = std::min(after, w->after);
            return s->closing || after != UINT64_MAX;
        };
        s->wake.wait_for(lock, std::chrono::milliseconds(kPumpMs), mine);
        if (s->closing) return;
        if (after == UINT64_MAX) continue;
        lock.unlock();
        Picture p = next_picture(f, after, kPumpMs);
        const double now = now_seconds();
        lock.lock();
        for (size_t i = s->parked.size(); i-- > 0;) {
            Waiter* w = s->parked[i];
            if (w->feed == f &&
                ((p.jpeg && p.number > w->after) || (w->deadline > 0 && now >= w->deadline)))
                resume(s, i);
        }
    }
}

ssize_t stream_part(void* cls, uint64_t, char* buf, size_t max) {
    Stream* st = static_cast<Stream*>(cls);
    if (st->pos == st->part_size) {
        Picture next = next_picture(st->feed, st->picture.number, 0);
        // Without a signal the no-signal picture comes once the stream has
        // had nothing for a second, and again every second.
        const double now = now_seconds();
        if (next.jpeg && !next.signal && now - st->sent_at < kNoSignalRepeat) next = Picture{};
        if (!next.jpeg) {
            st->wait.after = st->picture.number;
            return park(st->server, &st->wait) ? 0 : MHD_CONTENT_READER_END_OF_STREAM;
        }
        st->picture = next;
        st->sent_at = now;
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
    forget(st->server, &st->wait);
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

MHD_Result start_stream(Server* s, MHD_Connection* c, Request*) {
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
    Stream* st = new Stream{s, f, Picture{}, std::string(), 0, 0, now_seconds(), Waiter{}};
    st->wait.c = c;
    st->wait.feed = f;
    // A reader that parks must not share its response with other clients.
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

// A picture not older than the frame captured last when asked: waits
// (parked) for the next one when that one was not encoded, up to kSnapshotWaitMs (a resting camera
// needs its start-up); without a signal, the no-signal picture with 503.
MHD_Result snapshot(Server* s, MHD_Connection* c, Request* req) {
    Waiter& w = req->wait;
    if (!w.feed) {
        MHD_Result result = MHD_NO;
        if (!(w.feed = feed_for(s, c, &result))) return result;
        w.c = c;
        w.deadline = now_seconds() + kSnapshotWaitMs / 1000.0;
        const uint64_t fresh = feed_status(w.feed).frames;
        w.after = fresh ? fresh - 1 : 0;
    }
    Picture p = next_picture(w.feed, w.after, 0);
    // A camera without signal is not waited for as long as one starting up.
    const double now = now_seconds();
    const bool late = now >= w.deadline ||
                      (p.jpeg && !p.signal && now >= w.deadline - kSnapshotWaitMs / 1000.0 + 1.0);
    if (!p.jpeg || (!p.signal && !late)) {
        if (!late && park(s, &w)) return MHD_YES;
        if (!p.jpeg) return send_error(*s, c, 503, "no picture from the camera in time");
    }
    w.feed->bytes_sent += p.jpeg->size();
    return send(*s, c, snapshot_reply(p));
}

MHD_Result state(Server* s, MHD_Connection* c, Request*) {
    return send(*s, c, get_state(s->feeds));
}
MHD_Result metrics(Server* s, MHD_Connection* c, Request*) {
    return send(*s, c, get_metrics(s->feeds));
}
MHD_Result devices(Server* s, MHD_Connection* c, Request*) {
    return send(*s, c, get_devices());
}
MHD_Result controls(Server* s, MHD_Connection* c, Request*) {
    return send(
        *s, c,
        get_controls(s->feeds, MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "cam")));
}
MHD_Result set_control(Server* s, MHD_Connection* c, Request* req) {
    return send(*s, c, post_controls(s->feeds, req->body));
}
MHD_Result dsp(Server* s, MHD_Connection* c, Request* req) {
    return send(*s, c, post_dsp(s->feeds, req->body));
}
MHD_Result sensor(Server* s, MHD_Connection* c, Request* req) {
    return send(*s, c, post_sensor(s->feeds, req->body));
}
MHD_Result record(Server* s, MHD_Connection* c, Request* req) {
    return send(*s, c, post_record(s->feeds, s->o.record_dir, req->body));
}
MHD_Result recordings(Server* s, MHD_Connection* c, Request*) {
    return send(*s, c, get_recordings(s->feeds, s->o.record_dir));
}
// The file is sent from its descriptor as the socket takes it, never read
// whole into memory.
MHD_Result download(Server* s, MHD_Connection* c, const char* url) {
    Reply refusal;
    uint64_t size = 0;
    const char* type = nullptr;
    const int fd = open_recording(s->feeds, s->o.record_dir, url + strlen("/recordings/"), &size,
                                  &type, &refusal);
    if (fd < 0) return send(*s, c, refusal);
    // The 64-bit size: a recording may pass 4 GiB on a 32-bit board.
    MHD_Response* r = MHD_create_response_from_fd64(size, fd);  // closes fd
    if (!r) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Content-Disposition", "attachment");
    add_common_headers(*s, c, r);
    MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ok;
}
MHD_Result asset(Server* s, MHD_Connection* c, Request* req) {
    const Asset* a = req->asset;
    return send_bytes(*s, c, a->data, a->size, a->content_type,
                      !strcmp(a->content_type, "text/html; charset=utf-8"));
}

const Route kRoutes[] = {
    {"/stream", false, start_stream},       {"/snapshot", false, snapshot},
    {"/api/state", false, state},           {"/metrics", false, metrics},
    {"/api/devices", false, devices},       {"/api/controls", false, controls},
    {"/api/controls", true, set_control},   {"/api/dsp", true, dsp},
    {"/api/sensor", true, sensor},          {"/api/record", true, record},
    {"/api/recordings", false, recordings}, {"/recordings/", false, nullptr, true},
};
const Route kAssetRoute = {"", false, asset};

bool is_json(MHD_Connection* c) {
    const char* type = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Type");
    if (!type) return false;
    const char kJson[] = "application/json";
    size_t n = sizeof kJson - 1;
    return !strncasecmp(type, kJson, n) && (type[n] == 0 || type[n] == ';' || type[n] == ' ');
}

// The route, or the answer when there is none.
MHD_Result route(Server* s, MHD_Connection* c, const char* url, const char* method, Request* req) {
    const bool post = !strcmp(method, "POST");
    const bool get = !strcmp(method, "GET") || !strcmp(method, "HEAD");
    const Route* other = nullptr;  // the path's route for another method
    for (const Route& r : kRoutes) {
        if (r.prefix ? strncmp(r.path, url, strlen(r.path)) : strcmp(r.path, url)) continue;
        if ((r.post && post) || (!r.post && get))
            req->route = &r;
        else
            other = &r;
    }
    if (!req->route && other) return send_error(*s, c, 405, other->post ? "use POST" : "use GET");
    if (!req->route && !get) return send_error(*s, c, 405, "use GET");
    if (!req->route && !(req->asset = find_asset(url)))
        return send_error(*s, c, 404, "no such page");
    if (!req->route) req->route = &kAssetRoute;
    if (req->route->prefix) req->url = url;
    if (!req->route->post) return MHD_YES;
    const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
    if (length && strtoull(length, nullptr, 10) > kMaxBody)
        return send_error(*s, c, 413, "the body is too large", true);
    if (!is_json(c)) return send_error(*s, c, 415, "the body must be application/json");
    return MHD_YES;
}

// The checks every request passes once its headers are in, before any
// route runs.
MHD_Result admit(Server* s, MHD_Connection* c, const char* url, const char* method,
                 const char* version, Request* req) {
    bool bad = false;
    MHD_Result framing = check_framing(*s, c, version, &bad);
    if (bad) return framing;
    // HTTP/1.0 clients may leave Host out; browsers, the rebinding attack's
    // vehicle, never do.
    const char* host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host");
    if (host && !host_allowed(*s, host))
        return send_error(*s, c, 403, "this server is not reached by that name (see --allow-host)");
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
    return route(s, c, url, method, req);
}

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char* version, const char* upload, size_t* upload_size, void** state) {
    Server* s = static_cast<Server*>(cls);
    Request* req = static_cast<Request*>(*state);
    if (!req) {
        *state = req = new Request;
        return admit(s, c, url, method, version, req);
    }
    if (*upload_size) {
        // A chunked body announces no size: past the limit the connection
        // ends at once (MHD cannot answer in the middle of a body).
        if (req->body.size() + *upload_size > kMaxBody) return MHD_NO;
        req->body.append(upload, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    if (!req->whole) {
        req->whole = true;
        set_busy(s, c, true);
    }
    if (req->route->prefix) return download(s, c, req->url.c_str());
    return req->route->run(s, c, req);
}

void on_completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode) {
    Server* s = static_cast<Server*>(cls);
    Request* req = static_cast<Request*>(*state);
    if (!req) return;
    forget(s, &req->wait);
    delete req;
    *state = nullptr;
    set_busy(s, c, false);
}

// Idle sockets cost little in this mode: as many as the descriptors allow,
// within an eighth of the memory (a pool and as much again for the
// kernel's buffers each).
unsigned connection_limit() {
    rlimit r;
    rlim_t fds = getrlimit(RLIMIT_NOFILE, &r) == 0 ? r.rlim_cur : 1024;
    fds = fds > 2 * kReservedFds ? fds - kReservedFds : fds / 2;
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    uint64_t memory = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * page : 256u << 20;
    uint64_t by_memory = memory / 8 / (2 * kConnectionMemory);
    return static_cast<unsigned>(
        std::min<uint64_t>({by_memory, static_cast<uint64_t>(fds), kMaxConnections}));
}

unsigned pool_threads() {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<unsigned>(std::min(4L, std::max(2L, cpus)));
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
    allowed_hosts(&s);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (o.address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    const unsigned connections = connection_limit();
    MHD_Daemon* d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &s, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr*>(&o.address), MHD_OPTION_THREAD_POOL_SIZE, pool_threads(),
        MHD_OPTION_CONNECTION_LIMIT, connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        connections / 2, MHD_OPTION_CONNECTION_TIMEOUT, o.timeout_s,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        on_completed, &s, MHD_OPTION_NOTIFY_CONNECTION, on_connection, &s, MHD_OPTION_END);
    if (!d) {
        if (!errno) errno = EADDRINUSE;
        return false;
    }
    std::vector<std::thread> pumps;
    for (int cam = 0; cam < 2; ++cam)
        if (feeds[cam]) pumps.emplace_back(pump, &s, feeds[cam]);
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    ready(info ? info->port : 0);
    while (!stop_requested()) {
        usleep(kSweepMs * 1000);
        sweep(&s);
    }
    // MHD must not stop with a connection suspended: none parks from here
    // on, and those parked end their streams or answer 503.
    {
        std::lock_guard<std::mutex> lock(s.m);
        s.closing = true;
        while (!s.parked.empty()) resume(&s, s.parked.size() - 1);
    }
    s.wake.notify_all();
    for (std::thread& t : pumps) t.join();
    for (int cam = 0; cam < 2; ++cam)
        if (feeds[cam]) stop_feed(feeds[cam]);
    MHD_stop_daemon(d);
    return true;
}

}  // namespace serve
