#pragma once
// The pairing the security and link targets (and their generated seeds) share: a fixed key and
// companion, so that seeds signed or sealed with them pass every check and mutations of them
// reach the later ones.
#include <string>

#include "security/pairing_key.hpp"

namespace vigilorb::fuzz {

inline const std::string companionID = "mac-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";

inline const security::LocalPairingKey& pairingKey() {
    static const security::LocalPairingKey key = [] {
        Bytes bytes;
        for (std::uint8_t i = 0; i < security::LocalPairingKey::size; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
        return *security::LocalPairingKey::fromBytes(bytes);
    }();
    return key;
}

}  // namespace vigilorb::fuzz
