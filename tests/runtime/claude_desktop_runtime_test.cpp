#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "claude_desktop_fixtures.hpp"
#include "runtime/claude_desktop_runtime_side.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "qt.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test::desktop;
namespace fs = std::filesystem;
namespace keys = vigilorb::runtime::claude_desktop_keys;

namespace {

constexpr double t0 = 1'765'000'000;  // Unix seconds; the tests' "now"

struct DesktopRuntime : ::testing::Test {
    test::TempDir home;
    fs::path config = home / "config";
    fs::path claudeFolder = config / "Claude";
    fs::path history = claudeFolder / "plan-usage-history.json";
    fs::path library = claudeFolder / "local-agent-mode-sessions";
    fs::path sessions = library / "org-1" / "workspace-1";
    fs::path snapshotFile = home / "data" / "VigilorbCompanion" / "snapshot-v1.json";
    MemoryPreferences preferences;
    Date clock = Date::fromUnix(t0);
    std::unique_ptr<runtime::ProviderRuntimeController> controller;

    void SetUp() override { fs::create_directories(sessions); }
    void TearDown() override { controller.reset(); }

    runtime::ProviderRuntimeController& start() {
        test::qtApplication();
        runtime::ProviderRuntimeOptions o;
        o.environment = [this](const char* name) -> std::optional<std::string> {
            std::string n = name;
            if (n == "HOME") return home.path().string();
            if (n == "XDG_CONFIG_HOME") return config.string();
            if (n == "XDG_DATA_HOME") return (home / "data").string();
            return std::nullopt;
        };
        o.snapshotFile = snapshotFile;
        o.clock = [this] { return clock; };
        o.preferences = &preferences;
        o.claudeCLIFallbackFolders = {};
        o.executablePath = [] { return fs::path("/usr/bin/vigilorb-companion"); };
        o.sides = {[](runtime::ProviderRuntimeController& c) { return std::make_unique<runtime::ClaudeDesktopRuntimeSide>(c); }};
        o.claudeInboxPeriod = std::chrono::milliseconds(50);
        o.coworkScanPeriod = std::chrono::milliseconds(5);
        o.claudeDesktopUsagePeriod = std::chrono::milliseconds(5);
        controller = std::make_unique<runtime::ProviderRuntimeController>(std::move(o));
        return *controller;
    }
    runtime::ClaudeDesktopRuntimeSide& side() { return *controller->side<runtime::ClaudeDesktopRuntimeSide>(); }

    const TaskSnapshot* task(const std::string& id, const std::string& account = "claude-desktop") {
        const auto& tasks = controller->snapshot().tasksByID;
        auto it = tasks.find(store::CompanionSnapshot::taskKey(AIProvider::claude, account, id));
        return it == tasks.end() ? nullptr : &it->second;
    }
    const AccountQuotaSnapshot* quota(const std::string& account = "claude-desktop") {
        const auto& quotas = controller->snapshot().quotasByAccount;
        auto it = quotas.find(store::CompanionSnapshot::quotaKey(AIProvider::claude, account));
        return it == quotas.end() ? nullptr : &it->second;
    }
    std::string row(const std::string& id) {
        auto* r = controller->accountStatus(id);
        return r ? r->detail : "";
    }
    void runningSession(const std::string& name, double updated) {
        writeSession(sessions, name, name, "Task " + name, updated,
                     auditLine(R"("type":"command_lifecycle","state":"started")", updated));
    }
    void recordHookTask(const std::string& account) {
        controller->recordEvents({NormalizedProviderEvent::task(TaskSnapshot{
                                     "hook-session", std::nullopt, account, AIProvider::claude, "Claude task",
                                     TaskState::running, Date::fromUnix(t0)})},
                                 "Claude/" + account);
    }
};

}  // namespace

TEST_F(DesktopRuntime, FirstStartObservesTheDefaultAccountAndRecordsQuotaAndTasks) {
    writeHistory(history, {{t0 - 120, 0, 10}, {t0 - 60, 4, 11}, {t0, 9, 12}});
    runningSession("a", t0 - 10);
    writeSession(sessions, "b", "b", "Waiting one", t0 - 5,
                 auditLine(R"("type":"system","subtype":"permission_request","tool_name":"Bash")", t0 - 5));
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return side().accountID().has_value(); }));
    EXPECT_EQ(*side().accountID(), "claude-desktop");
    EXPECT_EQ(preferences.boolean(keys::configured), true);
    EXPECT_EQ(preferences.boolean(keys::enabled), true);
    EXPECT_EQ(preferences.string(keys::account), "claude-desktop");
    EXPECT_TRUE(c.claudeDesktopObserverEnabled());

    ASSERT_TRUE(test::runUntil([&] { return quota() && task(taskID("a")) && task(taskID("b")); }));
    ASSERT_EQ(quota()->windows.size(), 2u);
    EXPECT_EQ(quota()->windows[0].usedPercentage, 9);
    EXPECT_EQ(quota()->windows[0].resetsAt, Date::fromUnix(t0 - 60 + 18000));
    EXPECT_FALSE(quota()->windows[1].resetsAt);
    EXPECT_EQ(task(taskID("b"))->state, TaskState::waitingApproval);
    EXPECT_EQ(task(taskID("a"))->title, "Cowork · Task a");

    ASSERT_TRUE(test::runUntil([&] { return row("Claude Usage/claude-desktop").starts_with("Claude Desktop quota"); }));
    EXPECT_EQ(row("Claude Usage/claude-desktop"), "Claude Desktop quota connected · 5h 9% · 7d 12%");
    ASSERT_TRUE(test::runUntil([&] { return row("Claude Desktop/claude-desktop").starts_with("Local session"); }));
    EXPECT_EQ(row("Claude Desktop/claude-desktop"), "Local session event source connected · 2 current tasks");
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Local session event source connected · 2 current tasks");
}

TEST_F(DesktopRuntime, StartUpFollowsThePreferences) {
    struct Case {
        std::optional<bool> configured, enabled;
        std::optional<std::string> account;
        std::optional<std::string> expected;
    };
    Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, "claude-desktop"},
        {true, false, "work", std::nullopt},
        {true, true, "work", "work"},
        {true, true, std::nullopt, std::nullopt},
        {false, false, "work", "claude-desktop"},
    };
    for (const auto& c : cases) {
        preferences = MemoryPreferences{};
        if (c.configured) preferences.setBoolean(keys::configured, *c.configured);
        if (c.enabled) preferences.setBoolean(keys::enabled, *c.enabled);
        if (c.account) preferences.setString(keys::account, *c.account);
        start();
        ASSERT_TRUE(test::runUntil([&] { return controller->claudeSummary() != "Detecting the local CLI…"; }));
        EXPECT_EQ(side().accountID(), c.expected);
        EXPECT_EQ(controller->claudeDesktopObserverEnabled(), c.expected.has_value());
        controller.reset();
    }
}

TEST_F(DesktopRuntime, RefusedAccountIDAndSwitchingAccounts) {
    preferences.setBoolean(keys::configured, true);
    auto& c = start();
    test::runUntil([&] { return c.claudeSummary() != "Detecting the local CLI…"; });
    side().start("bad id!");
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Account IDs may contain only letters, numbers, hyphens, and underscores");
    EXPECT_FALSE(side().accountID());
    EXPECT_FALSE(preferences.string(keys::account));

    side().start("  a\n");
    EXPECT_EQ(side().accountID(), "a");
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Connecting to local Claude Cowork session events…");
    EXPECT_EQ(row("Claude Desktop/a"), "Scanning local Cowork sessions");
    ASSERT_TRUE(test::runUntil([&] { return !row("Claude Usage/a").empty(); }));
    EXPECT_EQ(row("Claude Usage/a"), "Waiting for Claude Desktop to create local quota history");

    side().start("b");
    EXPECT_EQ(c.accountStatus("Claude Desktop/a"), nullptr);
    EXPECT_EQ(c.accountStatus("Claude Usage/a"), nullptr);
    EXPECT_EQ(preferences.string(keys::account), "b");

    // Refused while b is observed: b keeps running, and its later scans update b's row but
    // leave the refusal in the observer status until the next start or stop.
    ASSERT_TRUE(test::runUntil([&] { return row("Claude Desktop/b").starts_with("Local session"); }));
    side().start("");
    runningSession("x", t0 - 5);
    ASSERT_TRUE(test::runUntil([&] { return row("Claude Desktop/b") == "Local session event source connected · 1 current task"; }));
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Account IDs may contain only letters, numbers, hyphens, and underscores");
    EXPECT_EQ(side().accountID(), "b");
    side().start("b");
    ASSERT_TRUE(test::runUntil([&] { return c.claudeDesktopObserverStatus().starts_with("Local session"); }));
}

TEST_F(DesktopRuntime, VanishedActiveTasksCompleteAfterTwoMissedCapturesAndHookTasksStay) {
    runningSession("a", t0 - 10);
    runningSession("gone", t0 - 10);
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) && task(taskID("gone")); }));
    recordHookTask("claude-desktop");

    // Session a stays in the library but stops reporting (its activity is now too old and it has
    // no lifecycle events); session "gone" is deleted outright.
    writeSession(sessions, "a", "a", "Task a", t0 - 3600);
    fs::remove_all(sessions / "local_a");
    fs::remove(sessions / "local_gone.json");
    fs::remove_all(sessions / "local_gone");

    ASSERT_TRUE(test::runUntil([&] { return side().observationMisses().contains(taskID("a")); }));
    EXPECT_EQ(task(taskID("a"))->state, TaskState::running) << "one missed capture keeps the task";
    // "Scan Now" restarts the observers for the same account; the miss already counted stays.
    side().start("claude-desktop");
    EXPECT_TRUE(side().observationMisses().contains(taskID("a")));
    EXPECT_EQ(task(taskID("gone")), nullptr) << "a session that left the library is removed";
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a"))->state == TaskState::completed; }));
    EXPECT_EQ(task(taskID("a"))->updatedAt, Date::fromUnix(t0));
    EXPECT_TRUE(test::runUntil([&] { return side().observationMisses().empty(); })) << "a finished task loses its count";
    ASSERT_NE(task("hook-session"), nullptr);
    EXPECT_EQ(task("hook-session")->state, TaskState::running);
    (void)c;
}

TEST_F(DesktopRuntime, UnavailableLibraryClearsActiveTasksOnTheSecondFailure) {
    runningSession("a", t0 - 10);
    writeSession(sessions, "done", "done", "Done", t0, auditLine(R"("type":"result")", t0));
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) && task(taskID("done")); }));

    // A damaged metadata file makes the whole library unreadable.
    std::ofstream(sessions / "local_broken.json") << "{\"sessionId\":";
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) == nullptr; }));
    EXPECT_EQ(row("Claude Desktop/claude-desktop"), "Claude Cowork's local session library is temporarily unavailable");
    EXPECT_FALSE(c.accountStatus("Claude Desktop/claude-desktop")->isHealthy);
    ASSERT_NE(task(taskID("done")), nullptr) << "finished tasks are kept";

    fs::remove(sessions / "local_broken.json");
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) != nullptr; }));
}

TEST_F(DesktopRuntime, QuotaMergeKeepsALearntResetTime) {
    writeHistory(history, {{t0 - 60, 0, 1}, {t0, 5, 1}});
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return quota() && quota()->capturedAt == Date::fromUnix(t0); }));
    auto reset = quota()->windows.at(0).resetsAt;
    ASSERT_TRUE(reset);

    // A newer history whose walk breaks (a gap of more than 600 s) cannot place the window.
    // (Its time has come: readings from ahead of the companion's clock count as now.)
    clock = Date::fromUnix(t0 + 1000);
    writeHistory(history, {{t0 - 60, 0, 1}, {t0 + 1000, 7, 1}});
    ASSERT_TRUE(test::runUntil([&] { return quota()->capturedAt == Date::fromUnix(t0 + 1000); }));
    EXPECT_EQ(quota()->windows.at(0).usedPercentage, 7);
    EXPECT_EQ(quota()->windows.at(0).resetsAt, reset);

    // Once the learnt reset time is past, it is no longer carried.
    clock = *reset + 1;
    writeHistory(history, {{t0 - 60, 0, 1}, {t0 + 2000, 8, 1}});
    ASSERT_TRUE(test::runUntil([&] { return quota()->capturedAt == Date::fromUnix(t0 + 2000); }));
    EXPECT_FALSE(quota()->windows.at(0).resetsAt);

    // The history disappearing keeps what was recorded.
    fs::remove(history);
    ASSERT_TRUE(test::runUntil(
        [&] { return row("Claude Usage/claude-desktop") == "Waiting for Claude Desktop to create local quota history"; }));
    EXPECT_NE(quota(), nullptr);
    (void)c;
}

TEST_F(DesktopRuntime, StopRemovesEveryTaskOfTheAccountAndRemembersTheChoice) {
    runningSession("a", t0 - 10);
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) != nullptr; }));
    recordHookTask("claude-desktop");

    side().stop();
    EXPECT_FALSE(c.claudeDesktopObserverEnabled());
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Stopped; Claude Desktop will no longer be read");
    EXPECT_EQ(row("Claude Desktop/claude-desktop"), "Local observer stopped");
    EXPECT_EQ(c.claudeSummary(), "Claude Desktop observer is not enabled");
    EXPECT_EQ(task(taskID("a")), nullptr);
    EXPECT_EQ(task("hook-session"), nullptr);
    EXPECT_EQ(preferences.boolean(keys::enabled), false);
    EXPECT_EQ(preferences.boolean(keys::configured), true);
    EXPECT_FALSE(side().accountID());

    // Nothing is recorded after the stop, and the next start-up leaves the observers off.
    runningSession("b", t0 - 5);
    QEventLoop settle;
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
    EXPECT_EQ(task(taskID("b")), nullptr);
    controller.reset();
    start();
    ASSERT_TRUE(test::runUntil([&] { return controller->claudeSummary() != "Detecting the local CLI…"; }));
    EXPECT_FALSE(side().accountID());
}

TEST_F(DesktopRuntime, StoreFailuresWhileCleaningUpAreShown) {
    runningSession("a", t0 - 10);
    auto& c = start();
    ASSERT_TRUE(test::runUntil([&] { return task(taskID("a")) != nullptr; }));

    // The data folder becomes a file: every write of the snapshot fails.
    auto folder = snapshotFile.parent_path();
    fs::rename(folder, home / "moved");
    test::writeText(folder, "not a folder");
    std::ofstream(sessions / "local_broken.json") << "[]";
    ASSERT_TRUE(test::runUntil([&] {
        return c.accountStatus("Claude Desktop/claude-desktop") &&
               row("Claude Desktop/claude-desktop") == "Could not clear an unavailable local task observation";
    }));
    EXPECT_EQ(c.claudeDesktopObserverStatus(), "Claude Cowork's local session library is temporarily unavailable");

    side().stop();
    EXPECT_EQ(row("Claude Desktop/claude-desktop"), "Could not clean up the stopped observation task");
    EXPECT_FALSE(c.accountStatus("Claude Desktop/claude-desktop")->isHealthy);
}
