#include "runtime/provider_runtime_controller.hpp"

#include <algorithm>

#include "cli/claude_inbox.hpp"  // the generic "updated" row text
#include "cli/process.hpp"

namespace vigilorb::runtime {

namespace {

std::filesystem::path snapshotFileOf(const ProviderRuntimeOptions& options) {
    return options.snapshotFile.empty() ? paths::snapshotFile(options.environment) : options.snapshotFile;
}

}  // namespace

ProviderRuntimeController::ProviderRuntimeController(ProviderRuntimeOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      preferences_(options_.preferences ? options_.preferences : &ownPreferences_),
      store_(snapshotFileOf(options_), options_.clock, store::UnreadableSnapshotPolicy::moveAside) {
    if (!options_.executablePath) options_.executablePath = &cli::currentExecutable;
    store_.setProblemListener([this](const std::optional<store::SnapshotFileProblem>& p) { showSnapshotProblem(p); });

    for (const auto* factories : {&options_.standingSides, &options_.sides})
        for (const auto& make : *factories)
            if (make)
                if (auto side = make(*this)) {
                    std::type_index type = typeid(*side);
                    sides_.emplace_back(type, std::move(side));
                }

    QMetaObject::invokeMethod(this, &ProviderRuntimeController::runStartUp, Qt::QueuedConnection);
}

ProviderRuntimeController::~ProviderRuntimeController() = default;

const ProviderAccountRuntimeStatus* ProviderRuntimeController::accountStatus(std::string_view id) const {
    auto it = std::find_if(accountStatuses_.begin(), accountStatuses_.end(), [&](const auto& s) { return s.id == id; });
    return it == accountStatuses_.end() ? nullptr : &*it;
}

void ProviderRuntimeController::setAccountStatus(const std::string& id, std::string_view detail, bool isHealthy) {
    ProviderAccountRuntimeStatus row{id, std::string(detail), isHealthy};
    auto it = std::find_if(accountStatuses_.begin(), accountStatuses_.end(), [&](const auto& s) { return s.id == id; });
    if (it != accountStatuses_.end()) {
        if (*it == row) return;
        *it = std::move(row);
    } else {
        accountStatuses_.push_back(std::move(row));
    }
    std::sort(accountStatuses_.begin(), accountStatuses_.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    emit accountStatusesChanged();
}

void ProviderRuntimeController::removeAccountStatus(const std::string& id) {
    auto removed = std::erase_if(accountStatuses_, [&](const auto& s) { return s.id == id; });
    if (removed) emit accountStatusesChanged();
}

void ProviderRuntimeController::setCodexSummary(std::string summary, bool isHealthy) {
    if (summary == codexSummary_ && isHealthy == codexIsHealthy_) return;
    codexSummary_ = std::move(summary);
    codexIsHealthy_ = isHealthy;
    emit codexSummaryChanged();
}

void ProviderRuntimeController::setClaudeSummary(std::string summary) {
    if (summary == claudeSummary_) return;
    claudeSummary_ = std::move(summary);
    emit claudeSummaryChanged();
}

void ProviderRuntimeController::setClaudeDesktopObserver(bool enabled, std::string status) {
    if (enabled == claudeDesktopObserverEnabled_ && status == claudeDesktopObserverStatus_) return;
    claudeDesktopObserverEnabled_ = enabled;
    claudeDesktopObserverStatus_ = std::move(status);
    emit claudeDesktopObserverChanged();
}

void ProviderRuntimeController::publish(const store::CompanionSnapshot& snapshot) {
    // Every store result is published, also an unchanged one: the transport decides what to send.
    snapshot_ = snapshot;
    emit snapshotChanged();
    if (publishSink_) publishSink_(snapshot_);
}

bool ProviderRuntimeController::recordEvents(const std::vector<NormalizedProviderEvent>& events,
                                             const std::string& statusID) {
    std::optional<store::CompanionSnapshot> last;
    for (const auto& event : events) {
        auto stored = store_.apply(ProviderEventEnvelope::make(event, options_.clock()));
        if (!stored) {
            setAccountStatus(statusID, storeFailureText, false);
            return false;
        }
        last = std::move(*stored);
    }
    if (last) publish(*last);
    bool claimed = false;
    for (const auto& [type, side] : sides_) claimed = side->handleRecordedEvents(events, statusID) || claimed;
    if (!claimed) setAccountStatus(statusID, cli::appliedText, true);
    return true;
}

bool ProviderRuntimeController::moveUnreadableSnapshotAside() {
    auto moved = store_.moveUnreadableAside();
    if (!moved || !*moved) return false;
    auto now = store_.snapshot();
    if (!now) return false;
    publish(*now);
    return true;
}

void ProviderRuntimeController::showSnapshotProblem(const std::optional<store::SnapshotFileProblem>& problem) {
    const std::string id(snapshotFileStatusID);
    if (!problem)
        removeAccountStatus(id);
    else if (problem->movedAsideTo)
        setAccountStatus(id,
                         std::string(snapshotMovedAsideText) + problem->movedAsideTo->filename().string() +
                             std::string(snapshotMovedAsideEnd),
                         false);
    else
        setAccountStatus(id, snapshotWaitingText, false);
}

void ProviderRuntimeController::runStartUp() {
    // Left behind by a process killed between writing and renaming a new snapshot.
    store_.removeStaleTemporaries();
    // A file that may yet become readable is left as it is (nothing recorded is lost); the
    // empty snapshot stays published and the "Snapshot file" row says why. Files that can
    // never load were moved aside by the store instead.
    if (auto loaded = store_.snapshot()) publish(*loaded);
    for (const auto& [type, side] : sides_) side->startUp();
    emit startedUp();
}

}  // namespace vigilorb::runtime
