#include "claude/claude_hook_parser.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace vigilorb::claude {

namespace {

struct HookPayload {
    std::string sessionID;
    std::string eventName;
    std::optional<std::string> taskID;
    std::optional<std::string> taskSubject;
    std::optional<std::string> toolName;
};

// The only keys of a hook document the companion looks at. Everything else (the prompt, the
// tool's input, the assistant's message) is skipped while parsing and never held in memory:
// chat text and tool input must not reach the snapshot, and this keeps them out by design.
constexpr std::array<std::string_view, 5> readKeys{"session_id", "hook_event_name", "task_id", "task_subject",
                                                   "tool_name"};

Json parseReadKeys(std::string_view input) {
    auto parsed = json::parse(input, [](int depth, Json::parse_event_t event, Json& value) {
        if (depth != 1 || event != Json::parse_event_t::key) return true;
        const auto& key = value.get_ref<const std::string&>();
        return std::find(readKeys.begin(), readKeys.end(), key) != readKeys.end();
    });
    if (!parsed) throw DecodingError(parsed.error().detail);
    return std::move(*parsed);
}

// Only a hint for the kind of approval: a value that is not a string counts as no name rather
// than costing the approval itself.
std::optional<std::string> toolName(const Json& root) {
    const Json* name = json::optional(root, "tool_name");
    if (!name || !name->is_string()) return std::nullopt;
    return name->get<std::string>();
}

HookPayload decode(std::string_view input) {
    Json root = parseReadKeys(input);
    json::object(root, "hook input");
    return HookPayload{json::requireString(root, "session_id"), json::requireString(root, "hook_event_name"),
                       json::optionalString(root, "task_id"), json::optionalString(root, "task_subject"),
                       toolName(root)};
}

bool identifiersFit(const HookPayload& payload) {
    return payload.sessionID.size() <= maxIdentifierBytes &&
           (!payload.taskID || payload.taskID->size() <= maxIdentifierBytes);
}

std::optional<TaskState> stateFor(const std::string& eventName) {
    // A denied permission request fires no hook of its own: the next prompt (UserPromptSubmit)
    // or the end of the session is what moves the task out of waitingApproval, and with it
    // drops the approval. An approved tool reports back through PostToolUse.
    static const std::pair<const char*, TaskState> table[] = {
        {"TaskCreated", TaskState::running},       {"TaskCompleted", TaskState::completed},
        {"Stop", TaskState::completed},            {"StopFailure", TaskState::failed},
        {"SessionStart", TaskState::waitingInput}, {"PermissionRequest", TaskState::waitingApproval},
        {"UserPromptSubmit", TaskState::running},  {"PostToolUse", TaskState::running},
        {"SessionEnd", TaskState::completed},
    };
    for (const auto& [name, state] : table)
        if (eventName == name) return state;
    return std::nullopt;
}

PendingActionKind kindFor(const std::optional<std::string>& toolName) {
    if (!toolName) return PendingActionKind::permissions;
    if (*toolName == "AskUserQuestion") return PendingActionKind::userInput;
    if (*toolName == "Bash") return PendingActionKind::command;
    for (auto editor : {"Edit", "Write", "MultiEdit", "NotebookEdit"})
        if (*toolName == editor) return PendingActionKind::fileChange;
    return PendingActionKind::permissions;
}

}  // namespace

std::expected<std::vector<NormalizedProviderEvent>, ProviderMessageParsingError> ClaudeHookParser::parse(
    std::string_view input, const std::string& accountID, Date observedAt) {
    auto decoded = json::decoded([&] { return decode(input); });
    if (!decoded) return std::unexpected(ProviderMessageParsingError::invalidJSON);
    const HookPayload& payload = *decoded;
    auto state = stateFor(payload.eventName);
    if (!state) return {};
    if (!identifiersFit(payload)) return std::unexpected(ProviderMessageParsingError::tooLarge);

    // To-do items are numbered per session ("1", "2", ...), so the session is part of their key;
    // an empty task_id still names an item of its session.
    std::string key = payload.taskID ? payload.sessionID + "/" + *payload.taskID : payload.sessionID;
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
        action.kind = kindFor(payload.toolName);
        action.requestedAt = observedAt;
        events.push_back(NormalizedProviderEvent::pendingAction(std::move(action)));
    }
    return events;
}

}  // namespace vigilorb::claude
