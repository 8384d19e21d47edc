#include "runtime/claude_desktop_observers.hpp"

#include <openssl/crypto.h>

#include <QThread>
#include <QtConcurrent/QtConcurrent>

namespace vigilorb::runtime {

ClaudeDesktopPollLoop::ClaudeDesktopPollLoop(std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), period_(period) {
    sleep_.setSingleShot(true);
    sleep_.setTimerType(Qt::PreciseTimer);
    connect(&sleep_, &QTimer::timeout, this, &ClaudeDesktopPollLoop::runPass);
}

ClaudeDesktopPollLoop::~ClaudeDesktopPollLoop() { stop(); }

void ClaudeDesktopPollLoop::startPolling(std::function<Capture()> nextCapture) {
    stop();
    nextCapture_ = std::move(nextCapture);
    polling_ = true;
    runPass();
}

void ClaudeDesktopPollLoop::stop() {
    ++generation_;
    polling_ = false;
    sleep_.stop();
    // A capture still running is dropped: its result is never applied. It works only on
    // copies, so it may finish on its own; waiting for it would block the main thread on a
    // slow file system.
    if (capture_) {
        capture_->disconnect();
        capture_.release()->deleteLater();
    }
}

void ClaudeDesktopPollLoop::runPass() {
    if (!polling_) return;
    capture_ = std::make_unique<QFutureWatcher<Apply>>();
    auto* watcher = capture_.get();
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] { finishPass(watcher->result()); });
    watcher->setFuture(QtConcurrent::run([capture = nextCapture_()] {
        // Background captures run below normal priority, like any utility work of the app.
        QThread::currentThread()->setPriority(QThread::LowPriority);
        auto apply = capture();
        // The capture hashes session IDs; release libcrypto's per-thread state now, since
        // pool threads are not ended in a way that lets libcrypto do it.
        OPENSSL_thread_stop();
        return apply;
    }));
}

void ClaudeDesktopPollLoop::finishPass(const Apply& apply) {
    capture_.release()->deleteLater();
    if (!polling_) return;
    const auto generation = generation_;
    const std::function<bool()> live = [this, generation] { return generation == generation_; };
    apply(live);
    if (!live()) return;
    sleep_.start(period_);
    emit passCompleted();
}

ClaudeDesktopUsageObserver::ClaudeDesktopUsageObserver(std::optional<std::filesystem::path> historyFile,
                                                       std::chrono::milliseconds period, QObject* parent)
    : ClaudeDesktopPollLoop(period, parent), historyFile_(std::move(historyFile)) {}

void ClaudeDesktopUsageObserver::start(std::string accountID, QuotaHandler quotaHandler,
                                       ObserverStatusHandler statusHandler) {
    stop();
    accountID_ = std::move(accountID);
    quotaHandler_ = std::move(quotaHandler);
    statusHandler_ = std::move(statusHandler);
    state_.reset();
    startPolling([this]() -> Capture {
        return [this, file = historyFile_, account = accountID_]() -> Apply {
            return [this, capture = claude::captureUsage(file, account)](const auto& live) { apply(capture, live); };
        };
    });
}

void ClaudeDesktopUsageObserver::apply(const claude::UsageCapture& capture, const std::function<bool()>& live) {
    auto outcome = state_.onCapture(capture);
    if (outcome.handOver && quotaHandler_) quotaHandler_(*outcome.handOver);
    if (!live()) return;
    if (statusHandler_) statusHandler_(outcome.status, outcome.healthy);
}

ClaudeDesktopLocalObserver::ClaudeDesktopLocalObserver(std::optional<std::filesystem::path> libraryRoot,
                                                       std::chrono::milliseconds period, Clock clock, QObject* parent)
    : ClaudeDesktopPollLoop(period, parent), libraryRoot_(std::move(libraryRoot)), clock_(std::move(clock)) {}

void ClaudeDesktopLocalObserver::start(std::string accountID, TasksHandler tasksHandler,
                                       UnavailableHandler unavailableHandler, ObserverStatusHandler statusHandler) {
    stop();
    accountID_ = std::move(accountID);
    tasksHandler_ = std::move(tasksHandler);
    unavailableHandler_ = std::move(unavailableHandler);
    statusHandler_ = std::move(statusHandler);
    state_.emplace(clock_());
    // The cache goes to the scan as a copy; the result replaces it on the main thread.
    startPolling([this]() -> Capture {
        return [this, root = libraryRoot_, account = accountID_, cache = state_->cache(), now = clock_()]() -> Apply {
            return [this, capture = claude::cowork::captureSessions(root, account, cache, now)](const auto& live) {
                apply(capture, live);
            };
        };
    });
}

void ClaudeDesktopLocalObserver::apply(claude::cowork::Capture capture, const std::function<bool()>& live) {
    auto outcome = state_->onCapture(std::move(capture), clock_());
    if (outcome.report && tasksHandler_) tasksHandler_(outcome.report->tasks, outcome.report->indexedIDs);
    if (!live()) return;
    if (outcome.libraryUnavailable && unavailableHandler_) unavailableHandler_();
    if (!live()) return;
    if (statusHandler_) statusHandler_(outcome.status, outcome.healthy);
}

}  // namespace vigilorb::runtime
