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
    bool prune(Date now);
    bool applyEvent(const ProviderEventEnvelope& envelope, Date now);
    bool applyEvent(const ProviderEventEnvelope& envelope) { return applyEvent(envelope, envelope.recordedAt); }
    bool replaceTasks(AIProvider p, const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      Date capturedAt, Date now);
    bool replaceTasks(AIProvider p, const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      Date capturedAt) {
        return replaceTasks(p, accountID, tasks, capturedAt, capturedAt);
    }
    bool removeAccount(AIProvider p, const std::string& accountID, Date now);
    bool removeTasks(AIProvider p, const std::string& accountID, Date now);
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
