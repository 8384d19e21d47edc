#pragma once
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vigilorb::test {

// A deliberately plain HTTP/1.1 client over a TCP socket, so tests control every byte and the
// source address (the whole 127.0.0.0/8 is loopback: honest and hostile clients use different
// addresses, as they would on the internet).
struct HttpReply {
    int status = 0;  // 0: no parsable answer (connection refused, reset or closed)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

class Socket {
public:
    // Connects to 127.0.0.1:port from `from` (any port); throws on failure.
    Socket(int port, const std::string& from = "127.0.0.1");
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // False once the peer has gone.
    bool send(std::string_view bytes);
    // Whatever arrives within `wait`; empty on timeout; nothing once the peer closed.
    std::optional<std::string> receive(std::chrono::milliseconds wait);
    // Reads until the peer closes or `limit` passes.
    std::string receiveAll(std::chrono::milliseconds limit);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

std::string requestText(const std::string& method, const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body);
// Parses one whole answer (Content-Length or chunked).
HttpReply parseReply(const std::string& raw);
// One request on its own connection.
HttpReply http(int port, const std::string& method, const std::string& path,
               const std::vector<std::pair<std::string, std::string>>& headers = {}, const std::string& body = {},
               const std::string& from = "127.0.0.1");

// A Server-Sent Events stream: collects the data of each "envelope" event.
class EventStream {
public:
    EventStream(int port, const std::string& path, const std::string& token, const std::string& from = "127.0.0.1");
    int status() const { return status_; }
    // Waits up to `limit` for the stream to hold at least `count` events.
    const std::vector<std::string>& waitFor(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(20));
    // True once the ": subscribed" comment has arrived.
    bool live() const { return live_; }

private:
    void pump(std::chrono::milliseconds wait);
    Socket socket_;
    std::string raw_, decoded_;
    bool headersDone_ = false, live_ = false;
    int status_ = 0;
    std::vector<std::string> events_;
};

}  // namespace vigilorb::test
