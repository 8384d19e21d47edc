#include <gtest/gtest.h>

#include "claude/claude_hook_parser.hpp"
#include "model/text.hpp"

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
                 {"SessionStart", TaskState::waitingInput},
                 // A denied approval fires nothing: the next prompt or the end of the session
                 // is what moves the task on.
                 {"UserPromptSubmit", TaskState::running},
                 {"PostToolUse", TaskState::running},
                 {"SessionEnd", TaskState::completed}};
    for (const auto& c : cases) {
        auto input = std::string(R"({"session_id":"s1","hook_event_name":")") + c.name + R"(","source":"startup"})";
        auto events = ClaudeHookParser::parse(input, "work", observed).value();
        ASSERT_EQ(events.size(), 1u) << c.name;
        EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1", c.state))) << c.name;
    }
}

TEST(ClaudeHookParser, PermissionRequestGivesTaskThenPendingActionOfTheToolsKind) {
    struct Case {
        Json toolName;  // discarded: no "tool_name"
        PendingActionKind kind;
    } cases[] = {{"AskUserQuestion", PendingActionKind::userInput},
                 {"Bash", PendingActionKind::command},
                 {"Edit", PendingActionKind::fileChange},
                 {"Write", PendingActionKind::fileChange},
                 {"MultiEdit", PendingActionKind::fileChange},
                 {"NotebookEdit", PendingActionKind::fileChange},
                 {"WebFetch", PendingActionKind::permissions},
                 {"bash", PendingActionKind::permissions},
                 {"", PendingActionKind::permissions},
                 // Not a name at all: still the approval, of the general kind.
                 {3, PendingActionKind::permissions},
                 {nullptr, PendingActionKind::permissions},
                 {Json::value_t::discarded, PendingActionKind::permissions}};
    for (const auto& c : cases) {
        Json input = {{"session_id", "s1"}, {"hook_event_name", "PermissionRequest"}, {"tool_input", {{"x", 1}}}};
        if (!c.toolName.is_discarded()) input["tool_name"] = c.toolName;
        auto events = ClaudeHookParser::parse(input.dump(), "work", observed).value();
        auto label = input.dump();
        ASSERT_EQ(events.size(), 2u) << label;
        EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1", TaskState::waitingApproval))) << label;
        EXPECT_EQ(events[1], NormalizedProviderEvent::pendingAction(PendingAction{
                                 "s1-permission", std::nullopt, "s1", "work", AIProvider::claude, c.kind, observed}))
            << label;
    }
}

TEST(ClaudeHookParser, ToDoItemsAreKeyedByTheirSession) {
    auto events = ClaudeHookParser::parse(
        R"({"session_id":"s1","hook_event_name":"TaskCreated","task_id":"1","task_subject":"  Fix the\nparser  "})",
        "work", observed).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1/1", TaskState::running, "Fix the parser")));

    // Every session counts its items from "1": the second session's first item is another task.
    events = ClaudeHookParser::parse(R"({"session_id":"s2","hook_event_name":"TaskCompleted","task_id":"1"})", "work",
                                     observed).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s2/1", TaskState::completed)));

    // An empty task_id is still an item of its session; a blank subject falls back to the default title.
    events = ClaudeHookParser::parse(R"({"session_id":"s1","hook_event_name":"Stop","task_id":"","task_subject":" "})",
                                     "work", observed).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], NormalizedProviderEvent::task(task("s1/", TaskState::completed)));
}

TEST(ClaudeHookParser, ChatTextAndToolInputNeverReachTheEvents) {
    // What the user typed, what the tool would run and what the model said stay on the machine:
    // none of it may turn up in a title or anywhere else, whatever its type.
    for (auto event : {"UserPromptSubmit", "PermissionRequest", "PostToolUse", "Stop", "TaskCreated", "StopFailure"}) {
        Json input = {{"session_id", "s1"},
                      {"hook_event_name", event},
                      {"prompt", "SECRET-prompt"},
                      {"tool_name", "Bash"},
                      {"tool_input", {{"command", "SECRET-command"}, {"description", "SECRET-description"}}},
                      {"tool_response", {{"stdout", "SECRET-output"}}},
                      {"message", "SECRET-message"},
                      {"last_assistant_message", "SECRET-reply"},
                      {"transcript_path", "/home/u/.claude/SECRET.jsonl"}};
        auto events = ClaudeHookParser::parse(input.dump(), "work", observed).value();
        ASSERT_FALSE(events.empty()) << event;
        for (const auto& e : events) EXPECT_EQ(Json(e).dump().find("SECRET"), std::string::npos) << Json(e).dump();
    }
    // Keys it does not read may hold anything, even a type the read keys could not have.
    auto events = ClaudeHookParser::parse(
        R"({"session_id":"s1","hook_event_name":"UserPromptSubmit","prompt":{"nested":[1,2,{"deep":null}]},"tool_input":7})",
        "work", observed).value();
    ASSERT_EQ(events.size(), 1u);
    // Only the top level is filtered: a read key inside another object does not count.
    EXPECT_EQ(ClaudeHookParser::parse(R"({"tool_input":{"session_id":"s1","hook_event_name":"Stop"}})", "work", observed),
              std::unexpected(ProviderMessageParsingError::invalidJSON));
}

TEST(ClaudeHookParser, UnknownNamesGiveNothing) {
    for (auto name : {"stop", "sessionEnd", "PreToolUse", "Notification", "PermissionDenied", ""}) {
        auto input = std::string(R"({"session_id":"s1","hook_event_name":")") + name + "\"}";
        EXPECT_TRUE(ClaudeHookParser::parse(input, "work", observed).value().empty()) << name;
    }
}

TEST(ClaudeHookParser, MalformedInputFails) {
    for (auto input : {"", "{", R"({"session_id":"s1"})", R"({"hook_event_name":"Stop"})",
                       R"({"session_id":1,"hook_event_name":"Stop"})",
                       R"({"session_id":"s1","hook_event_name":"Stop","task_id":7})", R"(["Stop"])"}) {
        EXPECT_EQ(ClaudeHookParser::parse(input, "work", observed), std::unexpected(ProviderMessageParsingError::invalidJSON))
            << input;
    }
}

TEST(ClaudeHookParser, OnlyWhitespaceMayFollowTheDocument) {
    using namespace std::string_literals;
    const std::string stop = R"({"session_id":"s1","hook_event_name":"Stop"})";
    for (const std::string& input : {stop + " \n\t\r", "\n"s + stop + "\n"}) {
        auto events = ClaudeHookParser::parse(input, "work", observed);
        ASSERT_TRUE(events) << input;
        EXPECT_EQ(events->size(), 1u);
    }
    // A NUL byte ends the input for nlohmann's lexer, so these once parsed as the document
    // before it.
    for (const std::string& input : {stop + "\0"s, stop + "\0garbage"s, stop + "\n\0{\"x\":1}"s, stop + " x",
                                     stop + "}", stop + stop, "\0"s + stop})
        EXPECT_EQ(ClaudeHookParser::parse(input, "work", observed), std::unexpected(ProviderMessageParsingError::invalidJSON))
            << Json(input).dump();
}

TEST(ClaudeHookParser, IdentifiersAndTitlesAreBoundedInBytes) {
    auto hook = [](const std::string& session, std::optional<std::string> taskID, std::optional<std::string> subject) {
        Json input = {{"session_id", session}, {"hook_event_name", "PermissionRequest"}};
        if (taskID) input["task_id"] = *taskID;
        if (subject) input["task_subject"] = *subject;
        return ClaudeHookParser::parse(input.dump(), "work", observed);
    };
    const std::string longest(maxIdentifierBytes, 's');
    auto events = hook(longest, longest, std::nullopt);
    ASSERT_TRUE(events);
    EXPECT_EQ((*events)[0].asTask()->id, longest + "/" + longest);

    // An identifier cannot be cut without naming another task: refused whole.
    for (const auto& [session, taskID] : {std::pair<std::string, std::optional<std::string>>{longest + "s", std::nullopt},
                                          {"s1", longest + "t"},
                                          {std::string(2 << 20, 's'), std::nullopt}})
        EXPECT_EQ(hook(session, taskID, std::nullopt), std::unexpected(ProviderMessageParsingError::tooLarge))
            << session.size() << " " << taskID.value_or("").size();

    // One user-perceived character of 1.2 MB (a base and 600,000 combining accents) is a
    // title of one character, within the character bound: the byte bound cuts it.
    std::string zalgo = "Z";
    for (int i = 0; i < 600000; ++i) zalgo += "\u0301";
    events = hook("s1", std::nullopt, zalgo);
    ASSERT_TRUE(events);
    const std::string& title = (*events)[0].asTask()->title;
    EXPECT_LE(title.size(), maxTitleBytes);
    EXPECT_GT(title.size(), maxTitleBytes - 2);
    EXPECT_TRUE(title.starts_with("Z\u0301"));
    EXPECT_TRUE(text::isValidUTF8(title));
    // After other words, such a character goes whole.
    events = hook("s1", std::nullopt, "fix " + zalgo);
    ASSERT_TRUE(events);
    EXPECT_EQ((*events)[0].asTask()->title, "fix");
}
