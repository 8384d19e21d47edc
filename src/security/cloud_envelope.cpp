#include "security/cloud_envelope.hpp"

#include "model/text.hpp"
#include "security/codec.hpp"
#include "security/snapshot_envelope.hpp"

namespace vigilorb::security {

std::expected<Bytes, CloudSnapshotError> EncryptedCloudSnapshotEnvelope::associatedData() const {
    if (schemaVersion < 0) return std::unexpected(CloudSnapshotError::incompatibleSchema);
    Bytes out;
    codec::appendText(out, label);
    out.push_back(0);
    codec::appendText(out, sourceID);
    out.push_back(0);
    codec::appendText(out, sourceName);
    out.push_back(0);
    codec::appendText(out, keyIdentifier);
    out.push_back(0);
    codec::appendUInt64(out, static_cast<std::uint64_t>(schemaVersion));
    codec::appendUInt64(out, sequence);
    codec::appendUnixTime(out, generatedAt);
    return out;
}

EncryptedCloudSnapshotEnvelope EncryptedCloudSnapshotEnvelope::sealPayload(const Bytes& payload,
                                                                           const std::string& companionID,
                                                                           const std::string& companionName,
                                                                           const LocalPairingKey& key,
                                                                           std::uint64_t sequence, Date now) {
    EncryptedCloudSnapshotEnvelope e;
    e.sourceID = companionID;
    e.sourceName = text::graphemePrefix(companionName, sourceNameLimit);
    e.keyIdentifier = key.keyIdentifier();
    e.sequence = sequence;
    e.generatedAt = now;
    // A current-schema envelope, a 32-byte key and a fresh 12-byte nonce: neither step can refuse.
    e.sealedPayload = crypto::sealCombined(key.bytes(), payload, e.associatedData().value()).value();
    return e;
}

std::expected<EncryptedCloudSnapshotEnvelope, codec::EncodeFailure> EncryptedCloudSnapshotEnvelope::seal(
    const store::CompanionSnapshot& snapshot, const std::string& companionID, const std::string& companionName,
    const LocalPairingKey& key, std::uint64_t sequence, Date now) {
    auto payload = DeviceSnapshotPayload::make(snapshot, now).encode();
    if (!payload) return std::unexpected(std::move(payload.error()));
    return sealPayload(crypto::bytesOf(*payload), companionID, companionName, key, sequence, now);
}

std::expected<std::string, codec::EncodeFailure> EncryptedCloudSnapshotEnvelope::encode() const {
    codec::OrderedJson j = codec::OrderedJson::object();
    j["schemaVersion"] = schemaVersion;
    j["sourceID"] = sourceID;
    j["sourceName"] = sourceName;
    j["keyIdentifier"] = keyIdentifier;
    j["sequence"] = sequence;
    j["generatedAt"] = codec::dateNumber(generatedAt);
    j["sealedPayload"] = crypto::base64Encode(sealedPayload);
    return codec::dumpCompact(j);
}

std::expected<EncryptedCloudSnapshotEnvelope, json::DocumentFailure> EncryptedCloudSnapshotEnvelope::decode(
    std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& j) {
        json::object(j, "EncryptedCloudSnapshotEnvelope");
        EncryptedCloudSnapshotEnvelope e;
        e.schemaVersion = codec::requireInteger(j, "schemaVersion");
        e.sourceID = json::requireString(j, "sourceID");
        e.sourceName = json::requireString(j, "sourceName");
        e.keyIdentifier = json::requireString(j, "keyIdentifier");
        const Json& sequence = json::require(j, "sequence");
        if (sequence.is_number_unsigned())
            e.sequence = sequence.get<std::uint64_t>();
        else if (sequence.is_number_integer() && sequence.get<long long>() >= 0)
            e.sequence = static_cast<std::uint64_t>(sequence.get<long long>());
        else
            throw DecodingError("Expected an unsigned integer for key \"sequence\"");
        e.generatedAt = json::requireDate(j, "generatedAt");
        e.sealedPayload = codec::requireBase64(j, "sealedPayload");
        return e;
    });
}

std::expected<Bytes, CloudSnapshotError> EncryptedCloudSnapshotEnvelope::open(const LocalPairingKey& key) const {
    if (schemaVersion != currentSchemaVersion) return std::unexpected(CloudSnapshotError::incompatibleSchema);
    if (keyIdentifier != key.keyIdentifier()) return std::unexpected(CloudSnapshotError::unknownKey);
    if (sealedPayload.size() < crypto::chachaNonceSize + crypto::chachaTagSize)
        return std::unexpected(CloudSnapshotError::invalidSealedPayload);
    auto aad = associatedData();
    if (!aad) return std::unexpected(aad.error());
    auto opened = crypto::openCombined(key.bytes(), sealedPayload, *aad);
    if (!opened) return std::unexpected(CloudSnapshotError::authenticationFailed);
    return std::move(*opened);
}

std::expected<Bytes, CloudSnapshotError> EncryptedCloudSnapshotEnvelope::open(std::string_view envelopeJSON,
                                                                            const LocalPairingKey& key) {
    auto e = decode(envelopeJSON);
    if (!e) return std::unexpected(CloudSnapshotError::incompatibleSchema);
    return e->open(key);
}

RelayCredentials RelayCredentials::make(std::string baseURL, const LocalPairingKey& key,
                                        const std::string& companionID) {
    return RelayCredentials{std::move(baseURL), key.relayDigest(LocalPairingKey::relayChannelLabel, companionID),
                            key.relayDigest(LocalPairingKey::relayAccessLabel, companionID)};
}

}  // namespace vigilorb::security
