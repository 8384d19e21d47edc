#include "claude/claude_statusline_parser.hpp"

#include <algorithm>
#include <cmath>

namespace vigilorb::claude {

namespace {

struct Limit {
    double usedPercentage = 0;
    std::optional<double> resetsAt;
};

struct RateLimits {
    std::optional<Limit> fiveHour;
    std::optional<Limit> sevenDay;
};

struct Payload {
    std::optional<RateLimits> rateLimits;
};

// Absent and null both mean "not given", as for an optional field of a decoder.
const Json* member(const Json& obj, const char* key) { return json::optional(obj, key); }

std::optional<Limit> decodeLimit(const Json& obj, const char* key) {
    const Json* v = member(obj, key);
    if (!v) return std::nullopt;
    json::object(*v, key);
    Limit limit{json::requireNumber(*v, "used_percentage"), json::optionalNumber(*v, "resets_at")};
    // A literal too large for a double parses as infinity; no decoder accepts that as a number.
    if (!std::isfinite(limit.usedPercentage) || (limit.resetsAt && !std::isfinite(*limit.resetsAt)))
        throw DecodingError("Number out of range");
    return limit;
}

Payload decodePayload(std::string_view input) {
    auto parsed = json::parse(input);
    if (!parsed) throw DecodingError(parsed.error().detail);
    const Json& root = *parsed;
    json::object(root, "status line input");
    Payload p;
    if (const Json* limits = member(root, "rate_limits")) {
        json::object(*limits, "rate_limits");
        p.rateLimits = RateLimits{decodeLimit(*limits, "five_hour"), decodeLimit(*limits, "seven_day")};
    }
    return p;
}

QuotaWindow window(QuotaWindowKind kind, const Limit& limit, long long minutes) {
    QuotaWindow w;
    w.kind = kind;
    w.usedPercentage = std::clamp(limit.usedPercentage, 0.0, 100.0);
    if (limit.resetsAt) w.resetsAt = Date::fromUnix(*limit.resetsAt);
    w.durationMinutes = minutes;
    return w;
}

}  // namespace

std::expected<std::optional<AccountQuotaSnapshot>, ProviderMessageParsingError> ClaudeStatusLineParser::parse(
    std::string_view input, const std::string& accountID, Date capturedAt) {
    auto decoded = json::decoded([&] { return decodePayload(input); });
    if (!decoded) return std::unexpected(ProviderMessageParsingError::invalidJSON);
    const Payload& payload = *decoded;
    if (!payload.rateLimits) return std::nullopt;
    std::vector<QuotaWindow> windows;
    if (payload.rateLimits->fiveHour) windows.push_back(window(QuotaWindowKind::fiveHour, *payload.rateLimits->fiveHour, 300));
    if (payload.rateLimits->sevenDay) windows.push_back(window(QuotaWindowKind::sevenDay, *payload.rateLimits->sevenDay, 10080));
    if (windows.empty()) return std::nullopt;
    AccountQuotaSnapshot q;
    q.accountID = accountID;
    q.provider = AIProvider::claude;
    q.windows = std::move(windows);
    q.capturedAt = capturedAt;
    return q;
}

}  // namespace vigilorb::claude
