// vigilorb-relay: keeps the newest sealed envelope per channel and source for holders of the
// channel's token. It never sees plaintext.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/standard_options.hpp"
#include "relay/http_server.hpp"
#include "relay/redis_store.hpp"
#include "relay/sqlite_store.hpp"

using namespace vigilorb;
using namespace vigilorb::relay;

namespace {

constexpr const char* usage =
    "usage: vigilorb-relay --listen HOST:PORT (--data DIR | --redis URL)\n"
    "                      [--tls-cert FILE --tls-key FILE] [--allow-plain-http] [--trust-proxy]\n"
    "                      [--max-age-days N] [--puts-per-minute N] [--auth-failures-per-minute N]\n"
    "                      [--threads N] [--max-subscribers N] [--connections-per-address N]\n"
    "                      [--request-timeout SECONDS] [--idle-timeout SECONDS]\n"
    "HOST is a numeric address ([::1] for IPv6); PORT 0 picks a free port. Plain HTTP is only\n"
    "served on a loopback address unless --allow-plain-http is given.\n"
    "       vigilorb-relay --help | --version\n";

struct UsageError {
    std::string message;
};

struct Options {
    std::string host;
    std::uint16_t port = 0;
    std::optional<std::string> data, redis, certificate, key;
    bool allowPlainHTTP = false, trustProxy = false;
    ServiceSettings service;
    unsigned threads = 4, maxSubscribers = 1024;
    std::optional<unsigned> connectionsPerAddress;
    unsigned requestTimeout = 30, idleTimeout = 10;
};

double number(const std::string& text, const char* name) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        throw UsageError{std::string(name) + " takes a non-negative number"};
    return value;
}

Options parse(int argc, char** argv) {
    Options o;
    bool listen = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError{name + " needs a value"};
            return argv[++i];
        };
        if (name == "--listen") {
            std::string text = value();
            auto colon = text.rfind(':');
            if (colon == std::string::npos) throw UsageError{"--listen takes HOST:PORT"};
            o.host = text.substr(0, colon);
            if (o.host.size() >= 2 && o.host.front() == '[' && o.host.back() == ']') o.host = o.host.substr(1, o.host.size() - 2);
            if (o.host == "localhost") o.host = "127.0.0.1";
            double port = number(text.substr(colon + 1), "the port");
            if (port > 65535 || port != static_cast<int>(port)) throw UsageError{"the port must be 0 to 65535"};
            o.port = static_cast<std::uint16_t>(port);
            listen = true;
        } else if (name == "--data") {
            o.data = value();
        } else if (name == "--redis") {
            o.redis = value();
        } else if (name == "--tls-cert") {
            o.certificate = value();
        } else if (name == "--tls-key") {
            o.key = value();
        } else if (name == "--allow-plain-http") {
            o.allowPlainHTTP = true;
        } else if (name == "--trust-proxy") {
            o.trustProxy = true;
        } else if (name == "--max-age-days") {
            o.service.maxAgeSeconds = number(value(), "--max-age-days") * 86400;
        } else if (name == "--puts-per-minute") {
            o.service.putsPerMinute = number(value(), "--puts-per-minute");
        } else if (name == "--auth-failures-per-minute") {
            o.service.authFailuresPerMinute = number(value(), "--auth-failures-per-minute");
        } else if (name == "--threads") {
            o.threads = static_cast<unsigned>(number(value(), "--threads"));
        } else if (name == "--connections-per-address") {
            o.connectionsPerAddress = static_cast<unsigned>(number(value(), "--connections-per-address"));
        } else if (name == "--request-timeout") {
            o.requestTimeout = static_cast<unsigned>(number(value(), "--request-timeout"));
        } else if (name == "--idle-timeout") {
            o.idleTimeout = static_cast<unsigned>(number(value(), "--idle-timeout"));
        } else if (name == "--max-subscribers") {
            o.maxSubscribers = static_cast<unsigned>(number(value(), "--max-subscribers"));
        } else {
            throw UsageError{"unknown option " + name};
        }
    }
    if (!listen) throw UsageError{"--listen is required"};
    if (!o.data && !o.redis) throw UsageError{"--data or --redis is required"};
    if (o.certificate.has_value() != o.key.has_value()) throw UsageError{"--tls-cert and --tls-key go together"};
    if (o.threads == 0) o.threads = 1;
    return o;
}

bool isLoopbackHost(const std::string& host) { return host.starts_with("127.") || host == "::1"; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = answerHelpOrVersion(argc, argv, "vigilorb-relay", VIGILORB_VERSION, usage)) return *answered;
    Options o;
    try {
        o = parse(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "vigilorb-relay: " << e.message << "\n" << usage;
        return 2;
    }
    if (!o.certificate && !isLoopbackHost(o.host) && !o.allowPlainHTTP) {
        std::cerr << "vigilorb-relay: refusing plain HTTP on the non-loopback address " << o.host
                  << "; give --tls-cert and --tls-key, listen on loopback behind a TLS proxy, or pass "
                     "--allow-plain-http\n";
        return 2;
    }
    // SIGPIPE from a vanished client must not end the server; the rest are awaited below.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        std::unique_ptr<Store> store;
        if (o.redis)
            store = std::make_unique<RedisStore>(*o.redis);
        else
            store = std::make_unique<SQLiteStore>(*o.data);
        RelayService service(*store, o.service);
        ServerOptions server;
        server.host = o.host;
        server.port = o.port;
        server.threads = o.threads;
        server.maxSubscribers = o.maxSubscribers;
        server.trustProxy = o.trustProxy;
        // Behind a proxy every client arrives from the proxy's address.
        if (o.trustProxy) server.connectionsPerAddress = 0;
        if (o.connectionsPerAddress) server.connectionsPerAddress = *o.connectionsPerAddress;
        server.requestDeadline = std::chrono::seconds(std::max(1u, o.requestTimeout));
        server.idleTimeoutSeconds = std::max(1u, o.idleTimeout);
        if (o.certificate) {
            server.tlsCertificatePEM = readFile(*o.certificate);
            server.tlsKeyPEM = readFile(*o.key);
        }
        HttpServer http(service, *store, server);
        store->setListener([&http](const std::string& channel, const StoredEnvelope& stored) {
            http.publish(channel, stored);
        });
        http.start();
        std::string host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
        std::cout << "vigilorb-relay listening on " << (o.certificate ? "https://" : "http://") << host << ":"
                  << http.port() << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        store->setListener(nullptr);
        http.stop();
    } catch (const std::exception& e) {
        std::cerr << "vigilorb-relay: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
