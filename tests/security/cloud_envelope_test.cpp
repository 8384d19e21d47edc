// The sealed cloud envelope and the relay credentials.
#include <gtest/gtest.h>

#include <regex>

#include "model/text.hpp"
#include "protocol_fixtures.hpp"
#include "security/cloud_envelope.hpp"
#include "security/codec.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"

using namespace vigilorb;
using namespace vigilorb::protocol_fixtures;

namespace {

const std::string companionID = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";

std::optional<security::CloudSnapshotError> openError(const std::string& envelope, const security::LocalPairingKey& k) {
    auto opened = security::EncryptedCloudSnapshotEnvelope::open(envelope, k);
    if (opened) return std::nullopt;
    return opened.error();
}

}  // namespace

TEST(EncryptedCloudSnapshotEnvelope, SealsThePayloadAndOpens) {
    auto k = key();
    Date now = at(700000000.75);
    auto e = security::EncryptedCloudSnapshotEnvelope::seal(sampleSnapshot(), companionID, "Ada's workstation", k, 7, now).value();
    auto payload = security::DeviceSnapshotPayload::make(sampleSnapshot(), now).encode().value();
    EXPECT_EQ(e.sealedPayload.size(), payload.size() + 28);
    EXPECT_EQ(e.sourceID, companionID);
    EXPECT_EQ(e.keyIdentifier, k.keyIdentifier());
    EXPECT_EQ(e.sequence, 7u);
    EXPECT_EQ(e.generatedAt, now);
    EXPECT_EQ(security::crypto::stringOf(security::EncryptedCloudSnapshotEnvelope::open(e.encode().value(), k).value()), payload);

    auto again = security::EncryptedCloudSnapshotEnvelope::seal(sampleSnapshot(), companionID, "Ada's workstation", k, 7, now).value();
    EXPECT_NE(again.sealedPayload, e.sealedPayload) << "fresh nonce for every seal";

    std::vector<std::string> order;
    auto ordered = nlohmann::ordered_json::parse(e.encode().value());
    for (auto& [name, _] : ordered.items()) order.push_back(name);
    EXPECT_EQ(order, (std::vector<std::string>{"schemaVersion", "sourceID", "sourceName", "keyIdentifier", "sequence",
                                               "generatedAt", "sealedPayload"}));
    EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(e.encode().value()), e);
}

TEST(EncryptedCloudSnapshotEnvelope, AssociatedDataLayout) {
    security::EncryptedCloudSnapshotEnvelope e;
    e.sourceID = "mac-1";
    e.sourceName = "Box";
    e.keyIdentifier = "0123456789abcdef";
    e.sequence = 0x0102030405060708ull;
    e.generatedAt = at(0);
    Bytes expected = security::crypto::bytesOf(std::string("Vigilorb.CloudSnapshot.v1\0mac-1\0Box\0" "0123456789abcdef\0", 53));
    for (int i = 0; i < 7; ++i) expected.push_back(0);
    expected.push_back(1);
    for (std::uint8_t b = 1; b <= 8; ++b) expected.push_back(b);
    for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<std::uint8_t>(0x41CD27E440000000ull >> shift));
    EXPECT_EQ(e.associatedData(), expected);
    e.schemaVersion = -1;
    EXPECT_EQ(e.associatedData(), std::unexpected(security::CloudSnapshotError::incompatibleSchema));
}

TEST(EncryptedCloudSnapshotEnvelope, LongNameIsCutAndCovered) {
    std::string name;
    for (int i = 0; i < 80; ++i) name += "é";
    auto k = key();
    auto e = security::EncryptedCloudSnapshotEnvelope::seal(store::CompanionSnapshot{}, companionID, name, k, 1, at(5)).value();
    EXPECT_EQ(text::graphemeCount(e.sourceName), 64u);
    EXPECT_EQ(e.sourceName, text::graphemePrefix(name, 64));
    auto aad = e.associatedData().value();
    auto cut = security::crypto::bytesOf(e.sourceName + std::string(1, '\0'));
    EXPECT_NE(std::search(aad.begin(), aad.end(), cut.begin(), cut.end()), aad.end());
    EXPECT_TRUE(security::EncryptedCloudSnapshotEnvelope::open(e.encode().value(), k));
}

TEST(EncryptedCloudSnapshotEnvelope, OpeningOutcomes) {
    auto k = key();
    auto good = security::EncryptedCloudSnapshotEnvelope::seal(sampleSnapshot(), companionID, "Box", k, 41, at(100.5)).value();
    auto changed = [&](const std::function<void(Json&)>& f) {
        auto j = json::parse(good.encode().value()).value();
        f(j);
        return j.dump();
    };
    auto flipSealed = [&](std::size_t index) {
        return changed([&](Json& j) {
            auto b = *security::crypto::base64Decode(j["sealedPayload"].get<std::string>());
            b[index] ^= 0x80;
            j["sealedPayload"] = security::crypto::base64Encode(b);
        });
    };
    using E = security::CloudSnapshotError;
    struct Case {
        const char* name;
        std::string envelope;
        std::optional<E> expected;
        security::LocalPairingKey key;
    } cases[] = {
        {"valid", good.encode().value(), std::nullopt, k},
        {"sequence + 1", changed([](Json& j) { j["sequence"] = 42; }), E::authenticationFailed, k},
        {"sequence - 1", changed([](Json& j) { j["sequence"] = 40; }), E::authenticationFailed, k},
        {"source name", changed([](Json& j) { j["sourceName"] = "Box2"; }), E::authenticationFailed, k},
        {"source ID", changed([](Json& j) { j["sourceID"] = "mac-2"; }), E::authenticationFailed, k},
        {"generatedAt", changed([](Json& j) { j["generatedAt"] = 100.25; }), E::authenticationFailed, k},
        {"nonce byte", flipSealed(0), E::authenticationFailed, k},
        {"ciphertext byte", flipSealed(20), E::authenticationFailed, k},
        {"tag byte", flipSealed(good.sealedPayload.size() - 1), E::authenticationFailed, k},
        {"truncated", changed([](Json& j) { j["sealedPayload"] = security::crypto::base64Encode(Bytes(27, 1)); }),
         E::invalidSealedPayload, k},
        {"other key", good.encode().value(), E::unknownKey, key(1)},
        {"key identifier", changed([](Json& j) { j["keyIdentifier"] = key(1).keyIdentifier(); }), E::authenticationFailed,
         key(1)},
        {"schema 2", changed([](Json& j) { j["schemaVersion"] = 2; }), E::incompatibleSchema, k},
        {"negative sequence", changed([](Json& j) { j["sequence"] = -1; }), E::incompatibleSchema, k},
        {"not json", "]", E::incompatibleSchema, k},
    };
    for (auto& c : cases) EXPECT_EQ(openError(c.envelope, c.key), c.expected) << c.name;
}

TEST(EncryptedCloudSnapshotEnvelope, LargestSequenceSurvivesJson) {
    auto k = key();
    auto e = security::EncryptedCloudSnapshotEnvelope::seal(store::CompanionSnapshot{}, companionID, "Box", k,
                                                  std::numeric_limits<std::uint64_t>::max(), at(1)).value();
    EXPECT_EQ(security::EncryptedCloudSnapshotEnvelope::decode(e.encode().value()).value().sequence, std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(security::EncryptedCloudSnapshotEnvelope::open(e.encode().value(), k));
}

// JSON cannot carry bytes that are not UTF-8, and replacing them would change what is signed: a
// document holding such text is refused on the sending side, never sent altered or half-built.
TEST(OutgoingDocuments, TextThatIsNotUTF8IsRefused) {
    auto k = key();
    auto snapshot = sampleSnapshot();
    snapshot.tasksByID["b"].title = "bad \xFF byte";
    auto hello = security::PairingHello::make(k.bytes(), "mac-1", "Phone \xC3", at(1));
    security::PairingInvitation invitation;
    invitation.companionName = "Box \xE2\x82";
    struct Case {
        const char* name;
        std::expected<std::string, security::codec::EncodeFailure> result;
    } cases[] = {
        {"payload", security::DeviceSnapshotPayload::make(snapshot, at(1)).encode()},
        {"signed envelope", security::SignedSnapshotEnvelope::create(snapshot, k, at(1))},
        {"hello", hello.encode()},
        {"invitation", invitation.qrPayload()},
    };
    for (auto& c : cases) {
        ASSERT_FALSE(c.result) << c.name;
        EXPECT_EQ(c.result.error().code, security::codec::EncodeError::invalidText) << c.name;
        EXPECT_TRUE(c.result.error().detail.starts_with("Cannot encode: ")) << c.name << ": " << c.result.error().detail;
    }
    auto sealed = security::EncryptedCloudSnapshotEnvelope::seal(snapshot, companionID, "Box", k, 1, at(1));
    ASSERT_FALSE(sealed);
    EXPECT_EQ(sealed.error().code, security::codec::EncodeError::invalidText);
}

TEST(RelayCredentials, DerivedFromKeyAndCompanion) {
    auto k = key();
    auto c = security::RelayCredentials::make("https://relay.example.com", k, companionID);
    const std::regex hex64("^[0-9a-f]{64}$");
    EXPECT_TRUE(std::regex_match(c.channelID, hex64));
    EXPECT_TRUE(std::regex_match(c.accessToken, hex64));
    EXPECT_NE(c.channelID, c.accessToken);
    EXPECT_EQ(c.channelID.find(companionID), std::string::npos);
    EXPECT_EQ(c.accessToken.find(companionID), std::string::npos);
    EXPECT_EQ(c.channelID, k.relayDigest("Vigilorb.RelayChannel.v1", companionID));
    EXPECT_EQ(c.accessToken, k.relayDigest("Vigilorb.RelayAccess.v1", companionID));
    EXPECT_NE(security::RelayCredentials::make("https://relay.example.com", key(1), companionID), c);
}
