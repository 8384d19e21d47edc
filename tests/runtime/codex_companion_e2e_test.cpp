// The real vigilorb-companion process with a saved Codex account: quota from the fake
// app-server and tasks from a generated Codex home end up in snapshot-v1.json; ending the
// companion ends its app-server child too.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <cerrno>
#include <ctime>

#include "../codex/codex_home_fixture.hpp"
#include "codex/saved_accounts.hpp"
#include "codex_test_support.hpp"
#include "model/files.hpp"
#include "runtime/qsettings_preferences.hpp"
#include "store/snapshot.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

TEST(CodexCompanionProcess, SavedAccountSyncsQuotaAndLocalTasksIntoTheSnapshotFile) {
    qtApplication();
    TempDir dir;
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "home");
    installFakeCodex(dir / "bin");

    // A Codex home with one running thread, named by the session index.
    auto codexHome = dir / "codex-home";
    fs::create_directories(codexHome);
    auto now = Date::now();
    auto rollout = codexHome / "sessions/2026/12/10/rollout-2026-12-10T06-00-00-thread-e2e.jsonl";
    {
        SqliteWriter db(codexHome / "state_5.sqlite");
        db.exec("PRAGMA journal_mode=WAL;");
        db.exec(codexThreadsTable);
        db.exec(insertThread({.id = "thread-e2e", .rolloutPath = rollout.string(),
                              .updatedAt = static_cast<long long>(now.unix())}));
    }
    appendFile(rollout, rolloutEvent("task_started", iso(now - 2)));
    appendFile(codexHome / "session_index.jsonl",
               R"({"id":"thread-e2e","thread_name":"Ship the release","updated_at":"2026-12-10T06:36:48.735318361Z"})" "\n");

    // The saved account, in the preferences file the app reads.
    {
        runtime::QSettingsPreferences preferences(QString::fromStdString((dir / "config/VigilorbCompanion/VigilorbCompanion.conf").string()));
        codex::upsertSavedCodexAccount(preferences, "codex-default", false);
    }

    QProcess companion;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString((dir / "home").string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((dir / "data").string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((dir / "config").string()));
    env.insert("CODEX_HOME", QString::fromStdString(codexHome.string()));
    env.insert("PATH", QString::fromStdString((dir / "bin").string()) + ":/usr/bin:/bin");
    env.insert("FAKE_CODEX_SCENARIO", "signedIn");
    env.insert("FAKE_CODEX_PIDFILE", QString::fromStdString((dir / "fake.pid").string()));
    companion.setProcessEnvironment(env);
    companion.setProgram(CODEX_COMPANION_EXECUTABLE);
    companion.setProcessChannelMode(QProcess::ForwardedChannels);
    companion.start();
    ASSERT_TRUE(companion.waitForStarted());

    auto snapshotFile = dir / "data/VigilorbCompanion/snapshot-v1.json";
    auto quotaKey = store::CompanionSnapshot::quotaKey(AIProvider::codex, "codex-default");
    auto taskKey = store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", "thread-e2e");
    std::optional<store::CompanionSnapshot> snapshot;
    bool synced = runUntil([&] {
        try {
            snapshot = store::decodeSnapshot(files::read(snapshotFile).value()).value();
        } catch (...) {
            return false;
        }
        return snapshot->quotasByAccount.contains(quotaKey) && snapshot->tasksByID.contains(taskKey);
    });
    ASSERT_TRUE(synced) << "companion state: " << companion.state();
    EXPECT_EQ(snapshot->quotasByAccount.at(quotaKey).windows.size(), 2u);
    EXPECT_EQ(snapshot->tasksByID.at(taskKey).title, "Ship the release");
    EXPECT_EQ(snapshot->tasksByID.at(taskKey).state, TaskState::running);

    auto fakePID = static_cast<pid_t>(std::stol(readText(dir / "fake.pid")));
    companion.terminate();
    ASSERT_TRUE(companion.waitForFinished(60000));
    EXPECT_EQ(companion.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(companion.exitCode(), 0);
    // The app-server child went with the companion (no orphan left running).
    EXPECT_TRUE(runUntil([&] { return ::kill(fakePID, 0) != 0 && errno == ESRCH; }, std::chrono::seconds(10)));
}

}  // namespace
