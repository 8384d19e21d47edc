#pragma once
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "security/crypto.hpp"
#include "security/protocol_error.hpp"

namespace vigilorb::security {

struct PairingInvitation;

using crypto::hexLowercase;

// The 32-byte secret shared by this computer and the paired phone.
class LocalPairingKey {
public:
    static constexpr std::size_t size = 32;
    static constexpr const char* derivationLabel = "Vigilorb.PairingKey.v1";
    static constexpr const char* relayChannelLabel = "Vigilorb.RelayChannel.v1";
    static constexpr const char* relayAccessLabel = "Vigilorb.RelayAccess.v1";

    // Nothing for any length other than 32.
    static std::optional<LocalPairingKey> fromBytes(Bytes bytes);

    // Validates the invitation at `now` (its PairingInvitationError is returned), then
    // HKDF-SHA256(secret, salt = companion ID, info = derivationLabel) to 32 bytes.
    [[nodiscard]] static std::expected<LocalPairingKey, PairingInvitationError>
    deriveFromInvitation(const PairingInvitation& invitation, Date now);

    const Bytes& bytes() const { return bytes_; }
    // First 8 bytes of SHA-256 of the key, 16 lower-case hex characters.
    std::string keyIdentifier() const;
    // HMAC-SHA256 of "label:value" keyed with the key, 64 lower-case hex characters.
    std::string relayDigest(std::string_view label, std::string_view value) const;

    bool operator==(const LocalPairingKey&) const = default;

private:
    explicit LocalPairingKey(Bytes bytes) : bytes_(std::move(bytes)) {}
    Bytes bytes_;
};

}  // namespace vigilorb::security
