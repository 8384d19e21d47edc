// The device payload, the signed local envelope and the receiving side's check.
#include <gtest/gtest.h>

#include <bit>

#include "protocol_fixtures.hpp"
#include "security/codec.hpp"
#include "security/snapshot_envelope.hpp"

using namespace vigilorb;
using namespace vigilorb::protocol_fixtures;

namespace {

Json reencode(std::string_view envelope, const std::function<void(Json&)>& change) {
    auto j = json::parse(envelope).value();
    change(j);
    return j;
}

}  // namespace

TEST(DeviceSnapshotPayload, EmptySnapshot) {
    auto p = security::DeviceSnapshotPayload::make(store::CompanionSnapshot{}, at(10));
    EXPECT_EQ(p.encode(), R"({"generatedAt":10,"pendingActions":[],"quotas":[],"schemaVersion":2,"tasks":[]})");
}

TEST(DeviceSnapshotPayload, OrdersListsAndSortsKeysEverywhere) {
    auto p = security::DeviceSnapshotPayload::make(sampleSnapshot(), at(700000200));
    std::vector<std::string> quotas, tasks, actions;
    for (auto& q : p.quotas) quotas.push_back(q.accountID);
    for (auto& t : p.tasks) tasks.push_back(t.id);
    for (auto& a : p.pendingActions) actions.push_back(a.id);
    EXPECT_EQ(quotas, (std::vector<std::string>{"alpha", "mid", "zeta"}));
    EXPECT_EQ(tasks, (std::vector<std::string>{"t-a", "t-b", "t-old"}));
    EXPECT_EQ(actions, (std::vector<std::string>{"p-1", "p-2"}));

    auto text = p.encode().value();
    EXPECT_EQ(json::parse(text).value().dump(), text) << "compact, sorted";
    EXPECT_NE(text.find(R"({"accountID":"alpha","capturedAt":700000001,"provider":"claude","windows":[{"durationMinutes":300,"kind":"fiveHour","resetsAt":800000000,"usedPercentage":42.5}]})"),
              std::string::npos)
        << text;
    EXPECT_EQ(security::DeviceSnapshotPayload::decode(text).value(), p);
}

TEST(SignedSnapshotEnvelope, LayoutOfAuthenticatedBytes) {
    security::SignedSnapshotEnvelope e;
    e.keyIdentifier = "0123456789abcdef";
    e.nonce = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    e.createdAt = at(0);
    e.expiresAt = at(120);
    e.payload = security::crypto::bytesOf("{}");
    Bytes expected = security::crypto::bytesOf("Vigilorb.LocalSnapshot.v1");
    expected.push_back(0);
    for (int i = 0; i < 7; ++i) expected.push_back(0);
    expected.push_back(1);
    security::codec::appendText(expected, "0123456789abcdef");
    expected.push_back(0);
    security::codec::appendText(expected, "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    expected.push_back(0);
    // 978307200.0 and 978307320.0 as big-endian binary64.
    for (auto v : {0x41CD27E440000000ull, 0x41CD27E47C000000ull})
        for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<std::uint8_t>(v >> shift));
    security::codec::appendText(expected, "{}");
    EXPECT_EQ(e.authenticatedBytes(), expected);
    e.schemaVersion = -1;
    EXPECT_EQ(e.authenticatedBytes(), std::unexpected(security::LocalSnapshotProtocolError::incompatibleSchema));
}

TEST(SignedSnapshotEnvelope, CreatedEnvelopeJsonAndCode) {
    auto k = key();
    Date now = at(700000000.123456);
    auto text = security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, now).value();
    auto j = json::parse(text).value();
    std::vector<std::string> order;
    auto ordered = nlohmann::ordered_json::parse(text);
    for (auto& [name, _] : ordered.items()) order.push_back(name);
    EXPECT_EQ(order, (std::vector<std::string>{"schemaVersion", "keyIdentifier", "nonce", "createdAt", "expiresAt",
                                               "payload", "authenticationCode"}));
    EXPECT_EQ(j["schemaVersion"], 1);
    EXPECT_EQ(j["keyIdentifier"], k.keyIdentifier());
    EXPECT_EQ(security::codec::canonicalUUID(j["nonce"].get<std::string>()), j["nonce"].get<std::string>()) << "upper case";
    EXPECT_EQ(j["expiresAt"].get<double>() - j["createdAt"].get<double>(), 120.0);
    EXPECT_EQ(j["createdAt"].get<double>(), now.sinceReference);

    // Recomputing from the decoded JSON reproduces the code.
    auto e = security::SignedSnapshotEnvelope::decode(text).value();
    EXPECT_EQ(e.authenticationCode.size(), 32u);
    EXPECT_EQ(security::crypto::hmacSha256(k.bytes(), e.authenticatedBytes().value()), e.authenticationCode);
    EXPECT_EQ(security::crypto::stringOf(e.payload), security::DeviceSnapshotPayload::make(sampleSnapshot(), now).encode());
    EXPECT_EQ(e.encode(), text);

    auto second = security::SignedSnapshotEnvelope::decode(security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, now).value()).value();
    EXPECT_NE(second.nonce, e.nonce);
    EXPECT_NE(second.authenticationCode, e.authenticationCode);
}

// The phone's check: each outcome from one valid envelope changed in one way.
TEST(SignedEnvelopeReceiver, Outcomes) {
    auto k = key();
    Date created = at(700000000.5);
    auto good = security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, created).value();
    auto resign = [&](const std::function<void(security::SignedSnapshotEnvelope&)>& change) {
        auto e = security::SignedSnapshotEnvelope::decode(good).value();
        change(e);
        e.authenticationCode = security::crypto::hmacSha256(k.bytes(), e.authenticatedBytes().value());
        return e.encode().value();
    };
    auto flip = [](Bytes b, std::size_t i) {
        b[i] ^= 0x01;
        return b;
    };
    using E = security::LocalSnapshotProtocolError;
    struct Case {
        const char* name;
        std::string envelope;
        Date now;
        std::optional<E> expected;
    } cases[] = {
        {"valid", good, created + 60, std::nullopt},
        {"valid at expiry", good, created + 120, std::nullopt},
        {"valid created 30 s ahead", good, created - 30, std::nullopt},
        {"not json", "{", created, E::incompatibleSchema},
        {"missing payload", reencode(good, [](Json& j) { j.erase("payload"); }).dump(), created, E::incompatibleSchema},
        {"schema 2", resign([](auto& e) { e.schemaVersion = 2; }), created, E::incompatibleSchema},
        {"empty window", resign([](auto& e) { e.expiresAt = e.createdAt; }), created, E::invalidValidityWindow},
        {"window 121 s", resign([](auto& e) { e.expiresAt = e.createdAt + 121; }), created, E::invalidValidityWindow},
        {"payload byte", reencode(good, [&](Json& j) {
             j["payload"] = security::crypto::base64Encode(flip(*security::crypto::base64Decode(j["payload"].get<std::string>()), 3));
         }).dump(), created, E::invalidAuthenticationCode},
        {"key identifier", reencode(good, [](Json& j) { j["keyIdentifier"] = "0000000000000000"; }).dump(), created,
         E::invalidAuthenticationCode},
        {"createdAt", reencode(good, [](Json& j) { j["createdAt"] = j["createdAt"].get<double>() + 1; }).dump(), created,
         E::invalidAuthenticationCode},
        {"expiresAt", reencode(good, [](Json& j) { j["expiresAt"] = j["expiresAt"].get<double>() - 1; }).dump(), created,
         E::invalidAuthenticationCode},
        {"nonce", reencode(good, [](Json& j) { j["nonce"] = "00000000-0000-4000-8000-000000000000"; }).dump(), created,
         E::invalidAuthenticationCode},
        {"code", reencode(good, [&](Json& j) {
             j["authenticationCode"] = security::crypto::base64Encode(
                 flip(*security::crypto::base64Decode(j["authenticationCode"].get<std::string>()), 31));
         }).dump(), created, E::invalidAuthenticationCode},
        {"other key", security::SignedSnapshotEnvelope::create(sampleSnapshot(), key(1), created).value(), created,
         E::invalidAuthenticationCode},
        {"expired", good, created + 120.001, E::envelopeExpired},
        {"from future", good, created - 30.001, E::envelopeFromFuture},
    };
    for (auto& c : cases) {
        security::SnapshotNonceReplayGuard guard;
        auto payload = security::SignedEnvelopeReceiver::check(c.envelope, k, c.now, guard);
        if (c.expected)
            EXPECT_EQ(payload, std::unexpected(*c.expected)) << c.name;
        else
            EXPECT_EQ(payload, security::SignedSnapshotEnvelope::decode(good).value().payload) << c.name;
    }
}

TEST(SignedEnvelopeReceiver, ReplayedNonceIsRefusedUntilItsEnvelopeExpires) {
    auto k = key();
    security::SnapshotNonceReplayGuard guard;
    auto envelope = security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, at(1000)).value();
    EXPECT_TRUE(security::SignedEnvelopeReceiver::check(envelope, k, at(1000), guard));
    EXPECT_EQ(security::SignedEnvelopeReceiver::check(envelope, k, at(1001), guard),
              std::unexpected(security::LocalSnapshotProtocolError::replayedNonce));
    // A fresh envelope is accepted, and once the first has expired its nonce is forgotten.
    EXPECT_TRUE(security::SignedEnvelopeReceiver::check(security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, at(1001)).value(),
                                                        k, at(1001), guard));
    EXPECT_TRUE(security::SignedEnvelopeReceiver::check(security::SignedSnapshotEnvelope::create(sampleSnapshot(), k, at(1200)).value(),
                                                        k, at(1200), guard));
    EXPECT_EQ(guard.size(), 1u);
}

TEST(SnapshotNonceReplayGuard, FullGuardNeverForgetsALiveNonceSilently) {
    security::SnapshotNonceReplayGuard guard(2);
    EXPECT_TRUE(guard.consume("A", at(110), at(0)));
    EXPECT_TRUE(guard.consume("B", at(120), at(0)));
    EXPECT_TRUE(guard.consume("C", at(130), at(0)));  // drops A
    EXPECT_EQ(guard.size(), 2u);
    EXPECT_FALSE(guard.consume("A", at(110), at(1))) << "A was dropped but is still live";
    EXPECT_FALSE(guard.consume("D", at(105), at(1))) << "expires no later than a dropped nonce";
    EXPECT_FALSE(guard.consume("B", at(120), at(1)));
    EXPECT_TRUE(guard.consume("E", at(125), at(1)));
}
