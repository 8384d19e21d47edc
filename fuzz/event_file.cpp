// An inbox file as the app's drain reads it (anyone who can write the profile folder can put
// one there), and the single envelope inside it.
#include "cli/claude_inbox.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto bytes = fuzz::text(data, size);
    if (auto envelopes = cli::decodeEventFile(bytes)) {
        fuzz::require(!envelopes->empty() && envelopes->size() <= cli::maxEventsPerFile, "event count within bounds");
        auto again = cli::decodeEventFile(cli::encodeEventFile(*envelopes));
        fuzz::require(again && *again == *envelopes, "an event file reads back equal");
    }
    if (auto envelope = decodeEnvelope(bytes)) {
        auto again = decodeEnvelope(encodeEnvelope(*envelope));
        fuzz::require(again && *again == *envelope, "an envelope reads back equal");
    }
    return 0;
}
