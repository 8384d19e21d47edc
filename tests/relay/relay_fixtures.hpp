#pragma once
#include <string>

#include "security/cloud_envelope.hpp"

namespace vigilorb::test {

// A paired companion as the relay sees it: its ID, key, channel and token.
struct RelayParty {
    std::string companionID;
    security::LocalPairingKey key;
    security::RelayCredentials credentials;

    explicit RelayParty(std::string id, std::string_view seed = "relay test key")
        : companionID(std::move(id)),
          key(*security::LocalPairingKey::fromBytes(security::crypto::sha256(security::crypto::bytesOf(seed)))),
          credentials(security::RelayCredentials::make("https://relay.invalid", key, companionID)) {}
    RelayParty(std::string id, security::LocalPairingKey pairingKey)
        : companionID(std::move(id)),
          key(std::move(pairingKey)),
          credentials(security::RelayCredentials::make("https://relay.invalid", key, companionID)) {}

    // A sealed envelope exactly as the companion uploads it.
    std::string envelope(std::uint64_t sequence, std::string_view payload = R"({"generatedAt":1,"tasks":[]})",
                         Date generatedAt = Date::fromReference(790000000)) const {
        return security::EncryptedCloudSnapshotEnvelope::sealPayload(security::crypto::bytesOf(payload), companionID, "Ada's workstation",
                                                           key, sequence, generatedAt)
            .encode()
            .value();
    }
};

}  // namespace vigilorb::test
