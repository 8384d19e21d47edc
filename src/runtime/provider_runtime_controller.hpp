#pragma once
// ProviderRuntimeController: the one object of the app that runs the provider adapters, owns the
// snapshot store, publishes every store result and keeps the status rows the window shows.
// Everything here runs on the Qt main thread.
//
// Extension points (how a provider plugs in without editing this file):
//  * A provider is one side and one board. The board holds its status rules, Qt-free, in the
//    provider's core folder (codex::AccountBoard, claude::DesktopBoard): reports in, row and
//    summary changes out. The side (a class deriving from ProviderRuntimeSide, below, in its
//    own source file under src/runtime) wires the provider's timers, processes and threads to
//    the board and applies the board's changes here.
//  * Sides are created by the factories in ProviderRuntimeOptions: first standingSides (those
//    that need no set-up and start no process: the Claude Code inbox), then sides (Codex, then
//    Claude Desktop). Both default lists are in runtime_sides.cpp, one line per side; their
//    order is the order of the start-up steps. Tests replace `sides` to leave out the sides
//    that start processes and threads.
//  * A side keeps its own private state (clients, observers, its board) and its own timers
//    (periods from the options), and works through the controller's public operations:
//    store(), recordEvents(), publish(), setAccountStatus()/removeAccountStatus() (or apply()
//    for a board's row changes), the setters of the published summaries, and preferences()
//    for the "provider.*" keys.
//  * ProviderRuntimeSide::startUp() is the side's step of the start-up task; it runs after
//    the stored snapshot was published.
//  * ProviderRuntimeSide::handleRecordedEvents() lets a side set row R itself after a
//    batch was recorded (the Codex side does this for Codex quotas); when no side claims the
//    batch the row reads "Read-only quota and task state updated".
//  * The window finds a side's operations by its type: controller.side<CodexRuntimeSide>().
//  * The transport controller plugs into setPublishSink(); the window listens to the
//    *Changed signals and reads the getters.

#include <QObject>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "claude/claude_connector.hpp"
#include "model/events.hpp"
#include "model/paths.hpp"
#include "model/preferences.hpp"
#include "model/status_rows.hpp"
#include "store/store.hpp"

namespace vigilorb::runtime {

// One row of the status list.
using ProviderAccountRuntimeStatus = StatusRow;

// The row about the snapshot file itself (the space keeps it apart from every account ID).
inline constexpr std::string_view snapshotFileStatusID = "Snapshot file";
inline constexpr std::string_view snapshotWaitingText =
    "Snapshot file cannot be read; events wait until it can be read or is moved aside";
// Followed by the new file name, then snapshotMovedAsideEnd.
inline constexpr std::string_view snapshotMovedAsideText = "Unreadable snapshot moved aside as ";
inline constexpr std::string_view snapshotMovedAsideEnd = "; started empty";

class ProviderRuntimeController;

class ProviderRuntimeSide {
public:
    virtual ~ProviderRuntimeSide() = default;
    // The side's step of the start-up task.
    virtual void startUp() {}
    // After a recorded batch: return true when this side has set status row `statusID`.
    virtual bool handleRecordedEvents(const std::vector<NormalizedProviderEvent>& /*events*/,
                                      const std::string& /*statusID*/) {
        return false;
    }
};

using ProviderRuntimeSideFactory = std::function<std::unique_ptr<ProviderRuntimeSide>(ProviderRuntimeController&)>;

// The sides built into the app (runtime_sides.cpp): the standing ones, then the rest.
std::vector<ProviderRuntimeSideFactory> standingRuntimeSides();
std::vector<ProviderRuntimeSideFactory> defaultRuntimeSides();

struct ProviderRuntimeOptions {
    using Duration = std::chrono::milliseconds;

    paths::Environment environment = paths::processEnvironment();
    // Empty: paths::snapshotFile(environment).
    std::filesystem::path snapshotFile;
    store::CompanionSnapshotStore::Clock clock = &Date::now;
    // True once the app has been asked to quit. Long work on the event loop (a drain pass over
    // thousands of inbox files) asks it between steps and leaves the rest for the next start,
    // so a stop request does not wait for it. Must be safe to call at any time; none: never.
    std::function<bool()> stopRequested;
    // Not owned; null gives in-memory preferences that last as long as the controller.
    Preferences* preferences = nullptr;
    // This program's path for the connector's commands.
    std::function<std::optional<std::filesystem::path>()> executablePath;
    std::vector<std::filesystem::path> claudeCLIFallbackFolders = claude::claudeCLIFallbackFolders;
    std::vector<ProviderRuntimeSideFactory> standingSides = standingRuntimeSides();
    std::vector<ProviderRuntimeSideFactory> sides = defaultRuntimeSides();

    // Loop periods; the defaults are the product's, tests shorten them.
    Duration claudeInboxPeriod{2000};
    Duration coworkScanPeriod{2000};
    Duration codexLocalPollPeriod{3000};
    Duration claudeDesktopUsagePeriod{15000};
    Duration codexRefreshPeriod{45000};
    Duration codexRequestTimeout{20000};
    // Multiplies the Codex approval observer's retry and snapshot delays (1 s … 60 s).
    double codexApprovalTimeScale = 1.0;
};

class ProviderRuntimeController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString codexSummary READ codexSummaryText NOTIFY codexSummaryChanged)
    Q_PROPERTY(bool codexIsHealthy READ codexIsHealthy NOTIFY codexSummaryChanged)
    Q_PROPERTY(QString claudeSummary READ claudeSummaryText NOTIFY claudeSummaryChanged)
    Q_PROPERTY(bool claudeDesktopObserverEnabled READ claudeDesktopObserverEnabled NOTIFY claudeDesktopObserverChanged)
    Q_PROPERTY(QString claudeDesktopObserverStatus READ claudeDesktopObserverStatusText NOTIFY
                   claudeDesktopObserverChanged)

public:
    using PublishSink = std::function<void(const store::CompanionSnapshot&)>;

    // Creates the store and the sides, and queues the start-up task on the event loop (nothing
    // runs before the loop does).
    explicit ProviderRuntimeController(ProviderRuntimeOptions options = {}, QObject* parent = nullptr);
    ~ProviderRuntimeController() override;

    // Published state.
    const store::CompanionSnapshot& snapshot() const { return snapshot_; }
    const std::vector<ProviderAccountRuntimeStatus>& accountStatuses() const { return accountStatuses_; }
    const ProviderAccountRuntimeStatus* accountStatus(std::string_view id) const;
    const std::string& codexSummary() const { return codexSummary_; }
    bool codexIsHealthy() const { return codexIsHealthy_; }
    const std::string& claudeSummary() const { return claudeSummary_; }
    bool claudeDesktopObserverEnabled() const { return claudeDesktopObserverEnabled_; }
    const std::string& claudeDesktopObserverStatus() const { return claudeDesktopObserverStatus_; }
    QString codexSummaryText() const { return QString::fromStdString(codexSummary_); }
    QString claudeSummaryText() const { return QString::fromStdString(claudeSummary_); }
    QString claudeDesktopObserverStatusText() const { return QString::fromStdString(claudeDesktopObserverStatus_); }

    // Replaces the row with that ID or adds it; rows stay sorted by ID (byte order).
    void setAccountStatus(const std::string& id, std::string_view detail, bool isHealthy);
    void removeAccountStatus(const std::string& id);
    // A board's changes to the rows (the sides apply their boards' summaries themselves).
    void apply(const SetRow& change) { setAccountStatus(change.row.id, change.row.detail, change.row.isHealthy); }
    void apply(const RemoveRow& change) { removeAccountStatus(change.id); }
    void setCodexSummary(std::string summary, bool isHealthy);
    void setClaudeSummary(std::string summary);
    void setClaudeDesktopObserver(bool enabled, std::string status);

    // Sets the published snapshot and hands it to the publish sink (the transport controller).
    void publish(const store::CompanionSnapshot& snapshot);
    void setPublishSink(PublishSink sink) { publishSink_ = std::move(sink); }

    // Applies each event in a fresh envelope, in order, and publishes the last result. A store
    // failure stops the batch and sets row `statusID` to "Could not save the normalized snapshot";
    // false then.
    bool recordEvents(const std::vector<NormalizedProviderEvent>& events, const std::string& statusID);

    // The way out of a snapshot file that cannot be read (files that can never load are moved
    // aside on their own; this is for the rest, e.g. a file this user may not read): renames
    // it to "snapshot-v1.json.unreadable-<UTC time>", continues from the empty snapshot and
    // publishes it. Returns whether a file was moved.
    bool moveUnreadableSnapshotAside();

    // For the sides.
    store::CompanionSnapshotStore& store() { return store_; }
    const ProviderRuntimeOptions& options() const { return options_; }
    Preferences& preferences() { return *preferences_; }
    std::optional<std::filesystem::path> profilesRoot() const { return paths::profilesRoot(options_.environment); }
    // The side of exactly that type, if the controller runs one.
    template <class Side>
    Side* side() const {
        for (const auto& [type, s] : sides_)
            if (type == std::type_index(typeid(Side))) return static_cast<Side*>(s.get());
        return nullptr;
    }

signals:
    void snapshotChanged();
    void accountStatusesChanged();
    void codexSummaryChanged();
    void claudeSummaryChanged();
    void claudeDesktopObserverChanged();
    // The start-up task has run (stored snapshot published, sides started).
    void startedUp();
    // One pass of the Claude Code side over the Claude inboxes has completed.
    void claudeInboxDrained();

private:
    void runStartUp();
    void showSnapshotProblem(const std::optional<store::SnapshotFileProblem>& problem);

    ProviderRuntimeOptions options_;
    MemoryPreferences ownPreferences_;
    Preferences* preferences_;
    PublishSink publishSink_;

    store::CompanionSnapshot snapshot_;
    std::vector<ProviderAccountRuntimeStatus> accountStatuses_;
    std::string codexSummary_ = "Waiting for local capture to start";
    bool codexIsHealthy_ = false;
    std::string claudeSummary_ = "Detecting the local CLI…";
    bool claudeDesktopObserverEnabled_ = false;
    std::string claudeDesktopObserverStatus_ = "Not enabled";

    store::CompanionSnapshotStore store_;
    // In start-up order, each with its exact type for side<T>().
    std::vector<std::pair<std::type_index, std::unique_ptr<ProviderRuntimeSide>>> sides_;
};

}  // namespace vigilorb::runtime
