#include "runtime/claude_desktop_runtime_side.hpp"

#include "claude/claude_desktop_files.hpp"
#include "claude/claude_desktop_session_parser.hpp"
#include "claude/cowork_reconciliation.hpp"

namespace vigilorb {

namespace keys = claude_desktop_keys;
namespace texts = claude_desktop_texts;

ClaudeDesktopRuntimeSide::ClaudeDesktopRuntimeSide(ProviderRuntimeController& controller) : controller_(controller) {}

ClaudeDesktopRuntimeSide::~ClaudeDesktopRuntimeSide() {
    // The observers are children of the controller; stop them so no pass reaches this side.
    if (coworkObserver_) coworkObserver_->stop();
    if (usageObserver_) usageObserver_->stop();
    delete coworkObserver_.data();
    delete usageObserver_.data();
}

void ClaudeDesktopRuntimeSide::startUp() {
    auto& prefs = controller_.preferences();
    if (!prefs.boolean(keys::configured).value_or(false)) {
        start(texts::defaultAccount);
    } else if (prefs.boolean(keys::enabled).value_or(false)) {
        if (auto account = prefs.string(keys::account)) start(*account);
    }
}

void ClaudeDesktopRuntimeSide::dropObservers() {
    // deleteLater: this may run inside one of the observers' own handlers.
    if (coworkObserver_) {
        coworkObserver_->stop();
        coworkObserver_->deleteLater();
    }
    if (usageObserver_) {
        usageObserver_->stop();
        usageObserver_->deleteLater();
    }
    coworkObserver_.clear();
    usageObserver_.clear();
}

void ClaudeDesktopRuntimeSide::start(std::string_view rawAccountID) {
    auto account = claude::trimmed(rawAccountID);
    if (!isValidAccountID(account)) {
        controller_.setClaudeDesktopObserver(controller_.claudeDesktopObserverEnabled(),
                                             std::string(invalidAccountIDMessage));
        // Observers still running for the previous account must not replace this message
        // with their next scan's status; it stays until the next start or stop.
        refusalShown_ = true;
        return;
    }
    dropObservers();
    if (accountID_ && *accountID_ != account) {
        controller_.removeAccountStatus(coworkRow(*accountID_));
        controller_.removeAccountStatus(usageRow(*accountID_));
        misses_.clear();
    }
    // A restart for the same account ("Scan Now") keeps the miss counts: its captures follow
    // on from the previous ones, so a task missing before and after it still completes.
    refusalShown_ = false;
    clearFailurePending_ = false;
    controller_.setClaudeDesktopObserver(controller_.claudeDesktopObserverEnabled(), std::string(texts::connecting));
    controller_.setAccountStatus(coworkRow(account), texts::scanning, true);

    const auto& options = controller_.options();
    auto* cowork = new ClaudeDesktopLocalObserver(claude::desktop::coworkLibraryRoot(options.environment),
                                                  options.coworkScanPeriod, options.clock, &controller_);
    auto* usage = new ClaudeDesktopUsageObserver(claude::desktop::usageHistoryFile(options.environment),
                                                 options.claudeDesktopUsagePeriod, &controller_);
    coworkObserver_ = cowork;
    usageObserver_ = usage;
    accountID_ = account;
    controller_.setClaudeDesktopObserver(true, std::string(texts::connecting));
    auto& prefs = controller_.preferences();
    prefs.setBoolean(keys::configured, true);
    prefs.setBoolean(keys::enabled, true);
    prefs.setString(keys::account, account);

    // Results are applied only while their account is still the active one.
    cowork->start(
        account,
        [this, account](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>& indexed) {
            if (accountID_ == account) recordCowork(account, tasks, indexed);
        },
        [this, account] {
            if (accountID_ == account) clearUnavailable(account);
        },
        [this, account](const std::string& text, bool healthy) {
            if (accountID_ == account) showCoworkStatus(account, text, healthy);
        });
    usage->start(
        account,
        [this, account](const AccountQuotaSnapshot& quota) {
            if (accountID_ == account) recordQuota(account, quota);
        },
        [this, account](const std::string& text, bool healthy) {
            if (accountID_ == account) controller_.setAccountStatus(usageRow(account), text, healthy);
        });
}

void ClaudeDesktopRuntimeSide::stop() {
    dropObservers();
    auto& prefs = controller_.preferences();
    prefs.setBoolean(keys::enabled, false);
    prefs.setBoolean(keys::configured, true);
    refusalShown_ = false;
    controller_.setClaudeDesktopObserver(false, std::string(texts::stopped));
    if (accountID_) {
        auto account = *accountID_;
        controller_.setAccountStatus(coworkRow(account), texts::observerStopped, false);
        try {
            controller_.publish(controller_.store().removeTasks(AIProvider::claude, account));
        } catch (const Failure<SnapshotStoreError>&) {
            controller_.setAccountStatus(coworkRow(account), texts::cleanupFailed, false);
        }
        accountID_.reset();
    }
    misses_.clear();
    controller_.setClaudeSummary(std::string(texts::notEnabled));
}

void ClaudeDesktopRuntimeSide::recordQuota(const std::string& account, const AccountQuotaSnapshot& capture) {
    std::optional<AccountQuotaSnapshot> stored;
    try {
        const auto& quotas = controller_.store().snapshot().quotasByAccount;
        if (auto it = quotas.find(CompanionSnapshot::quotaKey(AIProvider::claude, account)); it != quotas.end())
            stored = it->second;
    } catch (const Failure<SnapshotStoreError>&) {
        controller_.setAccountStatus(usageRow(account), storeFailureText, false);
        return;
    }
    auto merged = claude::mergeUsageQuota(capture, stored, controller_.options().clock());
    controller_.recordEvents({NormalizedProviderEvent::quota(std::move(merged))}, usageRow(account));
}

void ClaudeDesktopRuntimeSide::recordCowork(const std::string& account, const std::vector<TaskSnapshot>& tasks,
                                            const std::set<std::string>& indexedIDs) {
    auto row = coworkRow(account);
    CompanionSnapshot afterRemoval;
    try {
        auto stored = controller_.store().snapshot();
        auto keep = claude::cowork::reconciliationKeepSet(stored, account, indexedIDs);
        afterRemoval = controller_.store().removeTasksExcept(AIProvider::claude, account, keep);
        controller_.publish(afterRemoval);
    } catch (const Failure<SnapshotStoreError>&) {
        controller_.setAccountStatus(row, storeFailureText, false);
        return;
    }
    auto completions =
        claude::cowork::missedTaskCompletions(afterRemoval, account, tasks, misses_, controller_.options().clock());
    std::vector<NormalizedProviderEvent> events;
    events.reserve(tasks.size() + completions.size());
    for (const auto& t : tasks) events.push_back(NormalizedProviderEvent::task(t));
    for (auto& t : completions) events.push_back(NormalizedProviderEvent::task(std::move(t)));
    if (!events.empty()) controller_.recordEvents(events, row);
}

void ClaudeDesktopRuntimeSide::clearUnavailable(const std::string& account) {
    try {
        controller_.publish(
            controller_.store().replaceTasks(AIProvider::claude, account, {}, controller_.options().clock()));
    } catch (const Failure<SnapshotStoreError>&) {
        controller_.setAccountStatus(coworkRow(account), texts::clearFailed, false);
        clearFailurePending_ = true;
    }
}

void ClaudeDesktopRuntimeSide::showCoworkStatus(const std::string& account, const std::string& text, bool healthy) {
    // After the first pass the observer's own text replaces "Connecting…" in the window too.
    if (!refusalShown_) controller_.setClaudeDesktopObserver(true, text);
    if (clearFailurePending_) {
        clearFailurePending_ = false;
        return;
    }
    controller_.setAccountStatus(coworkRow(account), text, healthy);
}

}  // namespace vigilorb
