#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "model/json.hpp"
#include "security/codec.hpp"
#include "security/pairing_key.hpp"
#include "security/protocol_error.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::security {

// The payload sealed with ChaCha20-Poly1305 for the relay; the clear fields are bound to the
// ciphertext as associated data, so the relay can route it but neither read nor alter it.
struct EncryptedCloudSnapshotEnvelope {
    static constexpr long long currentSchemaVersion = 1;
    static constexpr std::size_t sourceNameLimit = 64;
    static constexpr const char* label = "Vigilorb.CloudSnapshot.v1";

    long long schemaVersion = currentSchemaVersion;
    std::string sourceID;
    std::string sourceName;
    std::string keyIdentifier;
    std::uint64_t sequence = 0;
    Date generatedAt;
    Bytes sealedPayload;  // nonce(12) || ciphertext || tag(16)

    bool operator==(const EncryptedCloudSnapshotEnvelope&) const = default;

    // label 0 sourceID 0 sourceName 0 keyIdentifier 0 schemaVersion(u64 BE) sequence(u64 BE)
    // generatedAt (Unix binary64 BE); incompatibleSchema for a negative schemaVersion.
    [[nodiscard]] std::expected<Bytes, CloudSnapshotError> associatedData() const;

    // Seals the snapshot's payload generated at `now` under the key with a fresh nonce; fails
    // only when the payload cannot be encoded.
    [[nodiscard]] static std::expected<EncryptedCloudSnapshotEnvelope, codec::EncodeFailure>
    seal(const store::CompanionSnapshot& snapshot, const std::string& companionID, const std::string& companionName,
         const LocalPairingKey& key, std::uint64_t sequence, Date now);
    // Seals given payload bytes (the payload's generatedAt must be `now`).
    static EncryptedCloudSnapshotEnvelope sealPayload(const Bytes& payload, const std::string& companionID,
                                                      const std::string& companionName, const LocalPairingKey& key,
                                                      std::uint64_t sequence, Date now);

    // Compact JSON in field order.
    [[nodiscard]] std::expected<std::string, codec::EncodeFailure> encode() const;
    [[nodiscard]] static std::expected<EncryptedCloudSnapshotEnvelope, json::DocumentFailure> decode(std::string_view bytes);

    // Receiving side: the payload bytes, or why not (a document that is not an envelope is
    // incompatibleSchema).
    [[nodiscard]] std::expected<Bytes, CloudSnapshotError> open(const LocalPairingKey& key) const;
    [[nodiscard]] static std::expected<Bytes, CloudSnapshotError> open(std::string_view envelopeJSON,
                                                                       const LocalPairingKey& key);
};

// What the uploader needs to address the relay; only holders of the key can compute them.
struct RelayCredentials {
    std::string baseURL;
    std::string channelID;
    std::string accessToken;

    bool operator==(const RelayCredentials&) const = default;

    static RelayCredentials make(std::string baseURL, const LocalPairingKey& key, const std::string& companionID);
};

}  // namespace vigilorb::security
