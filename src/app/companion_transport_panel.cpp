#include "app/companion_transport_panel.hpp"

#include "cloud/relay_settings.hpp"
#include "desktop/key_storage_text.hpp"

namespace vigilorb::app {

CompanionTransportPanel::CompanionTransportPanel(Options options, QObject* parent)
    : TransportPanel(parent), options_(std::move(options)) {
    auto& controller = *options_.controller;
    connect(&controller, &transport::CompanionTransportController::statusChanged, this, &TransportPanel::statusChanged);
    connect(&controller, &transport::CompanionTransportController::launchesAtLoginChanged, this,
            &TransportPanel::launchesAtLoginChanged);
    apply(desktop::reconcileLaunchAtLogin(*options_.loginItems, *options_.preferences, options_.runningPath,
                                          options_.installPrefix));
}

void CompanionTransportPanel::apply(const desktop::LaunchAtLoginState& state) {
    auto& controller = *options_.controller;
    if (state.statusText)
        controller.setStatus(QString::fromUtf8(state.statusText->data(), static_cast<qsizetype>(state.statusText->size())));
    controller.setLaunchesAtLoginState(state.launchesAtLogin);
    // Always told: a toggle the user flipped must snap back to the real state after a failure.
    emit launchesAtLoginChanged();
}

void CompanionTransportPanel::setLaunchesAtLogin(bool enabled) {
    apply(desktop::setLaunchAtLogin(*options_.loginItems, *options_.preferences, enabled, options_.runningPath));
}

QString CompanionTransportPanel::relayAddress() const {
    return QString::fromStdString(cloud::relayBaseURLString(*options_.preferences, cloud::builtInRelayAddress()));
}

void CompanionTransportPanel::changeRelayAddress(const QString& text) {
    (void)options_.controller->changeRelayAddress(text.toStdString());
}

void CompanionTransportPanel::generatePairingInvitation(PairingDone done) {
    options_.controller->generatePairingInvitation(std::move(done));
}

QString CompanionTransportPanel::keyStorage() const {
    return QString::fromStdString(desktop::keyStorageText(options_.controller->keyStoreKind().toStdString()));
}

}  // namespace vigilorb::app
