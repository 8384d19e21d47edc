#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "model/events.hpp"

namespace vigilorb::codex {

// Turns one JSON message of the Codex app-server (a line of its output, or a rate-limit payload
// wrapped as {"result": …}) into events for one account. Throws
// Failure<ProviderMessageParsingError> (invalidJSON, invalidShape); any other mismatch gives no
// events.
std::vector<NormalizedProviderEvent> parseMessage(std::string_view data, const std::string& accountID, Date now);

// Same, for an already parsed value.
std::vector<NormalizedProviderEvent> parseMessage(const Json& message, const std::string& accountID, Date now);

}  // namespace vigilorb::codex
