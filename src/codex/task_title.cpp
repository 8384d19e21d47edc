#include "codex/task_title.hpp"

#include "model/text.hpp"

namespace vigilorb::codex {

std::string defaultTaskTitle(std::string_view threadID) {
    if (threadID.empty()) return "Codex task";
    auto count = text::graphemeCount(threadID);
    auto skipped = count > 6 ? text::graphemePrefix(threadID, count - 6).size() : 0;
    return "Codex task \u00B7 " + std::string(threadID.substr(skipped));
}

}  // namespace vigilorb::codex
