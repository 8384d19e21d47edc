#include <gtest/gtest.h>

#include <optional>

#include "model/date.hpp"

using namespace vigilorb;

// One parser serves Codex (RFC 3339 with fractions) and Claude Desktop (whole seconds only);
// each row says what each form makes of the same text.
TEST(InternetDateTime, EachFormAcceptsItsOwnShapes) {
    const double base = 1796883485;  // 2026-12-10T06:18:05Z
    struct Case {
        const char* text;
        std::optional<double> rfc3339, wholeSeconds;
    } cases[] = {
        {"2026-12-10T06:18:05Z", base, base},
        {"2026-12-10T08:18:05+02:00", base, base},
        {"2026-12-10T05:48:05-00:30", base, base},
        {"2001-01-01T00:00:00Z", Date::unixOffset, Date::unixOffset},
        {"2024-02-29T23:59:59Z", 1709251199, 1709251199},
        {"2026-12-10T06:18:05.250Z", base + 0.25, std::nullopt},
        {"2026-12-10T06:36:48.735318361Z", base + 1123.735318361, std::nullopt},
        {"2026-12-10t06:18:05z", base, std::nullopt},
        {"2026-12-10T08:18:05+0200", base, std::nullopt},
        {"2026-12-10T06:18:60Z", base + 55, std::nullopt},  // a leap second
        {"2026-12-10T06:18:05", std::nullopt, std::nullopt},
        {"2026-12-10 06:18:05Z", std::nullopt, std::nullopt},
        {"2026-02-30T06:18:05Z", std::nullopt, std::nullopt},
        {"2026-12-10T24:00:00Z", std::nullopt, std::nullopt},
        {"2026-12-10T06:18:05.Z", std::nullopt, std::nullopt},
        {"2026-12-10T06:18:05Zjunk", std::nullopt, std::nullopt},
        {"2026-1-10T06:18:05Z", std::nullopt, std::nullopt},
        {"\xef\xbc\x91\xef\xbc\x99\xef\xbc\x99\xef\xbc\x99-01-02T03:04:05Z", std::nullopt, std::nullopt},  // full-width digits
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        for (auto [form, want] : {std::pair{DateTimeForm::rfc3339, c.rfc3339}, std::pair{DateTimeForm::wholeSeconds, c.wholeSeconds}}) {
            auto d = parseInternetDateTime(c.text, form);
            ASSERT_EQ(d.has_value(), want.has_value()) << c.text << " form " << static_cast<int>(form);
            if (d) {
                EXPECT_NEAR(d->unix(), *want, 1e-5) << c.text;
            }
        }
    }
}
