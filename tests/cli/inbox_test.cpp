#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <map>

#include "model/files.hpp"
#include "cli/claude_inbox.hpp"
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
    store::CompanionSnapshotStore store{snapshotFile, [] { return now; }};
    std::vector<store::CompanionSnapshot> published;
    std::map<std::string, std::pair<std::string, bool>> rows;

    fs::path inbox(const std::string& account) { return root / "claude" / account / "inbox"; }

    // Writes one envelope file for the event, as the command-line mode does, and returns it.
    fs::path drop(const std::string& folder, const NormalizedProviderEvent& event) {
        auto envelope = ProviderEventEnvelope::make(event, now);
        auto path = cli::prepareInbox(root, folder).value() / (envelope.id + ".json");
        EXPECT_TRUE(files::writeAtomically(path, encodeEnvelope(envelope), 0600));
        return path;
    }

    void drain() {
        cli::drainPass(root, store,
                         {[&](const store::CompanionSnapshot& s) { published.push_back(s); },
                          [&](const std::string& id, std::string_view detail, bool ok) {
                              rows[id] = {std::string(detail), ok};
                          }});
    }
};

}  // namespace

TEST_F(Inbox, OneRunIsOneFileWithItsEventsInOrder) {
    auto path = cli::prepareInbox(root, "work").value();
    auto events = std::vector{runningTask("work", "t1"), runningTask("work", "t2")};
    ASSERT_TRUE(cli::writeEvents(path, events, now));
    ASSERT_TRUE(cli::writeEvents(path, {}, now));  // no events, no file
    std::vector<fs::path> written(fs::directory_iterator(path), fs::directory_iterator{});
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(fs::status(written[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    auto bytes = files::read(written[0]).value();
    auto envelopes = cli::decodeEventFile(bytes).value();
    ASSERT_EQ(envelopes.size(), 2u);
    EXPECT_EQ(written[0].filename().string(), envelopes[0].id + ".json");
    EXPECT_NE(envelopes[0].id, envelopes[1].id);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(envelopes[i].event, events[i]);
        EXPECT_EQ(envelopes[i].recordedAt, now);
    }
    // The top level is the first event's envelope as before, so a reader of single envelopes
    // still takes the first event.
    EXPECT_EQ(decodeEnvelope(bytes).value(), envelopes[0]);
}

TEST_F(Inbox, EventFileDecoding) {
    auto a = ProviderEventEnvelope::make(runningTask("work", "a"), now);
    auto b = ProviderEventEnvelope::make(runningTask("work", "b"), now);
    Json single = a;
    Json pair = a;
    pair["following"] = Json::array({b});
    Json tooMany = a;
    tooMany["following"] = Json::array();
    for (std::size_t i = 1; i < cli::maxEventsPerFile + 1; ++i) tooMany["following"].push_back(b);
    Json most = tooMany;
    most["following"].erase(most["following"].size() - 1);

    EXPECT_EQ(cli::decodeEventFile(single.dump()).value(), std::vector{a});
    EXPECT_EQ(cli::decodeEventFile(pair.dump()).value(), (std::vector{a, b}));
    EXPECT_EQ(cli::decodeEventFile(most.dump()).value().size(), cli::maxEventsPerFile);
    Json nullFollowing = a;
    nullFollowing["following"] = nullptr;
    EXPECT_EQ(cli::decodeEventFile(nullFollowing.dump()).value(), std::vector{a});
    EXPECT_EQ(cli::decodeEventFile(cli::encodeEventFile({a, b})).value(), (std::vector{a, b}));

    Json notArray = a;
    notArray["following"] = Json(b);
    Json badMember = a;
    badMember["following"] = Json::array({b, Json{{"id", "x"}}});
    for (const auto& bad : std::vector<Json>{notArray, badMember, tooMany, Json::array({a}), Json(b)["event"]}) {
        auto decoded = cli::decodeEventFile(bad.dump());
        ASSERT_FALSE(decoded) << bad.dump().substr(0, 80);
        EXPECT_EQ(decoded.error().code, json::DocumentError::invalidShape) << bad.dump().substr(0, 80);
    }
    auto truncated = cli::decodeEventFile("{");
    ASSERT_FALSE(truncated);
    EXPECT_EQ(truncated.error().code, json::DocumentError::invalidJSON);
    EXPECT_TRUE(truncated.error().detail.starts_with("The given data was not valid JSON: ")) << truncated.error().detail;
}

TEST_F(Inbox, WriterFailures) {
    auto code = [](const auto& result) { return result ? cli::InboxWriteError{-1} : result.error().code; };
    EXPECT_EQ(code(cli::prepareInbox(std::nullopt, "work")), cli::InboxWriteError::noApplicationSupport);
    test::writeText(root / "claude", "");  // a file where the folder should be
    EXPECT_EQ(code(cli::prepareInbox(root, "work")), cli::InboxWriteError::folderCreationFailed);
    fs::remove(root / "claude");
    auto path = cli::prepareInbox(root, "work").value();
    test::FileSizeLimit limit(10);
    EXPECT_EQ(code(cli::writeEvents(path, {runningTask("work", "t1")}, now)),
              cli::InboxWriteError::writeFailed);
    EXPECT_TRUE(fs::is_empty(path));  // no temporary left behind

    // A file the drain would delete unread is not written at all.
    EXPECT_EQ(code(cli::writeEvents(path, {runningTask("work", std::string(cli::maxEventFileBytes, 't'))}, now)),
              cli::InboxWriteError::tooLarge);
    EXPECT_TRUE(fs::is_empty(path));
}

TEST_F(Inbox, AppliesDeletesAndReportsPerAccount) {
    drop("work", runningTask("work", "t1"));
    drop("home", runningTask("home", "t2"));
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_TRUE(fs::is_empty(inbox("home")));
    auto stored = store.snapshot().value();
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
    test::writeText(inbox("work") / "at-cap.json", padded(cli::maxEventFileBytes));
    test::writeText(inbox("work") / "over-cap.json", padded(cli::maxEventFileBytes + 1));
    ASSERT_EQ(::mkfifo((inbox("work") / "fifo.json").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", inbox("work") / "endless.json");
    drain();
    for (auto name : {"at-cap.json", "over-cap.json", "fifo.json", "endless.json"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(inbox("work") / name))) << name;
    EXPECT_EQ(store.snapshot().value().tasksByID.size(), 1u);
    EXPECT_TRUE(store.snapshot().value().tasksByID.contains("claude:work:t-" + std::to_string(cli::maxEventFileBytes)));
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

// A permission request of the first version: the task and its approval as two files with
// one recorded time, here with names chosen so that the approval comes first by name, after a
// Stop of the same session. Whatever order the folder lists them in, the approval is applied
// after its task and stays.
TEST_F(Inbox, ApprovalWrittenAfterItsTaskIsAppliedAfterItWhateverTheNames) {
    auto task = [](TaskState state, Date at) {
        return NormalizedProviderEvent::task(
            TaskSnapshot{"s1", std::nullopt, "work", AIProvider::claude, "Claude task", state, at});
    };
    auto approval = NormalizedProviderEvent::pendingAction(PendingAction{
        "s1-permission", std::nullopt, "s1", "work", AIProvider::claude, PendingActionKind::command, now + 1});
    struct Case {
        const char *stop, *request, *action;
    } namings[] = {{"c", "b", "a"}, {"a", "c", "b"}, {"b", "a", "c"}, {"c", "a", "b"}};
    for (const auto& naming : namings) {
        test::TempDir fresh;
        store::CompanionSnapshotStore freshStore{fresh / "snapshot-v1.json", [] { return now; }};
        auto write = [&](const char* name, const NormalizedProviderEvent& event, Date at) {
            auto envelope = ProviderEventEnvelope::make(event, at);
            EXPECT_TRUE(files::writeAtomically(cli::prepareInbox(root, "work").value() / (std::string(name) + ".json"),
                                   encodeEnvelope(envelope), 0600));
        };
        write(naming.stop, task(TaskState::completed, now), now);
        write(naming.request, task(TaskState::waitingApproval, now + 1), now + 1);
        write(naming.action, approval, now + 1);
        cli::drainPass(root, freshStore, {[](const store::CompanionSnapshot&) {}, [](auto&&...) {}});
        auto stored = freshStore.snapshot().value();
        auto label = std::string(naming.stop) + naming.request + naming.action;
        EXPECT_TRUE(fs::is_empty(inbox("work"))) << label;
        EXPECT_EQ(stored.tasksByID.at("claude:work:s1").state, TaskState::waitingApproval) << label;
        EXPECT_TRUE(stored.pendingActionsByID.contains("claude:work:s1-permission")) << label;
    }
}

// Runs of different hooks are applied in the order they happened, not the listing order: the
// approval of an earlier request goes when a later prompt is submitted, and comes back with a
// later request.
TEST_F(Inbox, FilesOfSeveralRunsAreAppliedInRecordedOrder) {
    auto task = [](TaskState state, Date at) {
        return NormalizedProviderEvent::task(
            TaskSnapshot{"s1", std::nullopt, "work", AIProvider::claude, "Claude task", state, at});
    };
    auto approval = [](Date at) {
        return NormalizedProviderEvent::pendingAction(PendingAction{
            "s1-permission", std::nullopt, "s1", "work", AIProvider::claude, PendingActionKind::command, at});
    };
    auto run = [&](const char* name, std::vector<NormalizedProviderEvent> events, Date at) {
        std::vector<ProviderEventEnvelope> envelopes;
        for (auto& e : events) envelopes.push_back(ProviderEventEnvelope::make(std::move(e), at));
        EXPECT_TRUE(files::writeAtomically(cli::prepareInbox(root, "work").value() / (std::string(name) + ".json"),
                               cli::encodeEventFile(envelopes), 0600));
    };
    // Named against their order.
    run("d", {task(TaskState::completed, now)}, now);
    run("c", {task(TaskState::waitingApproval, now + 1), approval(now + 1)}, now + 1);
    run("b", {task(TaskState::running, now + 2)}, now + 2);  // the next prompt: the approval was denied
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_EQ(store.snapshot().value().tasksByID.at("claude:work:s1").state, TaskState::running);
    EXPECT_TRUE(store.snapshot().value().pendingActionsByID.empty());
    EXPECT_EQ(published.size(), 3u);  // one result per file

    run("a", {task(TaskState::waitingApproval, now + 3), approval(now + 3)}, now + 3);
    drain();
    EXPECT_EQ(store.snapshot().value().pendingActionsByID.at("claude:work:s1-permission").requestedAt, now + 3);
}

TEST_F(Inbox, FileWithAnEventOfAnotherAccountIsRejectedWhole) {
    auto mine = ProviderEventEnvelope::make(runningTask("work", "t1"), now);
    auto theirs = ProviderEventEnvelope::make(runningTask("home", "t2"), now);
    auto path = cli::prepareInbox(root, "work").value() / (mine.id + ".json");
    EXPECT_TRUE(files::writeAtomically(path, cli::encodeEventFile({mine, theirs}), 0600));
    drain();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(snapshotFile));
    EXPECT_TRUE(rows.empty());
}

TEST_F(Inbox, DuplicateEnvelopeIsAppliedOnceAndBothFilesGo) {
    auto original = drop("work", runningTask("work", "t1"));
    fs::copy_file(original, inbox("work") / "copy.json");
    drain();
    EXPECT_TRUE(fs::is_empty(inbox("work")));
    EXPECT_EQ(store.snapshot().value().processedEventIDs.size(), 1u);
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
    EXPECT_EQ(store.snapshot().value().tasksByID.size(), 2u);
    EXPECT_EQ(rows["Claude/work"], std::make_pair(std::string("Read-only quota and task state updated"), true));
}

TEST_F(Inbox, NothingToDrainIsQuiet) {
    cli::drainPass(std::nullopt, store, {});
    drain();  // no claude folder yet
    EXPECT_TRUE(published.empty());
    EXPECT_FALSE(fs::exists(snapshotFile));
}

TEST_F(Inbox, PassRemovesOnlyStaleTemporariesOfEventFiles) {
    // What a hook killed between writing and renaming leaves, next to things that are not that.
    const std::string uuid = "8C3D2A71-0B4E-4F6A-9D1C-5E7F8A9B0C1D";
    const std::string event = "1B2C3D4E-5F60-4718-8293-A4B5C6D7E8F9.json";
    const struct {
        std::string name;
        double age;
        bool removed;
    } cases[] = {
        {"." + event + "." + uuid + ".tmp", 600, true},
        {"." + event + "." + uuid + ".tmp", 30, false},  // a hook may be writing it now
        {".notes.txt." + uuid + ".tmp", 600, false},     // not an event file's
        {"." + event + ".8c3d2a71-0b4e-4f6a-9d1c-5e7f8a9b0c1d.tmp", 600, false},
        {"." + event + ".tmp", 600, false},
        {".hidden.json", 600, false},
    };
    auto folder = cli::prepareInbox(root, "work").value();
    for (const auto& c : cases) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        test::writeText(folder / c.name, "{\"id\":");
        auto at = (now - c.age).unix();
        struct timespec times[2] = {{static_cast<time_t>(at), 0}, {static_cast<time_t>(at), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (folder / c.name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        cli::drainPass(root, store, {[](const store::CompanionSnapshot&) {}, [](auto&&...) {}, {}, [] { return now; }});
        EXPECT_EQ(fs::exists(folder / c.name), !c.removed) << c.name << " " << c.age;
    }
    // A folder or a link of that name is left alone; so is everything without a clock.
    fs::remove_all(folder);
    fs::create_directories(folder / ("." + event + "." + uuid + ".tmp"));
    fs::create_symlink("/etc/hostname", folder / ("." + event + ".9C3D2A71-0B4E-4F6A-9D1C-5E7F8A9B0C1D.tmp"));
    drain();
    cli::drainPass(root, store, {[](const store::CompanionSnapshot&) {}, [](auto&&...) {}, {}, [] { return now + 3600; }});
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 2);
}

TEST_F(Inbox, StopRequestEndsThePassBetweenFilesAndLosesNothing) {
    const int total = 40;
    for (int i = 0; i < total; ++i) {
        auto envelope = ProviderEventEnvelope::make(runningTask("work", "t" + std::to_string(i)), now + i);
        ASSERT_TRUE(files::writeAtomically(cli::prepareInbox(root, "work").value() / (envelope.id + ".json"),
                                           encodeEnvelope(envelope), 0600));
    }
    drop("home", runningTask("home", "h1"));
    // The request arrives while the tenth file is applied.
    int applied = 0;
    cli::DrainHandler handler{[&](const store::CompanionSnapshot&) { ++applied; }, [](auto&&...) {},
                              [&] { return applied >= 10; }, [] { return now; }};
    cli::drainPass(root, store, handler);
    EXPECT_EQ(applied, 10);
    auto stored = store.snapshot().value();
    EXPECT_EQ(stored.tasksByID.size(), 10u);
    // Whichever account came first, the applied files are the earliest of their inbox.
    const bool homeFirst = stored.tasksByID.contains("claude:home:h1");
    const int workApplied = homeFirst ? 9 : 10;
    for (int i = 0; i < workApplied; ++i)
        EXPECT_TRUE(stored.tasksByID.contains("claude:work:t" + std::to_string(i))) << i;
    auto waiting = [&](const std::string& account) {
        return std::distance(fs::directory_iterator(inbox(account)), fs::directory_iterator{});
    };
    EXPECT_EQ(waiting("work"), total - workApplied);
    EXPECT_EQ(waiting("home"), homeFirst ? 0 : 1);

    // The next start takes up the rest, in order, each once.
    store::CompanionSnapshotStore next{snapshotFile, [] { return now; }};
    cli::drainPass(root, next, {[](const store::CompanionSnapshot&) {}, [](auto&&...) {}});
    stored = next.snapshot().value();
    EXPECT_EQ(stored.tasksByID.size(), static_cast<std::size_t>(total + 1));
    EXPECT_EQ(stored.processedEventIDs.size(), static_cast<std::size_t>(total + 1));
    EXPECT_EQ(waiting("work"), 0);
    EXPECT_EQ(waiting("home"), 0);
}
