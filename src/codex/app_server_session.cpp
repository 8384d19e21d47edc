#include "codex/app_server_session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <set>

#include "codex/message_parser.hpp"
#include "model/text.hpp"

namespace vigilorb::codex {

namespace fs = std::filesystem;
using Kind = CodexConnectionFailure::Kind;

std::string statusText(const CodexConnectionPhase& phase) {
    switch (phase.kind) {
        case CodexConnectionPhase::Kind::idle: return "Waiting for local capture to start";
        case CodexConnectionPhase::Kind::starting: return "Starting the local Codex App Server\u2026";
        case CodexConnectionPhase::Kind::checkingAccount: return "Checking the local Codex account\u2026";
        case CodexConnectionPhase::Kind::connected: return "Codex quota connected";
        case CodexConnectionPhase::Kind::failed: break;
    }
    switch (phase.failure.kind) {
        case Kind::serverExited:
            return "Codex App Server stopped (exit " + std::to_string(phase.failure.exitStatus) + "). Retry the connection.";
        case Kind::executableMissing:
            return "Codex CLI not found. Install or update the Codex desktop app, then try Start Codex again.";
        case Kind::launchDenied: return "macOS denied access to the Codex CLI. Check the app's permissions, then retry.";
        case Kind::launchFailed: return "Could not launch Codex App Server. Try Start Codex again.";
        case Kind::initializationRejected: return "Codex rejected the connection handshake. Update Companion and retry.";
        case Kind::initializationTimeout: return "Codex App Server did not initialize in time. Retry the connection.";
        case Kind::notLoggedIn: return "This Codex profile is signed out. Sign in locally in Codex, then retry.";
        case Kind::accountReadFailed: return "Could not verify the local Codex account. Retry the connection.";
        case Kind::quotaReadFailed: return "Codex could not return quota information. Last successful data is retained.";
        case Kind::requestTimeout: return "Codex status request timed out. Last successful data is retained.";
    }
    return {};
}

CodexAppServerSession::CodexAppServerSession(std::string accountID, std::string clientVersion,
                                             double requestTimeoutSeconds,
                                             std::optional<double> initializeTimeoutSeconds)
    : accountID_(std::move(accountID)),
      clientVersion_(std::move(clientVersion)),
      requestTimeoutSeconds_(requestTimeoutSeconds),
      initializeTimeoutSeconds_(initializeTimeoutSeconds.value_or(requestTimeoutSeconds)) {}

void CodexAppServerSession::setPhase(SessionEffects& out, CodexConnectionPhase phase) {
    phase_ = phase;
    out.emplace_back(std::in_place_type<PhaseChanged>, phase);
}

void CodexAppServerSession::failInto(SessionEffects& out, CodexConnectionFailure failure) {
    if (stopped_) return;
    out.emplace_back(std::in_place_type<CancelTimeout>);
    pendingID_.reset();
    setPhase(out, CodexConnectionPhase::failed(failure));
}

SessionEffects CodexAppServerSession::fail(CodexConnectionFailure failure) {
    SessionEffects out;
    failInto(out, failure);
    return out;
}

void CodexAppServerSession::sendRequest(SessionEffects& out, std::int64_t id, const char* method, Json params,
                                        std::optional<CodexConnectionFailure> onFailure, double timeoutSeconds) {
    // nlohmann's object type keeps keys sorted at every level.
    Json request = Json::object({{"id", id}, {"method", method}, {"params", std::move(params)}});
    out.emplace_back(std::in_place_type<WriteLine>, request.dump() + "\n", onFailure);
    pendingID_ = id;
    out.emplace_back(std::in_place_type<ArmTimeout>, id, timeoutSeconds);
}

SessionEffects CodexAppServerSession::willLaunch() {
    SessionEffects out;
    setPhase(out, CodexConnectionPhase::starting());
    return out;
}

SessionEffects CodexAppServerSession::sendInitialize() {
    SessionEffects out;
    Json params = {{"capabilities", {{"experimentalApi", false}}},
                   {"clientInfo", {{"name", "vigil-orb"}, {"title", "Tallyloom"}, {"version", clientVersion_}}}};
    sendRequest(out, 1, "initialize", std::move(params), std::nullopt, initializeTimeoutSeconds_);
    return out;
}

SessionEffects CodexAppServerSession::stop() {
    stopped_ = true;
    pendingID_.reset();
    SessionEffects out;
    out.emplace_back(std::in_place_type<CancelTimeout>);
    return out;
}

SessionEffects CodexAppServerSession::timeoutFired(std::int64_t requestID) {
    SessionEffects out;
    if (stopped_ || pendingID_ != requestID) return out;
    failInto(out, CodexConnectionFailure::of(requestID == 1 ? Kind::initializationTimeout : Kind::requestTimeout));
    return out;
}

SessionEffects CodexAppServerSession::childExited(int status) {
    SessionEffects out;
    failInto(out, CodexConnectionFailure::serverExited(status));
    return out;
}

SessionEffects CodexAppServerSession::refreshRateLimits(bool childRunning) {
    SessionEffects out;
    if (!canRefresh(childRunning)) return out;
    ++nextID_;
    sendRequest(out, nextID_, "account/rateLimits/read", nullptr, CodexConnectionFailure::of(Kind::quotaReadFailed),
                requestTimeoutSeconds_);
    return out;
}

SessionEffects CodexAppServerSession::receive(std::string_view bytes, Date now) {
    SessionEffects out;
    if (stopped_ || phase_.isFailed() || bytes.empty()) return out;
    buffer_.append(bytes);
    if (buffer_.size() > maxBufferedOutput) {
        buffer_.clear();
        buffer_.shrink_to_fit();
        failInto(out, CodexConnectionFailure::of(Kind::initializationRejected));
        return out;
    }
    std::size_t start = 0;
    for (;;) {
        auto nl = buffer_.find('\n', start);
        if (nl == std::string::npos) break;
        handleLine(out, std::string_view(buffer_).substr(start, nl - start), now);
        start = nl + 1;
        // A failed connection is final: the rest of its output is ignored.
        if (phase_.isFailed() || stopped_) {
            buffer_.clear();
            return out;
        }
    }
    buffer_.erase(0, start);
    return out;
}

std::vector<NormalizedProviderEvent> CodexAppServerSession::quotaEvents(const Json& message, Date now) const {
    std::vector<NormalizedProviderEvent> quotas;
    auto events = parseMessage(message, accountID_, now);
    if (!events) return quotas;
    for (auto& e : *events)
        if (e.asQuota()) quotas.push_back(std::move(e));
    return quotas;
}

void CodexAppServerSession::handleLine(SessionEffects& out, std::string_view line, Date now) {
    auto parsed = json::parse(line);
    if (!parsed || !parsed->is_object()) return;
    Json& message = *parsed;
    auto method = message.find("method");
    bool hasMethod = method != message.end() && method->is_string();
    auto params = message.find("params");
    bool hasObjectParams = params != message.end() && params->is_object();

    if (hasMethod && method->get_ref<const std::string&>() == "account/updated" && hasObjectParams) {
        auto mode = params->find("authMode");
        if (mode != params->end() && mode->is_null()) {
            failInto(out, CodexConnectionFailure::of(Kind::notLoggedIn));
            return;
        }
    }
    if (auto id = message.find("id"); id != message.end() && pendingID_) {
        std::optional<std::int64_t> responseID;
        if (id->is_number_unsigned()) {
            if (id->get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) responseID = id->get<std::int64_t>();
        } else if (id->is_number_integer()) {
            responseID = id->get<std::int64_t>();
        }
        if (responseID == pendingID_) {
            handleResponse(out, *pendingID_, message, now);
            return;
        }
    }
    if (hasMethod && method->get_ref<const std::string&>() == "account/rateLimits/updated" &&
        phase_.kind == CodexConnectionPhase::Kind::connected && hasObjectParams) {
        out.emplace_back(std::in_place_type<DeliverEvents>, quotaEvents(Json{{"result", *params}}, now));
    }
}

void CodexAppServerSession::handleResponse(SessionEffects& out, std::int64_t id, const Json& message, Date now) {
    out.emplace_back(std::in_place_type<CancelTimeout>);
    pendingID_.reset();
    auto result = message.find("result");
    if (message.contains("error") || result == message.end() || !result->is_object()) {
        failInto(out, CodexConnectionFailure::of(id == 1   ? Kind::initializationRejected
                                                 : id == 2 ? Kind::accountReadFailed
                                                           : Kind::quotaReadFailed));
        return;
    }
    if (id == 1) {
        if (auto agent = result->find("userAgent"); agent != result->end() && agent->is_string())
            serverVersion_ = text::graphemePrefix(agent->get_ref<const std::string&>(), 160);
        auto readFailed = CodexConnectionFailure::of(Kind::accountReadFailed);
        out.emplace_back(std::in_place_type<WriteLine>,
                         Json::object({{"method", "initialized"}, {"params", Json::object()}}).dump() + "\n", readFailed);
        setPhase(out, CodexConnectionPhase::checkingAccount());
        sendRequest(out, 2, "account/read", Json{{"refreshToken", false}}, readFailed, requestTimeoutSeconds_);
        return;
    }
    if (id == 2) {
        auto account = result->find("account");
        if (result->empty() || account == result->end() || !account->is_object()) {
            failInto(out, CodexConnectionFailure::of(Kind::notLoggedIn));
            return;
        }
        ++nextID_;
        sendRequest(out, nextID_, "account/rateLimits/read", nullptr, CodexConnectionFailure::of(Kind::accountReadFailed),
                    requestTimeoutSeconds_);
        return;
    }
    auto quotas = quotaEvents(message, now);
    if (quotas.empty()) {
        failInto(out, CodexConnectionFailure::of(Kind::quotaReadFailed));
        return;
    }
    setPhase(out, CodexConnectionPhase::connected());
    out.emplace_back(std::in_place_type<DeliverEvents>, std::move(quotas));
}

bool isExecutableFile(const fs::path& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<fs::path> executableDirectories(const paths::Environment& env) {
    std::vector<fs::path> dirs;
    if (auto path = env("PATH")) {
        std::string_view rest = *path;
        while (true) {
            auto colon = rest.find(':');
            auto piece = rest.substr(0, colon);
            if (!piece.empty() && piece.front() == '/') dirs.emplace_back(piece);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    for (const char* fixed : {"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin"}) dirs.emplace_back(fixed);
    return dirs;
}

std::vector<fs::path> candidateExecutablePaths(const paths::Environment& env, const std::vector<fs::path>& applications) {
    std::vector<fs::path> all;
    for (const auto& app : applications) {
        all.push_back(app / "Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex");
        all.push_back(app / "Contents/Resources/codex");
    }
    for (const auto& dir : executableDirectories(env)) all.push_back(dir / "codex");
    std::vector<fs::path> unique;
    std::set<fs::path> seen;
    for (auto& p : all)
        if (seen.insert(p.lexically_normal()).second) unique.push_back(std::move(p));
    return unique;
}

std::optional<fs::path> locateExecutable(const paths::Environment& env, const ExecutableTest& isExecutable) {
    for (const auto& candidate : candidateExecutablePaths(env))
        if (isExecutable(candidate)) return candidate;
    return std::nullopt;
}

std::optional<fs::path> findExecutable(std::string_view name, const paths::Environment& env,
                                       const ExecutableTest& isExecutable) {
    for (const auto& dir : executableDirectories(env))
        if (isExecutable(dir / name)) return dir / name;
    return std::nullopt;
}

}  // namespace vigilorb::codex
