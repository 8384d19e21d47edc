#pragma once
// The relay address preference, the rule that turns it into a relay URL (or none), the upload
// URL, and the sequence number the relay last accepted.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "model/preferences.hpp"

namespace vigilorb::cloud {

inline constexpr std::string_view relayAddressKey = "relay.baseURL.v1";
inline constexpr std::string_view sequenceKeyPrefix = "relay.sequence.v1.";

// Said when a key is active but cloud sync is off because no address was ever set and this
// build has no default relay.
inline constexpr std::string_view noRelayAddressText = "Cloud sync is off because no relay address is set";

// The relay address compiled into this build (empty unless the build sets one).
std::string_view builtInRelayAddress();

// The stored address, trimmed; the built-in default when none is stored.
std::string relayBaseURLString(const Preferences& preferences, std::string_view builtInDefault);

enum class NoRelay {
    turnedOff,      // the address in force is empty (stored empty)
    notConfigured,  // nothing stored and this build has no default
    invalidAddress  // the address in force is not an https URL without user, query and fragment
};

// The relay URL to use: the address in force when it is a valid, non-empty relay address.
std::expected<std::string, NoRelay> relayBaseURL(const Preferences& preferences, std::string_view builtInDefault);

// Stores the text trimmed (an empty text turns cloud sync off).
void saveRelayAddress(Preferences& preferences, std::string_view text);

// The base URL's own path followed by v1/channels/<channel>/sources/<companion>. The two
// identifiers are percent-encoded where they hold anything but unreserved characters.
std::string relayUploadURL(std::string_view baseURL, std::string_view channelID, std::string_view companionID);

// The last sequence number the relay accepted for this companion; absent or negative reads as 0.
std::uint64_t storedSequence(const Preferences& preferences, std::string_view companionID);
void storeSequence(Preferences& preferences, std::string_view companionID, std::uint64_t sequence);

}  // namespace vigilorb::cloud
