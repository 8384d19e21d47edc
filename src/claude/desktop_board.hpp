#pragma once
// The status rules of the Claude Desktop observation, without any I/O: starts, stops, the
// observers' pass statuses and the store failures of one observed account go in; the account's
// two rows ("Claude Desktop/<account>" for the Cowork sessions, "Claude Usage/<account>" for
// the plan usage), the observer line (enabled, status) and the Claude summary come out as
// changes, in the order to apply them.
//
// Two rules need memory across passes: a refused account ID stays on the observer line until
// the next start or stop (the observers of the previous account keep running and would
// otherwise replace it with their next status), and a failure to clear an unavailable library
// stays on the Cowork row through the status of the same pass.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/status_rows.hpp"

namespace vigilorb::claude {

namespace desktop_texts {
inline constexpr std::string_view connecting = "Connecting to local Claude Cowork session events…";
inline constexpr std::string_view scanning = "Scanning local Cowork sessions";
inline constexpr std::string_view stopped = "Stopped; Claude Desktop will no longer be read";
inline constexpr std::string_view observerStopped = "Local observer stopped";
inline constexpr std::string_view notEnabled = "Claude Desktop observer is not enabled";
inline constexpr std::string_view cleanupFailed = "Could not clean up the stopped observation task";
inline constexpr std::string_view clearFailed = "Could not clear an unavailable local task observation";
}  // namespace desktop_texts

std::string desktopCoworkRowID(const std::string& accountID);
std::string desktopUsageRowID(const std::string& accountID);

// The observer line of the window: whether observing is on, and its last word.
struct SetObserverLine {
    bool enabled = false;
    std::string status;
    bool operator==(const SetObserverLine&) const = default;
};
// The Claude summary (shared with Claude Code, so only set when observing stops).
struct SetClaudeSummary {
    std::string text;
    bool operator==(const SetClaudeSummary&) const = default;
};

using DesktopEffect = std::variant<SetRow, RemoveRow, SetObserverLine, SetClaudeSummary>;
using DesktopEffects = std::vector<DesktopEffect>;

class DesktopBoard {
public:
    struct Start {
        // The trimmed account ID when it was accepted; none when refused.
        std::optional<std::string> account;
        DesktopEffects effects;
    };
    // An account ID as typed. A new account takes the previous one's rows away; the same
    // account again ("Scan Now") keeps them.
    Start start(std::string_view rawAccountID);
    // Observing stops; the account, if any, is forgotten. Its tasks are then cleared from the store.
    DesktopEffects stop();
    DesktopEffects cleanupFailed(const std::string& accountID) const;

    // The active account's observers and store. Reports of another account are not for the
    // board; the side drops them (see isActive).
    DesktopEffects coworkStatus(const std::string& text, bool healthy);
    DesktopEffects usageStatus(const std::string& text, bool healthy) const;
    DesktopEffects coworkNotStored() const;
    DesktopEffects usageNotStored() const;
    // Clearing the tasks of an unavailable library failed.
    DesktopEffects clearFailed();

    const std::optional<std::string>& account() const { return account_; }
    bool isActive(const std::string& accountID) const { return account_ == accountID; }

private:
    std::optional<std::string> account_;
    bool observerEnabled_ = false;
    bool refusalShown_ = false;
    bool clearFailurePending_ = false;
};

}  // namespace vigilorb::claude
