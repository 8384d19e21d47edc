#include <gtest/gtest.h>

#include "claude/claude_statusline_parser.hpp"

using namespace vigilorb;
using vigilorb::claude::ClaudeStatusLineParser;

namespace {

const Date captured = Date::fromReference(800000000);

bool failsAsInvalidJSON(std::string_view input) {
    return ClaudeStatusLineParser::parse(input, "work", captured) == std::unexpected(ProviderMessageParsingError::invalidJSON);
}

}  // namespace

TEST(ClaudeStatusLineParser, ReadsBothWindowsAsTheRealCLIWritesThem) {
    // Shape of a real refresh: many other members, fractional percentage, Unix seconds.
    auto q = ClaudeStatusLineParser::parse(
        R"({"session_id":"b88d","model":{"id":"claude-x"},"cost":{"total_cost_usd":0.1},
            "rate_limits":{"five_hour":{"used_percentage":37.5,"resets_at":1796888558},
                           "seven_day":{"used_percentage":12,"resets_at":1797316958}}})",
        "work", captured).value();
    ASSERT_TRUE(q);
    EXPECT_EQ(q->accountID, "work");
    EXPECT_EQ(q->provider, AIProvider::claude);
    EXPECT_FALSE(q->sourceID);
    EXPECT_EQ(q->capturedAt, captured);
    ASSERT_EQ(q->windows.size(), 2u);
    EXPECT_EQ(q->windows[0], (QuotaWindow{QuotaWindowKind::fiveHour, 37.5, Date::fromUnix(1796888558), 300}));
    EXPECT_EQ(q->windows[1], (QuotaWindow{QuotaWindowKind::sevenDay, 12, Date::fromUnix(1797316958), 10080}));
}

TEST(ClaudeStatusLineParser, NoWindowsGiveNothing) {
    for (auto input : {R"({"model":{"id":"x"}})", R"({"rate_limits":{}})", R"({"rate_limits":null})",
                       R"({"rate_limits":{"other":{"used_percentage":3}}})"})
        EXPECT_FALSE(ClaudeStatusLineParser::parse(input, "work", captured).value()) << input;
}

TEST(ClaudeStatusLineParser, OneWindowClampedAndResetOptional) {
    struct Case {
        const char* input;
        QuotaWindow expected;
    } cases[] = {
        {R"({"rate_limits":{"seven_day":{"used_percentage":135.2}}})", {QuotaWindowKind::sevenDay, 100, {}, 10080}},
        {R"({"rate_limits":{"five_hour":{"used_percentage":-3}}})", {QuotaWindowKind::fiveHour, 0, {}, 300}},
        // Unix seconds, not seconds since 2001: one day in is 1970-01-02.
        {R"({"rate_limits":{"five_hour":{"used_percentage":42.5,"resets_at":86400}}})",
         {QuotaWindowKind::fiveHour, 42.5, Date::fromUnix(86400), 300}},
    };
    for (const auto& c : cases) {
        auto q = ClaudeStatusLineParser::parse(c.input, "work", captured).value();
        ASSERT_TRUE(q) << c.input;
        ASSERT_EQ(q->windows.size(), 1u);
        EXPECT_EQ(q->windows[0], c.expected) << c.input;
    }
    EXPECT_DOUBLE_EQ(Date::fromUnix(86400).sinceReference, 86400 - 978307200.0);
}

TEST(ClaudeStatusLineParser, MalformedInputFails) {
    for (auto input : {"", "not json", "[1,2]", R"({"rate_limits":{"five_hour":{}}})",
                       R"({"rate_limits":{"five_hour":{"used_percentage":"37"}}})",
                       R"({"rate_limits":{"five_hour":{"used_percentage":3,"resets_at":"soon"}}})",
                       R"({"rate_limits":[]})", R"({"rate_limits":{"five_hour":{"used_percentage":1e999}}})",
                       "{\"rate_limits\":{}} trailing"})
        EXPECT_TRUE(failsAsInvalidJSON(input)) << input;
}

TEST(ClaudeStatusLineParser, OnlyWhitespaceMayFollowTheDocument) {
    using namespace std::string_literals;
    const std::string limits = R"({"rate_limits":{"five_hour":{"used_percentage":37}}})";
    auto q = ClaudeStatusLineParser::parse(limits + "\n \t\r", "work", captured);
    ASSERT_TRUE(q && *q);
    // nlohmann's lexer stops at a NUL byte as at the end of a C string.
    for (const std::string& input : {limits + "\0"s, limits + "\0garbage"s, limits + "\n\0\0"s, limits + " {}"})
        EXPECT_TRUE(failsAsInvalidJSON(input)) << Json(input).dump();
}
