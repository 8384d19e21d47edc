#include <gtest/gtest.h>

#include "model/records.hpp"

using namespace vigilorb;

TEST(Records, QuotaIdentityUsesLocalWithoutSource) {
    AccountQuotaSnapshot q{std::nullopt, "a_1", AIProvider::codex, {}, Date{}};
    EXPECT_EQ(q.id(), "local:codex:a_1");
    q.sourceID = "mac";
    EXPECT_EQ(q.id(), "mac:codex:a_1");
}

TEST(Records, WindowWithoutOptionalsHasOnlyKindAndPercentage) {
    Json j = QuotaWindow{QuotaWindowKind::primary, 42.5, std::nullopt, std::nullopt};
    EXPECT_EQ(j, Json::parse(R"({"kind":"primary","usedPercentage":42.5})"));
}

TEST(Records, DatesAreSecondsSince2001AndIntegralOnesHaveNoFraction) {
    EXPECT_EQ(dateToJson(Date::fromReference(10)).dump(), "10");
    EXPECT_EQ(dateToJson(Date::fromReference(10.25)).dump(), "10.25");
    EXPECT_EQ(Date::fromUnix(978307210).sinceReference, 10);
}

TEST(Records, RoundTripKeepsEveryField) {
    TaskSnapshot t{"t1", "mac", "work", AIProvider::claude, "Fix the build", TaskState::waitingInput,
                   Date::fromReference(12.5)};
    EXPECT_EQ(Json(t).get<TaskSnapshot>(), t);
    PendingAction a{"t1-permission", std::nullopt, "t1", "work", AIProvider::claude, PendingActionKind::permissions,
                    Date::fromReference(3)};
    EXPECT_EQ(Json(a).get<PendingAction>(), a);
    AccountQuotaSnapshot q{std::nullopt, "work", AIProvider::claude,
                           {{QuotaWindowKind::fiveHour, 37, Date::fromReference(99), 300}}, Date::fromReference(4)};
    EXPECT_EQ(Json(q).get<AccountQuotaSnapshot>(), q);
}

struct TaskDecodeCase {
    const char* name;
    const char* json;
    bool ok;
};

class TaskDecoding : public ::testing::TestWithParam<TaskDecodeCase> {};

TEST_P(TaskDecoding, AcceptsOrRefuses) {
    auto c = GetParam();
    auto j = Json::parse(c.json);
    if (c.ok) {
        auto t = j.get<TaskSnapshot>();
        EXPECT_FALSE(t.sourceID.has_value());
    } else {
        EXPECT_THROW(j.get<TaskSnapshot>(), std::exception);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TaskDecoding,
    ::testing::Values(
        TaskDecodeCase{"nullSource", R"({"id":"t","sourceID":null,"accountID":"a","provider":"claude","title":"x","state":"running","updatedAt":1})", true},
        TaskDecodeCase{"missingSource", R"({"id":"t","accountID":"a","provider":"claude","title":"x","state":"failed","updatedAt":1.5})", true},
        TaskDecodeCase{"unknownState", R"({"id":"t","accountID":"a","provider":"claude","title":"x","state":"paused","updatedAt":1})", false},
        TaskDecodeCase{"unknownProvider", R"({"id":"t","accountID":"a","provider":"gemini","title":"x","state":"running","updatedAt":1})", false},
        TaskDecodeCase{"wrongCase", R"({"id":"t","accountID":"a","provider":"claude","title":"x","state":"Running","updatedAt":1})", false},
        TaskDecodeCase{"missingTitle", R"({"id":"t","accountID":"a","provider":"claude","state":"running","updatedAt":1})", false},
        TaskDecodeCase{"dateAsText", R"({"id":"t","accountID":"a","provider":"claude","title":"x","state":"running","updatedAt":"2026-01-01T00:00:00Z"})", false},
        TaskDecodeCase{"nullRequired", R"({"id":null,"accountID":"a","provider":"claude","title":"x","state":"running","updatedAt":1})", false}),
    [](const auto& info) { return info.param.name; });

TEST(Records, NormalizedTitle) {
    EXPECT_EQ(normalizedTitle(std::nullopt), std::nullopt);
    EXPECT_EQ(normalizedTitle(std::string(" \n\t  \r\n")), std::nullopt);
    EXPECT_EQ(normalizedTitle(std::string("  fix\nthe\tbuild   now  ")), "fix the build now");
    // Non-ASCII whitespace (ideographic space, line separator) splits words too.
    EXPECT_EQ(normalizedTitle(std::string("a\u3000b\u2028c")), "a b c");
    EXPECT_EQ(normalizedTitle(std::string(600, 'x'))->size(), 500u);
    // 500 user-perceived characters, not bytes or scalars: "é" as e + combining accent is one.
    std::string accented;
    for (int i = 0; i < 600; ++i) accented += "e\u0301";
    auto cut = normalizedTitle(accented);
    EXPECT_EQ(cut->size(), 500u * 3);
}

TEST(Records, NormalizedTitleIsBoundedInBytes) {
    auto repeat = [](std::string_view piece, std::size_t times) {
        std::string s;
        for (std::size_t i = 0; i < times; ++i) s += piece;
        return s;
    };
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes, one character
    const std::string zalgo = "Z" + repeat("\u0301", 600000);                  // 1.2 MB, one character
    struct Case {
        const char* name;
        std::string title;
        std::string expected;
    } cases[] = {
        // 500 characters of four bytes each fit.
        {"astral", repeat("\U0001D400", 600), repeat("\U0001D400", 500)},
        // A family emoji (a ZWJ sequence) is one character and stays whole: 500 of them are
        // 9,000 bytes, so as many as fit.
        {"zwj sequences", repeat(family, 500), repeat(family, maxTitleBytes / family.size())},
        // A character that does not fit after others is left out, with the space before it.
        {"huge last word", "fix the " + zalgo, "fix the"},
        // One that does not fit on its own is cut between its code points.
        {"one huge character", zalgo, zalgo.substr(0, 1 + (maxTitleBytes - 1) / 2 * 2)},
        // A 500-character cut before a word drops the space too.
        {"cut at a space", repeat("a", 499) + " tail", repeat("a", 499)},
    };
    for (const auto& c : cases) {
        auto title = normalizedTitle(c.title);
        ASSERT_TRUE(title) << c.name;
        EXPECT_EQ(*title, c.expected) << c.name;
        EXPECT_LE(title->size(), maxTitleBytes) << c.name;
    }
}

struct PlaceholderCase {
    const char* title;
    AIProvider provider;
    bool placeholder;
};

TEST(Records, PlaceholderTitles) {
    const PlaceholderCase cases[] = {
        {"Codex task", AIProvider::codex, true},
        {"Codex task · abc123", AIProvider::codex, true},
        {"Codex 任务 · 任务任务任务", AIProvider::codex, true},
        {"Codex task · abc1234", AIProvider::codex, false},
        {"Codex task · abc 12", AIProvider::codex, false},
        {"Codex task · abc12", AIProvider::codex, false},
        {"codex task", AIProvider::codex, false},
        {"Codex task", AIProvider::claude, false},
        {"Claude task", AIProvider::claude, true},
        {"Claude task · anything at all here", AIProvider::claude, true},
        {"Cowork task", AIProvider::claude, true},
        {"Cowork 任务", AIProvider::claude, true},
        {"Cowork · Cowork 任务", AIProvider::claude, true},
        {"Claude task", AIProvider::codex, false},
        {"Refactor the parser", AIProvider::claude, false},
    };
    for (auto& c : cases) EXPECT_EQ(isPlaceholderTitle(c.title, c.provider), c.placeholder) << c.title;
}
