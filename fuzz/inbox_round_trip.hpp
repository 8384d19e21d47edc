#pragma once
// What the command-line modes make of Claude Code's input is written to the inbox and read back
// by the app: whatever a parser accepts must survive that trip unchanged, or the event is lost
// (an encoding failure) or altered on the way.
#include <string>
#include <vector>

#include "cli/claude_inbox.hpp"
#include "fuzz_support.hpp"
#include "store_round_trip.hpp"

namespace vigilorb::fuzz {

inline void requireInboxRoundTrip(const std::vector<NormalizedProviderEvent>& events) {
    if (events.empty()) return;
    std::vector<ProviderEventEnvelope> envelopes;
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::string id = "00000000-0000-4000-8000-00000000000" + std::to_string(i % 10);
        envelopes.push_back(ProviderEventEnvelope{id, now, events[i]});
    }
    auto decoded = cli::decodeEventFile(cli::encodeEventFile(envelopes));
    require(decoded.has_value(), "an accepted event file decodes");
    require(*decoded == envelopes, "an event file reads back equal");
    requireStoredEqual(events);
}

}  // namespace vigilorb::fuzz
