// One JSON message of the Codex app-server (rate limits, account), as the quota client reads it.
#include "codex/message_parser.hpp"
#include "store_round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto events = codex::parseMessage(fuzz::text(data, size), fuzz::accountID, fuzz::now);
    if (events) fuzz::requireStoredEqual(*events);
    return 0;
}
