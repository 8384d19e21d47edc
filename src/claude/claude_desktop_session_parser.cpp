#include "claude/claude_desktop_session_parser.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "model/json.hpp"
#include "model/text.hpp"

namespace vigilorb::claude {

namespace {

// The value of `key` when it is a string that is not empty after trimming.
std::optional<std::string> trimmedString(const Json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_string()) return std::nullopt;
    auto s = text::trimmed(it->get_ref<const std::string&>(), text::NotUTF8::trimASCII);
    if (s.empty()) return std::nullopt;
    return s;
}

std::optional<std::string> loweredString(const Json& obj, const char* key) {
    auto s = trimmedString(obj, key);
    if (s) std::transform(s->begin(), s->end(), s->begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool isTrue(const Json& obj, const char* key) {
    auto it = obj.find(key);
    return it != obj.end() && it->is_boolean() && it->get<bool>();
}

std::optional<Date> eventTime(const Json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_string()) return std::nullopt;
    return parseInternetDateTime(it->get_ref<const std::string&>(), DateTimeForm::wholeSeconds);
}

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

std::optional<TaskState> lifecycleState(const Json& event, const std::string& type) {
    if (type == "command_lifecycle") {
        auto state = loweredString(event, "state");
        if (!state) return std::nullopt;
        if (*state == "queued" || *state == "started") return TaskState::running;
        if (*state == "completed") return TaskState::completed;
        if (*state == "failed" || *state == "error") return TaskState::failed;
        if (*state == "cancelled" || *state == "canceled") return TaskState::cancelled;
        return std::nullopt;
    }
    if (type == "result") {
        auto reason = loweredString(event, "terminal_reason").value_or("");
        if (contains(reason, "cancel") || contains(reason, "interrupt")) return TaskState::cancelled;
        if (isTrue(event, "is_error")) return TaskState::failed;
        if (loweredString(event, "subtype") == "error") return TaskState::failed;
        if (contains(reason, "fail")) return TaskState::failed;
        return TaskState::completed;
    }
    if (type == "system") {
        auto subtype = loweredString(event, "subtype");
        if (subtype == "permission_request")
            return loweredString(event, "tool_name") == "askuserquestion" ? TaskState::waitingInput
                                                                           : TaskState::waitingApproval;
        if (subtype == "permission_response") return TaskState::running;
        if (subtype == "status" && loweredString(event, "status") == "requesting") return TaskState::running;
        return std::nullopt;
    }
    if (type == "assistant" || type == "user") return TaskState::running;
    return std::nullopt;
}

}  // namespace

std::string coworkTaskID(std::string_view sessionID) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(sessionID.data(), sessionID.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 12)
        throw std::runtime_error("SHA-256 is unavailable");
    static constexpr char hex[] = "0123456789abcdef";
    std::string id = "desktop-cowork-";
    for (int i = 0; i < 12; ++i) {
        id += hex[digest[i] >> 4];
        id += hex[digest[i] & 0x0f];
    }
    return id;
}

AuditState ClaudeLocalSessionParser::auditState(std::string_view audit) {
    AuditState result;
    std::size_t start = 0;
    while (start <= audit.size()) {
        auto newline = audit.find('\n', start);
        auto end = newline == std::string_view::npos ? audit.size() : newline;
        auto line = audit.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        auto parsed = json::parse(line);
        if (!parsed || !parsed->is_object()) continue;
        const Json& event = *parsed;
        auto type = trimmedString(event, "type");
        if (!type) continue;
        auto when = eventTime(event, "_audit_timestamp");
        if (!when) when = eventTime(event, "timestamp");
        if (!when) when = result.date;
        if (auto state = lifecycleState(event, *type)) {
            result.state = state;
            result.date = when;
        }
    }
    return result;
}

std::expected<std::optional<TaskSnapshot>, ClaudeLocalSessionParseError> ClaudeLocalSessionParser::parseSession(
    std::string_view metadata, std::string_view audit, const std::string& accountID, Date now) {
    auto parsed = json::parse(metadata);
    if (!parsed) return std::unexpected(ClaudeLocalSessionParseError::notJSON);
    const Json& meta = *parsed;
    if (!meta.is_object()) return std::unexpected(ClaudeLocalSessionParseError::invalidMetadata);
    auto sessionID = trimmedString(meta, "sessionId");
    if (!sessionID) return std::unexpected(ClaudeLocalSessionParseError::invalidMetadata);

    auto title = normalizedTitle(trimmedString(meta, "title"));
    Date lastActivity = now;
    if (auto it = meta.find("lastActivityAt"); it != meta.end() && it->is_number()) {
        double v = it->get<double>();
        lastActivity = Date::fromUnix(v > 1e10 ? v / 1000 : v);
    }
    if (isTrue(meta, "isArchived") || isTrue(meta, "isDeleted")) return std::optional<TaskSnapshot>();

    auto [state, auditDate] = auditState(audit);
    if (!state) {
        if (now - lastActivity > quietActivityLimit) return std::optional<TaskSnapshot>();
        state = TaskState::running;
    }
    return std::optional(TaskSnapshot{coworkTaskID(*sessionID),
                        std::nullopt,
                        accountID,
                        AIProvider::claude,
                        "Cowork · " + (title && !title->empty() ? *title : std::string("Cowork task")),
                        *state,
                        auditDate.value_or(lastActivity)});
}

}  // namespace vigilorb::claude
