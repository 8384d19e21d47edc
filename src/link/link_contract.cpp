#include "link/link_contract.hpp"

#include <algorithm>
#include <cctype>

#include "security/crypto.hpp"

namespace vigilorb::link {

std::string peerDisplayName(std::string_view companionID) {
    // The ID is ASCII by construction ("mac-" + UUID); a longer foreign ID still gives its
    // last eight bytes, never a split inside the prefix.
    auto tail = companionID.size() > 8 ? companionID.substr(companionID.size() - 8) : companionID;
    return "VLOB-" + std::string(tail);
}

std::vector<std::string> txtRecord(std::string_view companionID) {
    return {std::string(txtCompanionKey) + "=" + std::string(companionID)};
}

std::optional<std::string> companionFromTxt(const std::vector<std::string>& entries) {
    std::string_view wanted = txtCompanionKey;
    for (const auto& entry : entries) {
        auto eq = entry.find('=');
        if (eq == std::string::npos || eq != wanted.size()) continue;
        bool same = std::equal(wanted.begin(), wanted.end(), entry.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
        if (same) return entry.substr(eq + 1);
    }
    return std::nullopt;
}

Bytes sessionPreSharedKey(const security::LocalPairingKey& key, std::string_view companionID) {
    return security::crypto::hmacSha256(key.bytes(), security::crypto::bytesOf(std::string(pskLabel) + std::string(companionID)));
}

std::string sessionPskIdentity(const security::LocalPairingKey& key) { return key.keyIdentifier(); }

}  // namespace vigilorb::link
