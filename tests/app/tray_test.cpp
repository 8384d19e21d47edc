#include <QAction>

#include "app/tray.hpp"
#include "window_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::test;

namespace {

TEST(Tray, CountsPendingApprovalsAndItsMenuActs) {
    application();
    std::vector<std::string> done;
    app::CompanionTray tray({[&] { done.push_back("show"); }, [&] { done.push_back("pair"); },
                             [&] { done.push_back("quit"); }});
    struct Case {
        int count;
        const char* toolTip;
    } cases[] = {{0, "Tallyloom Companion"},
                 {1, "Tallyloom Companion \u00B7 1 approval waiting"},
                 {7, "Tallyloom Companion \u00B7 7 approvals waiting"},
                 {0, "Tallyloom Companion"}};
    for (const auto& c : cases) {
        tray.setPendingApprovals(c.count);
        EXPECT_EQ(tray.icon().toolTip(), QString::fromUtf8(c.toolTip));
        EXPECT_FALSE(tray.icon().icon().isNull());
    }
    // The badge changes the picture: a count is visible, not only in the tooltip.
    tray.setPendingApprovals(0);
    auto plain = tray.icon().icon().pixmap(32, 32).toImage();
    tray.setPendingApprovals(3);
    EXPECT_NE(tray.icon().icon().pixmap(32, 32).toImage(), plain);

    QStringList labels;
    for (auto* action : tray.menu().actions()) {
        if (action->isSeparator()) continue;
        labels << action->text();
        action->trigger();
    }
    EXPECT_EQ(labels, (QStringList{"Show Window", "Generate Pairing Code", "Quit"}));
    EXPECT_EQ(done, (std::vector<std::string>{"show", "pair", "quit"}));
}

}  // namespace
