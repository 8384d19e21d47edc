#include "desktop/snapshot_view.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace vigilorb::desktop {

std::string providerName(AIProvider provider) { return provider == AIProvider::codex ? "Codex" : "Claude"; }

std::string stateText(TaskState state) {
    switch (state) {
        case TaskState::running: return "Running";
        case TaskState::waitingApproval: return "Waiting for approval";
        case TaskState::waitingInput: return "Waiting for input";
        case TaskState::completed: return "Completed";
        case TaskState::failed: return "Failed";
        case TaskState::cancelled: return "Cancelled";
        case TaskState::stale: return "Stale";
        case TaskState::offline: return "Offline";
    }
    return "Unknown";
}

std::string pendingActionText(PendingActionKind kind) {
    switch (kind) {
        case PendingActionKind::command: return "Command approval";
        case PendingActionKind::fileChange: return "File change approval";
        case PendingActionKind::permissions: return "Permission request";
        case PendingActionKind::userInput: return "Question";
        case PendingActionKind::unknown: return "Approval";
    }
    return "Approval";
}

namespace {

std::string lengthName(long long minutes) {
    if (minutes > 0 && minutes % 1440 == 0) return std::to_string(minutes / 1440) + "-day";
    if (minutes > 0 && minutes % 60 == 0) return std::to_string(minutes / 60) + "-hour";
    return std::to_string(minutes) + "-minute";
}

int attentionRank(const TaskRow& row) {
    if (row.needsAttention()) return 0;
    if (row.state == TaskState::running) return 1;
    return 2;
}

}  // namespace

std::string quotaWindowName(const QuotaWindow& window) {
    switch (window.kind) {
        case QuotaWindowKind::fiveHour: return "5-hour";
        case QuotaWindowKind::sevenDay: return "7-day";
        case QuotaWindowKind::primary:
        case QuotaWindowKind::secondary: {
            std::string name = window.kind == QuotaWindowKind::primary ? "Primary" : "Secondary";
            if (window.durationMinutes && *window.durationMinutes > 0) name += " \u00B7 " + lengthName(*window.durationMinutes);
            return name;
        }
    }
    return "Window";
}

std::string spanText(double seconds) {
    if (!(seconds >= 60)) return "under a minute";
    auto minutes = static_cast<long long>(seconds / 60);
    if (minutes < 60) return std::to_string(minutes) + " min";
    auto hours = minutes / 60;
    if (hours < 24) {
        auto rest = minutes % 60;
        return std::to_string(hours) + " h" + (rest ? " " + std::to_string(rest) + " min" : "");
    }
    auto days = hours / 24, rest = hours % 24;
    return std::to_string(days) + " d" + (rest ? " " + std::to_string(rest) + " h" : "");
}

std::string resetText(const std::optional<Date>& resetsAt, Date now) {
    if (!resetsAt) return {};
    auto left = *resetsAt - now;
    if (left <= 0) return "reset time passed";
    return "resets in " + spanText(left);
}

std::string agoText(Date then, Date now) {
    auto age = now - then;
    if (age < 60) return "just now";
    return spanText(age) + " ago";
}

std::vector<TaskRow> taskRows(const store::CompanionSnapshot& snapshot) {
    std::vector<TaskRow> rows;
    rows.reserve(snapshot.tasksByID.size());
    for (const auto& [key, task] : snapshot.tasksByID)
        rows.push_back(TaskRow{key, task.provider, task.accountID, task.title, task.state, task.updatedAt, {}});
    // tasksByID is ordered by key, and so are the rows at this point.
    for (const auto& [key, action] : snapshot.pendingActionsByID) {
        auto taskKey = store::CompanionSnapshot::taskKey(action);
        auto it = std::lower_bound(rows.begin(), rows.end(), taskKey,
                                   [](const TaskRow& r, const std::string& k) { return r.key < k; });
        if (it != rows.end() && it->key == taskKey) it->pendingActions.push_back(action.kind);
    }
    std::sort(rows.begin(), rows.end(), [](const TaskRow& a, const TaskRow& b) {
        return std::tuple(attentionRank(a), -a.updatedAt.sinceReference, a.key) <
               std::tuple(attentionRank(b), -b.updatedAt.sinceReference, b.key);
    });
    return rows;
}

std::vector<QuotaRow> quotaRows(const store::CompanionSnapshot& snapshot) {
    std::vector<QuotaRow> rows;
    for (const auto& [key, quota] : snapshot.quotasByAccount)
        rows.push_back(QuotaRow{key, quota.provider, quota.accountID, quota.windows, quota.capturedAt});
    std::sort(rows.begin(), rows.end(), [](const QuotaRow& a, const QuotaRow& b) {
        return std::tuple(providerName(a.provider), a.accountID, a.key) <
               std::tuple(providerName(b.provider), b.accountID, b.key);
    });
    return rows;
}

std::vector<PendingActionNotification> PendingActionNotifier::update(const store::CompanionSnapshot& snapshot) {
    std::vector<PendingActionNotification> fresh;
    std::set<std::string> current;
    for (const auto& [key, action] : snapshot.pendingActionsByID) {
        current.insert(key);
        if (!seeded_ || seen_.contains(key)) continue;
        auto task = snapshot.tasksByID.find(store::CompanionSnapshot::taskKey(action));
        std::string title = task != snapshot.tasksByID.end() && !task->second.title.empty() ? task->second.title
                                                                                            : "Untitled task";
        bool question = action.kind == PendingActionKind::userInput;
        fresh.push_back({key, providerName(action.provider) + (question ? " is waiting for input" : " is waiting for approval"),
                         action.accountID + " \u00B7 " + title + " \u00B7 " + pendingActionText(action.kind)});
    }
    // Only what is pending now is remembered, so the set never outgrows the snapshot.
    seen_ = std::move(current);
    seeded_ = true;
    return fresh;
}

}  // namespace vigilorb::desktop
