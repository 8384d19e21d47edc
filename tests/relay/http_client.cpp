#include "http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace vigilorb::test {

Socket::Socket(int port, const std::string& from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd_);
        throw std::runtime_error("bind to " + from + " failed");
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd_);
        throw std::runtime_error("connect failed");
    }
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

bool Socket::send(std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> Socket::receive(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::string();
    char buffer[65536];
    auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string Socket::receiveAll(std::chrono::milliseconds limit) {
    std::string all;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto part = receive(std::chrono::milliseconds(100));
        if (!part) break;
        all += *part;
    }
    return all;
}

std::string requestText(const std::string& method, const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: relay.test\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
    if (method == "PUT" || !body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

namespace {
std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Decodes as much chunked content as is complete; returns false at the last chunk.
bool dechunk(std::string& raw, std::string& out) {
    while (true) {
        auto lineEnd = raw.find("\r\n");
        if (lineEnd == std::string::npos) return true;
        std::size_t size = std::stoul(raw.substr(0, lineEnd), nullptr, 16);
        if (size == 0) return false;
        if (raw.size() < lineEnd + 2 + size + 2) return true;
        out += raw.substr(lineEnd + 2, size);
        raw.erase(0, lineEnd + 2 + size + 2);
    }
}
}  // namespace

HttpReply parseReply(const std::string& raw) {
    HttpReply reply;
    auto end = raw.find("\r\n\r\n");
    if (!raw.starts_with("HTTP/1.") || end == std::string::npos) return reply;
    reply.status = std::stoi(raw.substr(9, 3));
    std::size_t pos = raw.find("\r\n") + 2;
    while (pos < end) {
        auto lineEnd = raw.find("\r\n", pos);
        auto line = raw.substr(pos, lineEnd - pos);
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            auto value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            reply.headers[lower(line.substr(0, colon))] = value;
        }
        pos = lineEnd + 2;
    }
    auto rest = raw.substr(end + 4);
    if (lower(reply.headers["transfer-encoding"]) == "chunked")
        dechunk(rest, reply.body);
    else
        reply.body = rest;
    return reply;
}

HttpReply http(int port, const std::string& method, const std::string& path,
               const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
               const std::string& from) {
    try {
        Socket s(port, from);
        s.send(requestText(method, path, headers, body));
        return parseReply(s.receiveAll(std::chrono::seconds(30)));
    } catch (const std::runtime_error&) {
        return {};
    }
}

EventStream::EventStream(int port, const std::string& path, const std::string& token, const std::string& from)
    : socket_(port, from) {
    std::string text = "GET " + path + " HTTP/1.1\r\nHost: relay.test\r\nAccept: text/event-stream\r\n";
    if (!token.empty()) text += "Authorization: Bearer " + token + "\r\n";
    socket_.send(text + "\r\n");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((!headersDone_ || (status_ == 200 && !live_)) && std::chrono::steady_clock::now() < deadline)
        pump(std::chrono::milliseconds(100));
}

void EventStream::pump(std::chrono::milliseconds wait) {
    auto part = socket_.receive(wait);
    if (!part) return;
    raw_ += *part;
    if (!headersDone_) {
        auto end = raw_.find("\r\n\r\n");
        if (end == std::string::npos) return;
        status_ = parseReply(raw_.substr(0, end + 4)).status;
        raw_.erase(0, end + 4);
        headersDone_ = true;
    }
    if (status_ != 200) return;
    dechunk(raw_, decoded_);
    // Complete events end with an empty line.
    while (true) {
        auto end = decoded_.find("\n\n");
        if (end == std::string::npos) break;
        auto block = decoded_.substr(0, end + 1);
        decoded_.erase(0, end + 2);
        if (block.starts_with(": subscribed")) live_ = true;
        std::string data;
        bool envelope = false;
        std::size_t pos = 0;
        while (pos < block.size()) {
            auto lineEnd = block.find('\n', pos);
            auto line = block.substr(pos, lineEnd - pos);
            if (line == "event: envelope") envelope = true;
            if (line.starts_with("data: ")) data += (data.empty() ? "" : "\n") + line.substr(6);
            pos = lineEnd + 1;
        }
        if (envelope) events_.push_back(data);
    }
}

const std::vector<std::string>& EventStream::waitFor(std::size_t count, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (events_.size() < count && std::chrono::steady_clock::now() < deadline) pump(std::chrono::milliseconds(100));
    return events_;
}

}  // namespace vigilorb::test
