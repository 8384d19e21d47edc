// Frames reassembled from whatever chunks TCP and TLS happen to deliver.
#include <gtest/gtest.h>

#include "link/frame_codec.hpp"

using namespace vigilorb::link;

namespace {

std::vector<std::string> feedInChunks(FrameDecoder& decoder, const std::string& stream, std::size_t chunk) {
    std::vector<std::string> frames;
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
        EXPECT_TRUE(decoder.feed(std::string_view(stream).substr(i, chunk)));
        while (auto f = decoder.next()) frames.push_back(*f);
    }
    return frames;
}

}  // namespace

TEST(FrameCodec, HeaderIsBigEndianLength) {
    EXPECT_EQ(encodeFrame(""), std::string("\0\0\0\0", 4));
    EXPECT_EQ(encodeFrame("ab"), std::string("\0\0\0\2ab", 6));
    EXPECT_EQ(encodeFrame(std::string(0x010203, 'x')).substr(0, 4), std::string("\0\1\2\3", 4));
}

TEST(FrameCodec, SameFramesWhateverTheChunking) {
    const std::vector<std::string> sent{"hello", "", std::string(300, 'z'), "\0\xff bytes", "last"};
    std::string stream;
    for (const auto& f : sent) stream += encodeFrame(f);
    // One byte at a time splits every header; 3 and 7 straddle headers and payloads; the whole
    // stream at once joins all frames in one chunk.
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{64}, stream.size()}) {
        FrameDecoder decoder(1024);
        EXPECT_EQ(feedInChunks(decoder, stream, chunk), sent) << "chunk " << chunk;
        EXPECT_EQ(decoder.pendingBytes(), 0u);
    }
}

TEST(FrameCodec, IncompleteFrameIsHeldNotReturned) {
    FrameDecoder decoder(1024);
    auto frame = encodeFrame("partial");
    ASSERT_TRUE(decoder.feed(std::string_view(frame).substr(0, 6)));
    EXPECT_FALSE(decoder.next());
    EXPECT_EQ(decoder.pendingBytes(), 6u);
    ASSERT_TRUE(decoder.feed(std::string_view(frame).substr(6)));
    EXPECT_EQ(decoder.next(), "partial");
}

TEST(FrameCodec, LengthAtTheLimitPassesOneAboveIsRefusedOnItsHeader) {
    FrameDecoder atLimit(16);
    ASSERT_TRUE(atLimit.feed(encodeFrame(std::string(16, 'a'))));
    EXPECT_EQ(atLimit.next(), std::string(16, 'a'));

    FrameDecoder above(16);
    // Only the header: refused before any payload arrives, and nothing of it is kept.
    auto result = above.feed(encodeFrame(std::string(17, 'a')).substr(0, 4));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), FrameError::frameTooLarge);
    EXPECT_TRUE(above.failed());
    EXPECT_EQ(above.pendingBytes(), 0u);
    // A failed decoder stays failed: the stream can no longer be trusted to be in step.
    EXPECT_FALSE(above.feed(encodeFrame("ok")));
    EXPECT_FALSE(above.next());
}

TEST(FrameCodec, OversizedFrameBehindAGoodOneInTheSameChunk) {
    FrameDecoder decoder(8);
    auto result = decoder.feed(encodeFrame("fine") + std::string("\xff\xff\xff\xff", 4));
    EXPECT_FALSE(result);
    // The good frame was complete before the bad header; the caller still may take it.
    EXPECT_EQ(decoder.next(), "fine");
}
