#pragma once
// The transport side of the window as the app runs it: launch at login through the XDG
// autostart entry, the pairing flow over the key store, the relay address preference, and the
// status line those report into.
#include <filesystem>
#include <memory>
#include <optional>

#include "app/pairing_flow.hpp"
#include "app/transport_panel.hpp"
#include "desktop/autostart.hpp"
#include "model/preferences.hpp"

namespace vigilorb::app {

inline constexpr std::string_view transportInitialStatus = "Local connection is not available";

class CompanionTransportPanel final : public TransportPanel {
    Q_OBJECT

public:
    struct Options {
        Preferences* preferences = nullptr;            // not owned
        KeychainPairingKeyStore* keyStore = nullptr;   // not owned
        CompanionIdentity identity;
        std::unique_ptr<desktop::LoginItemService> loginItems;
        std::filesystem::path runningPath;
        std::optional<std::filesystem::path> installPrefix;
        std::function<Date()> clock = &Date::now;
        PairingFlow::Activate activate = [](const LocalPairingKey&, const PairingInvitation&) {};
    };

    // Reconciles launch at login once, as every start does.
    explicit CompanionTransportPanel(Options options, QObject* parent = nullptr);

    QString status() const override { return status_; }
    bool launchesAtLogin() const override { return launchesAtLogin_; }
    void setLaunchesAtLogin(bool enabled) override;
    QString relayAddress() const override;
    void changeRelayAddress(const QString& text) override;
    void generatePairingInvitation(PairingDone done) override;

    void setStatus(const QString& text);

private:
    void apply(const desktop::LaunchAtLoginState& state);

    Options options_;
    QString status_ = QString::fromUtf8(transportInitialStatus.data(), transportInitialStatus.size());
    bool launchesAtLogin_ = false;
    PairingFlow pairing_;
};

}  // namespace vigilorb::app
