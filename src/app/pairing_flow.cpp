#include "app/pairing_flow.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace vigilorb::app {

PairingFlow::PairingFlow(CompanionIdentity identity, KeychainPairingKeyStore& keyStore,
                         std::function<std::optional<std::string>()> relayAddress, std::function<Date()> clock,
                         Activate activate, QObject* parent)
    : QObject(parent),
      identity_(std::move(identity)),
      keyStore_(keyStore),
      relayAddress_(std::move(relayAddress)),
      clock_(std::move(clock)),
      activate_(std::move(activate)) {
    keyStoreThread_.setObjectName("key store");
    keyStoreContext_ = new QObject;
    keyStoreContext_->moveToThread(&keyStoreThread_);
    connect(&keyStoreThread_, &QThread::finished, keyStoreContext_, &QObject::deleteLater);
    keyStoreThread_.start();
}

PairingFlow::~PairingFlow() {
    keyStoreThread_.quit();
    keyStoreThread_.wait();
}

void PairingFlow::start(Done done) {
    std::optional<PairingInvitation> invitation;
    std::optional<LocalPairingKey> key;
    try {
        invitation = PairingInvitation::generate(identity_, relayAddress_(), clock_());
        key = LocalPairingKey::deriveFromInvitation(*invitation, clock_());
    } catch (const std::exception&) {
        QMetaObject::invokeMethod(this, [done] { done(std::nullopt); }, Qt::QueuedConnection);
        return;
    }
    QPointer<PairingFlow> self(this);
    auto account = identity_.id;
    auto& store = keyStore_;
    QMetaObject::invokeMethod(keyStoreContext_, [self, &store, account, key = *key, invitation = *invitation, done] {
        bool saved = true;
        try {
            store.save(key, account);
        } catch (const std::exception&) {
            saved = false;
        }
        // Back on the main thread; a flow destroyed meanwhile activates nothing.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, saved, key, invitation, done] {
            if (!self) return;
            if (!saved) return done(std::nullopt);
            self->activate_(key, invitation);
            done(invitation);
        }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

}  // namespace vigilorb::app
