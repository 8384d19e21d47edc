#include "codex/account_board.hpp"

namespace vigilorb::codex {

std::string approvalRowID(const std::string& accountID) { return std::string(approvalRowPrefix) + accountID; }

std::string diagnosticsText(const std::filesystem::path& executable, const std::optional<std::string>& serverVersion) {
    return "CLI: " + executable.string() + "\n" + serverVersion.value_or("Waiting for server version");
}

BoardEffects AccountBoard::refused(const std::string& accountID) const {
    return {SetRow{{accountID.empty() ? std::string(invalidAccountRowID) : accountID,
                    std::string(invalidAccountIDMessage), false}}};
}

void AccountBoard::connecting(const std::string& accountID) {
    taskStatuses_.erase(accountID);
    taskStoreFailed_.erase(accountID);
}

BoardEffects AccountBoard::phaseChanged(const std::string& accountID, const CodexConnectionPhase& phase) {
    phases_[accountID] = phase;
    return accountRowAndSummary(accountID);
}

std::optional<BoardEffects> AccountBoard::recorded(const std::vector<NormalizedProviderEvent>& events,
                                                   const std::string& rowID) {
    for (const auto& e : events)
        if (const auto* q = e.asQuota(); q && q->provider == AIProvider::codex) return accountRowAndSummary(rowID);
    return std::nullopt;
}

void AccountBoard::tasksStored(const std::string& accountID) { taskStoreFailed_.erase(accountID); }

BoardEffects AccountBoard::tasksNotStored(const std::string& accountID) {
    taskStoreFailed_.insert(accountID);
    taskStatuses_[accountID] = {std::string(taskStoreFailureText), false};
    return accountRowAndSummary(accountID);
}

BoardEffects AccountBoard::taskObserverStatus(const std::string& accountID, const std::string& detail, bool healthy) {
    if (healthy && taskStoreFailed_.contains(accountID)) return {};  // keep the store failure visible
    taskStatuses_[accountID] = {detail, healthy};
    return accountRowAndSummary(accountID);
}

BoardEffects AccountBoard::approvalStatus(const std::string& accountID, ApprovalWatchStatus status) const {
    return {SetRow{{approvalRowID(accountID), std::string(statusText(status)), isHealthy(status)}}};
}

BoardEffects AccountBoard::approvalsNotStored(const std::string& accountID) const {
    return {SetRow{{approvalRowID(accountID), std::string(storeFailureText), false}}};
}

BoardEffects AccountBoard::removed(const std::string& accountID) {
    phases_.erase(accountID);
    taskStatuses_.erase(accountID);
    taskStoreFailed_.erase(accountID);
    return {RemoveRow{accountID}, RemoveRow{approvalRowID(accountID)}, summary()};
}

BoardEffects AccountBoard::removeFailed(const std::string& accountID) const {
    return {SetRow{{accountID, std::string(removeFailureText), false}}};
}

std::optional<CodexConnectionPhase> AccountBoard::phase(const std::string& accountID) const {
    auto it = phases_.find(accountID);
    return it == phases_.end() ? std::nullopt : std::optional(it->second);
}

BoardEffects AccountBoard::accountRowAndSummary(const std::string& accountID) const {
    auto phase = this->phase(accountID).value_or(CodexConnectionPhase::idle());
    StatusRow row;
    if (phase.kind != CodexConnectionPhase::Kind::connected)
        row = {accountID, statusText(phase), false};
    else if (auto t = taskStatuses_.find(accountID); t != taskStatuses_.end())
        row = {accountID, t->second.detail, t->second.healthy};
    else
        row = {accountID, std::string(waitingForTasksText), true};
    return {SetRow{std::move(row)}, summary()};
}

SetSummary AccountBoard::summary() const {
    const std::size_t n = phases_.size();
    if (n == 0) return {std::string(noAccountsSummary), false};
    const std::string accounts = std::to_string(n) + " local account" + (n == 1 ? "" : "s");
    for (const auto& [id, p] : phases_)
        if (p.kind != CodexConnectionPhase::Kind::connected) return {id + ": " + statusText(p), false};
    for (const auto& [id, s] : taskStatuses_)
        if (!s.healthy) return {id + ": " + s.detail, false};
    return {accounts + " connected", true};
}

}  // namespace vigilorb::codex
