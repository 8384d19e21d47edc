#pragma once
// The Codex side of the runtime: per saved Codex account one app-server client (quota), one
// local task observer (task states) and one approval observer, the 45-second refresh loop, and
// the window's connect, refresh and remove actions. Which rows and summary that shows is
// decided by codex::AccountBoard; this side only feeds it and applies its changes.
#include <QTimer>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "codex/account_board.hpp"
#include "codex/saved_accounts.hpp"
#include "runtime/codex_app_server_client.hpp"
#include "runtime/codex_approval_observer.hpp"
#include "runtime/codex_local_task_observer.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb::runtime {

class CodexRuntimeSide final : public ProviderRuntimeSide {
public:
    explicit CodexRuntimeSide(ProviderRuntimeController& controller);
    ~CodexRuntimeSide() override;

    void startUp() override;
    bool handleRecordedEvents(const std::vector<NormalizedProviderEvent>& events, const std::string& statusID) override;

    // The window's actions. The account ID is taken as typed (trimmed and checked here).
    void connectAccount(std::string_view rawAccountID, bool isolatedProfile);
    void refresh();
    void removeAccount(std::string_view rawAccountID);

    // For the window: the client of an account and its diagnostics line
    // ("CLI: <path>\n<server version or "Waiting for server version">").
    const CodexAppServerClient* client(const std::string& accountID) const;
    std::optional<std::string> diagnostics(const std::string& accountID) const;
    std::optional<codex::CodexConnectionPhase> phase(const std::string& accountID) const;
    const CodexLocalTaskObserver* observer(const std::string& accountID) const;
    const CodexApprovalObserver* approvalObserver(const std::string& accountID) const;

private:
    void dropConnection(const std::string& accountID);
    void show(const codex::BoardEffects& effects);
    bool isCurrent(const std::string& accountID, const std::string& connectionID) const;
    // Starts the approval observer of the account on that Codex home, unless it runs already.
    void watchApprovals(const std::string& accountID, const std::filesystem::path& codexHome);
    // Brings the store in line with the approval observer's waits of the account.
    void reconcileApprovals(const std::string& accountID);
    const codex::ApprovalWaits& waitsOf(const std::string& accountID) const;
    std::filesystem::path sharedCodexHome() const;

    ProviderRuntimeController& controller_;
    codex::AccountBoard board_;
    std::map<std::string, std::unique_ptr<CodexAppServerClient>> clients_;
    std::map<std::string, std::unique_ptr<CodexLocalTaskObserver>> observers_;
    // One per connected account, on the same Codex home as its local task observer.
    std::map<std::string, std::unique_ptr<CodexApprovalObserver>> approvalObservers_;
    // The local task observer's last list per account, to put a task back after its wait ends.
    std::map<std::string, std::vector<TaskSnapshot>> lastLocalTasks_;
    std::map<std::string, std::string> connectionIDs_;
    QTimer refreshTask_;
};

}  // namespace vigilorb::runtime
