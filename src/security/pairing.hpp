#pragma once
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"
#include "model/json.hpp"
#include "security/codec.hpp"
#include "security/identity.hpp"
#include "security/pairing_key.hpp"
#include "security/protocol_error.hpp"

namespace vigilorb::security {

// Field rules shared by invitation generation and validation ("characters" are graphemes).
namespace pairing_rules {
inline constexpr std::size_t companionIDLimit = 64;
inline constexpr std::size_t companionNameLimit = 64;
inline constexpr std::size_t relayAddressLimit = 512;
bool isValidCompanionID(std::string_view id);
bool isValidCompanionName(const std::optional<std::string>& name);
bool isValidRelayBaseURL(const std::optional<std::string>& url);
}  // namespace pairing_rules

// The one-time invitation shown as a QR code: everything the phone needs to derive the key.
struct PairingInvitation {
    static constexpr long long currentSchemaVersion = 1;
    static constexpr double lifetime = 120;
    static constexpr double longestWindow = 300;
    static constexpr double allowedSkew = 30;
    static constexpr std::size_t secretSize = 32;
    static constexpr const char* verificationLabel = "Vigilorb.PairingVerification.v1:";

    long long schemaVersion = currentSchemaVersion;
    std::string id;  // canonical upper-case UUID text
    std::string companionID;
    std::optional<std::string> companionName;
    std::optional<std::string> relayBaseURL;
    Date issuedAt;
    Date expiresAt;
    Bytes secret;

    bool operator==(const PairingInvitation&) const = default;

    // `relayAddress` is the relay address in force (stored or default); it becomes relayBaseURL
    // when it is a valid, non-empty relay address. Fails with invalidCompanionID,
    // invalidCompanionName or invalidRelayConfiguration.
    [[nodiscard]] static std::expected<PairingInvitation, PairingInvitationError>
    generate(const CompanionIdentity& identity, const std::optional<std::string>& relayAddress, Date now);

    // The first that applies, in this order: incompatibleSchema, invalidInvitation,
    // invalidValidityWindow, notYetValid, expired.
    [[nodiscard]] std::expected<void, PairingInvitationError> validate(Date now) const;

    // The QR code's message: JSON with sorted keys, compact, UTF-8.
    [[nodiscard]] std::expected<std::string, codec::EncodeFailure> qrPayload() const;
    // invalidJSON or invalidShape for a document that is not an invitation.
    [[nodiscard]] static std::expected<PairingInvitation, json::DocumentFailure> decode(std::string_view bytes);

    // Six decimal digits both screens show: HMAC(secret, label + lower(id)), first 4 bytes
    // big-endian, modulo 1000000, zero-padded.
    std::string verificationCode() const;

    // Text for diagnostics; never shows the secret.
    std::string description() const;
};

// The phone's proof, on connecting over the local link, that it holds the pairing key.
struct PairingHello {
    static constexpr long long currentSchemaVersion = 1;
    static constexpr double allowedAge = 60;
    static constexpr std::size_t fieldLimit = 64;
    static constexpr const char* label = "Vigilorb.PairingHello.v1";

    long long schemaVersion = currentSchemaVersion;
    std::string companionID;
    std::string deviceName;
    std::string nonce;  // canonical upper-case UUID text
    Date createdAt;
    Bytes authenticationCode;

    bool operator==(const PairingHello&) const = default;

    // What the phone does: a fresh nonce, authenticated with the key bytes.
    static PairingHello make(const Bytes& key, std::string companionID, std::string deviceName, Date now,
                             std::string nonce = {});

    // label 0 companionID 0 deviceName 0 lower(nonce) 0 createdAt (Unix binary64, big-endian).
    Bytes authenticatedBytes() const;

    // The first that applies: incompatibleSchema, envelopeExpired (more than 60 s from now
    // either way), invalidAuthenticationCode.
    [[nodiscard]] std::expected<void, LocalSnapshotProtocolError> verify(const Bytes& key, Date now) const;

    // Compact JSON in field order.
    [[nodiscard]] std::expected<std::string, codec::EncodeFailure> encode() const;
    [[nodiscard]] static std::expected<PairingHello, json::DocumentFailure> decode(std::string_view bytes);
};

}  // namespace vigilorb::security
