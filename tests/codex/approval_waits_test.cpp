// The approval waits against the store's own merge rules, together with the local task
// observer's list: shown within one step, stable across captures, gone when the wait ends.
#include "codex/approval_waits.hpp"

#include <gtest/gtest.h>

using namespace vigilorb;
using namespace vigilorb::codex;

namespace {

const Date t0 = Date::fromUnix(1'800'000'000);

TaskSnapshot task(const std::string& id, TaskState state, Date updatedAt, std::string title = "Fix the build",
                  const std::string& account = "work") {
    TaskSnapshot t;
    t.id = id;
    t.accountID = account;
    t.provider = AIProvider::codex;
    t.title = std::move(title);
    t.state = state;
    t.updatedAt = updatedAt;
    return t;
}

PendingAction action(const std::string& id, const std::string& taskID, Date at, const std::string& account = "work",
                     AIProvider provider = AIProvider::codex) {
    PendingAction a;
    a.id = id;
    a.taskID = taskID;
    a.accountID = account;
    a.provider = provider;
    a.kind = PendingActionKind::command;
    a.requestedAt = at;
    return a;
}

void apply(store::CompanionSnapshot& s, const std::vector<NormalizedProviderEvent>& events, Date at) {
    for (const auto& e : events) s.applyEvent(ProviderEventEnvelope::make(e, at));
}

// The runtime's steps, on a bare snapshot: the approval observer's reconciliation, and one
// capture of the local task observer.
struct Account {
    store::CompanionSnapshot store;
    std::vector<TaskSnapshot> local;
    ApprovalWaits waits;
    bool settled = true;

    void reconcile(Date at) {
        auto r = reconcileApprovalWaits(store, "work", waits, settled);
        apply(store, r.events, at);
        if (!r.clearedTaskIDs.empty()) {
            store.removeTasksExcept(AIProvider::codex, "work", taskIDsExcept(store, "work", r.clearedTaskIDs), at);
            capture(at);
        }
    }
    // Returns whether the store changed (a change is a file write).
    bool capture(Date at) {
        return store.replaceTasks(AIProvider::codex, "work", overlayApprovalWaits(local, store, "work", waits), at);
    }
    const TaskSnapshot* shown(const std::string& id) const {
        auto it = store.tasksByID.find(store::CompanionSnapshot::taskKey(AIProvider::codex, "work", id));
        return it == store.tasksByID.end() ? nullptr : &it->second;
    }
    bool approvalShown(const std::string& id) const {
        return store.pendingActionsByID.contains(store::CompanionSnapshot::taskKey(AIProvider::codex, "work", approvalActionID(id)));
    }
};

TEST(ApprovalWaits, ReconcileAgainstWhatIsShown) {
    const ApprovalWaits oneWait = {{"t-1", {"Codex task · t-1", t0}}};
    struct Case {
        const char* what;
        std::vector<TaskSnapshot> tasks;
        std::vector<PendingAction> actions;
        ApprovalWaits waits;
        bool settled;
        std::vector<NormalizedProviderEvent> events;
        std::set<std::string> cleared;
    };
    const Case cases[] = {
        {"a new wait", {}, {}, oneWait, true,
         {NormalizedProviderEvent::task(task("t-1", TaskState::waitingApproval, t0, "Codex task · t-1")),
          NormalizedProviderEvent::pendingAction(action("approval-t-1", "t-1", t0))},
         {}},
        {"a wait on a task shown later than the wait was seen keeps its time and title",
         {task("t-1", TaskState::running, t0 + 3)}, {}, oneWait, false,
         {NormalizedProviderEvent::task(task("t-1", TaskState::waitingApproval, t0 + 3)),
          NormalizedProviderEvent::pendingAction(action("approval-t-1", "t-1", t0 + 3))},
         {}},
        {"already shown", {task("t-1", TaskState::waitingApproval, t0)}, {action("approval-t-1", "t-1", t0)}, oneWait,
         true, {}, {}},
        {"shown waiting without its approval",
         {task("t-1", TaskState::waitingApproval, t0 + 1)}, {}, oneWait, true,
         {NormalizedProviderEvent::task(task("t-1", TaskState::waitingApproval, t0 + 1)),
          NormalizedProviderEvent::pendingAction(action("approval-t-1", "t-1", t0 + 1))},
         {}},
        {"ended wait", {task("t-1", TaskState::waitingApproval, t0)}, {action("approval-t-1", "t-1", t0)}, {}, true, {},
         {"t-1"}},
        {"ended wait, not settled yet", {task("t-1", TaskState::waitingApproval, t0)},
         {action("approval-t-1", "t-1", t0)}, {}, false, {}, {}},
        {"other approvals are not ours to clear", {},
         {action("item-7", "t-1", t0), action("approval-t-1", "t-1", t0, "home"),
          action("approval-t-1", "t-1", t0, "work", AIProvider::claude), action("approval-t-2", "t-1", t0)},
         {}, true, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        store::CompanionSnapshot s;
        for (const auto& t : c.tasks) s.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
        for (const auto& a : c.actions) s.pendingActionsByID[store::CompanionSnapshot::actionKey(a)] = a;
        auto r = reconcileApprovalWaits(s, "work", c.waits, c.settled);
        EXPECT_EQ(r.events, c.events);
        EXPECT_EQ(r.clearedTaskIDs, c.cleared);
    }
}

TEST(ApprovalWaits, AWaitSurvivesTheLocalObserverAndEndsAtItsState) {
    Account a;
    a.local = {task("t-1", TaskState::running, t0 - 10), task("t-2", TaskState::running, t0 - 20, "Other")};
    a.capture(t0 - 5);

    a.waits = {{"t-1", {"Codex task · t-1", t0}}};
    a.reconcile(t0);
    ASSERT_TRUE(a.shown("t-1"));
    EXPECT_EQ(a.shown("t-1")->state, TaskState::waitingApproval);
    EXPECT_EQ(a.shown("t-1")->title, "Fix the build");  // the local name is kept
    EXPECT_TRUE(a.approvalShown("t-1"));

    // Captures that still say "running" neither undo the wait nor rewrite the file.
    EXPECT_FALSE(a.capture(t0 + 3));
    EXPECT_FALSE(a.capture(t0 + 6));
    EXPECT_EQ(a.shown("t-1")->state, TaskState::waitingApproval);
    EXPECT_TRUE(a.approvalShown("t-1"));
    // Nothing more to do while the wait lasts.
    EXPECT_EQ(reconcileApprovalWaits(a.store, "work", a.waits, true), ApprovalReconciliation{});

    // The rollout moves on while still waiting: the task takes the later time, stays waiting.
    a.local[0].updatedAt = t0 + 8;
    EXPECT_TRUE(a.capture(t0 + 9));
    EXPECT_EQ(a.shown("t-1")->updatedAt, t0 + 8);
    EXPECT_TRUE(a.approvalShown("t-1"));

    // Answered: the task goes back to exactly what the local observer says, approval gone.
    a.waits.clear();
    a.reconcile(t0 + 10);
    EXPECT_EQ(*a.shown("t-1"), task("t-1", TaskState::running, t0 + 8));
    EXPECT_FALSE(a.approvalShown("t-1"));
    EXPECT_EQ(a.store.pendingActionsByID.size(), 0u);
    EXPECT_EQ(*a.shown("t-2"), task("t-2", TaskState::running, t0 - 20, "Other"));
    EXPECT_FALSE(a.capture(t0 + 12));
}

TEST(ApprovalWaits, AWaitTheLocalObserverDoesNotListIsKeptAndGoesWithIt) {
    Account a;
    a.local = {task("t-2", TaskState::completed, t0 - 20, "Other")};
    a.capture(t0 - 5);
    a.waits = {{"t-new", {"Named thread", t0}}};
    a.reconcile(t0);
    EXPECT_FALSE(a.capture(t0 + 3));  // replaceTasks would drop an active task it is not given
    EXPECT_EQ(*a.shown("t-new"), task("t-new", TaskState::waitingApproval, t0, "Named thread"));
    EXPECT_TRUE(a.approvalShown("t-new"));

    a.waits.clear();  // the daemon went away
    a.reconcile(t0 + 4);
    EXPECT_FALSE(a.shown("t-new"));
    EXPECT_FALSE(a.approvalShown("t-new"));
    EXPECT_TRUE(a.shown("t-2"));
}

TEST(ApprovalWaits, LeftoversOfAnEarlierRunGoOnceSettled) {
    Account a;
    a.local = {task("t-1", TaskState::running, t0 - 10)};
    // Shown by an earlier run of the app; nobody knows yet whether it still waits.
    a.store.tasksByID[store::CompanionSnapshot::taskKey(AIProvider::codex, "work", "t-1")] = task("t-1", TaskState::waitingApproval, t0);
    auto stale = action("approval-t-1", "t-1", t0);
    a.store.pendingActionsByID[store::CompanionSnapshot::actionKey(stale)] = stale;
    a.settled = false;
    a.reconcile(t0 + 1);
    EXPECT_TRUE(a.approvalShown("t-1"));
    a.settled = true;  // the snapshot found no wait
    a.reconcile(t0 + 2);
    EXPECT_FALSE(a.approvalShown("t-1"));
    EXPECT_EQ(*a.shown("t-1"), task("t-1", TaskState::running, t0 - 10));
}

TEST(ApprovalWaits, APlaceholderTitleFromTheLocalListDoesNotFlapAgainstAName) {
    Account a;
    a.waits = {{"t-abcdef", {"Deploy the site", t0}}};
    a.reconcile(t0);
    a.local = {task("t-abcdef", TaskState::running, t0 - 1, "Codex task · abcdef")};
    EXPECT_FALSE(a.capture(t0 + 3));
    EXPECT_FALSE(a.capture(t0 + 6));
    EXPECT_EQ(a.shown("t-abcdef")->title, "Deploy the site");
}

}  // namespace
