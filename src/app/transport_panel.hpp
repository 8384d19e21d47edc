#pragma once
// What the status window needs from the transport side: the one status line, launch at login,
// the relay address, and the pairing operation behind "Generate Pairing Code". The window only
// shows these and calls them; the implementation owns every rule.
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

#include "security/pairing.hpp"
#include "transport/companion_transport_controller.hpp"

namespace vigilorb::app {

class TransportPanel : public QObject {
    Q_OBJECT

public:
    using PairingDone = std::function<void(const transport::CompanionTransportController::PairingResult&)>;

    using QObject::QObject;

    virtual QString status() const = 0;
    virtual bool launchesAtLogin() const = 0;
    virtual void setLaunchesAtLogin(bool enabled) = 0;
    // The saved relay address, as the field starts with it.
    virtual QString relayAddress() const = 0;
    // Where pairing keys are kept (Secret Service or files), one line for the window.
    virtual QString keyStorage() const = 0;
    virtual void changeRelayAddress(const QString& text) = 0;
    // Generates an invitation, stores its key and activates it; `done` runs on the main thread
    // with the invitation, or with why nothing was activated.
    virtual void generatePairingInvitation(PairingDone done) = 0;

signals:
    void statusChanged();
    void launchesAtLoginChanged();
};

}  // namespace vigilorb::app
