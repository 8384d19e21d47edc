#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "security/crypto.hpp"

// The relay's wire rules: which paths exist, what a channel, token and source look like, and
// what an uploaded body must be. Plain functions over text; the HTTP shell calls them.
namespace vigilorb::relay {

inline constexpr std::size_t bodyLimit = 1024 * 1024;
inline constexpr std::size_t sourcesPerChannelLimit = 64;

// 64 lower-case hex digits: the shape of channel IDs and access tokens.
bool isDigestText(std::string_view text);

enum class RouteKind { putSource, getSource, listSources, events };

struct Route {
    RouteKind kind;
    std::string channel;
    std::string source;  // empty for listSources and events
};

enum class RouteError {
    notFound,          // no such resource shape
    methodNotAllowed,  // the path exists, the method does not
    badChannel,        // the channel segment is not 64 lower-case hex
    badSource,         // the source segment is not a companion ID
};

// `path` is the request path without its query, as sent (no percent-decoding is applied: none
// of the valid segments needs it, so an escaped segment is simply not valid).
std::expected<Route, RouteError> parseRoute(std::string_view method, std::string_view path);

// The token of an "Authorization: Bearer <token>" header. Nothing when the header is absent or
// not of the Bearer scheme; the token text is returned as sent (shape checked separately).
std::optional<std::string> bearerToken(std::optional<std::string_view> header);

// What the relay keeps about an accepted body besides the bytes themselves.
struct EnvelopeFacts {
    std::uint64_t sequence = 0;
    Date generatedAt;
};

enum class EnvelopeError {
    notJSON,           // not one JSON object
    wrongShape,        // a field missing or of the wrong type, or Base64 that does not decode
    wrongSchema,       // a schemaVersion other than 1
    sourceMismatch,    // sourceID differs from the path's source
    badKeyIdentifier,  // not 16 lower-case hex digits
    badSourceName,     // longer than 64 characters
    badSealedPayload,  // shorter than nonce and tag
};

std::string_view describe(EnvelopeError e);

// Checks a PUT body against the sealed envelope format without opening it.
std::expected<EnvelopeFacts, EnvelopeError> checkEnvelope(std::string_view body, std::string_view source);

// True for "application/json", with or without parameters, in any case.
bool isJSONContentType(std::optional<std::string_view> header);

// SHA-256 of the token text: what the relay keeps instead of the token.
Bytes tokenDigest(std::string_view token);

// One Server-Sent Events message carrying an envelope; every line of the data gets its own
// "data:" field so the receiver reassembles the exact bytes.
std::string sseEvent(std::string_view envelope, std::uint64_t sequence);
inline constexpr std::string_view sseKeepAlive = ": keep-alive\n\n";

}  // namespace vigilorb::relay
