#pragma once
// CompanionTransportController: the one owner of everything that leaves the computer. It holds
// the identity and the key store, restores the pairing key at start-up, builds the local link
// and the relay client for the active key, hands every published snapshot to both, and keeps
// the one status line the window shows. Everything runs on the Qt main thread except the key
// store, which has a thread of its own (the Secret Service backend blocks its caller).
#include <QObject>
#include <QString>
#include <QThread>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/relay_settings.hpp"
#include "model/preferences.hpp"
#include "security/identity.hpp"
#include "security/key_store.hpp"
#include "security/pairing.hpp"
#include "store/snapshot.hpp"
#include "transport/cloud_relay_client.hpp"
#include "transport/local_link_server.hpp"

namespace vigilorb::transport {

inline constexpr std::string_view notAvailableText = "Local connection is not available";
inline constexpr std::string_view waitingText = "Waiting for a paired iPhone";
inline constexpr std::string_view keyReadFailureText = "Could not read this Mac's pairing identity";
inline constexpr std::string_view pairingFailureText = "Could not write to the local Keychain; no QR code was generated";

enum class PairingFailure {
    alreadyPreparing,  // another invitation is being prepared
    invitationRefused, // the identity or relay address does not make a valid invitation
    keyStoreFailed     // the key could not be stored; nothing was activated
};

class CompanionTransportController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool launchesAtLogin READ launchesAtLogin NOTIFY launchesAtLoginChanged)
    Q_PROPERTY(bool paired READ isPaired NOTIFY activationChanged)
    Q_PROPERTY(bool cloudSyncActive READ cloudSyncActive NOTIFY activationChanged)
    Q_PROPERTY(bool preparingPairing READ preparingPairing NOTIFY preparingPairingChanged)

public:
    struct Options {
        // Used when no relay address is stored; empty in builds that set none.
        std::string builtInRelayAddress = std::string(cloud::builtInRelayAddress());
        CloudRelayClient::Options relay;
        LocalLinkServer::Options link;
        std::function<Date()> clock = &Date::now;
        // What a new pairing starts from: the runtime's current snapshot. Absent: the last one
        // published here.
        std::function<store::CompanionSnapshot()> currentSnapshot;
    };

    using PairingResult = std::expected<security::PairingInvitation, PairingFailure>;

    // `preferences` is not owned and must outlive the controller; the backend is used only on
    // the key-store thread from now on.
    CompanionTransportController(security::CompanionIdentity identity, Preferences& preferences,
                                 std::unique_ptr<security::SecretItemBackend> keyStoreBackend, Options options,
                                 QObject* parent = nullptr);
    CompanionTransportController(security::CompanionIdentity identity, Preferences& preferences,
                                 std::unique_ptr<security::SecretItemBackend> keyStoreBackend)
        : CompanionTransportController(std::move(identity), preferences, std::move(keyStoreBackend), Options{}) {}
    // Stops the local link and the relay client, and waits for a key-store call in progress.
    ~CompanionTransportController() override;

    QString status() const { return status_; }
    bool launchesAtLogin() const { return launchesAtLogin_; }
    bool isPaired() const { return latestKey_.has_value(); }
    bool cloudSyncActive() const { return relay_ != nullptr; }
    bool preparingPairing() const { return preparingPairing_; }
    const security::CompanionIdentity& identity() const { return identity_; }
    const std::optional<security::LocalPairingKey>& latestKey() const { return latestKey_; }
    const store::CompanionSnapshot& latestSnapshot() const { return latestSnapshot_; }
    LocalLinkServer* localLink() const { return link_.get(); }
    CloudRelayClient* relay() const { return relay_.get(); }
    // Where the pairing key is kept ("Secret Service", "file").
    QString keyStoreKind() const { return keyStoreKind_; }

    // Reads the stored key on the key-store thread and activates it with the last published
    // snapshot (empty until the runtime publishes). Emits restoreFinished when done.
    void restoreStoredKey();
    // Replaces the local link and the relay client with ones for this key.
    void activate(const security::LocalPairingKey& key, const store::CompanionSnapshot& snapshot,
                  const std::optional<std::string>& relayBaseURL);
    // Replaces the relay client; none when `relayBaseURL` is absent.
    void configureRelay(const std::optional<std::string>& relayBaseURL, const security::LocalPairingKey& key,
                        const store::CompanionSnapshot& snapshot);
    // A new snapshot from the runtime, for the local link and the relay.
    void publish(const store::CompanionSnapshot& snapshot);
    // Stores the address (trimmed) and, while paired, applies it. Returns the relay URL now in
    // force, or why there is none.
    std::expected<std::string, cloud::NoRelay> changeRelayAddress(std::string_view text);
    // The relay URL the stored address (or the built-in default) gives.
    std::expected<std::string, cloud::NoRelay> relayURLInForce() const;

    // Pairing: a new invitation, its key stored (on the key-store thread) and activated with
    // the current snapshot. `done` runs on the main thread with the invitation, or the reason
    // nothing changed. One at a time.
    void generatePairingInvitation(std::function<void(const PairingResult&)> done);

    // The launch-at-login state as its owner found it.
    void setLaunchesAtLoginState(bool enabled);
    // Any source's status text; the newest wins.
    void setStatus(const QString& text);

signals:
    void statusChanged(const QString& status);
    void launchesAtLoginChanged(bool enabled);
    void activationChanged();
    void preparingPairingChanged(bool preparing);
    void restoreFinished();

private:
    template <class Work, class Done>
    void onKeyStore(Work work, Done done);

    security::CompanionIdentity identity_;
    Preferences& preferences_;
    std::unique_ptr<security::SecretItemBackend> backend_;
    security::KeychainPairingKeyStore keyStore_;
    Options options_;
    QString keyStoreKind_;
    QThread keyStoreThread_;
    QObject* keyStoreContext_;

    QString status_;
    bool launchesAtLogin_ = false;
    bool preparingPairing_ = false;
    std::optional<security::LocalPairingKey> latestKey_;
    store::CompanionSnapshot latestSnapshot_;
    std::unique_ptr<LocalLinkServer> link_;
    std::unique_ptr<CloudRelayClient> relay_;
    // Counts activations, so that a restore that finishes after a pairing does not undo it.
    std::uint64_t activations_ = 0;
};

}  // namespace vigilorb::transport
