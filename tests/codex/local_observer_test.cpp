#include "codex/local_observer.hpp"

#include <gtest/gtest.h>

#include "codex/task_title.hpp"
#include "codex_home_fixture.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromUnix(1'800'000'000);

CodexLocalActivityRecord activity(const std::string& id, Date last) {
    CodexLocalActivityRecord a;
    a.threadID = id;
    a.lastActivityAt = last;
    return a;
}

TEST(CodexTaskDerivation, Rules) {
    struct Case {
        const char* what;
        CodexLocalActivityRecord a;
        double recordAge;
        std::optional<TaskState> state;
        // Until when deriving again gives the same (the task's lifetime ends).
        std::optional<Date> sameUntil;
        std::optional<Date> updatedAt = std::nullopt;
    };
    auto with = [](CodexLocalActivityRecord a, auto field, Date d) {
        a.*field = d;
        a.lastActivityAt = std::max(a.lastActivityAt, d);
        return a;
    };
    using R = CodexLocalActivityRecord;
    auto base = activity("t", now - 200);
    const Case cases[] = {
        {"started 200 s ago, row updated 100 s ago: running at the row time",
         with(base, &R::lastTaskStartedAt, now - 200), 100, TaskState::running, now + 80, now - 100},
        {"started 200 s ago, row 200 s ago: too old", with(base, &R::lastTaskStartedAt, now - 200), 200, std::nullopt,
         std::nullopt},
        {"complete and failed at once: failed",
         with(with(base, &R::lastTaskCompletedAt, now - 10), &R::lastTaskFailedAt, now - 10), 500, TaskState::failed,
         now + 290},
        {"started and approval at once: approval",
         with(with(base, &R::lastTaskStartedAt, now - 10), &R::lastApprovalRequestAt, now - 10), 500,
         TaskState::waitingApproval, now + 170},
        {"input after start", with(with(base, &R::lastTaskStartedAt, now - 20), &R::lastUserInputRequestAt, now - 10),
         500, TaskState::waitingInput, now + 170},
        {"completed 301 s ago", with(base, &R::lastTaskCompletedAt, now - 301), 0, std::nullopt, std::nullopt},
        {"cancelled 300 s ago", with(base, &R::lastTaskCancelledAt, now - 300), 0, TaskState::cancelled, now},
        {"no lifecycle instant", base, 0, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto a = c.a;
        std::vector<CodexLocalThreadRecord> records{{"thread-123456789", std::nullopt, now - c.recordAge}};
        a.threadID = records[0].id;
        const std::map<std::string, CodexLocalActivityRecord> activities{{a.threadID, a}};
        auto tasks = deriveTasks("work", records, activities, now);
        EXPECT_EQ(derivedTasksSameUntil(records, activities, now), c.sameUntil);
        if (c.sameUntil) {
            EXPECT_EQ(deriveTasks("work", records, activities, *c.sameUntil), tasks);
            EXPECT_TRUE(deriveTasks("work", records, activities, *c.sameUntil + 0.001).empty());
        }
        ASSERT_EQ(tasks.size(), c.state ? 1u : 0u);
        if (!c.state) continue;
        EXPECT_EQ(tasks[0].state, *c.state);
        EXPECT_EQ(tasks[0].title, "Codex task \u00B7 456789");
        EXPECT_EQ(tasks[0].provider, AIProvider::codex);
        EXPECT_EQ(tasks[0].accountID, "work");
        if (c.updatedAt) {
            EXPECT_EQ(tasks[0].updatedAt, *c.updatedAt);
        }
    }
}

TEST(CodexObserverStatus, Texts) {
    using Result = std::expected<CaptureSnapshot, LocalObserverError>;
    EXPECT_EQ(observerStatus(Result(std::unexpected(LocalObserverError::stateDatabaseMissing))),
              (ObserverStatus{"Quota connected; waiting for Codex to create its local task index", false}));
    EXPECT_EQ(observerStatus(Result(std::unexpected(LocalObserverError::queryFailed))),
              (ObserverStatus{"Quota connected; the local Codex task index is temporarily unavailable", false}));
    CaptureSnapshot s;
    EXPECT_EQ(observerStatus(Result(s)), (ObserverStatus{"Quota and 0 local Codex tasks synced", true}));
    s.tasks.resize(1);
    EXPECT_EQ(observerStatus(Result(s)), (ObserverStatus{"Quota and 1 local Codex task synced", true}));
    s.tasks.resize(2);
    EXPECT_EQ(observerStatus(Result(s)), (ObserverStatus{"Quota and 2 local Codex tasks synced", true}));
}

class CodexCapture : public ::testing::Test {
protected:
    TempDir home;
    fs::path rollout(const std::string& id) { return home / ("sessions/2026/12/10/rollout-2026-12-10T06-00-00-" + id + ".jsonl"); }
    void makeDatabase(const std::vector<ThreadSpec>& threads) {
        SqliteWriter w(home / "state_5.sqlite");
        w.exec("PRAGMA journal_mode=WAL;");
        w.exec(codexThreadsTable);
        for (const auto& t : threads) w.exec(insertThread(t));
    }
};

TEST_F(CodexCapture, MissingDatabaseAndBrokenQuery) {
    CaptureState state;
    auto r = capture("work", home.path(), state, now);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LocalObserverError::stateDatabaseMissing);
    appendFile(home / "state_5.sqlite", std::string(4096, 'x'));
    r = capture("work", home.path(), state, now);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LocalObserverError::queryFailed);
}

TEST_F(CodexCapture, TasksNamesAndKeptCursors) {
    long long t = static_cast<long long>(now.unix());
    makeDatabase({
        {.id = "running-thread", .rolloutPath = rollout("running-thread"), .updatedAt = t - 10, .name = "  Row   name "},
        {.id = "named-by-index", .rolloutPath = rollout("named-by-index"), .updatedAt = t - 20},
        {.id = "old-done", .rolloutPath = rollout("old-done"), .updatedAt = t - 1000},
        {.id = "quiet", .rolloutPath = rollout("quiet"), .updatedAt = t - 5},
        {.id = "no-file", .rolloutPath = rollout("no-file"), .updatedAt = t - 5},
    });
    appendFile(rollout("running-thread"), rolloutEvent("task_started", iso(now - 30)));
    appendFile(rollout("named-by-index"), rolloutEvent("task_started", iso(now - 60)) +
                                              rolloutEvent("exec_approval_request", iso(now - 40)));
    appendFile(rollout("old-done"), rolloutEvent("task_complete", iso(now - 1000)));
    appendFile(rollout("quiet"), rolloutEvent("token_count", iso(now - 5)));
    appendFile(home / "session_index.jsonl",
               R"({"id":"named-by-index","thread_name":"from the index","updated_at":"2026-12-10T06:36:48.735318361Z"})" "\n"
               R"({"id":"running-thread","thread_name":"index loses to row","updated_at":"2026-12-10T06:36:48Z"})" "\n");

    CaptureState state;
    auto r = capture("work", home.path(), state, now);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->indexedIDs, (std::set<std::string>{"running-thread", "named-by-index", "old-done", "quiet", "no-file"}));
    ASSERT_EQ(r->tasks.size(), 2u);
    EXPECT_EQ(r->tasks[0].id, "running-thread");
    EXPECT_EQ(r->tasks[0].title, "Row name");
    EXPECT_EQ(r->tasks[0].state, TaskState::running);
    EXPECT_EQ(r->tasks[1].title, "from the index");
    EXPECT_EQ(r->tasks[1].state, TaskState::waitingApproval);
    EXPECT_EQ(r->lifecycleCursors.size(), 4u);  // not for the missing file
    EXPECT_EQ(state.cursors, r->lifecycleCursors);

    // The rollout vanishes: the kept cursor still gives the task, until it ages out.
    fs::remove(rollout("running-thread"));
    r = capture("work", home.path(), state, now + 60);
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->tasks.empty());
    EXPECT_EQ(r->tasks[0].id, "running-thread");
    EXPECT_TRUE(r->lifecycleCursors.contains(rollout("running-thread")));

    // Appended events are picked up incrementally.
    appendFile(rollout("named-by-index"), rolloutEvent("task_complete", iso(now + 61)));
    r = capture("work", home.path(), state, now + 62);
    ASSERT_TRUE(r);
    auto it = std::find_if(r->tasks.begin(), r->tasks.end(), [](const TaskSnapshot& t) { return t.id == "named-by-index"; });
    ASSERT_NE(it, r->tasks.end());
    EXPECT_EQ(it->state, TaskState::completed);
}

TEST_F(CodexCapture, FailedPollKeepsTheCursors) {
    long long t = static_cast<long long>(now.unix());
    makeDatabase({{.id = "a", .rolloutPath = rollout("a"), .updatedAt = t}});
    appendFile(rollout("a"), rolloutEvent("task_started", iso(now)));
    CaptureState state;
    ASSERT_TRUE(capture("work", home.path(), state, now));
    auto kept = state.cursors;
    fs::remove(home / "state_5.sqlite");
    fs::remove(home / "state_5.sqlite-wal");
    fs::remove(home / "state_5.sqlite-shm");
    EXPECT_FALSE(capture("work", home.path(), state, now));
    EXPECT_EQ(state.cursors, kept);
}

// A poll reads only what changed, and gives what reading everything would give: the database
// again when it or its write-ahead log changed (a change still in the log leaves the database
// file as it was), a rollout again when it grew. recapture() gives the same without any file.
TEST_F(CodexCapture, UnchangedFilesAreNotReadAgainAndTheResultIsTheSame) {
    long long t = static_cast<long long>(now.unix());
    makeDatabase({{.id = "a", .rolloutPath = rollout("a"), .updatedAt = t - 10},
                  {.id = "b", .rolloutPath = rollout("b"), .updatedAt = t - 20}});
    appendFile(rollout("a"), rolloutEvent("task_started", iso(now - 30)));
    appendFile(rollout("b"), rolloutEvent("task_complete", iso(now - 40)));
    auto fresh = [&](Date at) {
        CaptureState other;
        return capture("work", home.path(), other, at);
    };
    auto same = [&](const std::expected<CaptureSnapshot, LocalObserverError>& r, Date at) {
        auto expected = fresh(at);
        ASSERT_TRUE(r);
        ASSERT_TRUE(expected);
        EXPECT_EQ(r->tasks, expected->tasks);
        EXPECT_EQ(r->indexedIDs, expected->indexedIDs);
        EXPECT_EQ(r->lifecycleCursors, expected->lifecycleCursors);
    };

    CaptureState state;
    same(capture("work", home.path(), state, now), now);
    EXPECT_EQ(state.databaseReads, 1u);
    EXPECT_EQ(state.rolloutScans, 2u);

    same(capture("work", home.path(), state, now + 1), now + 1);
    EXPECT_EQ(state.databaseReads, 1u);
    EXPECT_EQ(state.rolloutScans, 2u);
    // Tasks age with the clock also when nothing is read (the running one after 180 s).
    same(recapture("work", state, now + 200), now + 200);

    appendFile(rollout("a"), rolloutEvent("task_complete", iso(now + 2)));
    same(capture("work", home.path(), state, now + 3), now + 3);
    EXPECT_EQ(state.databaseReads, 1u);
    EXPECT_EQ(state.rolloutScans, 3u);

    {
        // A writer still open: the new row is only in the write-ahead log.
        SqliteWriter writer(home / "state_5.sqlite");
        writer.exec(insertThread({.id = "c", .rolloutPath = rollout("c"), .updatedAt = t + 4}));
        appendFile(rollout("c"), rolloutEvent("task_started", iso(now + 4)));
        auto r = capture("work", home.path(), state, now + 5);
        same(r, now + 5);
        EXPECT_TRUE(r->indexedIDs.contains("c"));
        EXPECT_EQ(state.databaseReads, 2u);
        EXPECT_EQ(state.rolloutScans, 4u);
    }
    same(recapture("work", state, now + 6), now + 6);

    // A failure is what recapture() gives too.
    fs::remove(home / "state_5.sqlite");
    fs::remove(home / "state_5.sqlite-wal");
    EXPECT_EQ(capture("work", home.path(), state, now + 7).error(), LocalObserverError::stateDatabaseMissing);
    EXPECT_EQ(recapture("work", state, now + 8).error(), LocalObserverError::stateDatabaseMissing);
}

}  // namespace
