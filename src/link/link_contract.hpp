#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "security/pairing_key.hpp"

namespace vigilorb::link {

// What a receiver must reproduce to find and reach the companion on the local network.
inline constexpr const char* serviceType = "_vlob-v1._tcp";
inline constexpr const char* txtCompanionKey = "companion";
inline constexpr const char* pskLabel = "Vigilorb.LocalLink.v1:";
// TLS 1.2 only, this one suite: ephemeral Diffie-Hellman over the pre-shared key.
inline constexpr const char* cipherSuite = "ECDHE-PSK-CHACHA20-POLY1305";

// Bounds on what an unauthenticated peer can make the companion hold.
inline constexpr std::chrono::milliseconds helloTimeout{10000};
inline constexpr std::size_t maxWaitingConnections = 16;
inline constexpr std::size_t maxHelloFrame = 16 * 1024;
inline constexpr std::size_t maxQueuedBytes = 32 * 1024 * 1024;
// Largest envelope frame a receiver accepts: the whole snapshot travels in each one.
inline constexpr std::size_t maxEnvelopeFrame = 32 * 1024 * 1024;

// "VLOB-" and the last 8 characters of the companion ID (the whole ID when shorter).
std::string peerDisplayName(std::string_view companionID);

// The DNS-SD TXT record: one entry, companion=<ID>.
std::vector<std::string> txtRecord(std::string_view companionID);
// The companion ID a TXT record advertises; none without a companion entry. Entries are
// "key=value" strings; keys compare case-insensitively, as DNS-SD keys do.
std::optional<std::string> companionFromTxt(const std::vector<std::string>& entries);

// The TLS session key: HMAC-SHA256 keyed with the pairing key over pskLabel + companion ID,
// 32 raw bytes. Derived, so the TLS layer never holds the signing key itself.
Bytes sessionPreSharedKey(const security::LocalPairingKey& key, std::string_view companionID);
// The PSK identity offered and expected: the key's identifier.
std::string sessionPskIdentity(const security::LocalPairingKey& key);

// Whether a newly accepted connection may wait for its hello while `waiting` others do.
constexpr bool mayAcceptWaiting(std::size_t waiting) { return waiting < maxWaitingConnections; }
// Whether a frame of `frameSize` may join the `queued` bytes not yet sent to a receiver; a
// receiver that stops reading is dropped instead of growing memory.
constexpr bool mayQueue(std::size_t queued, std::size_t frameSize) {
    return queued <= maxQueuedBytes && frameSize <= maxQueuedBytes - queued;
}

}  // namespace vigilorb::link
