#include <gtest/gtest.h>

#include "model/events.hpp"

using namespace vigilorb;

TEST(Events, QuotaEnvelopeHasTaggedFormAndRoundTrips) {
    AccountQuotaSnapshot q{std::nullopt, "work", AIProvider::claude, {{QuotaWindowKind::sevenDay, 12, {}, 10080}},
                           Date::fromReference(100)};
    auto e = ProviderEventEnvelope::make(NormalizedProviderEvent::quota(q), Date::fromReference(101));
    auto j = Json::parse(encodeEnvelope(e));
    EXPECT_EQ(j.size(), 3u);
    EXPECT_EQ(j["recordedAt"], 101);
    ASSERT_TRUE(j["event"].contains("quota"));
    EXPECT_EQ(j["event"]["quota"]["_0"]["accountID"], "work");
    EXPECT_EQ(decodeEnvelope(encodeEnvelope(e)).value(), e);
}

TEST(Events, UUIDsAreCanonicalUpperCaseAndFresh) {
    auto a = makeUUID(), b = makeUUID();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(a[i], '-');
        else
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(a[i])) || (a[i] >= 'A' && a[i] <= 'F')) << a;
    }
}

TEST(Events, EventWithWrongNumberOfKeysFailsWithExactMessage) {
    for (const char* text : {R"({})", R"({"task":{"_0":{}},"quota":{"_0":{}}})"}) {
        auto decoded = json::decode<NormalizedProviderEvent>(text);
        ASSERT_FALSE(decoded) << text;
        EXPECT_EQ(decoded.error(), (json::DocumentFailure{json::DocumentError::invalidShape,
                                                          "Invalid number of keys found, expected one."}));
    }
}

TEST(Events, BadEnvelopesAreRefused) {
    const char* task = R"({"id":"t","accountID":"a","provider":"claude","title":"x","state":"running","updatedAt":1})";
    const std::string cases[] = {
        "not json",
        "[]",
        R"({"id":"X","recordedAt":1})",
        std::string(R"({"id":"X","recordedAt":1,"event":{"job":{"_0":)") + task + "}}}",
        std::string(R"({"id":"X","recordedAt":1,"event":{"task":{"value":)") + task + "}}}",
        std::string(R"({"recordedAt":1,"event":{"task":{"_0":)") + task + "}}}",
    };
    for (auto& c : cases) {
        auto decoded = decodeEnvelope(c);
        ASSERT_FALSE(decoded) << c;
        EXPECT_EQ(decoded.error().code, c == "not json" ? json::DocumentError::invalidJSON : json::DocumentError::invalidShape) << c;
    }
    auto good = decodeEnvelope(std::string(R"({"id":"X","recordedAt":1,"event":{"task":{"_0":)") + task + "}}}");
    EXPECT_TRUE(good) << good.error().detail;
}

TEST(Events, AccountIDRule) {
    struct Case {
        std::string id;
        bool valid;
    };
    const Case cases[] = {
        {"", false},
        {std::string(64, 'a'), true},
        {std::string(65, 'a'), false},
        {"work_2-b", true},
        {"Zürich", true},
        {"工作", true},
        {"e\u0301t\u0301", true},  // combining marks
        {"١٢٣", true},              // Arabic-Indic digits
        {"a.b", false},
        {"a b", false},
        {"a/b", false},
        {"..", false},
        {"a:b", false},
        {"a\nb", false},
        {"emoji😀", false},
        {std::string("bad\xff"), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(isValidAccountID(c.id), c.valid) << c.id;
        auto profile = AccountProfile::make(c.id, AIProvider::claude, c.id);
        if (c.valid)
            EXPECT_EQ(profile, (AccountProfile{c.id, AIProvider::claude, c.id}));
        else
            EXPECT_EQ(profile, std::unexpected(AccountProfileError::invalidIdentifier)) << c.id;
    }
    // 64 user-perceived characters even when each is several scalars.
    std::string composed;
    for (int i = 0; i < 64; ++i) composed += "e\u0301";
    EXPECT_TRUE(isValidAccountID(composed));
    EXPECT_FALSE(isValidAccountID(composed + "e"));
}
