#pragma once
// The Qt driver of one `codex app-server --stdio` child: moves bytes between the QProcess and
// the sans-I/O CodexAppServerSession, arms its request timer and hands phases and quota events
// to the owner. Main thread only.
#include <QObject>
#include <QProcess>
#include <QTimer>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codex/app_server_session.hpp"

namespace vigilorb::runtime {

class CodexAppServerClient : public QObject {
    Q_OBJECT

public:
    using EventHandler = std::function<void(const std::vector<NormalizedProviderEvent>&)>;
    using StatusHandler = std::function<void(const codex::CodexConnectionPhase&)>;

    struct Options {
        std::chrono::milliseconds requestTimeout{20000};
        // For the initialize request, which also waits for the child to start; by default the
        // request timeout.
        std::optional<std::chrono::milliseconds> startupTimeout;
        // Where the executable is looked for when none is given (PATH and the fixed folders).
        paths::Environment environment = paths::processEnvironment();
        // How long stop() lets the child end after SIGTERM before it is killed.
        std::chrono::milliseconds terminateGrace{1000};
    };

    // Without `executable` the `codex` executable is looked up; when there is none, start()
    // fails with executableMissing.
    CodexAppServerClient(std::string accountID, std::optional<std::filesystem::path> codexHome,
                         std::optional<std::filesystem::path> executable, EventHandler eventHandler,
                         StatusHandler statusHandler, Options options, QObject* parent = nullptr);
    CodexAppServerClient(std::string accountID, std::optional<std::filesystem::path> codexHome,
                         std::optional<std::filesystem::path> executable, EventHandler eventHandler,
                         StatusHandler statusHandler)
        : CodexAppServerClient(std::move(accountID), std::move(codexHome), std::move(executable),
                               std::move(eventHandler), std::move(statusHandler), Options{}) {}
    ~CodexAppServerClient() override;

    // Launches the child and sends initialize. Fails with executableMissing, launchDenied or
    // launchFailed; the child is then gone.
    [[nodiscard]] std::expected<void, codex::CodexConnectionFailure> start();
    // Silent and final: no more callbacks; the child is ended and reaped before this returns.
    void stop();
    void refreshRateLimits();

    bool isRunning() const;
    bool stopped() const { return session_.stopped(); }
    const codex::CodexConnectionPhase& phase() const { return session_.phase(); }
    std::optional<std::int64_t> pendingID() const { return session_.pendingID(); }
    // The controller refreshes a client only when this holds.
    bool canRefresh() const { return session_.canRefresh(isRunning()); }
    // Empty when no executable was found.
    const std::filesystem::path& executablePath() const { return executable_; }
    const std::optional<std::string>& serverVersion() const { return session_.serverVersion(); }
    const std::string& accountID() const { return session_.accountID(); }
    std::optional<qint64> processID() const;

private:
    // Performs effects in order; a failed write drops the rest and reports its failure.
    // Returns false when a write without a failure of its own (initialize) did not go through.
    bool apply(codex::SessionEffects effects);
    void readOutput();
    void childFinished(int exitCode);
    void endChild();

    codex::CodexAppServerSession session_;
    std::optional<std::filesystem::path> codexHome_;
    std::filesystem::path executable_;
    EventHandler eventHandler_;
    StatusHandler statusHandler_;
    Options options_;
    std::unique_ptr<QProcess> process_;
    QTimer timeout_;
    std::int64_t timeoutRequest_ = 0;
    // Set while a signal of the process is being handled: a stop from inside a callback must
    // not delete the process under its own signal.
    int dispatching_ = 0;
};

}  // namespace vigilorb::runtime
