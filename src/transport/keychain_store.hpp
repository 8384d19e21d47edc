#pragma once
#include <QString>

#include <chrono>
#include <filesystem>
#include <memory>

#include "security/identity.hpp"
#include "security/key_store.hpp"

namespace vigilorb::transport {

// Secret items in the Secret Service (GNOME Keyring, KWallet...) through QtKeychain. A locked
// keyring may show a prompt nobody answers, so every call gives up after `timeout` and reports
// KeyStoreStatus::timedOut. Calls block the calling thread in a local event loop; that thread
// must have a Qt event dispatcher (the main thread under QCoreApplication, or a QThread).
class QtKeychainSecretItemBackend final : public security::SecretItemBackend {
public:
    explicit QtKeychainSecretItemBackend(std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : timeout_(timeout) {}

    // The Secret Service replaces an item's secret on write, so update and add are one call.
    std::expected<void, security::KeyStoreStatus> update(const security::SecretItemQuery& query, const Bytes& data) override;
    std::expected<void, security::KeyStoreStatus> add(const security::SecretItemQuery& query, const Bytes& data) override;
    std::expected<Bytes, security::KeyStoreStatus> copyMatching(const security::SecretItemQuery& query) override;
    std::string kind() const override { return "Secret Service"; }

private:
    std::chrono::milliseconds timeout_;
};

// Whether a Secret Service can be reached: a session bus, and the service running or
// activatable on it. Asks the bus only; never touches a keyring, so it cannot prompt.
bool secretServiceAvailable();

// Decided once at start-up: the Secret Service when there is one, else 0600 files under
// `fallbackFolder` (the window says which one is in use through backend->kind()).
std::unique_ptr<security::SecretItemBackend> chooseSecretItemBackend(const std::filesystem::path& fallbackFolder,
                                                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

// <Application Support>/VigilorbCompanion/PairingKeys
std::filesystem::path defaultPairingKeyFolder();

}  // namespace vigilorb::transport
