#include "security/cloud_envelope.hpp"

#include "model/text.hpp"
#include "security/codec.hpp"
#include "security/snapshot_envelope.hpp"

namespace vigilorb::security {

namespace {
[[noreturn]] void fail(CloudSnapshotError e) { throw Failure<CloudSnapshotError>(e, std::string(rawValue(e))); }
}  // namespace

Bytes EncryptedCloudSnapshotEnvelope::associatedData() const {
    if (schemaVersion < 0) fail(CloudSnapshotError::incompatibleSchema);
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
    e.sealedPayload = crypto::sealCombined(key.bytes(), payload, e.associatedData());
    return e;
}

EncryptedCloudSnapshotEnvelope EncryptedCloudSnapshotEnvelope::seal(const store::CompanionSnapshot& snapshot,
                                                                    const std::string& companionID,
                                                                    const std::string& companionName,
                                                                    const LocalPairingKey& key, std::uint64_t sequence,
                                                                    Date now) {
    auto payload = DeviceSnapshotPayload::make(snapshot, now).encode();
    return sealPayload(crypto::bytesOf(payload), companionID, companionName, key, sequence, now);
}

std::string EncryptedCloudSnapshotEnvelope::encode() const {
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

EncryptedCloudSnapshotEnvelope EncryptedCloudSnapshotEnvelope::decode(std::string_view bytes) {
    auto parsed = json::parse(bytes);
    // These decoders still throw (their callers catch DecodingError).
    if (!parsed) throw DecodingError(parsed.error().detail);
    const Json& j = *parsed;
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
}

Bytes EncryptedCloudSnapshotEnvelope::open(const LocalPairingKey& key) const {
    if (schemaVersion != currentSchemaVersion) fail(CloudSnapshotError::incompatibleSchema);
    if (keyIdentifier != key.keyIdentifier()) fail(CloudSnapshotError::unknownKey);
    if (sealedPayload.size() < crypto::chachaNonceSize + crypto::chachaTagSize)
        fail(CloudSnapshotError::invalidSealedPayload);
    try {
        return crypto::openCombined(key.bytes(), sealedPayload, associatedData());
    } catch (const Failure<crypto::CryptoError>&) {
        fail(CloudSnapshotError::authenticationFailed);
    }
}

Bytes EncryptedCloudSnapshotEnvelope::open(std::string_view envelopeJSON, const LocalPairingKey& key) {
    EncryptedCloudSnapshotEnvelope e;
    try {
        e = decode(envelopeJSON);
    } catch (const DecodingError&) {
        fail(CloudSnapshotError::incompatibleSchema);
    }
    return e.open(key);
}

RelayCredentials RelayCredentials::make(std::string baseURL, const LocalPairingKey& key,
                                        const std::string& companionID) {
    return RelayCredentials{std::move(baseURL), key.relayDigest(LocalPairingKey::relayChannelLabel, companionID),
                            key.relayDigest(LocalPairingKey::relayAccessLabel, companionID)};
}

}  // namespace vigilorb::security
