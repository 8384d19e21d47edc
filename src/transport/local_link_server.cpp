#include "transport/local_link_server.hpp"

#include <QMetaObject>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslPreSharedKeyAuthenticator>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <unistd.h>

#include "link/frame_codec.hpp"
#include "link/link_contract.hpp"
#include "security/snapshot_envelope.hpp"
#include "transport/avahi_advertiser.hpp"

namespace vigilorb::transport {

namespace {

const QString waitingText = QStringLiteral("Waiting for a paired iPhone");
const QString connectedText = QStringLiteral("iPhone connected");
const QString sentText = QStringLiteral("Read-only snapshot sent");
const QString failedText = QStringLiteral("Snapshot delivery failed");
const QString unavailableText = QStringLiteral("Could not make the local connection available");

QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// TLS 1.2, one ECDHE-PSK suite, no certificates on either side.
QSslConfiguration linkConfiguration() {
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_2);
    c.setCiphers({QSslCipher(QString::fromLatin1(link::cipherSuite), QSsl::TlsV1_2)});
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    return c;
}

}  // namespace

// Hands each accepted descriptor to the server before Qt wraps it, so that a connection over
// the waiting limit is closed without ever starting a handshake.
class LocalLinkListener final : public QTcpServer {
public:
    explicit LocalLinkListener(LocalLinkServer* server) : QTcpServer(server), server_(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { server_->accept(descriptor); }

private:
    LocalLinkServer* server_;
};

LocalLinkServer::LocalLinkServer(std::string companionID, std::string companionName, security::LocalPairingKey key,
                                 store::CompanionSnapshot initialSnapshot, Options options, QObject* parent)
    : QObject(parent),
      companionID_(std::move(companionID)),
      companionName_(std::move(companionName)),
      key_(std::move(key)),
      snapshot_(std::move(initialSnapshot)),
      options_(options),
      psk_(toQByteArray(link::sessionPreSharedKey(key_, companionID_))),
      pskIdentity_(QByteArray::fromStdString(link::sessionPskIdentity(key_))) {}

LocalLinkServer::~LocalLinkServer() {
    advertiser_.reset();
    for (auto& [socket, connection] : connections_) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
    connections_.clear();
}

void LocalLinkServer::start() {
    if (listener_) return;
    listener_ = new LocalLinkListener(this);
    if (!listener_->listen(options_.listenAddress, options_.port)) {
        reportLater(unavailableText);
        return;
    }
    if (!options_.advertise) return;
    advertiser_ = std::make_unique<AvahiAdvertiser>();
    connect(advertiser_.get(), &AvahiAdvertiser::failed, this, [this] { emit statusText(unavailableText); },
            Qt::QueuedConnection);
    advertiser_->start(link::peerDisplayName(companionID_), link::serviceType, listener_->serverPort(),
                       link::txtRecord(companionID_));
}

quint16 LocalLinkServer::port() const { return listener_ ? listener_->serverPort() : 0; }

std::size_t LocalLinkServer::waitingConnections() const {
    std::size_t n = 0;
    for (const auto& [socket, c] : connections_)
        if (c.admission->state() == link::ReceiverAdmission::State::awaitingHello) ++n;
    return n;
}

std::size_t LocalLinkServer::admittedReceivers() const {
    std::size_t n = 0;
    for (const auto& [socket, c] : connections_)
        if (c.admission->state() == link::ReceiverAdmission::State::admitted) ++n;
    return n;
}

void LocalLinkServer::reportLater(const QString& text) {
    // Queued, so that a caller which reports its own text right after start() does not hide it.
    QMetaObject::invokeMethod(this, [this, text] { emit statusText(text); }, Qt::QueuedConnection);
}

void LocalLinkServer::accept(qintptr descriptor) {
    if (!link::mayAcceptWaiting(waitingConnections())) {
        ::close(static_cast<int>(descriptor));
        emit declined(link::Decline::tooManyWaiting);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        delete socket;
        return;
    }
    socket->setSslConfiguration(linkConfiguration());
    auto deadline = std::chrono::steady_clock::now() + options_.helloTimeout;
    Connection c;
    c.socket = socket;
    c.admission = std::make_unique<link::ReceiverAdmission>(companionID_, key_, nonces_, deadline);
    c.deadline = new QTimer(socket);
    c.deadline->setSingleShot(true);
    c.deadline->setTimerType(Qt::PreciseTimer);
    connect(c.deadline, &QTimer::timeout, this, [this, socket] {
        auto it = connections_.find(socket);
        if (it == connections_.end()) return;
        // The timer may fire a hair early; the state machine decides against its own deadline.
        auto step = it->second.admission->tick(std::chrono::steady_clock::now());
        if (std::holds_alternative<std::monostate>(step) &&
            it->second.admission->state() == link::ReceiverAdmission::State::awaitingHello) {
            it->second.deadline->start(1);
            return;
        }
        apply(socket, step);
    });
    c.deadline->start(options_.helloTimeout);

    connect(socket, &QSslSocket::preSharedKeyAuthenticationRequired, this,
            [this](QSslPreSharedKeyAuthenticator* authenticator) {
                // Another identity gets no key, which fails the handshake.
                if (authenticator->identity() == pskIdentity_) authenticator->setPreSharedKey(psk_);
            });
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { onReadable(socket); });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] { onGone(socket); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError) { onGone(socket); });
    connect(socket, &QSslSocket::sslErrors, this, [this, socket](const QList<QSslError>&) { onGone(socket); });
    connections_.emplace(socket, std::move(c));
    socket->startServerEncryption();
}

void LocalLinkServer::onReadable(QSslSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end()) return;
    while (socket->bytesAvailable() > 0) {
        QByteArray chunk = socket->read(64 * 1024);
        if (chunk.isEmpty()) break;
        auto step = it->second.admission->receive(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())),
                                                  Date::now(), std::chrono::steady_clock::now());
        if (!std::holds_alternative<std::monostate>(step)) {
            apply(socket, step);
            if (!connections_.contains(socket)) return;
        }
    }
}

void LocalLinkServer::apply(QSslSocket* socket, const link::AdmissionStep& step) {
    auto it = connections_.find(socket);
    if (it == connections_.end()) return;
    if (auto* declinedStep = std::get_if<link::Declined>(&step)) {
        auto reason = declinedStep->reason;
        drop(socket);
        emit declined(reason);
        return;
    }
    if (auto* admittedStep = std::get_if<link::Admitted>(&step)) {
        it->second.deadline->stop();
        emit statusText(QString::fromStdString(admittedStep->statusText));
        emit statusText(connectedText);
        if (sendTo({socket})) emit statusText(sentText);
        if (connections_.contains(socket)) emit admitted(QString::fromStdString(admittedStep->deviceName));
    }
}

void LocalLinkServer::drop(QSslSocket* socket) {
    auto node = connections_.extract(socket);
    if (node.empty()) return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void LocalLinkServer::onGone(QSslSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end()) return;
    bool wasAdmitted = it->second.admission->state() == link::ReceiverAdmission::State::admitted;
    auto step = it->second.admission->closed();
    drop(socket);
    if (auto* declinedStep = std::get_if<link::Declined>(&step)) emit declined(declinedStep->reason);
    if (wasAdmitted && admittedReceivers() == 0) emit statusText(waitingText);
}

void LocalLinkServer::setSnapshot(const store::CompanionSnapshot& snapshot) {
    snapshot_ = snapshot;
    std::vector<QSslSocket*> receivers;
    for (const auto& [socket, c] : connections_)
        if (c.admission->state() == link::ReceiverAdmission::State::admitted) receivers.push_back(socket);
    // With nobody admitted, nothing is sent and the status stays as it is.
    if (receivers.empty()) return;
    if (sendTo(receivers)) emit statusText(sentText);
}

bool LocalLinkServer::sendTo(const std::vector<QSslSocket*>& receivers) {
    auto envelope = security::SignedSnapshotEnvelope::create(snapshot_, key_, Date::now());
    if (!envelope) {
        emit statusText(failedText);
        return false;
    }
    std::string frame = link::encodeFrame(*envelope);
    bool allQueued = true;
    for (auto* socket : receivers) {
        auto queued = static_cast<std::size_t>(socket->bytesToWrite() + socket->encryptedBytesToWrite());
        if (!link::mayQueue(queued, frame.size()) ||
            socket->write(frame.data(), static_cast<qint64>(frame.size())) != static_cast<qint64>(frame.size())) {
            // A receiver that stopped reading is dropped rather than left to grow our memory.
            allQueued = false;
            drop(socket);
        }
    }
    if (!allQueued) {
        emit statusText(failedText);
        return false;
    }
    return true;
}

}  // namespace vigilorb::transport
