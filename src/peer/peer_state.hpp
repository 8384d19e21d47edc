#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "model/paths.hpp"
#include "security/pairing.hpp"
#include "security/pairing_key.hpp"

namespace vigilorb::phone {

// What the phone keeps after scanning an invitation: whom it paired with, the derived key (the
// secret itself is never stored) and where that companion uploads for the relay.
struct StoredPairing {
    std::string companionID;
    std::optional<std::string> companionName;
    security::LocalPairingKey key;
    std::optional<std::string> relayBaseURL;

    bool operator==(const StoredPairing&) const = default;

    // Validates the invitation at `now` and derives the key.
    [[nodiscard]] static std::expected<StoredPairing, security::PairingInvitationError>
    fromInvitation(const security::PairingInvitation& invitation, Date now);
};

enum class PeerStateError {
    notPaired,          // no state file yet
    unreadableState,    // the file exists but cannot be read or is not a pairing
    stateWriteFailed,   // the file could not be replaced
};

std::string_view rawValue(PeerStateError e);

// $XDG_DATA_HOME/VigilorbPeer/pairing.json (else ~/.local/share/…); absent without either.
std::optional<std::filesystem::path> defaultStateFile(const paths::Environment& env = paths::processEnvironment());

// The file is JSON: {"companionID", "companionName"?, "key" (hex), "relayBaseURL"?}; it holds
// the key, so it is written 0600 and replaced atomically (its folder is created 0700).
std::expected<StoredPairing, PeerStateError> loadPairing(const std::filesystem::path& file);
std::expected<void, PeerStateError> savePairing(const std::filesystem::path& file, const StoredPairing& pairing);

}  // namespace vigilorb::phone
