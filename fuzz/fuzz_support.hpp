#pragma once
// Shared by the fuzz targets: the input as text, a chunking of it that the input itself
// decides, and a property check that stops the run with a message libFuzzer keeps next to the
// input that broke it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/date.hpp"

namespace vigilorb::fuzz {

// The clock every target uses, so that an input means the same thing on every run
// (2026-05-08, in seconds since 2001).
inline constexpr Date now = Date::fromReference(800'000'000);
inline const std::string accountID = "fuzz-account";

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fail(const char* property) {
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::abort();
}

inline void require(bool holds, const char* property) {
    if (!holds) fail(property);
}

// The value of a result that must have succeeded (what decoded must encode again, say).
template <class T, class E>
T must(std::expected<T, E> result, const char* property) {
    if (!result) fail(property);
    return std::move(*result);
}

// Pieces of 1 to 64 bytes (now and then up to 4 KiB), their lengths drawn from a generator
// seeded with a hash of the whole input: the same input is always cut the same way, and a
// mutated input is cut differently, so stream readers see many boundaries.
inline std::vector<std::string_view> chunks(std::string_view bytes) {
    std::uint64_t state = 1469598103934665603ull;
    for (unsigned char c : bytes) state = (state ^ c) * 1099511628211ull;
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::size_t length = (state % 16 == 0) ? 1 + (state >> 8) % 4096 : 1 + (state >> 8) % 64;
        if (length > bytes.size() - at) length = bytes.size() - at;
        out.push_back(bytes.substr(at, length));
        at += length;
    }
    return out;
}

// The text before and after the first `separator` (all of it and nothing without one).
inline std::pair<std::string_view, std::string_view> splitAt(std::string_view bytes, char separator) {
    auto at = bytes.find(separator);
    if (at == std::string_view::npos) return {bytes, {}};
    return {bytes.substr(0, at), bytes.substr(at + 1)};
}

}  // namespace vigilorb::fuzz
