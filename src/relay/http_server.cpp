#include "relay/http_server.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "relay/protocol.hpp"

namespace vigilorb::relay {

// One SSE stream. The content reader drains `pending`; when it is empty the connection is
// suspended (no thread waits, no timeout runs) until publish() appends and resumes it.
class Subscriber {
public:
    static constexpr std::size_t backlogLimit = 8 * 1024 * 1024;

    Subscriber(std::string channel, MHD_Connection* connection)
        : channel(std::move(channel)), connection_(connection) {}

    const std::string channel;

    // An envelope event, unless this stream already carried that source's envelope of this or a
    // later sequence (the first envelopes of a stream come from the store and may also be
    // announced a moment later).
    void pushEnvelope(const StoredEnvelope& stored) {
        {
            std::lock_guard lock(mutex_);
            auto [it, fresh] = lastSent_.try_emplace(stored.source, stored.sequence);
            if (!fresh) {
                if (stored.sequence <= it->second) return;
                it->second = stored.sequence;
            }
        }
        push(sseEvent(stored.envelope, stored.sequence));
    }

    // When the reader has fallen too far behind, the stream is ended.
    void push(std::string_view bytes) {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        if (pending_.size() - offset_ + bytes.size() > backlogLimit) {
            closed_ = true;
            pending_.clear();
            offset_ = 0;
        } else {
            pending_.append(bytes);
        }
        wake();
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        wake();
    }
    ssize_t read(char* buffer, std::size_t max) {
        std::lock_guard lock(mutex_);
        if (offset_ < pending_.size()) {
            std::size_t n = std::min(max, pending_.size() - offset_);
            std::memcpy(buffer, pending_.data() + offset_, n);
            offset_ += n;
            if (offset_ == pending_.size()) {
                pending_.clear();
                offset_ = 0;
            }
            return static_cast<ssize_t>(n);
        }
        if (closed_) return MHD_CONTENT_READER_END_OF_STREAM;
        suspended_ = true;
        MHD_suspend_connection(connection_);
        return 0;
    }

private:
    void wake() {
        if (suspended_) {
            suspended_ = false;
            MHD_resume_connection(connection_);
        }
    }
    std::mutex mutex_;
    MHD_Connection* connection_;
    std::string pending_;
    std::size_t offset_ = 0;
    bool suspended_ = false;
    bool closed_ = false;
    std::map<std::string, std::uint64_t> lastSent_;  // per source; at most 64 per channel
};

namespace {

// Per request: the body read so far.
struct RequestState {
    std::string body;
    bool tooLarge = false;
};

struct StreamHandle {
    HttpServer* server;
    std::shared_ptr<Subscriber> subscriber;
};

std::optional<std::string> header(MHD_Connection* c, const char* name) {
    const char* value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    if (!value) return std::nullopt;
    return std::string(value);
}

bool isLoopback(const sockaddr* address) {
    if (!address) return false;
    if (address->sa_family == AF_INET) {
        auto a = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        auto a = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
    }
    return false;
}

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

// Paths are checked segment by segment, so the library must not decode them first.
std::size_t keepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

}  // namespace

struct Callbacks {
    static MHD_Result request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* upload, std::size_t* uploadSize, void** state) {
        auto* self = static_cast<HttpServer*>(cls);
        auto* request = static_cast<RequestState*>(*state);
        bool isPut = std::strcmp(method, "PUT") == 0;
        if (!request) {
            // Headers are in; the answer comes on a later call (answering now would make the
            // library close a connection the client may want to keep).
            request = new RequestState;
            *state = request;
            if (isPut) {
                // Refuse a declared oversize body before reading any of it.
                auto length = header(connection, "Content-Length");
                if (length) {
                    errno = 0;
                    char* end = nullptr;
                    unsigned long long n = std::strtoull(length->c_str(), &end, 10);
                    if (errno || end == length->c_str() || n > bodyLimit) request->tooLarge = true;
                }
            }
            if (!request->tooLarge) return MHD_YES;
        } else if (*uploadSize != 0) {
            if (!request->tooLarge) {
                if (request->body.size() + *uploadSize > bodyLimit) {
                    request->tooLarge = true;
                    request->body.clear();
                    request->body.shrink_to_fit();
                } else {
                    request->body.append(upload, *uploadSize);
                }
            }
            // Past the limit the rest is read and dropped (the request deadline bounds how
            // long); the library only lets the answer go out once the body has been consumed.
            *uploadSize = 0;
            return MHD_YES;
        }

        Request r;
        r.method = method;
        r.path = url;
        r.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
        r.contentType = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
        r.body = std::move(request->body);
        r.bodyTooLarge = request->tooLarge;
        r.clientAddress = self->clientAddress(connection);
        auto response = self->service_.handle(r);
        if (response.subscribeChannel) return self->subscribe(connection, response) ? MHD_YES : MHD_NO;
        return self->answer(connection, response) ? MHD_YES : MHD_NO;
    }

    static void completed(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
        delete static_cast<RequestState*>(*state);
        *state = nullptr;
        auto* self = static_cast<HttpServer*>(cls);
        std::lock_guard lock(self->trackedMutex_);
        auto it = self->tracked_.find(connection);
        if (it != self->tracked_.end()) it->second.active = false;
    }

    static void connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<HttpServer*>(cls);
        std::lock_guard lock(self->trackedMutex_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            self->tracked_[connection] = HttpServer::Tracked{std::chrono::steady_clock::now(), true, false};
        else
            self->tracked_.erase(connection);
    }

    // Called when a request line has arrived: the deadline of each request on a kept-alive
    // connection starts here.
    static void* requestLine(void* cls, const char*, MHD_Connection* connection) {
        auto* self = static_cast<HttpServer*>(cls);
        std::lock_guard lock(self->trackedMutex_);
        auto it = self->tracked_.find(connection);
        if (it != self->tracked_.end()) {
            it->second.started = std::chrono::steady_clock::now();
            it->second.active = true;
        }
        return nullptr;
    }

    static ssize_t stream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
        return static_cast<StreamHandle*>(cls)->subscriber->read(buffer, max);
    }

    static void streamEnded(void* cls) {
        auto* handle = static_cast<StreamHandle*>(cls);
        handle->server->removeSubscriber(handle->subscriber.get());
        delete handle;
    }
};

HttpServer::HttpServer(RelayService& service, Store& store, ServerOptions options)
    : service_(service), store_(store), options_(std::move(options)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
    sockaddr_storage address{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, options_.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(options_.port);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, options_.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(options_.port);
        length = sizeof *v6;
        flags |= MHD_USE_IPv6;
    } else {
        throw std::runtime_error("not a numeric IP address: " + options_.host);
    }
    (void)length;
    bool tls = options_.tlsCertificatePEM.has_value();
    if (tls) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
            throw std::runtime_error("this libmicrohttpd has no TLS support");
        flags |= MHD_USE_TLS;
        certificate_ = *options_.tlsCertificatePEM;
        key_ = options_.tlsKeyPEM.value_or("");
    }

    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(options_.threads), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(options_.maxConnections), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(options_.idleTimeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(options_.headerMemory), nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 512, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::completed), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Callbacks::connection), this},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Callbacks::requestLine), this},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&keepEscapes), nullptr},
    };
    if (options_.connectionsPerAddress > 0)
        items.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(options_.connectionsPerAddress),
                         nullptr});
    if (tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certificate_.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});

    daemon_ = MHD_start_daemon(flags, options_.port, nullptr, nullptr, &Callbacks::request, this, MHD_OPTION_ARRAY,
                               items.data(), MHD_OPTION_END);
    if (!daemon_)
        throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                                 (tls ? " (or the TLS certificate or key is not usable)" : ""));
    {
        std::lock_guard lock(housekeepingMutex_);
        stopping_ = false;
    }
    housekeeper_ = std::thread([this] { housekeeping(); });
}

void HttpServer::stop() {
    if (!daemon_) return;
    {
        std::lock_guard lock(housekeepingMutex_);
        stopping_ = true;
    }
    housekeepingWake_.notify_all();
    if (housekeeper_.joinable()) housekeeper_.join();
    // Suspended connections must be resumed and ended before the daemon may stop.
    closeSubscribers();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (subscriberCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

std::uint16_t HttpServer::port() const {
    if (!daemon_) return 0;
    auto info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

std::size_t HttpServer::subscriberCount() const {
    std::lock_guard lock(subscribersMutex_);
    return subscribers_.size();
}

std::string HttpServer::clientAddress(MHD_Connection* connection) {
    auto info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr* peer = info ? info->client_addr : nullptr;
    if (options_.trustProxy && isLoopback(peer)) {
        if (auto forwarded = header(connection, "X-Real-IP"); forwarded && !forwarded->empty()) return *forwarded;
    }
    return addressText(peer);
}

bool HttpServer::answer(MHD_Connection* connection, const Response& response) {
    auto* r = MHD_create_response_from_buffer(response.body.size(), const_cast<char*>(response.body.data()),
                                              MHD_RESPMEM_MUST_COPY);
    if (!r) return false;
    if (!response.body.empty()) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto& [name, value] : response.headers) MHD_add_response_header(r, name.c_str(), value.c_str());
    bool ok = MHD_queue_response(connection, static_cast<unsigned>(response.status), r) == MHD_YES;
    MHD_destroy_response(r);
    return ok;
}

bool HttpServer::subscribe(MHD_Connection* connection, const Response& response) {
    const std::string& channel = *response.subscribeChannel;
    auto subscriber = std::make_shared<Subscriber>(channel, connection);
    {
        std::lock_guard lock(subscribersMutex_);
        if (subscribers_.size() >= options_.maxSubscribers ||
            subscribers_.count(channel) >= options_.subscribersPerChannel) {
            Response busy{503, "{\"error\":\"too many event streams; try again later\"}\n", "application/json",
                          {{"Retry-After", "30"}}, std::nullopt};
            return answer(connection, busy);
        }
        subscribers_.emplace(channel, subscriber);
    }
    {
        std::lock_guard lock(trackedMutex_);
        auto it = tracked_.find(connection);
        if (it != tracked_.end()) it->second.streaming = true;
    }
    // The comment tells the client the stream is live; then the channel's current envelopes,
    // then whatever is stored from now on.
    subscriber->push(": subscribed\n\n");
    try {
        for (const auto& stored : store_.envelopes(channel, Date::now() - service_.settings().maxAgeSeconds))
            subscriber->pushEnvelope(stored);
    } catch (const StoreUnavailable&) {
        subscriber->close();
    }
    auto* handle = new StreamHandle{this, subscriber};
    auto* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Callbacks::stream, handle,
                                                &Callbacks::streamEnded);
    if (!r) {
        Callbacks::streamEnded(handle);
        return false;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto& [name, value] : response.headers) MHD_add_response_header(r, name.c_str(), value.c_str());
    MHD_add_response_header(r, "X-Accel-Buffering", "no");
    bool ok = MHD_queue_response(connection, MHD_HTTP_OK, r) == MHD_YES;
    MHD_destroy_response(r);
    return ok;
}

void HttpServer::publish(const std::string& channel, const StoredEnvelope& stored) {
    std::lock_guard lock(subscribersMutex_);
    auto [first, last] = subscribers_.equal_range(channel);
    for (auto it = first; it != last; ++it) it->second->pushEnvelope(stored);
}

void HttpServer::removeSubscriber(Subscriber* subscriber) {
    std::lock_guard lock(subscribersMutex_);
    auto [first, last] = subscribers_.equal_range(subscriber->channel);
    for (auto it = first; it != last; ++it) {
        if (it->second.get() == subscriber) {
            subscribers_.erase(it);
            return;
        }
    }
}

void HttpServer::closeSubscribers() {
    std::lock_guard lock(subscribersMutex_);
    for (auto& [channel, subscriber] : subscribers_) subscriber->close();
}

void HttpServer::housekeeping() {
    using clock = std::chrono::steady_clock;
    auto nextKeepAlive = clock::now() + options_.keepAliveInterval;
    auto nextSweep = clock::now();
    std::unique_lock lock(housekeepingMutex_);
    while (!stopping_) {
        housekeepingWake_.wait_for(lock, std::chrono::seconds(1));
        if (stopping_) break;
        auto now = clock::now();
        {
            // A request that has not been answered by its deadline is cut off, however
            // steadily its client trickles bytes.
            std::lock_guard trackedLock(trackedMutex_);
            for (auto& [connection, tracked] : tracked_) {
                if (!tracked.active || tracked.streaming || now - tracked.started < options_.requestDeadline) continue;
                auto info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
                if (info) ::shutdown(info->connect_fd, SHUT_RDWR);
                tracked.active = false;
            }
        }
        if (now >= nextKeepAlive) {
            nextKeepAlive = now + options_.keepAliveInterval;
            std::lock_guard subscribersLock(subscribersMutex_);
            for (auto& [channel, subscriber] : subscribers_) subscriber->push(sseKeepAlive);
        }
        if (now >= nextSweep) {
            nextSweep = now + options_.sweepInterval;
            try {
                service_.sweep();
            } catch (const StoreUnavailable&) {
                // Tried again at the next sweep.
            }
        }
    }
}

}  // namespace vigilorb::relay
