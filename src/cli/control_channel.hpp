#pragma once
// The local control channel of the running app: `vigilorb-companion --pair` and
// `--relay-address TEXT` ask the running instance over a Unix socket that only this user can
// reach. This file is the Qt-free half (paths, the line protocol, the client); the app serves
// it with runtime/control_server.hpp.
//
// Protocol: the client sends one request line, "<verb>" or "<verb> <argument>", ended by "\n",
// at most requestLimit bytes. The server answers "ok" or "error <message>" on the first line,
// then any number of "<name> <value>" lines, and closes the connection. No field holds a line
// break or another control character.
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/paths.hpp"

namespace vigilorb::cli {

inline constexpr std::size_t requestLimit = 4096;        // one request line with its "\n"
inline constexpr std::size_t responseLimit = 64 * 1024;  // a whole answer
inline constexpr const char* socketName = "control.sock";

// The folder of the socket: $XDG_RUNTIME_DIR/VigilorbCompanion when that is set, else
// <temporary directory>/VigilorbCompanion-<uid>.
std::filesystem::path socketFolder(const paths::Environment& env, uid_t uid);

enum class FolderError {
    cannotCreate,  // mkdir failed
    notPrivate     // not a directory, or a symbolic link, or not owned by uid, or open to others
};

// Creates the folder with mode 0700 when missing, then checks that it is a real folder owned
// by `uid` that nobody else can enter.
std::expected<void, FolderError> preparePrivateFolder(const std::filesystem::path& folder, uid_t uid);
// The same checks without creating anything.
std::expected<void, FolderError> checkPrivateFolder(const std::filesystem::path& folder, uid_t uid);

struct Request {
    std::string verb;      // lower-case letters and "-", 1 to 32 of them
    std::string argument;  // may be empty; no control characters

    bool operator==(const Request&) const = default;
};

enum class RequestError { malformed, tooLarge };

// "verb[ argument]\n"; nothing when the request could not be sent as one valid line.
std::optional<std::string> encodeRequest(const Request& request);
// One line without its "\n".
std::expected<Request, RequestError> parseRequest(std::string_view line);

struct Response {
    bool ok = false;
    std::string message;  // for an error
    std::vector<std::pair<std::string, std::string>> fields;

    std::optional<std::string> field(std::string_view name) const;
    bool operator==(const Response&) const = default;
};

// Control characters in messages and values are replaced by spaces, so a field cannot forge a line.
std::string encodeResponse(const Response& response);
std::optional<Response> parseResponse(std::string_view text);

enum class ClientError {
    notRunning,     // no socket, or nobody listening on it
    notPrivate,     // the folder or the listener belongs to someone else
    timedOut,
    unreadable,     // the answer was too large, cut off or malformed
    failed          // any other socket error
};

// Connects, sends the request and reads the answer, within `timeout` in all.
std::expected<Response, ClientError> send(const std::filesystem::path& folder, const Request& request,
                                          std::chrono::milliseconds timeout);

// `vigilorb-companion --pair` (exactly two arguments) and `vigilorb-companion
// --relay-address TEXT` (exactly three); anything else is not a control command.
std::optional<Request> controlRequest(int argc, const char* const* argv);

// Runs the control command against the running app of this user and prints its result.
int runControlCommand(const Request& request);

}  // namespace vigilorb::cli
