// The relay's event stream as the phone (vigilorb-peer fetch --watch) reads it, in pieces of
// any size: the same events however the stream is cut.
#include "relay/event_stream.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::relay;
    auto bytes = fuzz::text(data, size);
    // A small line limit, so that inputs of fuzzing size reach it.
    constexpr std::size_t lineLimit = 1024;
    EventStreamReader whole(lineLimit);
    auto events = whole.feed(bytes);
    EventStreamReader pieces(lineLimit);
    std::vector<StreamEvent> pieceEvents;
    for (auto chunk : fuzz::chunks(bytes))
        for (auto& e : pieces.feed(chunk)) pieceEvents.push_back(std::move(e));
    fuzz::require(pieces.invalid() == whole.invalid(), "the same verdict however the stream is cut");
    fuzz::require(pieceEvents == events, "the same events however the stream is cut");
    return 0;
}
