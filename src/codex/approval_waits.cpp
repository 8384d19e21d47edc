#include "codex/approval_waits.hpp"

#include <algorithm>

namespace vigilorb::codex {

namespace {

const TaskSnapshot* storedTask(const store::CompanionSnapshot& stored, const std::string& accountID, const std::string& id) {
    auto it = stored.tasksByID.find(store::CompanionSnapshot::taskKey(AIProvider::codex, accountID, id));
    return it == stored.tasksByID.end() ? nullptr : &it->second;
}

const PendingAction* storedApproval(const store::CompanionSnapshot& stored, const std::string& accountID,
                                    const std::string& threadID) {
    auto it = stored.pendingActionsByID.find(
        store::CompanionSnapshot::taskKey(AIProvider::codex, accountID, approvalActionID(threadID)));
    return it == stored.pendingActionsByID.end() ? nullptr : &it->second;
}

// `task` as the store would keep it over `stored`: never older, and a placeholder title does
// not replace a real one.
TaskSnapshot asKept(TaskSnapshot task, const TaskSnapshot* stored) {
    if (!stored) return task;
    task.updatedAt = std::max(task.updatedAt, stored->updatedAt);
    if (isPlaceholderTitle(task.title, AIProvider::codex) && !isPlaceholderTitle(stored->title, AIProvider::codex))
        task.title = stored->title;
    return task;
}

TaskSnapshot waitingTask(const std::string& threadID, const std::string& accountID, const ApprovalWait& wait) {
    TaskSnapshot t;
    t.id = threadID;
    t.accountID = accountID;
    t.provider = AIProvider::codex;
    t.title = wait.title;
    t.state = TaskState::waitingApproval;
    t.updatedAt = wait.since;
    return t;
}

}  // namespace

std::string approvalActionID(std::string_view threadID) { return "approval-" + std::string(threadID); }

ApprovalReconciliation reconcileApprovalWaits(const store::CompanionSnapshot& stored, const std::string& accountID,
                                              const ApprovalWaits& waits, bool settled) {
    ApprovalReconciliation r;
    for (const auto& [threadID, wait] : waits) {
        const TaskSnapshot* task = storedTask(stored, accountID, threadID);
        if (task && task->state == TaskState::waitingApproval && storedApproval(stored, accountID, threadID)) continue;
        TaskSnapshot t = waitingTask(threadID, accountID, wait);
        if (task) {
            t.title = task->title;
            t.updatedAt = std::max(t.updatedAt, task->updatedAt);
        }
        PendingAction a;
        a.id = approvalActionID(threadID);
        a.taskID = threadID;
        a.accountID = accountID;
        a.provider = AIProvider::codex;
        a.kind = PendingActionKind::command;
        // Not earlier than the task, or the store would refuse it.
        a.requestedAt = t.updatedAt;
        r.events.push_back(NormalizedProviderEvent::task(std::move(t)));
        r.events.push_back(NormalizedProviderEvent::pendingAction(std::move(a)));
    }
    if (settled) {
        for (const auto& [key, action] : stored.pendingActionsByID) {
            if (action.provider != AIProvider::codex || action.accountID != accountID) continue;
            if (action.id != approvalActionID(action.taskID) || waits.contains(action.taskID)) continue;
            r.clearedTaskIDs.insert(action.taskID);
        }
    }
    return r;
}

std::vector<TaskSnapshot> overlayApprovalWaits(std::vector<TaskSnapshot> local, const store::CompanionSnapshot& stored,
                                               const std::string& accountID, const ApprovalWaits& waits) {
    std::set<std::string> listed;
    for (auto& task : local) {
        listed.insert(task.id);
        auto wait = waits.find(task.id);
        if (wait == waits.end() || task.accountID != accountID || task.provider != AIProvider::codex) continue;
        task.state = TaskState::waitingApproval;
        task.updatedAt = std::max(task.updatedAt, wait->second.since);
        task = asKept(std::move(task), storedTask(stored, accountID, task.id));
    }
    for (const auto& [threadID, wait] : waits) {
        if (listed.contains(threadID)) continue;
        const TaskSnapshot* s = storedTask(stored, accountID, threadID);
        TaskSnapshot t = waitingTask(threadID, accountID, wait);
        if (s) t.title = s->title;
        local.push_back(asKept(std::move(t), s));
    }
    return local;
}

std::vector<std::string> taskIDsExcept(const store::CompanionSnapshot& stored, const std::string& accountID,
                                       const std::set<std::string>& cleared) {
    std::set<std::string> keep;
    for (const auto& [key, t] : stored.tasksByID)
        if (t.provider == AIProvider::codex && t.accountID == accountID && !cleared.contains(t.id)) keep.insert(t.id);
    for (const auto& [key, a] : stored.pendingActionsByID)
        if (a.provider == AIProvider::codex && a.accountID == accountID && !cleared.contains(a.taskID))
            keep.insert(a.taskID);
    return {keep.begin(), keep.end()};
}

}  // namespace vigilorb::codex
