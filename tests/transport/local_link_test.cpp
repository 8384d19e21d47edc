// The local link over real sockets and real TLS: LocalLinkServer against vigilorb-peer (OpenSSL
// in another process) and against OpenSSL's own s_client, whose standard streams the tests
// frame and unframe.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTcpSocket>

#include <functional>
#include <memory>

#include "link/frame_codec.hpp"
#include "link/link_contract.hpp"
#include "security/pairing.hpp"
#include "security/snapshot_envelope.hpp"
#include "qt.hpp"
#include "temp_dir.hpp"
#include "transport/local_link_server.hpp"

using namespace vigilorb;

namespace {

const std::string companionID = "mac-0f1e2d3c-4b5a-4697-8877-665544332211";
const security::LocalPairingKey activeKey = *security::LocalPairingKey::fromBytes(Bytes(32, 0x5a));
const security::LocalPairingKey otherKey = *security::LocalPairingKey::fromBytes(Bytes(32, 0x01));

store::CompanionSnapshot snapshotWithTask(const std::string& title, std::size_t tasks = 1) {
    store::CompanionSnapshot s;
    for (std::size_t i = 0; i < tasks; ++i) {
        auto id = "t" + std::to_string(i);
        s.tasksByID[id] = TaskSnapshot{id,    std::nullopt,       "work", AIProvider::codex,
                                       title, TaskState::running, Date::fromReference(700000000 + static_cast<double>(i))};
    }
    return s;
}

// A child process whose output is collected while the server's event loop keeps running.
struct Child {
    QProcess process;

    void start(const QString& program, const QStringList& args) {
        process.setProgram(program);
        process.setArguments(args);
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000)) << program.toStdString();
    }
    bool finish(int ms = 30000) {
        return test::runUntil([&] { return process.state() == QProcess::NotRunning; }, std::chrono::milliseconds(ms));
    }
    int exitCode() const { return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1; }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const auto& line : process.readAllStandardOutput().split('\n'))
            if (!line.isEmpty()) out.push_back(line.toStdString());
        return out;
    }
    ~Child() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

// `openssl s_client` with a PSK, TLS 1.2 and the link's one suite: an independent receiver.
struct SClient {
    QProcess process;
    QProcess stall;  // with stall(): takes s_client's output and never reads it
    link::FrameDecoder decoder{link::maxEnvelopeFrame};
    QByteArray errors;

    void start(quint16 port, const Bytes& psk, const std::string& identity, bool stalled = false) {
        process.setProgram("openssl");
        process.setArguments({"s_client", "-connect", QString("127.0.0.1:%1").arg(port), "-tls1_2", "-cipher",
                              QString::fromLatin1(link::cipherSuite), "-psk",
                              QString::fromStdString(security::crypto::hexLowercase(psk)), "-psk_identity",
                              QString::fromStdString(identity), "-brief"});
        if (stalled) {
            // A full pipe stops s_client, which then stops reading the socket.
            process.setStandardOutputProcess(&stall);
            stall.start("sleep", {"600"});
        }
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000));
    }
    // True once the handshake completed; false when s_client gave up.
    bool established() {
        test::runUntil([&] {
            errors += process.readAllStandardError();
            return errors.contains("CONNECTION ESTABLISHED") || process.state() == QProcess::NotRunning;
        });
        errors += process.readAllStandardError();
        return errors.contains("CONNECTION ESTABLISHED");
    }
    void send(const std::string& bytes) { process.write(bytes.data(), static_cast<qint64>(bytes.size())); }
    void sendFrame(const std::string& payload) { send(link::encodeFrame(payload)); }
    // Up to `count` frames; fewer when the companion ends the session first.
    std::vector<std::string> frames(std::size_t count) {
        std::vector<std::string> out;
        test::runUntil([&] {
            auto chunk = process.readAllStandardOutput();
            decoder.feed(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
            while (auto f = decoder.next()) out.push_back(*f);
            return out.size() >= count || process.state() == QProcess::NotRunning;
        });
        return out;
    }
    bool ended() { return test::runUntil([&] { return process.state() == QProcess::NotRunning; }); }
    ~SClient() {
        for (auto* p : {&process, &stall}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }
};

class LocalLink : public ::testing::Test {
protected:
    test::TempDir dir;
    std::unique_ptr<transport::LocalLinkServer> server;
    QStringList statuses;
    std::vector<link::Decline> declines;
    int admissions = 0;
    security::LocalPairingKey serverKey = activeKey;

    void startServer(store::CompanionSnapshot initial = {}, transport::LocalLinkServer::Options options = loopback()) {
        server = std::make_unique<transport::LocalLinkServer>(companionID, "Ada's workstation", serverKey, std::move(initial), options);
        QObject::connect(server.get(), &transport::LocalLinkServer::statusText, [this](const QString& t) { statuses << t; });
        QObject::connect(server.get(), &transport::LocalLinkServer::declined, [this](link::Decline d) { declines.push_back(d); });
        QObject::connect(server.get(), &transport::LocalLinkServer::admitted, [this](const QString&) { ++admissions; });
        server->start();
        ASSERT_NE(server->port(), 0);
    }

    static transport::LocalLinkServer::Options loopback() {
        transport::LocalLinkServer::Options o;
        o.advertise = false;
        o.listenAddress = QHostAddress::LocalHost;
        return o;
    }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        test::writeText(dir / name, bytes);
        return (dir / name).string();
    }

    static std::string hello(const security::LocalPairingKey& key = activeKey, const std::string& id = companionID,
                             Date created = Date::now(), std::string nonce = {}) {
        return security::PairingHello::make(key.bytes(), id, "Pixel", created, std::move(nonce)).encode().value();
    }

    // s_client with the session key and identity a receiver derives from the active key.
    void connect(SClient& client, bool stalled = false) {
        client.start(server->port(), link::sessionPreSharedKey(activeKey, companionID),
                     link::sessionPskIdentity(activeKey), stalled);
        ASSERT_TRUE(client.established()) << client.errors.toStdString();
    }

    void pairPeer(const std::string& state, const std::string& id = companionID) {
        // The same file `vigilorb-peer pair` writes; the key here is fixed so the server can use it.
        writeFile(state, R"({"companionID":")" + id + R"(","key":")" + security::crypto::hexLowercase(activeKey.bytes()) + "\"}");
    }
};

TEST_F(LocalLink, HandshakeNeedsTheDerivedKeyAndItsIdentity) {
    startServer(snapshotWithTask("Build"));
    struct Case {
        const char* what;
        Bytes psk;
        std::string identity;
        bool completes;
    };
    const std::string rightIdentity = link::sessionPskIdentity(activeKey);
    const Case cases[] = {
        {"derived key, key identifier", link::sessionPreSharedKey(activeKey, companionID), rightIdentity, true},
        {"another pairing key", link::sessionPreSharedKey(otherKey, companionID), rightIdentity, false},
        {"right key, another identity", link::sessionPreSharedKey(activeKey, companionID), "0000000000000000", false},
        {"right key, the other key's identity", link::sessionPreSharedKey(activeKey, companionID),
         link::sessionPskIdentity(otherKey), false},
        {"the pairing key itself, not derived", activeKey.bytes(), rightIdentity, false},
        {"derived for another companion ID", link::sessionPreSharedKey(activeKey, "mac-other"), rightIdentity, false},
    };
    for (const auto& c : cases) {
        SClient client;
        client.start(server->port(), c.psk, c.identity);
        ASSERT_EQ(client.established(), c.completes) << c.what << ": " << client.errors.toStdString();
        if (!c.completes) continue;
        client.sendFrame(hello());
        auto frames = client.frames(1);
        ASSERT_EQ(frames.size(), 1u) << c.what;
        security::SnapshotNonceReplayGuard guard;
        auto payload = security::DeviceSnapshotPayload::decode(
            security::crypto::stringOf(security::SignedEnvelopeReceiver::check(frames[0], activeKey, Date::now(), guard).value())).value();
        ASSERT_EQ(payload.tasks.size(), 1u);
        EXPECT_EQ(payload.tasks[0].title, "Build");
    }
    ASSERT_TRUE(test::runUntil([&] { return server->waitingConnections() == 0 && server->admittedReceivers() == 0; }));
    // Only the admitted receiver moved the status; the failed handshakes said nothing.
    EXPECT_EQ(statuses, (QStringList{"Authenticated Pixel; reconnecting automatically\u2026", "iPhone connected",
                                     "Read-only snapshot sent", "Waiting for a paired iPhone"}));
}

TEST_F(LocalLink, OnlyTlsOneTwoWithTheOneSuite) {
    startServer();
    struct Case {
        const char* what;
        QStringList protocol;
    };
    const Case cases[] = {
        {"TLS 1.3", {"-tls1_3"}},
        {"TLS 1.2, PSK without ephemeral keys", {"-tls1_2", "-cipher", "PSK-CHACHA20-POLY1305"}},
        {"TLS 1.2, ECDHE-PSK with AES-CBC", {"-tls1_2", "-cipher", "ECDHE-PSK-AES128-CBC-SHA256"}},
    };
    for (const auto& c : cases) {
        QProcess p;
        p.start("openssl", QStringList{"s_client", "-connect", QString("127.0.0.1:%1").arg(server->port()), "-psk",
                                       QString::fromStdString(security::crypto::hexLowercase(link::sessionPreSharedKey(activeKey, companionID))),
                                       "-psk_identity", QString::fromStdString(link::sessionPskIdentity(activeKey)), "-brief"} +
                               c.protocol);
        ASSERT_TRUE(test::runUntil([&] { return p.state() == QProcess::NotRunning; })) << c.what;
        EXPECT_FALSE(p.readAllStandardError().contains("CONNECTION ESTABLISHED")) << c.what;
    }
    EXPECT_EQ(admissions, 0);
}

TEST_F(LocalLink, DeclinedHellosCloseSilently) {
    startServer();
    struct Case {
        const char* what;
        std::string firstFrame;
        link::Decline reason;
    };
    const Case cases[] = {
        {"empty first frame", "", link::Decline::noHello},
        {"malformed JSON", "{\"schemaVersion\":", link::Decline::undecodableHello},
        {"another companion", hello(activeKey, "mac-11111111-2222-4333-8444-555555555555"), link::Decline::otherCompanion},
        {"stale hello", hello(activeKey, companionID, Date::now() - 120), link::Decline::failedVerification},
        {"forged with another key", hello(otherKey), link::Decline::failedVerification},
    };
    for (const auto& c : cases) {
        SClient client;
        connect(client);
        client.sendFrame(c.firstFrame);
        EXPECT_TRUE(client.frames(1).empty()) << c.what;
        ASSERT_TRUE(client.ended()) << c.what;
        ASSERT_FALSE(declines.empty()) << c.what;
        EXPECT_EQ(declines.back(), c.reason) << c.what;
    }
    EXPECT_TRUE(statuses.isEmpty()) << statuses.join("|").toStdString();

    // The same valid hello twice: admitted once, then declined for its consumed nonce.
    auto once = hello(activeKey, companionID, Date::now(), "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9");
    {
        SClient first;
        connect(first);
        first.sendFrame(once);
        EXPECT_EQ(first.frames(1).size(), 1u);
    }
    ASSERT_TRUE(test::runUntil([&] { return server->admittedReceivers() == 0; }));
    statuses.clear();
    SClient replay;
    connect(replay);
    replay.sendFrame(once);
    EXPECT_TRUE(replay.frames(1).empty());
    EXPECT_EQ(declines.back(), link::Decline::consumedNonce);
    EXPECT_TRUE(statuses.isEmpty());
}

TEST_F(LocalLink, BytesAfterTheHelloAreIgnored) {
    startServer(snapshotWithTask("one"));
    SClient client;
    connect(client);
    // The hello, then a second hello, junk and a header far over any limit, in one write.
    client.send(link::encodeFrame(hello()) + link::encodeFrame(hello()) + link::encodeFrame("junk") +
                std::string("\xff\xff\xff\xff", 4));
    ASSERT_EQ(client.frames(1).size(), 1u);
    client.send(std::string(100000, 'z'));
    server->setSnapshot(snapshotWithTask("two"));
    auto next = client.frames(1);
    ASSERT_EQ(next.size(), 1u);
    security::SnapshotNonceReplayGuard guard;
    auto payload = security::SignedEnvelopeReceiver::check(next[0], activeKey, Date::now(), guard).value();
    EXPECT_EQ(security::DeviceSnapshotPayload::decode(security::crypto::stringOf(payload)).value().tasks.at(0).title, "two");
    EXPECT_EQ(admissions, 1);
    EXPECT_TRUE(declines.empty());
}

TEST_F(LocalLink, PeerReceivesTheCurrentSnapshotThenEachChange) {
    startServer(snapshotWithTask("first"));
    // Nobody admitted yet: a change is kept, nothing is sent and the status does not move.
    server->setSnapshot(snapshotWithTask("current"));
    EXPECT_TRUE(statuses.isEmpty());

    pairPeer("state.json");
    Child peer;
    peer.start(QString::fromLatin1(VIGILORB_PEER),
               {"listen", "--state", QString::fromStdString((dir / "state.json").string()), "--address",
                QString("127.0.0.1:%1").arg(server->port()), "--count", "3", "--device", "Test phone", "--timeout", "30"});
    ASSERT_TRUE(test::runUntil([&] { return admissions == 1; }));
    server->setSnapshot(snapshotWithTask("second"));
    server->setSnapshot(snapshotWithTask("third"));
    ASSERT_TRUE(peer.finish());
    ASSERT_EQ(peer.exitCode(), 0) << peer.process.readAllStandardError().toStdString();
    auto lines = peer.lines();
    ASSERT_EQ(lines.size(), 3u);
    std::vector<std::string> titles;
    for (const auto& line : lines) titles.push_back(security::DeviceSnapshotPayload::decode(line).value().tasks.at(0).title);
    EXPECT_EQ(titles, (std::vector<std::string>{"current", "second", "third"}));

    ASSERT_TRUE(test::runUntil([&] { return server->admittedReceivers() == 0; }));
    EXPECT_EQ(statuses, (QStringList{"Authenticated Test phone; reconnecting automatically\u2026", "iPhone connected",
                                     "Read-only snapshot sent", "Read-only snapshot sent", "Read-only snapshot sent",
                                     "Waiting for a paired iPhone"}));
}

TEST_F(LocalLink, PeerPairedFromAnInvitationIsAdmitted) {
    // What the companion does on pairing: an invitation, and the key derived from it.
    Date now = Date::now();
    auto invitation = security::PairingInvitation::generate({companionID, "Ada's workstation"}, std::nullopt, now).value();
    serverKey = security::LocalPairingKey::deriveFromInvitation(invitation, now).value();
    startServer(snapshotWithTask("paired"));

    auto state = QString::fromStdString((dir / "phone" / "pairing.json").string());
    Child pair;
    pair.start(QString::fromLatin1(VIGILORB_PEER), {"pair", "--state", state});
    auto qr = invitation.qrPayload().value();
    pair.process.write(qr.data(), static_cast<qint64>(qr.size()));
    pair.process.closeWriteChannel();
    ASSERT_TRUE(pair.finish());
    ASSERT_EQ(pair.exitCode(), 0) << pair.process.readAllStandardError().toStdString();

    Child listen;
    listen.start(QString::fromLatin1(VIGILORB_PEER), {"listen", "--state", state, "--address",
                                                      QString("127.0.0.1:%1").arg(server->port()), "--count", "1", "--timeout", "30"});
    ASSERT_TRUE(listen.finish());
    ASSERT_EQ(listen.exitCode(), 0) << listen.process.readAllStandardError().toStdString();
    EXPECT_EQ(security::DeviceSnapshotPayload::decode(listen.lines().at(0)).value().tasks.at(0).title, "paired");
}

TEST_F(LocalLink, PeerWithAnotherKeyNeverCompletesTheHandshake) {
    startServer();
    writeFile("wrong.json", R"({"companionID":")" + companionID + R"(","key":")" + security::crypto::hexLowercase(otherKey.bytes()) + "\"}");
    Child peer;
    peer.start(QString::fromLatin1(VIGILORB_PEER), {"listen", "--state", QString::fromStdString((dir / "wrong.json").string()),
                                                    "--address", QString("127.0.0.1:%1").arg(server->port()), "--timeout", "30"});
    ASSERT_TRUE(peer.finish());
    EXPECT_EQ(peer.exitCode(), 1);
    EXPECT_EQ(peer.process.readAllStandardError().toStdString(), "handshakeFailed\n");
    EXPECT_EQ(admissions, 0);
    EXPECT_TRUE(statuses.isEmpty());
}

TEST_F(LocalLink, ConnectionsWithoutAHelloInTimeAreClosed) {
    auto options = loopback();
    options.helloTimeout = std::chrono::milliseconds(400);
    startServer({}, options);

    // Plain TCP that never starts TLS.
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, server->port());
    // TLS completed, then nothing; then TLS and half a hello.
    SClient quiet, partial;
    connect(quiet);
    connect(partial);
    partial.send(link::encodeFrame(hello()).substr(0, 20));
    ASSERT_TRUE(quiet.ended());
    ASSERT_TRUE(partial.ended());
    ASSERT_TRUE(test::runUntil([&] { return silent.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(std::count(declines.begin(), declines.end(), link::Decline::helloTimedOut), 3);
    EXPECT_EQ(server->waitingConnections(), 0u);
    EXPECT_TRUE(statuses.isEmpty());
}

TEST_F(LocalLink, AtMostSixteenConnectionsWaitForAHello) {
    startServer();
    std::vector<std::unique_ptr<QTcpSocket>> waiting;
    for (std::size_t i = 0; i < link::maxWaitingConnections; ++i) {
        waiting.push_back(std::make_unique<QTcpSocket>());
        waiting.back()->connectToHost(QHostAddress::LocalHost, server->port());
    }
    ASSERT_TRUE(test::runUntil([&] { return server->waitingConnections() == link::maxWaitingConnections; }));

    QTcpSocket extra;
    extra.connectToHost(QHostAddress::LocalHost, server->port());
    // Accepted by the kernel, closed by the server at once, without a handshake.
    ASSERT_TRUE(test::runUntil([&] { return extra.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(server->waitingConnections(), link::maxWaitingConnections);
    EXPECT_EQ(declines, std::vector<link::Decline>{link::Decline::tooManyWaiting});

    // One leaves: there is room for one more, and a receiver with a hello gets in.
    waiting.front()->abort();
    ASSERT_TRUE(test::runUntil([&] { return server->waitingConnections() == link::maxWaitingConnections - 1; }));
    SClient receiver;
    connect(receiver);
    receiver.sendFrame(hello());
    EXPECT_EQ(receiver.frames(1).size(), 1u);
    EXPECT_EQ(admissions, 1);
}

TEST_F(LocalLink, HelloFrameOverSixteenKiBClosesTheConnection) {
    startServer();
    SClient client;
    connect(client);
    // The header alone announces one byte too many; some payload follows.
    client.send(link::encodeFrame(std::string(link::maxHelloFrame + 1, 'x')).substr(0, 4 + 100));
    ASSERT_TRUE(client.ended());
    ASSERT_EQ(declines.size(), 1u);
    EXPECT_EQ(declines[0], link::Decline::helloTooLarge);
    EXPECT_TRUE(statuses.isEmpty());
}

TEST_F(LocalLink, ReceiverThatStopsReadingIsDroppedAtTheQueueLimit) {
    startServer();
    SClient stalled;
    connect(stalled, true);
    stalled.sendFrame(hello());
    ASSERT_TRUE(test::runUntil([&] { return admissions == 1; }));
    statuses.clear();

    // About 1.3 MiB per envelope; the receiver reads nothing, so they pile up in our buffers
    // (after the kernel's) until the limit is reached.
    auto big = snapshotWithTask(std::string(1000, 'q'), 1000);
    std::size_t sent = 0;
    std::size_t frameSize = security::SignedSnapshotEnvelope::create(big, activeKey, Date::now()).value().size();
    for (int i = 0; i < 200 && server->admittedReceivers() == 1; ++i) {
        server->setSnapshot(big);
        sent += frameSize;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(server->admittedReceivers(), 0u);
    EXPECT_GE(sent, link::maxQueuedBytes);
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_EQ(statuses.back(), "Snapshot delivery failed");
}

TEST(NoAvahi, ListenerRunsAndTheStatusSaysTheLinkIsNotAdvertised) {
    // Run with DBUS_SYSTEM_BUS_ADDRESS pointing nowhere: no Avahi daemon can be reached.
    transport::LocalLinkServer::Options options;
    options.listenAddress = QHostAddress::LocalHost;
    transport::LocalLinkServer server(companionID, "Ada", activeKey, {}, options);
    QStringList statuses;
    QObject::connect(&server, &transport::LocalLinkServer::statusText, [&](const QString& t) { statuses << t; });
    server.start();
    // Reported later, so the controller's own "Waiting…" right after start() does not hide it.
    EXPECT_TRUE(statuses.isEmpty());
    ASSERT_TRUE(test::runUntil([&] { return !statuses.isEmpty(); }));
    EXPECT_EQ(statuses, QStringList{"Could not make the local connection available"});
    ASSERT_NE(server.port(), 0);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, server.port());
    EXPECT_TRUE(test::runUntil([&] { return probe.state() == QAbstractSocket::ConnectedState; }));
}

// Inside with_avahi.sh: a private Avahi daemon on loopback, in a network namespace of its own.
class DnsSd : public LocalLink {
protected:
    // avahi-browse's resolved entries of the link's service type, as its parsable fields.
    static std::vector<QStringList> browse() {
        QProcess p;
        p.start("avahi-browse", {"-rpt", QString::fromLatin1(link::serviceType)});
        p.waitForFinished(20000);
        std::vector<QStringList> out;
        for (const auto& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n'))
            if (line.startsWith("=;")) out.push_back(line.split(';'));
        return out;
    }
    // avahi-browse writes some characters of a name as a backslash and three decimal digits.
    static QString unescaped(const QString& name) {
        QString out;
        for (qsizetype i = 0; i < name.size(); ++i) {
            if (name[i] == '\\' && i + 3 < name.size() && name.mid(i + 1, 3).toInt() > 0) {
                out += QChar(name.mid(i + 1, 3).toInt());
                i += 3;
            } else {
                out += name[i];
            }
        }
        return out;
    }
    // The resolved entry published under `name`.
    static std::optional<QStringList> entryNamed(const QString& name) {
        for (const auto& fields : browse())
            if (fields.size() >= 10 && unescaped(fields[3]) == name) return fields;
        return std::nullopt;
    }
    void startAdvertised(store::CompanionSnapshot initial = {}) {
        transport::LocalLinkServer::Options options;
        options.advertise = true;
        startServer(std::move(initial), options);
    }
};

TEST_F(DnsSd, ServiceCarriesTheNameTxtAndPortAndThePeerFindsIt) {
    startAdvertised(snapshotWithTask("found by name"));
    std::optional<QStringList> entry;
    ASSERT_TRUE(test::runUntil([&] { return (entry = entryNamed("VLOB-44332211")).has_value(); }));
    EXPECT_EQ((*entry)[8], QString::number(server->port()));
    EXPECT_EQ((*entry)[9], QString::fromStdString("\"companion=" + companionID + "\""));

    pairPeer("state.json");
    Child peer;
    peer.start(QString::fromLatin1(VIGILORB_PEER), {"listen", "--state", QString::fromStdString((dir / "state.json").string()),
                                                    "--count", "1", "--timeout", "30"});
    ASSERT_TRUE(peer.finish());
    ASSERT_EQ(peer.exitCode(), 0) << peer.process.readAllStandardError().toStdString();
    auto lines = peer.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(security::DeviceSnapshotPayload::decode(lines[0]).value().tasks.at(0).title, "found by name");
    EXPECT_FALSE(statuses.contains("Could not make the local connection available"));
}

TEST_F(DnsSd, TakenNameGetsTheAlternativeAndThePeerStillFindsItsCompanion) {
    // Another service already holds our name, for another companion.
    QProcess squatter;
    squatter.start("avahi-publish", {"-s", "VLOB-44332211", QString::fromLatin1(link::serviceType), "9",
                                     "companion=mac-11111111-2222-4333-8444-555555555555"});
    ASSERT_TRUE(test::runUntil([&] { return entryNamed("VLOB-44332211").has_value(); }));

    startAdvertised(snapshotWithTask("ours"));
    std::optional<QStringList> entry;
    ASSERT_TRUE(test::runUntil([&] { return (entry = entryNamed("VLOB-44332211 #2")).has_value(); }));
    EXPECT_EQ((*entry)[8], QString::number(server->port()));

    pairPeer("state.json");
    Child peer;
    peer.start(QString::fromLatin1(VIGILORB_PEER), {"listen", "--state", QString::fromStdString((dir / "state.json").string()),
                                                    "--count", "1", "--timeout", "30"});
    ASSERT_TRUE(peer.finish());
    ASSERT_EQ(peer.exitCode(), 0) << peer.process.readAllStandardError().toStdString();
    EXPECT_EQ(security::DeviceSnapshotPayload::decode(peer.lines().at(0)).value().tasks.at(0).title, "ours");
    squatter.terminate();
    squatter.waitForFinished(5000);
}

TEST_F(DnsSd, PeerWithoutAnAdvertisedCompanionSaysSo) {
    pairPeer("state.json", "mac-99999999-2222-4333-8444-555555555555");
    Child peer;
    peer.start(QString::fromLatin1(VIGILORB_PEER), {"listen", "--state", QString::fromStdString((dir / "state.json").string()),
                                                    "--browse-timeout", "1"});
    ASSERT_TRUE(peer.finish());
    EXPECT_EQ(peer.exitCode(), 1);
    EXPECT_EQ(peer.process.readAllStandardError().toStdString(), "companionNotFound\n");
}

}  // namespace

int main(int argc, char** argv) {
    vigilorb::test::qtApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
