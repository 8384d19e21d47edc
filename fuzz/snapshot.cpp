// snapshot-v1.json as the store loads it at start and before every change, then the merge
// rules the store runs on what it loaded.
#include "fuzz_support.hpp"
#include "store/snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto snapshot = store::decodeSnapshot(fuzz::text(data, size));
    if (!snapshot) return 0;
    auto again = store::decodeSnapshot(store::encodeSnapshot(*snapshot));
    fuzz::require(again && *again == *snapshot, "a snapshot reads back equal");
    // What loading does with a file written before the current rules.
    snapshot->migrate();
    snapshot->clampFutureTimes(fuzz::now);
    snapshot->prune(fuzz::now);
    auto pruned = store::decodeSnapshot(store::encodeSnapshot(*snapshot));
    fuzz::require(pruned && *pruned == *snapshot, "a pruned snapshot reads back equal");
    return 0;
}
