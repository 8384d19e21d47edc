// Claude Desktop's plan-usage-history.json, as the usage observer reads it.
#include "claude/claude_desktop_usage.hpp"
#include "store_round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto quota = claude::ClaudeDesktopUsageHistoryParser::parse(fuzz::text(data, size), fuzz::accountID);
    if (quota && *quota) {
        fuzz::requireStoredEqual({NormalizedProviderEvent::quota(**quota)});
        claude::usageStatusText(**quota);
    }
    return 0;
}
