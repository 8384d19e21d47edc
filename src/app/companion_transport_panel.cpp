#include "app/companion_transport_panel.hpp"

#include "cloud/relay_settings.hpp"

namespace vigilorb::app {

namespace {
QString qt(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

CompanionTransportPanel::CompanionTransportPanel(Options options, QObject* parent)
    : TransportPanel(parent),
      options_(std::move(options)),
      pairing_(
          options_.identity, *options_.keyStore,
          [this]() -> std::optional<std::string> {
              return cloud::relayBaseURLString(*options_.preferences, cloud::builtInRelayAddress());
          },
          options_.clock, options_.activate, this) {
    apply(desktop::reconcileLaunchAtLogin(*options_.loginItems, *options_.preferences, options_.runningPath,
                                          options_.installPrefix));
}

void CompanionTransportPanel::apply(const desktop::LaunchAtLoginState& state) {
    if (state.statusText) setStatus(qt(*state.statusText));
    if (state.launchesAtLogin != launchesAtLogin_) {
        launchesAtLogin_ = state.launchesAtLogin;
    }
    // Always told: a toggle the user flipped must snap back to the real state after a failure.
    emit launchesAtLoginChanged();
}

void CompanionTransportPanel::setLaunchesAtLogin(bool enabled) {
    apply(desktop::setLaunchAtLogin(*options_.loginItems, *options_.preferences, enabled, options_.runningPath));
}

QString CompanionTransportPanel::relayAddress() const {
    return qt(cloud::relayBaseURLString(*options_.preferences, cloud::builtInRelayAddress()));
}

void CompanionTransportPanel::changeRelayAddress(const QString& text) {
    cloud::saveRelayAddress(*options_.preferences, text.toStdString());
}

void CompanionTransportPanel::generatePairingInvitation(PairingDone done) { pairing_.start(std::move(done)); }

void CompanionTransportPanel::setStatus(const QString& text) {
    if (text == status_) return;
    status_ = text;
    emit statusChanged();
}

}  // namespace vigilorb::app
