#pragma once
// The app's end of the local control channel (cli/control_channel.hpp has the protocol
// and the client): a Unix socket in a folder only this user can enter, mode 0600, and each
// connecting process's user checked again with SO_PEERCRED. Requests are dispatched by verb to
// handlers the app registers; a handler answers once, now or later.
#include <QObject>
#include <QPointer>

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "cli/control_channel.hpp"

class QLocalServer;
class QLocalSocket;

namespace vigilorb::transport {

class ControlServer : public QObject {
    Q_OBJECT

public:
    using Reply = std::function<void(const cli::Response&)>;
    using Handler = std::function<void(const std::string& argument, Reply reply)>;

    struct Options {
        // A client must have sent its request line by then.
        std::chrono::milliseconds requestTimeout{5000};
        // A handler that has not answered by then gets its client an error.
        std::chrono::milliseconds answerTimeout{60000};
        // Connections open at once; more are closed at once.
        int connectionLimit = 8;
    };

    enum class ListenError { folderNotPrivate, cannotListen };

    explicit ControlServer(std::filesystem::path folder, Options options, QObject* parent = nullptr);
    explicit ControlServer(std::filesystem::path folder) : ControlServer(std::move(folder), Options{}) {}
    // Stops listening and removes the socket file.
    ~ControlServer() override;

    // Requests with this verb go to `handler` (a later call for the same verb replaces it).
    void addHandler(const std::string& verb, Handler handler);
    // Creates the private folder and listens. The caller holds the single-instance lock, so a
    // socket file left by a process that died is removed first.
    std::expected<void, ListenError> listen();

    std::filesystem::path socketPath() const { return folder_ / cli::socketName; }

private:
    void accept();
    void readRequest(QLocalSocket* socket);
    void answer(QLocalSocket* socket, const cli::Response& response);

    std::filesystem::path folder_;
    Options options_;
    QLocalServer* server_;
    std::map<std::string, Handler> handlers_;
    int open_ = 0;
    ino_t socketInode_ = 0;
};

}  // namespace vigilorb::transport
