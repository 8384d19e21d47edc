#include "transport/companion_transport_controller.hpp"

#include <QMetaObject>

namespace vigilorb::transport {

namespace {

QString text(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

CompanionTransportController::CompanionTransportController(security::CompanionIdentity identity, Preferences& preferences,
                                                           std::unique_ptr<security::SecretItemBackend> keyStoreBackend,
                                                           Options options, QObject* parent)
    : QObject(parent),
      identity_(std::move(identity)),
      preferences_(preferences),
      backend_(std::move(keyStoreBackend)),
      keyStore_(*backend_),
      options_(std::move(options)),
      keyStoreKind_(QString::fromStdString(backend_->kind())),
      keyStoreContext_(new QObject),
      status_(text(notAvailableText)) {
    keyStoreThread_.setObjectName("key store");
    keyStoreContext_->moveToThread(&keyStoreThread_);
    connect(&keyStoreThread_, &QThread::finished, keyStoreContext_, &QObject::deleteLater);
    keyStoreThread_.start();
}

CompanionTransportController::~CompanionTransportController() {
    relay_.reset();
    link_.reset();
    // A call in progress ends within the backend's own timeout; its answer is dropped with
    // this object (queued calls to a destroyed object are discarded).
    keyStoreThread_.quit();
    keyStoreThread_.wait();
}

template <class Work, class Done>
void CompanionTransportController::onKeyStore(Work work, Done done) {
    QMetaObject::invokeMethod(
        keyStoreContext_,
        [this, work = std::move(work), done = std::move(done)]() mutable {
            auto result = work();
            QMetaObject::invokeMethod(
                this, [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void CompanionTransportController::setStatus(const QString& text) {
    if (text == status_) return;
    status_ = text;
    emit statusChanged(status_);
}

void CompanionTransportController::setLaunchesAtLoginState(bool enabled) {
    if (enabled == launchesAtLogin_) return;
    launchesAtLogin_ = enabled;
    emit launchesAtLoginChanged(enabled);
}

std::expected<std::string, cloud::NoRelay> CompanionTransportController::relayURLInForce() const {
    return cloud::relayBaseURL(preferences_, options_.builtInRelayAddress);
}

void CompanionTransportController::restoreStoredKey() {
    auto activationsAtStart = activations_;
    using Loaded = std::expected<std::optional<security::LocalPairingKey>, security::PairingKeyStoreFailure>;
    onKeyStore(
        [this, account = identity_.id]() -> Loaded {
            // Without an access group there is no second place to look.
            return keyStore_.load(account, true);
        },
        [this, activationsAtStart](Loaded loaded) {
            if (!loaded) {
                setStatus(text(keyReadFailureText));
            } else if (*loaded && activations_ == activationsAtStart) {
                // A pairing that finished first has the newer key. The snapshot is the last
                // one published: empty when the runtime has published nothing yet, and the
                // runtime's state when it published before the key store answered (starting
                // from empty then would leave the phone blank until the next change).
                auto url = relayURLInForce();
                activate(**loaded, latestSnapshot_, url ? std::optional(*url) : std::nullopt);
            }
            emit restoreFinished();
        });
}

void CompanionTransportController::activate(const security::LocalPairingKey& key, const store::CompanionSnapshot& snapshot,
                                            const std::optional<std::string>& relayBaseURL) {
    ++activations_;
    latestKey_ = key;
    latestSnapshot_ = snapshot;
    // The old link stops advertising and closes its connections as it goes.
    link_.reset();
    link_ = std::make_unique<LocalLinkServer>(identity_.id, identity_.name, key, snapshot, options_.link);
    connect(link_.get(), &LocalLinkServer::statusText, this, &CompanionTransportController::setStatus);
    // Said before starting, so that a failure to advertise reported at once is not hidden.
    setStatus(text(waitingText));
    link_->start();
    configureRelay(relayBaseURL, key, snapshot);
}

void CompanionTransportController::configureRelay(const std::optional<std::string>& relayBaseURL,
                                                  const security::LocalPairingKey& key, const store::CompanionSnapshot& snapshot) {
    relay_.reset();  // cancels its pending upload and retry without a word
    if (!relayBaseURL) {
        // Without this the user could not tell a missing address from a working relay.
        if (relayURLInForce() == std::unexpected(cloud::NoRelay::notConfigured)) setStatus(text(cloud::noRelayAddressText));
        emit activationChanged();
        return;
    }
    relay_ = std::make_unique<CloudRelayClient>(security::RelayCredentials::make(*relayBaseURL, key, identity_.id), identity_.id,
                                                identity_.name, key, preferences_, snapshot, options_.relay);
    connect(relay_.get(), &CloudRelayClient::statusText, this, &CompanionTransportController::setStatus);
    relay_->start();
    emit activationChanged();
}

void CompanionTransportController::publish(const store::CompanionSnapshot& snapshot) {
    latestSnapshot_ = snapshot;
    if (link_) link_->setSnapshot(snapshot);
    if (relay_) relay_->setSnapshot(snapshot);
}

std::expected<std::string, cloud::NoRelay> CompanionTransportController::changeRelayAddress(std::string_view text) {
    cloud::saveRelayAddress(preferences_, text);
    auto url = relayURLInForce();
    if (latestKey_) configureRelay(url ? std::optional(*url) : std::nullopt, *latestKey_, latestSnapshot_);
    return url;
}

void CompanionTransportController::generatePairingInvitation(std::function<void(const PairingResult&)> done) {
    if (preparingPairing_) {
        done(std::unexpected(PairingFailure::alreadyPreparing));
        return;
    }
    auto now = options_.clock();
    auto invitation = security::PairingInvitation::generate(
        identity_, cloud::relayBaseURLString(preferences_, options_.builtInRelayAddress), now);
    auto key = invitation ? security::LocalPairingKey::deriveFromInvitation(*invitation, now)
                          : std::unexpected(invitation.error());
    if (!key) {
        done(std::unexpected(PairingFailure::invitationRefused));
        return;
    }
    preparingPairing_ = true;
    emit preparingPairingChanged(true);
    onKeyStore(
        [this, key = *key, account = identity_.id]() { return keyStore_.save(key, account).has_value(); },
        [this, invitation = std::move(*invitation), key = *key, done = std::move(done)](bool saved) {
            preparingPairing_ = false;
            emit preparingPairingChanged(false);
            if (!saved) {
                // The previous key, link and relay stay as they were.
                done(std::unexpected(PairingFailure::keyStoreFailed));
                return;
            }
            activate(key, options_.currentSnapshot ? options_.currentSnapshot() : latestSnapshot_,
                     invitation.relayBaseURL);
            done(invitation);
        });
}

}  // namespace vigilorb::transport
