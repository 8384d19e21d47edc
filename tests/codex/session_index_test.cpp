#include "codex/session_index.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "temp_dir.hpp"

using namespace vigilorb::codex;
using namespace std::string_literals;
using vigilorb::test::TempDir;
using vigilorb::test::writeText;
namespace fs = std::filesystem;

namespace {

std::string line(const std::string& id, const std::string& name, const std::string& updated) {
    return R"({"id":")" + id + R"(","thread_name":")" + name + R"(","updated_at":")" + updated + "\"}\n";
}

TEST(CodexSessionIndex, LatestRenameWinsAndBadLinesAreSkipped) {
    std::string bytes = line("a", "ten", "2026-12-10T10:00:00Z") + line("a", "nine", "2026-12-10T09:00:00.5Z") +
                        line("b", "first", "2026-12-10T09:00:00Z") + line("b", "second", "2026-12-10T09:00:00Z") +
                        line("c", "kept", "2026-12-10T09:00:00Z") + line("c", "   ", "2026-12-10T11:00:00Z") +
                        line("c", "no zone", "2026-12-10T12:00:00") + line("", "empty id", "2026-12-10T12:00:00Z") +
                        line("d", "  spaced \\t  name ", "2026-12-10T06:36:48.735318361Z") + "\n\nnot json\n[1]\n{}\n" +
                        R"({"id":"e","thread_name":5,"updated_at":"2026-12-10T12:00:00Z"})" "\n" +
                        // nlohmann's lexer stops at a NUL as at the end of a C string.
                        R"({"id":"f","thread_name":"after a NUL","updated_at":"2026-12-10T12:00:00Z"})" "\0garbage\n"s +
                        R"({"id":"a","thread_name":"eleven","updated_at":"2026-12-10T11:00:00Z"})" "\0\n"s;
    auto names = CodexSessionIndexNameParser::parse(bytes);
    EXPECT_EQ(names, (SessionIndexNames{{"a", "ten"}, {"b", "second"}, {"c", "kept"}, {"d", "spaced name"}}));
}

TEST(CodexSessionIndex, LongNamesAreCut) {
    auto names = CodexSessionIndexNameParser::parse(line("a", std::string(600, 'n'), "2026-12-10T10:00:00Z"));
    EXPECT_EQ(names.at("a").size(), 500u);
}

TEST(CodexSessionIndex, LoaderReadsOnlyTheLast8MiBAndDropsTheCutLine) {
    TempDir home;
    EXPECT_TRUE(loadSessionIndexNames(home.path()).empty());  // no file

    // The read starts inside a line whose second half is a valid record on its own: that cut
    // line must be dropped, and nothing before it read.
    std::string head = line("early-only", "early", "2026-12-10T10:00:00Z") + "not json up to here ";
    std::string tail = line("cut", "cut", "2026-12-10T10:00:00Z");
    while (tail.size() < sessionIndexReadLimit - 4096) tail += line("fill", "filler name", "2026-12-10T08:00:00Z");
    tail += line("late", "late name", "2026-12-10T10:00:00Z");
    tail += std::string(sessionIndexReadLimit - tail.size() - 1, 'z') + "\n";
    ASSERT_EQ(tail.size(), sessionIndexReadLimit);
    writeText(home / "session_index.jsonl", head + tail);

    auto names = loadSessionIndexNames(home.path());
    EXPECT_FALSE(names.contains("early-only"));
    EXPECT_FALSE(names.contains("cut"));
    EXPECT_EQ(names.at("late"), "late name");
    EXPECT_EQ(names.at("fill"), "filler name");
}

TEST(CodexSessionIndex, CacheRereadsOnlyWhenTheFileChanges) {
    TempDir home;
    SessionIndexCache cache;
    EXPECT_TRUE(cache.load(home.path()).empty());
    writeText(home / "session_index.jsonl", line("a", "one", "2026-12-10T10:00:00Z"));
    EXPECT_EQ(cache.load(home.path()).at("a"), "one");
    auto reads = cache.reads();
    EXPECT_EQ(cache.load(home.path()).at("a"), "one");
    EXPECT_EQ(cache.reads(), reads);

    std::ofstream(home / "session_index.jsonl", std::ios::app) << line("a", "two", "2026-12-10T11:00:00Z");
    EXPECT_EQ(cache.load(home.path()).at("a"), "two");
    EXPECT_EQ(cache.reads(), reads + 1);

    fs::remove(home / "session_index.jsonl");
    EXPECT_TRUE(cache.load(home.path()).empty());
}

}  // namespace
