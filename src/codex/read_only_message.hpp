#pragma once
// The only messages the approval observer can put on the wire to Codex's shared app-server.
//
// Codex broadcasts approval waits to every client of its background app-server, and some of its
// methods turn a client into a responder: `thread/resume` replays the pending approval request
// to the caller with an id, and `turn/*` starts or steers work. The observer must never be able
// to send those, nor answer anything. So the message type below can only be built through an
// allow-list of read-only methods, and there is no way at all to build a response (a message
// with an `id` and a `result` or `error`): the shell writes nothing but these.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "model/json.hpp"

namespace vigilorb::codex {

enum class ReadOnlyMessageError { methodNotAllowed };

class ReadOnlyAppServerMessage {
public:
    // Requests: `initialize`, `thread/loaded/list`, `thread/read`, `thread/list`.
    static std::expected<ReadOnlyAppServerMessage, ReadOnlyMessageError> request(std::int64_t id,
                                                                                 std::string_view method, Json params);
    // Notifications: `initialized`.
    static std::expected<ReadOnlyAppServerMessage, ReadOnlyMessageError> notification(std::string_view method,
                                                                                      Json params);
    static bool isAllowedRequest(std::string_view method);
    static bool isAllowedNotification(std::string_view method);

    // Compact JSON (keys sorted), one WebSocket text message.
    const std::string& text() const { return text_; }
    const std::string& method() const { return method_; }
    bool operator==(const ReadOnlyAppServerMessage&) const = default;

private:
    ReadOnlyAppServerMessage(std::string method, std::string text) : method_(std::move(method)), text_(std::move(text)) {}
    std::string method_;
    std::string text_;
};

}  // namespace vigilorb::codex
