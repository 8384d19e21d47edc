#include "security/pairing.hpp"

#include <cmath>
#include <cstdio>

#include "model/events.hpp"
#include "model/text.hpp"
#include "security/codec.hpp"
#include "security/relay_address.hpp"

namespace vigilorb::security {

namespace {

bool nonEmptyWithin(std::string_view s, std::size_t limit) {
    return !s.empty() && text::isValidUTF8(s) && text::graphemeCount(s) <= limit;
}

}  // namespace

bool pairing_rules::isValidCompanionID(std::string_view id) {
    if (!nonEmptyWithin(id, companionIDLimit)) return false;
    bool ok = true;
    text::forEachScalar(id, [&](char32_t c) {
        if (!(text::isAlphanumeric(c) || c == U'-' || c == U'_')) ok = false;
    });
    return ok;
}

bool pairing_rules::isValidCompanionName(const std::optional<std::string>& name) {
    if (!name) return true;
    return text::isValidUTF8(*name) && !text::trimmed(*name).empty() &&
           text::graphemeCount(*name) <= companionNameLimit;
}

bool pairing_rules::isValidRelayBaseURL(const std::optional<std::string>& url) {
    if (!url) return true;
    // An empty text is "no relay" as a preference, but never a relay URL; and a URL carries no
    // surrounding blanks (the preference check trims them, a URL in an invitation must not have any).
    return !url->empty() && text::trimmed(*url) == *url && isValidRelayAddress(*url) &&
           text::graphemeCount(*url) <= relayAddressLimit;
}

std::expected<PairingInvitation, PairingInvitationError> PairingInvitation::generate(
    const CompanionIdentity& identity, const std::optional<std::string>& relayAddress, Date now) {
    using E = PairingInvitationError;
    std::optional<std::string> relay;
    if (relayAddress && isValidRelayAddress(*relayAddress)) {
        auto trimmed = text::trimmed(*relayAddress);
        if (!trimmed.empty()) relay = trimmed;
    }
    PairingInvitation inv;
    inv.id = makeUUID();
    if (!pairing_rules::isValidCompanionID(identity.id)) return std::unexpected(E::invalidCompanionID);
    if (!pairing_rules::isValidCompanionName(identity.name)) return std::unexpected(E::invalidCompanionName);
    if (!pairing_rules::isValidRelayBaseURL(relay)) return std::unexpected(E::invalidRelayConfiguration);
    inv.secret = crypto::randomBytes(secretSize);
    inv.companionID = identity.id;
    inv.companionName = identity.name;
    inv.relayBaseURL = relay;
    inv.issuedAt = now;
    inv.expiresAt = now + lifetime;
    return inv;
}

std::expected<void, PairingInvitationError> PairingInvitation::validate(Date now) const {
    using E = PairingInvitationError;
    if (schemaVersion != currentSchemaVersion) return std::unexpected(E::incompatibleSchema);
    if (!pairing_rules::isValidCompanionID(companionID) || !pairing_rules::isValidCompanionName(companionName) ||
        !pairing_rules::isValidRelayBaseURL(relayBaseURL) || secret.size() != secretSize)
        return std::unexpected(E::invalidInvitation);
    double window = expiresAt - issuedAt;
    if (!(window > 0 && window <= longestWindow)) return std::unexpected(E::invalidValidityWindow);
    if (!(issuedAt <= now + allowedSkew)) return std::unexpected(E::notYetValid);
    if (!(now <= expiresAt)) return std::unexpected(E::expired);
    return {};
}

std::expected<std::string, codec::EncodeFailure> PairingInvitation::qrPayload() const {
    Json j = Json::object();
    j["schemaVersion"] = schemaVersion;
    j["id"] = id;
    j["companionID"] = companionID;
    if (companionName) j["companionName"] = *companionName;
    if (relayBaseURL) j["relayBaseURL"] = *relayBaseURL;
    j["issuedAt"] = dateToJson(issuedAt);
    j["expiresAt"] = dateToJson(expiresAt);
    j["secret"] = crypto::base64Encode(secret);
    return codec::dumpCompact(j);
}

std::expected<PairingInvitation, json::DocumentFailure> PairingInvitation::decode(std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& j) {
        json::object(j, "PairingInvitation");
        PairingInvitation inv;
        inv.schemaVersion = codec::requireInteger(j, "schemaVersion");
        inv.id = codec::requireUUID(j, "id");
        inv.companionID = json::requireString(j, "companionID");
        inv.companionName = json::optionalString(j, "companionName");
        inv.relayBaseURL = json::optionalString(j, "relayBaseURL");
        inv.issuedAt = json::requireDate(j, "issuedAt");
        inv.expiresAt = json::requireDate(j, "expiresAt");
        inv.secret = codec::requireBase64(j, "secret");
        return inv;
    });
}

std::string PairingInvitation::verificationCode() const {
    auto code = crypto::hmacSha256(secret, crypto::bytesOf(std::string(verificationLabel) + codec::asciiLowercase(id)));
    std::uint32_t value = static_cast<std::uint32_t>(code[0]) << 24 | static_cast<std::uint32_t>(code[1]) << 16 |
                          static_cast<std::uint32_t>(code[2]) << 8 | static_cast<std::uint32_t>(code[3]);
    char out[8];
    std::snprintf(out, sizeof out, "%06u", static_cast<unsigned>(value % 1000000u));
    return out;
}

std::string PairingInvitation::description() const {
    return "PairingInvitation(id: " + id + ", companionID: " + companionID +
           ", companionName: " + companionName.value_or("unknown") + ", secret: <redacted>)";
}

std::expected<LocalPairingKey, PairingInvitationError> LocalPairingKey::deriveFromInvitation(
    const PairingInvitation& invitation, Date now) {
    if (auto valid = invitation.validate(now); !valid) return std::unexpected(valid.error());
    // HKDF refuses only lengths of 0 or above 8160 bytes, and gives exactly the 32 asked for.
    return LocalPairingKey(crypto::hkdfSha256(invitation.secret, crypto::bytesOf(invitation.companionID),
                                              crypto::bytesOf(derivationLabel), size)
                               .value());
}

PairingHello PairingHello::make(const Bytes& key, std::string companionID, std::string deviceName, Date now,
                                std::string nonce) {
    PairingHello h;
    h.companionID = std::move(companionID);
    h.deviceName = std::move(deviceName);
    h.nonce = nonce.empty() ? makeUUID() : codec::canonicalUUID(nonce).value_or(nonce);
    h.createdAt = now;
    h.authenticationCode = crypto::hmacSha256(key, h.authenticatedBytes());
    return h;
}

Bytes PairingHello::authenticatedBytes() const {
    Bytes out;
    codec::appendText(out, label);
    out.push_back(0);
    codec::appendText(out, companionID);
    out.push_back(0);
    codec::appendText(out, deviceName);
    out.push_back(0);
    codec::appendText(out, codec::asciiLowercase(nonce));
    out.push_back(0);
    codec::appendUnixTime(out, createdAt);
    return out;
}

std::expected<void, LocalSnapshotProtocolError> PairingHello::verify(const Bytes& key, Date now) const {
    using E = LocalSnapshotProtocolError;
    if (schemaVersion != currentSchemaVersion || !nonEmptyWithin(companionID, fieldLimit) ||
        !nonEmptyWithin(deviceName, fieldLimit))
        return std::unexpected(E::incompatibleSchema);
    // Written so that a NaN time also fails.
    if (!(std::fabs(now - createdAt) <= allowedAge)) return std::unexpected(E::envelopeExpired);
    if (!crypto::constantTimeEqual(crypto::hmacSha256(key, authenticatedBytes()), authenticationCode))
        return std::unexpected(E::invalidAuthenticationCode);
    return {};
}

std::expected<std::string, codec::EncodeFailure> PairingHello::encode() const {
    codec::OrderedJson j = codec::OrderedJson::object();
    j["schemaVersion"] = schemaVersion;
    j["companionID"] = companionID;
    j["deviceName"] = deviceName;
    j["nonce"] = nonce;
    j["createdAt"] = codec::dateNumber(createdAt);
    j["authenticationCode"] = crypto::base64Encode(authenticationCode);
    return codec::dumpCompact(j);
}

std::expected<PairingHello, json::DocumentFailure> PairingHello::decode(std::string_view bytes) {
    return json::decodeDocument(bytes, [](const Json& j) {
        json::object(j, "PairingHello");
        PairingHello h;
        h.schemaVersion = codec::requireInteger(j, "schemaVersion");
        h.companionID = json::requireString(j, "companionID");
        h.deviceName = json::requireString(j, "deviceName");
        h.nonce = codec::requireUUID(j, "nonce");
        h.createdAt = json::requireDate(j, "createdAt");
        h.authenticationCode = codec::requireBase64(j, "authenticationCode");
        return h;
    });
}

}  // namespace vigilorb::security
