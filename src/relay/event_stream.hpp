#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorb::relay {

// One Server-Sent Event (comments and keep-alives are not events).
struct StreamEvent {
    std::string type = "message";
    std::string id;
    std::string data;

    bool operator==(const StreamEvent&) const = default;
};

// Splits a text/event-stream into events as bytes arrive, in any pieces. Sans-I/O. A line
// longer than `lineLimit` makes the stream invalid (a relay cannot send an envelope that big).
class EventStreamReader {
public:
    explicit EventStreamReader(std::size_t lineLimit = 4 * 1024 * 1024) : lineLimit_(lineLimit) {}

    // The events completed by these bytes, up to a line over the limit; nothing once the
    // stream is invalid.
    std::vector<StreamEvent> feed(std::string_view bytes);
    bool invalid() const { return invalid_; }

private:
    void line(std::string_view text, std::vector<StreamEvent>& out);
    std::size_t lineLimit_;
    std::string partial_;
    bool skipLineFeed_ = false;
    bool invalid_ = false;
    StreamEvent current_;
    bool hasData_ = false;
};

}  // namespace vigilorb::relay
