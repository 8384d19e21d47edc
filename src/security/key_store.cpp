#include "security/key_store.hpp"

#include <sys/stat.h>

#include <system_error>

#include "model/files.hpp"

namespace vigilorb::security {

KeychainPairingKeyStore::KeychainPairingKeyStore(SecretItemBackend& backend, std::string service,
                                                 std::optional<std::string> accessGroup)
    : backend_(backend), service_(std::move(service)), accessGroup_(std::move(accessGroup)) {}

SecretItemQuery KeychainPairingKeyStore::baseQuery(const std::string& account, bool includeAccessGroup) const {
    SecretItemQuery query{service_, account, std::nullopt};
    if (includeAccessGroup && accessGroup_) query.accessGroup = accessGroup_;
    return query;
}

std::expected<void, PairingKeyStoreFailure> KeychainPairingKeyStore::save(const LocalPairingKey& key,
                                                                          const std::string& account) {
    std::lock_guard lock(mutex_);
    auto query = baseQuery(account, true);
    auto stored = backend_.update(query, key.bytes());
    if (!stored && stored.error() == KeyStoreStatus::itemNotFound) stored = backend_.add(query, key.bytes());
    if (!stored)
        return std::unexpected(
            PairingKeyStoreFailure{PairingKeyStoreError::keychainStatus, stored.error(), "could not store the pairing key"});
    return {};
}

std::expected<std::optional<LocalPairingKey>, PairingKeyStoreFailure> KeychainPairingKeyStore::load(
    const std::string& account, bool includeAccessGroup) {
    std::lock_guard lock(mutex_);
    auto data = backend_.copyMatching(baseQuery(account, includeAccessGroup));
    if (!data && data.error() == KeyStoreStatus::itemNotFound) return std::nullopt;
    if (!data)
        return std::unexpected(
            PairingKeyStoreFailure{PairingKeyStoreError::keychainStatus, data.error(), "could not read the pairing key"});
    auto key = LocalPairingKey::fromBytes(*data);
    if (!key)
        return std::unexpected(
            PairingKeyStoreFailure{PairingKeyStoreError::invalidStoredKey, std::nullopt, "stored key is not 32 bytes"});
    return key;
}

std::expected<void, KeyStoreStatus> InMemorySecretItemBackend::update(const SecretItemQuery& query, const Bytes& data) {
    if (forcedStatus_) return std::unexpected(*forcedStatus_);
    auto it = items_.find({query.service, query.account});
    if (it == items_.end()) return std::unexpected(KeyStoreStatus::itemNotFound);
    it->second = data;
    return {};
}

std::expected<void, KeyStoreStatus> InMemorySecretItemBackend::add(const SecretItemQuery& query, const Bytes& data) {
    if (forcedStatus_) return std::unexpected(*forcedStatus_);
    items_[{query.service, query.account}] = data;
    return {};
}

std::expected<Bytes, KeyStoreStatus> InMemorySecretItemBackend::copyMatching(const SecretItemQuery& query) {
    if (forcedStatus_) return std::unexpected(*forcedStatus_);
    auto it = items_.find({query.service, query.account});
    if (it == items_.end()) return std::unexpected(KeyStoreStatus::itemNotFound);
    return it->second;
}

std::filesystem::path FileSecretItemBackend::itemPath(const SecretItemQuery& query) const {
    // Hex keeps any account text (slashes, dots) from choosing the path.
    return folder_ / hexLowercase(crypto::bytesOf(query.service)) / (hexLowercase(crypto::bytesOf(query.account)) + ".key");
}

std::expected<void, KeyStoreStatus> FileSecretItemBackend::write(const SecretItemQuery& query, const Bytes& data) {
    auto path = itemPath(query);
    if (!files::createFolders(path.parent_path())) return std::unexpected(KeyStoreStatus::ioFailure);
    std::error_code ec;
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    if (ec) return std::unexpected(KeyStoreStatus::ioFailure);
    if (!files::writeAtomically(path, crypto::stringOf(data), 0600)) return std::unexpected(KeyStoreStatus::ioFailure);
    return {};
}

std::expected<void, KeyStoreStatus> FileSecretItemBackend::update(const SecretItemQuery& query, const Bytes& data) {
    std::error_code ec;
    auto state = std::filesystem::status(itemPath(query), ec);
    if (state.type() == std::filesystem::file_type::not_found) return std::unexpected(KeyStoreStatus::itemNotFound);
    if (ec) return std::unexpected(KeyStoreStatus::ioFailure);
    return write(query, data);
}

std::expected<void, KeyStoreStatus> FileSecretItemBackend::add(const SecretItemQuery& query, const Bytes& data) {
    return write(query, data);
}

std::expected<Bytes, KeyStoreStatus> FileSecretItemBackend::copyMatching(const SecretItemQuery& query) {
    auto bytes = files::read(itemPath(query));
    if (!bytes)
        return std::unexpected(bytes.error().code == files::FileError::notFound ? KeyStoreStatus::itemNotFound
                                                                                : KeyStoreStatus::ioFailure);
    return crypto::bytesOf(*bytes);
}

}  // namespace vigilorb::security
