#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "model/error.hpp"
#include "security/pairing_key.hpp"

namespace vigilorb::security {

enum class PairingKeyStoreError { keychainStatus, invalidStoredKey };

// Why a secret item call failed. Item-not-found keeps the keychain's value so that it reads
// the same everywhere; the others are this program's own.
enum class KeyStoreStatus : std::int32_t {
    itemNotFound = -25300,
    timedOut = -61000,      // the secret service did not answer in time
    noBackend = -61001,     // no secret service to talk to
    accessDenied = -61002,  // the user or the service refused
    ioFailure = -61003,     // a file could not be read or written
    otherFailure = -61004,
};

// keychainStatus carries the status of the failing call; invalidStoredKey has none.
struct PairingKeyStoreFailure {
    PairingKeyStoreError code;
    std::optional<KeyStoreStatus> status;
    std::string detail;
    bool operator==(const PairingKeyStoreFailure&) const = default;
};

// What identifies one secret item: a generic password by service and account, never synced.
struct SecretItemQuery {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
};

// A place for secret blobs with keychain-like calls that fail with a status.
class SecretItemBackend {
public:
    virtual ~SecretItemBackend() = default;
    // Replace the data of an existing item; itemNotFound when there is none.
    [[nodiscard]] virtual std::expected<void, KeyStoreStatus> update(const SecretItemQuery& query, const Bytes& data) = 0;
    // Create the item (readable by this user on this machine only).
    [[nodiscard]] virtual std::expected<void, KeyStoreStatus> add(const SecretItemQuery& query, const Bytes& data) = 0;
    // Exactly one item's data; itemNotFound when there is none.
    [[nodiscard]] virtual std::expected<Bytes, KeyStoreStatus> copyMatching(const SecretItemQuery& query) = 0;
    // A short name for the status window ("Secret Service", "file").
    virtual std::string kind() const = 0;
};

// Stores the pairing key under the companion ID. Calls are serialised per store.
class KeychainPairingKeyStore {
public:
    static constexpr const char* defaultService = "com.tarnbrook.vigilorb.pairing";

    explicit KeychainPairingKeyStore(SecretItemBackend& backend, std::string service = defaultService,
                                     std::optional<std::string> accessGroup = std::nullopt);

    SecretItemQuery baseQuery(const std::string& account, bool includeAccessGroup) const;
    // Update in place, else add. Fails with keychainStatus.
    [[nodiscard]] std::expected<void, PairingKeyStoreFailure> save(const LocalPairingKey& key, const std::string& account);
    // Absent when no item exists; keychainStatus for other failures and invalidStoredKey for an
    // item that is not exactly 32 bytes.
    [[nodiscard]] std::expected<std::optional<LocalPairingKey>, PairingKeyStoreFailure> load(const std::string& account,
                                                                                           bool includeAccessGroup = true);

    const std::string& service() const { return service_; }
    const std::optional<std::string>& accessGroup() const { return accessGroup_; }
    SecretItemBackend& backend() { return backend_; }

private:
    SecretItemBackend& backend_;
    std::string service_;
    std::optional<std::string> accessGroup_;
    std::mutex mutex_;
};

// For tests and for runs that must not persist anything.
class InMemorySecretItemBackend final : public SecretItemBackend {
public:
    std::expected<void, KeyStoreStatus> update(const SecretItemQuery& query, const Bytes& data) override;
    std::expected<void, KeyStoreStatus> add(const SecretItemQuery& query, const Bytes& data) override;
    std::expected<Bytes, KeyStoreStatus> copyMatching(const SecretItemQuery& query) override;
    std::string kind() const override { return "memory"; }

    // Makes every call fail with this status (nullopt clears it).
    void failWith(std::optional<KeyStoreStatus> status) { forcedStatus_ = status; }

private:
    std::map<std::pair<std::string, std::string>, Bytes> items_;
    std::optional<KeyStoreStatus> forcedStatus_;
};

// For machines without a Secret Service: one file per item, mode 0600 in a 0700 folder,
// replaced atomically. <folder>/<service>/<hex of account>.key
class FileSecretItemBackend final : public SecretItemBackend {
public:
    explicit FileSecretItemBackend(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::expected<void, KeyStoreStatus> update(const SecretItemQuery& query, const Bytes& data) override;
    std::expected<void, KeyStoreStatus> add(const SecretItemQuery& query, const Bytes& data) override;
    std::expected<Bytes, KeyStoreStatus> copyMatching(const SecretItemQuery& query) override;
    std::string kind() const override { return "file"; }

    std::filesystem::path itemPath(const SecretItemQuery& query) const;

private:
    std::expected<void, KeyStoreStatus> write(const SecretItemQuery& query, const Bytes& data);
    std::filesystem::path folder_;
};

}  // namespace vigilorb::security
