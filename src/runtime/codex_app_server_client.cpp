#include "runtime/codex_app_server_client.hpp"

#include <unistd.h>

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <cerrno>

namespace vigilorb::runtime {

using codex::CodexConnectionFailure;
using Kind = CodexConnectionFailure::Kind;

namespace {

// The app's version for clientInfo; the fallback when the application sets none.
std::string clientVersion() {
    auto v = QCoreApplication::applicationVersion().toStdString();
    return v.empty() ? codex::defaultClientVersion : v;
}

// EACCES/EPERM are what a refused launch looks like on Linux.
Kind launchFailureKind(const std::filesystem::path& executable) {
    if (::access(executable.c_str(), X_OK) != 0 && (errno == EACCES || errno == EPERM)) return Kind::launchDenied;
    return Kind::launchFailed;
}

}  // namespace

CodexAppServerClient::CodexAppServerClient(std::string accountID, std::optional<std::filesystem::path> codexHome,
                                           std::optional<std::filesystem::path> executable, EventHandler eventHandler,
                                           StatusHandler statusHandler, Options options, QObject* parent)
    : QObject(parent),
      session_(std::move(accountID), clientVersion(), std::chrono::duration<double>(options.requestTimeout).count(),
               options.startupTimeout
                   ? std::optional(std::chrono::duration<double>(*options.startupTimeout).count())
                   : std::nullopt),
      codexHome_(std::move(codexHome)),
      eventHandler_(std::move(eventHandler)),
      statusHandler_(std::move(statusHandler)),
      options_(std::move(options)) {
    if (!executable) executable = codex::locateExecutable(options_.environment);
    if (executable) executable_ = *executable;
    timeout_.setSingleShot(true);
    timeout_.setTimerType(Qt::PreciseTimer);
    connect(&timeout_, &QTimer::timeout, this, [this] { apply(session_.timeoutFired(timeoutRequest_)); });
}

CodexAppServerClient::~CodexAppServerClient() { stop(); }

bool CodexAppServerClient::isRunning() const { return process_ && process_->state() == QProcess::Running; }

std::optional<qint64> CodexAppServerClient::processID() const {
    if (!process_ || process_->processId() == 0) return std::nullopt;
    return process_->processId();
}

std::expected<void, CodexConnectionFailure> CodexAppServerClient::start() {
    if (executable_.empty()) return std::unexpected(CodexConnectionFailure::of(Kind::executableMissing));
    process_ = std::make_unique<QProcess>();
    process_->setProgram(QString::fromStdString(executable_.string()));
    process_->setArguments({"app-server", "--stdio"});
    if (codexHome_) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("CODEX_HOME", QString::fromStdString(codexHome_->string()));
        process_->setProcessEnvironment(env);
    }
    // Codex logs to stderr all the time; nothing there is of use, so it goes nowhere.
    process_->setStandardErrorFile(QProcess::nullDevice());
    connect(process_.get(), &QProcess::readyReadStandardOutput, this, &CodexAppServerClient::readOutput);
    connect(process_.get(), &QProcess::finished, this, [this](int code, QProcess::ExitStatus) { childFinished(code); });

    apply(session_.willLaunch());
    process_->start(QIODevice::ReadWrite);
    if (!process_->waitForStarted(-1) || !apply(session_.sendInitialize())) {
        auto kind = launchFailureKind(executable_);
        stop();
        return std::unexpected(CodexConnectionFailure::of(kind));
    }
    return {};
}

bool CodexAppServerClient::apply(codex::SessionEffects effects) {
    for (auto& effect : effects) {
        if (session_.stopped() && !std::holds_alternative<codex::CancelTimeout>(effect)) return true;
        if (auto* w = std::get_if<codex::WriteLine>(&effect)) {
            bool written = isRunning() &&
                           process_->write(w->bytes.data(), static_cast<qint64>(w->bytes.size())) ==
                               static_cast<qint64>(w->bytes.size());
            if (!written) {
                if (!w->onFailure) return false;
                apply(session_.fail(*w->onFailure));
                return true;
            }
        } else if (auto* arm = std::get_if<codex::ArmTimeout>(&effect)) {
            timeoutRequest_ = arm->requestID;
            timeout_.start(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(arm->seconds)));
        } else if (std::holds_alternative<codex::CancelTimeout>(effect)) {
            timeout_.stop();
        } else if (auto* p = std::get_if<codex::PhaseChanged>(&effect)) {
            if (statusHandler_) statusHandler_(p->phase);
        } else if (auto* d = std::get_if<codex::DeliverEvents>(&effect)) {
            // Delivered from the event loop, like any other observation; dropped if this client
            // is stopped or gone by then.
            QMetaObject::invokeMethod(
                this,
                [this, events = std::move(d->events)] {
                    if (!session_.stopped() && eventHandler_) eventHandler_(events);
                },
                Qt::QueuedConnection);
        }
    }
    return true;
}

void CodexAppServerClient::readOutput() {
    ++dispatching_;
    // Chunks of at most 64 KiB, like pipe reads, so a burst that piled up while the loop was
    // busy is not mistaken for one over-long line.
    char chunk[65536];
    while (process_ && !session_.stopped()) {
        auto got = process_->read(chunk, sizeof chunk);
        if (got <= 0) break;
        apply(session_.receive(std::string_view(chunk, static_cast<std::size_t>(got)), Date::now()));
    }
    --dispatching_;
}

void CodexAppServerClient::childFinished(int exitCode) {
    if (session_.stopped()) return;
    ++dispatching_;
    readOutput();  // whatever the child wrote before it went
    apply(session_.childExited(exitCode));
    --dispatching_;
}

void CodexAppServerClient::refreshRateLimits() { apply(session_.refreshRateLimits(isRunning())); }

void CodexAppServerClient::stop() {
    apply(session_.stop());
    endChild();
}

void CodexAppServerClient::endChild() {
    if (!process_) return;
    process_->disconnect(this);
    if (process_->state() != QProcess::NotRunning) {
        process_->closeWriteChannel();  // the app-server ends by itself at end of input
        if (!process_->waitForFinished(static_cast<int>(options_.terminateGrace.count() / 2))) {
            process_->terminate();
            if (!process_->waitForFinished(static_cast<int>(options_.terminateGrace.count() / 2))) {
                process_->kill();
                process_->waitForFinished(-1);
            }
        }
    }
    if (dispatching_ > 0)
        process_.release()->deleteLater();
    else
        process_.reset();
}

}  // namespace vigilorb::runtime
