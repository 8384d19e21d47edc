#include "link/frame_codec.hpp"

namespace vigilorb::link {

std::string encodeFrame(std::string_view payload) {
    auto n = static_cast<std::uint32_t>(payload.size());
    std::string out;
    out.reserve(frameHeaderSize + payload.size());
    out.push_back(static_cast<char>((n >> 24) & 0xff));
    out.push_back(static_cast<char>((n >> 16) & 0xff));
    out.push_back(static_cast<char>((n >> 8) & 0xff));
    out.push_back(static_cast<char>(n & 0xff));
    out.append(payload);
    return out;
}

std::expected<void, FrameError> FrameDecoder::feed(std::string_view bytes) {
    auto taken = consume(bytes, false);
    if (!taken) return std::unexpected(taken.error());
    return {};
}

std::expected<std::size_t, FrameError> FrameDecoder::feedUntilFrame(std::string_view bytes) {
    return consume(bytes, true);
}

std::expected<std::size_t, FrameError> FrameDecoder::consume(std::string_view bytes, bool stopAfterFrame) {
    if (failed_) return std::unexpected(FrameError::frameTooLarge);
    const std::size_t offered = bytes.size();
    while (!bytes.empty()) {
        if (!length_) {
            auto take = std::min(frameHeaderSize - header_.size(), bytes.size());
            header_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (header_.size() < frameHeaderSize) break;
            std::uint32_t n = 0;
            for (char c : header_) n = (n << 8) | static_cast<unsigned char>(c);
            header_.clear();
            // Refused on the header alone: none of an oversized payload is ever stored.
            if (n > maxFrame_) {
                failed_ = true;
                current_.clear();
                return std::unexpected(FrameError::frameTooLarge);
            }
            length_ = n;
        }
        auto take = std::min(static_cast<std::size_t>(*length_) - current_.size(), bytes.size());
        current_.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (current_.size() == *length_) {
            complete_.push_back(std::move(current_));
            current_.clear();
            length_.reset();
            if (stopAfterFrame) break;
        }
    }
    return offered - bytes.size();
}

std::optional<std::string> FrameDecoder::next() {
    if (complete_.empty()) return std::nullopt;
    std::string frame = std::move(complete_.front());
    complete_.pop_front();
    return frame;
}

}  // namespace vigilorb::link
