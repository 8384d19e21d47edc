#include <gtest/gtest.h>

#include "claude/claude_desktop_session_parser.hpp"
#include "model/json.hpp"

using namespace vigilorb;
using namespace vigilorb::claude;
using namespace std::string_view_literals;

namespace {

const Date now = Date::fromUnix(1'765'000'000);

std::optional<TaskSnapshot> parse(std::string_view metadata, std::string_view audit = "") {
    return ClaudeLocalSessionParser::parseSession(metadata, audit, "work", now).value();
}

std::string lines(std::initializer_list<std::string_view> ls) {
    std::string s;
    for (auto l : ls) (s += l) += '\n';
    return s;
}

}  // namespace

TEST(ClaudeLocalSessionParser, BuildsTheTaskFromMetadataAndAudit) {
    auto task = parse(R"({"sessionId":"abc","title":"  Tidy   the\n docs ","lastActivityAt":1764999000})",
                      lines({R"({"type":"command_lifecycle","state":"started","_audit_timestamp":"2025-12-06T05:00:00Z"})"}));
    ASSERT_TRUE(task);
    // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad
    EXPECT_EQ(task->id, "desktop-cowork-ba7816bf8f01cfea414140de");
    EXPECT_EQ(task->id.size(), 39u);
    EXPECT_FALSE(task->sourceID);
    EXPECT_EQ(task->accountID, "work");
    EXPECT_EQ(task->provider, AIProvider::claude);
    EXPECT_EQ(task->title, "Cowork · Tidy the docs");
    EXPECT_EQ(task->state, TaskState::running);
    EXPECT_EQ(task->updatedAt, Date::fromUnix(1'764'997'200));

    EXPECT_EQ(parse(R"({"sessionId":"abc","title":" \n "})")->title, "Cowork · Cowork task");
    EXPECT_EQ(parse(R"({"sessionId":"abc","title":7})")->title, "Cowork · Cowork task");
    EXPECT_EQ(parse(R"({"sessionId":" abc\n"})")->id, task->id) << "the session ID is trimmed before hashing";
    EXPECT_EQ(coworkTaskID(" abc"), "desktop-cowork-" + coworkTaskID(" abc").substr(15));
    EXPECT_NE(coworkTaskID(" abc"), task->id) << "the index hashes the ID as found";
}

TEST(ClaudeLocalSessionParser, MetadataErrors) {
    EXPECT_EQ(ClaudeLocalSessionParser::parseSession("{\"sessionId\":", "", "work", now),
              std::unexpected(ClaudeLocalSessionParseError::notJSON));
    for (const char* bad : {R"({"sessionId":"  "})", "[]", R"({"sessionId":5})", "{}", "\"x\""})
        EXPECT_EQ(ClaudeLocalSessionParser::parseSession(bad, "", "work", now),
                  std::unexpected(ClaudeLocalSessionParseError::invalidMetadata))
            << bad;
}

TEST(ClaudeLocalSessionParser, LastActivityAndFlags) {
    const double n = now.unix();
    struct Case {
        std::string metadata;
        std::string audit;
        std::optional<TaskState> state;
        std::optional<Date> updatedAt;
    };
    auto ms = [](double s) { return std::to_string(static_cast<long long>(s * 1000)); };
    auto s = [](double v) { return std::to_string(static_cast<long long>(v)); };
    Case cases[] = {
        {R"({"sessionId":"a","lastActivityAt":)" + ms(n - 30) + "}", "", TaskState::running, Date::fromUnix(n - 30)},
        {R"({"sessionId":"a","lastActivityAt":)" + s(n - 30) + "}", "", TaskState::running, Date::fromUnix(n - 30)},
        {R"({"sessionId":"a","lastActivityAt":)" + s(n - 600) + "}", "", TaskState::running, Date::fromUnix(n - 600)},
        {R"({"sessionId":"a","lastActivityAt":)" + s(n - 601) + "}", "", std::nullopt, std::nullopt},
        {R"({"sessionId":"a","lastActivityAt":"2025-01-01"})", "", TaskState::running, now},
        {R"({"sessionId":"a","isArchived":true})", lines({R"({"type":"user"})"}), std::nullopt, std::nullopt},
        {R"({"sessionId":"a","isDeleted":true})", lines({R"({"type":"user"})"}), std::nullopt, std::nullopt},
        {R"({"sessionId":"a","isArchived":"true","isDeleted":1})", "", TaskState::running, now},
        // An old session whose log ended long ago still yields its final state.
        {R"({"sessionId":"a","lastActivityAt":1})",
         lines({R"({"type":"result","timestamp":"2001-01-01T00:00:00Z"})"}), TaskState::completed,
         Date::fromReference(0)},
        // Audit events without a usable time fall back to the last activity.
        {R"({"sessionId":"a","lastActivityAt":)" + s(n - 5) + "}", lines({R"({"type":"assistant"})"}),
         TaskState::running, Date::fromUnix(n - 5)},
    };
    for (const auto& c : cases) {
        auto task = parse(c.metadata, c.audit);
        EXPECT_EQ(task.has_value(), c.state.has_value()) << c.metadata;
        if (task && c.state) {
            EXPECT_EQ(task->state, *c.state) << c.metadata;
            EXPECT_EQ(task->updatedAt, *c.updatedAt) << c.metadata;
        }
    }
}

TEST(ClaudeLocalSessionParser, AuditStateTable) {
    const auto T = [](int minute) {
        return Date::fromUnix(1'735'787'045 + minute * 60);  // 2025-01-02T03:04:05Z
    };
    struct Case {
        const char* name;
        std::string audit;
        std::optional<TaskState> state;
        std::optional<Date> date;
    };
    Case cases[] = {
        {"empty", "", std::nullopt, std::nullopt},
        {"started, completed, assistant",
         lines({R"({"type":"command_lifecycle","state":"started","timestamp":"2025-01-02T03:04:05Z"})",
                R"({"type":"command_lifecycle","state":" COMPLETED ","timestamp":"2025-01-02T03:05:05Z"})",
                R"({"type":"assistant","timestamp":"2025-01-02T03:06:05Z"})"}),
         TaskState::running, T(2)},
        {"started, completed",
         lines({R"({"type":"command_lifecycle","state":"started","timestamp":"2025-01-02T03:04:05Z"})",
                R"({"type":"command_lifecycle","state":"completed","timestamp":"2025-01-02T03:05:05Z"})"}),
         TaskState::completed, T(1)},
        {"lifecycle variants",
         lines({R"({"type":"command_lifecycle","state":"queued"})", R"({"type":"command_lifecycle","state":"error"})"}),
         TaskState::failed, std::nullopt},
        {"canceled spelling", lines({R"({"type":"command_lifecycle","state":"canceled"})"}), TaskState::cancelled,
         std::nullopt},
        {"unknown lifecycle state ignored",
         lines({R"({"type":"user","timestamp":"2025-01-02T03:04:05Z"})",
                R"({"type":"command_lifecycle","state":"paused","timestamp":"2025-01-02T03:09:05Z"})"}),
         TaskState::running, T(0)},
        {"cancel beats error",
         lines({R"({"type":"result","terminal_reason":"User_Cancelled","is_error":true})"}), TaskState::cancelled,
         std::nullopt},
        {"interrupt", lines({R"({"type":"result","terminal_reason":"interrupted"})"}), TaskState::cancelled,
         std::nullopt},
        {"is_error", lines({R"({"type":"result","is_error":true})"}), TaskState::failed, std::nullopt},
        {"is_error as text is false", lines({R"({"type":"result","is_error":"true"})"}), TaskState::completed,
         std::nullopt},
        {"subtype error", lines({R"({"type":"result","subtype":"Error"})"}), TaskState::failed, std::nullopt},
        {"reason with fail", lines({R"({"type":"result","terminal_reason":"tool_failure"})"}), TaskState::failed,
         std::nullopt},
        {"user after result", lines({R"({"type":"result"})", R"({"type":"user"})"}), TaskState::running,
         std::nullopt},
        {"question", lines({R"({"type":"system","subtype":"Permission_Request","tool_name":"AskUserQuestion"})"}),
         TaskState::waitingInput, std::nullopt},
        {"approval", lines({R"({"type":"system","subtype":"permission_request","tool_name":"Bash"})"}),
         TaskState::waitingApproval, std::nullopt},
        {"approval without tool", lines({R"({"type":"system","subtype":"permission_request"})"}),
         TaskState::waitingApproval, std::nullopt},
        {"response", lines({R"({"type":"system","subtype":"permission_request"})",
                            R"({"type":"system","subtype":"permission_response"})"}),
         TaskState::running, std::nullopt},
        {"status requesting", lines({R"({"type":"system","subtype":"status","status":"Requesting"})"}),
         TaskState::running, std::nullopt},
        {"other system ignored", lines({R"({"type":"system","subtype":"init"})", R"({"type":"system"})"}),
         std::nullopt, std::nullopt},
        {"type compared as written", lines({R"({"type":"System","subtype":"permission_request"})",
                                            R"({"type":"Assistant"})"}),
         std::nullopt, std::nullopt},
        {"type is trimmed", lines({R"({"type":" user "})"}), TaskState::running, std::nullopt},
        {"values of the wrong type count as absent",
         lines({R"({"type":"user","_audit_timestamp":12,"timestamp":"2025-01-02T03:04:05Z"})",
                R"({"type":"command_lifecycle","state":5})", R"({"type":"system","subtype":{"x":1}})",
                R"({"type":"result","terminal_reason":["cancel"],"subtype":null})"}),
         TaskState::completed, T(0)},
        {"bad lines skipped, first partial line too",
         "mmand_lifecycle\",\"state\":\"failed\"}\n\n[1]\n{\"type\":5}\n{\"type\":\"\"}\n{\"type\":\"result\"}\n{",
         TaskState::completed, std::nullopt},
        // nlohmann's lexer stops at a NUL as at the end of a C string.
        {"a line with a NUL and garbage is skipped",
         lines({R"({"type":"user"})", R"({"type":"result"})" "\0garbage"sv}), TaskState::running, std::nullopt},
        {"fractional audit timestamp falls back to timestamp",
         lines({R"({"type":"user","_audit_timestamp":"2025-01-02T03:04:05.123Z","timestamp":"2025-01-02T03:05:05Z"})"}),
         TaskState::running, T(1)},
        {"undated event inherits the previous date",
         lines({R"({"type":"user","timestamp":"2025-01-02T03:04:05Z"})",
                R"({"type":"result","timestamp":"yesterday"})"}),
         TaskState::completed, T(0)},
        {"audit timestamp wins", lines({R"({"type":"user","_audit_timestamp":"2025-01-02T03:06:05Z","timestamp":"2025-01-02T03:04:05Z"})"}),
         TaskState::running, T(2)},
        {"file order, not time order",
         lines({R"({"type":"result","timestamp":"2025-01-02T03:09:05Z"})",
                R"({"type":"user","timestamp":"2025-01-02T03:04:05Z"})"}),
         TaskState::running, T(0)},
    };
    for (const auto& c : cases) {
        auto r = ClaudeLocalSessionParser::auditState(c.audit);
        EXPECT_EQ(r.state, c.state) << c.name;
        EXPECT_EQ(r.date, c.date) << c.name;
    }
}
