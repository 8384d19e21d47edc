#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "model/date.hpp"

namespace vigilorb::codex {

// "Codex task · " and the last six user-perceived characters of the thread ID; "Codex task"
// for an empty ID.
std::string defaultTaskTitle(std::string_view threadID);

}  // namespace vigilorb::codex
