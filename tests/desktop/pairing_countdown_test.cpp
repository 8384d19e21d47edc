#include <gtest/gtest.h>

#include "desktop/pairing_countdown.hpp"

using namespace vigilorb;
using namespace vigilorb::desktop;

TEST(PairingCountdown, RoundsUpAndTurnsSingularThenExpired) {
    const Date issued = Date::fromReference(800000000);
    const PairingCountdown countdown{issued + 120};
    struct Case {
        double elapsed;
        const char* text;
    } cases[] = {
        {0, "Expires in 120 seconds"},      {0.4, "Expires in 120 seconds"}, {1, "Expires in 119 seconds"},
        {118.5, "Expires in 2 seconds"},     {119, "Expires in 1 second"},    {119.999, "Expires in 1 second"},
        {120, "Pairing invitation expired"}, {500, "Pairing invitation expired"},
        // A clock set back after the sheet opened shows the longer time honestly.
        {-10, "Expires in 130 seconds"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(countdown.text(issued + c.elapsed), c.text) << c.elapsed;
        EXPECT_EQ(countdown.expired(issued + c.elapsed), std::string(c.text) == invitationExpiredText) << c.elapsed;
    }
}
