// The pairing key store over a real Secret Service (GNOME Keyring in a private D-Bus session),
// over one that never answers, and without any; and the QSettings preferences.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <cstdio>
#include <cstdlib>

#include "runtime/qsettings_preferences.hpp"
#include "security/identity.hpp"
#include "temp_dir.hpp"
#include "transport/keychain_store.hpp"

using namespace vigilorb;
using namespace std::chrono_literals;

namespace {

security::LocalPairingKey keyOf(std::uint8_t fill) { return *security::LocalPairingKey::fromBytes(Bytes(32, fill)); }

// The status a load failed with; nullopt when it did not fail.
std::optional<security::KeyStoreStatus> statusOfLoad(security::KeychainPairingKeyStore& store, const std::string& account) {
    auto loaded = store.load(account);
    if (loaded) return std::nullopt;
    EXPECT_EQ(loaded.error().code, security::PairingKeyStoreError::keychainStatus);
    return loaded.error().status;
}

std::string secretToolLookup(const std::string& service, const std::string& account) {
    std::string command = "secret-tool lookup server '" + service + "' user '" + account + "' 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (auto n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        pclose(p);
    }
    return out;
}

}  // namespace

TEST(SecretService, SaveReplaceLoadAndMissing) {
    ASSERT_TRUE(transport::secretServiceAvailable());
    test::TempDir dir;
    auto backend = transport::chooseSecretItemBackend(dir / "keys");
    ASSERT_EQ(backend->kind(), "Secret Service");
    security::KeychainPairingKeyStore store(*backend);

    EXPECT_EQ(store.load("mac-missing"), std::nullopt);
    EXPECT_TRUE(store.save(keyOf(1), "mac-a"));
    EXPECT_EQ(store.load("mac-a"), keyOf(1));
    EXPECT_TRUE(store.save(keyOf(2), "mac-a"));
    EXPECT_EQ(store.load("mac-a"), keyOf(2));
    EXPECT_EQ(store.load("mac-b"), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dir / "keys")) << "nothing went to the file fallback";
    // The item is in the keyring itself, visible to another Secret Service client.
    EXPECT_FALSE(secretToolLookup(security::KeychainPairingKeyStore::defaultService, "mac-a").empty());
}

TEST(SecretService, StoredItemOfWrongLengthIsInvalid) {
    transport::QtKeychainSecretItemBackend backend;
    security::KeychainPairingKeyStore store(backend);
    ASSERT_TRUE(backend.add(store.baseQuery("mac-short", true), Bytes(31, 4)));
    auto loaded = store.load("mac-short");
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().code, security::PairingKeyStoreError::invalidStoredKey);
}

// A service that takes every call and never answers, like a keyring waiting on a prompt.
class SilentSecretService : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        message.setDelayedReply(true);
        ++calls;
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    int calls = 0;
};

TEST(StalledSecretService, EveryCallGivesUpWithATimeout) {
    auto bus = QDBusConnection::sessionBus();
    SilentSecretService service;
    ASSERT_TRUE(bus.registerVirtualObject("/", &service, QDBusConnection::SubPath));
    ASSERT_TRUE(bus.registerService("org.freedesktop.secrets"));
    ASSERT_TRUE(transport::secretServiceAvailable());

    transport::QtKeychainSecretItemBackend backend(300ms);
    security::KeychainPairingKeyStore store(backend);
    EXPECT_EQ(statusOfLoad(store, "mac-a"), security::KeyStoreStatus::timedOut);
    auto saved = store.save(keyOf(1), "mac-a");
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().status, security::KeyStoreStatus::timedOut);
    EXPECT_GT(service.calls, 0) << "the calls reached the stalled service";
}

TEST(NoSecretService, FallsBackToPrivateFiles) {
    EXPECT_FALSE(transport::secretServiceAvailable());
    test::TempDir dir;
    auto backend = transport::chooseSecretItemBackend(dir / "keys");
    EXPECT_EQ(backend->kind(), "file");
    security::KeychainPairingKeyStore store(*backend);
    EXPECT_EQ(store.load("mac-a"), std::nullopt);
    EXPECT_TRUE(store.save(keyOf(3), "mac-a"));
    EXPECT_EQ(store.load("mac-a"), keyOf(3));
}

TEST(NoSecretService, KeychainBackendFailsInsteadOfHanging) {
    transport::QtKeychainSecretItemBackend backend(5s);
    security::KeychainPairingKeyStore store(backend);
    auto status = statusOfLoad(store, "mac-a");
    EXPECT_NE(status, std::nullopt);
    EXPECT_NE(status, security::KeyStoreStatus::itemNotFound);
}

TEST(NoSecretService, DefaultFallbackFolderIsInTheAppDataFolder) {
    test::TempDir dir;
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(transport::defaultPairingKeyFolder(), dir / "VigilorbCompanion" / "PairingKeys");
}

TEST(Preferences, IdentityPersistsInQSettings) {
    test::TempDir dir;
    auto file = QString::fromStdString((dir / "prefs.conf").string());
    security::CompanionIdentity first;
    {
        runtime::QSettingsPreferences prefs(file);
        first = security::CompanionIdentity::loadOrCreate(prefs, std::string("host"));
    }
    runtime::QSettingsPreferences reopened(file);
    EXPECT_EQ(security::CompanionIdentity::loadOrCreate(reopened, std::string("other")), first);
    EXPECT_EQ(reopened.string("missing"), std::nullopt);
}

int main(int argc, char** argv) {
    // QtKeychain's Secret Service calls complete through a Qt event loop.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
