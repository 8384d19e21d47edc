// Claude Code's hook JSON, as the hook mode reads it for every registered hook event.
#include "claude/claude_hook_parser.hpp"
#include "inbox_round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto parsed = claude::ClaudeHookParser::parse(fuzz::text(data, size), fuzz::accountID, fuzz::now);
    if (parsed) {
        fuzz::require(parsed->size() < cli::maxEventsPerFile, "a hook run fits one inbox file");
        fuzz::requireInboxRoundTrip(*parsed);
    }
    return 0;
}
