#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"

namespace vigilorb::codex {

// "Codex task · " and the last six user-perceived characters of the thread ID; "Codex task"
// for an empty ID.
std::string defaultTaskTitle(std::string_view threadID);

// RFC 3339 internet date-time as Codex writes it: "2026-12-10T06:28:05.215Z", with or without a
// fraction of any length, a "Z" or a numeric offset. Anything else (a space for the "T", no zone)
// gives nullopt.
std::optional<Date> parseInternetDateTime(std::string_view text);

}  // namespace vigilorb::codex
