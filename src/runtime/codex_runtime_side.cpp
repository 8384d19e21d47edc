#include "runtime/codex_runtime_side.hpp"

#include <QCoreApplication>

#include <set>
#include <type_traits>
#include <variant>

#include "claude/claude_connector.hpp"
#include "codex/approval_waits.hpp"
#include "model/events.hpp"

namespace vigilorb::runtime {

using codex::CodexConnectionFailure;
using codex::CodexConnectionPhase;

CodexRuntimeSide::CodexRuntimeSide(ProviderRuntimeController& controller) : controller_(controller) {
    refreshTask_.setParent(&controller_);
    refreshTask_.setTimerType(Qt::PreciseTimer);
    refreshTask_.setInterval(controller_.options().codexRefreshPeriod);
    QObject::connect(&refreshTask_, &QTimer::timeout, &controller_, [this] { refresh(); });
    refreshTask_.start();
}

CodexRuntimeSide::~CodexRuntimeSide() {
    refreshTask_.stop();
    approvalObservers_.clear();
    observers_.clear();
    for (auto& [id, client] : clients_) client->stop();
    clients_.clear();
}

std::filesystem::path CodexRuntimeSide::sharedCodexHome() const {
    const auto& env = controller_.options().environment;
    // The child inherits CODEX_HOME when it is set, so its tasks live there too.
    if (auto home = env("CODEX_HOME"); home && !home->empty()) return *home;
    auto home = paths::homeDirectory(env);
    return codex::defaultCodexHome(home ? *home : std::filesystem::path("/"));
}

void CodexRuntimeSide::startUp() {
    auto saved = codex::loadSavedCodexAccounts(controller_.preferences());
    std::set<std::string> savedIDs;
    for (const auto& a : saved) savedIDs.insert(a.id);
    std::set<std::string> stale;
    for (const auto& [key, quota] : controller_.snapshot().quotasByAccount)
        if (quota.provider == AIProvider::codex && !savedIDs.contains(quota.accountID)) stale.insert(quota.accountID);
    for (const auto& id : stale) {
        if (auto stored = controller_.store().removeAccount(AIProvider::codex, id))
            controller_.publish(*stored);
        else
            show(board_.removeFailed(id));
    }
    for (const auto& a : saved) connectAccount(a.id, a.isolatedProfile);
}

bool CodexRuntimeSide::handleRecordedEvents(const std::vector<NormalizedProviderEvent>& events,
                                            const std::string& statusID) {
    auto effects = board_.recorded(events, statusID);
    if (effects) show(*effects);
    return effects.has_value();
}

void CodexRuntimeSide::show(const codex::BoardEffects& effects) {
    for (const auto& effect : effects)
        std::visit(
            [this](const auto& change) {
                if constexpr (std::is_same_v<std::decay_t<decltype(change)>, SetSummary>)
                    controller_.setCodexSummary(change.text, change.isHealthy);
                else
                    controller_.apply(change);
            },
            effect);
}

bool CodexRuntimeSide::isCurrent(const std::string& accountID, const std::string& connectionID) const {
    auto it = connectionIDs_.find(accountID);
    return it != connectionIDs_.end() && it->second == connectionID;
}

void CodexRuntimeSide::dropConnection(const std::string& accountID) {
    if (auto it = clients_.find(accountID); it != clients_.end()) {
        it->second->stop();
        clients_.erase(it);
    }
    observers_.erase(accountID);
    lastLocalTasks_.erase(accountID);
}

void CodexRuntimeSide::watchApprovals(const std::string& accountID, const std::filesystem::path& codexHome) {
    // Kept across reconnects of the quota client: a client that keeps failing (a signed-out
    // profile) must not make the observer reconnect and re-read Codex's threads each time.
    if (auto it = approvalObservers_.find(accountID); it != approvalObservers_.end()) {
        if (it->second->codexHome() == codexHome) return;
        approvalObservers_.erase(it);
    }
    CodexApprovalObserver::Options o;
    o.clock = controller_.options().clock;
    o.timeScale = controller_.options().codexApprovalTimeScale;
    auto version = QCoreApplication::applicationVersion().toStdString();
    if (!version.empty()) o.clientVersion = version;
    auto observer = std::make_unique<CodexApprovalObserver>(codexHome, o);
    auto* raw = observer.get();
    approvalObservers_[accountID] = std::move(observer);
    raw->start(
        [this, accountID, raw] {
            if (approvalObserver(accountID) == raw) reconcileApprovals(accountID);
        },
        [this, accountID, raw](codex::ApprovalWatchStatus status) {
            if (approvalObserver(accountID) == raw) show(board_.approvalStatus(accountID, status));
        });
}

const codex::ApprovalWaits& CodexRuntimeSide::waitsOf(const std::string& accountID) const {
    static const codex::ApprovalWaits none;
    auto it = approvalObservers_.find(accountID);
    return it == approvalObservers_.end() ? none : it->second->waits();
}

void CodexRuntimeSide::reconcileApprovals(const std::string& accountID) {
    auto it = approvalObservers_.find(accountID);
    if (it == approvalObservers_.end()) return;
    const auto& observer = *it->second;
    auto& store = controller_.store();
    // On a store failure the observer's next snapshot (within a minute) tries again.
    auto notStored = [&] { show(board_.approvalsNotStored(accountID)); };
    auto stored = store.snapshot();
    if (!stored) return notStored();
    auto r = codex::reconcileApprovalWaits(*stored, accountID, observer.waits(), observer.settled());
    if (r.events.empty() && r.clearedTaskIDs.empty()) return;
    for (const auto& e : r.events) {
        stored = store.apply(ProviderEventEnvelope::make(e, controller_.options().clock()));
        if (!stored) return notStored();
    }
    if (!r.clearedTaskIDs.empty()) {
        // The task goes back to what the local task observer last said of it (or away).
        stored = store.removeTasksExcept(AIProvider::codex, accountID,
                                         codex::taskIDsExcept(*stored, accountID, r.clearedTaskIDs));
        if (!stored) return notStored();
        if (auto local = lastLocalTasks_.find(accountID); local != lastLocalTasks_.end()) {
            stored = store.replaceTasks(AIProvider::codex, accountID,
                                        codex::overlayApprovalWaits(local->second, *stored, accountID, observer.waits()),
                                        controller_.options().clock());
            if (!stored) return notStored();
        }
    }
    controller_.publish(*stored);
}

void CodexRuntimeSide::connectAccount(std::string_view rawAccountID, bool isolatedProfile) {
    std::string id = claude::trimmedAccountID(rawAccountID);
    if (!isValidAccountID(id)) {
        show(board_.refused(id));
        return;
    }
    if (auto it = clients_.find(id); it != clients_.end()) {
        auto& c = *it->second;
        if (c.isRunning() && !c.stopped() && !c.phase().isFailed()) {
            c.refreshRateLimits();
            return;
        }
    }
    dropConnection(id);
    board_.connecting(id);
    auto connectionID = makeUUID();
    connectionIDs_[id] = connectionID;

    if (!isolatedProfile) {
        // One sign-in lives in the shared Codex home: other accounts on it go.
        for (const auto& other : codex::loadSavedCodexAccounts(controller_.preferences()))
            if (!other.isolatedProfile && other.id != id) removeAccount(other.id);
    }

    const auto& options = controller_.options();
    auto failed = [&](CodexConnectionFailure failure) {
        dropConnection(id);
        show(board_.phaseChanged(id, CodexConnectionPhase::failed(failure)));
    };
    try {
        std::optional<std::filesystem::path> clientHome;
        std::filesystem::path observedHome;
        if (isolatedProfile) {
            auto prepared = codex::prepareIsolatedProfile(id, options.environment);
            if (!prepared) return failed(CodexConnectionFailure::of(CodexConnectionFailure::Kind::launchFailed));
            clientHome = *prepared;
            observedHome = *clientHome;
        } else {
            observedHome = sharedCodexHome();
            if (auto env = options.environment("CODEX_HOME"); env && !env->empty()) clientHome = observedHome;
        }
        watchApprovals(id, observedHome);
        CodexAppServerClient::Options clientOptions;
        clientOptions.requestTimeout = options.codexRequestTimeout;
        clientOptions.environment = options.environment;
        auto client = std::make_unique<CodexAppServerClient>(
            id, clientHome, std::nullopt,
            [this, id, connectionID](const std::vector<NormalizedProviderEvent>& events) {
                // An update without a usable window changes nothing; recording it would only
                // replace the account's row with the generic "updated" text.
                if (!events.empty() && isCurrent(id, connectionID)) controller_.recordEvents(events, id);
            },
            [this, id, connectionID](const CodexConnectionPhase& phase) {
                if (isCurrent(id, connectionID)) show(board_.phaseChanged(id, phase));
            },
            clientOptions);
        auto* raw = client.get();
        clients_[id] = std::move(client);
        if (auto started = raw->start(); !started) return failed(started.error());

        auto observer = std::make_unique<CodexLocalTaskObserver>(id, observedHome, options.codexLocalPollPeriod,
                                                                 options.clock);
        auto* obs = observer.get();
        observers_[id] = std::move(observer);
        obs->start(
            [this, id, connectionID, obs](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>& indexed) {
                if (!isCurrent(id, connectionID)) return;
                lastLocalTasks_[id] = tasks;
                // Codex's files never record an approval wait: the approval observer's waits
                // are laid over the local list, and a waiting thread is kept even when the
                // thread index does not list it (yet).
                const auto& waits = waitsOf(id);
                std::set<std::string> keep = indexed;
                for (const auto& [threadID, wait] : waits) keep.insert(threadID);
                // The observer hands the same tasks over again on its next poll.
                const auto notStored = [&] {
                    show(board_.tasksNotStored(id));
                    obs->handOverAgain();
                };
                auto kept = controller_.store().removeTasksExcept(
                    AIProvider::codex, id, std::vector<std::string>(keep.begin(), keep.end()));
                if (!kept) return notStored();
                controller_.publish(*kept);
                auto replaced = controller_.store().replaceTasks(
                    AIProvider::codex, id, codex::overlayApprovalWaits(tasks, *kept, id, waits),
                    controller_.options().clock());
                if (!replaced) return notStored();
                controller_.publish(*replaced);
                board_.tasksStored(id);
            },
            [this, id, connectionID](const std::string& detail, bool healthy) {
                if (isCurrent(id, connectionID)) show(board_.taskObserverStatus(id, detail, healthy));
            });

        codex::upsertSavedCodexAccount(controller_.preferences(), id, isolatedProfile);
    } catch (const std::exception&) {
        // Nothing above fails by throwing; a library error (out of memory) still must not leave
        // a half-made connection behind.
        failed(CodexConnectionFailure::of(CodexConnectionFailure::Kind::launchFailed));
    }
}

void CodexRuntimeSide::refresh() {
    for (const auto& account : codex::loadSavedCodexAccounts(controller_.preferences())) {
        auto it = clients_.find(account.id);
        if (it == clients_.end() || !it->second->isRunning() || it->second->stopped() || it->second->phase().isFailed()) {
            connectAccount(account.id, account.isolatedProfile);
        } else if (it->second->canRefresh()) {
            it->second->refreshRateLimits();
        }
    }
}

void CodexRuntimeSide::removeAccount(std::string_view rawAccountID) {
    std::string id = claude::trimmedAccountID(rawAccountID);
    dropConnection(id);
    connectionIDs_.erase(id);
    approvalObservers_.erase(id);
    codex::removeSavedCodexAccount(controller_.preferences(), id);
    show(board_.removed(id));
    if (auto stored = controller_.store().removeAccount(AIProvider::codex, id))
        controller_.publish(*stored);
    else
        show(board_.removeFailed(id));
}

const CodexAppServerClient* CodexRuntimeSide::client(const std::string& accountID) const {
    auto it = clients_.find(accountID);
    return it == clients_.end() ? nullptr : it->second.get();
}

const CodexApprovalObserver* CodexRuntimeSide::approvalObserver(const std::string& accountID) const {
    auto it = approvalObservers_.find(accountID);
    return it == approvalObservers_.end() ? nullptr : it->second.get();
}

const CodexLocalTaskObserver* CodexRuntimeSide::observer(const std::string& accountID) const {
    auto it = observers_.find(accountID);
    return it == observers_.end() ? nullptr : it->second.get();
}

std::optional<CodexConnectionPhase> CodexRuntimeSide::phase(const std::string& accountID) const {
    return board_.phase(accountID);
}

std::optional<std::string> CodexRuntimeSide::diagnostics(const std::string& accountID) const {
    const auto* c = client(accountID);
    if (!c) return std::nullopt;
    return codex::diagnosticsText(c->executablePath(), c->serverVersion());
}

}  // namespace vigilorb::runtime
