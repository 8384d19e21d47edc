// Codex's session_index.jsonl (thread renames), as the local task observer reads its tail.
#include "codex/session_index.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    auto names = codex::CodexSessionIndexNameParser::parse(fuzz::text(data, size));
    for (const auto& [thread, name] : names) fuzz::require(!thread.empty(), "no name for an empty thread ID");
    return 0;
}
