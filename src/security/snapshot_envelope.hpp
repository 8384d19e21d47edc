#pragma once
#include <cstddef>
#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/json.hpp"
#include "model/records.hpp"
#include "security/codec.hpp"
#include "security/pairing_key.hpp"
#include "security/protocol_error.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::security {

// The phone-facing projection of the snapshot: three ordered lists, nothing internal.
struct DeviceSnapshotPayload {
    static constexpr long long currentSchemaVersion = 2;

    long long schemaVersion = currentSchemaVersion;
    Date generatedAt;
    std::vector<AccountQuotaSnapshot> quotas;
    std::vector<TaskSnapshot> tasks;
    std::vector<PendingAction> pendingActions;

    bool operator==(const DeviceSnapshotPayload&) const = default;

    // Quotas by account ID; tasks and actions newest first, ties by ID ascending.
    static DeviceSnapshotPayload make(const store::CompanionSnapshot& snapshot, Date generatedAt);
    // Compact JSON with keys sorted at every level.
    [[nodiscard]] std::expected<std::string, codec::EncodeFailure> encode() const;
    [[nodiscard]] static std::expected<DeviceSnapshotPayload, json::DocumentFailure> decode(std::string_view bytes);
};

// A payload bound to the pairing key for the local link: HMAC-SHA256 over authenticatedBytes,
// a fresh nonce and a two-minute window.
struct SignedSnapshotEnvelope {
    static constexpr long long currentSchemaVersion = 1;
    static constexpr double lifetime = 120;
    static constexpr const char* label = "Vigilorb.LocalSnapshot.v1";

    long long schemaVersion = currentSchemaVersion;
    std::string keyIdentifier;
    std::string nonce;  // canonical upper-case UUID text
    Date createdAt;
    Date expiresAt;
    Bytes payload;
    Bytes authenticationCode;

    bool operator==(const SignedSnapshotEnvelope&) const = default;

    // label 0 schemaVersion(u64 BE) keyIdentifier 0 lower(nonce) 0 createdAt expiresAt payload;
    // incompatibleSchema for a negative schemaVersion.
    [[nodiscard]] std::expected<Bytes, LocalSnapshotProtocolError> authenticatedBytes() const;

    // Signs given payload bytes with a given nonce (a fresh one when empty).
    static SignedSnapshotEnvelope sign(Bytes payload, const LocalPairingKey& key, Date now, std::string nonce = {});
    // Payload of the snapshot at `now`, signed, encoded: the bytes the transport sends.
    [[nodiscard]] static std::expected<std::string, codec::EncodeFailure> create(const store::CompanionSnapshot& snapshot,
                                                                                const LocalPairingKey& key, Date now);

    // Compact JSON in field order (no key sorting).
    [[nodiscard]] std::expected<std::string, codec::EncodeFailure> encode() const;
    [[nodiscard]] static std::expected<SignedSnapshotEnvelope, json::DocumentFailure> decode(std::string_view bytes);
};

// Remembers the nonces of accepted envelopes until those envelopes expire (receiving side).
// When more than `capacity` are live, the one expiring first is dropped and every envelope that
// expires no later than it is refused from then on, so a dropped nonce can never be replayed.
class SnapshotNonceReplayGuard {
public:
    explicit SnapshotNonceReplayGuard(std::size_t capacity = 4096) : capacity_(capacity) {}

    // Records the nonce; false when it was already used (or can no longer be told apart).
    bool consume(const std::string& nonce, Date expiresAt, Date now);
    std::size_t size() const { return consumedNonces_.size(); }

private:
    std::size_t capacity_;
    std::map<std::string, Date> consumedNonces_;
    std::optional<Date> floor_;
};

// The receiving side's check, as the phone runs it. Returns the payload bytes or the first
// LocalSnapshotProtocolError that applies, checking in this order: incompatibleSchema (also for
// a document that is not an envelope), invalidValidityWindow (empty or longer than 120 s),
// invalidAuthenticationCode, envelopeExpired (now after expiresAt), envelopeFromFuture
// (created more than `allowedSkew` seconds ahead of now), replayedNonce.
struct SignedEnvelopeReceiver {
    static constexpr double allowedSkew = 30;
    [[nodiscard]] static std::expected<Bytes, LocalSnapshotProtocolError> check(std::string_view envelopeJSON,
                                                                               const LocalPairingKey& key, Date now,
                                                                               SnapshotNonceReplayGuard& guard);
};

}  // namespace vigilorb::security
