#pragma once
// Whatever an observer hands the store must be storable: applied to a snapshot, the snapshot
// must encode and read back equal, or the next load would refuse the file or see other data.
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::fuzz {

inline void requireStoredEqual(const std::vector<NormalizedProviderEvent>& events) {
    if (events.empty()) return;
    store::CompanionSnapshot snapshot;
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::string id = "00000000-0000-4000-8000-" + std::string(12 - std::to_string(i).size(), '0') + std::to_string(i);
        snapshot.applyEvent(ProviderEventEnvelope{id, now, events[i]}, now);
    }
    auto again = store::decodeSnapshot(store::encodeSnapshot(snapshot));
    require(again.has_value(), "a snapshot holding accepted events decodes");
    require(*again == snapshot, "a snapshot holding accepted events reads back equal");
}

}  // namespace vigilorb::fuzz
