#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/events.hpp"
#include "model/paths.hpp"

namespace vigilorb::codex {

// Why a connection to the Codex app-server failed; also the error the client's start returns
// when the app-server cannot be launched.
struct CodexConnectionFailure {
    enum class Kind {
        serverExited,
        executableMissing,
        launchDenied,
        launchFailed,
        initializationRejected,
        initializationTimeout,
        notLoggedIn,
        accountReadFailed,
        quotaReadFailed,
        requestTimeout,
    };
    Kind kind{};
    int exitStatus = 0;  // serverExited only

    static CodexConnectionFailure serverExited(int status) { return {Kind::serverExited, status}; }
    static CodexConnectionFailure of(Kind k) { return {k, 0}; }
    bool operator==(const CodexConnectionFailure&) const = default;
};

struct CodexConnectionPhase {
    enum class Kind { failed, idle, starting, checkingAccount, connected };
    Kind kind = Kind::idle;
    CodexConnectionFailure failure;  // meaningful when kind == failed

    static CodexConnectionPhase idle() { return {Kind::idle, {}}; }
    static CodexConnectionPhase starting() { return {Kind::starting, {}}; }
    static CodexConnectionPhase checkingAccount() { return {Kind::checkingAccount, {}}; }
    static CodexConnectionPhase connected() { return {Kind::connected, {}}; }
    static CodexConnectionPhase failed(CodexConnectionFailure f) { return {Kind::failed, f}; }
    static CodexConnectionPhase failed(CodexConnectionFailure::Kind k) { return {Kind::failed, CodexConnectionFailure::of(k)}; }
    bool isFailed() const { return kind == Kind::failed; }
    bool operator==(const CodexConnectionPhase& o) const {
        return kind == o.kind && (kind != Kind::failed || failure == o.failure);
    }
};

// The sentence the window shows for a phase.
std::string statusText(const CodexConnectionPhase& phase);

inline constexpr double defaultRequestTimeoutSeconds = 20;
inline constexpr std::size_t maxBufferedOutput = 2 * 1024 * 1024;
inline constexpr const char* defaultClientVersion = "1.9.1";

// What the session asks its driver to do, in order.
struct WriteLine {
    std::string bytes;  // one JSON line including its line feed
    // The failure to report when the write does not go through; none for the initialize
    // request, whose write failure is a launch failure.
    std::optional<CodexConnectionFailure> onFailure;
    bool operator==(const WriteLine&) const = default;
};
struct ArmTimeout {  // replaces any armed timeout
    std::int64_t requestID = 0;
    double seconds = 0;
    bool operator==(const ArmTimeout&) const = default;
};
struct CancelTimeout {
    bool operator==(const CancelTimeout&) const = default;
};
struct PhaseChanged {
    CodexConnectionPhase phase;
    bool operator==(const PhaseChanged&) const = default;
};
struct DeliverEvents {  // hand to the event handler later, unless stopped by then
    std::vector<NormalizedProviderEvent> events;
    bool operator==(const DeliverEvents&) const = default;
};
using SessionEffect = std::variant<WriteLine, ArmTimeout, CancelTimeout, PhaseChanged, DeliverEvents>;
using SessionEffects = std::vector<SessionEffect>;

// The JSON-RPC conversation with one `codex app-server --stdio` child, without any I/O: bytes
// and clock readings in, effects out. The driver performs the effects in order; when a
// WriteLine fails it drops the rest of that batch and calls fail(onFailure).
class CodexAppServerSession {
public:
    // `initializeTimeoutSeconds` bounds the first request, which waits for the child to start
    // as well (by default the same as every other request).
    explicit CodexAppServerSession(std::string accountID, std::string clientVersion = defaultClientVersion,
                                   double requestTimeoutSeconds = defaultRequestTimeoutSeconds,
                                   std::optional<double> initializeTimeoutSeconds = std::nullopt);

    // Before launching the child.
    SessionEffects willLaunch();
    // After the child launched: the initialize request.
    SessionEffects sendInitialize();
    // A chunk of the child's stdout.
    SessionEffects receive(std::string_view bytes, Date now);
    SessionEffects timeoutFired(std::int64_t requestID);
    SessionEffects childExited(int status);
    // Asks for the rate limits again when connected and idle; nothing otherwise.
    SessionEffects refreshRateLimits(bool childRunning);
    SessionEffects fail(CodexConnectionFailure failure);
    // Terminal and silent: no phase change, only the timeout is cancelled.
    SessionEffects stop();

    // Same precondition as refreshRateLimits.
    bool canRefresh(bool childRunning) const {
        return childRunning && !stopped_ && phase_.kind == CodexConnectionPhase::Kind::connected && !pendingID_;
    }
    const CodexConnectionPhase& phase() const { return phase_; }
    std::optional<std::int64_t> pendingID() const { return pendingID_; }
    std::int64_t nextID() const { return nextID_; }
    bool stopped() const { return stopped_; }
    const std::optional<std::string>& serverVersion() const { return serverVersion_; }
    const std::string& accountID() const { return accountID_; }
    std::size_t bufferedBytes() const { return buffer_.size(); }

private:
    void sendRequest(SessionEffects& out, std::int64_t id, const char* method, Json params,
                     std::optional<CodexConnectionFailure> onFailure, double timeoutSeconds);
    void setPhase(SessionEffects& out, CodexConnectionPhase phase);
    void failInto(SessionEffects& out, CodexConnectionFailure failure);
    void handleLine(SessionEffects& out, std::string_view line, Date now);
    void handleResponse(SessionEffects& out, std::int64_t id, const Json& message, Date now);
    std::vector<NormalizedProviderEvent> quotaEvents(const Json& message, Date now) const;

    std::string accountID_;
    std::string clientVersion_;
    double requestTimeoutSeconds_;
    double initializeTimeoutSeconds_;
    std::string buffer_;
    std::optional<std::int64_t> pendingID_;
    std::int64_t nextID_ = 100;
    bool stopped_ = false;
    CodexConnectionPhase phase_;
    std::optional<std::string> serverVersion_;
};

// Executable lookup. `isExecutable` defaults to "a regular file this process may execute".
using ExecutableTest = std::function<bool(const std::filesystem::path&)>;
bool isExecutableFile(const std::filesystem::path& path);

// PATH entries that begin with "/", then /opt/homebrew/bin, /usr/local/bin, /usr/bin.
std::vector<std::filesystem::path> executableDirectories(const paths::Environment& env);
// For each application folder the two bundled CLI paths, then <dir>/codex for each directory;
// duplicates (by normalized path) removed. There is no application lookup on Linux, so the
// application list is empty unless a caller passes one.
std::vector<std::filesystem::path> candidateExecutablePaths(const paths::Environment& env,
                                                            const std::vector<std::filesystem::path>& applications = {});
std::optional<std::filesystem::path> locateExecutable(const paths::Environment& env = paths::processEnvironment(),
                                                      const ExecutableTest& isExecutable = isExecutableFile);
std::optional<std::filesystem::path> findExecutable(std::string_view name,
                                                    const paths::Environment& env = paths::processEnvironment(),
                                                    const ExecutableTest& isExecutable = isExecutableFile);

}  // namespace vigilorb::codex
