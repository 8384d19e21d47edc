#include "store/snapshot.hpp"

#include <algorithm>
#include <set>

namespace vigilorb::store {

namespace {

template <class Map, class Pred>
bool eraseIf(Map& m, Pred pred) {
    return std::erase_if(m, [&](const auto& kv) { return pred(kv.second); }) > 0;
}

bool belongsTo(const auto& record, AIProvider p, const std::string& accountID) {
    return record.provider == p && record.accountID == accountID;
}

}  // namespace

std::string CompanionSnapshot::quotaKey(AIProvider p, const std::string& accountID) {
    return std::string(rawValue(p)) + ":" + accountID;
}

std::string CompanionSnapshot::taskKey(AIProvider p, const std::string& accountID, const std::string& taskID) {
    return std::string(rawValue(p)) + ":" + accountID + ":" + taskID;
}

namespace {

// A time from a clock ahead of ours counts as now.
Date clampToNow(Date t, Date now) { return t > now + CompanionSnapshot::futureTolerance ? now : t; }

double ageAt(const TaskSnapshot& t, Date now) { return std::max(0.0, now - t.updatedAt); }

bool withinRetention(const TaskSnapshot& t, Date now) {
    if (isActive(t.state)) return ageAt(t, now) <= CompanionSnapshot::activeTaskRetention;
    if (isTerminal(t.state)) return ageAt(t, now) <= CompanionSnapshot::terminalTaskRetention;
    return false;
}

// Order in which finished tasks give way when there are too many: oldest first, the key
// breaking ties so that the choice does not depend on map order.
bool givesWayBefore(const TaskSnapshot& a, const std::string& aKey, const TaskSnapshot& b, const std::string& bKey) {
    return a.updatedAt != b.updatedAt ? a.updatedAt < b.updatedAt : aKey < bKey;
}

}  // namespace

bool CompanionSnapshot::prune(Date now) {
    std::set<std::string> dropped;
    std::vector<std::pair<const std::string*, const TaskSnapshot*>> terminal;
    for (auto& [key, task] : tasksByID) {
        if (!withinRetention(task, now))
            dropped.insert(key);
        else if (isTerminal(task.state))
            terminal.emplace_back(&key, &task);
    }
    if (terminal.size() > terminalTaskLimit) {
        auto excess = static_cast<std::ptrdiff_t>(terminal.size() - terminalTaskLimit);
        std::nth_element(terminal.begin(), terminal.begin() + excess, terminal.end(),
                         [](const auto& a, const auto& b) { return givesWayBefore(*a.second, *a.first, *b.second, *b.first); });
        for (auto it = terminal.begin(); it != terminal.begin() + excess; ++it) dropped.insert(*it->first);
    }
    if (dropped.empty()) return false;
    for (auto& key : dropped) tasksByID.erase(key);
    eraseIf(pendingActionsByID, [&](const PendingAction& a) { return dropped.contains(taskKey(a)); });
    return true;
}

namespace {

// Whether the next prune would drop this finished task again at once. Sources that list
// every session they know (the Cowork scan, the Codex observer) report old tasks on every
// pass; taking one only to drop it would rewrite the file each time.
bool fallsOutAtOnce(const CompanionSnapshot& s, const TaskSnapshot& t, const std::string& key, Date now) {
    if (!isTerminal(t.state)) return false;
    if (!withinRetention(t, now)) return true;
    if (s.tasksByID.size() < CompanionSnapshot::terminalTaskLimit) return false;
    std::size_t kept = 0;
    bool newerThanSome = false;
    for (auto& [otherKey, other] : s.tasksByID) {
        if (otherKey == key || !isTerminal(other.state) || !withinRetention(other, now)) continue;
        ++kept;
        if (!newerThanSome && givesWayBefore(other, otherKey, t, key)) newerThanSome = true;
    }
    return kept >= CompanionSnapshot::terminalTaskLimit && !newerThanSome;
}

}  // namespace

bool CompanionSnapshot::applyEvent(const ProviderEventEnvelope& envelope, Date now) {
    if (std::ranges::find(processedEventIDs, envelope.id) != processedEventIDs.end()) return false;

    if (auto* received = envelope.event.asQuota()) {
        AccountQuotaSnapshot quota = *received;
        quota.capturedAt = clampToNow(quota.capturedAt, now);
        auto key = quotaKey(quota.provider, quota.accountID);
        auto it = quotasByAccount.find(key);
        // An older or equally old reading is not an update; its ID stays unrecorded so that a
        // later copy can still be applied.
        if (it != quotasByAccount.end() && !(quota.capturedAt > it->second.capturedAt)) return false;
        quotasByAccount.insert_or_assign(key, std::move(quota));
    } else if (auto* received = envelope.event.asTask()) {
        TaskSnapshot task = *received;
        task.updatedAt = clampToNow(task.updatedAt, now);
        auto key = taskKey(task);
        // Refused before anything changes, like an old quota: no ID recorded, nothing written.
        if (fallsOutAtOnce(*this, task, key, now)) return false;
        auto it = tasksByID.find(key);
        if (it == tasksByID.end() || !(task.updatedAt < it->second.updatedAt)) {
            if (it != tasksByID.end() && schemaVersion == currentSchemaVersion &&
                isPlaceholderTitle(task.title, task.provider) &&
                !isPlaceholderTitle(it->second.title, it->second.provider))
                task.title = it->second.title;
            // The same task again, under a new envelope, changes nothing: sources that report
            // every session they see on each pass (the Cowork scan) would otherwise rewrite the
            // file every few seconds. Refused like an old quota reading: no ID recorded.
            if (it != tasksByID.end() && it->second == task) return false;
            if (!isWaiting(task.state)) {
                eraseIf(pendingActionsByID, [&](const PendingAction& a) {
                    return belongsTo(a, task.provider, task.accountID) && a.taskID == task.id;
                });
            }
            tasksByID.insert_or_assign(key, std::move(task));
        }
    } else if (auto* received = envelope.event.asPendingAction()) {
        PendingAction action = *received;
        action.requestedAt = clampToNow(action.requestedAt, now);
        auto it = tasksByID.find(taskKey(action));
        bool accepted = tasksByID.empty() || it == tasksByID.end() ||
                        (isWaiting(it->second.state) && !(action.requestedAt < it->second.updatedAt));
        if (accepted) {
            auto key = actionKey(action);
            auto stored = pendingActionsByID.find(key);
            if (stored == pendingActionsByID.end() || !(stored->second.requestedAt > action.requestedAt))
                pendingActionsByID.insert_or_assign(key, std::move(action));
        }
    }

    processedEventIDs.push_back(envelope.id);
    if (processedEventIDs.size() > processedIDLimit)
        processedEventIDs.erase(processedEventIDs.begin(),
                                processedEventIDs.begin() +
                                    static_cast<std::ptrdiff_t>(processedEventIDs.size() - processedIDLimit));
    Date recordedAt = clampToNow(envelope.recordedAt, now);
    lastUpdatedAt = lastUpdatedAt ? std::max(*lastUpdatedAt, recordedAt) : recordedAt;
    prune(now);
    return true;
}

bool CompanionSnapshot::replaceTasks(AIProvider p, const std::string& accountID,
                                     const std::vector<TaskSnapshot>& tasks, Date capturedAt, Date now) {
    std::set<std::string> activeIDs;
    for (auto& t : tasks)
        if (isActive(t.state)) activeIDs.insert(t.id);

    std::set<std::string> removed;
    for (auto& [key, task] : tasksByID)
        if (belongsTo(task, p, accountID) && isActive(task.state) && !activeIDs.contains(task.id)) removed.insert(key);
    bool changed = !removed.empty();
    for (auto& key : removed) tasksByID.erase(key);
    eraseIf(pendingActionsByID, [&](const PendingAction& a) { return removed.contains(taskKey(a)); });

    for (auto& task : tasks) {
        auto it = tasksByID.find(taskKey(task));
        if (it != tasksByID.end()) {
            // A task stamped ahead of our clock was stored at the time it arrived; the same
            // report again is no change.
            auto asStored = task;
            if (clampToNow(task.updatedAt, now) != task.updatedAt) asStored.updatedAt = it->second.updatedAt;
            if (it->second == asStored) continue;
        }
        changed |= applyEvent(ProviderEventEnvelope::make(NormalizedProviderEvent::task(task), capturedAt), now);
    }
    return changed;
}

bool CompanionSnapshot::removeAccount(AIProvider p, const std::string& accountID, Date now) {
    bool changed = quotasByAccount.erase(quotaKey(p, accountID)) > 0;
    changed |= eraseIf(tasksByID, [&](const TaskSnapshot& t) { return belongsTo(t, p, accountID); });
    changed |= eraseIf(pendingActionsByID, [&](const PendingAction& a) { return belongsTo(a, p, accountID); });
    if (changed) lastUpdatedAt = now;
    return changed;
}

bool CompanionSnapshot::removeTasks(AIProvider p, const std::string& accountID, Date now) {
    bool changed = eraseIf(tasksByID, [&](const TaskSnapshot& t) { return belongsTo(t, p, accountID); });
    changed |= eraseIf(pendingActionsByID, [&](const PendingAction& a) { return belongsTo(a, p, accountID); });
    if (changed) lastUpdatedAt = now;
    return changed;
}

bool CompanionSnapshot::removeTasksExcept(AIProvider p, const std::string& accountID,
                                          const std::vector<std::string>& keep, Date now) {
    std::set<std::string> keepSet(keep.begin(), keep.end());
    bool changed = eraseIf(tasksByID, [&](const TaskSnapshot& t) {
        return belongsTo(t, p, accountID) && !keepSet.contains(t.id);
    });
    changed |= eraseIf(pendingActionsByID, [&](const PendingAction& a) {
        return belongsTo(a, p, accountID) && !keepSet.contains(a.taskID);
    });
    if (changed) lastUpdatedAt = now;
    return changed;
}

bool CompanionSnapshot::migrate() {
    if (schemaVersion >= currentSchemaVersion) return false;
    eraseIf(tasksByID, [](const TaskSnapshot& t) { return t.provider == AIProvider::codex; });
    eraseIf(pendingActionsByID, [](const PendingAction& a) { return a.provider == AIProvider::codex; });
    schemaVersion = currentSchemaVersion;
    return true;
}

bool CompanionSnapshot::clampFutureTimes(Date now) {
    bool changed = false;
    auto clamp = [&](Date& t) {
        Date clamped = clampToNow(t, now);
        changed |= clamped != t;
        t = clamped;
    };
    for (auto& [key, q] : quotasByAccount) clamp(q.capturedAt);
    for (auto& [key, t] : tasksByID) clamp(t.updatedAt);
    for (auto& [key, a] : pendingActionsByID) clamp(a.requestedAt);
    if (lastUpdatedAt) clamp(*lastUpdatedAt);
    return changed;
}

void to_json(Json& j, const CompanionSnapshot& v) {
    j = Json::object();
    j["schemaVersion"] = v.schemaVersion;
    j["quotasByAccount"] = Json::object();
    for (auto& [k, q] : v.quotasByAccount) j["quotasByAccount"][k] = q;
    j["tasksByID"] = Json::object();
    for (auto& [k, t] : v.tasksByID) j["tasksByID"][k] = t;
    j["pendingActionsByID"] = Json::object();
    for (auto& [k, a] : v.pendingActionsByID) j["pendingActionsByID"][k] = a;
    j["processedEventIDs"] = v.processedEventIDs;
    if (v.lastUpdatedAt) j["lastUpdatedAt"] = dateToJson(*v.lastUpdatedAt);
}

namespace {
template <class T>
std::map<std::string, T> decodeMap(const Json& obj, const char* key) {
    const auto& m = json::require(obj, key);
    if (!m.is_object()) throw DecodingError(std::string("Expected an object for key \"") + key + "\"");
    std::map<std::string, T> out;
    for (auto& [k, v] : m.items()) out.emplace(k, v.template get<T>());
    return out;
}
}  // namespace

void from_json(const Json& j, CompanionSnapshot& v) {
    json::object(j, "CompanionSnapshot");
    v.schemaVersion = json::integer(json::require(j, "schemaVersion"), "schemaVersion");
    v.quotasByAccount = decodeMap<AccountQuotaSnapshot>(j, "quotasByAccount");
    v.tasksByID = decodeMap<TaskSnapshot>(j, "tasksByID");
    v.pendingActionsByID = decodeMap<PendingAction>(j, "pendingActionsByID");
    const auto& ids = json::require(j, "processedEventIDs");
    if (!ids.is_array()) throw DecodingError("Expected an array for key \"processedEventIDs\"");
    v.processedEventIDs.clear();
    for (auto& id : ids) v.processedEventIDs.push_back(json::string(id, "processedEventIDs"));
    v.lastUpdatedAt = json::optionalDate(j, "lastUpdatedAt");
}

std::string encodeSnapshot(const CompanionSnapshot& s) { return json::dump(Json(s)); }

std::expected<CompanionSnapshot, json::DocumentFailure> decodeSnapshot(std::string_view bytes) {
    return json::decode<CompanionSnapshot>(bytes);
}

}  // namespace vigilorb::store
