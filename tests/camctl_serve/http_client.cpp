#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

int connect_to(unsigned port, bool small_buffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (small_buffer) {
        int size = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads more into *buf; false at the end or on error.
bool fill(int fd, std::string* buf) {
    char chunk[16384];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buf->append(chunk, static_cast<size_t>(n));
    return true;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return tolower(c); });
    return s;
}

// Parses "Name: value" lines up to the blank line; the text after it stays.
bool take_headers(int fd, std::string* buf, std::string* first,
                  std::map<std::string, std::string>* headers) {
    size_t end;
    while ((end = buf->find("\r\n\r\n")) == std::string::npos)
        if (!fill(fd, buf)) return false;
    std::string block = buf->substr(0, end + 2);
    buf->erase(0, end + 4);
    size_t at = block.find("\r\n");
    *first = block.substr(0, at);
    for (at += 2; at < block.size();) {
        size_t eol = block.find("\r\n", at);
        std::string line = block.substr(at, eol - at);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = line.find_first_not_of(' ', colon + 1);
            (*headers)[lower(line.substr(0, colon))] = v == std::string::npos ? "" : line.substr(v);
        }
        at = eol + 2;
    }
    return true;
}

}  // namespace

int http_connect(unsigned port) {
    return connect_to(port, false);
}

std::string request(const std::string& method, const std::string& path, const std::string& extra,
                    const std::string& body) {
    std::string r =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra;
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

Response http_exchange(unsigned port, const std::string& req) {
    Response r;
    int fd = connect_to(port, false);
    if (fd < 0) return r;
    std::string buf, first;
    if (send_all(fd, req) || true) {
        // The server may answer (413, 431) before it has read everything.
        if (take_headers(fd, &buf, &first, &r.headers)) {
            r.status = atoi(first.c_str() + first.find(' ') + 1);
            while (fill(fd, &buf)) {
            }
            r.body = buf;
            if (r.headers.count("content-length")) {
                size_t length = strtoul(r.headers["content-length"].c_str(), nullptr, 10);
                r.body = buf.substr(0, length);
                if (buf.size() > length) r.rest = buf.substr(length);
            }
        }
    }
    ::close(fd);
    return r;
}

bool StreamReader::open(unsigned port, const std::string& path, bool small_buffer,
                        const std::string& extra) {
    fd = connect_to(port, small_buffer);
    if (fd < 0) return false;
    std::string first;
    if (!send_all(fd, request("GET", path, extra)) ||
        !take_headers(fd, &pending, &first, &head.headers))
        return false;
    head.status = atoi(first.c_str() + first.find(' ') + 1);
    chunked = lower(head.headers["transfer-encoding"]) == "chunked";
    if (chunked) raw.swap(pending);
    return true;
}

bool StreamReader::more() {
    if (!chunked) return fill(fd, &pending);
    for (;;) {
        // Whole chunks out of raw: "SIZE\r\n" DATA "\r\n".
        size_t eol = raw.find("\r\n");
        if (eol != std::string::npos) {
            size_t size = strtoul(raw.c_str(), nullptr, 16);
            if (size == 0) return false;
            if (raw.size() >= eol + 2 + size + 2) {
                pending.append(raw, eol + 2, size);
                raw.erase(0, eol + 2 + size + 2);
                return true;
            }
        }
        if (!fill(fd, &raw)) return false;
    }
}

bool StreamReader::next(std::map<std::string, std::string>* headers, std::string* jpeg,
                        std::string* why) {
    headers->clear();
    std::string first;
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos)
        if (!more()) return *why = "stream ended", false;
    if (!take_headers(fd, &pending, &first, headers)) return *why = "stream ended", false;
    if (first != "--camctlframe") return *why = "no boundary: " + first, false;
    if (!headers->count("content-length")) return *why = "no Content-Length", false;
    size_t length = strtoul((*headers)["content-length"].c_str(), nullptr, 10);
    while (pending.size() < length + 2)
        if (!more()) return *why = "stream ended inside a part", false;
    *jpeg = pending.substr(0, length);
    if (pending.compare(length, 2, "\r\n") != 0) return *why = "no CRLF after the image", false;
    pending.erase(0, length + 2);
    return true;
}

void StreamReader::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
