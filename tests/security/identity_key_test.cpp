// Companion identity, pairing key derivations and the key store over its backends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "model/json.hpp"
#include "model/text.hpp"
#include "security/key_store.hpp"
#include "security/identity.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;

namespace {

const std::regex freshID("^mac-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");

security::LocalPairingKey keyOf(std::uint8_t fill) { return *security::LocalPairingKey::fromBytes(Bytes(32, fill)); }

}  // namespace

TEST(CompanionIdentity, CreatesStoresAndKeepsAnIdentity) {
    MemoryPreferences prefs;
    auto first = security::CompanionIdentity::loadOrCreate(prefs, std::string("  Ada's workstation \n"));
    EXPECT_EQ(first.id.size(), 40u);
    EXPECT_TRUE(std::regex_match(first.id, freshID)) << first.id;
    EXPECT_EQ(first.name, "Ada's workstation");
    ASSERT_TRUE(prefs.string("companion.identity.v2"));
    auto stored = json::parse(*prefs.string("companion.identity.v2")).value();
    EXPECT_EQ(stored.at("id"), first.id);
    EXPECT_EQ(security::CompanionIdentity::loadOrCreate(prefs, std::string("other")), first);
}

TEST(CompanionIdentity, ReplacesBrokenStoredIdentities) {
    struct Case {
        const char* stored;
    } cases[] = {{R"({"id":"mac-1","name":""})"}, {R"({"id":"","name":"x"})"}, {R"({"id":"mac-1"})"}, {"not json"},
                 {R"(["mac-1","x"])"}};
    for (auto& c : cases) {
        MemoryPreferences prefs;
        prefs.setString("companion.identity.v2", c.stored);
        auto identity = security::CompanionIdentity::loadOrCreate(prefs, std::string("host"));
        EXPECT_TRUE(std::regex_match(identity.id, freshID)) << c.stored;
        EXPECT_EQ(security::CompanionIdentity::loadOrCreate(prefs, std::nullopt), identity) << "new identity was stored";
    }
    // A stored ID of another form is kept as it is.
    MemoryPreferences prefs;
    prefs.setString("companion.identity.v2", R"({"id":"legacy id","name":"n"})");
    EXPECT_EQ(security::CompanionIdentity::loadOrCreate(prefs, std::nullopt), (security::CompanionIdentity{"legacy id", "n"}));
}

TEST(CompanionIdentity, NameFromHost) {
    EXPECT_EQ(security::CompanionIdentity::nameFromHost(std::nullopt), "Mac");
    EXPECT_EQ(security::CompanionIdentity::nameFromHost(std::string(" \t\n ")), "Mac");
    EXPECT_EQ(security::CompanionIdentity::nameFromHost(std::string("\u00a0box\u2028")), "box");
    // A Latin-1 host name: the stray byte is replaced, so the name can be stored and sent.
    EXPECT_EQ(security::CompanionIdentity::nameFromHost(std::string(" Caf\xe9 box ")), "Caf\uFFFD box");
    std::string seventy(70, 'a');
    for (std::size_t i = 0; i < 70; ++i) seventy[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(security::CompanionIdentity::nameFromHost("   " + seventy + "  "), seventy.substr(0, 64));
    // Characters, not bytes: 70 flags (8 bytes each) cut to 64 flags.
    std::string flags;
    for (int i = 0; i < 70; ++i) flags += "\U0001F1E9\U0001F1EA";
    auto cut = security::CompanionIdentity::nameFromHost(flags);
    EXPECT_EQ(text::graphemeCount(cut), 64u);
    EXPECT_EQ(cut.size(), 64u * 8);
}

TEST(CompanionIdentity, HostNameFromMachineInfo) {
    test::TempDir dir;
    test::writeText(dir / "machine-info", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Lab\\\" box\"\n");
    EXPECT_EQ(security::hostComputerName(dir / "machine-info"), "Ada's \"Lab\" box");
    test::writeText(dir / "bare", "PRETTY_HOSTNAME=studio\n");
    EXPECT_EQ(security::hostComputerName(dir / "bare"), "studio");
    // Without a pretty name the kernel host name is used.
    auto fallback = security::hostComputerName(dir / "missing");
    ASSERT_TRUE(fallback);
    EXPECT_FALSE(fallback->empty());
}

TEST(LocalPairingKey, OnlyThirtyTwoBytes) {
    EXPECT_FALSE(security::LocalPairingKey::fromBytes(Bytes(31, 1)));
    EXPECT_FALSE(security::LocalPairingKey::fromBytes(Bytes(33, 1)));
    EXPECT_TRUE(security::LocalPairingKey::fromBytes(Bytes(32, 1)));
}

TEST(LocalPairingKey, IdentifierAndRelayDigests) {
    auto key = keyOf(0x42);
    const std::regex hex16("^[0-9a-f]{16}$"), hex64("^[0-9a-f]{64}$");
    EXPECT_TRUE(std::regex_match(key.keyIdentifier(), hex16));
    EXPECT_EQ(key.keyIdentifier(), keyOf(0x42).keyIdentifier());
    EXPECT_NE(key.keyIdentifier(), keyOf(0x43).keyIdentifier());
    auto digest = security::crypto::sha256(key.bytes());
    EXPECT_EQ(key.keyIdentifier(), security::crypto::hexLowercase(Bytes(digest.begin(), digest.begin() + 8)));

    auto channel = key.relayDigest(security::LocalPairingKey::relayChannelLabel, "mac-a");
    auto access = key.relayDigest(security::LocalPairingKey::relayAccessLabel, "mac-a");
    EXPECT_TRUE(std::regex_match(channel, hex64));
    EXPECT_TRUE(std::regex_match(access, hex64));
    EXPECT_NE(channel, access);
    EXPECT_NE(channel, key.relayDigest(security::LocalPairingKey::relayChannelLabel, "mac-b"));
    EXPECT_NE(access, key.relayDigest(security::LocalPairingKey::relayAccessLabel, "mac-b"));
    // The message is "label:value" exactly.
    EXPECT_EQ(channel, security::crypto::hexLowercase(security::crypto::hmacSha256(key.bytes(), security::crypto::bytesOf("Vigilorb.RelayChannel.v1:mac-a"))));
}

// The store's semantics are the same over every backend.
class KeyStoreBackends : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "memory")
            backend_ = std::make_unique<security::InMemorySecretItemBackend>();
        else
            backend_ = std::make_unique<security::FileSecretItemBackend>(dir_ / "keys");
    }
    test::TempDir dir_;
    std::unique_ptr<security::SecretItemBackend> backend_;
};

TEST_P(KeyStoreBackends, SaveReplaceLoadAndMissing) {
    security::KeychainPairingKeyStore store(*backend_);
    EXPECT_EQ(store.load("mac-a"), std::nullopt);
    EXPECT_TRUE(store.save(keyOf(1), "mac-a"));
    EXPECT_EQ(store.load("mac-a"), keyOf(1));
    EXPECT_TRUE(store.save(keyOf(2), "mac-a"));
    EXPECT_EQ(store.load("mac-a"), keyOf(2));
    EXPECT_EQ(store.load("mac-b"), std::nullopt);
    security::KeychainPairingKeyStore otherService(*backend_, "com.example.other");
    EXPECT_EQ(otherService.load("mac-a"), std::nullopt);
}

TEST_P(KeyStoreBackends, StoredItemOfWrongLengthIsInvalid) {
    security::KeychainPairingKeyStore store(*backend_);
    for (std::size_t size : {0u, 31u, 33u}) {
        auto query = store.baseQuery("mac-a", true);
        ASSERT_TRUE(backend_->add(query, Bytes(size, 9)));
        auto loaded = store.load("mac-a");
        ASSERT_FALSE(loaded) << size;
        EXPECT_EQ(loaded.error().code, security::PairingKeyStoreError::invalidStoredKey) << size;
        EXPECT_EQ(loaded.error().status, std::nullopt) << size;
    }
}

INSTANTIATE_TEST_SUITE_P(KeyStore, KeyStoreBackends, ::testing::Values("memory", "file"));

TEST(KeyStore, BackendFailuresCarryTheirStatus) {
    security::InMemorySecretItemBackend backend;
    security::KeychainPairingKeyStore store(backend);
    backend.failWith(security::KeyStoreStatus::timedOut);
    auto saved = store.save(keyOf(1), "mac-a");
    auto loaded = store.load("mac-a");
    for (const auto& failure : {saved ? std::nullopt : std::optional(saved.error()),
                                loaded ? std::nullopt : std::optional(loaded.error())}) {
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, security::PairingKeyStoreError::keychainStatus);
        EXPECT_EQ(failure->status, security::KeyStoreStatus::timedOut);
        // The status keeps the keychain's signed 32-bit number.
        EXPECT_EQ(static_cast<std::int32_t>(*failure->status), -61000);
    }
    EXPECT_EQ(static_cast<std::int32_t>(security::KeyStoreStatus::itemNotFound), -25300);
}

TEST(KeyStore, BaseQueryAddsAccessGroupOnlyWhenAskedAndPresent) {
    security::InMemorySecretItemBackend backend;
    security::KeychainPairingKeyStore plain(backend);
    EXPECT_EQ(plain.baseQuery("mac-a", true).accessGroup, std::nullopt);
    EXPECT_EQ(plain.baseQuery("mac-a", true).service, "com.tarnbrook.vigilorb.pairing");
    security::KeychainPairingKeyStore grouped(backend, security::KeychainPairingKeyStore::defaultService, "group");
    EXPECT_EQ(grouped.baseQuery("mac-a", true).accessGroup, "group");
    EXPECT_EQ(grouped.baseQuery("mac-a", false).accessGroup, std::nullopt);
}

TEST(KeyStore, FileBackendKeepsSecretsPrivateAndReportsWriteFailures) {
    test::TempDir dir;
    security::FileSecretItemBackend backend(dir / "keys");
    security::KeychainPairingKeyStore store(backend);
    EXPECT_TRUE(store.save(keyOf(5), "../mac-a/.."));
    auto path = backend.itemPath(store.baseQuery("../mac-a/..", true));
    EXPECT_EQ(path.parent_path().parent_path(), dir / "keys") << "the account cannot choose the path";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(path.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A regular file where the folder should be: writing fails with a status, not silently.
    test::writeText(dir / "blocked", "x");
    security::FileSecretItemBackend blocked(dir / "blocked");
    security::KeychainPairingKeyStore blockedStore(blocked);
    auto saved = blockedStore.save(keyOf(1), "mac-a");
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().code, security::PairingKeyStoreError::keychainStatus);
    EXPECT_EQ(saved.error().status, security::KeyStoreStatus::ioFailure);
}
