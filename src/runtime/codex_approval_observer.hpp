#pragma once
// The Qt driver of one CodexApprovalObserverSession: a WebSocket client (Boost.Beast over
// Asio's Unix stream socket) to `<CODEX_HOME>/app-server-control/app-server-control.sock`, the
// session's one timer, and the owner's callbacks. The socket I/O runs on a thread of its own;
// connection outcomes and messages come back to the main thread by queued calls, where the
// session and everything else of this class live.
//
// Idle cost: one idle socket (or none, without a daemon) and one timer of up to a minute. It
// never starts a daemon.
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codex/approval_observer_session.hpp"

namespace vigilorb::runtime {

class CodexApprovalObserver : public QObject {
    Q_OBJECT

public:
    // waits() or settled() changed.
    using WaitsHandler = std::function<void()>;
    using StatusHandler = std::function<void(codex::ApprovalWatchStatus)>;
    using Clock = std::function<Date()>;

    struct Options {
        Clock clock = &Date::now;
        // Multiplies every delay of the schedule (retries, the minute); tests shorten it.
        double timeScale = 1.0;
        std::string clientVersion = "1.9.1";
    };

    CodexApprovalObserver(std::filesystem::path codexHome, Options options, QObject* parent = nullptr);
    explicit CodexApprovalObserver(std::filesystem::path codexHome) : CodexApprovalObserver(std::move(codexHome), Options{}) {}
    ~CodexApprovalObserver() override;

    void start(WaitsHandler waitsHandler, StatusHandler statusHandler);
    // Final and silent; the I/O thread is gone when this returns.
    void stop();

    const codex::ApprovalWaits& waits() const { return session_.waits(); }
    bool settled() const { return session_.settled(); }
    std::optional<codex::ApprovalWatchStatus> status() const { return session_.status(); }
    const std::filesystem::path& codexHome() const { return codexHome_; }

    static std::filesystem::path socketPath(const std::filesystem::path& codexHome);

private:
    class Io;
    void apply(codex::ApprovalEffects effects);
    void opened(std::uint64_t generation);
    void openFailed(std::uint64_t generation);
    void received(std::uint64_t generation, const std::string& text);
    void ended(std::uint64_t generation, codex::ApprovalConnectionEnd why);

    std::filesystem::path codexHome_;
    Options options_;
    codex::CodexApprovalObserverSession session_;
    WaitsHandler waitsHandler_;
    StatusHandler statusHandler_;
    QTimer timer_;
    std::unique_ptr<Io> io_;
    std::uint64_t generation_ = 0;  // of the current connection; older outcomes are ignored
    bool stopped_ = false;
};

}  // namespace vigilorb::runtime
