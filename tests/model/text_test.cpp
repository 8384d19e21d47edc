#include <gtest/gtest.h>

#include <string>

#include "model/text.hpp"

using namespace vigilorb;

// Account IDs, titles, names and relay addresses are all trimmed by this one rule.
TEST(Text, TrimmedRemovesWholeWhitespaceScalarsAtBothEnds) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {" \t\n", ""},
        {"  work  ", "work"},
        {"\u00a0\u2028work\u3000", "work"},         // multi-byte spaces and separators go whole
        {"a b", "a b"},                             // inner space stays
        {"\u00e9t\u00e9 ", "\u00e9t\u00e9"},        // multi-byte letters at the ends stay
        {"\U0001F600\u00a0", "\U0001F600"},          // a four-byte scalar before a trailing space
    };
    for (const auto& c : cases) EXPECT_EQ(text::trimmed(c.in), c.out) << c.in;
}

TEST(Text, TrimmedTextThatIsNotUTF8FollowsTheCallersChoice) {
    const std::string bad = " \xff id \n";
    EXPECT_EQ(text::trimmed(bad), bad);  // kept whole, so an identifier check refuses it
    EXPECT_EQ(text::trimmed(bad, text::NotUTF8::trimASCII), "\xff id");
    EXPECT_EQ(text::trimmed("\xff", text::NotUTF8::trimASCII), "\xff");
}
