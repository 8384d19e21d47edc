#pragma once
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "link/admission.hpp"
#include "security/pairing_key.hpp"
#include "store/snapshot.hpp"

class QSslSocket;
class QTcpServer;
class QTimer;

namespace vigilorb::transport {

class AvahiAdvertiser;

// Outside the class only because GCC cannot use a nested struct's member initializers in a
// default argument of the enclosing class; spelled LocalLinkServer::Options.
struct LocalLinkServerOptions {
    std::chrono::milliseconds helloTimeout{link::helloTimeout};
    bool advertise = true;
    // Tests listen on loopback; the companion on every interface (IPv4 and IPv6).
    QHostAddress listenAddress{QHostAddress::Any};
    quint16 port = 0;  // 0: chosen by the system
};

// The local link for one active pairing key: a TLS-PSK listener on every interface, advertised
// by DNS-SD, that admits a receiver whose first frame is a fresh hello made with the key and
// then pushes it one signed envelope frame at once and one on every snapshot change. What the
// receiver sends after its hello is read and dropped.
//
// Status texts: admission gives "Authenticated <device>; reconnecting automatically…",
// "iPhone connected" and, once the first envelope is handed to the socket, "Read-only snapshot
// sent"; a change handed to the receivers gives "Read-only snapshot sent"; the last admitted
// receiver leaving gives "Waiting for a paired iPhone"; an envelope that cannot be made or
// queued (a receiver that stopped reading is dropped) gives "Snapshot delivery failed"; a
// listener or advertiser that cannot start gives "Could not make the local connection
// available" (the listener keeps running without the advertisement). A connection that is
// declined, fails its handshake or times out never emits anything.
class LocalLinkServer : public QObject {
    Q_OBJECT
public:
    using Options = LocalLinkServerOptions;

    LocalLinkServer(std::string companionID, std::string companionName, security::LocalPairingKey key,
                    store::CompanionSnapshot initialSnapshot, Options options = {}, QObject* parent = nullptr);
    ~LocalLinkServer() override;

    void start();
    void setSnapshot(const store::CompanionSnapshot& snapshot);
    quint16 port() const;

    // Connections that have not yet presented an accepted hello, and admitted receivers.
    std::size_t waitingConnections() const;
    std::size_t admittedReceivers() const;

signals:
    void statusText(const QString& text);
    // A connection closed without admission, with the reason (never a status text).
    void declined(link::Decline reason);
    // A receiver was admitted (after its first envelope was queued).
    void admitted(const QString& deviceName);

private:
    struct Connection {
        QSslSocket* socket = nullptr;
        QTimer* deadline = nullptr;
        std::unique_ptr<link::ReceiverAdmission> admission;
    };

    std::string companionID_;
    std::string companionName_;
    security::LocalPairingKey key_;
    store::CompanionSnapshot snapshot_;
    Options options_;
    QByteArray psk_;
    QByteArray pskIdentity_;
    link::ConsumedNonces nonces_;
    QTcpServer* listener_ = nullptr;
    std::unique_ptr<AvahiAdvertiser> advertiser_;
    std::map<QSslSocket*, Connection> connections_;

    void accept(qintptr descriptor);
    void onReadable(QSslSocket* socket);
    void onGone(QSslSocket* socket);
    void apply(QSslSocket* socket, const link::AdmissionStep& step);
    void drop(QSslSocket* socket);
    // Signs the current snapshot and queues it to the given receivers; returns how many got it.
    bool sendTo(const std::vector<QSslSocket*>& receivers);
    void reportLater(const QString& text);

    friend class LocalLinkListener;
};

}  // namespace vigilorb::transport
