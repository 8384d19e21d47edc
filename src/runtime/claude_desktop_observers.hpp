#pragma once
// The two Claude Desktop polling loops, on one shared loop. Each pass runs its file capture on
// the capture worker and applies the result on the main thread, where the handlers run. A pass
// that is still capturing when the loop is stopped or restarted is dropped on arrival.
//
// The files are watched (FolderWatch): when nothing changed since the previous capture, a
// pass applies that capture again instead of reading the files, which is what reading them
// would give (the captures cache unchanged files), so the handlers and the time-dependent
// rules see the same as before at the cost of one stat per watched root. A failed capture is
// not applied again: its files are read again every pass. When the last application said that
// applying it again would change nothing until some instant (no time-dependent rule due, no
// handler waiting for another pass), a pass with no change does nothing at all.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "claude/claude_desktop_usage.hpp"
#include "claude/cowork_observer_state.hpp"
#include "runtime/folder_watch.hpp"

namespace vigilorb::runtime {

using ObserverStatusHandler = std::function<void(const std::string& text, bool healthy)>;

// A pass, then a sleep of one period, until stopped. A handler may stop or restart the loop:
// its pass then ends where it is (no further handler, no sleep, no passCompleted).
class ClaudeDesktopPollLoop : public QObject {
    Q_OBJECT
public:
    ~ClaudeDesktopPollLoop() override;

    void stop();
    bool isPolling() const { return polling_; }

signals:
    // A pass has applied its capture (for tests and benchmarks).
    void passCompleted();

protected:
    // Applies one capture on the main thread; `live()` turns false once a handler has stopped
    // or restarted the loop, and the application then returns at once.
    using Apply = std::function<void(const std::function<bool()>& live)>;
    // Runs on the capture worker and captures; the result comes back as its application.
    using Capture = std::function<Apply()>;

    ClaudeDesktopPollLoop(std::chrono::milliseconds period, QObject* parent);
    // Stops a running loop and starts polling; the first pass runs at once. `nextCapture` is
    // asked on the main thread at the start of every pass (so it may copy the current state).
    // Called by an application: what a pass with no change applies instead of capturing (only
    // after a success: a failed read is tried again every pass). Not called: read again.
    void applyAgainWith(Apply again) { again_ = std::move(again); }
    // Called by an application: while nothing changed and `quiet` holds, a pass applies
    // nothing, because applying the same capture again would change nothing.
    void quietWhile(std::function<bool()> quiet) { quiet_ = std::move(quiet); }
    // `watch`, when given, watches the capture's files while the loop runs (see above).
    void startPolling(std::function<Capture()> nextCapture, std::unique_ptr<FolderWatch> watch = nullptr);

private:
    void runPass();
    void finishPass(const Apply& apply);

    std::chrono::milliseconds period_;
    std::function<Capture()> nextCapture_;
    QTimer sleep_;
    std::unique_ptr<FolderWatch> watch_;
    // What a pass applies while nothing changed (see applyAgainWith), and whether it need not.
    Apply previous_, again_;
    std::function<bool()> quiet_;
    bool polling_ = false;
    unsigned generation_ = 0;
};

// Reads plan-usage-history.json every period (15 s in the app).
class ClaudeDesktopUsageObserver : public ClaudeDesktopPollLoop {
    Q_OBJECT
public:
    using QuotaHandler = std::function<void(const AccountQuotaSnapshot&)>;

    ClaudeDesktopUsageObserver(std::optional<std::filesystem::path> historyFile, std::chrono::milliseconds period,
                               QObject* parent = nullptr);

    // Replaces a running loop and forgets what was handed over; the first pass runs at once.
    void start(std::string accountID, QuotaHandler quotaHandler, ObserverStatusHandler statusHandler);

private:
    void apply(const claude::UsageCapture& capture, const std::function<bool()>& live);

    std::optional<std::filesystem::path> historyFile_;
    std::string accountID_;
    QuotaHandler quotaHandler_;
    ObserverStatusHandler statusHandler_;
    claude::UsagePollingState state_;
};

// Scans the Cowork session library every period (2 s in the app).
class ClaudeDesktopLocalObserver : public ClaudeDesktopPollLoop {
    Q_OBJECT
public:
    using TasksHandler = std::function<void(const std::vector<TaskSnapshot>& tasks,
                                            const std::set<std::string>& indexedIDs)>;
    using UnavailableHandler = std::function<void()>;
    using Clock = std::function<Date()>;

    ClaudeDesktopLocalObserver(std::optional<std::filesystem::path> libraryRoot, std::chrono::milliseconds period,
                               Clock clock = &Date::now, QObject* parent = nullptr);

    // Empties the caches and remembered states, sets startedAt = now; the first pass runs at once.
    void start(std::string accountID, TasksHandler tasksHandler, UnavailableHandler unavailableHandler,
               ObserverStatusHandler statusHandler);
    // Called by the tasks handler when it is not done with what it was given (a task missed
    // once, a failed store write): the next pass hands the same capture over again even when
    // nothing changed.
    void handOverAgain() { handOverAgain_ = true; }

private:
    void apply(claude::cowork::Capture capture, const std::function<bool()>& live);
    void report(claude::cowork::CoworkObserverState::Outcome outcome, const std::function<bool()>& live);

    std::optional<std::filesystem::path> libraryRoot_;
    Clock clock_;
    std::string accountID_;
    TasksHandler tasksHandler_;
    UnavailableHandler unavailableHandler_;
    ObserverStatusHandler statusHandler_;
    std::optional<claude::cowork::CoworkObserverState> state_;
    bool handOverAgain_ = false;
};

}  // namespace vigilorb::runtime
