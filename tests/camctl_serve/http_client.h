// Just enough of an HTTP/1.1 client to test the server with: one request
// per connection, and the parts of a multipart stream.
#ifndef TESTS_CAMCTL_SERVE_HTTP_CLIENT_H
#define TESTS_CAMCTL_SERVE_HTTP_CLIENT_H

#include <map>
#include <string>

struct Response {
    int status = 0;                              // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string rest;  // what came after the body: another answer on the connection
};

// A connected loopback socket (-1 on failure); the caller closes it.
int http_connect(unsigned port);

// Sends `request` as it is and reads the answer until the server closes.
Response http_exchange(unsigned port, const std::string& request);

// A request built from its parts; extra holds whole header lines.
std::string request(const std::string& method, const std::string& path,
                    const std::string& extra = "", const std::string& body = "");

// A connection reading a stream; small_buffer limits how much the kernel
// takes in for a client that stops reading.
struct StreamReader {
    int fd = -1;
    std::string pending;  // the stream's bytes, out of their chunks
    std::string raw;      // received, not yet de-chunked
    bool chunked = false;
    Response head;

    bool open(unsigned port, const std::string& path, bool small_buffer = false,
              const std::string& extra = "");
    // The next part: its headers and its image; false on a framing error or
    // when the server closed the stream.
    bool next(std::map<std::string, std::string>* headers, std::string* jpeg, std::string* why);
    void close();
    bool more();  // appends to pending; false at the end
    ~StreamReader() { close(); }
};

#endif  // TESTS_CAMCTL_SERVE_HTTP_CLIENT_H
