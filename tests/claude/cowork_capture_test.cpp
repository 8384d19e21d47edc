#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "claude/claude_desktop_session_parser.hpp"
#include "claude/cowork_capture.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::claude;
using namespace vigilorb::claude::cowork;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromUnix(1'765'000'000);

struct Library : ::testing::Test {
    test::TempDir home;
    fs::path root = home / ".config/Claude/local-agent-mode-sessions";
    fs::path folder = root / "org-1" / "workspace-2";
    int tick = 0;

    void SetUp() override { fs::create_directories(folder); }

    // Every write gets its own, distinct modification time so the cache key is deterministic.
    void stamp(const fs::path& p) {
        fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(1) + std::chrono::seconds(++tick));
    }

    fs::path session(const std::string& name, const std::string& metadata, std::optional<std::string> audit = {},
                     const fs::path& where = {}) {
        fs::path dir = where.empty() ? folder : where;
        fs::create_directories(dir);
        auto meta = dir / (name + ".json");
        test::writeText(meta, metadata);
        stamp(meta);
        if (audit) writeAudit(meta, *audit);
        return meta;
    }

    void writeAudit(const fs::path& meta, const std::string& audit) {
        auto log = auditLogPath(meta);
        fs::create_directories(log.parent_path());
        test::writeText(log, audit);
        stamp(log);
    }

    static std::string meta(const std::string& id, const std::string& extra = "") {
        return R"({"sessionId":")" + id + R"(","lastActivityAt":1764999990)" + extra + "}";
    }

    Capture capture(const ObservationCache& previous = {}) { return captureSessions(root, "work", previous, now); }
};

std::set<std::string> ids(std::initializer_list<const char*> sessions) {
    std::set<std::string> out;
    for (auto s : sessions) out.insert(coworkTaskID(s));
    return out;
}

}  // namespace

TEST_F(Library, FindsMetadataFilesByTheLayoutRules) {
    session("local_a", meta("a"));
    session("local_deep", meta("deep"), std::nullopt, root / "x" / "y" / "z");
    session("local_top", meta("top"), std::nullopt, root);
    session("local_archived", meta("archived", R"(,"isArchived":true)"));
    session("local_deleted", meta("deleted", R"(,"isDeleted":true)"));
    // Inside a session's content folder, hidden places and other names: not sessions.
    session("local_inner", meta("inner"), std::nullopt, folder / "local_a");
    session("local_hidden", meta("hidden"), std::nullopt, root / ".cache");
    session(".local_dot", meta("dot"));
    session("session_b", meta("b"));
    test::writeText(folder / "local_c.jsonl", meta("c"));
    // A link loop and a link to a session file are not followed.
    fs::create_directory_symlink(root, folder / "loop");
    fs::create_symlink(folder / "local_a.json", folder / "local_link.json");

    auto result = capture();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->indexedIDs, ids({"a", "deep", "top"}));
    EXPECT_EQ(result->metadataCount, 5u) << "archived and deleted sessions are counted";
    EXPECT_EQ(result->tasks.size(), 3u);
    EXPECT_EQ(result->cache.sessions.size(), 3u);
}

TEST_F(Library, MissingAndUnreadableLibraries) {
    EXPECT_EQ(captureSessions(std::nullopt, "work", {}, now).error(), ObserverError::sessionStoreMissing);
    fs::remove_all(root);
    EXPECT_EQ(capture().error(), ObserverError::sessionStoreMissing);
    test::writeText(root, "a file where the library should be");
    EXPECT_EQ(capture().error(), ObserverError::sessionStoreMissing);
    fs::remove(root);
    fs::create_directories(folder);
    auto empty = capture();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->metadataCount, 0u);

    session("local_ok", meta("ok"));
    auto damaged = session("local_bad", meta("bad"));
    // The last: nlohmann's lexer stops at a NUL as at the end of a C string.
    for (const std::string& bytes :
         {"{\"sessionId\":\"bad\""s, "[]"s, "{\"sessionId\":5}"s, "{}"s, ""s, meta("bad") + "\0garbage"s}) {
        test::writeText(damaged, bytes);
        auto result = capture();
        ASSERT_FALSE(result) << bytes;
        EXPECT_EQ(result.error(), ObserverError::sessionStoreUnreadable) << bytes;
    }
    // Far too large to be metadata: refused without being loaded.
    test::writeText(damaged, meta("bad"));
    fs::resize_file(damaged, 2ull * 1024 * 1024 * 1024);
    EXPECT_EQ(capture().error(), ObserverError::sessionStoreUnreadable);
    fs::remove(damaged);
    ASSERT_EQ(::mkfifo(damaged.c_str(), 0600), 0);
    EXPECT_TRUE(capture()) << "a FIFO is not a regular file, so it is not a session";
}

TEST_F(Library, MetadataDeletedBetweenListingAndReadingFailsThePass) {
    session("local_a", meta("a"));
    auto gone = session("local_b", meta("b"));
    auto files = listSessionFiles(root);
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 2u);
    EXPECT_EQ(files->front().path, gone) << "newest first";
    fs::remove(gone);
    EXPECT_EQ(evaluateSessions(*files, "work", {}, now).error(), ObserverError::sessionStoreUnreadable);
    EXPECT_TRUE(capture()) << "the next pass no longer lists it";
}

TEST_F(Library, UnchangedSessionsComeFromTheCache) {
    auto a = session("local_a", meta("a", R"(,"title":"first")"),
                     R"({"type":"command_lifecycle","state":"started","timestamp":"2025-12-06T05:46:00Z"})"
                     "\n");
    session("local_b", meta("b"));
    auto first = capture();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->parsedCount, 2u);

    auto again = capture(first->cache);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->parsedCount, 0u);
    EXPECT_EQ(again->metadataReadCount, 0u) << "unchanged metadata is not read again";
    EXPECT_EQ(again->tasks, first->tasks);
    EXPECT_EQ(again->cache, first->cache);

    // A cached task is not re-evaluated, even when the clock alone would change its verdict.
    auto later = captureSessions(root, "work", first->cache, now + 3600);
    EXPECT_EQ(later->tasks.size(), 2u);

    // A new audit line forces a re-parse of that session only.
    std::ofstream(auditLogPath(a), std::ios::app) << R"({"type":"result","timestamp":"2025-12-06T05:47:00Z"})" << "\n";
    stamp(auditLogPath(a));
    auto touched = capture(again->cache);
    EXPECT_EQ(touched->parsedCount, 1u);
    EXPECT_EQ(touched->metadataReadCount, 1u);
    auto task = std::find_if(touched->tasks.begin(), touched->tasks.end(),
                             [](const TaskSnapshot& t) { return t.title == "Cowork · first"; });
    ASSERT_NE(task, touched->tasks.end());
    EXPECT_EQ(task->state, TaskState::completed);

    // An append that keeps the modification time (same clock tick) is still noticed by its size.
    auto log = auditLogPath(a);
    auto mtime = fs::last_write_time(log);
    std::ofstream(log, std::ios::app) << R"({"type":"user"})" << "\n";
    fs::last_write_time(log, mtime);
    EXPECT_EQ(capture(touched->cache)->parsedCount, 1u);

    // Damage to a known metadata file is noticed at once.
    auto b = folder / "local_b.json";
    test::writeText(b, "{\"sessionId\":");
    stamp(b);
    EXPECT_EQ(capture(touched->cache).error(), ObserverError::sessionStoreUnreadable);
    test::writeText(b, meta("b"));
    stamp(b);

    // Archiving drops the session from the index and the cache.
    test::writeText(a, meta("a", R"(,"isArchived":true)"));
    stamp(a);
    auto archived = capture(touched->cache);
    EXPECT_EQ(archived->indexedIDs, ids({"b"}));
    EXPECT_FALSE(archived->cache.sessions.contains(coworkTaskID("a")));
}

TEST_F(Library, OnlyTheLastMebibyteOfAnAuditLogIsRead) {
    // A result line that starts before the window: read whole it would say completed; cut at
    // the window it is skipped, so the quiet-activity rule applies.
    auto a = session("local_a", meta("a"));
    std::string pad(auditTailBytes + 4096, 'x');
    writeAudit(a, R"({"type":"result","pad":")" + pad + "\"}\n");
    auto result = capture();
    ASSERT_EQ(result->tasks.size(), 1u);
    EXPECT_EQ(result->tasks[0].state, TaskState::running);

    // A 2 GiB log (sparse) costs one mebibyte and its last line still decides.
    auto log = auditLogPath(a);
    test::writeText(log, "");
    fs::resize_file(log, 2ull * 1024 * 1024 * 1024);
    std::ofstream(log, std::ios::app) << "\n" << R"({"type":"command_lifecycle","state":"failed"})" << "\n";
    stamp(log);
    result = capture();
    ASSERT_EQ(result->tasks.size(), 1u);
    EXPECT_EQ(result->tasks[0].state, TaskState::failed);

    // An audit log that cannot be read (a folder, a FIFO) is an empty log.
    fs::remove(log);
    fs::create_directory(log);
    EXPECT_EQ(capture()->tasks.at(0).state, TaskState::running);
    fs::remove(log);
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    EXPECT_EQ(capture()->tasks.at(0).state, TaskState::running);
}

TEST_F(Library, IndexHashesTheUntrimmedIDWhileTheTaskUsesTheTrimmedOne) {
    session("local_a", R"({"sessionId":" spaced ","lastActivityAt":1764999990})");
    auto result = capture();
    EXPECT_EQ(result->indexedIDs, ids({" spaced "}));
    EXPECT_EQ(result->tasks.at(0).id, coworkTaskID("spaced"));
}

TEST_F(Library, DuplicateSessionIDsAreIndexedOnce) {
    session("local_old", meta("same", R"(,"title":"old")"));
    session("local_new", meta("same", R"(,"title":"new")"));
    auto result = capture();
    EXPECT_EQ(result->indexedIDs.size(), 1u);
    ASSERT_EQ(result->tasks.size(), 1u);
    EXPECT_EQ(result->tasks[0].title, "Cowork · new");
}
