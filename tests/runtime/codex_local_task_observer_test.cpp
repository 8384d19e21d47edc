// The observer's poll loop: captures on the thread pool, results on the main thread.
#include "runtime/codex_local_task_observer.hpp"

#include <gtest/gtest.h>

#include "../codex/codex_home_fixture.hpp"
#include "codex_test_support.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

struct Calls {
    std::vector<std::string> statuses;
    std::vector<std::size_t> taskCounts;
};

TEST(CodexObserverLoop, ReportsUntilTheIndexAppearsThenSyncsAndStopsCleanly) {
    qtApplication();
    TempDir home;
    runtime::CodexLocalTaskObserver observer("work", home.path(), std::chrono::milliseconds(20));
    Calls calls;
    observer.start([&](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>&) { calls.taskCounts.push_back(tasks.size()); },
                   [&](const std::string& detail, bool) { calls.statuses.push_back(detail); });
    ASSERT_TRUE(runUntil([&] { return calls.statuses.size() >= 2; }));
    EXPECT_EQ(calls.statuses[0], "Quota connected; waiting for Codex to create its local task index");
    EXPECT_TRUE(calls.taskCounts.empty());

    auto now = Date::now();
    {
        SqliteWriter db(home / "state_5.sqlite");
        db.exec(codexThreadsTable);
        db.exec(insertThread({.id = "t1", .rolloutPath = (home / "r1.jsonl").string(),
                              .updatedAt = static_cast<long long>(now.unix())}));
    }
    appendFile(home / "r1.jsonl", rolloutEvent("task_started", "2026-12-10T06:00:00Z"));
    ASSERT_TRUE(runUntil([&] { return !calls.taskCounts.empty(); }));
    EXPECT_EQ(calls.taskCounts[0], 1u);
    ASSERT_TRUE(runUntil([&] { return calls.statuses.back() == "Quota and 1 local Codex task synced"; }));

    // Stopping from inside the event handler: no status for that poll, no further polls.
    bool stopNow = true;
    Calls after;
    observer.start(
        [&](const std::vector<TaskSnapshot>&, const std::set<std::string>&) {
            after.taskCounts.push_back(1);
            if (stopNow) observer.stop();
        },
        [&](const std::string& detail, bool) { after.statuses.push_back(detail); });
    ASSERT_TRUE(runUntil([&] { return !after.taskCounts.empty(); }));
    runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(after.taskCounts.size(), 1u);
    EXPECT_TRUE(after.statuses.empty());
    EXPECT_FALSE(observer.isRunning());
}

// While nothing changed, a poll hands nothing over, until a task outlives its state or the
// handler asked for another handover.
TEST(CodexObserverLoop, QuietWhileNothingChangedUntilATaskAgesOutOrARequest) {
    qtApplication();
    TempDir home;
    Date now = Date::fromUnix(1'800'000'000);
    auto rollout = home / "sessions" / "r1.jsonl";
    appendFile(rollout, rolloutEvent("task_started", iso(now - 20)));
    {
        SqliteWriter db(home / "state_5.sqlite");
        db.exec(codexThreadsTable);
        db.exec(insertThread({.id = "t1", .rolloutPath = rollout.string(),
                              .updatedAt = static_cast<long long>(now.unix()) - 10}));
    }
    runtime::CodexLocalTaskObserver observer("work", home.path(), std::chrono::milliseconds(5), [&] { return now; });
    std::vector<std::size_t> handovers;  // tasks in each
    int askAgain = 0;
    observer.start(
        [&](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>&) {
            handovers.push_back(tasks.size());
            if (askAgain > 0) {
                --askAgain;
                observer.handOverAgain();
            }
        },
        [](const std::string&, bool) {});
    ASSERT_TRUE(runUntil([&] { return !handovers.empty(); }));
    runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(handovers, (std::vector<std::size_t>{1}));

    // Running until 180 s after its last activity (the row's update); the handler asks twice
    // for more.
    askAgain = 2;
    now = now + 171;
    ASSERT_TRUE(runUntil([&] { return handovers.size() >= 4; }));
    runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(handovers, (std::vector<std::size_t>{1, 0, 0, 0}));
}

TEST(CodexObserverLoop, ReleasingTheObserverDuringACaptureIsHarmless) {
    qtApplication();
    TempDir home;
    int calls = 0;
    {
        runtime::CodexLocalTaskObserver observer("work", home.path(), std::chrono::milliseconds(20));
        observer.start([&](const std::vector<TaskSnapshot>&, const std::set<std::string>&) { ++calls; },
                       [&](const std::string&, bool) { ++calls; });
    }
    runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(calls, 0);
}

}  // namespace
