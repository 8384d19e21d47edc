#include "relay/event_stream.hpp"

namespace vigilorb::relay {

std::vector<StreamEvent> EventStreamReader::feed(std::string_view bytes) {
    std::vector<StreamEvent> out;
    if (invalid_) return out;
    for (char c : bytes) {
        if (skipLineFeed_) {
            skipLineFeed_ = false;
            if (c == '\n') continue;
        }
        if (c == '\r' || c == '\n') {
            skipLineFeed_ = c == '\r';
            line(partial_, out);
            partial_.clear();
            continue;
        }
        if (partial_.size() >= lineLimit_) {
            // Events completed before the bad line stand: whether they arrived in this read
            // or an earlier one must not decide whether the reader sees them.
            invalid_ = true;
            partial_.clear();
            return out;
        }
        partial_ += c;
    }
    return out;
}

void EventStreamReader::line(std::string_view text, std::vector<StreamEvent>& out) {
    if (text.empty()) {
        if (hasData_) out.push_back(current_);
        current_ = StreamEvent{};
        hasData_ = false;
        return;
    }
    if (text.front() == ':') return;
    auto colon = text.find(':');
    auto field = text.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    if (field == "event") {
        current_.type = std::string(value);
    } else if (field == "id") {
        current_.id = std::string(value);
    } else if (field == "data") {
        if (hasData_) current_.data += '\n';
        current_.data += value;
        hasData_ = true;
    }
}

}  // namespace vigilorb::relay
