#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QSignalSpy>

#include "runtime/folder_watch.hpp"
#include "qt.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::runtime;
namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds settle{5};

// Waits (generously) for one more changed() signal.
bool waitForChange(QSignalSpy& spy) {
    auto before = spy.count();
    QDeadlineTimer deadline(30000);
    while (spy.count() == before && !deadline.hasExpired()) spy.wait(100);
    return spy.count() > before;
}

// Lets queued notifications through: for "no signal" checks, a write is followed by a marker
// file that does signal, and the count is read once the marker's signal has come.
void writeMarker(const fs::path& folder, QSignalSpy& spy) {
    test::writeText(folder / "marker", "m");
    ASSERT_TRUE(waitForChange(spy));
}

}  // namespace

TEST(FolderWatch, FolderThatAppearsLaterIsWatchedFromThen) {
    test::qtApplication();
    test::TempDir dir;
    const fs::path inbox = dir / "a" / "b" / "inbox";
    FolderWatch watch([&] { return std::vector{inbox}; }, {}, FolderWatch::Entries::arriving, settle);
    QSignalSpy spy(&watch, &FolderWatch::changed);
    EXPECT_TRUE(watch.isReliable());
    EXPECT_EQ(watch.watchedFolders(), std::vector{dir.path()});

    fs::create_directories(inbox);
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_EQ(watch.watchedFolders(), std::vector{inbox});

    test::writeText(inbox / "e.json", "{}");
    EXPECT_TRUE(waitForChange(spy));

    // Removed and made again: watched again.
    fs::remove_all(dir / "a");
    ASSERT_TRUE(waitForChange(spy));
    fs::create_directories(inbox);
    ASSERT_TRUE(waitForChange(spy));
    test::writeText(inbox / "f.json", "{}");
    EXPECT_TRUE(waitForChange(spy));
    EXPECT_EQ(watch.watchedFolders(), std::vector{inbox});
}

TEST(FolderWatch, InboxWakesOnArrivalsOnlyAndOncePerBurst) {
    test::qtApplication();
    test::TempDir dir;
    FolderWatch watch([&] { return std::vector{dir.path()}; }, {}, FolderWatch::Entries::arriving, settle);
    QSignalSpy spy(&watch, &FolderWatch::changed);

    // Files written while the loop is busy give one signal, not one each.
    for (int i = 0; i < 50; ++i) test::writeText(dir / ("e" + std::to_string(i) + ".json"), "{}");
    ASSERT_TRUE(waitForChange(spy));
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 1);

    // What the drain itself does (deleting applied files) and hidden temporaries do not wake it.
    for (int i = 0; i < 50; ++i) fs::remove(dir / ("e" + std::to_string(i) + ".json"));
    test::writeText(dir / ".e.json.123.tmp", "{}");
    writeMarker(dir.path(), spy);
    EXPECT_EQ(spy.count(), 2);
}

TEST(FolderWatch, TakeChangeIsTrueOnlyAfterAChangeOrAReplacedRoot) {
    test::qtApplication();
    test::TempDir dir;
    const fs::path root = dir / "library";
    fs::create_directories(root / "session");
    FolderWatch watch([&] { return std::vector{root, root / "session"}; }, {root}, FolderWatch::Entries::any,
                      settle);
    QSignalSpy spy(&watch, &FolderWatch::changed);
    EXPECT_TRUE(watch.takeChange());  // the first pass is a full one
    EXPECT_FALSE(watch.takeChange());

    test::writeText(root / "session" / "meta.json", "{}");
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_TRUE(watch.takeChange());
    EXPECT_FALSE(watch.takeChange());

    fs::remove(root / "session" / "meta.json");
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_TRUE(watch.takeChange());

    // A root swapped for another folder is noticed by its identity even before any event is
    // read (the loop has not run since).
    fs::rename(root, dir / "old");
    fs::create_directories(root);
    EXPECT_TRUE(watch.takeChange());
    EXPECT_FALSE(watch.takeChange());
    // ... and the new folder is the one watched from then on.
    test::writeText(root / "new.json", "{}");
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_TRUE(watch.takeChange());
}

// When the kernel's event queue overflows, events are lost, folders created meanwhile among
// them: the watch must say "changed" and watch the new folders all the same.
TEST(FolderWatch, QueueOverflowLeadsToAFullPassAndWatchesNewFolders) {
    test::qtApplication();
    test::TempDir dir;
    const fs::path root = dir / "sessions";
    fs::create_directories(root);
    std::vector<fs::path> folders{root, root / "late"};
    FolderWatch watch([&] { return folders; }, {}, FolderWatch::Entries::any, settle);
    QSignalSpy spy(&watch, &FolderWatch::changed);
    watch.takeChange();

    long queueLimit = std::stol(test::readText("/proc/sys/fs/inotify/max_queued_events"));
    // Each file gives at least two events (created, closed after writing); nothing reads the
    // queue meanwhile, since the event loop does not run.
    for (long i = 0; i < queueLimit / 2 + 16; ++i) test::writeText(root / ("f" + std::to_string(i)), "x");
    fs::create_directories(root / "late");
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_TRUE(watch.takeChange());
    EXPECT_EQ(watch.watchedFolders().size(), 2u);

    test::writeText(root / "late" / "new.json", "{}");
    ASSERT_TRUE(waitForChange(spy));
    EXPECT_TRUE(watch.takeChange());
}
