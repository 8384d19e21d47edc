// Lines of a Codex rollout file, as the local task observer reads what was appended since its
// last pass: the lifecycle it derives must not depend on where the reads cut the file.
#include "codex/rollout_scanner.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::codex;
    auto bytes = fuzz::text(data, size);
    CodexRolloutLifecycleCursor whole;
    feedRolloutBytes(whole, bytes, fuzz::now);
    CodexRolloutLifecycleCursor pieces;
    for (auto chunk : fuzz::chunks(bytes)) {
        feedRolloutBytes(pieces, chunk, fuzz::now);
        fuzz::require(pieces.bufferedLine.size() <= rolloutMaxLine, "a held partial line within its bound");
    }
    fuzz::require(pieces == whole, "the rollout state does not depend on how the file is cut");
    fuzz::require(makeActivity("thread", fuzz::now, pieces) == makeActivity("thread", fuzz::now, whole),
                  "the activity does not depend on how the file is cut");
    return 0;
}
