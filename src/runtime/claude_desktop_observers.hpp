#pragma once
// The two Claude Desktop polling loops. Each pass runs its file capture on the thread pool
// (QtConcurrent) and applies the result on the main thread, where the handlers run. A pass
// that is still capturing when the loop is stopped or restarted is dropped on arrival.

#include <QFutureWatcher>
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

namespace vigilorb {

using ObserverStatusHandler = std::function<void(const std::string& text, bool healthy)>;

// Reads plan-usage-history.json every period (15 s in the app).
class ClaudeDesktopUsageObserver : public QObject {
    Q_OBJECT
public:
    using QuotaHandler = std::function<void(const AccountQuotaSnapshot&)>;

    ClaudeDesktopUsageObserver(std::optional<std::filesystem::path> historyFile, std::chrono::milliseconds period,
                               QObject* parent = nullptr);
    ~ClaudeDesktopUsageObserver() override;

    // Replaces a running loop and forgets what was handed over; the first pass runs at once.
    void start(std::string accountID, QuotaHandler quotaHandler, ObserverStatusHandler statusHandler);
    void stop();
    bool isPolling() const { return polling_; }

signals:
    // A pass has applied its capture (for tests and benchmarks).
    void passCompleted();

private:
    void runPass();
    void apply(const claude::UsageCapture& capture);

    std::optional<std::filesystem::path> historyFile_;
    std::chrono::milliseconds period_;
    std::string accountID_;
    QuotaHandler quotaHandler_;
    ObserverStatusHandler statusHandler_;
    claude::UsagePollingState state_;
    QTimer sleep_;
    std::unique_ptr<QFutureWatcher<claude::UsageCapture>> capture_;
    bool polling_ = false;
    unsigned generation_ = 0;
};

// Scans the Cowork session library every period (2 s in the app).
class ClaudeDesktopLocalObserver : public QObject {
    Q_OBJECT
public:
    using TasksHandler = std::function<void(const std::vector<TaskSnapshot>& tasks,
                                            const std::set<std::string>& indexedIDs)>;
    using UnavailableHandler = std::function<void()>;
    using Clock = std::function<Date()>;

    ClaudeDesktopLocalObserver(std::optional<std::filesystem::path> libraryRoot, std::chrono::milliseconds period,
                               Clock clock = &Date::now, QObject* parent = nullptr);
    ~ClaudeDesktopLocalObserver() override;

    // Empties the caches and remembered states, sets startedAt = now; the first pass runs at once.
    void start(std::string accountID, TasksHandler tasksHandler, UnavailableHandler unavailableHandler,
               ObserverStatusHandler statusHandler);
    void stop();
    bool isPolling() const { return polling_; }

signals:
    void passCompleted();

private:
    void runPass();
    void apply(claude::cowork::Capture capture);

    std::optional<std::filesystem::path> libraryRoot_;
    std::chrono::milliseconds period_;
    Clock clock_;
    std::string accountID_;
    TasksHandler tasksHandler_;
    UnavailableHandler unavailableHandler_;
    ObserverStatusHandler statusHandler_;
    std::optional<claude::cowork::CoworkObserverState> state_;
    QTimer sleep_;
    std::unique_ptr<QFutureWatcher<claude::cowork::Capture>> capture_;
    bool polling_ = false;
    unsigned generation_ = 0;
};

}  // namespace vigilorb
