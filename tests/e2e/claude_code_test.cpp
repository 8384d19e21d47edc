#include <gtest/gtest.h>
#include <signal.h>

#include "child_process.hpp"
#include "claude/claude_connector.hpp"
#include "model/files.hpp"
#include "store/snapshot.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

// The real Claude Code (installed by scripts/install-agents.sh), signed out and inside a private
// network namespace, started with the CLAUDE_CONFIG_DIR the connector prepared: its SessionStart
// hook runs the companion's hook mode, and the running app drains the event into the snapshot.
TEST(RealClaudeCode, SessionStartHookReachesTheSnapshot) {
    auto claudeBinary = sourceDir() / "tools" / "agents" / "node_modules" / ".bin" / "claude";
    if (!fs::exists(claudeBinary))
        GTEST_SKIP() << "Claude Code is not installed at " << claudeBinary << "; run bash scripts/install-agents.sh";

    TempDir dir;
    auto data = dir / "data";
    auto profiles = data / "VigilorbCompanion" / "Profiles";
    auto configDir = profiles / "claude" / "work";
    auto snapshotFile = data / "VigilorbCompanion" / "snapshot-v1.json";

    auto outcome = claude::prepareClaudeConnector("work", profiles, binDir() / "vigilorb-companion");
    ASSERT_TRUE(outcome.ready) << outcome.detail;
    ASSERT_EQ(outcome.detail, claude::connectorInstalledText);
    // Past onboarding, so that a non-interactive run gets as far as starting a session.
    writeText(configDir / ".claude.json", R"({"hasCompletedOnboarding":true})");

    auto env = baseEnvironment();
    env["HOME"] = (dir / "home").string();
    env["XDG_DATA_HOME"] = data.string();
    env["XDG_CONFIG_HOME"] = (dir / "config").string();
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "work");

    ChildProcess app({(binDir() / "vigilorb-companion").string()}, env);

    auto claudeEnv = env;
    claudeEnv["CLAUDE_CONFIG_DIR"] = configDir.string();
    for (const char* name : {"DISABLE_TELEMETRY", "DISABLE_AUTOUPDATER", "DISABLE_ERROR_REPORTING",
                             "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"})
        claudeEnv[name] = "1";
    auto claudeRun = run({"/usr/bin/unshare", "--net", "--fork", "--", "/bin/bash", "-c",
                          "ip link set lo up; cd \"$0\" && exec \"$@\"", (dir / "work").string(), claudeBinary.string(),
                          "-p", "hi"},
                         claudeEnv);
    // Signed out: Claude Code refuses the prompt, but the session has started by then.
    EXPECT_NE(claudeRun.status, 0);
    EXPECT_NE(claudeRun.out.find("Not logged in"), std::string::npos) << claudeRun.out << claudeRun.err;

    std::optional<TaskSnapshot> task;
    bool arrived = eventually([&] {
        try {
            auto s = decodeSnapshot(files::read(snapshotFile));
            for (const auto& [key, t] : s.tasksByID)
                if (t.provider == AIProvider::claude && t.accountID == "work") task = t;
        } catch (...) {
        }
        return task.has_value();
    });
    ASSERT_TRUE(arrived) << "no Claude task in the snapshot; Claude Code said: " << claudeRun.out << claudeRun.err;
    EXPECT_EQ(task->state, TaskState::waitingInput);
    EXPECT_EQ(task->title, "Claude task");
    EXPECT_EQ(task->id.size(), 36u);  // Claude Code's session UUID

    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0) << app.err();
}
