#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorb::text {

// Whether bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view s);

// Number of user-perceived characters (extended grapheme clusters). Invalid UTF-8 counts
// each undecodable byte as one character.
std::size_t graphemeCount(std::string_view s);

// The first `limit` user-perceived characters of s, and no more of them than fit in
// `maxBytes`. When not even the first character fits, as many of its code points as fit (an
// undecodable byte counts as one).
std::string graphemePrefix(std::string_view s, std::size_t limit, std::size_t maxBytes = std::string_view::npos);

// Unicode White_Space plus the line separators (what "whitespace and newlines" means in titles).
bool isWhitespaceOrNewline(char32_t c);

// What trimming does with text that is not UTF-8: keep it as it is (an identifier that cannot
// be valid anyway is then refused whole), or trim ASCII whitespace and leave the rest.
enum class NotUTF8 { keepAsIs, trimASCII };

// s without whitespace and newlines (isWhitespaceOrNewline, whole scalars, so U+00A0 and
// U+2028 go too) at either end.
std::string trimmed(std::string_view s, NotUTF8 notUTF8 = NotUTF8::keepAsIs);

// Letters, marks or digits (general categories L*, M*, N*).
bool isAlphanumeric(char32_t c);

// Calls f(codepoint) for each scalar; returns false on invalid UTF-8.
template <class F>
bool forEachScalar(std::string_view s, F&& f);

}  // namespace vigilorb::text

#include <utf8proc.h>

template <class F>
bool vigilorb::text::forEachScalar(std::string_view s, F&& f) {
    auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(s.size());
    while (left > 0) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(p, left, &cp);
        if (n <= 0) return false;
        f(static_cast<char32_t>(cp));
        p += n;
        left -= n;
    }
    return true;
}
