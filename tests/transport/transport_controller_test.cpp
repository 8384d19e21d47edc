// The transport controller with a real HTTPS relay (relay_server.py behind with_test_ca.sh) and
// the in-memory key store on the controller's key-store thread.
#include <gtest/gtest.h>

#include <QPointer>

#include "cloud/relay_settings.hpp"
#include "relay_test_support.hpp"
#include "transport/companion_transport_controller.hpp"
#include "transport/keychain_store.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
using namespace std::chrono_literals;

namespace {

const QString synced = "Encrypted cloud snapshot synced";

// A backend that outlives the controller that owns a handle to it, so tests can look inside.
class SharedBackend final : public SecretItemBackend {
public:
    explicit SharedBackend(InMemorySecretItemBackend& items) : items_(items) {}
    std::expected<void, KeyStoreStatus> update(const SecretItemQuery& q, const Bytes& d) override {
        return items_.update(q, d);
    }
    std::expected<void, KeyStoreStatus> add(const SecretItemQuery& q, const Bytes& d) override { return items_.add(q, d); }
    std::expected<Bytes, KeyStoreStatus> copyMatching(const SecretItemQuery& q) override { return items_.copyMatching(q); }
    std::string kind() const override { return items_.kind(); }

private:
    InMemorySecretItemBackend& items_;
};

struct TransportController : ::testing::Test {
    MemoryPreferences preferences;
    InMemorySecretItemBackend items;
    CompanionIdentity identity{companionID, companionName};
    CompanionSnapshot runtimeSnapshot = snapshotWithTask("runtime's current task");

    void SetUp() override { application(); }

    std::unique_ptr<CompanionTransportController> controller(std::string builtInRelay = "") {
        CompanionTransportController::Options o;
        o.builtInRelayAddress = std::move(builtInRelay);
        o.relay.schedule.debounce = 300ms;
        o.relay.schedule.retry = 300ms;
        o.link.advertise = false;
        o.link.listenAddress = QHostAddress::LocalHost;
        o.currentSnapshot = [this] { return runtimeSnapshot; };
        return std::make_unique<CompanionTransportController>(identity, preferences,
                                                              std::make_unique<SharedBackend>(items), o);
    }
    void storeKey(const LocalPairingKey& key) {
        KeychainPairingKeyStore store(items);
        EXPECT_TRUE(store.save(key, companionID));
    }
    static void restore(CompanionTransportController& c) {
        bool done = false;
        QObject::connect(&c, &CompanionTransportController::restoreFinished, [&] { done = true; });
        c.restoreStoredKey();
        ASSERT_TRUE(waitUntil([&] { return done; }));
    }
    static CompanionTransportController::PairingResult pair(CompanionTransportController& c) {
        std::optional<CompanionTransportController::PairingResult> result;
        c.generatePairingInvitation([&](const auto& r) { result = r; });
        EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
        return result.value_or(std::unexpected(PairingFailure::alreadyPreparing));
    }
    std::vector<QByteArray> payloads(const RelayServer& server, const LocalPairingKey& key) {
        std::vector<QByteArray> out;
        for (const auto& r : server.received) out.push_back(openWithPeer(r.body, key).out);
        return out;
    }
};

}  // namespace

TEST_F(TransportController, StartsUnpairedAndStaysSoWithoutAStoredKey) {
    auto c = controller("https://127.0.0.1:9/relay");
    EXPECT_EQ(c->status(), "Local connection is not available");
    EXPECT_FALSE(c->launchesAtLogin());
    restore(*c);
    EXPECT_EQ(c->status(), "Local connection is not available");
    EXPECT_FALSE(c->isPaired());
    EXPECT_EQ(c->localLink(), nullptr);
    EXPECT_EQ(c->relay(), nullptr);
    // Publishing while unpaired only keeps the snapshot.
    c->publish(runtimeSnapshot);
    EXPECT_EQ(c->latestSnapshot(), runtimeSnapshot);
    EXPECT_EQ(c->localLink(), nullptr);
}

TEST_F(TransportController, AKeyStoreThatCannotBeReadLeavesItUnpairedWithTheErrorText) {
    storeKey(testKey());
    items.failWith(KeyStoreStatus::timedOut);
    auto c = controller();
    restore(*c);
    EXPECT_EQ(c->status(), "Could not read this Mac's pairing identity");
    EXPECT_FALSE(c->isPaired());
}

TEST_F(TransportController, AStoredKeyUploadsTheEmptySnapshotAtOnceThenWhatTheRuntimePublishes) {
    RelayServer server;
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    storeKey(testKey());
    auto c = controller();
    restore(*c);
    ASSERT_TRUE(c->isPaired());
    ASSERT_NE(c->localLink(), nullptr);
    ASSERT_NE(c->relay(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return server.received.size() == 1; }));
    c->publish(runtimeSnapshot);
    ASSERT_TRUE(waitUntil([&] { return server.received.size() == 2; }));
    auto opened = payloads(server, testKey());
    EXPECT_TRUE(opened[0].contains(R"("tasks":[])")) << opened[0].toStdString();
    EXPECT_TRUE(opened[1].contains("runtime's current task")) << opened[1].toStdString();
    ASSERT_TRUE(waitUntil([&] { return c->status() == synced; }));
}

TEST_F(TransportController, ASnapshotPublishedBeforeTheKeyStoreAnsweredIsTheOneActivated) {
    RelayServer server;
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    storeKey(testKey());
    auto c = controller();
    c->publish(runtimeSnapshot);  // the runtime's start-up publish came first
    restore(*c);
    ASSERT_TRUE(waitUntil([&] { return server.received.size() == 1; }));
    EXPECT_TRUE(payloads(server, testKey())[0].contains("runtime's current task"));
}

TEST_F(TransportController, WithNoAddressAndNoBuiltInRelayItSaysCloudSyncIsOff) {
    storeKey(testKey());
    auto c = controller("");
    restore(*c);
    EXPECT_TRUE(c->isPaired());
    EXPECT_EQ(c->relay(), nullptr);
    EXPECT_EQ(c->status(), "Cloud sync is off because no relay address is set");
    // A stored empty address is the user's choice, not a missing setting.
    preferences.setString(cloud::relayAddressKey, "");
    c->setStatus("Waiting for a paired iPhone");
    c->configureRelay(std::nullopt, testKey(), {});
    EXPECT_EQ(c->status(), "Waiting for a paired iPhone");
}

TEST_F(TransportController, PairingStoresAndActivatesTheKeyTheInvitationGives) {
    RelayServer server;
    auto c = controller(server.base().toStdString());  // the built-in default applies
    restore(*c);
    c->publish(snapshotWithTask("published earlier"));
    auto result = pair(*c);
    ASSERT_TRUE(result) << static_cast<int>(result.error());
    // What the phone derives from the QR payload is the key now stored and active.
    auto invitation = PairingInvitation::decode(result->qrPayload());
    auto phoneKey = LocalPairingKey::deriveFromInvitation(invitation, Date::now());
    EXPECT_EQ(c->latestKey(), phoneKey);
    EXPECT_EQ(KeychainPairingKeyStore(items).load(companionID), phoneKey);
    EXPECT_EQ(invitation.relayBaseURL, server.base().toStdString());
    EXPECT_EQ(invitation.companionID, companionID);
    ASSERT_NE(c->relay(), nullptr);
    // The first upload carries the runtime's current snapshot, not an empty one.
    ASSERT_TRUE(waitUntil([&] { return !server.received.empty(); }));
    auto opened = payloads(server, phoneKey);
    EXPECT_TRUE(opened[0].contains("runtime's current task")) << opened[0].toStdString();
    EXPECT_FALSE(c->preparingPairing());
}

TEST_F(TransportController, AKeyStoreWriteFailureLeavesThePreviousPairingAsItWas) {
    RelayServer server;
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    storeKey(testKey());
    auto c = controller();
    restore(*c);
    auto* link = c->localLink();
    auto* relay = c->relay();
    ASSERT_NE(relay, nullptr);
    items.failWith(KeyStoreStatus::accessDenied);
    auto result = pair(*c);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), PairingFailure::keyStoreFailed);
    EXPECT_EQ(c->latestKey(), testKey());
    EXPECT_EQ(c->localLink(), link);
    EXPECT_EQ(c->relay(), relay);
    EXPECT_FALSE(c->preparingPairing());
    items.failWith(std::nullopt);
    EXPECT_EQ(KeychainPairingKeyStore(items).load(companionID), testKey());
}

TEST_F(TransportController, ASecondKeyReplacesLinkAndRelayAndEndsTheFirstClientsRetries) {
    RelayServer server;
    server.command("status 500");
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    auto c = controller();
    c->activate(testKey(1), {}, server.base().toStdString());
    QPointer<LocalLinkServer> firstLink = c->localLink();
    QPointer<CloudRelayClient> firstRelay = c->relay();
    ASSERT_TRUE(waitUntil([&] { return server.received.size() >= 2; }));  // failing and retrying
    c->activate(testKey(2), {}, std::nullopt);
    EXPECT_TRUE(firstLink.isNull());
    EXPECT_TRUE(firstRelay.isNull());
    EXPECT_NE(c->localLink(), nullptr);
    EXPECT_EQ(c->relay(), nullptr);
    auto seen = server.received.size();
    settle(1s);  // three retry spans
    EXPECT_EQ(server.received.size(), seen);
}

TEST_F(TransportController, RelayAddressChanges) {
    RelayServer server;
    auto c = controller();
    // Unpaired: only the preference changes.
    EXPECT_EQ(c->changeRelayAddress("  " + server.base().toStdString() + " \n"), server.base().toStdString());
    EXPECT_EQ(preferences.string(cloud::relayAddressKey), server.base().toStdString());
    EXPECT_EQ(c->relay(), nullptr);
    c->activate(testKey(), {}, server.base().toStdString());
    auto* link = c->localLink();
    ASSERT_NE(c->relay(), nullptr);
    struct Case {
        std::string text;
        std::expected<std::string, cloud::NoRelay> expected;
    };
    for (const auto& k : {Case{"http://127.0.0.1/relay", std::unexpected(cloud::NoRelay::invalidAddress)},
                          Case{"https://127.0.0.1/relay?x=1", std::unexpected(cloud::NoRelay::invalidAddress)},
                          Case{"", std::unexpected(cloud::NoRelay::turnedOff)}}) {
        SCOPED_TRACE(k.text);
        c->changeRelayAddress(server.base().toStdString());
        ASSERT_NE(c->relay(), nullptr);
        EXPECT_EQ(c->changeRelayAddress(k.text), k.expected);
        EXPECT_EQ(c->relay(), nullptr);       // no more uploads
        EXPECT_EQ(c->localLink(), link);      // the local link is untouched
        EXPECT_TRUE(c->isPaired());
    }
}

// Runs inside with_secret_service.sh keyring: QtKeychain's jobs on the controller's own
// key-store thread, against a real GNOME Keyring.
TEST(SecretServiceKeyStore, APairingKeyStoredFromTheKeyStoreThreadIsRestoredAtTheNextStart) {
    application();
    ASSERT_TRUE(secretServiceAvailable());
    MemoryPreferences preferences;
    CompanionIdentity identity{companionID, companionName};
    CompanionTransportController::Options options;
    options.builtInRelayAddress = "";
    options.link.advertise = false;
    options.link.listenAddress = QHostAddress::LocalHost;
    std::optional<LocalPairingKey> paired;
    {
        CompanionTransportController first(identity, preferences, std::make_unique<QtKeychainSecretItemBackend>(),
                                           options);
        EXPECT_EQ(first.keyStoreKind(), "Secret Service");
        std::optional<CompanionTransportController::PairingResult> result;
        first.generatePairingInvitation([&](const auto& r) { result = r; });
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
        ASSERT_TRUE(*result);
        paired = first.latestKey();
    }
    CompanionTransportController second(identity, preferences, std::make_unique<QtKeychainSecretItemBackend>(),
                                        options);
    bool restored = false;
    QObject::connect(&second, &CompanionTransportController::restoreFinished, [&] { restored = true; });
    second.restoreStoredKey();
    ASSERT_TRUE(waitUntil([&] { return restored; }));
    EXPECT_EQ(second.latestKey(), paired);
    EXPECT_TRUE(second.isPaired());
}
