// The whole road with this relay: the real companion app, pointed at vigilorb-relay over TLS
// (test CA from with_test_ca.sh) through its control command, uploads sealed snapshots; the
// phone side pairs from the same invitation and reads them with vigilorb-peer fetch.
#include <gtest/gtest.h>

#include <algorithm>

#include "child_process.hpp"
#include "relay_process.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

TEST(CompanionToRelay, UploadsReachFetchAndWatch) {
    const char* certs = std::getenv("TEST_CERTS");
    ASSERT_TRUE(certs) << "run through with_test_ca.sh";
    TempDir dir;
    auto env = isolatedCompanionEnvironment(dir.path());
    env["SSL_CERT_FILE"] = std::getenv("SSL_CERT_FILE");
    auto companion = (binDir() / "vigilorb-companion").string();
    auto peer = (binDir() / "vigilorb-peer").string();

    RelayProcess relay({"--data", (dir / "relay").string(), "--tls-cert", std::string(certs) + "/server.pem",
                        "--tls-key", std::string(certs) + "/server.key"});
    auto base = "https://127.0.0.1:" + std::to_string(relay.port());

    ChildProcess app({companion}, env);
    ASSERT_TRUE(eventually([&] { return fs::exists(dir / "run" / "VigilorbCompanion" / "control.sock") || !app.running(); }));
    ASSERT_EQ(run({companion, "--relay-address", base}, env).status, 0);
    auto pair = run({companion, "--pair"}, env);
    ASSERT_EQ(pair.status, 0) << pair.err;
    auto pairing = (dir / "phone" / "pairing.json").string();
    auto paired = run({peer, "pair", "--state", pairing}, env, pair.out);
    ASSERT_EQ(paired.status, 0) << paired.err;

    // Pairing uploads the current snapshot at once; fetch opens it.
    Finished fetched{};
    ASSERT_TRUE(eventually([&] {
        fetched = run({peer, "fetch", "--state", pairing}, env);
        return fetched.status == 0;
    })) << fetched.err << relay.err();
    EXPECT_NE(fetched.out.find("\"generatedAt\""), std::string::npos) << fetched.out;
    EXPECT_EQ(std::count(fetched.out.begin(), fetched.out.end(), '\n'), 1);

    ChildProcess watch({peer, "fetch", "--watch", "--state", pairing}, env);
    auto hook = run({companion, "--claude-hook", "work"}, env,
                    R"({"session_id":"relay-e2e-session","hook_event_name":"PermissionRequest"})");
    ASSERT_EQ(hook.status, 0) << hook.err;
    // Drained within the inbox period, published, debounced, uploaded, streamed, opened.
    EXPECT_TRUE(eventually([&] {
        watch.running();
        return watch.out().find("relay-e2e-session") != std::string::npos;
    })) << watch.out() << watch.err();
    EXPECT_NE(watch.out().find(R"("state":"waitingApproval")"), std::string::npos);
    EXPECT_EQ(watch.err(), "");
    auto again = run({peer, "fetch", "--state", pairing}, env);
    EXPECT_NE(again.out.find("relay-e2e-session"), std::string::npos) << again.err;
}
