#include "codex/local_observer.hpp"

#include <array>

#include "codex/common.hpp"

namespace vigilorb::codex {

std::filesystem::path defaultCodexHome(const std::filesystem::path& homeDirectory) { return homeDirectory / ".codex"; }

std::vector<TaskSnapshot> deriveTasks(const std::string& accountID, const std::vector<CodexLocalThreadRecord>& records,
                                      const std::map<std::string, CodexLocalActivityRecord>& activities, Date now) {
    std::vector<TaskSnapshot> tasks;
    for (const auto& record : records) {
        auto found = activities.find(record.id);
        if (found == activities.end()) continue;
        const auto& a = found->second;
        Date reference = std::max(a.lastActivityAt, record.updatedAt);
        // In rank order: on equal instants the later entry wins.
        const std::array<std::pair<std::optional<Date>, TaskState>, 6> candidates{{
            {a.lastTaskStartedAt, TaskState::running},
            {a.lastApprovalRequestAt, TaskState::waitingApproval},
            {a.lastUserInputRequestAt, TaskState::waitingInput},
            {a.lastTaskCompletedAt, TaskState::completed},
            {a.lastTaskCancelledAt, TaskState::cancelled},
            {a.lastTaskFailedAt, TaskState::failed},
        }};
        std::optional<std::pair<Date, TaskState>> winner;
        for (const auto& [at, state] : candidates)
            if (at && (!winner || *at >= winner->first)) winner = std::pair{*at, state};
        if (!winner) continue;
        if (isActive(winner->second) ? now - reference > activeStateLifetimeSeconds
                                     : now - winner->first > finishedStateLifetimeSeconds)
            continue;
        TaskSnapshot t;
        t.id = record.id;
        t.accountID = accountID;
        t.provider = AIProvider::codex;
        auto title = normalizedTitle(record.name);
        t.title = title ? *title : defaultTaskTitle(record.id);
        t.state = winner->second;
        t.updatedAt = reference;
        tasks.push_back(std::move(t));
    }
    return tasks;
}

std::expected<CaptureSnapshot, LocalObserverError> capture(const std::string& accountID,
                                                           const std::filesystem::path& codexHome,
                                                           CaptureState& state, Date now) {
    auto database = findStateDatabase("state_", codexHome);
    if (!database) return std::unexpected(LocalObserverError::stateDatabaseMissing);
    auto read = readThreads(*database);
    if (!read) return std::unexpected(read.error().code);
    const auto& rows = *read;
    const auto& names = state.sessionIndex.load(codexHome);

    CaptureSnapshot snapshot;
    std::vector<CodexLocalThreadRecord> records;
    std::map<std::string, CodexLocalActivityRecord> activities;
    records.reserve(rows.size());
    for (const auto& row : rows) {
        CodexLocalThreadRecord record{row.id, normalizedTitle(row.name), Date::fromUnix(static_cast<double>(row.updatedAt))};
        if (!record.name)
            if (auto n = names.find(row.id); n != names.end()) record.name = n->second;
        snapshot.indexedIDs.insert(row.id);

        std::optional<CodexRolloutLifecycleCursor> previous;
        if (auto c = state.cursors.find(row.rolloutPath); c != state.cursors.end()) previous = c->second;
        std::optional<CodexLocalActivityRecord> activity;
        if (auto scanned = scanRollout(row.rolloutPath, row.id, record.updatedAt, previous)) {
            activity = std::move(scanned->activity);
            snapshot.lifecycleCursors[row.rolloutPath] = std::move(scanned->cursor);
        } else if (previous) {
            // A vanished or unreadable rollout keeps its last known lifecycle until it ages out.
            activity = makeActivity(row.id, record.updatedAt, *previous);
            snapshot.lifecycleCursors[row.rolloutPath] = std::move(*previous);
        }
        // Thread IDs are unique in Codex's table; should one repeat, the first (newest) row wins.
        if (activity) activities.try_emplace(row.id, std::move(*activity));
        records.push_back(std::move(record));
    }
    snapshot.tasks = deriveTasks(accountID, records, activities, now);
    state.cursors = snapshot.lifecycleCursors;
    return snapshot;
}

ObserverStatus observerStatus(const std::expected<CaptureSnapshot, LocalObserverError>& result) {
    if (!result) {
        if (result.error() == LocalObserverError::stateDatabaseMissing)
            return {"Quota connected; waiting for Codex to create its local task index", false};
        return {"Quota connected; the local Codex task index is temporarily unavailable", false};
    }
    auto n = result->tasks.size();
    return {"Quota and " + std::to_string(n) + " local Codex task" + (n == 1 ? "" : "s") + " synced", true};
}

}  // namespace vigilorb::codex
