// Load for vigilorb-relay (and the same request count against a static file for the baseline):
// C clients on kept-alive loopback connections, each owning every C-th of N channels, each
// channel with its own key; a round is one PUT of the next sequence and one GET per channel.
//   relay_bench relay PORT CHANNELS CLIENTS ROUNDS
//   relay_bench static PORT PATH REQUESTS CLIENTS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "security/cloud_envelope.hpp"

using namespace vigilorb;
using Clock = std::chrono::steady_clock;

namespace {

class Connection {
public:
    explicit Connection(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    }
    ~Connection() { ::close(fd_); }
    // Sends one request and reads its whole answer; returns the status.
    int exchange(const std::string& request) {
        for (std::size_t sent = 0; sent < request.size();) {
            auto n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send");
            sent += static_cast<std::size_t>(n);
        }
        std::string in;
        char buffer[16384];
        std::size_t headerEnd;
        while ((headerEnd = in.find("\r\n\r\n")) == std::string::npos) read(in, buffer, sizeof buffer);
        std::size_t length = 0;
        auto at = in.find("Content-Length: ");
        if (at == std::string::npos) at = in.find("content-length: ");
        if (at != std::string::npos && at < headerEnd) length = std::stoul(in.substr(at + 16));
        while (in.size() < headerEnd + 4 + length) read(in, buffer, sizeof buffer);
        return std::stoi(in.substr(9, 3));
    }

private:
    void read(std::string& in, char* buffer, std::size_t size) {
        auto n = ::recv(fd_, buffer, size, 0);
        if (n <= 0) throw std::runtime_error("connection closed");
        in.append(buffer, static_cast<std::size_t>(n));
    }
    int fd_;
};

struct Sample {
    std::vector<double> put, get;  // microseconds
    int failures = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void report(const char* what, const std::vector<Sample>& samples, double seconds) {
    std::vector<double> put, get;
    int failures = 0;
    for (const auto& s : samples) {
        put.insert(put.end(), s.put.begin(), s.put.end());
        get.insert(get.end(), s.get.begin(), s.get.end());
        failures += s.failures;
    }
    auto requests = static_cast<double>(put.size() + get.size());
    bool pairs = std::string(what) != "static file";
    std::printf("%s: %.0f requests in %.2f s = %.0f requests/s; %s p50 %.0f us p99 %.0f us; %s p50 %.0f us p99 %.0f us;"
                " failures %d\n",
                what, requests, seconds, requests / seconds, pairs ? "PUT" : "odd GET", percentile(put, 0.5),
                percentile(put, 0.99), pairs ? "GET" : "even GET", percentile(get, 0.5), percentile(get, 0.99), failures);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: relay_bench relay PORT CHANNELS CLIENTS ROUNDS | static PORT PATH REQUESTS CLIENTS\n");
        return 2;
    }
    std::string mode = argv[1];
    int port = std::stoi(argv[2]);
    if (mode == "static") {
        std::string path = argv[3];
        int requests = std::stoi(argv[4]), clients = std::stoi(argv[5]);
        std::vector<Sample> samples(static_cast<std::size_t>(clients));
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                Connection connection(port);
                auto& s = samples[static_cast<std::size_t>(c)];
                for (int i = c; i < requests; i += clients) {
                    auto t0 = Clock::now();
                    int status = connection.exchange(request);
                    double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
                    (i % 2 ? s.get : s.put).push_back(us);  // same count as PUT + GET pairs
                    if (status != 200) ++s.failures;
                }
            });
        for (auto& t : threads) t.join();
        report("static file", samples, std::chrono::duration<double>(Clock::now() - start).count());
        return 0;
    }
    int channels = std::stoi(argv[3]), clients = std::stoi(argv[4]), rounds = std::stoi(argv[5]);
    // Everything sealed up front, so the clients measure the relay, not the sealing.
    struct Channel {
        std::string putPrefix, getRequest;
        std::vector<std::string> bodies;
    };
    std::vector<Channel> all(static_cast<std::size_t>(channels));
    for (int i = 0; i < channels; ++i) {
        auto key = *security::LocalPairingKey::fromBytes(security::crypto::sha256(security::crypto::bytesOf("bench " + std::to_string(i))));
        std::string id = "mac-bench-" + std::to_string(i);
        auto credentials = security::RelayCredentials::make("http://127.0.0.1", key, id);
        auto path = "/v1/channels/" + credentials.channelID + "/sources/" + id;
        auto& ch = all[static_cast<std::size_t>(i)];
        ch.putPrefix = "PUT " + path + " HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer " + credentials.accessToken +
                       "\r\nContent-Type: application/json\r\n";
        ch.getRequest =
            "GET " + path + " HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer " + credentials.accessToken + "\r\n\r\n";
        std::string payload = R"({"generatedAt":790000000,"accounts":[],"tasks":[],"pendingActions":[]})";
        for (int r = 1; r <= rounds; ++r)
            ch.bodies.push_back(security::EncryptedCloudSnapshotEnvelope::sealPayload(security::crypto::bytesOf(payload), id, "bench",
                                                                            key, static_cast<std::uint64_t>(r),
                                                                            Date::fromReference(790000000))
                                    .encode()
                                    .value());
    }
    std::printf("envelope size: %zu bytes\n", all[0].bodies[0].size());
    std::vector<Sample> samples(static_cast<std::size_t>(clients));
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            Connection connection(port);
            auto& s = samples[static_cast<std::size_t>(c)];
            for (int r = 0; r < rounds; ++r)
                for (int i = c; i < channels; i += clients) {
                    const auto& ch = all[static_cast<std::size_t>(i)];
                    const auto& body = ch.bodies[static_cast<std::size_t>(r)];
                    auto t0 = Clock::now();
                    int put = connection.exchange(ch.putPrefix + "Content-Length: " + std::to_string(body.size()) +
                                                  "\r\n\r\n" + body);
                    auto t1 = Clock::now();
                    int get = connection.exchange(ch.getRequest);
                    auto t2 = Clock::now();
                    s.put.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                    s.get.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
                    s.failures += (put != 204) + (get != 200);
                }
        });
    for (auto& t : threads) t.join();
    report("relay PUT+GET", samples, std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
