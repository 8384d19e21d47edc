// Known-answer tests: RFC 8439, RFC 5869, RFC 4231 and Project Wycheproof files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "model/json.hpp"
#include "security/crypto.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::security::crypto;

namespace {

std::filesystem::path vectorFolder() {
    if (const char* source = std::getenv("VIGILORB_SOURCE_DIR")) {
        auto beside = std::filesystem::path(source) / ".." / "shared" / "testvectors";
        if (std::filesystem::exists(beside / "wycheproof")) return beside;
    }
    return VIGILORB_TESTVECTORS_DIR;
}

Json wycheproof(const char* file) {
    auto path = vectorFolder() / "wycheproof" / file;
    return json::parse(test::readText(path)).value();
}

Bytes hex(std::string_view s) {
    auto b = fromHex(s);
    if (!b) throw std::runtime_error("bad hex in test data");
    return *b;
}

Bytes hexField(const Json& t, const char* key) { return hex(t.at(key).get<std::string>()); }

}  // namespace

TEST(CryptoKnownAnswers, Rfc8439AeadExampleInCombinedForm) {
    auto key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    auto nonce = hex("070000004041424344454647");
    auto aad = hex("50515253c0c1c2c3c4c5c6c7");
    auto plaintext = bytesOf(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
        "be it.");
    auto expected = hex(
        "070000004041424344454647"
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
        "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
        "86cec64b6116"
        "1ae10b594f09e26a7e902ecbd0600691");
    auto combined = sealCombined(key, nonce, plaintext, aad).value();
    EXPECT_EQ(combined, expected);
    EXPECT_EQ(combined.size(), 142u);
    EXPECT_EQ(openCombined(key, combined, aad), plaintext);
}

TEST(CryptoKnownAnswers, Rfc5869Case1FullAndPairingKeyLength) {
    auto ikm = hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b");
    auto salt = hex("000102030405060708090a0b0c");
    auto info = hex("f0f1f2f3f4f5f6f7f8f9");
    auto okm = hkdfSha256(ikm, salt, info, 42).value();
    EXPECT_EQ(hexLowercase(okm),
              "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(hkdfSha256(ikm, salt, info, 32), Bytes(okm.begin(), okm.begin() + 32));
}

TEST(CryptoKnownAnswers, Rfc4231Case2AndSha256) {
    EXPECT_EQ(hexLowercase(hmacSha256(bytesOf("Jefe"), bytesOf("what do ya want for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hexLowercase(sha256(bytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptoKnownAnswers, WycheproofChaCha20Poly1305) {
    auto doc = wycheproof("chacha20_poly1305_test.json");
    int checked = 0;
    for (const auto& group : doc.at("testGroups")) {
        for (const auto& t : group.at("tests")) {
            SCOPED_TRACE("tcId " + std::to_string(t.at("tcId").get<int>()));
            auto key = hexField(t, "key"), iv = hexField(t, "iv"), aad = hexField(t, "aad"), msg = hexField(t, "msg"),
                 ct = hexField(t, "ct"), tag = hexField(t, "tag");
            bool valid = t.at("result") == "valid";
            Bytes sealedExpected = ct;
            sealedExpected.insert(sealedExpected.end(), tag.begin(), tag.end());
            if (valid) {
                EXPECT_EQ(chachaSeal(key, iv, msg, aad), sealedExpected);
                EXPECT_EQ(chachaOpen(key, iv, ct, tag, aad), msg);
                Bytes combined = iv;
                combined.insert(combined.end(), sealedExpected.begin(), sealedExpected.end());
                EXPECT_EQ(openCombined(key, combined, aad), msg);
            } else {
                // Invalid: a changed tag/ciphertext, or a nonce that is not 96 bits.
                auto refusal = iv.size() != chachaNonceSize ? CryptoError::invalidNonceSize : CryptoError::authenticationFailed;
                EXPECT_EQ(chachaOpen(key, iv, ct, tag, aad), std::unexpected(refusal));
                if (iv.size() != chachaNonceSize) {
                    EXPECT_EQ(chachaSeal(key, iv, msg, aad), std::unexpected(refusal));
                }
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, doc.at("numberOfTests").get<int>());
}

TEST(CryptoKnownAnswers, WycheproofHkdfSha256) {
    auto doc = wycheproof("hkdf_sha256_test.json");
    int checked = 0;
    for (const auto& group : doc.at("testGroups")) {
        for (const auto& t : group.at("tests")) {
            SCOPED_TRACE("tcId " + std::to_string(t.at("tcId").get<int>()));
            auto size = t.at("size").get<std::size_t>();
            auto derive = [&] { return hkdfSha256(hexField(t, "ikm"), hexField(t, "salt"), hexField(t, "info"), size); };
            if (t.at("result") == "valid")
                EXPECT_EQ(derive(), hexField(t, "okm"));
            else
                EXPECT_EQ(derive(), std::unexpected(CryptoError::invalidOutputSize));
            ++checked;
        }
    }
    EXPECT_EQ(checked, doc.at("numberOfTests").get<int>());
}

TEST(CryptoKnownAnswers, WycheproofHmacSha256) {
    auto doc = wycheproof("hmac_sha256_test.json");
    int checked = 0;
    for (const auto& group : doc.at("testGroups")) {
        // 128-bit groups expect the tag truncated; the protocol itself always uses all 32 bytes.
        auto tagBytes = group.at("tagSize").get<std::size_t>() / 8;
        for (const auto& t : group.at("tests")) {
            SCOPED_TRACE("tcId " + std::to_string(t.at("tcId").get<int>()));
            auto mac = hmacSha256(hexField(t, "key"), hexField(t, "msg"));
            Bytes computed(mac.begin(), mac.begin() + static_cast<std::ptrdiff_t>(tagBytes));
            EXPECT_EQ(constantTimeEqual(computed, hexField(t, "tag")), t.at("result") == "valid");
            ++checked;
        }
    }
    EXPECT_EQ(checked, doc.at("numberOfTests").get<int>());
}

TEST(CryptoPrimitives, SealedBoxRefusesWrongSizesAndShortInput) {
    Bytes key(32, 7), nonce(12, 1);
    EXPECT_EQ(chachaSeal(Bytes(31, 7), nonce, {}, {}), std::unexpected(CryptoError::invalidKeySize));
    EXPECT_EQ(chachaSeal(key, Bytes(8, 1), {}, {}), std::unexpected(CryptoError::invalidNonceSize));
    EXPECT_EQ(sealCombined(Bytes(33, 7), {}, {}), std::unexpected(CryptoError::invalidKeySize));
    EXPECT_EQ(openCombined(key, Bytes(27, 0), {}), std::unexpected(CryptoError::malformedSealedBox));
    auto sealed = sealCombined(key, nonce, {}, {}).value();
    EXPECT_EQ(sealed.size(), 28u);
    EXPECT_EQ(openCombined(key, sealed, {}), Bytes{});
    EXPECT_EQ(openCombined(Bytes(31, 7), sealed, {}), std::unexpected(CryptoError::invalidKeySize));
    // A truncated tag is refused rather than compared on its prefix.
    auto full = chachaSeal(key, nonce, bytesOf("x"), {}).value();
    EXPECT_EQ(chachaOpen(key, nonce, Bytes(full.begin(), full.begin() + 1), Bytes(full.begin() + 1, full.end() - 1), {}),
              std::unexpected(CryptoError::authenticationFailed));
}

TEST(CryptoPrimitives, Base64IsStrictAndPadded) {
    EXPECT_EQ(base64Encode(bytesOf("")), "");
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
    EXPECT_EQ(base64Decode("Zm8="), bytesOf("fo"));
    EXPECT_EQ(base64Decode("Zg=="), bytesOf("f"));
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
    for (const char* bad : {"Zm8", "Zm 8=", "Zm8=Zm8=", "Z===", "Zh==", "Zm-_", "Zm9v\n"})
        EXPECT_FALSE(base64Decode(bad)) << bad;
}

TEST(CryptoPrimitives, HexAndConstantTimeCompare) {
    EXPECT_EQ(hexLowercase({0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    EXPECT_EQ(fromHex("000FA0ff"), (Bytes{0x00, 0x0f, 0xa0, 0xff}));
    EXPECT_FALSE(fromHex("abc"));
    EXPECT_FALSE(fromHex("zz"));
    EXPECT_TRUE(constantTimeEqual({1, 2, 3}, {1, 2, 3}));
    EXPECT_FALSE(constantTimeEqual({1, 2, 3}, {1, 2, 4}));
    EXPECT_FALSE(constantTimeEqual({1, 2, 3}, {1, 2}));
    EXPECT_NE(randomBytes(32), randomBytes(32));
}
