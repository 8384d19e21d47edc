#include <gtest/gtest.h>

#include "claude/claude_hook_parser.hpp"

using namespace vigilorb;
using vigilorb::claude::ClaudeHookParser;

namespace {

const Date observed = Date::fromReference(800000000);

TaskSnapshot task(std::string id, TaskState state, std::string title = "Claude task") {
    return TaskSnapshot{std::move(id), std::nullopt, "work", AIProvider::claude, std::move(title), state, observed};
}

}  // namespace

TEST(ClaudeHookParser, MapsEachKnownEventToOneTaskState) {
    struct Case {
        const char* name;
        TaskState state;
    } cases[] = {{"TaskCreated", TaskState::running},
                 {"TaskCompleted", TaskState::completed},
                 {"Stop", TaskState::completed},
                 {"StopFailure", TaskState::failed},
                 {"SessionStart", TaskState::waitingInput}};
    for (const auto& c : cases) {
        auto input = std::string(R"({"session_id":"s1","hook_event_name":")") + c.name + R"(","source":"startup"})";
        auto events = ClaudeHookParser::parse(input, "work", observed);
        ASSERT_EQ(events.size(), 1u) << c.name;
        EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1", c.state))) << c.name;
    }
}

TEST(ClaudeHookParser, PermissionRequestGivesTaskThenPendingAction) {
    auto events = ClaudeHookParser::parse(
        R"({"session_id":"s1","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"ls"}})",
        "work", observed);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1", TaskState::waitingApproval)));
    EXPECT_EQ(events[1], NormalizedProviderEvent::pendingAction(PendingAction{
                             "s1-permission", std::nullopt, "s1", "work", AIProvider::claude,
                             PendingActionKind::permissions, observed}));
}

TEST(ClaudeHookParser, TaskIDAndSubjectWinOverTheSession) {
    auto events = ClaudeHookParser::parse(
        R"({"session_id":"s1","hook_event_name":"TaskCreated","task_id":"t9","task_subject":"  Fix the\nparser  "})",
        "work", observed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("t9", TaskState::running, "Fix the parser")));

    // An empty task_id is still a task ID; a blank subject falls back to the default title.
    events = ClaudeHookParser::parse(R"({"session_id":"s1","hook_event_name":"Stop","task_id":"","task_subject":" "})",
                                     "work", observed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("", TaskState::completed)));
}

TEST(ClaudeHookParser, UnknownNamesGiveNothing) {
    for (auto name : {"stop", "SessionEnd", "PreToolUse", "Notification", ""}) {
        auto input = std::string(R"({"session_id":"s1","hook_event_name":")") + name + "\"}";
        EXPECT_TRUE(ClaudeHookParser::parse(input, "work", observed).empty()) << name;
    }
}

TEST(ClaudeHookParser, MalformedInputFails) {
    for (auto input : {"", "{", R"({"session_id":"s1"})", R"({"hook_event_name":"Stop"})",
                       R"({"session_id":1,"hook_event_name":"Stop"})",
                       R"({"session_id":"s1","hook_event_name":"Stop","task_id":7})", R"(["Stop"])"}) {
        try {
            ClaudeHookParser::parse(input, "work", observed);
            ADD_FAILURE() << "accepted " << input;
        } catch (const Failure<ProviderMessageParsingError>& e) {
            EXPECT_EQ(e.code(), ProviderMessageParsingError::invalidJSON) << input;
        }
    }
}
