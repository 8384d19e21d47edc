#include <gtest/gtest.h>

#include "fixtures.hpp"

using namespace vigilorb;
using namespace vigilorb::fixtures;

namespace {
bool apply(store::CompanionSnapshot& s, NormalizedProviderEvent e, double recorded, std::string id = makeUUID()) {
    return s.applyEvent(envelope(std::move(e), recorded, std::move(id)));
}
const std::string t1Key = "claude:work:t1";
const std::string t1ActionKey = "claude:work:t1-permission";
}  // namespace

TEST(SnapshotMerge, SameEnvelopeIsAppliedOnce) {
    store::CompanionSnapshot s;
    auto e = envelope(NormalizedProviderEvent::task(task("t1", TaskState::running, 5)), 5);
    EXPECT_TRUE(s.applyEvent(e));
    auto before = s;
    EXPECT_FALSE(s.applyEvent(e));
    EXPECT_EQ(s, before);
}

TEST(SnapshotMerge, QuotaNeedsStrictlyNewerCaptureAndUnappliedIDStaysFree) {
    store::CompanionSnapshot s;
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::quota(quota(10, 5)), 10));
    auto before = s;
    EXPECT_FALSE(apply(s, NormalizedProviderEvent::quota(quota(10, 50)), 11, "SAME"));
    EXPECT_FALSE(apply(s, NormalizedProviderEvent::quota(quota(9, 50)), 11));
    EXPECT_EQ(s, before);
    // The refused ID was not recorded, so a later copy under the same ID still applies.
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::quota(quota(12, 60, "other-mac")), 12, "SAME"));
    EXPECT_EQ(s.quotasByAccount.at("claude:work").windows[0].usedPercentage, 60);
    EXPECT_EQ(s.quotasByAccount.at("claude:work").sourceID, "other-mac");
}

TEST(SnapshotMerge, OlderTaskIsIgnoredButItsIDIsRecorded) {
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 10)), 10);
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::task(task("t1", TaskState::completed, 9)), 11, "OLD"));
    EXPECT_EQ(s.tasksByID.at(t1Key).state, TaskState::running);
    EXPECT_EQ(s.processedEventIDs.back(), "OLD");
    EXPECT_EQ(s.lastUpdatedAt, at(11));
}

TEST(SnapshotMerge, SameTaskUnderANewIDIsNoChange) {
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 10, "Write the parser")), 10);
    auto before = s;
    // Reported again by a scan: equal, or equal once the stored real title is kept.
    EXPECT_FALSE(apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 10, "Write the parser")), 12));
    EXPECT_FALSE(apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 10, "Claude task")), 12, "ID"));
    EXPECT_EQ(s, before);
    // Anything that differs is a change, and the unrecorded ID is still free for it.
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::task(task("t1", TaskState::completed, 10, "Write the parser")), 13, "ID"));
    EXPECT_EQ(s.tasksByID.at(t1Key).state, TaskState::completed);
}

TEST(SnapshotMerge, PlaceholderTitleDoesNotOverwriteRealTitle) {
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 1, "Write the parser")), 1);
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::waitingInput, 2, "Claude task")), 2);
    auto& stored = s.tasksByID.at(t1Key);
    EXPECT_EQ(stored.title, "Write the parser");
    EXPECT_EQ(stored.state, TaskState::waitingInput);
    EXPECT_EQ(stored.updatedAt, at(2));
    // A real title does replace a real title.
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 3, "Renamed")), 3);
    EXPECT_EQ(s.tasksByID.at(t1Key).title, "Renamed");
    // Title keeping is a version-3 rule; an unmigrated snapshot takes the title as it comes.
    s.schemaVersion = 2;
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 4, "Claude task")), 4);
    EXPECT_EQ(s.tasksByID.at(t1Key).title, "Claude task");
}

TEST(SnapshotMerge, PendingActionsFollowTheirTasksWaitingState) {
    struct Case {
        TaskState next;
        bool keepsAction;
    };
    for (auto c : {Case{TaskState::running, false}, Case{TaskState::waitingInput, true},
                   Case{TaskState::waitingApproval, true}, Case{TaskState::completed, false}}) {
        store::CompanionSnapshot s;
        apply(s, NormalizedProviderEvent::task(task("t1", TaskState::waitingApproval, 1)), 1);
        apply(s, NormalizedProviderEvent::pendingAction(action("t1", 1)), 1);
        ASSERT_TRUE(s.pendingActionsByID.contains(t1ActionKey));
        apply(s, NormalizedProviderEvent::task(task("t1", c.next, 2)), 2);
        EXPECT_EQ(s.pendingActionsByID.contains(t1ActionKey), c.keepsAction) << rawValue(c.next);
    }
}

TEST(SnapshotMerge, PendingActionAcceptance) {
    struct Case {
        const char* name;
        std::optional<TaskSnapshot> existing;
        double requestedAt;
        bool stored;
    };
    const Case cases[] = {
        {"no tasks at all", std::nullopt, 5, true},
        {"task running", task("t1", TaskState::running, 5), 6, false},
        {"task waiting, request newer", task("t1", TaskState::waitingApproval, 5), 6, true},
        {"task waiting, request same time", task("t1", TaskState::waitingApproval, 5), 5, true},
        {"task waiting, request older", task("t1", TaskState::waitingApproval, 5), 4, false},
        {"other task only", task("t2", TaskState::running, 5), 1, true},
    };
    for (auto& c : cases) {
        store::CompanionSnapshot s;
        if (c.existing) apply(s, NormalizedProviderEvent::task(*c.existing), 5);
        EXPECT_TRUE(apply(s, NormalizedProviderEvent::pendingAction(action("t1", c.requestedAt)), 6)) << c.name;
        EXPECT_EQ(s.pendingActionsByID.contains(t1ActionKey), c.stored) << c.name;
    }
}

TEST(SnapshotMerge, NewerStoredPendingActionWins) {
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::pendingAction(action("t1", 9)), 9);
    apply(s, NormalizedProviderEvent::pendingAction(action("t1", 3)), 10);
    EXPECT_EQ(s.pendingActionsByID.at(t1ActionKey).requestedAt, at(9));
}

TEST(SnapshotMerge, ProcessedIDsKeepTheNewest500) {
    store::CompanionSnapshot s;
    for (int i = 0; i < 501; ++i)
        apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 1 + i)), 1 + i, "E" + std::to_string(i));
    ASSERT_EQ(s.processedEventIDs.size(), 500u);
    EXPECT_EQ(s.processedEventIDs.front(), "E1");
    EXPECT_EQ(s.processedEventIDs.back(), "E500");
    // E0 fell out of the window, so it would be applied again (an older task: only its ID).
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::task(task("t1", TaskState::running, 1)), 1, "E0"));
    EXPECT_EQ(s.processedEventIDs.back(), "E0");
}

TEST(SnapshotMerge, PruneDropsOldActiveAndStaleTasksWithTheirActions) {
    store::CompanionSnapshot s;
    const double day = 86400;
    s.tasksByID[t1Key] = task("t1", TaskState::waitingApproval, 0);
    s.pendingActionsByID[t1ActionKey] = action("t1", 0);
    s.tasksByID["claude:work:old-done"] = task("old-done", TaskState::completed, 1.5 * day - 7 * day - 1);
    s.tasksByID["claude:work:week-done"] = task("week-done", TaskState::failed, 1.5 * day - 7 * day);
    s.tasksByID["claude:work:edge"] = task("edge", TaskState::running, day * 0.5);
    s.tasksByID["claude:work:stale"] = task("stale", TaskState::stale, 1.5 * day);
    s.tasksByID["claude:work:offline"] = task("offline", TaskState::offline, 1.5 * day);
    s.tasksByID["claude:work:future"] = task("future", TaskState::running, 10 * day);

    apply(s, NormalizedProviderEvent::task(task("t9", TaskState::running, 1.5 * day)), 1.5 * day);
    EXPECT_FALSE(s.tasksByID.contains(t1Key));
    EXPECT_FALSE(s.pendingActionsByID.contains(t1ActionKey));
    EXPECT_FALSE(s.tasksByID.contains("claude:work:stale"));
    EXPECT_FALSE(s.tasksByID.contains("claude:work:offline"));
    EXPECT_FALSE(s.tasksByID.contains("claude:work:old-done"));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:week-done"));  // exactly 7 days old stays
    EXPECT_TRUE(s.tasksByID.contains("claude:work:edge"));    // exactly 24 h old stays
    EXPECT_TRUE(s.tasksByID.contains("claude:work:future"));  // negative age counts as 0
}

TEST(SnapshotMerge, ReplaceTasksDropsVanishedActiveTasksOnlyForThatAccount) {
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::task(task("gone", TaskState::waitingApproval, 1, "x", AIProvider::codex)), 1);
    apply(s, NormalizedProviderEvent::pendingAction(action("gone", 1, AIProvider::codex)), 1);
    apply(s, NormalizedProviderEvent::task(task("done", TaskState::completed, 1, "x", AIProvider::codex)), 1);
    apply(s, NormalizedProviderEvent::task(task("elsewhere", TaskState::running, 1, "x", AIProvider::codex, "home")), 1);
    auto same = task("kept", TaskState::running, 1, "x", AIProvider::codex);
    apply(s, NormalizedProviderEvent::task(same), 1);
    auto ids = s.processedEventIDs.size();

    EXPECT_TRUE(s.replaceTasks(AIProvider::codex, "work", {same}, at(2)));
    EXPECT_FALSE(s.tasksByID.contains("codex:work:gone"));
    EXPECT_TRUE(s.pendingActionsByID.empty());
    EXPECT_TRUE(s.tasksByID.contains("codex:work:done"));
    EXPECT_TRUE(s.tasksByID.contains("codex:home:elsewhere"));
    // An unchanged task is not re-applied.
    EXPECT_EQ(s.processedEventIDs.size(), ids);
    EXPECT_FALSE(s.replaceTasks(AIProvider::codex, "work", {same}, at(3)));

    auto moved = same;
    moved.state = TaskState::completed;
    moved.updatedAt = at(4);
    EXPECT_TRUE(s.replaceTasks(AIProvider::codex, "work", {moved}, at(4)));
    EXPECT_EQ(s.tasksByID.at("codex:work:kept").state, TaskState::completed);
}

TEST(SnapshotMerge, Removals) {
    auto seeded = [] {
        store::CompanionSnapshot s;
        apply(s, NormalizedProviderEvent::quota(quota(1)), 1);
        apply(s, NormalizedProviderEvent::task(task("a", TaskState::waitingApproval, 1)), 1);
        apply(s, NormalizedProviderEvent::pendingAction(action("a", 1)), 1);
        apply(s, NormalizedProviderEvent::task(task("b", TaskState::completed, 1)), 1);
        apply(s, NormalizedProviderEvent::task(task("c", TaskState::running, 1, "x", AIProvider::claude, "home")), 1);
        return s;
    };
    {
        auto s = seeded();
        EXPECT_TRUE(s.removeAccount(AIProvider::claude, "work", at(50)));
        EXPECT_TRUE(s.quotasByAccount.empty());
        EXPECT_EQ(s.tasksByID.size(), 1u);
        EXPECT_TRUE(s.pendingActionsByID.empty());
        EXPECT_EQ(s.lastUpdatedAt, at(50));
        EXPECT_FALSE(s.removeAccount(AIProvider::claude, "work", at(60)));
        EXPECT_EQ(s.lastUpdatedAt, at(50));
    }
    {
        auto s = seeded();
        EXPECT_TRUE(s.removeTasks(AIProvider::claude, "work", at(50)));
        EXPECT_EQ(s.quotasByAccount.size(), 1u);
        EXPECT_EQ(s.tasksByID.size(), 1u);
    }
    {
        auto s = seeded();
        EXPECT_TRUE(s.removeTasksExcept(AIProvider::claude, "work", {"a"}, at(50)));
        EXPECT_TRUE(s.tasksByID.contains("claude:work:a"));
        EXPECT_FALSE(s.tasksByID.contains("claude:work:b"));
        EXPECT_TRUE(s.pendingActionsByID.contains("claude:work:a-permission"));
        EXPECT_FALSE(s.removeTasksExcept(AIProvider::claude, "work", {"a"}, at(60)));
    }
}

TEST(SnapshotMerge, TimesAheadOfTheCompanionClockCountAsNow) {
    const double now = 100000, day = 86400;
    store::CompanionSnapshot s;
    apply(s, NormalizedProviderEvent::task(task("t1", TaskState::waitingApproval, now - 10)), now - 10);
    apply(s, NormalizedProviderEvent::pendingAction(action("t1", now - 10)), now - 10);

    // One envelope from a clock 25 hours ahead: nothing is pruned against its time, and what
    // it carries is stored as of now.
    EXPECT_TRUE(s.applyEvent(envelope(NormalizedProviderEvent::task(task("t2", TaskState::running, now + 25 * 3600)),
                                      now + 25 * 3600),
                             at(now)));
    EXPECT_TRUE(s.tasksByID.contains(t1Key));
    EXPECT_TRUE(s.pendingActionsByID.contains(t1ActionKey));
    EXPECT_EQ(s.tasksByID.at("claude:work:t2").updatedAt, at(now));
    EXPECT_EQ(s.lastUpdatedAt, at(now));

    // The genuine stop a little later is taken, and so is a genuine quota after a skewed one.
    EXPECT_TRUE(s.applyEvent(envelope(NormalizedProviderEvent::task(task("t2", TaskState::completed, now + 5)), now + 5),
                             at(now + 5)));
    EXPECT_EQ(s.tasksByID.at("claude:work:t2").state, TaskState::completed);
    EXPECT_TRUE(s.applyEvent(envelope(NormalizedProviderEvent::quota(quota(now + day, 90)), now + day), at(now)));
    EXPECT_TRUE(s.applyEvent(envelope(NormalizedProviderEvent::quota(quota(now + 5, 20)), now + 5), at(now + 5)));
    EXPECT_EQ(s.quotasByAccount.at("claude:work").windows[0].usedPercentage, 20);

    // Within the tolerance a time is kept as it is.
    apply(s, NormalizedProviderEvent::task(task("t3", TaskState::running, now + 30)), now);
    EXPECT_EQ(s.tasksByID.at("claude:work:t3").updatedAt, at(now + 30));
}

TEST(SnapshotMerge, SkewedTaskReportedAgainByAnObserverIsNoChange) {
    const double now = 100000;
    store::CompanionSnapshot s;
    auto skewed = task("t1", TaskState::running, now + 3600, "x", AIProvider::codex);
    EXPECT_TRUE(s.replaceTasks(AIProvider::codex, "work", {skewed}, at(now), at(now)));
    EXPECT_FALSE(s.replaceTasks(AIProvider::codex, "work", {skewed}, at(now + 3), at(now + 3)));
}

TEST(SnapshotMerge, FinishedTasksAreBoundedByAgeAndCount) {
    const double day = 86400, now = 30 * day;
    const auto limit = store::CompanionSnapshot::terminalTaskLimit;
    store::CompanionSnapshot s;
    // limit finished tasks of the last few days, one second apart, the oldest first.
    for (std::size_t i = 0; i < limit; ++i) {
        auto t = task("done-" + std::to_string(i), TaskState::completed, now - 3 * day + static_cast<double>(i));
        s.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
    }
    apply(s, NormalizedProviderEvent::task(task("live", TaskState::running, now, "x", AIProvider::claude, "home")), now);
    ASSERT_EQ(s.tasksByID.size(), limit + 1);
    const auto full = s;

    // Arrivals that would fall out at the next prune are refused before they change anything:
    // no ID recorded, no drop and re-add, so nothing to write.
    const struct {
        const char* name;
        TaskState state;
        double updatedAt;
    } refused[] = {
        {"completed 8 days ago", TaskState::completed, now - 8 * day},
        {"cancelled 8 days ago", TaskState::cancelled, now - 8 * day},
        {"older than every kept one", TaskState::failed, now - 4 * day},
        {"a second older than the oldest kept one", TaskState::completed, now - 3 * day - 1},
    };
    for (auto& c : refused) {
        auto id = makeUUID();
        EXPECT_FALSE(apply(s, NormalizedProviderEvent::task(task("old", c.state, c.updatedAt)), now, id)) << c.name;
        EXPECT_EQ(s, full) << c.name;
        EXPECT_FALSE(s.replaceTasks(AIProvider::claude, "work", {task("old", c.state, c.updatedAt)}, at(now), at(now)))
            << c.name;
        EXPECT_EQ(s, full) << c.name;
    }

    // A newer finished task pushes out the oldest one; an update of a kept one replaces it.
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::task(task("new", TaskState::completed, now - day)), now));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:new"));
    EXPECT_FALSE(s.tasksByID.contains("claude:work:done-0"));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:done-1"));
    EXPECT_TRUE(apply(s, NormalizedProviderEvent::task(task("done-1", TaskState::failed, now - day)), now));
    EXPECT_EQ(s.tasksByID.at("claude:work:done-1").state, TaskState::failed);
    EXPECT_EQ(s.tasksByID.size(), limit + 1);

    // Files from before the bound load down to it.
    auto grown = full;
    for (std::size_t i = 0; i < 3; ++i) {
        auto t = task("extra-" + std::to_string(i), TaskState::completed, now - 2 * day);
        grown.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
    }
    EXPECT_TRUE(grown.prune(at(now)));
    EXPECT_EQ(grown.tasksByID.size(), limit + 1);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(grown.tasksByID.contains("claude:work:done-" + std::to_string(i)));
    EXPECT_TRUE(grown.tasksByID.contains("claude:work:done-3"));
}

TEST(SnapshotFormat, EmptySnapshotEncodesAllRequiredKeys) {
    auto j = Json::parse(store::encodeSnapshot(store::CompanionSnapshot{}));
    EXPECT_EQ(j, Json::parse(R"({"schemaVersion":3,"quotasByAccount":{},"tasksByID":{},"pendingActionsByID":{},"processedEventIDs":[]})"));
    auto withoutIDs = store::decodeSnapshot(R"({"schemaVersion":3,"quotasByAccount":{},"tasksByID":{},"pendingActionsByID":{}})");
    ASSERT_FALSE(withoutIDs);
    EXPECT_EQ(withoutIDs.error().code, json::DocumentError::invalidShape);
    EXPECT_NE(withoutIDs.error().detail.find("\"processedEventIDs\""), std::string::npos) << withoutIDs.error().detail;
}
