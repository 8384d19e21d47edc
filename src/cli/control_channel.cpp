#include "cli/control_channel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vigilorb::cli {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool hasControl(std::string_view s) {
    for (unsigned char c : s)
        if (isControl(c)) return true;
    return false;
}

std::string withoutControl(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (isControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

bool validVerb(std::string_view verb) {
    if (verb.empty() || verb.size() > 32) return false;
    for (char c : verb)
        if (!((c >= 'a' && c <= 'z') || c == '-')) return false;
    return true;
}

using Clock = std::chrono::steady_clock;

int remainingMillis(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline; false on timeout or error.
bool waitFor(int fd, short events, Clock::time_point deadline, bool& timedOut) {
    for (;;) {
        pollfd p{fd, events, 0};
        int left = remainingMillis(deadline);
        if (left == 0) {
            timedOut = true;
            return false;
        }
        int n = ::poll(&p, 1, left);
        if (n > 0) return true;
        if (n == 0) {
            timedOut = true;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

class Socket {
public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::filesystem::path socketFolder(const paths::Environment& env, uid_t uid) {
    if (auto runtime = env("XDG_RUNTIME_DIR"); runtime && !runtime->empty() && runtime->front() == '/')
        return std::filesystem::path(*runtime) / paths::companionFolderName;
    return paths::temporaryDirectory(env) / (std::string(paths::companionFolderName) + "-" + std::to_string(uid));
}

std::expected<void, FolderError> checkPrivateFolder(const std::filesystem::path& folder, uid_t uid) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return std::unexpected(FolderError::cannotCreate);
    if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077) != 0)
        return std::unexpected(FolderError::notPrivate);
    return {};
}

std::expected<void, FolderError> preparePrivateFolder(const std::filesystem::path& folder, uid_t uid) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::unexpected(FolderError::cannotCreate);
    return checkPrivateFolder(folder, uid);
}

std::optional<std::string> encodeRequest(const Request& request) {
    if (!validVerb(request.verb) || hasControl(request.argument)) return std::nullopt;
    std::string line = request.verb;
    if (!request.argument.empty()) line += " " + request.argument;
    line += "\n";
    if (line.size() > requestLimit) return std::nullopt;
    return line;
}

std::expected<Request, RequestError> parseRequest(std::string_view line) {
    if (line.size() + 1 > requestLimit) return std::unexpected(RequestError::tooLarge);
    if (hasControl(line)) return std::unexpected(RequestError::malformed);
    Request request;
    auto space = line.find(' ');
    request.verb = line.substr(0, space);
    if (space != std::string_view::npos) request.argument = line.substr(space + 1);
    if (!validVerb(request.verb)) return std::unexpected(RequestError::malformed);
    return request;
}

std::optional<std::string> Response::field(std::string_view name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return std::nullopt;
}

std::string encodeResponse(const Response& response) {
    std::string out = response.ok ? "ok" : "error " + withoutControl(response.message);
    out += "\n";
    for (const auto& [name, value] : response.fields) {
        if (!validVerb(name)) continue;
        out += name + " " + withoutControl(value) + "\n";
    }
    return out;
}

std::optional<Response> parseResponse(std::string_view text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    Response response;
    bool first = true;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (hasControl(line)) return std::nullopt;
        if (first) {
            first = false;
            if (line == "ok") {
                response.ok = true;
            } else if (line.starts_with("error ")) {
                response.message = line.substr(6);
            } else {
                return std::nullopt;
            }
            continue;
        }
        auto space = line.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        response.fields.emplace_back(std::string(line.substr(0, space)), std::string(line.substr(space + 1)));
    }
    return response;
}

std::expected<Response, ClientError> send(const std::filesystem::path& folder, const Request& request,
                                          std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    auto line = encodeRequest(request);
    if (!line) return std::unexpected(ClientError::failed);
    if (auto checked = checkPrivateFolder(folder, ::geteuid()); !checked)
        return std::unexpected(checked.error() == FolderError::notPrivate ? ClientError::notPrivate
                                                                          : ClientError::notRunning);
    auto path = (folder / socketName).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::unexpected(ClientError::failed);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    Socket socket;
    if (socket.fd() < 0) return std::unexpected(ClientError::failed);
    bool timedOut = false;
    if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return std::unexpected(ClientError::notRunning);
        if (errno != EINPROGRESS && errno != EAGAIN) return std::unexpected(ClientError::failed);
        if (!waitFor(socket.fd(), POLLOUT, deadline, timedOut))
            return std::unexpected(timedOut ? ClientError::timedOut : ClientError::failed);
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == ECONNREFUSED || error == ENOENT) return std::unexpected(ClientError::notRunning);
        if (error != 0) return std::unexpected(ClientError::failed);
    }
    // The answer carries the pairing secret: it must come from this user's own process.
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(socket.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || peer.uid != ::geteuid())
        return std::unexpected(ClientError::notPrivate);

    std::string_view pending = *line;
    while (!pending.empty()) {
        auto n = ::send(socket.fd(), pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
            pending.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(socket.fd(), POLLOUT, deadline, timedOut))
                return std::unexpected(timedOut ? ClientError::timedOut : ClientError::failed);
        } else {
            return std::unexpected(ClientError::failed);
        }
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        auto n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
            if (answer.size() > responseLimit) return std::unexpected(ClientError::unreadable);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!waitFor(socket.fd(), POLLIN, deadline, timedOut))
                return std::unexpected(timedOut ? ClientError::timedOut : ClientError::failed);
        } else {
            return std::unexpected(ClientError::failed);
        }
    }
    auto response = parseResponse(answer);
    if (!response) return std::unexpected(ClientError::unreadable);
    return *response;
}

std::optional<Request> controlRequest(int argc, const char* const* argv) {
    if (argc == 2 && std::strcmp(argv[1], "--pair") == 0) return Request{"pair", ""};
    if (argc == 3 && std::strcmp(argv[1], "--relay-address") == 0) {
        // The app trims the address anyway; a pasted line break around it must not stop it.
        std::string_view text = argv[2];
        constexpr std::string_view space = " \t\n\r\v\f";
        auto first = text.find_first_not_of(space);
        text = first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(space) - first + 1);
        return Request{"relay-address", std::string(text)};
    }
    return std::nullopt;
}

int runControlCommand(const Request& request) {
    auto say = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    if (!encodeRequest(request)) {
        say("The request cannot be sent: it is too long or holds a line break.");
        return 1;
    }
    // Pairing waits for the key store, which may take up to its own 10 s timeout.
    auto response = send(socketFolder(paths::processEnvironment(), ::geteuid()), request, std::chrono::seconds(30));
    if (!response) {
        switch (response.error()) {
            case ClientError::notRunning: say("Tallyloom Companion is not running for this user."); break;
            case ClientError::notPrivate:
                say("Tallyloom Companion's control socket is not private to this user; nothing was sent.");
                break;
            case ClientError::timedOut: say("Tallyloom Companion did not answer in time."); break;
            default: say("Tallyloom Companion could not be asked."); break;
        }
        return 1;
    }
    if (!response->ok) {
        say(response->message);
        return 1;
    }
    if (request.verb == "pair") {
        auto invitation = response->field("invitation");
        if (!invitation) return 1;
        std::fprintf(stdout, "%s\n", invitation->c_str());
        std::fflush(stdout);
        if (auto code = response->field("verification-code")) say("Verification code: " + *code);
        return 0;
    }
    if (auto message = response->field("message")) std::fprintf(stdout, "%s\n", message->c_str());
    return 0;
}

}  // namespace vigilorb::cli
