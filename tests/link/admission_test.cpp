// Admission of one connection: the first frame must be a fresh hello for this companion, made
// with the active key, whose nonce was never admitted before.
#include <gtest/gtest.h>

#include "link/admission.hpp"
#include "security/pairing.hpp"

using namespace vigilorb;
using namespace vigilorb::link;
using Clock = std::chrono::steady_clock;

namespace {

const std::string companionID = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
const Date now = Date::fromReference(800000000);
const Clock::time_point accepted{};
const Clock::time_point deadline = accepted + helloTimeout;

security::LocalPairingKey keyOf(std::uint8_t fill) { return *security::LocalPairingKey::fromBytes(Bytes(32, fill)); }
const security::LocalPairingKey activeKey = keyOf(0x5a);

std::string helloFrame(const security::LocalPairingKey& key = activeKey, std::string id = companionID, std::string device = "Pixel",
                       Date created = now, std::string nonce = {}) {
    return encodeFrame(security::PairingHello::make(key.bytes(), std::move(id), std::move(device), created, std::move(nonce)).encode().value());
}

struct Connection {
    ConsumedNonces& nonces;
    security::LocalPairingKey key = activeKey;
    ReceiverAdmission admission{companionID, key, nonces, deadline};

    AdmissionStep send(const std::string& bytes, Clock::time_point at = accepted) {
        return admission.receive(bytes, now, at);
    }
};

std::optional<Decline> declineOf(const AdmissionStep& step) {
    if (auto* d = std::get_if<Declined>(&step)) return d->reason;
    return std::nullopt;
}

}  // namespace

TEST(Admission, ValidHelloIsAdmittedWithTheAuthenticatedText) {
    ConsumedNonces nonces;
    Connection c{nonces};
    auto step = c.send(helloFrame());
    auto* admitted = std::get_if<Admitted>(&step);
    ASSERT_NE(admitted, nullptr);
    EXPECT_EQ(admitted->deviceName, "Pixel");
    EXPECT_EQ(admitted->statusText, "Authenticated Pixel; reconnecting automatically\u2026");
    EXPECT_EQ(c.admission.state(), ReceiverAdmission::State::admitted);
    EXPECT_EQ(nonces.size(), 1u);
}

TEST(Admission, HelloSplitAcrossChunksIsAdmittedOnItsLastByte) {
    ConsumedNonces nonces;
    Connection c{nonces};
    auto frame = helloFrame();
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
        ASSERT_TRUE(std::holds_alternative<std::monostate>(c.send(frame.substr(i, 1)))) << i;
    EXPECT_TRUE(std::holds_alternative<Admitted>(c.send(frame.substr(frame.size() - 1))));
}

TEST(Admission, DeclinesEachBadFirstFrame) {
    struct Case {
        const char* what;
        std::string bytes;
        Decline reason;
        std::optional<security::LocalSnapshotProtocolError> error = std::nullopt;
    };
    using E = security::LocalSnapshotProtocolError;
    const Case cases[] = {
        {"empty frame", encodeFrame(""), Decline::noHello},
        {"not JSON", encodeFrame("{not json"), Decline::undecodableHello},
        {"JSON but no hello", encodeFrame(R"({"schemaVersion":1})"), Decline::undecodableHello},
        {"junk exactly at the size limit", encodeFrame(std::string(maxHelloFrame, 'x')), Decline::undecodableHello},
        {"announced one byte over the limit", encodeFrame(std::string(maxHelloFrame + 1, 'x')).substr(0, 4),
         Decline::helloTooLarge},
        {"another companion", helloFrame(activeKey, "mac-11111111-2222-4333-8444-555555555555"), Decline::otherCompanion},
        {"made 61 s ago", helloFrame(activeKey, companionID, "Pixel", now - 61), Decline::failedVerification,
         E::envelopeExpired},
        {"made 61 s ahead", helloFrame(activeKey, companionID, "Pixel", now + 61), Decline::failedVerification,
         E::envelopeExpired},
        {"made with another key", helloFrame(keyOf(0x01)), Decline::failedVerification, E::invalidAuthenticationCode},
        {"65-character device name", helloFrame(activeKey, companionID, std::string(65, 'd')),
         Decline::failedVerification, E::incompatibleSchema},
    };
    for (const auto& c : cases) {
        ConsumedNonces nonces;
        Connection conn{nonces};
        auto step = conn.send(c.bytes);
        auto* declined = std::get_if<Declined>(&step);
        ASSERT_NE(declined, nullptr) << c.what;
        EXPECT_EQ(declined->reason, c.reason) << c.what;
        EXPECT_EQ(declined->verifyError, c.error) << c.what;
        EXPECT_EQ(conn.admission.state(), ReceiverAdmission::State::closed) << c.what;
        EXPECT_EQ(nonces.size(), 0u) << c.what;
        // A closed connection ignores whatever still arrives, even a valid hello.
        EXPECT_TRUE(std::holds_alternative<std::monostate>(conn.send(helloFrame()))) << c.what;
    }
}

TEST(Admission, PeerLeavingBeforeAHelloIsNoHello) {
    for (std::size_t sentBytes : {std::size_t{0}, std::size_t{2}, std::size_t{10}}) {
        ConsumedNonces nonces;
        Connection c{nonces};
        c.send(helloFrame().substr(0, sentBytes));
        EXPECT_EQ(declineOf(c.admission.closed()), Decline::noHello) << sentBytes;
    }
    // Leaving after admission is no decline.
    ConsumedNonces nonces;
    Connection c{nonces};
    c.send(helloFrame());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(c.admission.closed()));
}

TEST(Admission, HelloDeadline) {
    ConsumedNonces nonces;
    Connection early{nonces};
    EXPECT_TRUE(std::holds_alternative<std::monostate>(early.admission.tick(deadline - std::chrono::milliseconds(1))));
    EXPECT_EQ(declineOf(early.admission.tick(deadline)), Decline::helloTimedOut);

    // A hello that completes only after the deadline is too late, however valid.
    Connection late{nonces};
    EXPECT_EQ(declineOf(late.send(helloFrame(), deadline)), Decline::helloTimedOut);
    EXPECT_EQ(nonces.size(), 0u);

    // Once admitted, the deadline no longer applies.
    Connection admitted{nonces};
    admitted.send(helloFrame());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(admitted.admission.tick(deadline + std::chrono::hours(1))));
    EXPECT_EQ(admitted.admission.state(), ReceiverAdmission::State::admitted);
}

TEST(Admission, NonceIsAdmittedOnceForTheKeysLife) {
    ConsumedNonces nonces;
    const std::string nonce = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    auto first = helloFrame(activeKey, companionID, "Pixel", now, nonce);
    Connection a{nonces};
    EXPECT_TRUE(std::holds_alternative<Admitted>(a.send(first)));
    Connection b{nonces};
    EXPECT_EQ(declineOf(b.send(first)), Decline::consumedNonce);

    // The code covers the nonce in lower case, so a replay that only changes the case of its
    // letters still verifies; it must still count as the same nonce.
    auto hello = security::PairingHello::make(activeKey.bytes(), companionID, "Pixel", now, nonce);
    auto json = hello.encode().value();
    auto at = json.find(nonce);
    ASSERT_NE(at, std::string::npos);
    json.replace(at, nonce.size(), "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9");
    Connection c{nonces};
    EXPECT_EQ(declineOf(c.send(encodeFrame(json))), Decline::consumedNonce);
}

TEST(Admission, HelloUnderTheOldKeyAfterANewActivation) {
    // A new key comes with a new link and a fresh nonce set; the old key's hello fails its code.
    const auto oldKey = keyOf(0x01);
    ConsumedNonces freshNonces;
    Connection c{freshNonces, activeKey};
    auto step = c.send(helloFrame(oldKey));
    auto* declined = std::get_if<Declined>(&step);
    ASSERT_NE(declined, nullptr);
    EXPECT_EQ(declined->reason, Decline::failedVerification);
    EXPECT_EQ(declined->verifyError, security::LocalSnapshotProtocolError::invalidAuthenticationCode);
}

TEST(Admission, BytesAfterTheHelloAreDroppedNeverActedOn) {
    ConsumedNonces nonces;
    Connection c{nonces};
    // The hello and more in one chunk: a second hello, junk, and a header far over any limit.
    auto trailing = helloFrame() + encodeFrame("junk") + std::string("\xff\xff\xff\xff", 4);
    EXPECT_TRUE(std::holds_alternative<Admitted>(c.send(helloFrame() + trailing)));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::holds_alternative<std::monostate>(c.send(trailing)));
    EXPECT_EQ(c.admission.state(), ReceiverAdmission::State::admitted);
    EXPECT_EQ(nonces.size(), 1u);  // the hello behind the first one was never judged
}
