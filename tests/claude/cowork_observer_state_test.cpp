#include <gtest/gtest.h>

#include "claude/cowork_observer_state.hpp"
#include "claude/cowork_reconciliation.hpp"

using namespace vigilorb;
using namespace vigilorb::claude::cowork;

namespace {

const Date start = Date::fromUnix(1'765'000'000);

TaskSnapshot task(std::string id, TaskState state, Date updated, std::string account = "work") {
    return TaskSnapshot{std::move(id), std::nullopt, std::move(account), AIProvider::claude, "Cowork · t", state, updated};
}

CaptureResult result(std::vector<TaskSnapshot> tasks, std::size_t metadataCount) {
    CaptureResult r;
    for (auto& t : tasks) r.indexedIDs.insert(t.id);
    r.tasks = std::move(tasks);
    r.metadataCount = metadataCount;
    return r;
}

std::vector<std::string> idsOf(const std::vector<TaskSnapshot>& tasks) {
    std::vector<std::string> out;
    for (auto& t : tasks) out.push_back(t.id);
    return out;
}

}  // namespace

TEST(CoworkObserverState, ChoosesFreshActiveTasksAndFinishesSeenOnOurWatch) {
    CoworkObserverState state(start);
    Date now = start + 10;
    auto chosen = state.chooseTasks(
        {
            task("desktop-run", TaskState::running, now - 900),
            task("desktop-run-old", TaskState::running, now - 960),
            task("desktop-wait", TaskState::waitingApproval, now - 86400),
            task("desktop-wait-old", TaskState::waitingInput, now - 86401),
            task("desktop-done-before", TaskState::completed, start - 1),
            task("desktop-done-after", TaskState::failed, start),
            task("desktop-newest", TaskState::waitingInput, now),
        },
        now);
    EXPECT_EQ(idsOf(chosen), (std::vector<std::string>{"desktop-newest", "desktop-done-after", "desktop-run",
                                                       "desktop-wait"}));

    // Seen running, then finished with an old date: reported because the change was seen live.
    state.chooseTasks({task("desktop-x", TaskState::running, start - 60)}, now);
    auto finished = state.chooseTasks({task("desktop-x", TaskState::completed, start - 30)}, now);
    EXPECT_EQ(idsOf(finished), std::vector<std::string>{"desktop-x"});
}

TEST(CoworkObserverState, StatusTextsAndTheUnavailableSignal) {
    CoworkObserverState state(start);
    auto connected = state.onCapture(result({}, 0), start);
    EXPECT_EQ(connected.status, "Local session event source connected; waiting for a new Cowork task");
    EXPECT_TRUE(connected.healthy);
    ASSERT_TRUE(connected.report);

    EXPECT_EQ(state.onCapture(result({}, 3), start).status, "Local session event source connected · 0 current tasks");
    auto one = state.onCapture(result({task("desktop-a", TaskState::running, start), task("desktop-b", TaskState::completed, start)}, 2), start);
    EXPECT_EQ(one.status, "Local session event source connected · 1 current task");
    EXPECT_EQ(one.report->tasks.size(), 2u);
    EXPECT_EQ(one.report->indexedIDs.size(), 2u);

    auto missing = state.onCapture(std::unexpected(ObserverError::sessionStoreMissing), start);
    EXPECT_FALSE(missing.report);
    EXPECT_FALSE(missing.libraryUnavailable) << "the runtime is told nothing on the first failure";
    EXPECT_FALSE(missing.healthy);
    EXPECT_EQ(missing.status,
              "Claude Cowork's local session library was not found; it will connect after you start a Cowork task");
    auto second = state.onCapture(std::unexpected(ObserverError::sessionStoreUnreadable), start);
    EXPECT_TRUE(second.libraryUnavailable);
    EXPECT_EQ(second.status, "Claude Cowork's local session library is temporarily unavailable");
    EXPECT_FALSE(state.onCapture(std::unexpected(ObserverError::sessionStoreUnreadable), start).libraryUnavailable)
        << "once per run of failures";

    state.onCapture(result({}, 0), start);
    state.onCapture(std::unexpected(ObserverError::sessionStoreMissing), start);
    EXPECT_TRUE(state.onCapture(std::unexpected(ObserverError::sessionStoreMissing), start).libraryUnavailable)
        << "a success resets the count";
}

// The same capture applied again gives the same outcome until the first freshness edge ahead,
// once the state has taken it in (the first application remembers the reported states).
TEST(CoworkObserverState, AppliedAgainTheOutcomeRepeatsUntilTheNextFreshnessEdge) {
    struct Case {
        const char* what;
        std::vector<TaskSnapshot> captured;
        std::optional<Date> sameUntil;
    };
    const Date now = start + 100;
    const Case cases[] = {
        {"nothing active", {task("desktop-done", TaskState::completed, start + 50)}, std::nullopt},
        {"running and waiting: the earlier edge",
         {task("desktop-run", TaskState::running, now - 100), task("desktop-wait", TaskState::waitingInput, now - 10)},
         now - 100 + 900},
        {"waiting only", {task("desktop-wait", TaskState::waitingApproval, now - 10)}, now - 10 + 86400},
        {"an edge already passed does not count",
         {task("desktop-stale", TaskState::running, now - 901), task("desktop-wait", TaskState::waitingApproval, now)},
         now + 86400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CoworkObserverState state(start);
        auto first = state.onCapture(result(c.captured, c.captured.size()), now);
        auto again = state.onUnchanged(now);
        ASSERT_TRUE(first.report && again.report);
        EXPECT_EQ(idsOf(again.report->tasks), idsOf(first.report->tasks));
        EXPECT_EQ(again.report->indexedIDs, first.report->indexedIDs);
        EXPECT_EQ(again.status, first.status);
        EXPECT_TRUE(again.settled);
        EXPECT_EQ(again.sameUntil, c.sameUntil);
        EXPECT_TRUE(state.onUnchanged(now + 1).settled);
    }

    // The first application takes a running task in: not settled. Past its edge the task is
    // no longer chosen, and then nothing lies ahead.
    CoworkObserverState state(start);
    auto first = state.onCapture(result({task("desktop-run", TaskState::running, now)}, 1), now);
    EXPECT_FALSE(first.settled);
    EXPECT_EQ(state.onUnchanged(now + 900).report->tasks.size(), 1u);
    auto past = state.onUnchanged(now + 901);
    EXPECT_TRUE(past.report->tasks.empty());
    EXPECT_EQ(past.status, "Local session event source connected · 0 current tasks");
    EXPECT_EQ(past.sameUntil, std::nullopt);

    // A failure is never settled, and the next success starts from its own capture.
    EXPECT_FALSE(state.onCapture(std::unexpected(ObserverError::sessionStoreUnreadable), now).settled);
    EXPECT_EQ(state.onCapture(result({}, 0), now).report->indexedIDs.size(), 0u);
}

TEST(CoworkObserverState, FailedPassKeepsTheCacheOfTheLastSuccess) {
    CoworkObserverState state(start);
    auto r = result({}, 1);
    r.cache.sessions["desktop-a"] = CachedObservation{{}, {}, task("desktop-a", TaskState::running, start)};
    state.onCapture(r, start);
    state.onCapture(std::unexpected(ObserverError::sessionStoreUnreadable), start);
    EXPECT_EQ(state.cache().sessions.size(), 1u);
}

TEST(CoworkReconciliation, KeepSetAndMissedTaskCompletions) {
    store::CompanionSnapshot stored;
    auto put = [&](TaskSnapshot t) { stored.tasksByID[store::CompanionSnapshot::taskKey(t)] = t; };
    put(task("desktop-cowork-live", TaskState::running, start));
    put(task("desktop-cowork-quiet", TaskState::waitingApproval, start));
    put(task("desktop-cowork-done", TaskState::completed, start));
    put(task("hook-session", TaskState::running, start));
    put(task("desktop-cowork-other", TaskState::running, start, "other"));

    auto keep = reconciliationKeepSet(stored, "work", {"desktop-cowork-live", "desktop-cowork-quiet"});
    EXPECT_EQ(keep, (std::vector<std::string>{"desktop-cowork-live", "desktop-cowork-quiet", "hook-session"}));

    std::map<std::string, int> misses;
    std::vector<TaskSnapshot> reported{task("desktop-cowork-live", TaskState::running, start)};
    EXPECT_TRUE(missedTaskCompletions(stored, "work", reported, misses, start + 2).empty());
    EXPECT_EQ(misses, (std::map<std::string, int>{{"desktop-cowork-quiet", 1}}));

    auto completions = missedTaskCompletions(stored, "work", reported, misses, start + 4);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].id, "desktop-cowork-quiet");
    EXPECT_EQ(completions[0].state, TaskState::completed);
    EXPECT_EQ(completions[0].updatedAt, start + 4);
    EXPECT_FALSE(completions[0].sourceID);
    EXPECT_EQ(completions[0].title, "Cowork · t");

    // Back in the report: the count is gone, so it takes two more misses again.
    reported.push_back(task("desktop-cowork-quiet", TaskState::waitingApproval, start));
    EXPECT_TRUE(missedTaskCompletions(stored, "work", reported, misses, start + 6).empty());
    EXPECT_TRUE(misses.empty());
    reported.pop_back();
    EXPECT_TRUE(missedTaskCompletions(stored, "work", reported, misses, start + 8).empty());
    EXPECT_EQ(missedTaskCompletions(stored, "work", reported, misses, start + 10).size(), 1u);
}
