#pragma once
// Shared by the tests that talk to relay_server.py: the server as a child process.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <chrono>
#include <functional>
#include <vector>

#include "qt.hpp"
#include "security/pairing_key.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::test {

using namespace std::chrono_literals;

inline QString certs(const char* file) { return qEnvironmentVariable("TEST_CERTS") + "/" + file; }

struct Received {
    QString method, path;
    QJsonObject headers;
    QByteArray body;
};

// relay_server.py as a child: its port, and every request it recorded.
class RelayServer {
public:
    explicit RelayServer(const char* certificate = "server") {
        process_.setProgram("python3");
        process_.setArguments({RELAY_SERVER_SCRIPT, "--cert", certs(certificate) + ".pem", "--key",
                               certs(certificate) + ".key"});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { read(); });
        process_.start();
        runUntil([this] { return port_ != 0 || process_.state() == QProcess::NotRunning; });
    }
    ~RelayServer() {
        process_.write("quit\n");
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(5000);
    }
    void command(const QByteArray& line) {
        process_.write(line + "\n");
        process_.waitForBytesWritten(5000);
    }
    quint16 port() const { return port_; }
    QString base() const { return QString("https://127.0.0.1:%1/base").arg(port_); }
    std::vector<Received> received;

private:
    void read() {
        while (process_.canReadLine()) {
            auto line = process_.readLine().trimmed();
            if (line.startsWith("port ")) {
                port_ = static_cast<quint16>(line.mid(5).toUInt());
                continue;
            }
            auto o = QJsonDocument::fromJson(line).object();
            received.push_back({o["method"].toString(), o["path"].toString(), o["headers"].toObject(),
                                o["body"].toString().toUtf8()});
        }
    }
    QProcess process_;
    quint16 port_ = 0;
};

inline security::LocalPairingKey testKey(unsigned char fill = 7) { return *security::LocalPairingKey::fromBytes(Bytes(32, fill)); }

inline const std::string companionID = "mac-0f8fad5b-d9cb-469f-a165-70867728950e";
inline const std::string companionName = "Build Box";

inline store::CompanionSnapshot snapshotWithTask(const std::string& title) {
    store::CompanionSnapshot s;
    TaskSnapshot task{"t1", std::nullopt, "work", AIProvider::claude, title, TaskState::running,
                      Date::fromReference(800000000)};
    s.tasksByID[store::CompanionSnapshot::taskKey(task)] = task;
    return s;
}

// What `vigilorb-peer open` makes of a recorded body: the payload, or its error case.
struct Opened {
    int status;
    QByteArray out, err;
};
inline Opened openWithPeer(const QByteArray& body, const security::LocalPairingKey& key) {
    QProcess peer;
    peer.start(PEER_EXECUTABLE, {"open", "--key", QString::fromStdString(security::crypto::hexLowercase(key.bytes()))});
    peer.write(body);
    peer.closeWriteChannel();
    peer.waitForFinished(30000);
    return {peer.exitCode(), peer.readAllStandardOutput(), peer.readAllStandardError()};
}

}  // namespace vigilorb::test
