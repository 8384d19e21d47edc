// The link's frame codec, fed a peer's bytes in pieces: the first input byte sets the frame
// limit (up to 4 KiB), the rest is the stream. However the stream is cut, the same frames come
// out, the decoder holds no more than one header and one frame, and the frames re-encode to
// the bytes they came from.
#include "link/frame_codec.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vigilorb;
    using namespace vigilorb::link;
    if (size == 0) return 0;
    std::size_t limit = std::size_t{data[0]} * 16;
    auto stream = fuzz::text(data + 1, size - 1);

    FrameDecoder whole(limit);
    bool wholeOK = whole.feed(stream).has_value();
    std::vector<std::string> frames;
    while (auto f = whole.next()) frames.push_back(*f);

    FrameDecoder pieces(limit);
    std::vector<std::string> pieceFrames;
    bool piecesOK = true;
    for (auto chunk : fuzz::chunks(stream)) {
        piecesOK = pieces.feed(chunk).has_value() && piecesOK;
        fuzz::require(pieces.pendingBytes() <= frameHeaderSize + limit, "held bytes within one header and one frame");
        while (auto f = pieces.next()) pieceFrames.push_back(*f);
    }
    fuzz::require(piecesOK == wholeOK && pieces.failed() == whole.failed(), "the same verdict however the stream is cut");
    fuzz::require(pieceFrames == frames, "the same frames however the stream is cut");

    std::string encoded;
    for (const auto& f : frames) {
        fuzz::require(f.size() <= limit, "no frame above the limit");
        encoded += encodeFrame(f);
    }
    fuzz::require(stream.substr(0, encoded.size()) == encoded, "frames re-encode to the bytes they came from");

    // A peer whose later bytes must not be judged: it stops at the first frame.
    FrameDecoder first(limit);
    for (auto chunk : fuzz::chunks(stream)) {
        auto taken = first.feedUntilFrame(chunk);
        if (!taken) break;
        fuzz::require(*taken <= chunk.size(), "no more taken than given");
        if (auto f = first.next()) {
            fuzz::require(!frames.empty() && *f == frames.front(), "the first frame is the first frame");
            break;
        }
    }
    return 0;
}
