#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "model/events.hpp"

namespace vigilorb::claude {

// Turns the JSON of one Claude Code hook into the task state it reports and, for a permission
// request, the approval Claude Code now waits for (a question for AskUserQuestion, a command for
// Bash, a file change for the editing tools). It only observes: nothing it returns changes what
// Claude Code does. Of the document it reads "session_id", "hook_event_name", "task_id",
// "task_subject" and "tool_name"; everything else (prompt, tool input, messages) is skipped.
//
// Task keys: the session ID for session events; "<session_id>/<task_id>" for the model's to-do
// items, whose task_id restarts at "1" in every session.
class ClaudeHookParser {
public:
    // Empty for hook names it does not map; invalidJSON when "session_id" or "hook_event_name"
    // is missing, a value has the wrong type, or the bytes are not one JSON document (trailing
    // bytes other than whitespace included); tooLarge when "session_id" or "task_id" is longer
    // than maxIdentifierBytes. Titles are cut to normalizedTitle's bounds instead.
    [[nodiscard]] static std::expected<std::vector<NormalizedProviderEvent>, ProviderMessageParsingError> parse(
        std::string_view input, const std::string& accountID, Date observedAt);
};

}  // namespace vigilorb::claude
