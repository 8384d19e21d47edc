#include "claude/cowork_reconciliation.hpp"

namespace vigilorb::claude::cowork {

namespace {
bool isDesktopTask(const TaskSnapshot& t) { return t.id.rfind(desktopTaskPrefix, 0) == 0; }
bool ofAccount(const TaskSnapshot& t, const std::string& accountID) {
    return t.provider == AIProvider::claude && t.accountID == accountID;
}
}  // namespace

std::vector<std::string> reconciliationKeepSet(const store::CompanionSnapshot& stored, const std::string& accountID,
                                               const std::set<std::string>& indexedIDs) {
    std::set<std::string> keep = indexedIDs;
    for (const auto& [key, task] : stored.tasksByID)
        if (ofAccount(task, accountID) && !isDesktopTask(task)) keep.insert(task.id);
    return {keep.begin(), keep.end()};
}

std::vector<TaskSnapshot> missedTaskCompletions(const store::CompanionSnapshot& stored, const std::string& accountID,
                                                const std::vector<TaskSnapshot>& reported,
                                                std::map<std::string, int>& misses, Date now) {
    std::set<std::string> present;
    for (const auto& t : reported) present.insert(t.id);
    std::map<std::string, int> next;
    std::vector<TaskSnapshot> completions;
    for (const auto& [key, task] : stored.tasksByID) {
        if (!ofAccount(task, accountID) || !isDesktopTask(task) || !isActive(task.state) || present.contains(task.id))
            continue;
        auto previous = misses.find(task.id);
        int count = (previous == misses.end() ? 0 : previous->second) + 1;
        next[task.id] = count;
        if (count > 1) {
            TaskSnapshot done = task;
            done.state = TaskState::completed;
            done.sourceID.reset();
            done.updatedAt = now;
            completions.push_back(std::move(done));
        }
    }
    // Tasks present again, finished or gone lose their count.
    misses = std::move(next);
    return completions;
}

}  // namespace vigilorb::claude::cowork
