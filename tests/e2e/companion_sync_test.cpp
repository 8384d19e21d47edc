// The whole road out of the computer: the real app, paired with `--pair`, turns a Claude hook
// event into a snapshot, pushes it signed over the local link to `vigilorb-peer listen`, and
// uploads it sealed to a real HTTPS relay (relay_server.py, trusted through the CA of
// with_test_ca.sh), where the phone's side opens it with the invitation's key. Runs in a
// network namespace of its own (in_private_network.sh).
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

// The TCP port process `pid` listens on (the companion's local link), from `ss`.
std::optional<std::string> listeningPort(pid_t pid) {
    auto listing = run({"/usr/bin/ss", "-Hltnp"}, baseEnvironment());
    std::string marker = "pid=" + std::to_string(pid) + ",";
    std::string_view text = listing.out;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.find(marker) == std::string_view::npos) continue;
        // State Recv-Q Send-Q Local-Address:Port Peer-Address:Port Process
        std::vector<std::string_view> columns;
        for (std::size_t at = 0; at < line.size();) {
            auto start = line.find_first_not_of(' ', at);
            if (start == std::string_view::npos) break;
            auto stop = line.find(' ', start);
            columns.push_back(line.substr(start, stop - start));
            at = stop == std::string_view::npos ? line.size() : stop;
        }
        if (columns.size() >= 4) return std::string(columns[3].substr(columns[3].rfind(':') + 1));
    }
    return std::nullopt;
}

std::string opened(const Upload& upload, const security::LocalPairingKey& key) {
    auto payload = security::EncryptedCloudSnapshotEnvelope::open(upload.body, key).value();
    return std::string(payload.begin(), payload.end());
}

}  // namespace

TEST(CompanionSync, AHookEventReachesTheRelaySealedForThePairedPhone) {
    const char* certs = std::getenv("TEST_CERTS");
    ASSERT_TRUE(certs) << "run through with_test_ca.sh";
    TempDir dir;
    auto env = isolatedCompanionEnvironment(dir.path());
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
    auto invitation = security::PairingInvitation::decode(pair.out).value();
    EXPECT_EQ(invitation.relayBaseURL, base);
    auto key = security::LocalPairingKey::deriveFromInvitation(invitation, Date::now()).value();
    auto credentials = security::RelayCredentials::make(base, key, invitation.companionID);

    // Pairing uploads the current snapshot at once.
    ASSERT_TRUE(eventually([&] { return !uploads(relay).empty(); }));
    auto first = uploads(relay).front();
    EXPECT_EQ(first.path, "/base/v1/channels/" + credentials.channelID + "/sources/" + invitation.companionID);
    EXPECT_EQ(first.authorization, "Bearer " + credentials.accessToken);

    // The phone pairs from the same QR payload and connects over the local link.
    auto peerState = (dir / "peer" / "pairing.json").string();
    auto peerPair = run({(binDir() / "vigilorb-peer").string(), "pair", "--state", peerState}, baseEnvironment(), pair.out);
    ASSERT_EQ(peerPair.status, 0) << peerPair.err;
    std::optional<std::string> linkPort;
    ASSERT_TRUE(eventually([&] { return (linkPort = listeningPort(app.pid())).has_value(); }));
    ChildProcess listener({(binDir() / "vigilorb-peer").string(), "listen", "--state", peerState, "--address",
                           "127.0.0.1:" + *linkPort},
                          baseEnvironment());
    // The current snapshot comes at once on connecting.
    ASSERT_TRUE(eventually([&] { return !listener.running() || listener.out().find('\n') != std::string::npos; }))
        << listener.err();
    ASSERT_TRUE(listener.running()) << listener.err();

    auto hook = run({exe, "--claude-hook", "work"}, env,
                    R"({"session_id":"sync-e2e-session","hook_event_name":"PermissionRequest"})");
    ASSERT_EQ(hook.status, 0) << hook.err;
    // Drained within the inbox period, published, debounced, uploaded.
    ASSERT_TRUE(eventually([&] {
        for (const auto& upload : uploads(relay))
            if (opened(upload, key).find("sync-e2e-session") != std::string::npos) return true;
        return false;
    })) << relay.out();
    ASSERT_TRUE(eventually([&] { return !listener.running() || listener.out().find("sync-e2e-session") != std::string::npos; }))
        << listener.err();
    // Each line the receiver printed is a payload it verified with the pairing key.
    auto lastLine = listener.out().substr(0, listener.out().rfind('\n'));
    lastLine = lastLine.substr(lastLine.rfind('\n') + 1);
    EXPECT_NE(lastLine.find(R"("state":"waitingApproval")"), std::string::npos) << lastLine;
    std::uint64_t previous = 0;
    for (const auto& upload : uploads(relay)) {
        auto envelope = security::EncryptedCloudSnapshotEnvelope::decode(upload.body).value();
        EXPECT_GT(envelope.sequence, previous);  // the numbers the relay sees always increase
        previous = envelope.sequence;
    }
    auto last = opened(uploads(relay).back(), key);
    EXPECT_NE(last.find(R"("state":"waitingApproval")"), std::string::npos) << last;
}
