#pragma once
// Desktop notifications when an agent starts waiting for the user: one per new pending action,
// none for those already pending when the companion started, sent to the freedesktop
// notification server on the session bus.
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

#include "desktop/snapshot_view.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb::app {

// org.freedesktop.Notifications.Notify, without waiting for the answer.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    // False when there is no bus to send it on.
    bool notify(const QString& summary, const QString& body);

private:
    QDBusConnection bus_;
};

class ApprovalNotifications : public QObject {
    Q_OBJECT

public:
    using Send = std::function<void(const desktop::PendingActionNotification&)>;

    // Watches the runtime from its start-up on; `enabled` is asked each time something is new.
    ApprovalNotifications(runtime::ProviderRuntimeController& runtime, std::function<bool()> enabled, Send send,
                          QObject* parent = nullptr);

private:
    void snapshotChanged();

    runtime::ProviderRuntimeController& runtime_;
    std::function<bool()> enabled_;
    Send send_;
    desktop::PendingActionNotifier notifier_;
    bool started_ = false;
};

}  // namespace vigilorb::app
