#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

#include "model/files.hpp"
#include "runtime/cli/claude_inbox.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromReference(800000000);

NormalizedProviderEvent runningTask(std::string account, std::string id, AIProvider provider = AIProvider::claude) {
    return NormalizedProviderEvent::task(
        TaskSnapshot{std::move(id), std::nullopt, std::move(account), provider, "Claude task", TaskState::running, now});
}

struct Inbox : ::testing::Test {
    test::TempDir dir;
    fs::path root = dir / "Profiles";
    fs::path snapshotFile = dir / "snapshot-v1.json";
    CompanionSnapshotStore store{snapshotFile, [] { return now; }};
    std::vector<CompanionSnapshot> published;
    std::map<std::string, std::pair<std::string, bool>> rows;

    fs::path inbox(const std::string& account) { return root / "claude" / account / "inbox"; }

    // Writes one envelope file for the event, as the command-line mode does, and returns it.
    fs::path drop(const std::string& folder, const NormalizedProviderEvent& event) {
        auto envelope = ProviderEventEnvelope::make(event, now);
        auto path = inbox::prepareInbox(root, folder) / (envelope.id + ".json");
        files::writeAtomically(path, encodeEnvelope(envelope), 0600);
        return path;
    }

    void drain() {
        inbox::drainPass(root, store,
                         {[&](const CompanionSnapshot& s) { published.push_back(s); },
                          [&](const std::string& id, std::string_view detail, bool ok) {
                              rows[id] = {std::string(detail), ok};
                          }});
    }
};

}  // namespace

TEST_F(Inbox, WriterFilesAreEnvelopesWithPrivateMode) {
    auto path = inbox::prepareInbox(root, "work");
    auto events = std::vector{runningTask("work", "t1"), runningTask("work", "t2")};
    inbox::writeEvents(path, events, now);
    std::vector<ProviderEventEnvelope> read;
    for (const auto& e : fs::directory_iterator(path)) {
        EXPECT_EQ(fs::status(e.path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        auto envelope = decodeEnvelope(files::read(e.path()));
        EXPECT_EQ(e.path().filename().string(), envelope.id + ".json");
        EXPECT_EQ(envelope.recordedAt, now);
        read.push_back(envelope);
    }
    ASSERT_EQ(read.size(), 2u);
    EXPECT_NE(read[0].id, read[1].id);
}

TEST_F(Inbox, WriterFailures) {
    auto code = [](auto&& op) {
        try {
            op();
        } catch (const Failure<inbox::InboxWriteError>& e) {
            return e.code();
        }
        return inbox::InboxWriteError{-1};
    };
    EXPECT_EQ(code([&] { inbox::prepareInbox(std::nullopt, "work"); }), inbox::InboxWriteError::noApplicationSupport);
    test::writeText(root / "claude", "");  // a file where the folder should be
    EXPECT_EQ(code([&] { inbox::prepareInbox(root, "work"); }), inbox::InboxWriteError::folderCreationFailed);
    fs::remove(root / "claude");
    auto path = inbox::prepareInbox(root, "work");
    test::FileSizeLimit limit(10);
    EXPECT_EQ(code([&] { inbox::writeEvents(path, {runningTask("work", "t1")}, now); }),
              inbox::InboxWriteError::writeFailed);
    EXPECT_TRUE(fs::is_empty(path));  // no temporary left behind
}

TEST_F(Inbox, AppliesDeletesAndReportsPerAccount) {
    drop("work", runningTask("work", "t1"));
    drop("home", runningTask("home", "t2"));
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_TRUE(fs::is_empty(inbox("home")));
    auto stored = store.snapshot();
    EXPECT_TRUE(stored.tasksByID.contains("claude:work:t1"));
    EXPECT_TRUE(stored.tasksByID.contains("claude:home:t2"));
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published.back(), stored);
    EXPECT_EQ(rows["Claude/work"], std::make_pair(std::string("Read-only quota and task state updated"), true));
    EXPECT_EQ(rows["Claude/home"], std::make_pair(std::string("Read-only quota and task state updated"), true));
}

TEST_F(Inbox, RejectedFilesAreDeletedWithoutApplyingOrStatus) {
    auto otherAccount = drop("work", runningTask("home", "t1"));
    auto otherProvider = drop("work", runningTask("work", "t2", AIProvider::codex));
    test::writeText(inbox("work") / "garbage.json", "{not json");
    test::writeText(inbox("work") / "empty.json", "");
    fs::create_directories(inbox("work") / "folder.json");  // cannot be read as a file
    drain();
    EXPECT_FALSE(fs::exists(otherAccount));
    EXPECT_FALSE(fs::exists(otherProvider));
    EXPECT_FALSE(fs::exists(inbox("work") / "garbage.json"));
    EXPECT_FALSE(fs::exists(inbox("work") / "empty.json"));
    EXPECT_FALSE(fs::exists(snapshotFile));
    EXPECT_TRUE(published.empty());
    EXPECT_TRUE(rows.empty());
}

TEST_F(Inbox, FilesThatCannotBeEventsAreRejectedWithoutReadingThemWhole) {
    // Any local process can drop things into an inbox: none of these may hang the pass or be
    // loaded whole. A valid envelope padded just under the cap still counts.
    auto padded = [&](std::size_t size) {
        auto envelope = ProviderEventEnvelope::make(runningTask("work", "t-" + std::to_string(size)), now);
        auto text = encodeEnvelope(envelope);
        text.insert(text.size() - 1, ",\"pad\":\"" + std::string(size - text.size() - 9, 'x') + "\"");
        EXPECT_EQ(text.size(), size);
        return text;
    };
    test::writeText(inbox("work") / "at-cap.json", padded(inbox::maxEventFileBytes));
    test::writeText(inbox("work") / "over-cap.json", padded(inbox::maxEventFileBytes + 1));
    ASSERT_EQ(::mkfifo((inbox("work") / "fifo.json").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", inbox("work") / "endless.json");
    drain();
    for (auto name : {"at-cap.json", "over-cap.json", "fifo.json", "endless.json"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(inbox("work") / name))) << name;
    EXPECT_EQ(store.snapshot().tasksByID.size(), 1u);
    EXPECT_TRUE(store.snapshot().tasksByID.contains("claude:work:t-" + std::to_string(inbox::maxEventFileBytes)));
}

TEST_F(Inbox, OtherExtensionsHiddenFilesAndInvalidFoldersAreLeftAlone) {
    auto kept = {inbox("work") / "upper.JSON", inbox("work") / "note.txt", inbox("work") / "noextension",
                 inbox("work") / ".hidden.json"};
    for (const auto& f : kept) test::writeText(f, "{}");
    // Folders whose names are not account IDs are never read, even with valid files inside.
    auto invalidFolder = drop("work", runningTask("work", "t1"));
    fs::create_directories(root / "claude" / "bad name");
    fs::rename(inbox("work") / invalidFolder.filename(), root / "claude" / "bad name" / invalidFolder.filename());
    fs::create_directories(root / "claude" / "noinbox");
    test::writeText(root / "claude" / "plainfile", "");
    drain();
    for (const auto& f : kept) EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(root / "claude" / "bad name" / invalidFolder.filename()));
    EXPECT_TRUE(rows.empty());
}

TEST_F(Inbox, DuplicateEnvelopeIsAppliedOnceAndBothFilesGo) {
    auto original = drop("work", runningTask("work", "t1"));
    fs::copy_file(original, inbox("work") / "copy.json");
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_EQ(store.snapshot().processedEventIDs.size(), 1u);
    EXPECT_EQ(published.size(), 2u);  // the no-change result is published too
}

TEST_F(Inbox, StoreFailureKeepsFilesUntilTheSnapshotIsReadableAgain) {
    auto first = drop("work", runningTask("work", "t1"));
    auto second = drop("work", runningTask("work", "t2"));
    test::writeText(snapshotFile, "{broken");
    for (int pass = 0; pass < 2; ++pass) {
        drain();
        EXPECT_TRUE(fs::exists(first));
        EXPECT_TRUE(fs::exists(second));
        EXPECT_EQ(rows["Claude/work"], std::make_pair(std::string("Local event processing failed"), false));
    }
    EXPECT_EQ(test::readText(snapshotFile), "{broken");  // what was recorded stays on disk
    fs::remove(snapshotFile);
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_EQ(store.snapshot().tasksByID.size(), 2u);
    EXPECT_EQ(rows["Claude/work"], std::make_pair(std::string("Read-only quota and task state updated"), true));
}

TEST_F(Inbox, NothingToDrainIsQuiet) {
    inbox::drainPass(std::nullopt, store, {});
    drain();  // no claude folder yet
    EXPECT_TRUE(published.empty());
    EXPECT_FALSE(fs::exists(snapshotFile));
}
