#pragma once
// The pairing operation: generate a one-time invitation, derive its key, save the key in the
// key store on a thread of its own (a Secret Service call may block for seconds), then hand the
// key to whoever activates it. Any failure before activation changes nothing.
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "model/date.hpp"
#include "security/identity.hpp"
#include "security/key_store.hpp"
#include "security/pairing.hpp"

namespace vigilorb::app {

class PairingFlow : public QObject {
    Q_OBJECT

public:
    using Activate = std::function<void(const LocalPairingKey&, const PairingInvitation&)>;
    using Done = std::function<void(std::optional<PairingInvitation>)>;

    // `keyStore` is used only on the flow's key-store thread and must outlive the flow.
    PairingFlow(CompanionIdentity identity, KeychainPairingKeyStore& keyStore,
                std::function<std::optional<std::string>()> relayAddress, std::function<Date()> clock,
                Activate activate, QObject* parent = nullptr);
    ~PairingFlow() override;

    void start(Done done);

private:
    CompanionIdentity identity_;
    KeychainPairingKeyStore& keyStore_;
    std::function<std::optional<std::string>()> relayAddress_;
    std::function<Date()> clock_;
    Activate activate_;
    QThread keyStoreThread_;
    QObject* keyStoreContext_ = nullptr;  // lives on keyStoreThread_
};

}  // namespace vigilorb::app
