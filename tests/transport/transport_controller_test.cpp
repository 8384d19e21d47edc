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
class SharedBackend final : public security::SecretItemBackend {
public:
    explicit SharedBackend(security::InMemorySecretItemBackend& items) : items_(items) {}
    std::expected<void, security::KeyStoreStatus> update(const security::SecretItemQuery& q, const Bytes& d) override {
        return items_.update(q, d);
    }
    std::expected<void, security::KeyStoreStatus> add(const security::SecretItemQuery& q, const Bytes& d) override { return items_.add(q, d); }
    std::expected<Bytes, security::KeyStoreStatus> copyMatching(const security::SecretItemQuery& q) override { return items_.copyMatching(q); }
    std::string kind() const override { return items_.kind(); }

private:
    security::InMemorySecretItemBackend& items_;
};

struct TransportController : ::testing::Test {
    MemoryPreferences preferences;
    security::InMemorySecretItemBackend items;
    security::CompanionIdentity identity{companionID, companionName};
    store::CompanionSnapshot runtimeSnapshot = snapshotWithTask("runtime's current task");

    void SetUp() override { qtApplication(); }

    std::unique_ptr<transport::CompanionTransportController> controller(std::string builtInRelay = "") {
        transport::CompanionTransportController::Options o;
        o.builtInRelayAddress = std::move(builtInRelay);
        o.relay.schedule.debounce = 300ms;
        o.relay.schedule.retry = 300ms;
        o.link.advertise = false;
        o.link.listenAddress = QHostAddress::LocalHost;
        o.currentSnapshot = [this] { return runtimeSnapshot; };
        return std::make_unique<transport::CompanionTransportController>(identity, preferences,
                                                              std::make_unique<SharedBackend>(items), o);
    }
    void storeKey(const security::LocalPairingKey& key) {
        security::KeychainPairingKeyStore store(items);
        EXPECT_TRUE(store.save(key, companionID));
    }
    static void restore(transport::CompanionTransportController& c) {
        bool done = false;
        QObject::connect(&c, &transport::CompanionTransportController::restoreFinished, [&] { done = true; });
        c.restoreStoredKey();
        ASSERT_TRUE(runUntil([&] { return done; }));
    }
    static transport::CompanionTransportController::PairingResult pair(transport::CompanionTransportController& c) {
        std::optional<transport::CompanionTransportController::PairingResult> result;
        c.generatePairingInvitation([&](const auto& r) { result = r; });
        EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
        return result.value_or(std::unexpected(transport::PairingFailure::alreadyPreparing));
    }
    std::vector<QByteArray> payloads(const RelayServer& server, const security::LocalPairingKey& key) {
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
    items.failWith(security::KeyStoreStatus::timedOut);
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
    ASSERT_TRUE(runUntil([&] { return server.received.size() == 1; }));
    c->publish(runtimeSnapshot);
    ASSERT_TRUE(runUntil([&] { return server.received.size() == 2; }));
    auto opened = payloads(server, testKey());
    EXPECT_TRUE(opened[0].contains(R"("tasks":[])")) << opened[0].toStdString();
    EXPECT_TRUE(opened[1].contains("runtime's current task")) << opened[1].toStdString();
    ASSERT_TRUE(runUntil([&] { return c->status() == synced; }));
}

TEST_F(TransportController, ASnapshotPublishedBeforeTheKeyStoreAnsweredIsTheOneActivated) {
    RelayServer server;
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    storeKey(testKey());
    auto c = controller();
    c->publish(runtimeSnapshot);  // the runtime's start-up publish came first
    restore(*c);
    ASSERT_TRUE(runUntil([&] { return server.received.size() == 1; }));
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
    auto invitation = security::PairingInvitation::decode(result->qrPayload().value()).value();
    auto phoneKey = security::LocalPairingKey::deriveFromInvitation(invitation, Date::now()).value();
    EXPECT_EQ(c->latestKey(), phoneKey);
    EXPECT_EQ(security::KeychainPairingKeyStore(items).load(companionID), phoneKey);
    EXPECT_EQ(invitation.relayBaseURL, server.base().toStdString());
    EXPECT_EQ(invitation.companionID, companionID);
    ASSERT_NE(c->relay(), nullptr);
    // The first upload carries the runtime's current snapshot, not an empty one.
    ASSERT_TRUE(runUntil([&] { return !server.received.empty(); }));
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
    items.failWith(security::KeyStoreStatus::accessDenied);
    auto result = pair(*c);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), transport::PairingFailure::keyStoreFailed);
    EXPECT_EQ(c->latestKey(), testKey());
    EXPECT_EQ(c->localLink(), link);
    EXPECT_EQ(c->relay(), relay);
    EXPECT_FALSE(c->preparingPairing());
    items.failWith(std::nullopt);
    EXPECT_EQ(security::KeychainPairingKeyStore(items).load(companionID), testKey());
}

TEST_F(TransportController, ASecondKeyReplacesLinkAndRelayAndEndsTheFirstClientsRetries) {
    RelayServer server;
    server.command("status 500");
    preferences.setString(cloud::relayAddressKey, server.base().toStdString());
    auto c = controller();
    c->activate(testKey(1), {}, server.base().toStdString());
    QPointer<transport::LocalLinkServer> firstLink = c->localLink();
    QPointer<transport::CloudRelayClient> firstRelay = c->relay();
    ASSERT_TRUE(runUntil([&] { return server.received.size() >= 2; }));  // failing and retrying
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
    qtApplication();
    ASSERT_TRUE(transport::secretServiceAvailable());
    MemoryPreferences preferences;
    security::CompanionIdentity identity{companionID, companionName};
    transport::CompanionTransportController::Options options;
    options.builtInRelayAddress = "";
    options.link.advertise = false;
    options.link.listenAddress = QHostAddress::LocalHost;
    std::optional<security::LocalPairingKey> paired;
    {
        transport::CompanionTransportController first(identity, preferences, std::make_unique<transport::QtKeychainSecretItemBackend>(),
                                           options);
        EXPECT_EQ(first.keyStoreKind(), "Secret Service");
        std::optional<transport::CompanionTransportController::PairingResult> result;
        first.generatePairingInvitation([&](const auto& r) { result = r; });
        ASSERT_TRUE(runUntil([&] { return result.has_value(); }));
        ASSERT_TRUE(*result);
        paired = first.latestKey();
    }
    transport::CompanionTransportController second(identity, preferences, std::make_unique<transport::QtKeychainSecretItemBackend>(),
                                        options);
    bool restored = false;
    QObject::connect(&second, &transport::CompanionTransportController::restoreFinished, [&] { restored = true; });
    second.restoreStoredKey();
    ASSERT_TRUE(runUntil([&] { return restored; }));
    EXPECT_EQ(second.latestKey(), paired);
    EXPECT_TRUE(second.isPaired());
}
