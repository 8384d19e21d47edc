#pragma once
// The Claude Desktop side of the runtime: starts and stops the usage and Cowork observers for
// one account, remembers the choice in the preferences, records what they report and
// reconciles the Cowork tasks that are no longer listed.

#include <QPointer>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/claude_desktop_observers.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb {

namespace claude_desktop_keys {
inline constexpr std::string_view configured = "provider.claudeDesktopConfigured.v1";
inline constexpr std::string_view enabled = "provider.claudeDesktopEnabled.v1";
inline constexpr std::string_view account = "provider.claudeDesktopAccount.v1";
}  // namespace claude_desktop_keys

namespace claude_desktop_texts {
inline constexpr std::string_view defaultAccount = "claude-desktop";
inline constexpr std::string_view connecting = "Connecting to local Claude Cowork session events…";
inline constexpr std::string_view scanning = "Scanning local Cowork sessions";
inline constexpr std::string_view stopped = "Stopped; Claude Desktop will no longer be read";
inline constexpr std::string_view observerStopped = "Local observer stopped";
inline constexpr std::string_view notEnabled = "Claude Desktop observer is not enabled";
inline constexpr std::string_view cleanupFailed = "Could not clean up the stopped observation task";
inline constexpr std::string_view clearFailed = "Could not clear an unavailable local task observation";
}  // namespace claude_desktop_texts

class ClaudeDesktopRuntimeSide final : public ProviderRuntimeSide {
public:
    explicit ClaudeDesktopRuntimeSide(ProviderRuntimeController& controller);
    ~ClaudeDesktopRuntimeSide() override;

    // First start of the app (nothing configured): observe "claude-desktop"; otherwise restore
    // the observers if they were left enabled.
    void startUp() override;

    // The window's operations. `rawAccountID` is the account ID as typed.
    void start(std::string_view rawAccountID);
    void stop();

    const std::optional<std::string>& accountID() const { return accountID_; }
    const std::map<std::string, int>& observationMisses() const { return misses_; }

    static std::string coworkRow(const std::string& accountID) { return "Claude Desktop/" + accountID; }
    static std::string usageRow(const std::string& accountID) { return "Claude Usage/" + accountID; }

private:
    void dropObservers();
    void recordQuota(const std::string& accountID, const AccountQuotaSnapshot& capture);
    void recordCowork(const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      const std::set<std::string>& indexedIDs);
    void clearUnavailable(const std::string& accountID);
    void showCoworkStatus(const std::string& accountID, const std::string& text, bool healthy);

    ProviderRuntimeController& controller_;
    QPointer<ClaudeDesktopLocalObserver> coworkObserver_;
    QPointer<ClaudeDesktopUsageObserver> usageObserver_;
    std::optional<std::string> accountID_;
    std::map<std::string, int> misses_;
    // Set when clearing an unavailable library failed, so the status of the same pass does
    // not hide that failure.
    bool clearFailurePending_ = false;
    // Set while the window shows a refused account ID.
    bool refusalShown_ = false;
};

}  // namespace vigilorb
