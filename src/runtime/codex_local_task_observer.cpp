#include "runtime/codex_local_task_observer.hpp"

#include "runtime/capture_worker.hpp"

namespace vigilorb::runtime {

namespace {

// The loop reads on its own period; the watch only has to have seen the change by then.
constexpr std::chrono::milliseconds watchSettle{50};

// The home itself (database, its log, the session index), its sqlite folder, and the sessions
// folder with its year, month and day folders.
std::vector<std::filesystem::path> codexFolders(const std::filesystem::path& home) {
    std::vector<std::filesystem::path> folders{home, home / "sqlite", home / "sessions"};
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(home / "sessions", ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
        if (it->path().filename().string().starts_with(".")) {
            it.disable_recursion_pending();
            continue;
        }
        folders.push_back(it->path());
    }
    return folders;
}

}  // namespace

// One run of the poll loop. The capture state (cursors, session-index cache) belongs to the
// loop and is touched by one capture at a time, on the capture worker; `cancelled` is only read and
// written on the main thread.
struct CodexLocalTaskObserver::Loop {
    codex::CaptureState state;
    CodexLocalTaskObserver::EventHandler eventHandler;
    CodexLocalTaskObserver::StatusHandler statusHandler;
    bool cancelled = false;
    // Set after a handover the handler took: a poll with no change and the clock before
    // `sameUntil` (if any) does nothing, since deriving again would give the same tasks.
    bool quiet = false;
    std::optional<Date> sameUntil;
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
    watch_ = std::make_unique<FolderWatch>([home = codexHome_] { return codexFolders(home); },
                                           std::vector{codexHome_}, FolderWatch::Entries::any, watchSettle);
    // Readers of a database in write-ahead mode write its shared-memory index; our own reads
    // must not count as a change.
    watch_->ignoreNames([](std::string_view name) { return name.ends_with("-shm"); });
    running_ = true;
    captureNow(loop_);
}

void CodexLocalTaskObserver::stop() {
    if (loop_) loop_->cancelled = true;
    loop_.reset();
    watch_.reset();
    sleep_.stop();
    running_ = false;
}

void CodexLocalTaskObserver::handOverAgain() {
    if (loop_) loop_->quiet = false;
}

void CodexLocalTaskObserver::captureNow(const std::shared_ptr<Loop>& loop) {
    // No capture is under way here (a poll starts after the previous one has finished), so the
    // state may be read on this thread.
    bool changed = !watch_ || watch_->takeChange();
    // Only a successful capture is derived again; after a failure the files are read again.
    if (!changed && loop->state.last && *loop->state.last && loop->state.rolloutsInHome) {
        if (loop->quiet && (!loop->sameUntil || clock_() < *loop->sameUntil)) {
            sleep_.start(period_);
            return;
        }
        finished(loop, codex::recapture(accountID_, loop->state, clock_()));
        return;
    }
    captureWorker::run(this, [this, loop, accountID = accountID_, home = codexHome_, clock = clock_]() -> captureWorker::Done {
        auto result = codex::capture(accountID, home, loop->state, clock());
        return [this, loop, result = std::move(result)]() mutable { finished(loop, std::move(result)); };
    });
}

void CodexLocalTaskObserver::finished(const std::shared_ptr<Loop>& loop,
                                      std::expected<codex::CaptureSnapshot, codex::LocalObserverError> result) {
    if (loop->cancelled || loop != loop_) return;
    auto status = codex::observerStatus(result);
    loop->quiet = false;
    if (result) {
        // No capture is under way: the state is the one this result came from.
        if (loop->state.last && *loop->state.last) {
            const auto& derivation = **loop->state.last;
            loop->quiet = true;
            loop->sameUntil = codex::derivedTasksSameUntil(derivation.records, derivation.activities, clock_());
        }
        if (loop->eventHandler) loop->eventHandler(result->tasks, result->indexedIDs);
        if (loop->cancelled) return;
    }
    if (loop->statusHandler) loop->statusHandler(status.detail, status.isHealthy);
    if (loop->cancelled) return;
    sleep_.start(period_);
}

}  // namespace vigilorb::runtime
