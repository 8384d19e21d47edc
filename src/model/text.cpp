#include "model/text.hpp"

#include <utf8proc.h>

namespace vigilorb::text {

namespace {

// Walks grapheme cluster boundaries; calls onCluster(byteOffsetOfClusterStart) for each cluster.
template <class F>
void walkClusters(std::string_view s, F&& onCluster) {
    auto* base = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
    utf8proc_ssize_t size = static_cast<utf8proc_ssize_t>(s.size());
    utf8proc_ssize_t pos = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    while (pos < size) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(base + pos, size - pos, &cp);
        if (n <= 0) {
            // An undecodable byte stands alone as one character.
            if (!onCluster(static_cast<std::size_t>(pos))) return;
            previous = -1;
            state = 0;
            pos += 1;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
            if (!onCluster(static_cast<std::size_t>(pos))) return;
        }
        previous = cp;
        pos += n;
    }
}

}  // namespace

bool isValidUTF8(std::string_view s) {
    return forEachScalar(s, [](char32_t) {});
}

std::size_t graphemeCount(std::string_view s) {
    std::size_t count = 0;
    walkClusters(s, [&](std::size_t) {
        ++count;
        return true;
    });
    return count;
}

std::string graphemePrefix(std::string_view s, std::size_t limit, std::size_t maxBytes) {
    if (limit == 0) return {};
    // A cut can fall at the start of any character after the first, or at the end of s.
    std::size_t count = 0;
    std::size_t end = 0;
    bool stopped = false;
    walkClusters(s, [&](std::size_t offset) {
        if (offset == 0) return true;
        if (offset > maxBytes) {
            stopped = true;
            return false;
        }
        end = offset;
        if (++count == limit) {
            stopped = true;
            return false;
        }
        return true;
    });
    if (!stopped && s.size() <= maxBytes) end = s.size();
    if (end > 0 || s.empty()) return std::string(s.substr(0, end));
    // One character longer than the bound: keep the code points of it that fit.
    std::size_t pos = 0;
    while (pos < s.size()) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                                  static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
        std::size_t step = n <= 0 ? 1 : static_cast<std::size_t>(n);
        if (pos + step > maxBytes) break;
        pos += step;
    }
    return std::string(s.substr(0, pos));
}

bool isWhitespaceOrNewline(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85:
            return true;
        default:
            break;
    }
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return cat == UTF8PROC_CATEGORY_ZS || cat == UTF8PROC_CATEGORY_ZL || cat == UTF8PROC_CATEGORY_ZP;
}

bool isAlphanumeric(char32_t c) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_LU: case UTF8PROC_CATEGORY_LL: case UTF8PROC_CATEGORY_LT:
        case UTF8PROC_CATEGORY_LM: case UTF8PROC_CATEGORY_LO:
        case UTF8PROC_CATEGORY_MN: case UTF8PROC_CATEGORY_MC: case UTF8PROC_CATEGORY_ME:
        case UTF8PROC_CATEGORY_ND: case UTF8PROC_CATEGORY_NL: case UTF8PROC_CATEGORY_NO:
            return true;
        default:
            return false;
    }
}

std::string trimmed(std::string_view s, NotUTF8 notUTF8) {
    // Byte range from the first to past the last scalar that is not whitespace.
    std::size_t begin = s.size(), end = 0, offset = 0;
    bool decodable = forEachScalar(s, [&](char32_t c) {
        std::size_t width = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (!isWhitespaceOrNewline(c)) {
            if (begin == s.size()) begin = offset;
            end = offset + width;
        }
        offset += width;
    });
    if (!decodable) {
        if (notUTF8 == NotUTF8::keepAsIs) return std::string(s);
        auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        std::size_t b = 0, e = s.size();
        while (b < e && space(s[b])) ++b;
        while (e > b && space(s[e - 1])) --e;
        return std::string(s.substr(b, e - b));
    }
    if (begin >= end) return {};
    return std::string(s.substr(begin, end - begin));
}

}  // namespace vigilorb::text
