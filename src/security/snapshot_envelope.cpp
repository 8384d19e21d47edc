#include "security/snapshot_envelope.hpp"

#include <algorithm>

#include "model/events.hpp"
#include "security/codec.hpp"

namespace vigilorb::security {

namespace {

template <class T>
std::vector<T> decodeList(const Json& obj, const char* key) {
    const Json& list = json::require(obj, key);
    if (!list.is_array()) throw DecodingError(std::string("Expected a list for key \"") + key + "\"");
    std::vector<T> out;
    for (const auto& item : list) out.push_back(item.get<T>());
    return out;
}

}  // namespace

DeviceSnapshotPayload DeviceSnapshotPayload::make(const store::CompanionSnapshot& snapshot, Date generatedAt) {
    DeviceSnapshotPayload p;
    p.generatedAt = generatedAt;
    for (const auto& [_, q] : snapshot.quotasByAccount) p.quotas.push_back(q);
    for (const auto& [_, t] : snapshot.tasksByID) p.tasks.push_back(t);
    for (const auto& [_, a] : snapshot.pendingActionsByID) p.pendingActions.push_back(a);
    std::stable_sort(p.quotas.begin(), p.quotas.end(),
                     [](const auto& a, const auto& b) { return a.accountID < b.accountID; });
    std::sort(p.tasks.begin(), p.tasks.end(), [](const auto& a, const auto& b) {
        if (a.updatedAt != b.updatedAt) return a.updatedAt > b.updatedAt;
        return a.id < b.id;
    });
    std::sort(p.pendingActions.begin(), p.pendingActions.end(), [](const auto& a, const auto& b) {
        if (a.requestedAt != b.requestedAt) return a.requestedAt > b.requestedAt;
        return a.id < b.id;
    });
    return p;
}

std::expected<std::string, codec::EncodeFailure> DeviceSnapshotPayload::encode() const {
    // Json keeps its keys in a sorted map, which gives the sorted form at every level.
    Json j = Json::object();
    j["schemaVersion"] = schemaVersion;
    j["generatedAt"] = dateToJson(generatedAt);
    j["quotas"] = quotas;
    j["tasks"] = tasks;
    j["pendingActions"] = pendingActions;
    return codec::dumpCompact(j);
}

std::expected<DeviceSnapshotPayload, json::DocumentFailure> DeviceSnapshotPayload::decode(std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& j) {
        json::object(j, "DeviceSnapshotPayload");
        DeviceSnapshotPayload p;
        p.schemaVersion = codec::requireInteger(j, "schemaVersion");
        p.generatedAt = json::requireDate(j, "generatedAt");
        p.quotas = decodeList<AccountQuotaSnapshot>(j, "quotas");
        p.tasks = decodeList<TaskSnapshot>(j, "tasks");
        p.pendingActions = decodeList<PendingAction>(j, "pendingActions");
        return p;
    });
}

std::expected<Bytes, LocalSnapshotProtocolError> SignedSnapshotEnvelope::authenticatedBytes() const {
    if (schemaVersion < 0) return std::unexpected(LocalSnapshotProtocolError::incompatibleSchema);
    Bytes out;
    codec::appendText(out, label);
    out.push_back(0);
    codec::appendUInt64(out, static_cast<std::uint64_t>(schemaVersion));
    codec::appendText(out, keyIdentifier);
    out.push_back(0);
    codec::appendText(out, codec::asciiLowercase(nonce));
    out.push_back(0);
    codec::appendUnixTime(out, createdAt);
    codec::appendUnixTime(out, expiresAt);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

SignedSnapshotEnvelope SignedSnapshotEnvelope::sign(Bytes payload, const LocalPairingKey& key, Date now,
                                                    std::string nonce) {
    SignedSnapshotEnvelope e;
    e.keyIdentifier = key.keyIdentifier();
    e.nonce = nonce.empty() ? makeUUID() : codec::canonicalUUID(nonce).value_or(nonce);
    e.createdAt = now;
    e.expiresAt = now + lifetime;
    e.payload = std::move(payload);
    // The envelope carries the current schema, so its bytes always exist.
    e.authenticationCode = crypto::hmacSha256(key.bytes(), e.authenticatedBytes().value());
    return e;
}

std::expected<std::string, codec::EncodeFailure> SignedSnapshotEnvelope::create(const store::CompanionSnapshot& snapshot,
                                                                                const LocalPairingKey& key, Date now) {
    auto payload = DeviceSnapshotPayload::make(snapshot, now).encode();
    if (!payload) return payload;
    return sign(crypto::bytesOf(*payload), key, now).encode();
}

std::expected<std::string, codec::EncodeFailure> SignedSnapshotEnvelope::encode() const {
    codec::OrderedJson j = codec::OrderedJson::object();
    j["schemaVersion"] = schemaVersion;
    j["keyIdentifier"] = keyIdentifier;
    j["nonce"] = nonce;
    j["createdAt"] = codec::dateNumber(createdAt);
    j["expiresAt"] = codec::dateNumber(expiresAt);
    j["payload"] = crypto::base64Encode(payload);
    j["authenticationCode"] = crypto::base64Encode(authenticationCode);
    return codec::dumpCompact(j);
}

std::expected<SignedSnapshotEnvelope, json::DocumentFailure> SignedSnapshotEnvelope::decode(std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& j) {
        json::object(j, "SignedSnapshotEnvelope");
        SignedSnapshotEnvelope e;
        e.schemaVersion = codec::requireInteger(j, "schemaVersion");
        e.keyIdentifier = json::requireString(j, "keyIdentifier");
        e.nonce = codec::requireUUID(j, "nonce");
        e.createdAt = json::requireDate(j, "createdAt");
        e.expiresAt = json::requireDate(j, "expiresAt");
        e.payload = codec::requireBase64(j, "payload");
        e.authenticationCode = codec::requireBase64(j, "authenticationCode");
        return e;
    });
}

bool SnapshotNonceReplayGuard::consume(const std::string& nonce, Date expiresAt, Date now) {
    std::erase_if(consumedNonces_, [&](const auto& entry) { return entry.second < now; });
    if (floor_ && expiresAt <= *floor_) return false;
    if (!consumedNonces_.emplace(nonce, expiresAt).second) return false;
    while (consumedNonces_.size() > capacity_) {
        auto oldest = std::min_element(consumedNonces_.begin(), consumedNonces_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
        floor_ = floor_ ? std::max(*floor_, oldest->second) : oldest->second;
        consumedNonces_.erase(oldest);
    }
    return true;
}

std::expected<Bytes, LocalSnapshotProtocolError> SignedEnvelopeReceiver::check(std::string_view envelopeJSON,
                                                                               const LocalPairingKey& key, Date now,
                                                                               SnapshotNonceReplayGuard& guard) {
    using E = LocalSnapshotProtocolError;
    auto decoded = SignedSnapshotEnvelope::decode(envelopeJSON);
    if (!decoded) return std::unexpected(E::incompatibleSchema);
    const auto& e = *decoded;
    if (e.schemaVersion != SignedSnapshotEnvelope::currentSchemaVersion) return std::unexpected(E::incompatibleSchema);
    double window = e.expiresAt - e.createdAt;
    if (!(window > 0 && window <= SignedSnapshotEnvelope::lifetime)) return std::unexpected(E::invalidValidityWindow);
    auto signedBytes = e.authenticatedBytes();
    if (!signedBytes) return std::unexpected(signedBytes.error());
    if (!crypto::constantTimeEqual(crypto::hmacSha256(key.bytes(), *signedBytes), e.authenticationCode))
        return std::unexpected(E::invalidAuthenticationCode);
    if (now > e.expiresAt) return std::unexpected(E::envelopeExpired);
    if (e.createdAt > now + allowedSkew) return std::unexpected(E::envelopeFromFuture);
    if (!guard.consume(e.nonce, e.expiresAt, now)) return std::unexpected(E::replayedNonce);
    return e.payload;
}

}  // namespace vigilorb::security
