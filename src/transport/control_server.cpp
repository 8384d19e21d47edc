#include "transport/control_server.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QVariant>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorb::transport {

namespace {

cli::Response error(std::string message) { return {false, std::move(message), {}}; }

bool sameUser(QLocalSocket* socket) {
    ucred peer{};
    socklen_t length = sizeof peer;
    auto fd = static_cast<int>(socket->socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::geteuid();
}

}  // namespace

ControlServer::ControlServer(std::filesystem::path folder, Options options, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), options_(options), server_(new QLocalServer(this)) {
    connect(server_, &QLocalServer::newConnection, this, &ControlServer::accept);
}

ControlServer::~ControlServer() {
    if (server_->isListening()) {
        server_->close();
        // Only our own socket: another app of this user (other data folders) may have taken
        // the name since.
        struct stat st {};
        if (::lstat(socketPath().c_str(), &st) == 0 && st.st_ino == socketInode_) ::unlink(socketPath().c_str());
    }
}

void ControlServer::addHandler(const std::string& verb, Handler handler) { handlers_[verb] = std::move(handler); }

std::expected<void, ControlServer::ListenError> ControlServer::listen() {
    if (!cli::preparePrivateFolder(folder_, ::geteuid())) return std::unexpected(ListenError::folderNotPrivate);
    // Bound under a temporary name and renamed once it is 0600, so the socket never exists
    // with wider permissions under its real name.
    auto staging = folder_ / (std::string(cli::socketName) + ".new");
    QLocalServer::removeServer(QString::fromStdString(staging.string()));
    if (!server_->listen(QString::fromStdString(staging.string()))) return std::unexpected(ListenError::cannotListen);
    if (::chmod(staging.c_str(), 0600) != 0 || ::rename(staging.c_str(), socketPath().c_str()) != 0) {
        server_->close();
        return std::unexpected(ListenError::cannotListen);
    }
    struct stat st {};
    if (::lstat(socketPath().c_str(), &st) == 0) socketInode_ = st.st_ino;
    return {};
}

void ControlServer::accept() {
    while (auto* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!sameUser(socket) || open_ >= options_.connectionLimit) {
            // Another user (only possible if the folder was opened up) or a flood: no answer.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        // Closed if it neither sends a request in time nor gets its answer in time.
        QTimer::singleShot(options_.requestTimeout, socket, [socket] {
            if (!socket->property("requested").toBool()) socket->abort();
        });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        readRequest(socket);
    }
}

void ControlServer::readRequest(QLocalSocket* socket) {
    if (socket->property("requested").toBool()) {
        socket->readAll();  // one request per connection; the rest is ignored
        return;
    }
    // Read no more than one request line can hold.
    auto buffered = socket->property("buffer").toByteArray();
    buffered += socket->read(static_cast<qint64>(cli::requestLimit) + 1 - buffered.size());
    auto end = buffered.indexOf('\n');
    if (end < 0) {
        if (static_cast<std::size_t>(buffered.size()) >= cli::requestLimit) {
            socket->setProperty("requested", true);
            answer(socket, error("The request is too large."));
            return;
        }
        socket->setProperty("buffer", buffered);
        return;
    }
    socket->setProperty("requested", true);
    socket->setProperty("buffer", QByteArray());
    auto request = cli::parseRequest(std::string_view(buffered.constData(), static_cast<std::size_t>(end)));
    if (!request) {
        answer(socket, error(request.error() == cli::RequestError::tooLarge ? "The request is too large."
                                                                                : "The request is not understood."));
        return;
    }
    auto handler = handlers_.find(request->verb);
    if (handler == handlers_.end()) {
        answer(socket, error("Unknown request: " + request->verb));
        return;
    }
    QPointer<QLocalSocket> target(socket);
    QTimer::singleShot(options_.answerTimeout, socket, [this, target] {
        if (target && !target->property("answered").toBool()) answer(target, error("No answer in time."));
    });
    handler->second(request->argument, [this, target](const cli::Response& response) {
        if (target) answer(target, response);
    });
}

void ControlServer::answer(QLocalSocket* socket, const cli::Response& response) {
    if (socket->property("answered").toBool()) return;
    socket->setProperty("answered", true);
    socket->write(QByteArray::fromStdString(cli::encodeResponse(response)));
    socket->disconnectFromServer();  // after the answer is written
}

}  // namespace vigilorb::transport
