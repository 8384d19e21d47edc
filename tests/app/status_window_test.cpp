#include <QApplication>
#include <QColor>
#include <QFrame>
#include <QLocale>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTableView>

#include <algorithm>

#include "desktop/app_identity.hpp"
#include "desktop/autostart.hpp"
#include "runtime/claude_desktop_runtime_side.hpp"
#include "window_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::test;

namespace {

struct StatusWindow : WindowFixture {
    QStringList accountRowIDs() {
        QStringList ids;
        for (auto* row : window->findChildren<QFrame*>()) {
            if (!row->objectName().startsWith("accountRow:") || row->parent() == nullptr) continue;
            ids << row->objectName().mid(11);
        }
        return ids;
    }
    // Rows are replaced by new widgets; the old ones go at the next turn of the loop.
    void settle() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
};

TEST_F(StatusWindow, StartsWithTheInitialTextsAndFollowsTheRuntime) {
    open(runtimeOptions(), true);
    EXPECT_EQ(window->windowTitle(), "Tallyloom Companion");
    EXPECT_EQ(labelText(*window, "windowSubtitle"),
              QString::fromUtf8("v0.1.0 \u00B7 Ann's Workstation \u00B7 Local read-only companion"));
    EXPECT_EQ(labelText(*window, "codexSummary"), "Waiting for local capture to start");
    EXPECT_EQ(child<QLabel>(*window, "codexHealth")->accessibleName(), "Needs attention");
    EXPECT_EQ(labelText(*window, "claudeSummary"), QString::fromUtf8("Detecting the local CLI\u2026"));
    EXPECT_EQ(labelText(*window, "claudeDesktopObserverStatus"), "Not enabled");
    EXPECT_EQ(child<QLineEdit>(*window, "accountID")->text(), "codex-default");
    EXPECT_EQ(child<QLineEdit>(*window, "claudeAccountID")->text(), "claude-desktop");
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Start Observing");
    EXPECT_EQ(child<QPushButton>(*window, "generatePairingInvitation")->text(), "Generate Pairing Code");
    EXPECT_EQ(labelText(*window, "pairingCaption"),
              QString::fromUtf8("Generated only on this Mac \u00B7 Valid for 2 minutes \u00B7 Reconnects automatically "
                                "after pairing"));
    EXPECT_EQ(labelText(*window, "transportStatus"), "Local connection is not available");
    EXPECT_EQ(labelText(*window, "approvalCount"), "0");

    ASSERT_TRUE(eventually([&] { return labelText(*window, "claudeSummary").startsWith("Claude CLI not detected"); }));
    runtime->setCodexSummary("Codex quota connected", true);
    EXPECT_EQ(labelText(*window, "codexSummary"), "Codex quota connected");
    EXPECT_EQ(child<QLabel>(*window, "codexHealth")->accessibleName(), "Healthy");
    runtime->setClaudeDesktopObserver(true, "Scanning local Cowork sessions");
    EXPECT_EQ(labelText(*window, "claudeDesktopObserverStatus"), "Scanning local Cowork sessions");
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Stop Observing");
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->accessibleName(), "Stop Observing");
}

TEST_F(StatusWindow, AccountRowsAreSortedAndARemovedAccountDisappears) {
    open();
    runtime->setAccountStatus("b", "Waiting for server version", false);
    runtime->setAccountStatus("Claude/a", "Read-only quota and task state updated", true);
    runtime->setAccountStatus("a", "Codex quota connected", true);
    settle();
    EXPECT_EQ(accountRowIDs(), (QStringList{"Claude/a", "a", "b"}));
    auto* row = window->findChild<QFrame*>("accountRow:b");
    ASSERT_NE(row, nullptr);
    bool detailShown = false;
    for (auto* label : row->findChildren<QLabel*>()) detailShown |= label->text() == "Waiting for server version";
    EXPECT_TRUE(detailShown);
    auto* remove = row->findChild<QPushButton*>("removeAccount");
    ASSERT_NE(remove, nullptr);
    EXPECT_EQ(remove->accessibleName(), "Remove");
    EXPECT_EQ(remove->accessibleDescription(), "b");

    runtime->removeAccountStatus("a");
    settle();
    EXPECT_EQ(accountRowIDs(), (QStringList{"Claude/a", "b"}));
}

TEST_F(StatusWindow, CountsUseTheCurrentLocale) {
    open();
    store::CompanionSnapshot snapshot;
    for (int i = 0; i < 1234; ++i) {
        TaskSnapshot t{"t" + std::to_string(i), std::nullopt, "work", AIProvider::claude, "Task", TaskState::completed, now};
        snapshot.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
    }
    struct Case {
        QLocale locale;
        const char* tasks;
    } cases[] = {{QLocale(QLocale::English, QLocale::UnitedStates), "1,234"},
                 {QLocale(QLocale::German, QLocale::Germany), "1.234"}};
    for (const auto& c : cases) {
        QLocale::setDefault(c.locale);
        runtime->publish(snapshot);
        EXPECT_EQ(labelText(*window, "taskStateCount"), c.tasks);
        EXPECT_EQ(labelText(*window, "accountSnapshotCount"), "0");
    }
    QLocale::setDefault(QLocale::c());
}

TEST_F(StatusWindow, QuotaBarsAndWaitingTasksFirst) {
    timeRefresh = std::chrono::milliseconds(20);
    open();
    store::CompanionSnapshot snapshot;
    AccountQuotaSnapshot quota{std::nullopt, "work", AIProvider::claude,
                               {{QuotaWindowKind::fiveHour, 42.4, now + 7500, 300}, {QuotaWindowKind::sevenDay, 130, std::nullopt, std::nullopt}},
                               now};
    snapshot.quotasByAccount[store::CompanionSnapshot::quotaKey(AIProvider::claude, "work")] = quota;
    TaskSnapshot running{"r", std::nullopt, "work", AIProvider::claude, "Refactor", TaskState::running, now - 30};
    TaskSnapshot asking{"w", std::nullopt, "work", AIProvider::claude, "Deploy", TaskState::waitingApproval, now - 600};
    for (const auto& t : {running, asking}) snapshot.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
    runtime->publish(snapshot);

    QStringList bars;
    for (auto* bar : window->findChildren<QProgressBar*>()) bars << bar->accessibleName() + "=" + bar->text();
    EXPECT_EQ(bars, (QStringList{"5-hour quota=42% used", "7-day quota=130% used"}));
    bool resetShown = false;
    for (auto* label : window->findChildren<QLabel*>()) resetShown |= label->text() == "resets in 2 h 5 min";
    EXPECT_TRUE(resetShown);

    auto& model = window->taskModel();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.index(0, app::TaskListModel::title).data().toString(), "Deploy");
    EXPECT_EQ(model.index(0, app::TaskListModel::state).data().toString(), "Waiting for approval");
    EXPECT_EQ(model.index(0, app::TaskListModel::changed).data().toString(), "10 min ago");
    EXPECT_EQ(model.index(1, app::TaskListModel::title).data().toString(), "Refactor");

    // Time passes: the relative texts follow without a new snapshot.
    int resets = 0;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&] { ++resets; });
    now = now + 3600;
    ASSERT_TRUE(eventually([&] { return resets > 0; }));
    EXPECT_EQ(model.index(0, app::TaskListModel::changed).data().toString(), "1 h 10 min ago");
    bool resetMoved = false;
    for (auto* label : window->findChildren<QLabel*>()) resetMoved |= label->text() == "resets in 1 h 5 min";
    EXPECT_TRUE(resetMoved);
}

TEST_F(StatusWindow, ClosingHidesToTheTrayOnlyWhereThereIsOne) {
    open();
    window->setClosesToTray(true);
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    window->present();
    EXPECT_TRUE(window->isVisible());
    window->setClosesToTray(false);
    EXPECT_TRUE(window->close());
}

TEST_F(StatusWindow, TheVersionFallsBackWhenTheBuildSetsNone) {
    EXPECT_EQ(desktop::versionText(""), "1.2.1");
    EXPECT_EQ(desktop::versionText("0.3.0"), "0.3.0");
}

struct CoworkWindow : StatusWindow {
    runtime::ProviderRuntimeOptions withDesktopSide() {
        auto o = runtimeOptions();
        o.sides = {[](runtime::ProviderRuntimeController& c) { return std::make_unique<runtime::ClaudeDesktopRuntimeSide>(c); }};
        o.coworkScanPeriod = std::chrono::milliseconds(50);
        o.claudeDesktopUsagePeriod = std::chrono::milliseconds(50);
        return o;
    }
};

TEST_F(CoworkWindow, FirstLaunchTurnsTheObserverLabelToStop) {
    open(withDesktopSide(), true);
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Start Observing");
    EXPECT_TRUE(eventually(
        [&] { return child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text() == "Stop Observing"; }));
    child<QPushButton>(*window, "toggleClaudeDesktopObserver")->click();
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Start Observing");
    EXPECT_EQ(labelText(*window, "claudeDesktopObserverStatus"), "Stopped; Claude Desktop will no longer be read");
}

TEST_F(CoworkWindow, ScanNowBeforeTheObserverEverStartedDoesNothing) {
    // Not the first launch, and the observer was never turned on.
    preferences.setBoolean(runtime::claude_desktop_keys::configured, true);
    preferences.setBoolean(runtime::claude_desktop_keys::enabled, false);
    open(withDesktopSide());
    auto statusBefore = labelText(*window, "claudeDesktopObserverStatus");
    child<QPushButton>(*window, "scanNow")->click();
    QTest::qWait(200);
    EXPECT_FALSE(runtime->claudeDesktopObserverEnabled());
    EXPECT_EQ(labelText(*window, "claudeDesktopObserverStatus"), statusBefore);
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Start Observing");
    EXPECT_TRUE(accountRowIDs().isEmpty());

    // The field's account as typed goes to the runtime.
    child<QLineEdit>(*window, "claudeAccountID")->setText("desk-2");
    child<QPushButton>(*window, "toggleClaudeDesktopObserver")->click();
    EXPECT_EQ(child<QPushButton>(*window, "toggleClaudeDesktopObserver")->text(), "Stop Observing");
    EXPECT_EQ(preferences.string(runtime::claude_desktop_keys::account), "desk-2");
}

TEST_F(StatusWindow, LaunchAtLoginToggleWritesTheEntryAndShowsFailures) {
    open();
    auto* toggle = child<QCheckBox>(*window, "launchAtLogin");
    EXPECT_FALSE(toggle->isChecked());  // a build folder leaves the registration alone
    toggle->click();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(std::filesystem::exists(autostart()));
    EXPECT_EQ(preferences.string(desktop::launchAtLoginPathKey), "/opt/build/bin/vigilorb-companion");
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(std::filesystem::exists(autostart()));

    // No autostart folder can be made: the toggle snaps back and the status line says why.
    std::filesystem::remove_all(autostart().parent_path());
    writeText(autostart().parent_path(), "a file");
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(labelText(*window, "transportStatus"), "Could not update the launch-at-login setting");
}

TEST_F(StatusWindow, EveryControlIsNamedAfterItsLabelAndReachableByKeyboard) {
    open();
    for (auto* b : window->findChildren<QAbstractButton*>()) {
        if (b->objectName().isEmpty()) continue;  // the task table's corner button
        EXPECT_EQ(b->accessibleName(), b->text()) << b->objectName().toStdString();
        EXPECT_NE(b->focusPolicy() & Qt::TabFocus, 0) << b->objectName().toStdString();
    }
    for (auto* field : window->findChildren<QLineEdit*>()) {
        EXPECT_FALSE(field->accessibleName().isEmpty()) << field->objectName().toStdString();
    }
    // Tab from the first field reaches the pairing button; Space presses it.
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    child<QLineEdit>(*window, "accountID")->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), child<QLineEdit>(*window, "accountID"));
    auto* pairing = child<QPushButton>(*window, "generatePairingInvitation");
    for (int i = 0; i < 40 && QApplication::focusWidget() != pairing; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), pairing);
    QTest::keyClick(pairing, Qt::Key_Space);
    EXPECT_EQ(window->pairingState(), app::PairingPreparationState::preparing);
    EXPECT_TRUE(eventually([&] { return window->pairingSheet() != nullptr; }));
}

}  // namespace

namespace {

// A snapshot such as a busy day produces: two Codex accounts and a Claude one with their
// windows, forty tasks in every state, three open requests.
store::CompanionSnapshot busySnapshot(Date now) {
    store::CompanionSnapshot s;
    auto quota = [&](AIProvider p, std::string account, std::vector<QuotaWindow> windows) {
        s.quotasByAccount[store::CompanionSnapshot::quotaKey(p, account)] =
            AccountQuotaSnapshot{std::nullopt, account, p, std::move(windows), now - 40};
    };
    quota(AIProvider::codex, "codex-default",
          {{QuotaWindowKind::primary, 63, now + 9000, 300}, {QuotaWindowKind::secondary, 18, now + 400000, 10080}});
    quota(AIProvider::codex, "work-isolated", {{QuotaWindowKind::primary, 97.6, now + 1200, 300}});
    quota(AIProvider::claude, "work", {{QuotaWindowKind::fiveHour, 12, now + 16000, std::nullopt},
                                      {QuotaWindowKind::sevenDay, 41, now + 300000, std::nullopt}});
    const char* titles[] = {"Fix the flaky login test", "Refactor the snapshot store", "Write release notes",
                            "Investigate memory growth in the relay", "Add dark mode to settings",
                            "Bump dependencies", "Explain the build failure on CI", "Migrate preferences"};
    for (int i = 0; i < 40; ++i) {
        auto state = allTaskStates[static_cast<std::size_t>(i) % allTaskStates.size()];
        auto provider = i % 3 == 0 ? AIProvider::claude : AIProvider::codex;
        TaskSnapshot t{"task-" + std::to_string(i), std::nullopt, provider == AIProvider::claude ? "work" : "codex-default",
                       provider, titles[i % 8], state, now - 97.0 * i * i};
        s.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
        if (state == TaskState::waitingApproval && i < 20) {
            PendingAction a{"action-" + std::to_string(i), std::nullopt, t.id, t.accountID, provider,
                            i % 2 ? PendingActionKind::command : PendingActionKind::permissions, now};
            s.pendingActionsByID[store::CompanionSnapshot::actionKey(a)] = a;
        }
    }
    return s;
}

TEST_F(StatusWindow, ScreenshotsOfTheEmptyAndABusyWindow) {
    open();
    ASSERT_TRUE(eventually([&] { return labelText(*window, "claudeSummary").startsWith("Claude CLI not detected"); }));
    auto folder = artifactFolder();
    // Whole column, not only the part the scroll area shows.
    auto column = [&] { return window->findChild<QScrollArea*>()->widget(); };
    column()->adjustSize();
    ASSERT_TRUE(column()->grab().save(QString::fromStdString((folder / "window-empty.png").string())));

    runtime->setCodexSummary("Codex quota connected \u00B7 2 accounts", true);
    runtime->setAccountStatus("codex-default", "Codex quota connected", true);
    runtime->setAccountStatus("Claude/work", "Read-only quota and task state updated", true);
    runtime->setAccountStatus("work-isolated", "Sign in to Codex with this CODEX_HOME first", false);
    runtime->setClaudeDesktopObserver(true, "Scanning local Cowork sessions");
    runtime->publish(busySnapshot(now));
    QCoreApplication::processEvents();
    column()->adjustSize();
    ASSERT_TRUE(column()->grab().save(QString::fromStdString((folder / "window-populated.png").string())));
    window->grab().save(QString::fromStdString((folder / "window-populated-viewport.png").string()));

    // The same under a dark desktop palette, where fixed colours would turn unreadable.
    auto light = QApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x24, 0x24, 0x24));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x2c));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Button, QColor(0x33, 0x33, 0x33));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::PlaceholderText, QColor(0x99, 0x99, 0x99));
    QApplication::setPalette(dark);
    // The account rows are rebuilt with a red that reads on the dark buttons.
    QList<QPushButton*> removes;
    ASSERT_TRUE(eventually([&] {
        removes.clear();
        for (auto* remove : window->findChildren<QPushButton*>("removeAccount"))
            if (remove->isVisible()) removes.append(remove);  // replaced ones wait for deletion
        return removes.size() == 3 && std::ranges::all_of(removes, [](QPushButton* remove) {
                   return remove->palette().color(QPalette::ButtonText).lightness() > 128;
               });
    })) << "the Remove buttons keep a red that is too dark for a dark palette";
    column()->adjustSize();
    ASSERT_TRUE(column()->grab().save(QString::fromStdString((folder / "window-populated-dark.png").string())));
    QApplication::setPalette(light);
    EXPECT_EQ(labelText(*window, "approvalCount"), "3");
    EXPECT_TRUE(window->taskModel().rows().front().needsAttention());
}

}  // namespace
