#pragma once
// The status rules of the Codex accounts, without any I/O: what the quota clients, the local
// task observers, the approval observers and the store said of each account goes in; the rows
// of the status list and the Codex summary come out as changes, in the order to apply them.
//
// Rows: one per account (ID = the account ID) and one per approval observer
// ("Codex Approvals/<account>"). While the quota client is connected the account's row shows
// what the local task observer last said (until then "Codex quota connected · Waiting for
// local task capture"); otherwise the connection phase's sentence. A task capture the store
// could not save stays on the row until one is saved: a later healthy observer status does not
// cover it.
//
// Summary: "Waiting for local capture to start" without accounts; "<n> local account(s)
// connected" when every account is connected and every task status healthy; otherwise the
// first unconnected account's phase, else the first unhealthy task status (by account ID),
// as "<account>: <sentence>".

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codex/app_server_session.hpp"
#include "codex/approval_observer_session.hpp"
#include "model/events.hpp"
#include "model/status_rows.hpp"

namespace vigilorb::codex {

inline constexpr std::string_view waitingForTasksText = "Codex quota connected \u00B7 Waiting for local task capture";
inline constexpr std::string_view taskStoreFailureText = "Could not save the normalized task observation";
inline constexpr std::string_view removeFailureText = "Could not remove account. Try again.";
inline constexpr std::string_view approvalRowPrefix = "Codex Approvals/";
inline constexpr std::string_view noAccountsSummary = "Waiting for local capture to start";
inline constexpr std::string_view invalidAccountRowID = "Invalid account";

// The status row of an account's approval observer: "Codex Approvals/" and the account ID.
std::string approvalRowID(const std::string& accountID);

// The diagnostics line under an account's row: "CLI: <path>", then the server's version, or
// "Waiting for server version" until it has answered.
std::string diagnosticsText(const std::filesystem::path& executable, const std::optional<std::string>& serverVersion);

using BoardEffect = std::variant<SetRow, RemoveRow, SetSummary>;
using BoardEffects = std::vector<BoardEffect>;

class AccountBoard {
public:
    // An account ID that failed the account-ID rule (already trimmed): its own row says why.
    BoardEffects refused(const std::string& accountID) const;
    // A (re)connection starts: what the account's task observer said before is forgotten.
    void connecting(const std::string& accountID);
    // The quota client's phase (also failed(launchFailed, …) when it could not be started).
    BoardEffects phaseChanged(const std::string& accountID, const CodexConnectionPhase& phase);
    // A recorded batch: claims row `rowID` when it holds a Codex quota, nothing otherwise
    // (the runtime then shows its generic "updated" text).
    std::optional<BoardEffects> recorded(const std::vector<NormalizedProviderEvent>& events, const std::string& rowID);
    // The local task observer's list was stored, or could not be.
    void tasksStored(const std::string& accountID);
    BoardEffects tasksNotStored(const std::string& accountID);
    // The local task observer's own status line.
    BoardEffects taskObserverStatus(const std::string& accountID, const std::string& detail, bool healthy);
    // The approval observer's status, or its waits could not be stored.
    BoardEffects approvalStatus(const std::string& accountID, ApprovalWatchStatus status) const;
    BoardEffects approvalsNotStored(const std::string& accountID) const;
    // The account was removed (its rows go), or the store could not drop its records.
    BoardEffects removed(const std::string& accountID);
    BoardEffects removeFailed(const std::string& accountID) const;

    std::optional<CodexConnectionPhase> phase(const std::string& accountID) const;

private:
    struct TaskStatus {
        std::string detail;
        bool healthy = false;
    };
    BoardEffects accountRowAndSummary(const std::string& accountID) const;
    SetSummary summary() const;

    // Ordered by account ID: the summary names the first account with a problem.
    std::map<std::string, CodexConnectionPhase> phases_;
    std::map<std::string, TaskStatus> taskStatuses_;
    std::set<std::string> taskStoreFailed_;
};

}  // namespace vigilorb::codex
