#include "security/crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace vigilorb::security::crypto {

namespace {

// libcrypto refused what it cannot refuse for valid input (see the header).
[[noreturn]] void libraryFailure(const char* what) { throw std::runtime_error(what); }

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Mac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC, EVP_MAC_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER, EVP_CIPHER_free>>;

// OpenSSL wants non-null pointers even for empty inputs.
unsigned char* mutableData(const Bytes& b) {
    static unsigned char empty = 0;
    return b.empty() ? &empty : const_cast<unsigned char*>(b.data());
}

int intSize(std::size_t n) {
    // Nothing here handles 2 GiB at once; the frame and body limits keep inputs far below.
    if (n > static_cast<std::size_t>(INT32_MAX)) libraryFailure("input too large");
    return static_cast<int>(n);
}

Cipher chachaCipher() {
    Cipher c(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
    if (!c) libraryFailure("ChaCha20-Poly1305 unavailable");
    return c;
}

std::expected<void, CryptoError> checkChachaSizes(const Bytes& key, const Bytes& nonce) {
    if (key.size() != chachaKeySize) return std::unexpected(CryptoError::invalidKeySize);
    // libcrypto would accept shorter nonces by padding them; RFC 8439 allows only 96 bits.
    if (nonce.size() != chachaNonceSize) return std::unexpected(CryptoError::invalidNonceSize);
    return {};
}

}  // namespace

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string stringOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string hexLowercase(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::optional<Bytes> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string base64Encode(const Bytes& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), mutableData(bytes), intSize(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    // EVP_DecodeBlock skips whitespace and does not report padding, so the strict shape is
    // checked here and the padding subtracted from its output.
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=') {
            if (i + 2 < text.size()) return std::nullopt;
            ++padding;
        } else if (!alphabet || padding > 0) {
            return std::nullopt;
        }
    }
    if (text.empty()) return Bytes{};
    Bytes out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), intSize(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    // Reject non-canonical encodings (bits set in the padding area) by re-encoding.
    if (base64Encode(out) != text) return std::nullopt;
    return out;
}

Bytes sha256(const Bytes& data) {
    Bytes out(sha256Size);
    std::size_t len = 0;
    if (EVP_Q_digest(nullptr, "SHA256", nullptr, mutableData(data), data.size(), out.data(), &len) != 1 ||
        len != sha256Size)
        libraryFailure("SHA-256 failed");
    return out;
}

Bytes hmacSha256(const Bytes& key, const Bytes& message) {
    Mac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac) libraryFailure("HMAC unavailable");
    MacCtx ctx(EVP_MAC_CTX_new(mac.get()));
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    Bytes out(sha256Size);
    std::size_t len = 0;
    if (!ctx || EVP_MAC_init(ctx.get(), mutableData(key), key.size(), params) != 1 ||
        EVP_MAC_update(ctx.get(), mutableData(message), message.size()) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) != 1 || len != sha256Size)
        libraryFailure("HMAC-SHA256 failed");
    return out;
}

std::expected<Bytes, CryptoError> hkdfSha256(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t length) {
    if (length == 0 || length > 255 * sha256Size) return std::unexpected(CryptoError::invalidOutputSize);
    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) libraryFailure("HKDF unavailable");
    KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableData(ikm), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size()),
        OSSL_PARAM_construct_end(),
    };
    Bytes out(length);
    if (!ctx || EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1)
        libraryFailure("HKDF-SHA256 failed");
    return out;
}

bool constantTimeEqual(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), intSize(count)) != 1)
        libraryFailure("no secure random bytes");
    return out;
}

std::expected<Bytes, CryptoError> chachaSeal(const Bytes& key, const Bytes& nonce, const Bytes& plaintext,
                                             const Bytes& aad) {
    if (auto sizes = checkChachaSizes(key, nonce); !sizes) return std::unexpected(sizes.error());
    auto cipher = chachaCipher();
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(plaintext.size() + chachaTagSize);
    int len = 0;
    if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key.data(), nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), intSize(aad.size())) != 1) ||
        (!plaintext.empty() &&
         EVP_EncryptUpdate(ctx.get(), out.data(), &len, plaintext.data(), intSize(plaintext.size())) != 1) ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + plaintext.size(), &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(chachaTagSize),
                            out.data() + plaintext.size()) != 1)
        libraryFailure("ChaCha20-Poly1305 sealing failed");
    return out;
}

std::expected<Bytes, CryptoError> chachaOpen(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext,
                                             const Bytes& tag, const Bytes& aad) {
    if (auto sizes = checkChachaSizes(key, nonce); !sizes) return std::unexpected(sizes.error());
    // Truncated tags are never accepted.
    if (tag.size() != chachaTagSize) return std::unexpected(CryptoError::authenticationFailed);
    auto cipher = chachaCipher();
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes out(ciphertext.size());
    int len = 0;
    if (!ctx || EVP_DecryptInit_ex2(ctx.get(), cipher.get(), key.data(), nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), intSize(aad.size())) != 1) ||
        (!ciphertext.empty() &&
         EVP_DecryptUpdate(ctx.get(), out.data(), &len, ciphertext.data(), intSize(ciphertext.size())) != 1) ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(chachaTagSize),
                            mutableData(tag)) != 1)
        libraryFailure("ChaCha20-Poly1305 opening failed");
    unsigned char scratch[16];
    if (EVP_DecryptFinal_ex(ctx.get(), scratch, &len) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return std::unexpected(CryptoError::authenticationFailed);
    }
    return out;
}

std::expected<Bytes, CryptoError> sealCombined(const Bytes& key, const Bytes& plaintext, const Bytes& aad) {
    return sealCombined(key, randomBytes(chachaNonceSize), plaintext, aad);
}

std::expected<Bytes, CryptoError> sealCombined(const Bytes& key, const Bytes& nonce, const Bytes& plaintext,
                                               const Bytes& aad) {
    auto sealed = chachaSeal(key, nonce, plaintext, aad);
    if (!sealed) return sealed;
    Bytes out(nonce);
    out.insert(out.end(), sealed->begin(), sealed->end());
    return out;
}

std::expected<Bytes, CryptoError> openCombined(const Bytes& key, const Bytes& combined, const Bytes& aad) {
    if (combined.size() < chachaNonceSize + chachaTagSize) return std::unexpected(CryptoError::malformedSealedBox);
    Bytes nonce(combined.begin(), combined.begin() + chachaNonceSize);
    Bytes ciphertext(combined.begin() + chachaNonceSize, combined.end() - chachaTagSize);
    Bytes tag(combined.end() - chachaTagSize, combined.end());
    return chachaOpen(key, nonce, ciphertext, tag, aad);
}

}  // namespace vigilorb::security::crypto
