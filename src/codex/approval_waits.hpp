#pragma once
// How the approval waits of Codex's shared app-server meet the snapshot store and the local task
// observer. The two sources describe one task per thread (task ID = thread ID): the local
// observer reports each live thread every few seconds from Codex's files, which never record an
// approval wait; the approval observer knows which of them wait for approval right now.
//
// - A wait shows as the task in `waitingApproval` plus a pending action of kind `command` whose
//   ID is derived from the thread ID (so a repeat replaces it).
// - The local observer's list is passed through overlayApprovalWaits before the store replaces
//   the account's tasks, so its "running" does not undo a wait, and a capture that agrees with
//   the store changes nothing.
// - A wait that ended (flag cleared, thread idle or closed, daemon gone) is cleared by removing
//   that task with its pending actions and then replacing the account's tasks with the local
//   list again: the task goes back to what the local observer says, at the local observer's
//   times (an event with the observer's own, later clock reading could not be undone by the
//   local observer's earlier file times).
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codex/approval_observer_session.hpp"
#include "model/events.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::codex {

// "approval-" followed by the thread ID.
std::string approvalActionID(std::string_view threadID);

struct ApprovalReconciliation {
    // Task and pending-action events of waits the store does not show yet; apply in order.
    std::vector<NormalizedProviderEvent> events;
    // Threads whose shown approval is no longer a wait.
    std::set<std::string> clearedTaskIDs;
    bool operator==(const ApprovalReconciliation&) const = default;
};

// What the store needs so that account `accountID` shows exactly `waits`. Approvals shown but not
// among the waits are cleared only when `settled` (the waits are the whole truth).
ApprovalReconciliation reconcileApprovalWaits(const store::CompanionSnapshot& stored, const std::string& accountID,
                                              const ApprovalWaits& waits, bool settled);

// The local observer's tasks with the waits laid over them (a waiting thread the local observer
// does not list is added), each in the form the store would keep after applying it.
std::vector<TaskSnapshot> overlayApprovalWaits(std::vector<TaskSnapshot> local, const store::CompanionSnapshot& stored,
                                               const std::string& accountID, const ApprovalWaits& waits);

// The task IDs of the account's stored tasks and pending actions, less `cleared`: the keep set
// that removes just the cleared tasks.
std::vector<std::string> taskIDsExcept(const store::CompanionSnapshot& stored, const std::string& accountID,
                                       const std::set<std::string>& cleared);

}  // namespace vigilorb::codex
