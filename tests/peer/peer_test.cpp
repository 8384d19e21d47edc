// vigilorb-peer as the phone would run it: a real child process, documents on stdin.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>

#include "peer/peer_state.hpp"
#include "security/cloud_envelope.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;

namespace {

struct Run {
    int status;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Run peer(const std::vector<std::string>& args, const std::string& input) {
    test::TempDir dir;
    test::writeText(dir / "in", input);
    std::string command = quoted(std::string(std::getenv("VIGILORB_BIN_DIR")) + "/vigilorb-peer");
    for (auto& a : args) command += " " + quoted(a);
    command += " < " + quoted((dir / "in").string()) + " > " + quoted((dir / "out").string()) + " 2> " +
               quoted((dir / "err").string());
    int raw = std::system(command.c_str());
    return Run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::readText(dir / "out"), test::readText(dir / "err")};
}

const security::CompanionIdentity identity{"mac-0f1e2d3c-4b5a-4697-8877-665544332211", "Ada's workstation"};

security::LocalPairingKey sampleKey() { return *security::LocalPairingKey::fromBytes(security::crypto::sha256(security::crypto::bytesOf("peer test"))); }

store::CompanionSnapshot snapshot() {
    store::CompanionSnapshot s;
    s.tasksByID["k"] = TaskSnapshot{"t1", std::nullopt, "work", AIProvider::codex, "Build", TaskState::running,
                                    Date::fromReference(700000000)};
    return s;
}

}  // namespace

TEST(Peer, InvitationYieldsCompanionKeyIdentifierAndCode) {
    Date now = Date::now();
    auto inv = security::PairingInvitation::generate(identity, std::nullopt, now).value();
    auto key = security::LocalPairingKey::deriveFromInvitation(inv, now).value();
    auto run = peer({"invitation"}, inv.qrPayload().value());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, R"({"companionID":")" + identity.id + R"(","keyIdentifier":")" + key.keyIdentifier() +
                           R"(","verificationCode":")" + inv.verificationCode() + "\"}\n");
}

TEST(Peer, InvitationRefusals) {
    auto inv = security::PairingInvitation::generate(identity, std::nullopt, Date::fromReference(1000)).value();
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {"expired", inv.qrPayload().value(), {"invitation", "--now", "1121"}, "expired"},
        {"not yet valid", inv.qrPayload().value(), {"invitation", "--now", "969"}, "notYetValid"},
        {"not an invitation", "{\"id\":1}", {"invitation"}, "invalidInvitation"},
        {"schema", [&] { auto i = inv; i.schemaVersion = 2; return i.qrPayload().value(); }(), {"invitation", "--now", "1000"},
         "incompatibleSchema"},
        {"window", [&] { auto i = inv; i.expiresAt = i.issuedAt + 301; return i.qrPayload().value(); }(),
         {"invitation", "--now", "1000"}, "invalidValidityWindow"},
    };
    for (auto& c : cases) {
        auto run = peer(c.args, c.input);
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(run.err, std::string(c.error) + "\n") << c.name;
        EXPECT_EQ(run.out, "") << c.name;
    }
}

TEST(Peer, VerifiesSignedEnvelopes) {
    auto key = sampleKey();
    Date now = Date::now();
    auto envelope = security::SignedSnapshotEnvelope::create(snapshot(), key, now).value();
    auto hex = security::crypto::hexLowercase(key.bytes());
    auto ok = peer({"verify", "--key", hex}, envelope);
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, security::DeviceSnapshotPayload::make(snapshot(), now).encode().value());

    auto tampered = json::parse(envelope).value();
    tampered["keyIdentifier"] = "ffffffffffffffff";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        const char* error;
    } cases[] = {
        {{"verify", "--key", security::crypto::hexLowercase(Bytes(32, 1))}, envelope, "invalidAuthenticationCode"},
        {{"verify", "--key", hex}, tampered.dump(), "invalidAuthenticationCode"},
        {{"verify", "--key", hex, "--now", std::to_string(now.sinceReference + 121)}, envelope, "envelopeExpired"},
        {{"verify", "--key", hex, "--now", std::to_string(now.sinceReference - 60)}, envelope, "envelopeFromFuture"},
        {{"verify", "--key", hex.substr(2)}, envelope, "invalidPairingKey"},
        {{"verify", "--key", hex}, "[]", "incompatibleSchema"},
    };
    for (auto& c : cases) {
        auto run = peer(c.args, c.input);
        EXPECT_EQ(run.status, 1) << c.error;
        EXPECT_EQ(run.err, std::string(c.error) + "\n");
    }
}

TEST(Peer, OpensSealedEnvelopes) {
    auto key = sampleKey();
    Date now = Date::fromReference(700000300.5);
    auto sealed = security::EncryptedCloudSnapshotEnvelope::seal(snapshot(), identity.id, identity.name, key, 3, now).value();
    auto ok = peer({"open", "--key", security::crypto::hexLowercase(key.bytes())}, sealed.encode().value());
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, security::DeviceSnapshotPayload::make(snapshot(), now).encode().value());

    auto changed = sealed;
    changed.sequence = 4;
    auto bad = peer({"open", "--key", security::crypto::hexLowercase(key.bytes())}, changed.encode().value());
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "authenticationFailed\n");
    auto other = peer({"open", "--key", security::crypto::hexLowercase(Bytes(32, 2))}, sealed.encode().value());
    EXPECT_EQ(other.err, "unknownKey\n");
}

TEST(Peer, BuildsHellosTheCompanionAccepts) {
    auto key = sampleKey();
    auto run = peer({"hello", "--key", security::crypto::hexLowercase(key.bytes()), "--companion", identity.id, "--device", "Ada’s phone"}, "");
    ASSERT_EQ(run.status, 0) << run.err;
    auto hello = security::PairingHello::decode(run.out).value();
    EXPECT_EQ(hello.companionID, identity.id);
    EXPECT_EQ(hello.deviceName, "Ada’s phone");
    EXPECT_TRUE(hello.verify(key.bytes(), Date::now()));
    EXPECT_EQ(hello.verify(Bytes(32, 3), Date::now()), std::unexpected(security::LocalSnapshotProtocolError::invalidAuthenticationCode));
    // Each hello has its own nonce.
    auto second = peer({"hello", "--key", security::crypto::hexLowercase(key.bytes()), "--companion", identity.id, "--device", "P"}, "");
    EXPECT_NE(security::PairingHello::decode(second.out).value().nonce, hello.nonce);
    // A device name that is not UTF-8 cannot go into JSON: refused as input, nothing printed.
    auto latin1 = peer({"hello", "--key", security::crypto::hexLowercase(key.bytes()), "--companion", identity.id, "--device", "Caf\xE9"}, "");
    EXPECT_EQ(latin1.status, 1);
    EXPECT_EQ(latin1.err, "invalidInput\n");
    EXPECT_EQ(latin1.out, "");
}

TEST(Peer, UsageErrors) {
    const std::string key(64, '0');
    for (auto args : std::vector<std::vector<std::string>>{{},
                                                           {"unknown"},
                                                           {"verify"},
                                                           {"hello", "--key"},
                                                           {"verify", "--key", key, "--now", "nan"},
                                                           {"verify", "--key", key, "--now", "-inf"}}) {
        auto run = peer(args, "");
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage:"), std::string::npos);
    }
}

TEST(PeerPairing, PairStoresTheDerivedKeyInAPrivateFile) {
    test::TempDir dir;
    Date now = Date::now();
    auto inv = security::PairingInvitation::generate(identity, std::string("https://relay.example/base"), now).value();
    auto state = dir / "fresh" / "pairing.json";
    auto run = peer({"pair", "--state", state.string()}, inv.qrPayload().value());
    ASSERT_EQ(run.status, 0) << run.err;
    auto key = security::LocalPairingKey::deriveFromInvitation(inv, now).value();
    EXPECT_EQ(run.out, R"({"companionID":")" + identity.id + R"(","keyIdentifier":")" + key.keyIdentifier() +
                           R"(","verificationCode":")" + inv.verificationCode() + "\"}\n");

    auto stored = phone::loadPairing(state);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, (phone::StoredPairing{identity.id, identity.name, key, "https://relay.example/base"}));
    EXPECT_EQ(std::filesystem::status(state).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(std::filesystem::status(state.parent_path()).permissions(), std::filesystem::perms::owner_all);
    // The secret itself is never written down.
    EXPECT_EQ(test::readText(state).find(security::crypto::base64Encode(inv.secret)), std::string::npos);
    EXPECT_EQ(test::readText(state).find(security::crypto::hexLowercase(inv.secret)), std::string::npos);

    // Pairing again replaces the pairing: the old key is gone.
    auto again = security::PairingInvitation::generate(identity, std::nullopt, now).value();
    ASSERT_EQ(peer({"pair", "--state", state.string()}, again.qrPayload().value()).status, 0);
    EXPECT_EQ(phone::loadPairing(state)->key, security::LocalPairingKey::deriveFromInvitation(again, now).value());
    EXPECT_EQ(phone::loadPairing(state)->relayBaseURL, std::nullopt);
}

TEST(PeerPairing, RefusedInvitationLeavesTheStoredPairingAlone) {
    test::TempDir dir;
    auto state = dir / "pairing.json";
    auto inv = security::PairingInvitation::generate(identity, std::nullopt, Date::fromReference(1000)).value();
    ASSERT_EQ(peer({"pair", "--state", state.string(), "--now", "1000"}, inv.qrPayload().value()).status, 0);
    auto before = test::readText(state);
    struct Case {
        std::string input;
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {security::PairingInvitation::generate(identity, std::nullopt, Date::fromReference(1000)).value().qrPayload().value(),
         {"pair", "--now", "1121"}, "expired"},
        {"not json", {"pair"}, "invalidInvitation"},
    };
    for (auto& c : cases) {
        c.args.insert(c.args.end(), {"--state", state.string()});
        auto run = peer(c.args, c.input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string(c.error) + "\n");
        EXPECT_EQ(test::readText(state), before);
    }
}

TEST(PeerPairing, ListenNeedsAReadablePairing) {
    test::TempDir dir;
    test::writeText(dir / "broken.json", R"({"companionID":"mac-x","key":"abcd"})");
    struct Case {
        std::filesystem::path state;
        const char* error;
    } cases[] = {
        {dir / "absent.json", "notPaired"},
        {dir / "broken.json", "unreadableState"},
        {dir.path(), "unreadableState"},  // a folder where the file should be
    };
    for (const auto& c : cases) {
        auto run = peer({"listen", "--state", c.state.string(), "--address", "127.0.0.1:9"}, "");
        EXPECT_EQ(run.status, 1) << c.state;
        EXPECT_EQ(run.err, std::string(c.error) + "\n") << c.state;
    }
}

TEST(PeerPairing, DefaultStateFileFollowsTheDataHome) {
    auto env = [](std::map<std::string, std::string> vars) {
        return [vars](const char* name) -> std::optional<std::string> {
            auto it = vars.find(name);
            return it == vars.end() ? std::nullopt : std::optional(it->second);
        };
    };
    EXPECT_EQ(phone::defaultStateFile(env({{"XDG_DATA_HOME", "/d"}, {"HOME", "/h"}})), "/d/VigilorbPeer/pairing.json");
    EXPECT_EQ(phone::defaultStateFile(env({{"HOME", "/h"}})), "/h/.local/share/VigilorbPeer/pairing.json");
}
