#include "runtime/claude_desktop_observers.hpp"

#include <openssl/crypto.h>

#include <QThread>
#include <QtConcurrent/QtConcurrent>

namespace vigilorb {

namespace {

// Background captures run below normal priority, like any utility work of the app.
template <class Result, class Work>
std::unique_ptr<QFutureWatcher<Result>> runInBackground(QObject* owner, Work work, std::function<void(Result)> done) {
    auto watcher = std::make_unique<QFutureWatcher<Result>>();
    auto* raw = watcher.get();
    QObject::connect(raw, &QFutureWatcherBase::finished, owner, [raw, done = std::move(done)] {
        done(raw->result());
    });
    raw->setFuture(QtConcurrent::run([work = std::move(work)] {
        QThread::currentThread()->setPriority(QThread::LowPriority);
        auto result = work();
        // The capture hashes session IDs; release libcrypto's per-thread state now, since
        // pool threads are not ended in a way that lets libcrypto do it.
        OPENSSL_thread_stop();
        return result;
    }));
    return watcher;
}

// Drops a capture that is still running: its result is never applied. The capture works only
// on copies, so it may finish on its own; waiting for it would block the main thread on a slow
// file system.
template <class Watcher>
void abandon(std::unique_ptr<Watcher>& watcher) {
    if (!watcher) return;
    watcher->disconnect();
    watcher.release()->deleteLater();
}

}  // namespace

ClaudeDesktopUsageObserver::ClaudeDesktopUsageObserver(std::optional<std::filesystem::path> historyFile,
                                                       std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), historyFile_(std::move(historyFile)), period_(period) {
    sleep_.setSingleShot(true);
    sleep_.setTimerType(Qt::PreciseTimer);
    connect(&sleep_, &QTimer::timeout, this, &ClaudeDesktopUsageObserver::runPass);
}

ClaudeDesktopUsageObserver::~ClaudeDesktopUsageObserver() { stop(); }

void ClaudeDesktopUsageObserver::start(std::string accountID, QuotaHandler quotaHandler,
                                       ObserverStatusHandler statusHandler) {
    stop();
    accountID_ = std::move(accountID);
    quotaHandler_ = std::move(quotaHandler);
    statusHandler_ = std::move(statusHandler);
    state_.reset();
    polling_ = true;
    runPass();
}

void ClaudeDesktopUsageObserver::stop() {
    ++generation_;
    polling_ = false;
    sleep_.stop();
    abandon(capture_);
}

void ClaudeDesktopUsageObserver::runPass() {
    if (!polling_) return;
    capture_ = runInBackground<claude::UsageCapture>(
        this, [file = historyFile_, account = accountID_] { return claude::captureUsage(file, account); },
        [this](claude::UsageCapture result) { apply(result); });
}

void ClaudeDesktopUsageObserver::apply(const claude::UsageCapture& capture) {
    capture_.release()->deleteLater();
    if (!polling_) return;
    auto outcome = state_.onCapture(capture);
    // A handler may stop or restart the loop; this pass then ends where it is.
    auto generation = generation_;
    if (outcome.handOver && quotaHandler_) quotaHandler_(*outcome.handOver);
    if (generation != generation_) return;
    if (statusHandler_) statusHandler_(outcome.status, outcome.healthy);
    if (generation != generation_) return;
    sleep_.start(period_);
    emit passCompleted();
}

ClaudeDesktopLocalObserver::ClaudeDesktopLocalObserver(std::optional<std::filesystem::path> libraryRoot,
                                                       std::chrono::milliseconds period, Clock clock, QObject* parent)
    : QObject(parent), libraryRoot_(std::move(libraryRoot)), period_(period), clock_(std::move(clock)) {
    sleep_.setSingleShot(true);
    sleep_.setTimerType(Qt::PreciseTimer);
    connect(&sleep_, &QTimer::timeout, this, &ClaudeDesktopLocalObserver::runPass);
}

ClaudeDesktopLocalObserver::~ClaudeDesktopLocalObserver() { stop(); }

void ClaudeDesktopLocalObserver::start(std::string accountID, TasksHandler tasksHandler,
                                       UnavailableHandler unavailableHandler, ObserverStatusHandler statusHandler) {
    stop();
    accountID_ = std::move(accountID);
    tasksHandler_ = std::move(tasksHandler);
    unavailableHandler_ = std::move(unavailableHandler);
    statusHandler_ = std::move(statusHandler);
    state_.emplace(clock_());
    polling_ = true;
    runPass();
}

void ClaudeDesktopLocalObserver::stop() {
    ++generation_;
    polling_ = false;
    sleep_.stop();
    abandon(capture_);
}

void ClaudeDesktopLocalObserver::runPass() {
    if (!polling_) return;
    // The cache goes to the scan as a copy; the result replaces it on the main thread.
    capture_ = runInBackground<claude::cowork::Capture>(
        this,
        [root = libraryRoot_, account = accountID_, cache = state_->cache(), now = clock_()] {
            return claude::cowork::captureSessions(root, account, cache, now);
        },
        [this](claude::cowork::Capture result) { apply(std::move(result)); });
}

void ClaudeDesktopLocalObserver::apply(claude::cowork::Capture capture) {
    capture_.release()->deleteLater();
    if (!polling_) return;
    auto outcome = state_->onCapture(std::move(capture), clock_());
    // A handler may stop or restart the loop; this pass then ends where it is.
    auto generation = generation_;
    if (outcome.report && tasksHandler_) tasksHandler_(outcome.report->tasks, outcome.report->indexedIDs);
    if (generation != generation_) return;
    if (outcome.libraryUnavailable && unavailableHandler_) unavailableHandler_();
    if (generation != generation_) return;
    if (statusHandler_) statusHandler_(outcome.status, outcome.healthy);
    if (generation != generation_) return;
    sleep_.start(period_);
    emit passCompleted();
}

}  // namespace vigilorb
