#pragma once
// The Claude Desktop side of the runtime: starts and stops the usage and Cowork observers for
// one account, remembers the choice in the preferences, records what they report and
// reconciles the Cowork tasks that are no longer listed. What the rows, the observer line and
// the summary say is decided by claude::DesktopBoard; this side feeds it and applies its changes.

#include <QPointer>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "claude/desktop_board.hpp"
#include "runtime/claude_desktop_observers.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb::runtime {

namespace claude_desktop_keys {
inline constexpr std::string_view configured = "provider.claudeDesktopConfigured.v1";
inline constexpr std::string_view enabled = "provider.claudeDesktopEnabled.v1";
inline constexpr std::string_view account = "provider.claudeDesktopAccount.v1";
}  // namespace claude_desktop_keys

namespace claude_desktop_texts {
inline constexpr std::string_view defaultAccount = "claude-desktop";
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

    const std::optional<std::string>& accountID() const { return board_.account(); }
    const std::map<std::string, int>& observationMisses() const { return misses_; }


private:
    void dropObservers();
    void recordQuota(const std::string& accountID, const AccountQuotaSnapshot& capture);
    // Whether it is done with this report: false while a task has been missed once (the next
    // report decides) or after a failed store write.
    bool recordCowork(const std::string& accountID, const std::vector<TaskSnapshot>& tasks,
                      const std::set<std::string>& indexedIDs);
    void clearUnavailable(const std::string& accountID);
    void show(const claude::DesktopEffects& effects);

    ProviderRuntimeController& controller_;
    QPointer<ClaudeDesktopLocalObserver> coworkObserver_;
    QPointer<ClaudeDesktopUsageObserver> usageObserver_;
    claude::DesktopBoard board_;
    std::map<std::string, int> misses_;
};

}  // namespace vigilorb::runtime
