#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

#include <nlohmann/json.hpp>

#include "app/notifications.hpp"
#include "model/files.hpp"
#include "store/snapshot.hpp"
#include "window_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::test;

namespace {

// The recording notification server on this test's private session bus.
struct NotificationServer {
    TempDir dir;
    std::filesystem::path record = dir / "notifications.jsonl";
    QProcess process;

    NotificationServer() {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start("/usr/bin/python3", {QString::fromStdString(std::string(std::getenv("VIGILORB_SOURCE_DIR")) +
                                                                  "/tests/app/notification_server.py"),
                                           QString::fromStdString(record.string())});
    }
    ~NotificationServer() {
        process.kill();
        process.waitForFinished();
    }
    bool ready() {
        return eventually([] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications").value();
        });
    }
    std::vector<nlohmann::json> received() {
        std::vector<nlohmann::json> all;
        if (!std::filesystem::exists(record)) return all;
        std::istringstream lines(readText(record));
        for (std::string line; std::getline(lines, line);) all.push_back(nlohmann::json::parse(line));
        return all;
    }
};

NormalizedProviderEvent pending(const std::string& id, const std::string& taskID) {
    return NormalizedProviderEvent::pendingAction(PendingAction{id, std::nullopt, taskID, "work", AIProvider::claude,
                                                                PendingActionKind::permissions, Date::now()});
}

NormalizedProviderEvent waiting(const std::string& id, const std::string& title) {
    return NormalizedProviderEvent::task(
        TaskSnapshot{id, std::nullopt, "work", AIProvider::claude, title, TaskState::waitingApproval, Date::now()});
}

TEST(ApprovalNotifications, OnePerNewPendingActionNoneForThoseFoundAtStartUpAndNoneWhenSwitchedOff) {
    application();
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under with_session_bus.sh";
    NotificationServer server;
    ASSERT_TRUE(server.ready());

    TempDir dir;
    auto snapshotFile = dir / "snapshot-v1.json";
    // Stored before the start: an approval that was already pending.
    store::CompanionSnapshot stored;
    auto oldTask = TaskSnapshot{"old", std::nullopt, "work", AIProvider::claude, "Old task", TaskState::waitingApproval, Date::now()};
    stored.tasksByID[store::CompanionSnapshot::taskKey(oldTask)] = oldTask;
    auto oldAction = PendingAction{"p-old", std::nullopt, "old", "work", AIProvider::claude, PendingActionKind::permissions, Date::now()};
    stored.pendingActionsByID[store::CompanionSnapshot::actionKey(oldAction)] = oldAction;
    EXPECT_TRUE(files::writeAtomically(snapshotFile, store::encodeSnapshot(stored)));

    MemoryPreferences preferences;
    runtime::ProviderRuntimeOptions options;
    options.snapshotFile = snapshotFile;
    options.preferences = &preferences;
    options.sides = {};
    options.claudeCLIFallbackFolders = {};
    options.environment = [](const char*) -> std::optional<std::string> { return std::nullopt; };
    runtime::ProviderRuntimeController runtime(std::move(options));
    app::DesktopNotifications notifications;
    app::ApprovalNotifications approvals(
        runtime, [&] { return preferences.boolean(app::notifyApprovalsKey).value_or(true); },
        [&](const desktop::PendingActionNotification& n) {
            notifications.notify(QString::fromStdString(n.summary), QString::fromStdString(n.body));
        });
    bool started = false;
    QObject::connect(&runtime, &runtime::ProviderRuntimeController::startedUp, [&] { started = true; });
    ASSERT_TRUE(eventually([&] { return started; }));
    ASSERT_EQ(runtime.snapshot().pendingActionsByID.size(), 1u);

    runtime.recordEvents({waiting("t1", "Fix the login test"), pending("p1", "t1")}, "Claude/work");
    ASSERT_TRUE(eventually([&] { return server.received().size() == 1; }));

    // Switched off: a new request passes silently, and is not announced when switched on again.
    preferences.setBoolean(app::notifyApprovalsKey, false);
    runtime.recordEvents({waiting("t2", "Quiet one"), pending("p2", "t2")}, "Claude/work");
    preferences.setBoolean(app::notifyApprovalsKey, true);
    runtime.recordEvents({waiting("t3", "Deploy"), pending("p3", "t3")}, "Claude/work");
    ASSERT_TRUE(eventually([&] { return server.received().size() == 2; }));
    // The same snapshot again: nothing new.
    runtime.publish(runtime.snapshot());
    QTest::qWait(300);

    auto all = server.received();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["app_name"], "Tallyloom Companion");
    EXPECT_EQ(all[0]["summary"], "Claude is waiting for approval");
    EXPECT_EQ(all[0]["body"], "work \u00B7 Fix the login test \u00B7 Permission request");
    EXPECT_EQ(all[0]["hints"]["desktop-entry"], "com.tarnbrook.VigilorbCompanion");
    EXPECT_EQ(all[0]["app_icon"], "com.tarnbrook.VigilorbCompanion");
    EXPECT_EQ(all[1]["body"], "work \u00B7 Deploy \u00B7 Permission request");
}

TEST(ApprovalNotifications, WithoutANotificationServerNothingBreaks) {
    application();
    // No server owns the name on this bus: the call goes nowhere and nobody waits.
    app::DesktopNotifications notifications;
    EXPECT_TRUE(notifications.notify("summary", "body"));
    app::DesktopNotifications unconnected(QDBusConnection("nonexistent"));
    EXPECT_FALSE(unconnected.notify("summary", "body"));
}

}  // namespace
