// Our bytes against an independent implementation (Python's `cryptography`), both ways.
#include <gtest/gtest.h>

#include <cstdlib>

#include "protocol_fixtures.hpp"
#include "security/cloud_envelope.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::protocol_fixtures;

TEST(IndependentImplementation, AgreesInBothDirections) {
    test::TempDir dir;
    const security::CompanionIdentity identity{"mac-0f1e2d3c-4b5a-4697-8877-665544332211", "Ada's \"Lab\" / Werkstatt"};
    Date now = Date::now();
    auto invitation = security::PairingInvitation::generate(identity, std::string("https://relay.example.com/v"), now).value();
    auto key = security::LocalPairingKey::deriveFromInvitation(invitation, now).value();

    auto signedText = security::SignedSnapshotEnvelope::create(sampleSnapshot(), key, now).value();
    auto sealed = security::EncryptedCloudSnapshotEnvelope::seal(sampleSnapshot(), identity.id, identity.name, key, 9, now).value();
    test::writeText(dir / "key.hex", security::crypto::hexLowercase(key.bytes()));
    test::writeText(dir / "signed.json", signedText);
    test::writeText(dir / "sealed.json", sealed.encode().value());
    test::writeText(dir / "invitation.json", invitation.qrPayload().value());
    Json request = {{"companionID", identity.id}, {"deviceName", "Ada’s phone"}, {"createdAt", now.sinceReference}};
    test::writeText(dir / "hello-request.json", request.dump());

    std::string command = "/usr/bin/python3 " VIGILORB_CROSSCHECK_SCRIPT " '" + dir.path().string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    auto result = json::parse(test::readText(dir / "result.json")).value();
    auto expectedPayload = security::DeviceSnapshotPayload::make(sampleSnapshot(), now).encode().value();
    EXPECT_EQ(security::crypto::base64Decode(result["signedPayload"].get<std::string>()), security::crypto::bytesOf(expectedPayload));
    EXPECT_EQ(security::crypto::base64Decode(result["sealedPayload"].get<std::string>()), security::crypto::bytesOf(expectedPayload));
    EXPECT_EQ(result["invitation"]["key"], security::crypto::hexLowercase(key.bytes()));
    EXPECT_EQ(result["invitation"]["keyIdentifier"], key.keyIdentifier());
    EXPECT_EQ(result["invitation"]["verificationCode"], invitation.verificationCode());
    EXPECT_EQ(result["invitation"]["companionName"], identity.name);
    EXPECT_EQ(result["invitation"]["relayBaseURL"], "https://relay.example.com/v");
    // The fixture's records in the order the phone must see them, read back by the other side.
    EXPECT_EQ(result["order"], Json({{"quotas", {"alpha", "mid", "zeta"}},
                                     {"tasks", {"t-a", "t-b", "t-old"}},
                                     {"pendingActions", {"p-1", "p-2"}}}));

    auto hello = security::PairingHello::decode(test::readText(dir / "hello.json")).value();
    EXPECT_TRUE(hello.verify(key.bytes(), now));
    EXPECT_EQ(hello.deviceName, "Ada’s phone");
    EXPECT_EQ(hello.verify(key.bytes(), now + 61), std::unexpected(security::LocalSnapshotProtocolError::envelopeExpired));
}
