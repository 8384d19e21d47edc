#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "model/error.hpp"
#include "security/pairing_key.hpp"

namespace vigilorb {

enum class PairingKeyStoreError { keychainStatus, invalidStoredKey };

// keychainStatus carries the status code of the failing call.
class PairingKeyStoreFailure : public Failure<PairingKeyStoreError> {
public:
    PairingKeyStoreFailure(PairingKeyStoreError code, std::int32_t status, std::string detail = {})
        : Failure<PairingKeyStoreError>(code, std::move(detail)), status_(status) {}
    std::int32_t status() const noexcept { return status_; }

private:
    std::int32_t status_;
};

// Status codes of secret item backends. Item-not-found keeps the keychain's value so that it
// reads the same everywhere; the others are this program's own.
namespace keyStoreStatus {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t itemNotFound = -25300;
inline constexpr std::int32_t timedOut = -61000;       // the secret service did not answer in time
inline constexpr std::int32_t noBackend = -61001;      // no secret service to talk to
inline constexpr std::int32_t accessDenied = -61002;   // the user or the service refused
inline constexpr std::int32_t ioFailure = -61003;      // a file could not be read or written
inline constexpr std::int32_t otherFailure = -61004;
}  // namespace keyStoreStatus

// What identifies one secret item: a generic password by service and account, never synced.
struct SecretItemQuery {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
};

// A place for secret blobs with keychain-like calls that return a status code.
class SecretItemBackend {
public:
    virtual ~SecretItemBackend() = default;
    // Replace the data of an existing item; itemNotFound when there is none.
    virtual std::int32_t update(const SecretItemQuery& query, const Bytes& data) = 0;
    // Create the item (readable by this user on this machine only).
    virtual std::int32_t add(const SecretItemQuery& query, const Bytes& data) = 0;
    // Exactly one item's data into `data`; itemNotFound when there is none.
    virtual std::int32_t copyMatching(const SecretItemQuery& query, std::optional<Bytes>& data) = 0;
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
    // Update in place, else add. Throws PairingKeyStoreFailure(keychainStatus).
    void save(const LocalPairingKey& key, const std::string& account);
    // Absent when no item exists; throws keychainStatus for other failures and invalidStoredKey
    // for an item that is not exactly 32 bytes.
    std::optional<LocalPairingKey> load(const std::string& account, bool includeAccessGroup = true);

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
    std::int32_t update(const SecretItemQuery& query, const Bytes& data) override;
    std::int32_t add(const SecretItemQuery& query, const Bytes& data) override;
    std::int32_t copyMatching(const SecretItemQuery& query, std::optional<Bytes>& data) override;
    std::string kind() const override { return "memory"; }

    // Makes every call return this status (0 clears it).
    void failWith(std::int32_t status) { forcedStatus_ = status; }

private:
    std::map<std::pair<std::string, std::string>, Bytes> items_;
    std::int32_t forcedStatus_ = 0;
};

// For machines without a Secret Service: one file per item, mode 0600 in a 0700 folder,
// replaced atomically. <folder>/<service>/<hex of account>.key
class FileSecretItemBackend final : public SecretItemBackend {
public:
    explicit FileSecretItemBackend(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::int32_t update(const SecretItemQuery& query, const Bytes& data) override;
    std::int32_t add(const SecretItemQuery& query, const Bytes& data) override;
    std::int32_t copyMatching(const SecretItemQuery& query, std::optional<Bytes>& data) override;
    std::string kind() const override { return "file"; }

    std::filesystem::path itemPath(const SecretItemQuery& query) const;

private:
    std::int32_t write(const SecretItemQuery& query, const Bytes& data);
    std::filesystem::path folder_;
};

}  // namespace vigilorb
