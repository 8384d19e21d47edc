#include "security/key_store.hpp"

#include <sys/stat.h>

#include <system_error>

#include "model/files.hpp"

namespace vigilorb {

KeychainPairingKeyStore::KeychainPairingKeyStore(SecretItemBackend& backend, std::string service,
                                                 std::optional<std::string> accessGroup)
    : backend_(backend), service_(std::move(service)), accessGroup_(std::move(accessGroup)) {}

SecretItemQuery KeychainPairingKeyStore::baseQuery(const std::string& account, bool includeAccessGroup) const {
    SecretItemQuery query{service_, account, std::nullopt};
    if (includeAccessGroup && accessGroup_) query.accessGroup = accessGroup_;
    return query;
}

void KeychainPairingKeyStore::save(const LocalPairingKey& key, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto query = baseQuery(account, true);
    auto status = backend_.update(query, key.bytes());
    if (status == keyStoreStatus::itemNotFound) status = backend_.add(query, key.bytes());
    if (status != keyStoreStatus::success)
        throw PairingKeyStoreFailure(PairingKeyStoreError::keychainStatus, status, "could not store the pairing key");
}

std::optional<LocalPairingKey> KeychainPairingKeyStore::load(const std::string& account, bool includeAccessGroup) {
    std::lock_guard lock(mutex_);
    std::optional<Bytes> data;
    auto status = backend_.copyMatching(baseQuery(account, includeAccessGroup), data);
    if (status == keyStoreStatus::itemNotFound) return std::nullopt;
    if (status != keyStoreStatus::success)
        throw PairingKeyStoreFailure(PairingKeyStoreError::keychainStatus, status, "could not read the pairing key");
    if (!data) throw PairingKeyStoreFailure(PairingKeyStoreError::invalidStoredKey, status, "stored item holds no data");
    auto key = LocalPairingKey::fromBytes(*data);
    if (!key) throw PairingKeyStoreFailure(PairingKeyStoreError::invalidStoredKey, status, "stored key is not 32 bytes");
    return key;
}

std::int32_t InMemorySecretItemBackend::update(const SecretItemQuery& query, const Bytes& data) {
    if (forcedStatus_ != 0) return forcedStatus_;
    auto it = items_.find({query.service, query.account});
    if (it == items_.end()) return keyStoreStatus::itemNotFound;
    it->second = data;
    return keyStoreStatus::success;
}

std::int32_t InMemorySecretItemBackend::add(const SecretItemQuery& query, const Bytes& data) {
    if (forcedStatus_ != 0) return forcedStatus_;
    items_[{query.service, query.account}] = data;
    return keyStoreStatus::success;
}

std::int32_t InMemorySecretItemBackend::copyMatching(const SecretItemQuery& query, std::optional<Bytes>& data) {
    if (forcedStatus_ != 0) return forcedStatus_;
    auto it = items_.find({query.service, query.account});
    if (it == items_.end()) return keyStoreStatus::itemNotFound;
    data = it->second;
    return keyStoreStatus::success;
}

std::filesystem::path FileSecretItemBackend::itemPath(const SecretItemQuery& query) const {
    // Hex keeps any account text (slashes, dots) from choosing the path.
    return folder_ / hexLowercase(crypto::bytesOf(query.service)) / (hexLowercase(crypto::bytesOf(query.account)) + ".key");
}

std::int32_t FileSecretItemBackend::write(const SecretItemQuery& query, const Bytes& data) {
    auto path = itemPath(query);
    if (!files::createFolders(path.parent_path())) return keyStoreStatus::ioFailure;
    std::error_code ec;
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    if (ec) return keyStoreStatus::ioFailure;
    if (!files::writeAtomically(path, crypto::stringOf(data), 0600)) return keyStoreStatus::ioFailure;
    return keyStoreStatus::success;
}

std::int32_t FileSecretItemBackend::update(const SecretItemQuery& query, const Bytes& data) {
    std::error_code ec;
    auto state = std::filesystem::status(itemPath(query), ec);
    if (state.type() == std::filesystem::file_type::not_found) return keyStoreStatus::itemNotFound;
    if (ec) return keyStoreStatus::ioFailure;
    return write(query, data);
}

std::int32_t FileSecretItemBackend::add(const SecretItemQuery& query, const Bytes& data) { return write(query, data); }

std::int32_t FileSecretItemBackend::copyMatching(const SecretItemQuery& query, std::optional<Bytes>& data) {
    auto bytes = files::read(itemPath(query));
    if (!bytes) return bytes.error().code == files::FileError::notFound ? keyStoreStatus::itemNotFound : keyStoreStatus::ioFailure;
    data = crypto::bytesOf(*bytes);
    return keyStoreStatus::success;
}

}  // namespace vigilorb
