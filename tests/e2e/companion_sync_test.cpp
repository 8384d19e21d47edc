// The whole road out of the computer: the real app, paired with `--pair`, turns a Claude hook
// event into a snapshot and uploads it sealed to a real HTTPS relay (relay_server.py, trusted
// through the CA of with_test_ca.sh), where the phone's side opens it with the invitation's key.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "security/cloud_envelope.hpp"
#include "security/pairing.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

struct Upload {
    std::string path, authorization, body;
};

std::vector<Upload> uploads(ChildProcess& relay) {
    relay.running();  // collects what it printed so far
    std::vector<Upload> out;
    std::string_view text = relay.out();
    while (!text.empty()) {
        auto end = text.find('\n');
        if (end == std::string_view::npos) break;
        auto line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.starts_with("port ")) continue;
        auto record = nlohmann::json::parse(line);
        out.push_back({record["path"], record["headers"].value("Authorization", ""), record["body"]});
    }
    return out;
}

std::string opened(const Upload& upload, const LocalPairingKey& key) {
    auto payload = EncryptedCloudSnapshotEnvelope::open(upload.body, key);
    return std::string(payload.begin(), payload.end());
}

}  // namespace

TEST(CompanionSync, AHookEventReachesTheRelaySealedForThePairedPhone) {
    const char* certs = std::getenv("TEST_CERTS");
    ASSERT_TRUE(certs) << "run through with_test_ca.sh";
    TempDir dir;
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    auto env = baseEnvironment();
    env["HOME"] = (dir / "home").string();
    env["XDG_DATA_HOME"] = (dir / "data").string();
    env["XDG_CONFIG_HOME"] = (dir / "config").string();
    env["XDG_RUNTIME_DIR"] = (dir / "run").string();
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/vigilorb-bus";
    env["SSL_CERT_FILE"] = std::getenv("SSL_CERT_FILE");
    auto exe = (binDir() / "vigilorb-companion").string();

    ChildProcess relay({"/usr/bin/python3", RELAY_SERVER_SCRIPT, "--stay", "--cert", std::string(certs) + "/server.pem",
                        "--key", std::string(certs) + "/server.key"},
                       baseEnvironment());
    ASSERT_TRUE(eventually([&] { return relay.running() && relay.out().starts_with("port "); }, std::chrono::seconds(30)))
        << relay.err();
    auto port = relay.out().substr(5, relay.out().find('\n') - 5);
    auto base = "https://127.0.0.1:" + port + "/base";

    ChildProcess app({exe}, env);
    ASSERT_TRUE(eventually([&] { return fs::exists(dir / "run" / "VigilorbCompanion" / "control.sock") || !app.running(); }));
    ASSERT_EQ(run({exe, "--relay-address", base}, env).status, 0);
    auto pair = run({exe, "--pair"}, env);
    ASSERT_EQ(pair.status, 0) << pair.err;
    auto invitation = PairingInvitation::decode(pair.out);
    EXPECT_EQ(invitation.relayBaseURL, base);
    auto key = LocalPairingKey::deriveFromInvitation(invitation, Date::now());
    auto credentials = RelayCredentials::make(base, key, invitation.companionID);

    // Pairing uploads the current snapshot at once.
    ASSERT_TRUE(eventually([&] { return !uploads(relay).empty(); }));
    auto first = uploads(relay).front();
    EXPECT_EQ(first.path, "/base/v1/channels/" + credentials.channelID + "/sources/" + invitation.companionID);
    EXPECT_EQ(first.authorization, "Bearer " + credentials.accessToken);

    auto hook = run({exe, "--claude-hook", "work"}, env,
                    R"({"session_id":"sync-e2e-session","hook_event_name":"PermissionRequest"})");
    ASSERT_EQ(hook.status, 0) << hook.err;
    // Drained within the inbox period, published, debounced, uploaded.
    ASSERT_TRUE(eventually([&] {
        for (const auto& upload : uploads(relay))
            if (opened(upload, key).find("sync-e2e-session") != std::string::npos) return true;
        return false;
    })) << relay.out();
    std::uint64_t previous = 0;
    for (const auto& upload : uploads(relay)) {
        auto envelope = EncryptedCloudSnapshotEnvelope::decode(upload.body);
        EXPECT_GT(envelope.sequence, previous);  // the numbers the relay sees always increase
        previous = envelope.sequence;
    }
    auto last = opened(uploads(relay).back(), key);
    EXPECT_NE(last.find(R"("state":"waitingApproval")"), std::string::npos) << last;
}
