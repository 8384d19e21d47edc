#include <gtest/gtest.h>

#include "fixtures.hpp"
#include "model/files.hpp"
#include "store/store.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::fixtures;
namespace fs = std::filesystem;

namespace {

struct StoreFixture : ::testing::Test {
    test::TempDir dir;
    fs::path file = dir / "VigilorbCompanion" / "snapshot-v1.json";
    Date clock = at(1000);
    CompanionSnapshotStore store{file, [this] { return clock; }};

    ProviderEventEnvelope runningTask(std::string id, double t) {
        return envelope(NormalizedProviderEvent::task(task(std::move(id), TaskState::running, t)), t);
    }
};

SnapshotStoreError codeOf(auto&& op) {
    try {
        op();
    } catch (const Failure<SnapshotStoreError>& e) {
        return e.code();
    }
    ADD_FAILURE() << "no store failure";
    return SnapshotStoreError::readFailed;
}

}  // namespace

TEST_F(StoreFixture, MissingFileGivesEmptySnapshotWithoutWriting) {
    EXPECT_EQ(store.snapshot(), CompanionSnapshot{});
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(StoreFixture, ApplyPersistsAndDuplicateWritesNothing) {
    auto e = runningTask("t1", 1000);
    auto after = store.apply(e);
    EXPECT_EQ(decodeSnapshot(files::read(file)), after);
    auto written = fs::last_write_time(file);
    fs::remove(file);
    // Second apply of the same ID reports the same snapshot and does not touch the disk.
    EXPECT_EQ(store.apply(e), after);
    EXPECT_FALSE(fs::exists(file));
    (void)written;
}

TEST_F(StoreFixture, UndecodableFileIsThrownLeftAloneAndRetried) {
    test::writeText(file, "{not json");
    EXPECT_EQ(codeOf([&] { store.apply(runningTask("t1", 1000)); }), SnapshotStoreError::decodeFailed);
    EXPECT_EQ(test::readText(file), "{not json");
    EXPECT_FALSE(store.cachedSnapshot().has_value());

    // Repaired on disk: the next operation loads it again rather than trusting a cache.
    CompanionSnapshot onDisk;
    onDisk.applyEvent(runningTask("t0", 999));
    test::writeText(file, encodeSnapshot(onDisk));
    auto s = store.apply(runningTask("t1", 1000));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:t0"));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:t1"));
}

TEST_F(StoreFixture, UnreadableFileIsAReadFailure) {
    fs::create_directories(file);  // a folder where the file should be
    EXPECT_EQ(codeOf([&] { store.snapshot(); }), SnapshotStoreError::readFailed);
}

TEST_F(StoreFixture, FailedWriteKeepsCacheAndFile) {
    auto first = store.apply(runningTask("t1", 1000));
    auto bytes = test::readText(file);
    {
        test::FileSizeLimit limit(bytes.size());  // the next snapshot is larger
        EXPECT_EQ(codeOf([&] { store.apply(runningTask("t2", 1001)); }), SnapshotStoreError::writeFailed);
    }
    EXPECT_EQ(test::readText(file), bytes);
    EXPECT_EQ(store.cachedSnapshot(), first);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(StoreFixture, FolderThatCannotBeCreatedIsThrown) {
    test::writeText(dir / "VigilorbCompanion", "a file in the way");
    EXPECT_EQ(codeOf([&] { store.apply(runningTask("t1", 1000)); }), SnapshotStoreError::folderCreationFailed);
    EXPECT_EQ(store.cachedSnapshot(), CompanionSnapshot{});
}

TEST_F(StoreFixture, VersionTwoFileLosesCodexTasksAndIsRewritten) {
    Json v2 = Json::parse(R"({
      "schemaVersion": 2,
      "quotasByAccount": {"codex:a": {"accountID":"a","provider":"codex","windows":[],"capturedAt":990}},
      "tasksByID": {
        "codex:a:x": {"id":"x","accountID":"a","provider":"codex","title":"Codex task","state":"running","updatedAt":990},
        "claude:w:y": {"id":"y","accountID":"w","provider":"claude","title":"Hi","state":"running","updatedAt":990}
      },
      "pendingActionsByID": {
        "codex:a:x-1": {"id":"x-1","taskID":"x","accountID":"a","provider":"codex","kind":"command","requestedAt":990}
      },
      "processedEventIDs": ["A"]
    })");
    test::writeText(file, v2.dump());
    auto s = store.snapshot();
    EXPECT_EQ(s.schemaVersion, 3);
    EXPECT_EQ(s.tasksByID.size(), 1u);
    EXPECT_TRUE(s.tasksByID.contains("claude:w:y"));
    EXPECT_TRUE(s.pendingActionsByID.empty());
    EXPECT_EQ(s.quotasByAccount.size(), 1u);
    EXPECT_EQ(decodeSnapshot(files::read(file)), s);
}

TEST_F(StoreFixture, LoadPrunesWithTheClockAndRewritesOnlyWhenTasksChanged) {
    CompanionSnapshot old;
    old.tasksByID["claude:work:t1"] = task("t1", TaskState::running, 0);
    old.tasksByID["claude:work:t2"] = task("t2", TaskState::completed, 0);
    test::writeText(file, encodeSnapshot(old));
    clock = at(90000);
    auto s = store.snapshot();
    EXPECT_FALSE(s.tasksByID.contains("claude:work:t1"));
    EXPECT_EQ(decodeSnapshot(files::read(file)), s);

    // A file that needs nothing is not rewritten (its bytes stay as written by someone else).
    CompanionSnapshotStore second(file, [this] { return clock; });
    auto text = encodeSnapshot(s) + "\n";
    test::writeText(file, text);
    second.snapshot();
    EXPECT_EQ(test::readText(file), text);
}

TEST_F(StoreFixture, RemovalsUseTheClockAndPersist) {
    store.apply(envelope(NormalizedProviderEvent::quota(quota(1000)), 1000));
    clock = at(2000);
    auto s = store.removeAccount(AIProvider::claude, "work");
    EXPECT_TRUE(s.quotasByAccount.empty());
    EXPECT_EQ(s.lastUpdatedAt, at(2000));
    EXPECT_EQ(decodeSnapshot(files::read(file)), s);
}
