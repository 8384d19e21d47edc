#include "runtime/claude_desktop_runtime_side.hpp"

#include "claude/claude_desktop_files.hpp"
#include "claude/cowork_reconciliation.hpp"

#include <type_traits>
#include <variant>

namespace vigilorb::runtime {

namespace keys = claude_desktop_keys;

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
        start(claude_desktop_texts::defaultAccount);
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

void ClaudeDesktopRuntimeSide::show(const claude::DesktopEffects& effects) {
    for (const auto& effect : effects)
        std::visit(
            [this](const auto& change) {
                using Change = std::decay_t<decltype(change)>;
                if constexpr (std::is_same_v<Change, claude::SetObserverLine>)
                    controller_.setClaudeDesktopObserver(change.enabled, change.status);
                else if constexpr (std::is_same_v<Change, claude::SetClaudeSummary>)
                    controller_.setClaudeSummary(change.text);
                else
                    controller_.apply(change);
            },
            effect);
}

void ClaudeDesktopRuntimeSide::start(std::string_view rawAccountID) {
    auto previous = board_.account();
    auto started = board_.start(rawAccountID);
    if (!started.account) {
        show(started.effects);
        return;
    }
    const auto& account = *started.account;
    dropObservers();
    // A restart for the same account ("Scan Now") keeps the miss counts: its captures follow
    // on from the previous ones, so a task missing before and after it still completes.
    if (previous && *previous != account) misses_.clear();
    show(started.effects);

    const auto& options = controller_.options();
    auto* cowork = new ClaudeDesktopLocalObserver(claude::desktop::coworkLibraryRoot(options.environment),
                                                  options.coworkScanPeriod, options.clock, &controller_);
    auto* usage = new ClaudeDesktopUsageObserver(claude::desktop::usageHistoryFile(options.environment),
                                                 options.claudeDesktopUsagePeriod, &controller_);
    coworkObserver_ = cowork;
    usageObserver_ = usage;
    auto& prefs = controller_.preferences();
    prefs.setBoolean(keys::configured, true);
    prefs.setBoolean(keys::enabled, true);
    prefs.setString(keys::account, account);

    // Results are applied only while their account is still the active one.
    cowork->start(
        account,
        [this, account, cowork](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>& indexed) {
            if (board_.isActive(account) && !recordCowork(account, tasks, indexed)) cowork->handOverAgain();
        },
        [this, account] {
            if (board_.isActive(account)) clearUnavailable(account);
        },
        [this, account](const std::string& text, bool healthy) {
            if (board_.isActive(account)) show(board_.coworkStatus(text, healthy));
        });
    usage->start(
        account,
        [this, account](const AccountQuotaSnapshot& quota) {
            if (board_.isActive(account)) recordQuota(account, quota);
        },
        [this, account](const std::string& text, bool healthy) {
            if (board_.isActive(account)) show(board_.usageStatus(text, healthy));
        });
}

void ClaudeDesktopRuntimeSide::stop() {
    dropObservers();
    auto& prefs = controller_.preferences();
    prefs.setBoolean(keys::enabled, false);
    prefs.setBoolean(keys::configured, true);
    auto account = board_.account();
    show(board_.stop());
    misses_.clear();
    if (account) {
        if (auto stored = controller_.store().removeTasks(AIProvider::claude, *account))
            controller_.publish(*stored);
        else
            show(board_.cleanupFailed(*account));
    }
}

void ClaudeDesktopRuntimeSide::recordQuota(const std::string& account, const AccountQuotaSnapshot& capture) {
    auto snapshot = controller_.store().snapshot();
    if (!snapshot) return show(board_.usageNotStored());
    std::optional<AccountQuotaSnapshot> stored;
    const auto& quotas = snapshot->quotasByAccount;
    if (auto it = quotas.find(store::CompanionSnapshot::quotaKey(AIProvider::claude, account)); it != quotas.end())
        stored = it->second;
    auto merged = claude::mergeUsageQuota(capture, stored, controller_.options().clock());
    controller_.recordEvents({NormalizedProviderEvent::quota(std::move(merged))}, claude::desktopUsageRowID(account));
}

bool ClaudeDesktopRuntimeSide::recordCowork(const std::string& account, const std::vector<TaskSnapshot>& tasks,
                                            const std::set<std::string>& indexedIDs) {
    auto stored = controller_.store().snapshot();
    if (!stored) {
        show(board_.coworkNotStored());
        return false;
    }
    auto keep = claude::cowork::reconciliationKeepSet(*stored, account, indexedIDs);
    auto afterRemoval = controller_.store().removeTasksExcept(AIProvider::claude, account, keep);
    if (!afterRemoval) {
        show(board_.coworkNotStored());
        return false;
    }
    controller_.publish(*afterRemoval);
    auto completions =
        claude::cowork::missedTaskCompletions(*afterRemoval, account, tasks, misses_, controller_.options().clock());
    std::vector<NormalizedProviderEvent> events;
    events.reserve(tasks.size() + completions.size());
    for (const auto& t : tasks) events.push_back(NormalizedProviderEvent::task(t));
    for (auto& t : completions) events.push_back(NormalizedProviderEvent::task(std::move(t)));
    if (!events.empty() && !controller_.recordEvents(events, claude::desktopCoworkRowID(account))) return false;
    return misses_.empty();
}

void ClaudeDesktopRuntimeSide::clearUnavailable(const std::string& account) {
    if (auto stored = controller_.store().replaceTasks(AIProvider::claude, account, {}, controller_.options().clock()))
        controller_.publish(*stored);
    else
        show(board_.clearFailed());
}

}  // namespace vigilorb::runtime
