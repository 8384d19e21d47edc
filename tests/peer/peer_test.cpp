// vigilorb-peer as the phone would run it: a real child process, documents on stdin.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

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

const CompanionIdentity identity{"mac-0f1e2d3c-4b5a-4697-8877-665544332211", "Ada's workstation"};

LocalPairingKey sampleKey() { return *LocalPairingKey::fromBytes(crypto::sha256(crypto::bytesOf("peer test"))); }

CompanionSnapshot snapshot() {
    CompanionSnapshot s;
    s.tasksByID["k"] = TaskSnapshot{"t1", std::nullopt, "work", AIProvider::codex, "Build", TaskState::running,
                                    Date::fromReference(700000000)};
    return s;
}

}  // namespace

TEST(Peer, InvitationYieldsCompanionKeyIdentifierAndCode) {
    Date now = Date::now();
    auto inv = PairingInvitation::generate(identity, std::nullopt, now);
    auto key = LocalPairingKey::deriveFromInvitation(inv, now);
    auto run = peer({"invitation"}, inv.qrPayload());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, R"({"companionID":")" + identity.id + R"(","keyIdentifier":")" + key.keyIdentifier() +
                           R"(","verificationCode":")" + inv.verificationCode() + "\"}\n");
}

TEST(Peer, InvitationRefusals) {
    auto inv = PairingInvitation::generate(identity, std::nullopt, Date::fromReference(1000));
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {"expired", inv.qrPayload(), {"invitation", "--now", "1121"}, "expired"},
        {"not yet valid", inv.qrPayload(), {"invitation", "--now", "969"}, "notYetValid"},
        {"not an invitation", "{\"id\":1}", {"invitation"}, "invalidInvitation"},
        {"schema", [&] { auto i = inv; i.schemaVersion = 2; return i.qrPayload(); }(), {"invitation", "--now", "1000"},
         "incompatibleSchema"},
        {"window", [&] { auto i = inv; i.expiresAt = i.issuedAt + 301; return i.qrPayload(); }(),
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
    auto envelope = SignedSnapshotEnvelope::create(snapshot(), key, now);
    auto hex = hexLowercase(key.bytes());
    auto ok = peer({"verify", "--key", hex}, envelope);
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, DeviceSnapshotPayload::make(snapshot(), now).encode());

    auto tampered = json::parse(envelope);
    tampered["keyIdentifier"] = "ffffffffffffffff";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        const char* error;
    } cases[] = {
        {{"verify", "--key", hexLowercase(Bytes(32, 1))}, envelope, "invalidAuthenticationCode"},
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
    auto sealed = EncryptedCloudSnapshotEnvelope::seal(snapshot(), identity.id, identity.name, key, 3, now);
    auto ok = peer({"open", "--key", hexLowercase(key.bytes())}, sealed.encode());
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, DeviceSnapshotPayload::make(snapshot(), now).encode());

    auto changed = sealed;
    changed.sequence = 4;
    auto bad = peer({"open", "--key", hexLowercase(key.bytes())}, changed.encode());
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "authenticationFailed\n");
    auto other = peer({"open", "--key", hexLowercase(Bytes(32, 2))}, sealed.encode());
    EXPECT_EQ(other.err, "unknownKey\n");
}

TEST(Peer, BuildsHellosTheCompanionAccepts) {
    auto key = sampleKey();
    auto run = peer({"hello", "--key", hexLowercase(key.bytes()), "--companion", identity.id, "--device", "Ada’s phone"}, "");
    ASSERT_EQ(run.status, 0) << run.err;
    auto hello = PairingHello::decode(run.out);
    EXPECT_EQ(hello.companionID, identity.id);
    EXPECT_EQ(hello.deviceName, "Ada’s phone");
    EXPECT_NO_THROW(hello.verify(key.bytes(), Date::now()));
    EXPECT_THROW(hello.verify(Bytes(32, 3), Date::now()), Failure<LocalSnapshotProtocolError>);
    // Each hello has its own nonce.
    auto second = peer({"hello", "--key", hexLowercase(key.bytes()), "--companion", identity.id, "--device", "P"}, "");
    EXPECT_NE(PairingHello::decode(second.out).nonce, hello.nonce);
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
