#include "codex/message_parser.hpp"

#include <gtest/gtest.h>

#include "codex/task_title.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;

namespace {

const Date now = Date::fromUnix(1'800'000'000);

std::vector<NormalizedProviderEvent> parse(std::string_view text) { return parseMessage(text, "work", now).value(); }

TEST(CodexMessageParser, RateLimitWindowsAreClampedAndKindedByDuration) {
    auto events = parse(R"({"id":101,"result":{"rateLimits":{
        "primary":{"usedPercent":130,"windowDurationMins":300,"resetsAt":1796888784},
        "secondary":{"usedPercent":-4,"windowDurationMins":10080}}}})");
    ASSERT_EQ(events.size(), 1u);
    const auto* q = events[0].asQuota();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->accountID, "work");
    EXPECT_EQ(q->provider, AIProvider::codex);
    EXPECT_FALSE(q->sourceID);
    EXPECT_EQ(q->capturedAt, now);
    ASSERT_EQ(q->windows.size(), 2u);
    EXPECT_EQ(q->windows[0].kind, QuotaWindowKind::fiveHour);
    EXPECT_EQ(q->windows[0].usedPercentage, 100);
    EXPECT_EQ(q->windows[0].durationMinutes, 300);
    EXPECT_EQ(q->windows[0].resetsAt, Date::fromUnix(1796888784));
    EXPECT_EQ(q->windows[1].kind, QuotaWindowKind::sevenDay);
    EXPECT_EQ(q->windows[1].usedPercentage, 0);
    EXPECT_FALSE(q->windows[1].resetsAt);
}

TEST(CodexMessageParser, WindowsWithoutUsedPercentAreDropped) {
    auto events = parse(R"({"result":{"rateLimits":{"primary":{"usedPercent":42,"windowDurationMins":60},
                                                   "secondary":{"windowDurationMins":10080}}}})");
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].asQuota()->windows.size(), 1u);
    EXPECT_EQ(events[0].asQuota()->windows[0].kind, QuotaWindowKind::primary);
    EXPECT_TRUE(parse(R"({"result":{"rateLimits":{"primary":{"usedPercent":"42"},"secondary":{}}}})").empty());
}

TEST(CodexMessageParser, ThreadListKeepsActiveThreads) {
    auto events = parse(R"({"result":{"data":[
        {"id":"thread-aaaaaa1","updatedAt":1700000000,"status":{"type":"active","activeFlags":["waitingOnApproval"]},"name":"  fix   the build "},
        {"id":"thread-bbbbbb2","updatedAt":1700000001,"status":{"type":"active","activeFlags":["waitingOnUserInput"]},"name":"   "},
        {"id":"thread-cccccc3","updatedAt":1700000002,"status":{"type":"active"}},
        {"id":"thread-dddddd4","updatedAt":1700000003,"status":{"type":"idle"}},
        {"id":"thread-eeeeee5","status":{"type":"active"}}]}})");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].asTask()->state, TaskState::waitingApproval);
    EXPECT_EQ(events[0].asTask()->title, "fix the build");
    EXPECT_EQ(events[0].asTask()->updatedAt, Date::fromUnix(1700000000));
    EXPECT_EQ(events[1].asTask()->state, TaskState::waitingInput);
    EXPECT_EQ(events[1].asTask()->title, "Codex task \u00B7 bbbbb2");
    EXPECT_EQ(events[2].asTask()->state, TaskState::running);
}

TEST(CodexMessageParser, Notifications) {
    struct Case {
        const char* line;
        std::vector<TaskState> states;
    };
    const Case cases[] = {
        {R"({"method":"thread/status/changed","params":{"threadId":"t1","status":{"type":"active","activeFlags":[]}}})", {TaskState::running}},
        {R"({"method":"thread/status/changed","params":{"threadId":"t1","status":{"type":"idle"}}})", {}},
        {R"({"method":"thread/status/changed","params":{"status":{"type":"active"}}})", {}},
        {R"({"method":"turn/started","params":{}})", {TaskState::running}},
        {R"({"method":"turn/completed","params":{"threadId":"t1","turn":{"status":"completed"}}})", {TaskState::completed}},
        {R"({"method":"turn/completed","params":{"threadId":"t1","turn":{"status":"FAILED"}}})", {TaskState::failed}},
        {R"({"method":"turn/completed","params":{"threadId":"t1","turn":{"status":"Interrupted"}}})", {TaskState::cancelled}},
        {R"({"method":"turn/completed","params":{"threadId":"t1","turn":{"status":"running"}}})", {}},
        {R"({"method":"turn/completed","params":{"threadId":"t1"}})", {}},
        {R"({"method":"item/tool/requestUserInput","params":{"threadId":"t1"}})", {TaskState::waitingInput}},
        {R"({"method":"item/commandExecution/requestApproval","params":{"threadId":"t1","itemId":"i1"}})", {TaskState::waitingApproval}},
        {R"({"method":"something/else","params":{"threadId":"t1"}})", {}},
        {R"({"method":"turn/started"})", {}},
        {R"({"id":3,"result":{}})", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<TaskState> states;
        for (const auto& e : parse(c.line))
            if (e.asTask()) states.push_back(e.asTask()->state);
        EXPECT_EQ(states, c.states);
    }
}

TEST(CodexMessageParser, ApprovalRequestsAddAPendingAction) {
    auto events = parse(R"({"method":"item/fileChange/requestApproval","params":{}})");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].asTask()->id, "unknown-thread");
    EXPECT_EQ(events[0].asTask()->title, "Codex task \u00B7 thread");
    EXPECT_EQ(events[0].asTask()->updatedAt, now);
    const auto* action = events[1].asPendingAction();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->id, "unknown-thread");
    EXPECT_EQ(action->taskID, "unknown-thread");
    EXPECT_EQ(action->kind, PendingActionKind::fileChange);
    EXPECT_EQ(action->requestedAt, now);

    auto cmd = parse(R"({"method":"item/commandExecution/requestApproval","params":{"threadId":"t9","itemId":"item-4"}})");
    EXPECT_EQ(cmd[1].asPendingAction()->id, "item-4");
    EXPECT_EQ(cmd[1].asPendingAction()->kind, PendingActionKind::command);
    auto perm = parse(R"({"method":"item/permissions/requestApproval","params":{"threadId":"t9"}})");
    EXPECT_EQ(perm[1].asPendingAction()->kind, PendingActionKind::permissions);
}

TEST(CodexMessageParser, BadInputFailsWithTheRightError) {
    using std::string_literals::operator""s;
    for (auto [text, error] :
         {std::pair{"not json"s, ProviderMessageParsingError::invalidJSON},
          std::pair{"{\"a\":"s, ProviderMessageParsingError::invalidJSON},
          std::pair{"[1,2]"s, ProviderMessageParsingError::invalidShape},
          std::pair{"\"text\""s, ProviderMessageParsingError::invalidShape},
          // nlohmann's lexer stops at a NUL as at the end of a C string.
          std::pair{R"({"method":"item/permissions/requestApproval","params":{"threadId":"t9"}})" "\0x"s,
                    ProviderMessageParsingError::invalidJSON}}) {
        EXPECT_EQ(parseMessage(std::string_view(text), "work", now), std::unexpected(error)) << text;
    }
}

TEST(CodexDefaultTitle, UsesTheLastSixCharacters) {
    EXPECT_EQ(defaultTaskTitle(""), "Codex task");
    EXPECT_EQ(defaultTaskTitle("abc"), "Codex task \u00B7 abc");
    EXPECT_EQ(defaultTaskTitle("01a25eab-1234-5678"), "Codex task \u00B7 4-5678");
    // Characters, not bytes: six accented letters stay whole.
    EXPECT_EQ(defaultTaskTitle("x\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"), "Codex task \u00B7 \u00E9\u00E9\u00E9\u00E9\u00E9\u00E9");
}

}  // namespace
