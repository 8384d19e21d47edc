#include "claude/claude_hook_parser.hpp"

#include <optional>
#include <utility>

namespace vigilorb::claude {

namespace {

struct HookPayload {
    std::string sessionID;
    std::string eventName;
    std::optional<std::string> taskID;
    std::optional<std::string> taskSubject;
};

HookPayload decode(std::string_view input) {
    Json root = json::parse(input);
    json::object(root, "hook input");
    return HookPayload{json::requireString(root, "session_id"), json::requireString(root, "hook_event_name"),
                       json::optionalString(root, "task_id"), json::optionalString(root, "task_subject")};
}

std::optional<TaskState> stateFor(const std::string& eventName) {
    static const std::pair<const char*, TaskState> table[] = {
        {"TaskCreated", TaskState::running},       {"TaskCompleted", TaskState::completed},
        {"Stop", TaskState::completed},            {"StopFailure", TaskState::failed},
        {"SessionStart", TaskState::waitingInput}, {"PermissionRequest", TaskState::waitingApproval},
    };
    for (const auto& [name, state] : table)
        if (eventName == name) return state;
    return std::nullopt;
}

}  // namespace

std::vector<NormalizedProviderEvent> ClaudeHookParser::parse(std::string_view input, const std::string& accountID,
                                                             Date observedAt) {
    HookPayload payload;
    try {
        payload = decode(input);
    } catch (const DecodingError& e) {
        throw Failure<ProviderMessageParsingError>(ProviderMessageParsingError::invalidJSON, e.what());
    }
    auto state = stateFor(payload.eventName);
    if (!state) return {};

    // An empty task_id still names the task: only its absence falls back to the session.
    std::string key = payload.taskID.value_or(payload.sessionID);
    TaskSnapshot task;
    task.id = key;
    task.accountID = accountID;
    task.provider = AIProvider::claude;
    task.title = normalizedTitle(payload.taskSubject).value_or("Claude task");
    task.state = *state;
    task.updatedAt = observedAt;

    std::vector<NormalizedProviderEvent> events{NormalizedProviderEvent::task(std::move(task))};
    if (*state == TaskState::waitingApproval) {
        PendingAction action;
        action.id = key + "-permission";
        action.taskID = key;
        action.accountID = accountID;
        action.provider = AIProvider::claude;
        action.kind = PendingActionKind::permissions;
        action.requestedAt = observedAt;
        events.push_back(NormalizedProviderEvent::pendingAction(std::move(action)));
    }
    return events;
}

}  // namespace vigilorb::claude
