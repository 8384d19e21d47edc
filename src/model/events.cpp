#include "model/events.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "model/text.hpp"

namespace vigilorb {

AIProvider NormalizedProviderEvent::provider() const {
    return std::visit([](const auto& r) { return r.provider; }, value);
}

const std::string& NormalizedProviderEvent::accountID() const {
    return std::visit([](const auto& r) -> const std::string& { return r.accountID; }, value);
}

ProviderEventEnvelope ProviderEventEnvelope::make(NormalizedProviderEvent event, Date recordedAt) {
    return ProviderEventEnvelope{makeUUID(), recordedAt, std::move(event)};
}

void to_json(Json& j, const NormalizedProviderEvent& v) {
    j = Json::object();
    std::visit(
        [&](const auto& record) {
            using T = std::decay_t<decltype(record)>;
            const char* name = std::is_same_v<T, AccountQuotaSnapshot> ? "quota"
                               : std::is_same_v<T, TaskSnapshot>       ? "task"
                                                                       : "pendingAction";
            j[name] = Json{{"_0", record}};
        },
        v.value);
}

void from_json(const Json& j, NormalizedProviderEvent& v) {
    json::object(j, "NormalizedProviderEvent");
    if (j.size() != 1) throw DecodingError("Invalid number of keys found, expected one.");
    auto it = j.begin();
    const std::string& name = it.key();
    const auto& record = json::require(it.value(), "_0");
    if (name == "quota")
        v.value = record.get<AccountQuotaSnapshot>();
    else if (name == "task")
        v.value = record.get<TaskSnapshot>();
    else if (name == "pendingAction")
        v.value = record.get<PendingAction>();
    else
        throw DecodingError("Unknown event case " + name);
}

void to_json(Json& j, const ProviderEventEnvelope& v) {
    j = Json::object();
    j["id"] = v.id;
    j["recordedAt"] = dateToJson(v.recordedAt);
    j["event"] = v.event;
}

void from_json(const Json& j, ProviderEventEnvelope& v) {
    json::object(j, "ProviderEventEnvelope");
    v.id = json::requireString(j, "id");
    v.recordedAt = json::requireDate(j, "recordedAt");
    v.event = json::require(j, "event").get<NormalizedProviderEvent>();
}

std::string encodeEnvelope(const ProviderEventEnvelope& e) { return json::dump(Json(e)); }

std::expected<ProviderEventEnvelope, json::DocumentFailure> decodeEnvelope(std::string_view bytes) {
    return json::decode<ProviderEventEnvelope>(bytes);
}

bool isValidAccountID(std::string_view accountID) {
    if (accountID.empty()) return false;
    bool allowed = true;
    bool decodable = text::forEachScalar(accountID, [&](char32_t c) {
        if (!(c == U'-' || c == U'_' || text::isAlphanumeric(c))) allowed = false;
    });
    return decodable && allowed && text::graphemeCount(accountID) <= 64;
}

std::expected<AccountProfile, AccountProfileError> AccountProfile::make(std::string id, AIProvider p, std::string name) {
    if (!isValidAccountID(id)) return std::unexpected(AccountProfileError::invalidIdentifier);
    return AccountProfile{std::move(id), p, std::move(name)};
}

std::string makeUUID() {
    unsigned char b[16];
    // The kernel's generator directly: initialising OpenSSL's costs about a millisecond, and
    // the status-line mode makes UUIDs on every refresh of Claude Code.
    std::size_t filled = 0;
    while (filled < sizeof b) {
        auto n = ::getrandom(b + filled, sizeof b - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("no secure random bytes");
        }
        filled += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

}  // namespace vigilorb
