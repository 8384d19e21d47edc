#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "model/events.hpp"
#include "model/records.hpp"

namespace vigilorb::claude {

// Reads the plan's rate limits out of the JSON that Claude Code hands its status-line command
// on every refresh. Everything else in that document is ignored.
class ClaudeStatusLineParser {
public:
    // Nothing when the input holds no five-hour or seven-day window; invalidJSON when the bytes
    // are not JSON or a window is malformed (no "used_percentage", a value of the wrong type).
    [[nodiscard]] static std::expected<std::optional<AccountQuotaSnapshot>, ProviderMessageParsingError> parse(
        std::string_view input, const std::string& accountID, Date capturedAt);
};

}  // namespace vigilorb::claude
