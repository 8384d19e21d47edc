// The client against the real Codex app-server (npm @openai/codex), signed out, in a private
// network namespace with a fresh CODEX_HOME and HOME.
#include <gtest/gtest.h>

#include "codex_test_support.hpp"
#include "runtime/codex_app_server_client.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

const fs::path realCodex = fs::path(CODEX_AGENTS_DIR) /
                           "node_modules/@openai/codex-linux-x64/vendor/x86_64-unknown-linux-musl/bin/codex";

TEST(RealCodexAppServer, SignedOutProfileEndsNotLoggedIn) {
    if (!fs::exists(realCodex)) GTEST_SKIP() << "run scripts/install-agents.sh to install Codex";
    qtApplication();
    TempDir dir;
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "codex-home");
    // The client runs `<exe> app-server --stdio`; this wrapper puts Codex in its own network
    // namespace (only loopback) and a private HOME first.
    auto wrapper = dir / "codex";
    writeText(wrapper, "#!/bin/sh\nexport HOME='" + (dir / "home").string() +
                           "'\nexec unshare --net --fork --kill-child -- sh -c 'ip link set lo up; exec \"$@\"' ns '" +
                           realCodex.string() + "' \"$@\"\n");
    fs::permissions(wrapper, fs::perms::owner_all);

    std::vector<CodexConnectionPhase> phases;
    std::vector<std::vector<NormalizedProviderEvent>> deliveries;
    runtime::CodexAppServerClient client(
        "codex-default", dir / "codex-home", wrapper,
        [&](const std::vector<NormalizedProviderEvent>& e) { deliveries.push_back(e); },
        [&](const CodexConnectionPhase& p) { phases.push_back(p); });
    EXPECT_TRUE(client.start());
    ASSERT_TRUE(runUntil([&] { return !phases.empty() && phases.back().isFailed(); }, std::chrono::seconds(120)));

    EXPECT_EQ(phases, (std::vector{CodexConnectionPhase::starting(), CodexConnectionPhase::checkingAccount(),
                                   CodexConnectionPhase::failed(CodexConnectionFailure::Kind::notLoggedIn)}));
    EXPECT_EQ(statusText(client.phase()), "This Codex profile is signed out. Sign in locally in Codex, then retry.");
    ASSERT_TRUE(client.serverVersion());
    EXPECT_TRUE(client.serverVersion()->starts_with("vigil-orb/")) << *client.serverVersion();
    EXPECT_TRUE(deliveries.empty());
    EXPECT_TRUE(client.isRunning());  // a failure does not end the child; stop does
    client.stop();
    EXPECT_FALSE(client.isRunning());
}

}  // namespace
