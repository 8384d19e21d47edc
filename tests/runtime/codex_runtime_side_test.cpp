// The Codex side of the running controller against the fake app-server and a generated Codex
// home: quota and local tasks end up in snapshot-v1.json; connect, remove and the rows.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QByteArray>
#include <ctime>

#include "../codex/codex_home_fixture.hpp"
#include "codex/saved_accounts.hpp"
#include "codex_fake_daemon.hpp"
#include "codex_test_support.hpp"
#include "model/files.hpp"
#include "runtime/codex_runtime_side.hpp"
#include "store/snapshot.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

struct CodexSide : ::testing::Test {
    TempDir dir;
    fs::path data = dir / "data";
    fs::path codexHome = dir / "codex-home";
    MemoryPreferences preferences;

    void SetUp() override {
        qtApplication();
        fs::create_directories(dir / "bin");
        installFakeCodex(dir / "bin");
        qputenv("FAKE_CODEX_SCENARIO", "signedIn");
        generateCodexHome();
    }
    void TearDown() override { qunsetenv("FAKE_CODEX_SCENARIO"); }

    void generateCodexHome() {
        auto now = Date::now();
        auto t = static_cast<long long>(now.unix());
        fs::create_directories(codexHome);
        SqliteWriter db(codexHome / "state_5.sqlite");
        db.exec("PRAGMA journal_mode=WAL;");
        db.exec(codexThreadsTable);
        auto rollout = [&](const std::string& id) { return codexHome / ("sessions/2026/12/10/rollout-" + id + ".jsonl"); };
        db.exec(insertThread({.id = "thread-running", .rolloutPath = rollout("thread-running"), .updatedAt = t - 5}));
        db.exec(insertThread({.id = "thread-done", .rolloutPath = rollout("thread-done"), .updatedAt = t - 20,
                              .name = "Finished work"}));
        db.exec(insertThread({.id = "thread-old", .rolloutPath = rollout("thread-old"), .updatedAt = t - 5000}));
        appendFile(rollout("thread-running"), rolloutEvent("task_started", iso(now - 5)));
        appendFile(rollout("thread-done"),
                   rolloutEvent("task_started", iso(now - 60)) + rolloutEvent("task_complete", iso(now - 20)));
        appendFile(rollout("thread-old"), rolloutEvent("task_complete", iso(now - 5000)));
        appendFile(codexHome / "session_index.jsonl",
                   R"({"id":"thread-running","thread_name":"Fix the flaky build","updated_at":"2026-12-10T06:36:48.735318361Z"})" "\n");
    }

    std::unique_ptr<runtime::ProviderRuntimeController> make(std::chrono::milliseconds refreshPeriod = std::chrono::milliseconds(200)) {
        runtime::ProviderRuntimeOptions o;
        o.environment = [this](const char* name) -> std::optional<std::string> {
            std::string n = name;
            if (n == "XDG_DATA_HOME") return data.string();
            if (n == "HOME") return (dir / "home").string();
            if (n == "PATH") return (dir / "bin").string();
            if (n == "CODEX_HOME") return codexHome.string();
            return std::nullopt;
        };
        o.preferences = &preferences;
        o.claudeCLIFallbackFolders = {};
        o.executablePath = [] { return fs::path("/usr/bin/vigilorb-companion"); };
        o.sides = {[](runtime::ProviderRuntimeController& c) { return std::make_unique<runtime::CodexRuntimeSide>(c); }};
        o.codexLocalPollPeriod = std::chrono::milliseconds(50);
        o.codexRefreshPeriod = refreshPeriod;
        o.codexRequestTimeout = std::chrono::milliseconds(5000);
        o.codexApprovalTimeScale = 0.05;
        return std::make_unique<runtime::ProviderRuntimeController>(std::move(o));
    }

    store::CompanionSnapshot fileSnapshot() { return store::decodeSnapshot(files::read(data / "VigilorbCompanion/snapshot-v1.json").value()).value(); }
};

bool hasTask(const store::CompanionSnapshot& s, const std::string& account, const std::string& id) {
    return s.tasksByID.contains(store::CompanionSnapshot::taskKey(AIProvider::codex, account, id));
}

TEST_F(CodexSide, SavedAccountShowsQuotaAndLocalTasksInTheSnapshotFile) {
    codex::upsertSavedCodexAccount(preferences, "codex-default", false);
    auto c = make();
    auto side = c->side<runtime::CodexRuntimeSide>();
    ASSERT_NE(side, nullptr);
    ASSERT_TRUE(runUntil([&] {
        auto row = c->accountStatus("codex-default");
        // Quota arrives in its own hand-over after the phase change, so wait for both.
        return row && row->detail == "Quota and 2 local Codex tasks synced" &&
               c->snapshot().quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "codex-default"));
    }));
    EXPECT_TRUE(c->accountStatus("codex-default")->isHealthy);
    EXPECT_EQ(c->codexSummary(), "1 local account connected");
    EXPECT_TRUE(c->codexIsHealthy());
    EXPECT_EQ(*side->diagnostics("codex-default"),
              "CLI: " + (dir / "bin/codex").string() + "\nvigil-orb/0.171.0 (Debian 12.0.0; x86_64) fake");

    auto snapshot = fileSnapshot();
    ASSERT_TRUE(snapshot.quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "codex-default")));
    const auto& quota = snapshot.quotasByAccount.at(store::CompanionSnapshot::quotaKey(AIProvider::codex, "codex-default"));
    EXPECT_EQ(quota.windows.size(), 2u);
    ASSERT_TRUE(hasTask(snapshot, "codex-default", "thread-running"));
    EXPECT_TRUE(hasTask(snapshot, "codex-default", "thread-done"));
    EXPECT_FALSE(hasTask(snapshot, "codex-default", "thread-old"));
    const auto& running = snapshot.tasksByID.at(store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", "thread-running"));
    EXPECT_EQ(running.title, "Fix the flaky build");
    EXPECT_EQ(running.state, TaskState::running);

    // The refresh loop asks the running client for its rate limits again.
    auto used = quota.windows[0].usedPercentage;
    ASSERT_TRUE(runUntil([&] {
        const auto& q = c->snapshot().quotasByAccount;
        auto it = q.find(store::CompanionSnapshot::quotaKey(AIProvider::codex, "codex-default"));
        return it != q.end() && it->second.windows[0].usedPercentage > used;
    }));
}

TEST_F(CodexSide, AnApprovalWaitOfTheSharedAppServerReachesTheSnapshotAndLeavesIt) {
    codex::upsertSavedCodexAccount(preferences, "codex-default", false);
    auto c = make(std::chrono::hours(1));
    const std::string row = "Codex Approvals/codex-default";
    const auto approvalKey = store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", "approval-thread-running");
    const auto taskKey = store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", "thread-running");
    auto stateOf = [&](const store::CompanionSnapshot& s) {
        auto it = s.tasksByID.find(taskKey);
        return it == s.tasksByID.end() ? std::optional<TaskState>() : it->second.state;
    };

    // No Codex session: one quiet row, no error.
    ASSERT_TRUE(runUntil([&] {
        return c->accountStatus(row) && stateOf(c->snapshot()) == TaskState::running && c->codexIsHealthy();
    }));
    EXPECT_EQ(c->accountStatus(row)->detail, "Codex approval waits are not visible until a Codex session runs");
    EXPECT_FALSE(c->accountStatus(row)->isHealthy);
    EXPECT_EQ(c->codexSummary(), "1 local account connected");  // not an account failure

    FakeCodexDaemon daemon(dir / "daemon.sock", runtime::CodexApprovalObserver::socketPath(codexHome));
    daemon.setThread(codexThread("thread-running", activeNoFlags));
    ASSERT_TRUE(runUntil([&] { return c->accountStatus(row)->isHealthy; }));
    EXPECT_EQ(c->accountStatus(row)->detail, "Watching Codex approval waits (read-only)");

    daemon.send(statusChanged("thread-running", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return c->snapshot().pendingActionsByID.contains(approvalKey); }))
        << daemon.log() << c->accountStatus(row)->detail << "\n" << store::encodeSnapshot(c->snapshot());
    // The local task observer keeps capturing (every 50 ms here) and must not undo the wait.
    runUntil([] { return false; }, std::chrono::milliseconds(400));
    auto file = fileSnapshot();
    ASSERT_TRUE(file.pendingActionsByID.contains(approvalKey));
    EXPECT_EQ(file.pendingActionsByID.at(approvalKey).kind, PendingActionKind::command);
    EXPECT_EQ(file.pendingActionsByID.at(approvalKey).taskID, "thread-running");
    EXPECT_EQ(stateOf(file), TaskState::waitingApproval);
    EXPECT_EQ(file.tasksByID.at(taskKey).title, "Fix the flaky build");  // one task, as the local observer names it

    // Answered in Codex: back to what the local observer says.
    daemon.send(statusChanged("thread-running", activeNoFlags));
    ASSERT_TRUE(runUntil([&] { return !c->snapshot().pendingActionsByID.contains(approvalKey); }));
    EXPECT_EQ(stateOf(c->snapshot()), TaskState::running);

    // Waiting again, then the daemon goes away: a wait nobody can see any more is not shown.
    daemon.send(statusChanged("thread-running", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return c->snapshot().pendingActionsByID.contains(approvalKey); }));
    daemon.stop();
    ASSERT_TRUE(runUntil([&] { return !c->snapshot().pendingActionsByID.contains(approvalKey); }));
    EXPECT_EQ(stateOf(c->snapshot()), TaskState::running);
    EXPECT_FALSE(fileSnapshot().pendingActionsByID.contains(approvalKey));
    EXPECT_EQ(c->accountStatus(row)->detail,
              "Codex session ended; its approval waits were cleared until a Codex session runs again");
    EXPECT_FALSE(c->accountStatus(row)->isHealthy);
}

TEST_F(CodexSide, ATaskCaptureThatCannotBeSavedStaysVisible) {
    codex::upsertSavedCodexAccount(preferences, "codex-default", false);
    auto c = make(std::chrono::hours(1));  // no quota refresh: only task captures write
    std::vector<std::string> rows;
    QObject::connect(c.get(), &runtime::ProviderRuntimeController::accountStatusesChanged, [&] {
        if (auto* row = c->accountStatus("codex-default"); row && (rows.empty() || rows.back() != row->detail))
            rows.push_back(row->detail);
    });
    const std::string synced = "Quota and 2 local Codex tasks synced";
    ASSERT_TRUE(runUntil([&] { return !rows.empty() && rows.back() == synced; }));

    // The snapshot can no longer be replaced (a folder stands in its place) and a task changes.
    auto file = data / "VigilorbCompanion/snapshot-v1.json";
    fs::remove(file);
    fs::create_directories(file / "blocker");
    appendFile(codexHome / "sessions/2026/12/10/rollout-thread-running.jsonl", rolloutEvent("task_complete", iso(Date::now())));
    const std::string failed = "Could not save the normalized task observation";
    ASSERT_TRUE(runUntil([&] { return std::find(rows.begin(), rows.end(), failed) != rows.end(); }));
    // The observer's "synced" report of that same poll does not cover the failure up.
    EXPECT_EQ(rows.back(), failed);
    EXPECT_FALSE(c->accountStatus("codex-default")->isHealthy);
    EXPECT_EQ(c->codexSummary(), "codex-default: " + failed);
    EXPECT_FALSE(c->codexIsHealthy());

    // Once the snapshot can be written again, the next poll stores the capture and says so.
    fs::remove_all(file);
    ASSERT_TRUE(runUntil([&] { return rows.back() == synced; }));
    EXPECT_EQ(fileSnapshot().tasksByID.at(store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", "thread-running")).state,
              TaskState::completed);
}

TEST_F(CodexSide, AnUpdateWithoutUsableWindowsLeavesTheRowAlone) {
    // Right after the first quota the server pushes an update without windows, then signs out.
    // The empty delivery runs after the sign-out has set the row.
    qputenv("FAKE_CODEX_SCENARIO", "emptyUpdateThenSignOut");
    codex::upsertSavedCodexAccount(preferences, "work", false);
    auto c = make(std::chrono::hours(1));
    std::vector<std::string> rows;
    QObject::connect(c.get(), &runtime::ProviderRuntimeController::accountStatusesChanged, [&] {
        if (auto* row = c->accountStatus("work"); row && (rows.empty() || rows.back() != row->detail)) rows.push_back(row->detail);
    });
    const std::string signedOut = "This Codex profile is signed out. Sign in locally in Codex, then retry.";
    ASSERT_TRUE(runUntil([&] { return std::find(rows.begin(), rows.end(), signedOut) != rows.end(); }));
    runUntil([] { return false; }, std::chrono::milliseconds(100));  // let queued deliveries run
    // Recording the empty batch would have replaced the row with the generic, healthy text.
    EXPECT_EQ(std::find(rows.begin(), rows.end(), "Read-only quota and task state updated"), rows.end());
    EXPECT_EQ(c->accountStatus("work")->detail, signedOut);
    EXPECT_FALSE(c->accountStatus("work")->isHealthy);
}

TEST_F(CodexSide, ConnectRemoveAndRefusedIDs) {
    auto c = make();
    auto side = c->side<runtime::CodexRuntimeSide>();
    runUntil([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(c->codexSummary(), "Waiting for local capture to start");
    EXPECT_FALSE(c->codexIsHealthy());

    side->connectAccount(" bad id! ", false);
    side->connectAccount("  \n", true);
    EXPECT_EQ(c->accountStatus("bad id!")->detail, invalidAccountIDMessage);
    EXPECT_EQ(c->accountStatus("Invalid account")->detail, invalidAccountIDMessage);
    EXPECT_TRUE(codex::loadSavedCodexAccounts(preferences).empty());

    // An isolated profile: its own folder (0700), no task index there yet.
    side->connectAccount(" team_2\n", true);
    auto profile = data / "VigilorbCompanion/Profiles/codex/team_2";
    struct stat st{};
    ASSERT_EQ(::stat(profile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(runUntil([&] {
        auto row = c->accountStatus("team_2");
        return row && row->detail == "Quota connected; waiting for Codex to create its local task index";
    }));
    EXPECT_FALSE(c->accountStatus("team_2")->isHealthy);
    EXPECT_EQ(c->codexSummary(), "team_2: Quota connected; waiting for Codex to create its local task index");

    // Two accounts on the shared home: the second replaces the first.
    side->connectAccount("home", false);
    ASSERT_TRUE(runUntil([&] { return c->snapshot().quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "home")); }));
    side->connectAccount("work", false);
    EXPECT_EQ(c->accountStatus("home"), nullptr);
    EXPECT_FALSE(c->snapshot().quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "home")));
    EXPECT_EQ(codex::loadSavedCodexAccounts(preferences),
              (std::vector<codex::SavedCodexAccount>{{"team_2", true}, {"work", false}}));
    ASSERT_TRUE(runUntil([&] { return hasTask(c->snapshot(), "work", "thread-running"); }));

    // Removing an account forgets it everywhere.
    side->removeAccount("work");
    EXPECT_EQ(c->accountStatus("work"), nullptr);
    EXPECT_EQ(side->client("work"), nullptr);
    EXPECT_FALSE(hasTask(c->snapshot(), "work", "thread-running"));
    EXPECT_FALSE(hasTask(fileSnapshot(), "work", "thread-running"));
    EXPECT_EQ(codex::loadSavedCodexAccounts(preferences), (std::vector<codex::SavedCodexAccount>{{"team_2", true}}));
    EXPECT_EQ(c->accountStatus("Codex Approvals/work"), nullptr);
    EXPECT_EQ(side->approvalObserver("work"), nullptr);
    runUntil([] { return false; }, std::chrono::milliseconds(300));  // late callbacks of the removed client change nothing
    EXPECT_EQ(c->accountStatus("work"), nullptr);
    EXPECT_EQ(c->accountStatus("Codex Approvals/work"), nullptr);
    EXPECT_FALSE(hasTask(c->snapshot(), "work", "thread-running"));
}

TEST_F(CodexSide, MissingExecutableAndStaleQuotasAtStartUp) {
    fs::remove(dir / "bin/codex");
    // A quota of an account that is no longer saved is dropped at start-up.
    {
        store::CompanionSnapshotStore store(data / "VigilorbCompanion/snapshot-v1.json");
        AccountQuotaSnapshot q{std::nullopt, "gone", AIProvider::codex, {{QuotaWindowKind::primary, 5, std::nullopt, std::nullopt}}, Date::now()};
        ASSERT_TRUE(store.apply(ProviderEventEnvelope::make(NormalizedProviderEvent::quota(q), Date::now())).has_value());
    }
    codex::upsertSavedCodexAccount(preferences, "work", false);
    auto c = make();
    ASSERT_TRUE(runUntil([&] { return c->accountStatus("work") != nullptr; }));
    EXPECT_EQ(c->accountStatus("work")->detail,
              "Codex CLI not found. Install or update the Codex desktop app, then try Start Codex again.");
    EXPECT_FALSE(c->snapshot().quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "gone")));
    EXPECT_EQ(c->codexSummary(),
              "work: Codex CLI not found. Install or update the Codex desktop app, then try Start Codex again.");
    // The saved account stays saved: it was saved before, and a failed start does not remove it.
    EXPECT_EQ(codex::loadSavedCodexAccounts(preferences).size(), 1u);
}

TEST_F(CodexSide, RefreshReconnectsAnAccountWhoseServerExited) {
    qputenv("FAKE_CODEX_SCENARIO", "exitAfterQuota");
    codex::upsertSavedCodexAccount(preferences, "work", false);
    auto c = make();
    auto side = c->side<runtime::CodexRuntimeSide>();
    const std::string exited = "Codex App Server stopped (exit 0). Retry the connection.";
    // Every text the row and the summary show, in order (the refresh pass may replace the
    // failed client before the test looks).
    std::vector<std::string> rows, summaries;
    QObject::connect(c.get(), &runtime::ProviderRuntimeController::accountStatusesChanged, [&] {
        if (auto* row = c->accountStatus("work"); row && (rows.empty() || rows.back() != row->detail)) rows.push_back(row->detail);
    });
    QObject::connect(c.get(), &runtime::ProviderRuntimeController::codexSummaryChanged, [&] { summaries.push_back(c->codexSummary()); });
    ASSERT_TRUE(runUntil([&] { return std::find(rows.begin(), rows.end(), exited) != rows.end(); }));
    EXPECT_NE(std::find(summaries.begin(), summaries.end(), "work: " + exited), summaries.end());
    ASSERT_NE(side->client("work"), nullptr);

    // The next refresh pass replaces the failed client (failed is final for a client) with a
    // new connection.
    qputenv("FAKE_CODEX_SCENARIO", "signedIn");
    ASSERT_TRUE(runUntil([&] {
        auto* now = side->client("work");
        return now && now->phase() == codex::CodexConnectionPhase::connected() && now->isRunning();
    }));
    ASSERT_TRUE(runUntil([&] { return c->codexSummary() == "1 local account connected"; }));
    ASSERT_TRUE(runUntil([&] {
        return c->snapshot().quotasByAccount.contains(store::CompanionSnapshot::quotaKey(AIProvider::codex, "work"));
    }));
}

}  // namespace
