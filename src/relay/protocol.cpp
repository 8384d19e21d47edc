#include "relay/protocol.hpp"

#include <vector>

#include "model/json.hpp"
#include "model/text.hpp"
#include "security/cloud_envelope.hpp"
#include "security/pairing.hpp"

namespace vigilorb::relay {

namespace {

bool isLowerHex(std::string_view text, std::size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict percent-decoding of one path segment; nothing for a broken escape.
std::optional<std::string> decodeSegment(std::string_view segment) {
    std::string out;
    out.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] != '%') {
            out += segment[i];
            continue;
        }
        if (i + 2 >= segment.size()) return std::nullopt;
        int hi = hexValue(segment[i + 1]), lo = hexValue(segment[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::vector<std::string_view> segments(std::string_view path) {
    std::vector<std::string_view> out;
    if (!path.starts_with('/')) return out;
    path.remove_prefix(1);
    while (true) {
        auto slash = path.find('/');
        out.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return out;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool isDigestText(std::string_view text) { return isLowerHex(text, 64); }

std::expected<Route, RouteError> parseRoute(std::string_view method, std::string_view path) {
    auto parts = segments(path);
    if (parts.size() < 4 || parts.size() > 5 || parts[0] != "v1" || parts[1] != "channels")
        return std::unexpected(RouteError::notFound);
    Route route{};
    bool isGet = method == "GET", isPut = method == "PUT";
    if (parts.size() == 4 && parts[3] == "sources") {
        if (!isGet) return std::unexpected(RouteError::methodNotAllowed);
        route.kind = RouteKind::listSources;
    } else if (parts.size() == 4 && parts[3] == "events") {
        if (!isGet) return std::unexpected(RouteError::methodNotAllowed);
        route.kind = RouteKind::events;
    } else if (parts.size() == 5 && parts[3] == "sources") {
        if (!isGet && !isPut) return std::unexpected(RouteError::methodNotAllowed);
        route.kind = isPut ? RouteKind::putSource : RouteKind::getSource;
        auto source = decodeSegment(parts[4]);
        if (!source || !security::pairing_rules::isValidCompanionID(*source)) return std::unexpected(RouteError::badSource);
        route.source = std::move(*source);
    } else {
        return std::unexpected(RouteError::notFound);
    }
    if (!isDigestText(parts[2])) return std::unexpected(RouteError::badChannel);
    route.channel = std::string(parts[2]);
    return route;
}

std::optional<std::string> bearerToken(std::optional<std::string_view> header) {
    if (!header) return std::nullopt;
    auto value = trimmed(*header);
    auto space = value.find(' ');
    if (space == std::string_view::npos || asciiLower(value.substr(0, space)) != "bearer") return std::nullopt;
    return std::string(trimmed(value.substr(space + 1)));
}

std::string_view describe(EnvelopeError e) {
    switch (e) {
        case EnvelopeError::notJSON: return "the body is not a JSON object";
        case EnvelopeError::wrongShape: return "the body is not a sealed envelope";
        case EnvelopeError::wrongSchema: return "unsupported schemaVersion";
        case EnvelopeError::sourceMismatch: return "sourceID differs from the source in the path";
        case EnvelopeError::badKeyIdentifier: return "keyIdentifier is not 16 lower-case hex digits";
        case EnvelopeError::badSourceName: return "sourceName is longer than 64 characters";
        case EnvelopeError::badSealedPayload: return "sealedPayload is too short";
    }
    return "invalid envelope";
}

std::expected<EnvelopeFacts, EnvelopeError> checkEnvelope(std::string_view body, std::string_view source) {
    auto parsed = json::parse(body);
    if (!parsed || !parsed->is_object()) return std::unexpected(EnvelopeError::notJSON);
    auto decoded = security::EncryptedCloudSnapshotEnvelope::decode(body);
    if (!decoded) return std::unexpected(EnvelopeError::wrongShape);
    const auto& e = *decoded;
    if (e.schemaVersion != security::EncryptedCloudSnapshotEnvelope::currentSchemaVersion)
        return std::unexpected(EnvelopeError::wrongSchema);
    if (e.sourceID != source) return std::unexpected(EnvelopeError::sourceMismatch);
    if (!isLowerHex(e.keyIdentifier, 16)) return std::unexpected(EnvelopeError::badKeyIdentifier);
    if (text::graphemeCount(e.sourceName) > security::EncryptedCloudSnapshotEnvelope::sourceNameLimit)
        return std::unexpected(EnvelopeError::badSourceName);
    if (e.sealedPayload.size() < security::crypto::chachaNonceSize + security::crypto::chachaTagSize)
        return std::unexpected(EnvelopeError::badSealedPayload);
    return EnvelopeFacts{e.sequence, e.generatedAt};
}

bool isJSONContentType(std::optional<std::string_view> header) {
    if (!header) return false;
    auto value = *header;
    value = trimmed(value.substr(0, value.find(';')));
    return asciiLower(value) == "application/json";
}

Bytes tokenDigest(std::string_view token) { return security::crypto::sha256(security::crypto::bytesOf(token)); }

std::string sseEvent(std::string_view envelope, std::uint64_t sequence) {
    std::string out = "event: envelope\nid: " + std::to_string(sequence) + "\n";
    while (true) {
        auto newline = envelope.find_first_of("\r\n");
        out += "data: ";
        out += envelope.substr(0, newline);
        out += '\n';
        if (newline == std::string_view::npos) break;
        std::size_t skip = envelope.substr(newline, 2) == "\r\n" ? 2 : 1;
        envelope.remove_prefix(newline + skip);
    }
    out += '\n';
    return out;
}

}  // namespace vigilorb::relay
