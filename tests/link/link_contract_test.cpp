// What a receiver must reproduce: the advertised name and record, the session key, the bounds.
#include <gtest/gtest.h>

#include "link/link_contract.hpp"

using namespace vigilorb;
using namespace vigilorb::link;

namespace {
const std::string companionID = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
}

TEST(LinkContract, PeerDisplayNameIsTheLastEightCharacters) {
    EXPECT_EQ(peerDisplayName(companionID), "VLOB-44332211");
    EXPECT_EQ(peerDisplayName("short"), "VLOB-short");
}

TEST(LinkContract, TxtRecordCarriesTheCompanionID) {
    EXPECT_EQ(txtRecord(companionID), std::vector<std::string>{"companion=" + companionID});
    EXPECT_EQ(companionFromTxt(txtRecord(companionID)), companionID);
}

TEST(LinkContract, CompanionFromTxtEntries) {
    struct Case {
        std::vector<std::string> entries;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{"other=x", "companion=mac-1"}, "mac-1"},
        {{"Companion=mac-2"}, "mac-2"},        // DNS-SD keys are case-insensitive
        {{"companion"}, std::nullopt},         // a key without a value is not an ID
        {{"companionX=mac-3"}, std::nullopt},  // a longer key is another key
        {{"companion=mac-4", "companion=mac-5"}, "mac-4"},  // the first one counts, as in DNS-SD
    };
    for (const auto& c : cases) EXPECT_EQ(companionFromTxt(c.entries), c.expected) << ::testing::PrintToString(c.entries);
}

TEST(LinkContract, SessionKeyAndIdentityMatchAnIndependentComputation) {
    auto key = *security::LocalPairingKey::fromBytes(Bytes(32, 0x5a));
    // Python: hmac.new(bytes([0x5a]*32), b"Vigilorb.LocalLink.v1:" + id, sha256); sha256(key)[:8].
    EXPECT_EQ(security::crypto::hexLowercase(sessionPreSharedKey(key, companionID)),
              "bb4113fcc1edabd8a523d582b88ba38ef63f974213d38337745decc3e7ad2535");
    EXPECT_EQ(sessionPskIdentity(key), "60bf07c488aad18f");
    // Neither the signing key itself nor the relay digests under another label.
    EXPECT_NE(sessionPreSharedKey(key, companionID), key.bytes());
    EXPECT_NE(security::crypto::hexLowercase(sessionPreSharedKey(key, companionID)),
              key.relayDigest(security::LocalPairingKey::relayChannelLabel, companionID));
    EXPECT_NE(sessionPreSharedKey(key, companionID), sessionPreSharedKey(key, "mac-other"));
}

TEST(LinkContract, ConnectionAndQueueBounds) {
    EXPECT_TRUE(mayAcceptWaiting(0));
    EXPECT_TRUE(mayAcceptWaiting(15));
    EXPECT_FALSE(mayAcceptWaiting(16));

    struct Case {
        std::size_t queued, frame;
        bool allowed;
    };
    const std::size_t limit = maxQueuedBytes;
    const Case cases[] = {
        {0, limit, true},         {1, limit, false},    {limit, 0, true},
        {limit - 10, 10, true},   {limit - 10, 11, false},
        {limit + 1, 0, false},    {0, SIZE_MAX, false},  // no overflow in the sum
    };
    for (const auto& c : cases) EXPECT_EQ(mayQueue(c.queued, c.frame), c.allowed) << c.queued << " + " << c.frame;
}
