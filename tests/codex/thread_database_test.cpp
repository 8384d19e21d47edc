#include "codex/thread_database.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "codex_home_fixture.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& file, int secondsAgo) {
    appendFile(file, "");
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

TEST(CodexStateDatabase, ChoosesTheHighestVersionThenTheNewest) {
    TempDir home;
    EXPECT_FALSE(findStateDatabase("state_", home.path()));
    touch(home / "state_4.sqlite", 0);
    touch(home / "sqlite/state_10.sqlite", 100);
    touch(home / "state_99.sqlite-wal", 0);
    touch(home / ".state_50.sqlite", 0);
    touch(home / "logs_2.sqlite", 0);
    EXPECT_EQ(findStateDatabase("state_", home.path()), home / "sqlite/state_10.sqlite");

    TempDir other;
    touch(other / "state_.sqlite", 100);
    touch(other / "state_0.sqlite", 10);
    touch(other / "state_x.sqlite", 50);
    EXPECT_EQ(findStateDatabase("state_", other.path()), other / "state_0.sqlite");

    // Versions are integers, signs included: +7 beats a newer 5, -1 loses to an older 0.
    TempDir signs;
    touch(signs / "state_+7.sqlite", 100);
    touch(signs / "state_5.sqlite", 0);
    EXPECT_EQ(findStateDatabase("state_", signs.path()), signs / "state_+7.sqlite");
    TempDir negative;
    touch(negative / "state_0.sqlite", 100);
    touch(negative / "state_-1.sqlite", 0);
    EXPECT_EQ(findStateDatabase("state_", negative.path()), negative / "state_0.sqlite");

    TempDir missing;
    appendFile(missing / "sqlite", "a file, not a folder");
    EXPECT_FALSE(findStateDatabase("state_", missing.path()));
}

TEST(CodexStateDatabase, QueryAdaptsToTheColumns) {
    EXPECT_EQ(threadQuery({"id", "rollout_path", "updated_at", "archived"}),
              "SELECT id, rollout_path, updated_at, NULL\nFROM threads\nWHERE archived = 0\n"
              "ORDER BY updated_at DESC, id DESC\n;");
    EXPECT_EQ(threadQuery({"id", "archived", "thread_source", "agent_path", "source", "name"}),
              "SELECT id, rollout_path, updated_at, name\nFROM threads\nWHERE archived = 0 AND "
              "LOWER(TRIM(COALESCE(thread_source, ''))) NOT IN ('subagent', 'internal') AND agent_path IS NULL AND "
              "COALESCE(source, '') NOT LIKE '%\"subagent\"%'\nORDER BY updated_at DESC, id DESC\n;");
}

TEST(CodexStateDatabase, ReadsVisibleTopLevelThreadsNewestFirst) {
    TempDir home;
    auto db = home / "state_5.sqlite";
    {
        SqliteWriter w(db);
        w.exec("PRAGMA journal_mode=WAL;");
        w.exec(codexThreadsTable);
        w.exec(insertThread({.id = "a", .rolloutPath = "/r/a", .updatedAt = 100, .name = "alpha"}));
        w.exec(insertThread({.id = "b", .rolloutPath = "/r/b", .updatedAt = 200}));
        w.exec(insertThread({.id = "c", .rolloutPath = "/r/c", .updatedAt = 200, .name = "gamma"}));
        w.exec(insertThread({.id = "archived", .rolloutPath = "/r/x", .updatedAt = 300, .archived = 1}));
        w.exec(insertThread({.id = "sub1", .rolloutPath = "/r/x", .updatedAt = 300, .threadSource = " SubAgent "}));
        w.exec(insertThread({.id = "int1", .rolloutPath = "/r/x", .updatedAt = 300, .threadSource = "internal"}));
        w.exec(insertThread({.id = "agent", .rolloutPath = "/r/x", .updatedAt = 300, .agentPath = "/a"}));
        w.exec(insertThread({.id = "spawned", .rolloutPath = "/r/x", .updatedAt = 300,
                             .source = R"({"subagent":{"parent":"a"}})"}));
        w.exec(insertThread({.id = "exec", .rolloutPath = "/r/e", .updatedAt = 50, .source = "exec", .threadSource = std::nullopt}));
    }
    auto rows = readThreads(db).value();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (ThreadRow{"c", "/r/c", 200, "gamma"}));
    EXPECT_EQ(rows[1], (ThreadRow{"b", "/r/b", 200, std::nullopt}));
    EXPECT_EQ(rows[2], (ThreadRow{"a", "/r/a", 100, "alpha"}));
    EXPECT_EQ(rows[3].id, "exec");
}

TEST(CodexStateDatabase, OlderSchemaWithoutOptionalColumns) {
    TempDir home;
    auto db = home / "state_3.sqlite";
    {
        SqliteWriter w(db);
        w.exec("CREATE TABLE threads (id TEXT, rollout_path TEXT, updated_at INTEGER, archived INTEGER);");
        w.exec("INSERT INTO threads VALUES ('a', '/r/a', 10, 0), (NULL, '/r/n', 20, 0), ('b', NULL, 30, 0), "
               "('c', '/r/c', 5, 1);");
    }
    auto rows = readThreads(db).value();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (ThreadRow{"a", "/r/a", 10, std::nullopt}));
}

TEST(CodexStateDatabase, BrokenDatabasesFailTheQuery) {
    TempDir home;
    appendFile(home / "state_1.sqlite", std::string(4096, 'x'));  // not a database
    {
        SqliteWriter w(home / "state_2.sqlite");
        w.exec("CREATE TABLE other (x);");  // no threads table
    }
    {
        SqliteWriter w(home / "state_3.sqlite");
        w.exec("CREATE TABLE threads (id TEXT, rollout_path TEXT, updated_at INTEGER);");  // no archived
    }
    for (const char* name : {"state_1.sqlite", "state_2.sqlite", "state_3.sqlite", "state_missing.sqlite"}) {
        auto rows = readThreads(home / name);
        ASSERT_FALSE(rows) << name;
        EXPECT_EQ(rows.error().code, LocalObserverError::queryFailed) << name;
        EXPECT_FALSE(rows.error().detail.empty()) << name;
    }
    EXPECT_FALSE(fs::exists(home / "state_missing.sqlite"));  // read-only: nothing created
}

TEST(CodexStateDatabase, ExclusivelyLockedRollbackDatabaseFailsInsteadOfWaiting) {
    TempDir home;
    auto db = home / "state_5.sqlite";
    SqliteWriter w(db);
    w.exec(codexThreadsTable);
    w.exec(insertThread({.id = "a", .rolloutPath = "/r/a", .updatedAt = 1}));
    w.exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; UPDATE threads SET updated_at = 2;");
    auto rows = readThreads(db);
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error().code, LocalObserverError::queryFailed);
    w.exec("COMMIT;");
}

TEST(CodexStateDatabase, ReadsWhileAnotherConnectionWritesInWalMode) {
    TempDir home;
    auto db = home / "state_5.sqlite";
    SqliteWriter writer(db);
    writer.exec("PRAGMA journal_mode=WAL;");
    writer.exec(codexThreadsTable);
    writer.exec(insertThread({.id = "t0", .rolloutPath = "/r/0", .updatedAt = 1}));

    // An open write transaction: the reader sees the last committed state, never an error.
    writer.exec("BEGIN IMMEDIATE;");
    writer.exec(insertThread({.id = "t1", .rolloutPath = "/r/1", .updatedAt = 2}));
    auto during = readThreads(db).value();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].id, "t0");
    writer.exec("COMMIT;");
    EXPECT_EQ(readThreads(db).value().size(), 2u);

    // A writer thread committing continuously while the reader queries. SQLite may answer a
    // query with a transient "busy" while the other connection moves the WAL index; the
    // observer then simply fails that poll and tries again, so the test tolerates it too, but
    // every read that succeeds must show a committed state that never goes backwards.
    std::atomic<bool> done{false};
    std::thread writing([&] {
        SqliteWriter w(db);
        for (int i = 2; i < 400; ++i) {
            auto insert = insertThread({.id = "t" + std::to_string(i), .rolloutPath = "/r", .updatedAt = i});
            for (int attempt = 0;; ++attempt) {
                try {
                    w.exec(insert);
                    break;
                } catch (...) {
                    if (attempt == 100) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
        done = true;
    });
    struct Joiner {
        std::thread& thread;
        ~Joiner() {
            if (thread.joinable()) thread.join();
        }
    } joiner{writing};
    std::size_t last = 0;
    int reads = 0;
    while (!done || reads == 0) {
        auto rows = readThreads(db);
        if (!rows) continue;  // a transient "busy"
        EXPECT_GE(rows->size(), last);
        last = rows->size();
        ++reads;
    }
    writing.join();
    EXPECT_EQ(readThreads(db).value().size(), 400u);
}

}  // namespace
