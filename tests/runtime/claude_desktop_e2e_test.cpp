// The companion as a real process over a generated Claude Desktop home: it records the quota
// (with reconstructed reset times) and the Cowork tasks in snapshot-v1.json, completes an active
// task that stops being listed after two captures, and stops cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "claude_desktop_fixtures.hpp"
#include "model/files.hpp"
#include "store/snapshot.hpp"
#include "temp_dir.hpp"

extern char** environ;

using namespace vigilorb;
using namespace vigilorb::test::desktop;
namespace fs = std::filesystem;

namespace {

struct Companion {
    pid_t pid = -1;
    ~Companion() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Polls the snapshot file until the condition holds (the limit only guards against a hang).
template <class Condition>
std::optional<store::CompanionSnapshot> waitForSnapshot(const fs::path& file, Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            auto snapshot = store::decodeSnapshot(files::read(file).value()).value();
            if (condition(snapshot)) return snapshot;
        } catch (const std::exception&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::nullopt;
}

const TaskSnapshot* findTask(const store::CompanionSnapshot& s, const std::string& id) {
    auto it = s.tasksByID.find(store::CompanionSnapshot::taskKey(AIProvider::claude, "claude-desktop", id));
    return it == s.tasksByID.end() ? nullptr : &it->second;
}

}  // namespace

TEST(ClaudeDesktopEndToEnd, CompanionRecordsQuotaAndCoworkTasksAndCompletesVanishedOnes) {
    const char* binDir = std::getenv("VIGILORB_BIN_DIR");
    ASSERT_NE(binDir, nullptr);
    fs::path executable = fs::path(binDir) / "vigilorb-companion";
    ASSERT_TRUE(fs::exists(executable));

    test::TempDir home;
    auto config = home / ".config";
    auto data = home / ".local/share";
    auto sessions = config / "Claude/local-agent-mode-sessions/org-1/workspace-1";
    auto snapshotFile = data / "VigilorbCompanion/snapshot-v1.json";
    double now = Date::now().unix();

    // Five-hour usage rose from zero 200 s ago (reset at that moment + 5 h); weekly usage only
    // rises, so its start is unknown.
    writeHistory(config / "Claude/plan-usage-history.json",
                 {{now - 400, 0, 20}, {now - 200, 3, 21}, {now - 5, 8, 22}});
    writeSession(sessions, "run", "session-run", "Refactor the parser", now - 30,
                 auditLine(R"("type":"command_lifecycle","state":"started")", now - 30));
    writeSession(sessions, "ask", "session-ask", "Which folder?", now - 20,
                 auditLine(R"("type":"system","subtype":"permission_request","tool_name":"AskUserQuestion")", now - 20));
    writeSession(sessions, "old", "session-old", "Finished last week", now - 600000,
                 auditLine(R"("type":"result")", now - 600000));
    writeSession(sessions, "archived", "session-archived", "Archived", now - 10,
                 auditLine(R"("type":"user")", now - 10), /*archived=*/true);

    std::vector<std::string> envStrings = {
        "HOME=" + home.path().string(), "XDG_CONFIG_HOME=" + config.string(), "XDG_DATA_HOME=" + data.string(),
        "CODEX_HOME=" + (home / "codex").string(), "PATH=/nonexistent", "TMPDIR=" + home.path().string()};
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program = executable.string();
    char* argv[] = {program.data(), nullptr};

    Companion companion;
    ASSERT_EQ(::posix_spawn(&companion.pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    auto recorded = waitForSnapshot(snapshotFile, [](const store::CompanionSnapshot& s) {
        return s.quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::claude, "claude-desktop")) &&
               findTask(s, taskID("session-run")) && findTask(s, taskID("session-ask"));
    });
    ASSERT_TRUE(recorded) << "quota and tasks recorded";
    const auto& quota = recorded->quotasByAccount.at(store::CompanionSnapshot::quotaKey(AIProvider::claude, "claude-desktop"));
    ASSERT_EQ(quota.windows.size(), 2u);
    EXPECT_EQ(quota.windows[0].kind, QuotaWindowKind::fiveHour);
    EXPECT_EQ(quota.windows[0].usedPercentage, 8);
    ASSERT_TRUE(quota.windows[0].resetsAt);
    EXPECT_NEAR(quota.windows[0].resetsAt->unix(), std::floor((now - 200) * 1000) / 1000 + 18000, 0.01);
    EXPECT_FALSE(quota.windows[1].resetsAt);
    EXPECT_EQ(findTask(*recorded, taskID("session-run"))->state, TaskState::running);
    EXPECT_EQ(findTask(*recorded, taskID("session-run"))->title, "Cowork · Refactor the parser");
    EXPECT_EQ(findTask(*recorded, taskID("session-ask"))->state, TaskState::waitingInput);
    EXPECT_EQ(findTask(*recorded, taskID("session-old")), nullptr) << "old finished sessions are not replayed";
    EXPECT_EQ(findTask(*recorded, taskID("session-archived")), nullptr);

    // The running session stays in the library but goes quiet: no lifecycle events, last
    // activity an hour ago. After two captures without it the companion completes it.
    fs::remove_all(sessions / "local_run");
    writeSession(sessions, "run", "session-run", "Refactor the parser", now - 3600);
    auto completed = waitForSnapshot(snapshotFile, [](const store::CompanionSnapshot& s) {
        auto* t = findTask(s, taskID("session-run"));
        return t && t->state == TaskState::completed;
    });
    ASSERT_TRUE(completed) << "vanished task completed";
    EXPECT_EQ(findTask(*completed, taskID("session-ask"))->state, TaskState::waitingInput);

    ASSERT_EQ(::kill(companion.pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(companion.pid, &status, 0), companion.pid);
    companion.pid = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The snapshot file is intact after the stop.
    EXPECT_TRUE(store::decodeSnapshot(files::read(snapshotFile).value()));
}
