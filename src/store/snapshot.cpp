#include "store/snapshot.hpp"

#include <algorithm>
#include <set>

namespace vigilorb {

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

bool CompanionSnapshot::prune(Date now) {
    std::set<std::string> dropped;
    for (auto& [key, task] : tasksByID) {
        double age = std::max(0.0, now - task.updatedAt);
        bool keep = (isActive(task.state) && age <= activeTaskRetention) || isTerminal(task.state);
        if (!keep) dropped.insert(key);
    }
    if (dropped.empty()) return false;
    for (auto& key : dropped) tasksByID.erase(key);
    eraseIf(pendingActionsByID, [&](const PendingAction& a) { return dropped.contains(taskKey(a)); });
    return true;
}

bool CompanionSnapshot::applyEvent(const ProviderEventEnvelope& envelope) {
    if (std::ranges::find(processedEventIDs, envelope.id) != processedEventIDs.end()) return false;

    if (auto* quota = envelope.event.asQuota()) {
        auto key = quotaKey(quota->provider, quota->accountID);
        auto it = quotasByAccount.find(key);
        // An older or equally old reading is not an update; its ID stays unrecorded so that a
        // later copy can still be applied.
        if (it != quotasByAccount.end() && !(quota->capturedAt > it->second.capturedAt)) return false;
        quotasByAccount.insert_or_assign(key, *quota);
    } else if (auto* task = envelope.event.asTask()) {
        auto key = taskKey(*task);
        auto it = tasksByID.find(key);
        if (it == tasksByID.end() || !(task->updatedAt < it->second.updatedAt)) {
            TaskSnapshot stored = *task;
            if (it != tasksByID.end() && schemaVersion == currentSchemaVersion &&
                isPlaceholderTitle(task->title, task->provider) &&
                !isPlaceholderTitle(it->second.title, it->second.provider))
                stored.title = it->second.title;
            tasksByID.insert_or_assign(key, std::move(stored));
            if (!isWaiting(task->state)) {
                eraseIf(pendingActionsByID, [&](const PendingAction& a) {
                    return belongsTo(a, task->provider, task->accountID) && a.taskID == task->id;
                });
            }
        }
    } else if (auto* action = envelope.event.asPendingAction()) {
        auto it = tasksByID.find(taskKey(*action));
        bool accepted = tasksByID.empty() || it == tasksByID.end() ||
                        (isWaiting(it->second.state) && !(action->requestedAt < it->second.updatedAt));
        if (accepted) {
            auto key = actionKey(*action);
            auto stored = pendingActionsByID.find(key);
            if (stored == pendingActionsByID.end() || !(stored->second.requestedAt > action->requestedAt))
                pendingActionsByID.insert_or_assign(key, *action);
        }
    }

    processedEventIDs.push_back(envelope.id);
    if (processedEventIDs.size() > processedIDLimit)
        processedEventIDs.erase(processedEventIDs.begin(),
                                processedEventIDs.begin() +
                                    static_cast<std::ptrdiff_t>(processedEventIDs.size() - processedIDLimit));
    lastUpdatedAt = lastUpdatedAt ? std::max(*lastUpdatedAt, envelope.recordedAt) : envelope.recordedAt;
    prune(envelope.recordedAt);
    return true;
}

bool CompanionSnapshot::replaceTasks(AIProvider p, const std::string& accountID,
                                     const std::vector<TaskSnapshot>& tasks, Date capturedAt) {
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
        if (it == tasksByID.end() || !(it->second == task))
            changed |= applyEvent(ProviderEventEnvelope::make(NormalizedProviderEvent::task(task), capturedAt));
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

CompanionSnapshot decodeSnapshot(std::string_view bytes) {
    auto j = json::parse(bytes);
    try {
        return j.get<CompanionSnapshot>();
    } catch (const Json::exception& e) {
        throw DecodingError(e.what());
    }
}

}  // namespace vigilorb
