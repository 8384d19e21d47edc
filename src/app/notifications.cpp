#include "app/notifications.hpp"

#include <QDBusMessage>
#include <QVariantMap>

#include "desktop/app_identity.hpp"

namespace vigilorb::app {

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

bool DesktopNotifications::notify(const QString& summary, const QString& body) {
    if (!bus_.isConnected()) return false;
    auto call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "Notify");
    const QString appID = QString::fromLatin1(desktop::applicationID.data(), desktop::applicationID.size());
    QVariantMap hints;
    hints.insert("desktop-entry", appID);
    hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(1)));
    call << QString::fromLatin1(desktop::displayName.data(), desktop::displayName.size()) << 0u << appID << summary
         << body << QStringList() << hints << -1;
    // Nobody waits for the ID: a missing server only means no notification.
    return bus_.send(call);
}

ApprovalNotifications::ApprovalNotifications(runtime::ProviderRuntimeController& runtime, std::function<bool()> enabled,
                                             Send send, QObject* parent)
    : QObject(parent), runtime_(runtime), enabled_(std::move(enabled)), send_(std::move(send)) {
    // What is pending once the stored snapshot is loaded was there before this start.
    connect(&runtime_, &runtime::ProviderRuntimeController::startedUp, this, [this] {
        notifier_.update(runtime_.snapshot());
        started_ = true;
    });
    connect(&runtime_, &runtime::ProviderRuntimeController::snapshotChanged, this, &ApprovalNotifications::snapshotChanged);
}

void ApprovalNotifications::snapshotChanged() {
    if (!started_) return;
    // Always fed, so turning notifications on later does not announce old requests.
    auto fresh = notifier_.update(runtime_.snapshot());
    if (!enabled_()) return;
    for (const auto& notification : fresh) send_(notification);
}

}  // namespace vigilorb::app
