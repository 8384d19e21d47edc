#include "codex/read_only_message.hpp"

#include <array>

namespace vigilorb::codex {

namespace {

constexpr std::array<std::string_view, 4> allowedRequests{"initialize", "thread/loaded/list", "thread/read",
                                                          "thread/list"};
constexpr std::array<std::string_view, 1> allowedNotifications{"initialized"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view method) {
    for (auto m : list)
        if (m == method) return true;
    return false;
}

}  // namespace

bool ReadOnlyAppServerMessage::isAllowedRequest(std::string_view method) { return contains(allowedRequests, method); }

bool ReadOnlyAppServerMessage::isAllowedNotification(std::string_view method) {
    return contains(allowedNotifications, method);
}

std::expected<ReadOnlyAppServerMessage, ReadOnlyMessageError> ReadOnlyAppServerMessage::request(std::int64_t id,
                                                                                                std::string_view method,
                                                                                                Json params) {
    if (!isAllowedRequest(method)) return std::unexpected(ReadOnlyMessageError::methodNotAllowed);
    Json message = Json::object({{"id", id}, {"method", std::string(method)}, {"params", std::move(params)}});
    return ReadOnlyAppServerMessage(std::string(method), message.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::expected<ReadOnlyAppServerMessage, ReadOnlyMessageError> ReadOnlyAppServerMessage::notification(
    std::string_view method, Json params) {
    if (!isAllowedNotification(method)) return std::unexpected(ReadOnlyMessageError::methodNotAllowed);
    Json message = Json::object({{"method", std::string(method)}, {"params", std::move(params)}});
    return ReadOnlyAppServerMessage(std::string(method), message.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace vigilorb::codex
