#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/bytes.hpp"

// Every failure that depends on the input is returned as a CryptoError. libcrypto refusing an
// operation it cannot refuse for valid input (out of memory, a broken installation) is thrown
// as std::runtime_error, the way allocation failure throws std::bad_alloc: no caller can act on
// it, and the digests, random bytes and Base64 encoding have no other failure.
namespace vigilorb::security::crypto {

enum class CryptoError {
    invalidKeySize,       // a key of a length the algorithm does not take
    invalidNonceSize,     // ChaCha20-Poly1305 takes exactly 12 nonce bytes
    invalidOutputSize,    // HKDF length 0 or above 255 * 32
    authenticationFailed, // a sealed box whose tag does not match
    malformedSealedBox,   // a combined box shorter than nonce + tag
};

inline constexpr std::size_t sha256Size = 32;
inline constexpr std::size_t chachaKeySize = 32;
inline constexpr std::size_t chachaNonceSize = 12;
inline constexpr std::size_t chachaTagSize = 16;

Bytes bytesOf(std::string_view s);
std::string stringOf(const Bytes& b);

// Each byte as two lower-case hex digits, no separators.
std::string hexLowercase(const Bytes& bytes);
// Hex digits (either case) to bytes; nullopt for odd length or a non-hex character.
std::optional<Bytes> fromHex(std::string_view hex);

// Standard Base64 with padding (RFC 4648).
std::string base64Encode(const Bytes& bytes);
// Strict: only the standard alphabet, length a multiple of 4, padding only at the end.
std::optional<Bytes> base64Decode(std::string_view text);

Bytes sha256(const Bytes& data);
Bytes hmacSha256(const Bytes& key, const Bytes& message);
// HKDF-SHA256 (RFC 5869) extract-and-expand; invalidOutputSize for a length of 0 or more than
// 255 * 32 bytes.
[[nodiscard]] std::expected<Bytes, CryptoError> hkdfSha256(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t length);

// Compares the whole of both strings in time that depends only on their lengths.
bool constantTimeEqual(const Bytes& a, const Bytes& b);

// Bytes from the operating system's secure random source.
Bytes randomBytes(std::size_t count);

// ChaCha20-Poly1305 (RFC 8439). seal returns ciphertext || tag; both refuse a key other than 32
// bytes (invalidKeySize) and a nonce other than 12 (invalidNonceSize).
[[nodiscard]] std::expected<Bytes, CryptoError> chachaSeal(const Bytes& key, const Bytes& nonce, const Bytes& plaintext,
                                                           const Bytes& aad);
// authenticationFailed when the tag does not match or is not 16 bytes.
[[nodiscard]] std::expected<Bytes, CryptoError> chachaOpen(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext,
                                                           const Bytes& tag, const Bytes& aad);

// Combined form: nonce || ciphertext || tag, with a fresh random nonce.
[[nodiscard]] std::expected<Bytes, CryptoError> sealCombined(const Bytes& key, const Bytes& plaintext, const Bytes& aad);
[[nodiscard]] std::expected<Bytes, CryptoError> sealCombined(const Bytes& key, const Bytes& nonce, const Bytes& plaintext,
                                                             const Bytes& aad);
// malformedSealedBox when shorter than nonce and tag; otherwise as chachaOpen.
[[nodiscard]] std::expected<Bytes, CryptoError> openCombined(const Bytes& key, const Bytes& combined, const Bytes& aad);

}  // namespace vigilorb::security::crypto
