#pragma once
// Polls one Codex home for local task states: every period a capture (database, session index,
// rollouts) runs on the capture worker, and its result comes back to the main thread. When the
// watch of the home saw no change, the poll skips the files and derives the tasks again from
// the previous capture (the task states age with the clock); and when the tasks derived last
// are the ones a derivation would give until some later instant, and the handler took them,
// it does nothing at all until then.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "codex/local_observer.hpp"
#include "runtime/folder_watch.hpp"

namespace vigilorb::runtime {

class CodexLocalTaskObserver : public QObject {
    Q_OBJECT

public:
    using EventHandler = std::function<void(const std::vector<TaskSnapshot>&, const std::set<std::string>&)>;
    using StatusHandler = std::function<void(const std::string& detail, bool isHealthy)>;
    using Clock = std::function<Date()>;

    CodexLocalTaskObserver(std::string accountID, std::filesystem::path codexHome,
                           std::chrono::milliseconds period = std::chrono::milliseconds(3000),
                           Clock clock = &Date::now, QObject* parent = nullptr);
    ~CodexLocalTaskObserver() override;

    // Replaces a running loop (its cursors start empty again).
    void start(EventHandler eventHandler, StatusHandler statusHandler);
    // Ends the loop; a capture still running is ignored when it finishes.
    void stop();
    // Called by the event handler when it could not take what it was given (a failed store
    // write): the next poll hands the tasks over again even when nothing changed.
    void handOverAgain();
    bool isRunning() const { return running_; }
    const std::string& accountID() const { return accountID_; }
    const std::filesystem::path& codexHome() const { return codexHome_; }

private:
    struct Loop;
    void captureNow(const std::shared_ptr<Loop>& loop);
    void finished(const std::shared_ptr<Loop>& loop,
                  std::expected<codex::CaptureSnapshot, codex::LocalObserverError> result);

    std::string accountID_;
    std::filesystem::path codexHome_;
    std::chrono::milliseconds period_;
    Clock clock_;
    bool running_ = false;
    std::shared_ptr<Loop> loop_;
    // The Codex home's folders (database, session index, sessions day folders): while nothing
    // changed there, a poll derives the tasks again from the previous rows without reading.
    std::unique_ptr<FolderWatch> watch_;
    QTimer sleep_;
};

}  // namespace vigilorb::runtime
