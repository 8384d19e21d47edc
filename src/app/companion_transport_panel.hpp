#pragma once
// The transport side of the window as the app runs it: the transport controller's status line,
// pairing and relay address, plus launch at login through the XDG autostart entry, whose state
// and failure texts the controller publishes like its own.
#include <filesystem>
#include <memory>
#include <optional>

#include "app/transport_panel.hpp"
#include "desktop/autostart.hpp"
#include "model/preferences.hpp"
#include "transport/companion_transport_controller.hpp"

namespace vigilorb::app {

class CompanionTransportPanel final : public TransportPanel {
    Q_OBJECT

public:
    struct Options {
        transport::CompanionTransportController* controller = nullptr;  // not owned
        Preferences* preferences = nullptr;                  // not owned
        std::unique_ptr<desktop::LoginItemService> loginItems;
        std::filesystem::path runningPath;
        std::optional<std::filesystem::path> installPrefix;
    };

    // Reconciles launch at login once, as every start does.
    explicit CompanionTransportPanel(Options options, QObject* parent = nullptr);

    QString status() const override { return options_.controller->status(); }
    bool launchesAtLogin() const override { return options_.controller->launchesAtLogin(); }
    void setLaunchesAtLogin(bool enabled) override;
    QString relayAddress() const override;
    QString keyStorage() const override;
    void changeRelayAddress(const QString& text) override;
    void generatePairingInvitation(PairingDone done) override;

private:
    void apply(const desktop::LaunchAtLoginState& state);

    Options options_;
};

}  // namespace vigilorb::app
