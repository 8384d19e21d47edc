#pragma once
// The tray icon (StatusNotifierItem or XEmbed, whichever the desktop offers through Qt) with
// the number of pending approvals and a menu: show the window, generate a pairing code, quit.
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

namespace vigilorb::app {

class CompanionTray : public QObject {
    Q_OBJECT

public:
    struct Actions {
        std::function<void()> showWindow;
        std::function<void()> generatePairingCode;
        std::function<void()> quit;
    };

    explicit CompanionTray(Actions actions, QObject* parent = nullptr);

    void setPendingApprovals(int count);
    int pendingApprovals() const { return pending_; }
    QMenu& menu() { return menu_; }
    QSystemTrayIcon& icon() { return icon_; }

private:
    Actions actions_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    int pending_ = -1;
};

}  // namespace vigilorb::app
