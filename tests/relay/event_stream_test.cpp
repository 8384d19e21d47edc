#include "relay/event_stream.hpp"

#include <gtest/gtest.h>

using namespace vigilorb::relay;

namespace {

std::vector<StreamEvent> feedInPieces(EventStreamReader& reader, std::string_view bytes, std::size_t piece) {
    std::vector<StreamEvent> out;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        for (auto& e : reader.feed(bytes.substr(at, piece))) out.push_back(std::move(e));
    return out;
}

}  // namespace

// However the bytes arrive, the reader must hand out the same events: a read boundary is an
// accident of the network.
TEST(EventStreamReader, SameEventsForEveryCut) {
    struct Case {
        const char* what;
        std::string stream;
        std::vector<StreamEvent> events;
        bool invalid;
    } cases[] = {
        {"comments, two events, multi-line data",
         ": subscribed\n\nevent: envelope\nid: 7\ndata: {\"a\":1}\n\n: keep-alive\n\ndata: x\ndata: y\n\n",
         {{"envelope", "7", "{\"a\":1}"}, {"message", "", "x\ny"}}, false},
        {"CR LF and lone CR line ends", "event: envelope\r\ndata: a\r\rdata:b\n\n",
         {{"envelope", "", "a"}, {"message", "", "b"}}, false},
        {"an event without its blank line is not complete", "data: a\n", {}, false},
        // The event before the oversized line was complete: it stands, also when the bad line
        // arrives in the same read.
        {"a line over the limit after a complete event", "data: a\n\ndata: " + std::string(64, 'x') + "\n\ndata: b\n\n",
         {{"message", "", "a"}}, true},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{5}}) {
            EventStreamReader reader(32);
            EXPECT_EQ(feedInPieces(reader, c.stream, piece), c.events) << c.what << ", pieces of " << piece;
            EXPECT_EQ(reader.invalid(), c.invalid) << c.what << ", pieces of " << piece;
        }
    }
}
