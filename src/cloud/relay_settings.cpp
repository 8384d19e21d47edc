#include "cloud/relay_settings.hpp"

#include <limits>

#include "model/text.hpp"
#include "security/identity.hpp"
#include "security/relay_address.hpp"

namespace vigilorb::cloud {

namespace {

std::string sequenceKey(std::string_view companionID) {
    return std::string(sequenceKeyPrefix) + std::string(companionID);
}

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string pathSegment(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    // "." and ".." would be resolved away by any URL parser on the way.
    if (out == "." || out == "..") {
        std::string escaped;
        for (std::size_t i = 0; i < out.size(); ++i) escaped += "%2E";
        return escaped;
    }
    return out;
}

}  // namespace

std::string_view builtInRelayAddress() { return VIGILORB_DEFAULT_RELAY_ADDRESS; }

std::string relayBaseURLString(const Preferences& preferences, std::string_view builtInDefault) {
    if (auto stored = preferences.string(relayAddressKey)) return text::trimmed(*stored);
    return text::trimmed(builtInDefault);
}

std::expected<std::string, NoRelay> relayBaseURL(const Preferences& preferences, std::string_view builtInDefault) {
    auto stored = preferences.string(relayAddressKey);
    auto text = relayBaseURLString(preferences, builtInDefault);
    if (text.empty()) return std::unexpected(stored ? NoRelay::turnedOff : NoRelay::notConfigured);
    if (!security::isValidRelayAddress(text)) return std::unexpected(NoRelay::invalidAddress);
    return text;
}

void saveRelayAddress(Preferences& preferences, std::string_view text) {
    preferences.setString(relayAddressKey, text::trimmed(text));
}

std::string relayUploadURL(std::string_view baseURL, std::string_view channelID, std::string_view companionID) {
    std::string url(baseURL);
    if (url.empty() || url.back() != '/') url += '/';
    url += "v1/channels/";
    url += pathSegment(channelID);
    url += "/sources/";
    url += pathSegment(companionID);
    return url;
}

std::uint64_t storedSequence(const Preferences& preferences, std::string_view companionID) {
    auto value = preferences.integer(sequenceKey(companionID));
    // A negative number cannot have come from an accepted upload; starting again from 0 is
    // what a first upload would do.
    if (!value || *value < 0) return 0;
    return static_cast<std::uint64_t>(*value);
}

void storeSequence(Preferences& preferences, std::string_view companionID, std::uint64_t sequence) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<long long>::max());
    preferences.setInteger(sequenceKey(companionID), static_cast<long long>(std::min(sequence, largest)));
}

}  // namespace vigilorb::cloud
