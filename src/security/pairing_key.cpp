#include "security/pairing_key.hpp"

namespace vigilorb::security {

std::optional<LocalPairingKey> LocalPairingKey::fromBytes(Bytes bytes) {
    if (bytes.size() != size) return std::nullopt;
    return LocalPairingKey(std::move(bytes));
}

std::string LocalPairingKey::keyIdentifier() const {
    auto digest = crypto::sha256(bytes_);
    return hexLowercase(Bytes(digest.begin(), digest.begin() + 8));
}

std::string LocalPairingKey::relayDigest(std::string_view label, std::string_view value) const {
    std::string message;
    message.append(label).append(":").append(value);
    return hexLowercase(crypto::hmacSha256(bytes_, crypto::bytesOf(message)));
}

}  // namespace vigilorb::security
