#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/events.hpp"
#include "model/records.hpp"

namespace vigilorb::store {

struct CompanionSnapshot {
    static constexpr long long currentSchemaVersion = 3;
    static constexpr std::size_t processedIDLimit = 500;
    static constexpr double activeTaskRetention = 86400;
    // Finished tasks are history: kept for a week and at most this many (the newest), so the
    // file and the per-event cost of rewriting it stay bounded.
    static constexpr double terminalTaskRetention = 7 * 86400;
    static constexpr std::size_t terminalTaskLimit = 5000;
    // Times further ahead of the companion's own clock than this are taken as "now": one
    // record from a skewed clock must neither prune everything nor outrank later genuine ones.
    static constexpr double futureTolerance = 60;

    long long schemaVersion = currentSchemaVersion;
    std::map<std::string, AccountQuotaSnapshot> quotasByAccount;
    std::map<std::string, TaskSnapshot> tasksByID;
    std::map<std::string, PendingAction> pendingActionsByID;
    std::vector<std::string> processedEventIDs;
    std::optional<Date> lastUpdatedAt;

    bool operator==(const CompanionSnapshot&) const = default;

    static std::string quotaKey(AIProvider p, const std::string& accountID);
    static std::string taskKey(AIProvider p, const std::string& accountID, const std::string& taskID);
    static std::string taskKey(const TaskSnapshot& t) { return taskKey(t.provider, t.accountID, t.id); }
    // Key of the task an action belongs to.
    static std::string taskKey(const PendingAction& a) { return taskKey(a.provider, a.accountID, a.taskID); }
    static std::string actionKey(const PendingAction& a) { return taskKey(a.provider, a.accountID, a.id); }

    // Merge rules. Each returns whether the snapshot changed. `now` is the companion's own
    // clock; the forms without it take the envelope's recorded time (or the capture time).
    // Everywhere, a time more than futureTolerance ahead of `now` counts as `now`.

    // Drops active tasks not updated for activeTaskRetention, finished ones not updated for
    // terminalTaskRetention, then the oldest finished ones beyond terminalTaskLimit (ties by
    // key); a dropped task's pending actions go with it.
    bool prune(Date now);
    // One event, once: an envelope ID among processedEventIDs changes nothing. A quota replaces the
    // account's only if captured later. A task replaces the stored one unless it is older; it keeps
    // the stored real title over a placeholder, and a task that is not waiting takes its pending
    // actions with it. A pending action is taken while its task is unknown (or no task is stored at
    // all), or waits and was not updated after the request; it replaces the same action unless that
    // one was requested later. Refused without recording the ID (so a later copy still counts): an
    // older or equal quota, the task exactly as stored, a finished task the next prune would drop at
    // once. Otherwise the ID joins the newest processedIDLimit, lastUpdatedAt advances to the
    // recorded time, and the snapshot is pruned.
    bool applyEvent(const ProviderEventEnvelope& envelope, Date now);
    bool applyEvent(const ProviderEventEnvelope& envelope) { return applyEvent(envelope, envelope.recordedAt); }
    // A full list of one account's tasks from a source that sees them all (an observer's
    // capture): stored active tasks missing from the list go (with their actions); each listed
    // task that differs from the stored one is applied as an event recorded at `capturedAt`.
    bool replaceTasks(AIProvider p, const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      Date capturedAt, Date now);
    bool replaceTasks(AIProvider p, const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      Date capturedAt) {
        return replaceTasks(p, accountID, tasks, capturedAt, capturedAt);
    }
    // The account's quota, tasks and pending actions go; lastUpdatedAt = now when any did.
    bool removeAccount(AIProvider p, const std::string& accountID, Date now);
    // The account's tasks and pending actions go, its quota stays; lastUpdatedAt = now when any did.
    bool removeTasks(AIProvider p, const std::string& accountID, Date now);
    // As removeTasks, except the tasks (and their actions) whose IDs are in `keep`.
    bool removeTasksExcept(AIProvider p, const std::string& accountID, const std::vector<std::string>& keep, Date now);
    // Older files held Codex tasks of a format that no longer matches; returns whether it migrated.
    bool migrate();
    // Brings every stored time that lies beyond `now` + futureTolerance back to `now` (files
    // written while a skewed time was accepted); returns whether anything moved.
    bool clampFutureTimes(Date now);
};

void to_json(Json& j, const CompanionSnapshot& v);
void from_json(const Json& j, CompanionSnapshot& v);

std::string encodeSnapshot(const CompanionSnapshot& s);
[[nodiscard]] std::expected<CompanionSnapshot, json::DocumentFailure> decodeSnapshot(std::string_view bytes);

}  // namespace vigilorb::store
