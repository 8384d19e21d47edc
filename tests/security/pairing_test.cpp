// Invitation generation, validation, QR content, verification code; the hello.
#include <gtest/gtest.h>

#include <regex>

#include "protocol_fixtures.hpp"
#include "security/codec.hpp"
#include "security/pairing.hpp"
#include "security/relay_address.hpp"

using namespace vigilorb;
using namespace vigilorb::protocol_fixtures;

namespace {

const security::CompanionIdentity identity{"mac-0f1e2d3c-4b5a-4697-8877-665544332211", "Ada's workstation"};

// The refusal a result carries, or nothing when it succeeded.
template <class T, class E>
std::optional<E> errorOf(const std::expected<T, E>& result) {
    if (result) return std::nullopt;
    return result.error();
}

security::PairingInvitation validInvitation(Date now = at(1000)) {
    return security::PairingInvitation::generate(identity, std::string("https://relay.example.com/base"), now).value();
}

}  // namespace

TEST(PairingInvitation, GenerationFillsEveryField) {
    auto inv = validInvitation();
    EXPECT_EQ(inv.schemaVersion, 1);
    EXPECT_EQ(security::codec::canonicalUUID(inv.id), inv.id);
    EXPECT_EQ(inv.companionID, identity.id);
    EXPECT_EQ(inv.companionName, identity.name);
    EXPECT_EQ(inv.relayBaseURL, "https://relay.example.com/base");
    EXPECT_EQ(inv.issuedAt, at(1000));
    EXPECT_EQ(inv.expiresAt, at(1120));
    EXPECT_EQ(inv.secret.size(), 32u);
    EXPECT_NE(validInvitation().secret, inv.secret);
    EXPECT_NE(validInvitation().id, inv.id);
    EXPECT_TRUE(inv.validate(at(1000)));
}

TEST(PairingInvitation, GenerationErrorsAndRelayPreference) {
    using E = security::PairingInvitationError;
    EXPECT_EQ(errorOf(security::PairingInvitation::generate({"mac 1", "n"}, std::nullopt, at(0))),
              E::invalidCompanionID);
    EXPECT_EQ(errorOf(security::PairingInvitation::generate({"mac-1", " \n"}, std::nullopt, at(0))),
              E::invalidCompanionName);
    EXPECT_EQ(errorOf(security::PairingInvitation::generate({"mac-1", std::string(65, 'n')}, std::nullopt, at(0))),
              E::invalidCompanionName);
    std::string longRelay = "https://relay.example.com/" + std::string(500, 'p');
    EXPECT_EQ(errorOf(security::PairingInvitation::generate({"mac-1", "n"}, longRelay, at(0))),
              E::invalidRelayConfiguration);
    // An unusable relay preference means no relay, not a failure.
    for (auto relay : {std::optional<std::string>(), std::optional<std::string>(""),
                       std::optional<std::string>("http://relay.example.com"),
                       std::optional<std::string>("https://relay.example.com/?q=1")})
        EXPECT_EQ(security::PairingInvitation::generate(identity, relay, at(0)).value().relayBaseURL, std::nullopt);
    EXPECT_EQ(security::PairingInvitation::generate(identity, std::string("  https://r.example  "), at(0)).value().relayBaseURL,
              "https://r.example");
}

TEST(PairingInvitation, ValidationOrderAndBoundaries) {
    using E = security::PairingInvitationError;
    struct Case {
        const char* name;
        std::function<void(security::PairingInvitation&)> change;
        double now;
        std::optional<E> expected;
    } cases[] = {
        {"fresh", [](auto&) {}, 1000, std::nullopt},
        {"schema 2 beats a broken field", [](auto& i) { i.schemaVersion = 2; i.secret.clear(); }, 1000,
         E::incompatibleSchema},
        {"secret 31 bytes", [](auto& i) { i.secret.resize(31); }, 1000, E::invalidInvitation},
        {"relay with query", [](auto& i) { i.relayBaseURL = "https://r.example/?a=b"; }, 1000, E::invalidInvitation},
        {"relay http", [](auto& i) { i.relayBaseURL = "http://r.example"; }, 1000, E::invalidInvitation},
        {"relay empty", [](auto& i) { i.relayBaseURL = ""; }, 1000, E::invalidInvitation},
        {"relay with surrounding blanks", [](auto& i) { i.relayBaseURL = " https://r.example/x\n"; }, 1000,
         E::invalidInvitation},
        {"relay of 512 characters",
         [](auto& i) { i.relayBaseURL = "https://r.example/" + std::string(512 - 18, 'p'); }, 1000, std::nullopt},
        {"relay of 513 characters",
         [](auto& i) { i.relayBaseURL = "https://r.example/" + std::string(513 - 18, 'p'); }, 1000,
         E::invalidInvitation},
        {"relay upper-case scheme", [](auto& i) { i.relayBaseURL = "HTTPS://r.example/x"; }, 1000, std::nullopt},
        {"companion ID with space", [](auto& i) { i.companionID = "mac 1"; }, 1000, E::invalidInvitation},
        {"companion ID with dot", [](auto& i) { i.companionID = "mac.1"; }, 1000, E::invalidInvitation},
        {"companion ID in another script", [](auto& i) { i.companionID = "Rechner_ü-٣"; }, 1000, std::nullopt},
        {"name absent", [](auto& i) { i.companionName.reset(); }, 1000, std::nullopt},
        {"name blank", [](auto& i) { i.companionName = "  "; }, 1000, E::invalidInvitation},
        {"broken field beats window", [](auto& i) { i.secret.resize(31); i.expiresAt = i.issuedAt; }, 1000,
         E::invalidInvitation},
        {"empty window", [](auto& i) { i.expiresAt = i.issuedAt; }, 1000, E::invalidValidityWindow},
        {"301 s window", [](auto& i) { i.expiresAt = i.issuedAt + 301; }, 1000, E::invalidValidityWindow},
        {"300 s window", [](auto& i) { i.expiresAt = i.issuedAt + 300; }, 1000, std::nullopt},
        {"issued 31 s ahead", [](auto&) {}, 969, E::notYetValid},
        {"issued 30 s ahead", [](auto&) {}, 970, std::nullopt},
        {"at expiry", [](auto&) {}, 1120, std::nullopt},
        {"a second after expiry", [](auto&) {}, 1121, E::expired},
    };
    for (auto& c : cases) {
        auto inv = validInvitation();
        c.change(inv);
        EXPECT_EQ(errorOf(inv.validate(at(c.now))), c.expected) << c.name;
        // Key derivation runs the same validation first and yields no key on failure.
        if (c.expected) {
            EXPECT_EQ(errorOf(security::LocalPairingKey::deriveFromInvitation(inv, at(c.now))), c.expected) << c.name;
        }
    }
}

TEST(PairingInvitation, FreshIdentityIDPassesTheCompanionIDRule) {
    MemoryPreferences prefs;
    auto fresh = security::CompanionIdentity::loadOrCreate(prefs, std::nullopt);
    EXPECT_TRUE(security::pairing_rules::isValidCompanionID(fresh.id));
    EXPECT_FALSE(security::pairing_rules::isValidCompanionID(std::string(65, 'a')));
    EXPECT_FALSE(security::pairing_rules::isValidCompanionID(""));
}

TEST(PairingInvitation, DerivedKeyIsHkdfOfTheSecret) {
    auto inv = validInvitation();
    auto derived = security::LocalPairingKey::deriveFromInvitation(inv, at(1000)).value();
    EXPECT_EQ(derived.bytes(), security::crypto::hkdfSha256(inv.secret, security::crypto::bytesOf(inv.companionID),
                                                  security::crypto::bytesOf("Vigilorb.PairingKey.v1"), 32).value());
    // The phone derives the same key from the scanned QR content.
    EXPECT_EQ(security::LocalPairingKey::deriveFromInvitation(security::PairingInvitation::decode(inv.qrPayload().value()).value(), at(1000)),
              derived);
}

TEST(PairingInvitation, QrPayloadIsSortedCompactJson) {
    auto inv = validInvitation();
    inv.secret = Bytes(32, 0xab);
    inv.id = "0A1B2C3D-0000-4000-8000-00000000000F";
    EXPECT_EQ(inv.qrPayload(),
              R"({"companionID":"mac-0f1e2d3c-4b5a-4697-8877-665544332211","companionName":"Ada's workstation",)"
              R"("expiresAt":1120,"id":"0A1B2C3D-0000-4000-8000-00000000000F","issuedAt":1000,)"
              R"("relayBaseURL":"https://relay.example.com/base","schemaVersion":1,)"
              R"("secret":"q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s="})");
    EXPECT_EQ(security::PairingInvitation::decode(inv.qrPayload().value()), inv);
    auto noRelay = security::PairingInvitation::generate(identity, std::nullopt, at(0)).value();
    EXPECT_EQ(noRelay.qrPayload().value().find("relayBaseURL"), std::string::npos);
}

TEST(PairingInvitation, VerificationCode) {
    auto inv = validInvitation();
    const std::regex sixDigits("^[0-9]{6}$");
    EXPECT_TRUE(std::regex_match(inv.verificationCode(), sixDigits));
    EXPECT_EQ(inv.verificationCode(), security::PairingInvitation::decode(inv.qrPayload().value()).value().verificationCode());
    // Recomputed by hand: HMAC over the label and the lower-case ID.
    auto mac = security::crypto::hmacSha256(inv.secret, security::crypto::bytesOf("Vigilorb.PairingVerification.v1:" +
                                                              security::codec::asciiLowercase(inv.id)));
    std::uint32_t v = std::uint32_t(mac[0]) << 24 | std::uint32_t(mac[1]) << 16 | std::uint32_t(mac[2]) << 8 | mac[3];
    EXPECT_EQ(std::stoul(inv.verificationCode()), v % 1000000);
    // Leading zeros are kept: search secrets until the reduced value is below 1000.
    for (std::uint32_t seed = 0;; ++seed) {
        inv.secret = security::crypto::sha256(security::crypto::bytesOf(std::to_string(seed)));
        auto code = inv.verificationCode();
        if (code.starts_with("000")) {
            EXPECT_EQ(code.size(), 6u) << code;
            break;
        }
    }
}

TEST(PairingInvitation, DescriptionRedactsTheSecret) {
    auto inv = validInvitation();
    inv.id = "0A1B2C3D-0000-4000-8000-00000000000F";
    EXPECT_EQ(inv.description(),
              "PairingInvitation(id: 0A1B2C3D-0000-4000-8000-00000000000F, companionID: "
              "mac-0f1e2d3c-4b5a-4697-8877-665544332211, companionName: Ada's workstation, secret: <redacted>)");
    inv.companionName.reset();
    EXPECT_NE(inv.description().find("companionName: unknown"), std::string::npos);
    EXPECT_EQ(inv.description().find(security::crypto::base64Encode(inv.secret)), std::string::npos);
}

TEST(RelayAddress, Rules) {
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {
        {"", true}, {"  \n", true}, {"https://relay.example.com", true}, {" https://relay.example.com/a/b ", true},
        {"HTTPS://relay.example.com", true}, {"https://[::1]:8443/x", true}, {"https://relay.example.com:443", true},
        {"http://relay.example.com", false}, {"https://", false}, {"https:///path", false}, {"relay.example.com", false},
        {"https://user@relay.example.com", false}, {"https://user:pw@relay.example.com", false},
        {"https://relay.example.com/?", false}, {"https://relay.example.com/x?a=1", false},
        {"https://relay.example.com/#top", false}, {"https://relay example.com", false}, {"https://r.example/%zz", false},
        {"https://r.example:80a", false},
    };
    for (auto& c : cases) EXPECT_EQ(security::isValidRelayAddress(c.text), c.valid) << c.text;
}

TEST(PairingHello, AuthenticatedBytesLayout) {
    security::PairingHello h;
    h.companionID = "mac-1";
    h.deviceName = "Phone";
    h.nonce = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    h.createdAt = at(0);
    Bytes expected = security::crypto::bytesOf(std::string("Vigilorb.PairingHello.v1\0mac-1\0Phone\0", 37));
    security::codec::appendText(expected, "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    expected.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<std::uint8_t>(0x41CD27E440000000ull >> shift));
    EXPECT_EQ(h.authenticatedBytes(), expected);
}

TEST(PairingHello, VerifyOutcomes) {
    using E = security::LocalSnapshotProtocolError;
    auto k = key();
    Date created = at(5000.25);
    struct Case {
        const char* name;
        std::function<security::PairingHello()> make;
        double now;
        std::optional<E> expected;
    } cases[] = {
        {"valid", [&] { return security::PairingHello::make(k.bytes(), "mac-1", "Phone", created); }, 5000.25, std::nullopt},
        {"60 s later", [&] { return security::PairingHello::make(k.bytes(), "mac-1", "Phone", created); }, 5060.25, std::nullopt},
        {"61 s later", [&] { return security::PairingHello::make(k.bytes(), "mac-1", "Phone", created); }, 5061.25,
         E::envelopeExpired},
        {"61 s ahead", [&] { return security::PairingHello::make(k.bytes(), "mac-1", "Phone", created); }, 4939.25,
         E::envelopeExpired},
        {"65-character name with a valid code",
         [&] { return security::PairingHello::make(k.bytes(), "mac-1", std::string(65, 'p'), created); }, 5000.25,
         E::incompatibleSchema},
        {"empty device name", [&] { return security::PairingHello::make(k.bytes(), "mac-1", "", created); }, 5000.25,
         E::incompatibleSchema},
        {"empty companion", [&] { return security::PairingHello::make(k.bytes(), "", "Phone", created); }, 5000.25,
         E::incompatibleSchema},
        {"schema 2",
         [&] {
             auto h = security::PairingHello::make(k.bytes(), "mac-1", "Phone", created);
             h.schemaVersion = 2;
             return h;
         },
         5000.25, E::incompatibleSchema},
        {"other key", [&] { return security::PairingHello::make(key(1).bytes(), "mac-1", "Phone", created); }, 5000.25,
         E::invalidAuthenticationCode},
        {"changed device name",
         [&] {
             auto h = security::PairingHello::make(k.bytes(), "mac-1", "Phone", created);
             h.deviceName = "Phone2";
             return h;
         },
         5000.25, E::invalidAuthenticationCode},
        {"stale and forged: age is checked first",
         [&] { return security::PairingHello::make(key(1).bytes(), "mac-1", "Phone", created); }, 6000, E::envelopeExpired},
    };
    for (auto& c : cases) {
        auto hello = c.make();
        EXPECT_EQ(errorOf(hello.verify(k.bytes(), at(c.now))), c.expected) << c.name;
        // The same outcome after a round trip through JSON.
        auto decoded = security::PairingHello::decode(hello.encode().value());
        EXPECT_EQ(decoded, hello) << c.name;
    }
}

TEST(PairingHello, JsonForm) {
    auto h = security::PairingHello::make(key().bytes(), "mac-1", "Ada's \"phone\"", at(12.5), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(h.nonce, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    auto text = h.encode().value();
    EXPECT_TRUE(text.starts_with(R"({"schemaVersion":1,"companionID":"mac-1","deviceName":"Ada's \"phone\"",)"
                                 R"("nonce":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","createdAt":12.5,"authenticationCode":")"))
        << text;
    EXPECT_EQ(security::PairingHello::decode(text), h);
}
