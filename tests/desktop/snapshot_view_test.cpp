#include <gtest/gtest.h>

#include "desktop/snapshot_view.hpp"

using namespace vigilorb;
using namespace vigilorb::desktop;

namespace {

const Date now = Date::fromReference(800000000);

TaskSnapshot task(std::string id, TaskState state, double age, std::string account = "work",
                  AIProvider provider = AIProvider::claude) {
    return TaskSnapshot{std::move(id), std::nullopt, std::move(account), provider, "Task", state, now - age};
}

PendingAction action(std::string id, std::string taskID, PendingActionKind kind = PendingActionKind::permissions,
                     std::string account = "work", AIProvider provider = AIProvider::claude) {
    return PendingAction{std::move(id), std::nullopt, std::move(taskID), std::move(account), provider, kind, now};
}

void add(store::CompanionSnapshot& s, TaskSnapshot t) { s.tasksByID[store::CompanionSnapshot::taskKey(t)] = std::move(t); }
void add(store::CompanionSnapshot& s, PendingAction a) { s.pendingActionsByID[store::CompanionSnapshot::actionKey(a)] = std::move(a); }

TEST(SnapshotView, TasksWaitingForTheUserComeFirstThenRunningThenTheRest) {
    store::CompanionSnapshot s;
    add(s, task("done-new", TaskState::completed, 5));
    add(s, task("run-old", TaskState::running, 600));
    add(s, task("input", TaskState::waitingInput, 900));
    add(s, task("run-new", TaskState::running, 10));
    add(s, task("approval", TaskState::waitingApproval, 30));
    add(s, task("failed", TaskState::failed, 1));
    // A running task with an open approval waits for the user too.
    add(s, task("run-asking", TaskState::running, 2000, "home", AIProvider::codex));
    add(s, action("a1", "run-asking", PendingActionKind::command, "home", AIProvider::codex));
    add(s, action("a2", "approval"));
    // An action whose task is unknown marks no row.
    add(s, action("a3", "gone"));

    std::vector<std::string> order;
    for (const auto& row : taskRows(s)) order.push_back(row.key.substr(row.key.rfind(':') + 1));
    EXPECT_EQ(order, (std::vector<std::string>{"approval", "input", "run-asking", "run-new", "run-old", "failed",
                                               "done-new"}));
    auto rows = taskRows(s);
    EXPECT_EQ(rows[0].pendingActions, std::vector{PendingActionKind::permissions});
    EXPECT_EQ(rows[2].pendingActions, std::vector{PendingActionKind::command});
    EXPECT_TRUE(rows[3].pendingActions.empty());
}

TEST(SnapshotView, RelativeTimes) {
    struct Case {
        double seconds;
        const char* reset;
        const char* ago;
    } cases[] = {
        {0, "reset time passed", "just now"},
        {59, "resets in under a minute", "just now"},
        {60, "resets in 1 min", "1 min ago"},
        {3599, "resets in 59 min", "59 min ago"},
        {3600, "resets in 1 h", "1 h ago"},
        {7500, "resets in 2 h 5 min", "2 h 5 min ago"},
        {86400 * 3 + 3600 * 4 + 59, "resets in 3 d 4 h", "3 d 4 h ago"},
        {86400 * 7, "resets in 7 d", "7 d ago"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resetText(now + c.seconds, now), c.reset) << c.seconds;
        EXPECT_EQ(agoText(now - c.seconds, now), c.ago) << c.seconds;
    }
    EXPECT_EQ(resetText(std::nullopt, now), "");
    EXPECT_EQ(resetText(now - 10, now), "reset time passed");
}

TEST(SnapshotView, QuotaWindowNames) {
    struct Case {
        QuotaWindow window;
        const char* name;
    } cases[] = {
        {{QuotaWindowKind::fiveHour, 10, std::nullopt, std::nullopt}, "5-hour"},
        {{QuotaWindowKind::sevenDay, 10, std::nullopt, std::nullopt}, "7-day"},
        {{QuotaWindowKind::primary, 10, std::nullopt, 300}, "Primary \u00B7 5-hour"},
        {{QuotaWindowKind::secondary, 10, std::nullopt, 10080}, "Secondary \u00B7 7-day"},
        {{QuotaWindowKind::secondary, 10, std::nullopt, 90}, "Secondary \u00B7 90-minute"},
        {{QuotaWindowKind::primary, 10, std::nullopt, std::nullopt}, "Primary"},
    };
    for (const auto& c : cases) EXPECT_EQ(quotaWindowName(c.window), c.name);
}

TEST(PendingActionNotifier, AnnouncesEachNewActionOnceAndNothingFoundAtStartUp) {
    PendingActionNotifier notifier;
    store::CompanionSnapshot s;
    add(s, task("t1", TaskState::waitingApproval, 0));
    add(s, action("old", "t1"));
    EXPECT_TRUE(notifier.update(s).empty());  // present at start-up

    auto t2 = task("t2", TaskState::waitingInput, 0, "home", AIProvider::codex);
    t2.title = "Fix the login test";
    add(s, t2);
    add(s, action("new", "t2", PendingActionKind::userInput, "home", AIProvider::codex));
    add(s, action("orphan", "missing", PendingActionKind::fileChange));
    auto fresh = notifier.update(s);
    ASSERT_EQ(fresh.size(), 2u);
    // In key order: provider, account, ID.
    EXPECT_EQ(fresh[0].summary, "Claude is waiting for approval");
    EXPECT_EQ(fresh[0].body, "work \u00B7 Untitled task \u00B7 File change approval");
    EXPECT_EQ(fresh[1].summary, "Codex is waiting for input");
    EXPECT_EQ(fresh[1].body, "home \u00B7 Fix the login test \u00B7 Question");

    // Published again unchanged: nothing new.
    EXPECT_TRUE(notifier.update(s).empty());
    // Answered, then asked again with the same ID: a new request, announced again.
    auto key = store::CompanionSnapshot::actionKey(action("old", "t1"));
    auto answered = s;
    answered.pendingActionsByID.erase(key);
    EXPECT_TRUE(notifier.update(answered).empty());
    auto again = notifier.update(s);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].actionKey, key);
}

}  // namespace
