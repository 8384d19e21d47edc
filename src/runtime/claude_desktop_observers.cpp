#include "runtime/claude_desktop_observers.hpp"

#include "runtime/capture_worker.hpp"

namespace vigilorb::runtime {

namespace {
// The loops read on their own period; the watch only has to have seen the change by then.
constexpr std::chrono::milliseconds watchSettle{50};
}  // namespace

ClaudeDesktopPollLoop::ClaudeDesktopPollLoop(std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), period_(period) {
    sleep_.setSingleShot(true);
    sleep_.setTimerType(Qt::PreciseTimer);
    connect(&sleep_, &QTimer::timeout, this, &ClaudeDesktopPollLoop::runPass);
}

ClaudeDesktopPollLoop::~ClaudeDesktopPollLoop() { stop(); }

void ClaudeDesktopPollLoop::startPolling(std::function<Capture()> nextCapture, std::unique_ptr<FolderWatch> watch) {
    stop();
    nextCapture_ = std::move(nextCapture);
    watch_ = std::move(watch);
    polling_ = true;
    runPass();
}

void ClaudeDesktopPollLoop::stop() {
    ++generation_;
    polling_ = false;
    previous_ = nullptr;
    quiet_ = nullptr;
    watch_.reset();
    sleep_.stop();
    // A capture still running is dropped: its result is never applied (the generation moved
    // on). It works only on copies, so it may finish on its own; waiting for it would block
    // the main thread on a slow file system.
}

void ClaudeDesktopPollLoop::runPass() {
    if (!polling_) return;
    // A change seen from here on leads to the next full pass.
    bool changed = !watch_ || watch_->takeChange();
    if (previous_ && !changed) {
        if (quiet_ && quiet_()) {
            sleep_.start(period_);
            emit passCompleted();
            return;
        }
        Apply again = previous_;
        finishPass(again);
        return;
    }
    const auto generation = generation_;
    captureWorker::run(this, [this, generation, capture = nextCapture_()]() -> captureWorker::Done {
        return [this, generation, apply = capture()] {
            if (generation == generation_) finishPass(apply);
        };
    });
}

void ClaudeDesktopPollLoop::finishPass(const Apply& apply) {
    if (!polling_) return;
    const auto generation = generation_;
    const std::function<bool()> live = [this, generation] { return generation == generation_; };
    again_ = nullptr;
    quiet_ = nullptr;
    apply(live);
    if (!live()) return;
    previous_ = std::move(again_);
    if (!previous_) quiet_ = nullptr;
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
    std::unique_ptr<FolderWatch> watch;
    if (historyFile_) {
        auto folder = historyFile_->parent_path();
        watch = std::make_unique<FolderWatch>([folder] { return std::vector{folder}; },
                                              std::vector{folder}, FolderWatch::Entries::any, watchSettle);
    }
    startPolling(
        [this]() -> Capture {
            return [this, file = historyFile_, account = accountID_]() -> Apply {
                return [this, capture = claude::captureUsage(file, account)](const auto& live) { apply(capture, live); };
            };
        },
        std::move(watch));
}

void ClaudeDesktopUsageObserver::apply(const claude::UsageCapture& capture, const std::function<bool()>& live) {
    if (capture) applyAgainWith([this, capture](const auto& live) { apply(capture, live); });
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
    std::unique_ptr<FolderWatch> watch;
    if (libraryRoot_) {
        // The folder list is walked again only when folders come or go.
        watch = std::make_unique<FolderWatch>(
            [root = *libraryRoot_] {
                auto folders = claude::cowork::libraryFolders(root);
                return folders.empty() ? std::vector{root} : folders;
            },
            std::vector{*libraryRoot_}, FolderWatch::Entries::any, watchSettle);
    }
    // The cache goes to the scan as a copy; the result replaces it on the main thread.
    startPolling(
        [this]() -> Capture {
            return [this, root = libraryRoot_, account = accountID_, cache = state_->cache(), now = clock_()]() -> Apply {
                return [this, capture = claude::cowork::captureSessions(root, account, cache, now)](
                           const auto& live) mutable { apply(std::move(capture), live); };
            };
        },
        std::move(watch));
}

void ClaudeDesktopLocalObserver::apply(claude::cowork::Capture capture, const std::function<bool()>& live) {
    report(state_->onCapture(std::move(capture), clock_()), live);
}

void ClaudeDesktopLocalObserver::report(claude::cowork::CoworkObserverState::Outcome outcome,
                                        const std::function<bool()>& live) {
    // Applied again from the state, which keeps what the capture found: the capture itself
    // (with its cache) is not kept a second time.
    if (outcome.report)
        applyAgainWith([this](const auto& live) { report(state_->onUnchanged(clock_()), live); });
    handOverAgain_ = false;
    if (outcome.report && tasksHandler_) tasksHandler_(outcome.report->tasks, outcome.report->indexedIDs);
    if (!live()) return;
    if (outcome.libraryUnavailable && unavailableHandler_) unavailableHandler_();
    if (!live()) return;
    if (statusHandler_) statusHandler_(outcome.status, outcome.healthy);
    if (outcome.settled && !handOverAgain_)
        quietWhile([this, until = outcome.sameUntil] { return !until || clock_() < *until; });
}

}  // namespace vigilorb::runtime
