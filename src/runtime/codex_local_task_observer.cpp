#include "runtime/codex_local_task_observer.hpp"

#include <QPointer>
#include <QThread>
#include <QThreadPool>

namespace vigilorb::runtime {

// One run of the poll loop. The capture state (cursors, session-index cache) belongs to the
// loop and is touched by one capture at a time, on a pool thread; `cancelled` is only read and
// written on the main thread.
struct CodexLocalTaskObserver::Loop {
    codex::CaptureState state;
    CodexLocalTaskObserver::EventHandler eventHandler;
    CodexLocalTaskObserver::StatusHandler statusHandler;
    bool cancelled = false;
};

CodexLocalTaskObserver::CodexLocalTaskObserver(std::string accountID, std::filesystem::path codexHome,
                                               std::chrono::milliseconds period, Clock clock, QObject* parent)
    : QObject(parent),
      accountID_(std::move(accountID)),
      codexHome_(std::move(codexHome)),
      period_(period),
      clock_(std::move(clock)) {
    sleep_.setSingleShot(true);
    sleep_.setTimerType(Qt::PreciseTimer);
    connect(&sleep_, &QTimer::timeout, this, [this] {
        if (loop_ && !loop_->cancelled) captureNow(loop_);
    });
}

CodexLocalTaskObserver::~CodexLocalTaskObserver() { stop(); }

void CodexLocalTaskObserver::start(EventHandler eventHandler, StatusHandler statusHandler) {
    stop();
    loop_ = std::make_shared<Loop>();
    loop_->eventHandler = std::move(eventHandler);
    loop_->statusHandler = std::move(statusHandler);
    running_ = true;
    captureNow(loop_);
}

void CodexLocalTaskObserver::stop() {
    if (loop_) loop_->cancelled = true;
    loop_.reset();
    sleep_.stop();
    running_ = false;
}

void CodexLocalTaskObserver::captureNow(const std::shared_ptr<Loop>& loop) {
    QPointer<CodexLocalTaskObserver> self(this);
    auto accountID = accountID_;
    auto home = codexHome_;
    auto clock = clock_;
    QThreadPool::globalInstance()->start([self, loop, accountID, home, clock] {
        QThread::currentThread()->setPriority(QThread::LowPriority);
        auto result = codex::capture(accountID, home, loop->state, clock());
        QThread::currentThread()->setPriority(QThread::NormalPriority);
        if (!self) return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, loop, result = std::move(result)]() mutable {
                if (self) self->finished(loop, std::move(result));
            },
            Qt::QueuedConnection);
    });
}

void CodexLocalTaskObserver::finished(const std::shared_ptr<Loop>& loop,
                                      std::expected<codex::CaptureSnapshot, codex::LocalObserverError> result) {
    if (loop->cancelled || loop != loop_) return;
    auto status = codex::observerStatus(result);
    if (result) {
        if (loop->eventHandler) loop->eventHandler(result->tasks, result->indexedIDs);
        if (loop->cancelled) return;
    }
    if (loop->statusHandler) loop->statusHandler(status.detail, status.isHealthy);
    if (loop->cancelled) return;
    sleep_.start(period_);
}

}  // namespace vigilorb::runtime
