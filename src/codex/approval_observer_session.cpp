#include "codex/approval_observer_session.hpp"

#include <algorithm>
#include <charconv>

#include "codex/task_title.hpp"
#include "model/records.hpp"

namespace vigilorb::codex {

namespace {

constexpr std::int64_t loadedListPageSize = 128;

// Everything Codex 0.171.0 broadcasts that the observer does not need: streamed deltas, turn
// and item progress, account and configuration news. Only thread/started, thread/status/changed
// and thread/closed stay on. Suppressing them keeps an idle connection quiet while the user works.
constexpr const char* optedOutNotifications[] = {
    "error", "thread/readState/changed", "thread/archived", "thread/deleted", "thread/unarchived",
    "thread/reverted", "skills/changed", "thread/name/updated", "thread/section/changed",
    "thread/attachment/updated", "thread/goal/updated", "thread/prediction/updated", "thread/goal/cleared",
    "thread/queue/changed", "project/changed", "thread/project/updated", "thread/environment/connected",
    "thread/environment/disconnected", "thread/settings/updated", "thread/tokenUsage/updated", "turn/started",
    "hook/started", "turn/completed", "hook/completed", "turn/diff/updated", "turn/plan/updated",
    "item/started", "item/autoApprovalReview/started", "item/autoApprovalReview/completed",
    "autoApprovalReview/strictReviewRequired", "item/completed", "item/agentMessage/delta", "item/plan/delta",
    "command/exec/outputDelta", "process/outputDelta", "thread/search/partial", "process/exited",
    "item/commandExecution/outputDelta", "item/commandExecution/terminalInteraction",
    "item/fileChange/outputDelta", "item/fileChange/patchUpdated", "serverRequest/resolved",
    "item/mcpToolCall/progress", "mcpServer/oauthLogin/completed", "mcpServer/startupStatus/updated",
    "mcpServer/event/stream/notification", "account/updated", "account/gatewayOAuth/changed",
    "account/rateLimits/updated", "app/list/updated", "remoteControl/status/changed",
    "externalAgentConfig/import/progress", "externalAgentConfig/import/completed", "fs/changed",
    "item/reasoning/summaryTextDelta", "item/reasoning/summaryPartAdded", "item/reasoning/textDelta",
    "thread/compacted", "model/rerouted", "model/verification", "modelProvider/authRecoveryStarted",
    "modelProvider/authRecoveryCompleted", "turn/moderationMetadata", "model/safetyBuffering/updated",
    "warning", "guardianWarning", "deprecationNotice", "configWarning", "fuzzyFileSearch/sessionUpdated",
    "fuzzyFileSearch/sessionCompleted", "thread/realtime/started", "thread/realtime/itemAdded",
    "thread/realtime/item/started", "thread/realtime/item/transcript/delta", "thread/realtime/item/completed",
    "thread/realtime/transcript/delta", "thread/realtime/transcript/done", "thread/realtime/outputAudio/delta",
    "thread/realtime/sdp", "thread/realtime/error", "thread/realtime/closed", "windows/worldWritableWarning",
    "windowsSandbox/setupCompleted", "account/login/completed"
};

bool isWaitingOnApproval(const Json& status) {
    if (!status.is_object()) return false;
    auto type = status.find("type");
    if (type == status.end() || !type->is_string() || type->get_ref<const std::string&>() != "active") return false;
    auto flags = status.find("activeFlags");
    if (flags == status.end() || !flags->is_array()) return false;
    return std::any_of(flags->begin(), flags->end(),
                       [](const Json& f) { return f.is_string() && f.get_ref<const std::string&>() == "waitingOnApproval"; });
}

const std::string* stringMember(const Json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

std::optional<std::int64_t> integerID(const Json& id) {
    if (id.is_number_unsigned()) {
        if (id.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) return id.get<std::int64_t>();
        return std::nullopt;
    }
    if (id.is_number_integer()) return id.get<std::int64_t>();
    return std::nullopt;
}

}  // namespace

std::size_t approvalMessageLimit(std::optional<std::string_view> announced) {
    if (!announced || announced->empty()) return approvalMaxMessageBytes;
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(announced->data(), announced->data() + announced->size(), value);
    if (ec != std::errc() || end != announced->data() + announced->size() || value == 0) return approvalMaxMessageBytes;
    return std::min(value, approvalMaxMessageBytes);
}

std::string_view statusText(ApprovalWatchStatus status) {
    switch (status) {
        case ApprovalWatchStatus::notRunning:
            return "Codex approval waits are not visible until a Codex session runs";
        case ApprovalWatchStatus::watching: return "Watching Codex approval waits (read-only)";
        case ApprovalWatchStatus::sessionEnded:
            return "Codex session ended; its approval waits were cleared until a Codex session runs again";
        case ApprovalWatchStatus::refused:
            return "Codex did not answer the read-only approval watch; retrying";
        case ApprovalWatchStatus::tooLarge:
            return "Codex sent a message over the size limit; the approval watch is retrying";
    }
    return {};
}

bool isHealthy(ApprovalWatchStatus status) { return status == ApprovalWatchStatus::watching; }

CodexApprovalObserverSession::CodexApprovalObserverSession(std::string clientVersion)
    : clientVersion_(std::move(clientVersion)) {}

void CodexApprovalObserverSession::setStatus(ApprovalEffects& out, ApprovalWatchStatus status) {
    if (status_ == status) return;
    status_ = status;
    out.emplace_back(StatusChanged{status});
}

void CodexApprovalObserverSession::send(ApprovalEffects& out, Purpose purpose, std::string_view method, Json params,
                                        std::string threadID) {
    auto id = nextID_++;
    // Only allowed methods can be built; a refusal here is a bug, and nothing goes out.
    auto message = ReadOnlyAppServerMessage::request(id, method, std::move(params));
    if (!message) return;
    pending_[id] = Pending{purpose, std::move(threadID), tick_};
    out.emplace_back(SendMessage{std::move(*message)});
}

ApprovalEffects CodexApprovalObserverSession::start() {
    ApprovalEffects out;
    if (stage_ != Stage::idle) return out;
    stage_ = Stage::connecting;
    out.emplace_back(OpenConnection{});
    out.emplace_back(ArmTimer{approvalSnapshotPeriodSeconds});
    return out;
}

ApprovalEffects CodexApprovalObserverSession::stop() {
    ApprovalEffects out;
    if (stage_ == Stage::stopped) return out;
    bool hadConnection = stage_ == Stage::connecting || stage_ == Stage::initializing || stage_ == Stage::live;
    stage_ = Stage::stopped;
    pending_.clear();
    readsInFlight_.clear();
    threads_.clear();
    waits_.clear();
    if (hadConnection) out.emplace_back(CloseConnection{});
    return out;
}

ApprovalEffects CodexApprovalObserverSession::opened(Date) {
    ApprovalEffects out;
    if (stage_ != Stage::connecting) return out;
    stage_ = Stage::initializing;
    settled_ = false;
    tick_ = 0;
    Json optOut = Json::array();
    for (const char* m : optedOutNotifications) optOut.push_back(m);
    // No experimental API, and none of the capabilities that would let Codex hand this client a
    // pending request to answer.
    Json params = {{"clientInfo", {{"name", "vigil-orb"}, {"title", "Tallyloom"}, {"version", clientVersion_}}},
                   {"capabilities", {{"experimentalApi", false}, {"optOutNotificationMethods", std::move(optOut)}}}};
    send(out, Purpose::initialize, "initialize", std::move(params));
    out.emplace_back(ArmTimer{approvalSnapshotPeriodSeconds});
    return out;
}

ApprovalEffects CodexApprovalObserverSession::openFailed(Date) {
    ApprovalEffects out;
    if (stage_ != Stage::connecting) return out;
    end(out, status_ && *status_ != ApprovalWatchStatus::watching ? *status_ : ApprovalWatchStatus::notRunning);
    return out;
}

ApprovalEffects CodexApprovalObserverSession::connectionEnded(ApprovalConnectionEnd why, Date) {
    ApprovalEffects out;
    if (stage_ != Stage::connecting && stage_ != Stage::initializing && stage_ != Stage::live) return out;
    ApprovalWatchStatus status;
    if (why == ApprovalConnectionEnd::messageTooLarge)
        status = ApprovalWatchStatus::tooLarge;
    else if (stage_ == Stage::live)
        status = ApprovalWatchStatus::sessionEnded;
    else
        status = status_ && *status_ != ApprovalWatchStatus::watching ? *status_ : ApprovalWatchStatus::notRunning;
    end(out, status);
    return out;
}

void CodexApprovalObserverSession::end(ApprovalEffects& out, ApprovalWatchStatus status) {
    pending_.clear();
    readsInFlight_.clear();
    threads_.clear();
    loadedIDs_.clear();
    snapshotting_ = false;
    // Nobody can see these waits any more: they must not stay shown.
    bool changed = !waits_.empty() || !settled_;
    waits_.clear();
    settled_ = true;
    if (changed) out.emplace_back(WaitsChanged{});
    setStatus(out, status);
    stage_ = Stage::waitingToRetry;
    out.emplace_back(ArmTimer{retrySeconds_});
    retrySeconds_ = std::min(retrySeconds_ * 2, approvalMaxRetrySeconds);
}

ApprovalEffects CodexApprovalObserverSession::timerFired(Date) {
    ApprovalEffects out;
    switch (stage_) {
        case Stage::waitingToRetry:
            stage_ = Stage::connecting;
            out.emplace_back(OpenConnection{});
            out.emplace_back(ArmTimer{approvalSnapshotPeriodSeconds});
            break;
        case Stage::connecting:
        case Stage::initializing:
            // A daemon that accepted the socket but did not get through the handshake in a minute.
            out.emplace_back(CloseConnection{});
            end(out, ApprovalWatchStatus::refused);
            break;
        case Stage::live: {
            bool hung = std::any_of(pending_.begin(), pending_.end(),
                                    [&](const auto& p) { return p.second.sentAtTick < tick_; });
            if (hung) {
                out.emplace_back(CloseConnection{});
                end(out, ApprovalWatchStatus::refused);
                break;
            }
            if (!snapshotting_) startSnapshot(out);
            // Requests sent from here on get a full period before they count as unanswered.
            ++tick_;
            out.emplace_back(ArmTimer{approvalSnapshotPeriodSeconds});
            break;
        }
        case Stage::idle:
        case Stage::stopped: break;
    }
    return out;
}

void CodexApprovalObserverSession::startSnapshot(ApprovalEffects& out) {
    snapshotting_ = true;
    loadedPages_ = 1;
    loadedIDs_.clear();
    send(out, Purpose::loadedList, "thread/loaded/list", Json{{"limit", loadedListPageSize}});
}

void CodexApprovalObserverSession::finishSnapshotIfDone(ApprovalEffects& out) {
    if (!snapshotting_) return;
    for (const auto& [id, p] : pending_)
        if (p.purpose == Purpose::loadedList || p.purpose == Purpose::read) return;
    snapshotting_ = false;
    settled_ = true;
    retrySeconds_ = approvalFirstRetrySeconds;
    // Also when nothing changed here: the owner checks that what it shows still agrees.
    out.emplace_back(WaitsChanged{});
}

void CodexApprovalObserverSession::requestRead(ApprovalEffects& out, const std::string& threadID) {
    if (readsInFlight_.contains(threadID) || readsInFlight_.size() >= approvalMaxTrackedThreads) return;
    readsInFlight_.insert(threadID);
    send(out, Purpose::read, "thread/read", Json{{"threadId", threadID}, {"includeTurns", false}}, threadID);
}

ApprovalEffects CodexApprovalObserverSession::received(std::string_view text, Date now) {
    ApprovalEffects out;
    if (stage_ != Stage::initializing && stage_ != Stage::live) return out;
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) return out;
    Json& message = *parsed;
    auto method = message.find("method");
    auto id = message.find("id");
    // A request to us (id and method): Codex asks something of a responder. This observer is
    // not one: no answer, no effect.
    if (method != message.end() && id != message.end()) return out;
    if (id != message.end()) {
        auto number = integerID(*id);
        if (!number) return out;
        auto it = pending_.find(*number);
        if (it == pending_.end()) return out;
        Pending pending = std::move(it->second);
        pending_.erase(it);
        handleResponse(out, pending, message, now);
        return out;
    }
    if (stage_ != Stage::live || method == message.end() || !method->is_string()) return out;
    auto params = message.find("params");
    if (params == message.end() || !params->is_object()) return out;
    handleNotification(out, method->get_ref<const std::string&>(), *params, now);
    return out;
}

void CodexApprovalObserverSession::handleResponse(ApprovalEffects& out, const Pending& pending, const Json& message,
                                                  Date now) {
    auto resultIt = message.find("result");
    bool ok = !message.contains("error") && resultIt != message.end() && resultIt->is_object();
    switch (pending.purpose) {
        case Purpose::initialize: {
            if (!ok) {
                out.emplace_back(CloseConnection{});
                end(out, ApprovalWatchStatus::refused);
                return;
            }
            if (auto note = ReadOnlyAppServerMessage::notification("initialized", Json::object()))
                out.emplace_back(SendMessage{std::move(*note)});
            stage_ = Stage::live;
            setStatus(out, ApprovalWatchStatus::watching);
            startSnapshot(out);
            return;
        }
        case Purpose::loadedList: {
            if (ok) {
                if (auto data = resultIt->find("data"); data != resultIt->end() && data->is_array())
                    for (const auto& entry : *data)
                        if (entry.is_string() && loadedIDs_.size() < approvalMaxTrackedThreads)
                            loadedIDs_.insert(entry.get<std::string>());
                const std::string* cursor = stringMember(*resultIt, "nextCursor");
                if (cursor && loadedPages_ < approvalMaxLoadedListPages && loadedIDs_.size() < approvalMaxTrackedThreads) {
                    ++loadedPages_;
                    send(out, Purpose::loadedList, "thread/loaded/list",
                         Json{{"cursor", *cursor}, {"limit", loadedListPageSize}});
                    return;
                }
            }
            // Threads no longer loaded cannot be waiting.
            bool changed = false;
            for (auto it = threads_.begin(); it != threads_.end();)
                it = loadedIDs_.contains(it->first) ? std::next(it) : threads_.erase(it);
            for (auto it = waits_.begin(); it != waits_.end();) {
                if (loadedIDs_.contains(it->first)) {
                    ++it;
                } else {
                    it = waits_.erase(it);
                    changed = true;
                }
            }
            if (changed) out.emplace_back(WaitsChanged{});
            for (const auto& threadID : loadedIDs_) requestRead(out, threadID);
            finishSnapshotIfDone(out);
            return;
        }
        case Purpose::read: {
            readsInFlight_.erase(pending.threadID);
            bool changed = false;
            const Json* thread = nullptr;
            if (ok)
                if (auto t = resultIt->find("thread"); t != resultIt->end() && t->is_object()) thread = &*t;
            const std::string* threadID = thread ? stringMember(*thread, "id") : nullptr;
            if (threadID && *threadID == pending.threadID)
                changed = applyThread(*thread, now);
            else
                changed = forget(pending.threadID);  // gone, or an answer that says nothing usable
            if (changed) out.emplace_back(WaitsChanged{});
            finishSnapshotIfDone(out);
            return;
        }
    }
}

void CodexApprovalObserverSession::handleNotification(ApprovalEffects& out, const std::string& method,
                                                      const Json& params, Date now) {
    bool changed = false;
    if (method == "thread/status/changed") {
        const std::string* threadID = stringMember(params, "threadId");
        auto status = params.find("status");
        if (!threadID || status == params.end() || !status->is_object()) return;
        auto known = threads_.find(*threadID);
        if (known == threads_.end()) {
            // A thread loaded before this connection's snapshot got to it: read it first, to
            // learn whether it is ephemeral and what it is called.
            if (isWaitingOnApproval(*status)) requestRead(out, *threadID);
            return;
        }
        if (known->second.ephemeral) return;
        changed = applyStatus(*threadID, *status, now);
    } else if (method == "thread/started") {
        auto thread = params.find("thread");
        if (thread == params.end() || !thread->is_object()) return;
        changed = applyThread(*thread, now);
    } else if (method == "thread/closed") {
        if (const std::string* threadID = stringMember(params, "threadId")) changed = forget(*threadID);
    }
    if (changed) out.emplace_back(WaitsChanged{});
}

bool CodexApprovalObserverSession::applyThread(const Json& thread, Date now) {
    const std::string* id = stringMember(thread, "id");
    if (!id) return false;
    auto it = threads_.find(*id);
    if (it == threads_.end()) {
        if (threads_.size() >= approvalMaxTrackedThreads) return false;
        it = threads_.emplace(*id, Thread{}).first;
    }
    auto ephemeral = thread.find("ephemeral");
    it->second.ephemeral = ephemeral != thread.end() && ephemeral->is_boolean() && ephemeral->get<bool>();
    const std::string* name = stringMember(thread, "name");
    auto title = normalizedTitle(name ? std::optional<std::string>(*name) : std::nullopt);
    it->second.title = title ? *title : defaultTaskTitle(*id);
    if (it->second.ephemeral) return waits_.erase(*id) > 0;
    auto status = thread.find("status");
    return applyStatus(*id, status != thread.end() ? *status : Json(), now);
}

bool CodexApprovalObserverSession::applyStatus(const std::string& threadID, const Json& status, Date now) {
    if (!isWaitingOnApproval(status)) return waits_.erase(threadID) > 0;
    if (waits_.contains(threadID)) return false;
    auto known = threads_.find(threadID);
    waits_[threadID] = ApprovalWait{known != threads_.end() ? known->second.title : defaultTaskTitle(threadID), now};
    return true;
}

bool CodexApprovalObserverSession::forget(const std::string& threadID) {
    threads_.erase(threadID);
    return waits_.erase(threadID) > 0;
}

}  // namespace vigilorb::codex
