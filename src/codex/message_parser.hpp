#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "model/events.hpp"

namespace vigilorb::codex {

// Turns one JSON message of the Codex app-server (a line of its output, or a rate-limit payload
// wrapped as {"result": …}) into events for one account. Fails with invalidJSON or invalidShape
// (not an object); any other mismatch gives no events.
using ParsedMessage = std::expected<std::vector<NormalizedProviderEvent>, ProviderMessageParsingError>;
[[nodiscard]] ParsedMessage parseMessage(std::string_view data, const std::string& accountID, Date now);

// Same, for an already parsed value.
[[nodiscard]] ParsedMessage parseMessage(const Json& message, const std::string& accountID, Date now);

}  // namespace vigilorb::codex
