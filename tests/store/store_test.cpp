#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

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
    store::CompanionSnapshotStore store{file, [this] { return clock; }};

    ProviderEventEnvelope runningTask(std::string id, double t) {
        return envelope(NormalizedProviderEvent::task(task(std::move(id), TaskState::running, t)), t);
    }
};

// Counts opens of one file by anyone, to see whether the store read it again.
class OpenCounter {
public:
    explicit OpenCounter(const fs::path& file) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, file.c_str(), IN_OPEN);
    }
    ~OpenCounter() { ::close(fd_); }
    int opens() {
        alignas(inotify_event) char buffer[4096];
        int n = 0;
        for (;;) {
            auto got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0) return n;
            for (char* p = buffer; p < buffer + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                if (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) ++n;
        }
    }

private:
    int fd_;
};

void setModified(const fs::path& file, Date at) {
    struct timespec times[2] = {{static_cast<time_t>(at.unix()), 0}, {static_cast<time_t>(at.unix()), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

template <class T>
store::SnapshotStoreError codeOf(const std::expected<T, store::SnapshotStoreFailure>& result) {
    if (result) {
        ADD_FAILURE() << "no store failure";
        return store::SnapshotStoreError::readFailed;
    }
    return result.error().code;
}

}  // namespace

TEST_F(StoreFixture, MissingFileGivesEmptySnapshotWithoutWriting) {
    EXPECT_EQ(store.snapshot().value(), store::CompanionSnapshot{});
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(StoreFixture, ApplyPersistsAndDuplicateWritesNothing) {
    auto e = runningTask("t1", 1000);
    auto after = store.apply(e).value();
    EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), after);
    auto written = fs::last_write_time(file);
    fs::remove(file);
    // Second apply of the same ID reports the same snapshot and does not touch the disk.
    EXPECT_EQ(store.apply(e).value(), after);
    EXPECT_FALSE(fs::exists(file));
    // Nor does the same task reported again under a new envelope.
    EXPECT_EQ(store.apply(runningTask("t1", 1000)).value(), after);
    EXPECT_FALSE(fs::exists(file));
    (void)written;
}

TEST_F(StoreFixture, UndecodableFileIsRefusedLeftAloneAndRetried) {
    test::writeText(file, "{not json");
    EXPECT_EQ(codeOf(store.apply(runningTask("t1", 1000))), store::SnapshotStoreError::decodeFailed);
    EXPECT_EQ(test::readText(file), "{not json");
    EXPECT_FALSE(store.cachedSnapshot().has_value());

    // Repaired on disk: the next operation loads it again rather than trusting a cache.
    store::CompanionSnapshot onDisk;
    onDisk.applyEvent(runningTask("t0", 999));
    test::writeText(file, store::encodeSnapshot(onDisk));
    auto s = store.apply(runningTask("t1", 1000)).value();
    EXPECT_TRUE(s.tasksByID.contains("claude:work:t0"));
    EXPECT_TRUE(s.tasksByID.contains("claude:work:t1"));
}

TEST_F(StoreFixture, UnreadableFileIsAReadFailure) {
    fs::create_directories(file);  // a folder where the file should be
    EXPECT_EQ(codeOf(store.snapshot()), store::SnapshotStoreError::readFailed);
}

TEST_F(StoreFixture, FailedWriteKeepsCacheAndFile) {
    auto first = store.apply(runningTask("t1", 1000)).value();
    auto bytes = test::readText(file);
    {
        test::FileSizeLimit limit(bytes.size());  // the next snapshot is larger
        EXPECT_EQ(codeOf(store.apply(runningTask("t2", 1001))), store::SnapshotStoreError::writeFailed);
    }
    EXPECT_EQ(test::readText(file), bytes);
    EXPECT_EQ(store.cachedSnapshot(), first);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(StoreFixture, FolderThatCannotBeCreatedIsRefused) {
    test::writeText(dir / "VigilorbCompanion", "a file in the way");
    EXPECT_EQ(codeOf(store.apply(runningTask("t1", 1000))), store::SnapshotStoreError::folderCreationFailed);
    EXPECT_EQ(store.cachedSnapshot(), store::CompanionSnapshot{});
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
    auto s = store.snapshot().value();
    EXPECT_EQ(s.schemaVersion, 3);
    EXPECT_EQ(s.tasksByID.size(), 1u);
    EXPECT_TRUE(s.tasksByID.contains("claude:w:y"));
    EXPECT_TRUE(s.pendingActionsByID.empty());
    EXPECT_EQ(s.quotasByAccount.size(), 1u);
    EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), s);
}

TEST_F(StoreFixture, LoadPrunesWithTheClockAndRewritesOnlyWhenTasksChanged) {
    store::CompanionSnapshot old;
    old.tasksByID["claude:work:t1"] = task("t1", TaskState::running, 0);
    old.tasksByID["claude:work:t2"] = task("t2", TaskState::completed, 0);
    test::writeText(file, store::encodeSnapshot(old));
    clock = at(90000);
    auto s = store.snapshot().value();
    EXPECT_FALSE(s.tasksByID.contains("claude:work:t1"));
    EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), s);

    // A file that needs nothing is not rewritten (its bytes stay as written by someone else).
    store::CompanionSnapshotStore second(file, [this] { return clock; });
    auto text = store::encodeSnapshot(s) + "\n";
    test::writeText(file, text);
    ASSERT_TRUE(second.snapshot().has_value());
    EXPECT_EQ(test::readText(file), text);
}

TEST_F(StoreFixture, RemovalsUseTheClockAndPersist) {
    ASSERT_TRUE(store.apply(envelope(NormalizedProviderEvent::quota(quota(1000)), 1000)).has_value());
    clock = at(2000);
    auto s = store.removeAccount(AIProvider::claude, "work").value();
    EXPECT_TRUE(s.quotasByAccount.empty());
    EXPECT_EQ(s.lastUpdatedAt, at(2000));
    EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), s);
}

// Things found at the snapshot's place that are no snapshot file. Each is refused as a read
// failure without hanging (a FIFO without writer) or reading without end (a device).
const struct NotASnapshotFile {
    const char* name;
    void (*make)(const fs::path&);
} notASnapshotFile[] = {
    {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
    {"symlink to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
    {"folder", [](const fs::path& p) { fs::create_directory(p); }},
    {"sparse file beyond the size cap", [](const fs::path& p) {
         test::writeText(p, "");
         fs::resize_file(p, store::maxSnapshotFileBytes + 1);
     }},
};

TEST_F(StoreFixture, WhatIsNoSnapshotFileIsARefusedRead) {
    for (const auto& c : notASnapshotFile) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        c.make(file);
        store::CompanionSnapshotStore fresh(file, [this] { return clock; });
        EXPECT_EQ(codeOf(fresh.apply(runningTask("t1", 1000))), store::SnapshotStoreError::readFailed);
        ASSERT_TRUE(fresh.fileProblem().has_value());
        EXPECT_FALSE(fresh.fileProblem()->movedAsideTo.has_value());
        EXPECT_TRUE(fs::exists(fs::symlink_status(file)));  // left where it is
    }
}

TEST_F(StoreFixture, OutOfMemoryComesBackAsAStoreFailure) {
    store::CompanionSnapshot onDisk;
    onDisk.applyEvent(runningTask("t0", 999));
    test::writeText(file, store::encodeSnapshot(onDisk));
    // Memory running out while loading or merging must not escape as std::bad_alloc, which
    // callers do not expect and which would end the app.
    store::CompanionSnapshotStore failing(file, []() -> Date { throw std::bad_alloc(); });
    EXPECT_EQ(codeOf(failing.snapshot()), store::SnapshotStoreError::readFailed);
    EXPECT_EQ(codeOf(failing.apply(runningTask("t1", 1000))), store::SnapshotStoreError::readFailed);
    EXPECT_EQ(test::readText(file), store::encodeSnapshot(onDisk));
}

TEST_F(StoreFixture, FailedLoadIsNotRepeatedUntilTheFileChanges) {
    test::writeText(file, "{not json");
    OpenCounter counter(file);
    EXPECT_EQ(codeOf(store.apply(runningTask("t1", 1000))), store::SnapshotStoreError::decodeFailed);
    EXPECT_EQ(counter.opens(), 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(codeOf(store.apply(runningTask("t" + std::to_string(i + 2), 1000))),
                  store::SnapshotStoreError::decodeFailed);
    EXPECT_EQ(counter.opens(), 0);
    ASSERT_TRUE(store.fileProblem().has_value());
    EXPECT_EQ(store.fileProblem()->error, store::SnapshotStoreError::decodeFailed);

    // Rewritten in place with the same size: a new modification time is enough to look again.
    store::CompanionSnapshot onDisk;
    onDisk.applyEvent(runningTask("t0", 999));
    test::writeText(file, store::encodeSnapshot(onDisk));
    EXPECT_TRUE(store.apply(runningTask("t1", 1000)).value().tasksByID.contains("claude:work:t0"));
    EXPECT_FALSE(store.fileProblem().has_value());
}

TEST_F(StoreFixture, FileThatCanNeverLoadIsMovedAsideAndTheStoreStartsEmpty) {
    auto truncated = store::encodeSnapshot([&] {
        store::CompanionSnapshot s;
        s.applyEvent(runningTask("t0", 999));
        return s;
    }());
    truncated.resize(truncated.size() / 2);
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
    } cases[] = {
        {"empty", [](const fs::path& p) { test::writeText(p, ""); }},
        {"truncated", [&](const fs::path& p) { test::writeText(p, truncated); }},
        {"wrong types", [](const fs::path& p) {
             test::writeText(p, R"({"schemaVersion":"3","quotasByAccount":[],"tasksByID":{},"pendingActionsByID":{},"processedEventIDs":[]})");
         }},
        {"FIFO", notASnapshotFile[0].make},
        {"folder", notASnapshotFile[2].make},
    };
    const std::string asideName = "snapshot-v1.json.unreadable-20010101T001640Z";  // the clock's 1000 s
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        c.make(file);
        auto before = fs::symlink_status(file).type();
        std::optional<std::string> bytes;
        if (before == fs::file_type::regular) bytes = test::readText(file);

        store::CompanionSnapshotStore moving(file, [this] { return clock; }, store::UnreadableSnapshotPolicy::moveAside);
        auto s = moving.apply(runningTask("t1", 1000)).value();
        EXPECT_EQ(s.tasksByID.size(), 1u);
        EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), s);
        auto aside = file.parent_path() / asideName;
        ASSERT_TRUE(moving.fileProblem().has_value());
        EXPECT_EQ(moving.fileProblem()->movedAsideTo, aside);
        EXPECT_EQ(fs::symlink_status(aside).type(), before);
        if (bytes) {
            EXPECT_EQ(test::readText(aside), *bytes);
        }
    }

    // A name already taken is never replaced.
    test::writeText(file, "again");
    store::CompanionSnapshotStore moving(file, [this] { return clock; }, store::UnreadableSnapshotPolicy::moveAside);
    ASSERT_TRUE(moving.snapshot().has_value());
    EXPECT_EQ(moving.fileProblem()->movedAsideTo, file.parent_path() / (asideName + "-2"));
    EXPECT_EQ(test::readText(file.parent_path() / (asideName + "-2")), "again");
    EXPECT_FALSE(fs::exists(file));  // nothing written until something changes
}

TEST_F(StoreFixture, MovingAsideOnRequest) {
    test::writeText(file, "{not json");
    EXPECT_EQ(codeOf(store.snapshot()), store::SnapshotStoreError::decodeFailed);
    auto aside = store.moveUnreadableAside().value();
    ASSERT_TRUE(aside.has_value());
    EXPECT_EQ(test::readText(*aside), "{not json");
    EXPECT_TRUE(store.apply(runningTask("t1", 1000)).value().tasksByID.contains("claude:work:t1"));
    // A snapshot that loads is never moved.
    EXPECT_FALSE(store.moveUnreadableAside().value().has_value());
    store::CompanionSnapshotStore second(file, [this] { return clock; });
    EXPECT_FALSE(second.moveUnreadableAside().value().has_value());
    EXPECT_TRUE(second.snapshot().value().tasksByID.contains("claude:work:t1"));
}

TEST_F(StoreFixture, OnlyOldTemporariesOfTheSnapshotAreRemoved) {
    fs::create_directories(file.parent_path());
    const struct {
        std::string name;
        double age;
        bool removed;
    } cases[] = {
        {".snapshot-v1.json.8C3D2A71-0B4E-4F6A-9D1C-5E7F8A9B0C1D.tmp", 600, true},
        {".snapshot-v1.json.1B2C3D4E-5F60-4718-8293-A4B5C6D7E8F9.tmp", 30, false},  // a write may be under way
        {".settings.json.8C3D2A71-0B4E-4F6A-9D1C-5E7F8A9B0C1D.tmp", 600, false},
        {"snapshot-v1.json.unreadable-20010101T000000Z", 600, false},
        {"snapshot-v1.json", 600, false},
    };
    for (auto& c : cases) {
        test::writeText(file.parent_path() / c.name, "{}");
        setModified(file.parent_path() / c.name, clock - c.age);
    }
    EXPECT_EQ(store.removeStaleTemporaries(), 1u);
    for (auto& c : cases) EXPECT_EQ(fs::exists(file.parent_path() / c.name), !c.removed) << c.name;
}

TEST_F(StoreFixture, SkewedTimesInAnOldFileAreBroughtBackOnLoad) {
    store::CompanionSnapshot old;
    old.tasksByID["claude:work:t1"] = task("t1", TaskState::running, 1000 + 90000);
    old.lastUpdatedAt = at(1000 + 90000);
    test::writeText(file, store::encodeSnapshot(old));
    auto s = store.snapshot().value();
    EXPECT_EQ(s.tasksByID.at("claude:work:t1").updatedAt, clock);
    EXPECT_EQ(s.lastUpdatedAt, clock);
    EXPECT_EQ(store::decodeSnapshot(files::read(file).value()).value(), s);
    // The genuine end of the task now counts.
    auto done = envelope(NormalizedProviderEvent::task(task("t1", TaskState::completed, 1001)), 1001);
    clock = at(1001);
    EXPECT_EQ(store.apply(done).value().tasksByID.at("claude:work:t1").state, TaskState::completed);
}
