#pragma once
// What the window shows of the snapshot itself: quota windows per account, tasks with those that
// wait for the user first, relative times, and which pending actions are new enough to announce.
// Texts here are display texts of the desktop shell; the snapshot is only read.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/date.hpp"
#include "model/records.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::desktop {

std::string providerName(AIProvider provider);
std::string stateText(TaskState state);
std::string pendingActionText(PendingActionKind kind);
// "5-hour", "7-day", or the window's length where the provider gives one ("Primary · 2-hour").
std::string quotaWindowName(const QuotaWindow& window);

// A span of time, coarse: "under a minute", "12 min", "2 h 5 min", "3 d 4 h".
std::string spanText(double seconds);
// "resets in 2 h 5 min"; "reset time passed" once it is due; "" without a reset time.
std::string resetText(const std::optional<Date>& resetsAt, Date now);
// "just now", "4 min ago", "2 h 5 min ago".
std::string agoText(Date then, Date now);

struct TaskRow {
    std::string key;
    AIProvider provider{};
    std::string accountID;
    std::string title;
    TaskState state{};
    Date updatedAt;
    std::vector<PendingActionKind> pendingActions;

    // Waits for the user: an approval or an answer, or an open pending action.
    bool needsAttention() const { return isWaiting(state) || !pendingActions.empty(); }
};

// Tasks waiting for the user first, then running ones, then the rest; newest first in each
// group, then by key so the order is stable.
std::vector<TaskRow> taskRows(const store::CompanionSnapshot& snapshot);

struct QuotaRow {
    std::string key;
    AIProvider provider{};
    std::string accountID;
    std::vector<QuotaWindow> windows;
    Date capturedAt;
};

// One row per account quota record, by provider then account.
std::vector<QuotaRow> quotaRows(const store::CompanionSnapshot& snapshot);

struct PendingActionNotification {
    std::string actionKey;
    std::string summary;  // "Claude is waiting for approval"
    std::string body;     // "work · Fix the login test · Permission request"
};

// Announces each pending action once. The first snapshot it sees only records what is already
// pending (nothing is announced for the state found at start-up).
class PendingActionNotifier {
public:
    std::vector<PendingActionNotification> update(const store::CompanionSnapshot& snapshot);

private:
    bool seeded_ = false;
    std::set<std::string> seen_;
};

}  // namespace vigilorb::desktop
