#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorb::link {

// Frames on the link: a 4-byte big-endian length, then that many bytes.
inline constexpr std::size_t frameHeaderSize = 4;

enum class FrameError {
    frameTooLarge,  // the announced length is above the decoder's limit
};

// Header and payload in one string, ready to write.
std::string encodeFrame(std::string_view payload);

// Reassembles frames from chunks of any size. It holds at most one header plus `maxFrame` bytes:
// a length above the limit is refused as soon as its header is complete, before any of its
// payload is kept, so a peer cannot make it buffer more than that.
class FrameDecoder {
public:
    explicit FrameDecoder(std::size_t maxFrame) : maxFrame_(maxFrame) {}

    // Adds bytes; the frames they complete are taken with next(). After an error the decoder
    // stays failed and ignores further input.
    std::expected<void, FrameError> feed(std::string_view bytes);
    // Like feed(), but stops as soon as one frame is complete and returns how many bytes it
    // took: for a peer whose later bytes must not be judged at all.
    std::expected<std::size_t, FrameError> feedUntilFrame(std::string_view bytes);
    // The oldest complete frame not yet taken, if any.
    std::optional<std::string> next();

    bool failed() const { return failed_; }
    // Bytes held that do not yet form a complete frame.
    std::size_t pendingBytes() const { return (length_ ? frameHeaderSize : header_.size()) + current_.size(); }

private:
    std::size_t maxFrame_;
    std::string header_;
    std::optional<std::uint32_t> length_;
    std::string current_;
    std::deque<std::string> complete_;
    bool failed_ = false;

    std::expected<std::size_t, FrameError> consume(std::string_view bytes, bool stopAfterFrame);
};

}  // namespace vigilorb::link
