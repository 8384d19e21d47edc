// The relay client against a real HTTPS server on loopback (relay_server.py), trusted through
// SSL_CERT_FILE by with_test_ca.sh, and the real vigilorb-peer opening what arrived.
#include <gtest/gtest.h>

#include <QTcpServer>

#include <memory>

#include "cloud/relay_settings.hpp"
#include "security/codec.hpp"
#include "relay_test_support.hpp"
#include "transport/cloud_relay_client.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
using namespace std::chrono_literals;

namespace {

struct RelayClient : ::testing::Test {
    MemoryPreferences preferences;
    std::vector<QString> statuses;
    std::vector<std::pair<quint64, bool>> attempts;

    void SetUp() override { qtApplication(); }

    std::unique_ptr<transport::CloudRelayClient> client(const QString& base, store::CompanionSnapshot snapshot = {},
                                             transport::CloudRelayClient::Options options = {}) {
        auto key = testKey();
        auto c = std::make_unique<transport::CloudRelayClient>(security::RelayCredentials::make(base.toStdString(), key, companionID),
                                                    companionID, companionName, key, preferences,
                                                    std::move(snapshot), options);
        QObject::connect(c.get(), &transport::CloudRelayClient::statusText, [this](const QString& s) { statuses.push_back(s); });
        QObject::connect(c.get(), &transport::CloudRelayClient::attemptFinished,
                         [this](quint64 n, bool ok) { attempts.emplace_back(n, ok); });
        return c;
    }
    static transport::CloudRelayClient::Options fast() {
        transport::CloudRelayClient::Options o;
        o.schedule.debounce = 300ms;
        o.schedule.retry = 300ms;
        o.requestTimeout = 10s;
        return o;
    }
};

const QString synced = "Encrypted cloud snapshot synced";
const QString offline = "Cloud sync is temporarily offline; local network and cached data remain available";

}  // namespace

TEST_F(RelayClient, AnAcceptedUploadIsAPutOfTheSealedSnapshotToTheChannelPath) {
    RelayServer server;
    ASSERT_NE(server.port(), 0);
    preferences.setInteger("relay.sequence.v1." + companionID, 41);
    auto c = client(server.base(), snapshotWithTask("First task"));
    c->start();
    ASSERT_TRUE(runUntil([&] { return !attempts.empty(); }));
    ASSERT_EQ(server.received.size(), 1u);
    const auto& r = server.received[0];
    auto key = testKey();
    auto credentials = security::RelayCredentials::make("", key, companionID);
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.path, QString::fromStdString("/base/v1/channels/" + credentials.channelID + "/sources/" + companionID));
    EXPECT_EQ(r.headers["Authorization"].toString(), QString::fromStdString("Bearer " + credentials.accessToken));
    EXPECT_EQ(r.headers["Content-Type"].toString(), "application/json");
    auto envelope = security::EncryptedCloudSnapshotEnvelope::decode(r.body.toStdString()).value();
    EXPECT_EQ(envelope.sequence, 42u);
    EXPECT_EQ(envelope.sourceID, companionID);
    EXPECT_EQ(envelope.sourceName, companionName);
    auto opened = openWithPeer(r.body, key);
    EXPECT_EQ(opened.status, 0) << opened.err.toStdString();
    EXPECT_TRUE(opened.out.contains("First task")) << opened.out.toStdString();
    // Only the key holder can open it.
    EXPECT_NE(openWithPeer(r.body, testKey(8)).status, 0);
    EXPECT_EQ(statuses, std::vector<QString>{synced});
    EXPECT_EQ(preferences.integer("relay.sequence.v1." + companionID), 42);
}

TEST_F(RelayClient, ChangesWithinTheDebounceBecomeOneUploadOfTheLastSnapshot) {
    RelayServer server;
    auto c = client(server.base(), {}, fast());
    c->start();
    ASSERT_TRUE(runUntil([&] { return attempts.size() == 1; }));
    c->setSnapshot(snapshotWithTask("one"));
    c->setSnapshot(snapshotWithTask("two"));
    c->setSnapshot(snapshotWithTask("three"));
    ASSERT_TRUE(runUntil([&] { return attempts.size() == 2; }));
    settle(900ms);  // three debounce spans: no further upload comes
    ASSERT_EQ(server.received.size(), 2u);
    auto opened = openWithPeer(server.received[1].body, testKey());
    EXPECT_TRUE(opened.out.contains("three")) << opened.out.toStdString();
    EXPECT_FALSE(opened.out.contains("two"));
    EXPECT_EQ(attempts[1], (std::pair<quint64, bool>{2, true}));
}

TEST_F(RelayClient, AnswersOutsideTwoHundredAreOfflineAndRetriedWithNewNumbersUntilAccepted) {
    for (const char* status : {"300", "401", "500"}) {
        SCOPED_TRACE(status);
        RelayServer server;
        server.command(QByteArray("status ") + status);
        preferences.remove("relay.sequence.v1." + companionID);
        statuses.clear();
        attempts.clear();
        auto c = client(server.base(), {}, fast());
        c->start();
        ASSERT_TRUE(runUntil([&] { return attempts.size() == 2; }));  // the first try and a retry
        EXPECT_EQ(statuses.front(), offline);
        EXPECT_FALSE(preferences.integer("relay.sequence.v1." + companionID));
        server.command("status 204");
        ASSERT_TRUE(runUntil([&] { return !attempts.empty() && attempts.back().second; }));
        auto accepted = attempts.back().first;
        EXPECT_GE(accepted, 3u);
        EXPECT_EQ(statuses.back(), synced);
        EXPECT_EQ(preferences.integer("relay.sequence.v1." + companionID), static_cast<long long>(accepted));
        settle(700ms);  // the success ended the retries
        EXPECT_EQ(attempts.back().first, accepted);
    }
}

TEST_F(RelayClient, ARelayThatAnswersTooLateIsOffline) {
    RelayServer server;
    server.command("delay 5");
    auto options = fast();
    options.requestTimeout = 500ms;
    options.schedule.retry = 60s;
    auto c = client(server.base(), {}, options);
    QElapsedTimer clock;
    clock.start();
    c->start();
    ASSERT_TRUE(runUntil([&] { return !attempts.empty(); }));
    EXPECT_LT(clock.elapsed(), 4000);  // given up, not answered
    EXPECT_EQ(attempts[0], (std::pair<quint64, bool>{1, false}));
    EXPECT_EQ(statuses, std::vector<QString>{offline});
}

TEST_F(RelayClient, ARelayThatIsDownIsOfflineAndRetried) {
    quint16 port;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    auto c = client(QString("https://127.0.0.1:%1").arg(port), {}, fast());
    c->start();
    ASSERT_TRUE(runUntil([&] { return attempts.size() >= 2; }));
    EXPECT_EQ(attempts[0], (std::pair<quint64, bool>{1, false}));
    EXPECT_EQ(attempts[1], (std::pair<quint64, bool>{2, false}));
    EXPECT_EQ(statuses.front(), offline);
    EXPECT_FALSE(preferences.integer("relay.sequence.v1." + companionID));
}

TEST_F(RelayClient, ACertificateFromAnotherAuthorityIsNeverSentTheSnapshot) {
    RelayServer server("rogue");
    ASSERT_NE(server.port(), 0);
    auto c = client(server.base(), snapshotWithTask("secret title"), fast());
    c->start();
    ASSERT_TRUE(runUntil([&] { return attempts.size() >= 2; }));
    EXPECT_FALSE(attempts[0].second);
    EXPECT_FALSE(attempts[1].second);
    EXPECT_EQ(statuses.front(), offline);
    settle(200ms);
    EXPECT_TRUE(server.received.empty());
}

TEST_F(RelayClient, AClientDroppedDuringAnUploadSaysNothingMore) {
    RelayServer server;
    server.command("delay 2");
    auto c = client(server.base(), {}, fast());
    c->start();
    ASSERT_TRUE(runUntil([&] { return !server.received.empty(); }));
    c.reset();
    settle(300ms);
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(attempts.empty());
}
