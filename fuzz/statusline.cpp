// Claude Code's status-line JSON, as the status-line mode reads it on every refresh.
#include "claude/claude_statusline_parser.hpp"
#include "inbox_round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto parsed = claude::ClaudeStatusLineParser::parse(fuzz::text(data, size), fuzz::accountID, fuzz::now);
    if (parsed && *parsed) fuzz::requireInboxRoundTrip({NormalizedProviderEvent::quota(**parsed)});
    return 0;
}
