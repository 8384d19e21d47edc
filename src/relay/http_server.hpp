#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "relay/service.hpp"

struct MHD_Daemon;
struct MHD_Connection;

namespace vigilorb::relay {

struct ServerOptions {
    std::string host = "127.0.0.1";  // numeric IPv4 or IPv6 address
    std::uint16_t port = 8443;       // 0: any free port (see HttpServer::port)
    std::optional<std::string> tlsCertificatePEM;
    std::optional<std::string> tlsKeyPEM;
    unsigned threads = 4;                 // event threads; none is ever held by a slow client
    unsigned maxConnections = 2048;       // in all, SSE streams included
    unsigned connectionsPerAddress = 64;  // 0: no limit (behind a reverse proxy)
    unsigned maxSubscribers = 1024;       // SSE streams in all
    unsigned subscribersPerChannel = 16;
    std::size_t headerMemory = 32 * 1024;         // request line and headers; above: 431
    unsigned idleTimeoutSeconds = 10;             // no byte in either direction for this long
    std::chrono::seconds requestDeadline{30};     // a request, body included, from first byte to answer
    std::chrono::seconds keepAliveInterval{15};   // comment lines on idle SSE streams
    std::chrono::seconds sweepInterval{60};       // expiry of old envelopes
    bool trustProxy = false;  // take X-Real-IP from a loopback peer as the client address
};

class Subscriber;

// The HTTP side of the relay on GNU libmicrohttpd: an event-driven server whose threads never
// wait for a client (slow and idle clients cost a connection slot and a little memory, both
// bounded), optional TLS (GnuTLS), and Server-Sent Events by suspending a connection until its
// channel has something new.
class HttpServer {
public:
    HttpServer(RelayService& service, Store& store, ServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Throws std::runtime_error when the address cannot be bound or TLS is not available.
    void start();
    void stop();
    std::uint16_t port() const;
    std::size_t subscriberCount() const;

    // Hands an envelope to the channel's subscribers (the store's listener).
    void publish(const std::string& channel, const StoredEnvelope& stored);

private:
    struct Tracked {
        std::chrono::steady_clock::time_point started;
        bool active = true;
        bool streaming = false;
    };

    friend struct Callbacks;  // the libmicrohttpd callbacks

    bool answer(MHD_Connection* connection, const Response& response);
    bool subscribe(MHD_Connection* connection, const Response& response);
    std::string clientAddress(MHD_Connection* connection);
    void housekeeping();
    void removeSubscriber(Subscriber* subscriber);
    void closeSubscribers();

    RelayService& service_;
    Store& store_;
    ServerOptions options_;
    std::string certificate_, key_;
    MHD_Daemon* daemon_ = nullptr;

    mutable std::mutex subscribersMutex_;
    std::multimap<std::string, std::shared_ptr<Subscriber>> subscribers_;

    std::mutex trackedMutex_;
    std::map<MHD_Connection*, Tracked> tracked_;

    std::mutex housekeepingMutex_;
    std::condition_variable housekeepingWake_;
    bool stopping_ = false;
    std::thread housekeeper_;
};

}  // namespace vigilorb::relay
