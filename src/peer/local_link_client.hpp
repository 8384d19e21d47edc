#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/frame_codec.hpp"
#include "security/pairing_key.hpp"

namespace vigilorb::phone {

struct Endpoint {
    std::string host;  // name, IPv4 or IPv6 address (a link-local one with its "%interface")
    std::uint16_t port = 0;
};

// "HOST:PORT" or "[IPv6]:PORT"; nothing for anything else.
std::optional<Endpoint> parseEndpoint(std::string_view text);

enum class LinkClientError {
    connectionFailed,  // no TCP connection to the address
    handshakeFailed,   // the companion did not complete TLS with our key (wrong key or not ours)
    connectionClosed,  // the companion ended the session (it declined our hello, or left)
    frameTooLarge,     // a frame above the receiver's limit
    timedOut,          // nothing arrived within the read timeout
};

std::string_view rawValue(LinkClientError e);

// The receiver's end of the local link over OpenSSL: TCP, then TLS 1.2 with the session PSK
// derived from the pairing key (no certificates), then length-prefixed frames. Blocking.
class LocalLinkClient {
public:
    ~LocalLinkClient();
    LocalLinkClient(LocalLinkClient&&) noexcept;
    LocalLinkClient& operator=(LocalLinkClient&&) noexcept;

    // `timeout` bounds the connection, the handshake and each later read.
    static std::expected<LocalLinkClient, LinkClientError> connect(const Endpoint& endpoint, const security::LocalPairingKey& key,
                                                                   const std::string& companionID,
                                                                   std::optional<std::chrono::milliseconds> timeout);

    std::expected<void, LinkClientError> sendFrame(std::string_view payload);
    std::expected<std::string, LinkClientError> nextFrame();

private:
    struct State;
    explicit LocalLinkClient(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vigilorb::phone
