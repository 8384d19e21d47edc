// One Claude Cowork session of Claude Desktop's library: its metadata JSON, a NUL byte, then
// the tail of its audit log, as the Cowork scan reads them.
#include "claude/claude_desktop_session_parser.hpp"
#include "store_round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using claude::ClaudeLocalSessionParser;
    auto [metadata, audit] = fuzz::splitAt(fuzz::text(data, size), '\0');
    auto task = ClaudeLocalSessionParser::parseSession(metadata, audit, fuzz::accountID, fuzz::now);
    if (task && *task) fuzz::requireStoredEqual({NormalizedProviderEvent::task(**task)});
    ClaudeLocalSessionParser::auditState(audit);
    parseInternetDateTime(metadata, DateTimeForm::wholeSeconds);
    parseInternetDateTime(metadata);
    return 0;
}
