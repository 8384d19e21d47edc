#include "peer/local_link_client.hpp"

#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/link_contract.hpp"

namespace vigilorb::phone {

std::optional<Endpoint> parseEndpoint(std::string_view text) {
    std::string host;
    std::string_view portText;
    if (text.starts_with('[')) {
        auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        portText = text.substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.substr(0, colon).find(':') != std::string_view::npos) return std::nullopt;
        host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5) return std::nullopt;
    unsigned port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return Endpoint{host, static_cast<std::uint16_t>(port)};
}

std::string_view rawValue(LinkClientError e) {
    switch (e) {
        case LinkClientError::connectionFailed: return "connectionFailed";
        case LinkClientError::handshakeFailed: return "handshakeFailed";
        case LinkClientError::connectionClosed: return "connectionClosed";
        case LinkClientError::frameTooLarge: return "frameTooLarge";
        case LinkClientError::timedOut: return "timedOut";
    }
    return "unknown";
}

struct LocalLinkClient::State {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string identity;
    Bytes psk;
    link::FrameDecoder decoder{link::maxEnvelopeFrame};

    ~State() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
};

namespace {

int stateIndex() {
    static int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int connectWithin(const Endpoint& endpoint, std::optional<std::chrono::milliseconds> timeout) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* found = nullptr;
    if (getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (auto* ai = found; ai; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (timeout) {
            timeval tv{static_cast<time_t>(timeout->count() / 1000), static_cast<suseconds_t>(timeout->count() % 1000 * 1000)};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace

LocalLinkClient::LocalLinkClient(std::unique_ptr<State> state) : state_(std::move(state)) {}
LocalLinkClient::~LocalLinkClient() = default;
LocalLinkClient::LocalLinkClient(LocalLinkClient&&) noexcept = default;
LocalLinkClient& LocalLinkClient::operator=(LocalLinkClient&&) noexcept = default;

std::expected<LocalLinkClient, LinkClientError> LocalLinkClient::connect(const Endpoint& endpoint,
                                                                         const security::LocalPairingKey& key,
                                                                         const std::string& companionID,
                                                                         std::optional<std::chrono::milliseconds> timeout) {
    auto state = std::make_unique<State>();
    state->identity = link::sessionPskIdentity(key);
    state->psk = link::sessionPreSharedKey(key, companionID);
    state->fd = connectWithin(endpoint, timeout);
    if (state->fd < 0) return std::unexpected(LinkClientError::connectionFailed);

    state->ctx = SSL_CTX_new(TLS_client_method());
    if (!state->ctx || SSL_CTX_set_min_proto_version(state->ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(state->ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(state->ctx, link::cipherSuite) != 1)
        return std::unexpected(LinkClientError::handshakeFailed);
    SSL_CTX_set_psk_client_callback(state->ctx, [](SSL* ssl, const char*, char* identity, unsigned int maxIdentity,
                                                   unsigned char* psk, unsigned int maxPsk) -> unsigned int {
        auto* s = static_cast<State*>(SSL_get_ex_data(ssl, stateIndex()));
        if (!s || s->identity.size() + 1 > maxIdentity || s->psk.size() > maxPsk) return 0;
        std::memcpy(identity, s->identity.c_str(), s->identity.size() + 1);
        std::memcpy(psk, s->psk.data(), s->psk.size());
        return static_cast<unsigned int>(s->psk.size());
    });
    state->ssl = SSL_new(state->ctx);
    if (!state->ssl) return std::unexpected(LinkClientError::handshakeFailed);
    SSL_set_ex_data(state->ssl, stateIndex(), state.get());
    SSL_set_fd(state->ssl, state->fd);
    if (SSL_connect(state->ssl) != 1) {
        ERR_clear_error();
        return std::unexpected(LinkClientError::handshakeFailed);
    }
    return LocalLinkClient(std::move(state));
}

std::expected<void, LinkClientError> LocalLinkClient::sendFrame(std::string_view payload) {
    auto frame = link::encodeFrame(payload);
    std::size_t written = 0;
    while (written < frame.size()) {
        std::size_t n = 0;
        if (SSL_write_ex(state_->ssl, frame.data() + written, frame.size() - written, &n) != 1) {
            ERR_clear_error();
            return std::unexpected(LinkClientError::connectionClosed);
        }
        written += n;
    }
    return {};
}

std::expected<std::string, LinkClientError> LocalLinkClient::nextFrame() {
    for (;;) {
        if (auto frame = state_->decoder.next()) return std::move(*frame);
        char buffer[16384];
        std::size_t n = 0;
        errno = 0;
        if (SSL_read_ex(state_->ssl, buffer, sizeof buffer, &n) != 1) {
            int error = SSL_get_error(state_->ssl, 0);
            bool timedOut = error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
            ERR_clear_error();
            return std::unexpected(timedOut ? LinkClientError::timedOut : LinkClientError::connectionClosed);
        }
        if (!state_->decoder.feed(std::string_view(buffer, n))) return std::unexpected(LinkClientError::frameTooLarge);
    }
}

}  // namespace vigilorb::phone
