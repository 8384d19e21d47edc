#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QVariant>

#include "model/files.hpp"
#include "cli/claude_inbox.hpp"
#include "runtime/claude_code_runtime_side.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "qt.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromReference(800000000);

NormalizedProviderEvent task(std::string id, TaskState state = TaskState::running) {
    return NormalizedProviderEvent::task(
        TaskSnapshot{std::move(id), std::nullopt, "work", AIProvider::claude, "Claude task", state, now});
}

// Runs the event loop until `signal` fires (the guard timer only keeps a broken build from hanging).
template <class Signal>
void waitFor(runtime::ProviderRuntimeController& c, Signal signal) {
    QEventLoop loop;
    QObject::connect(&c, signal, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Controller : ::testing::Test {
    test::TempDir dir;
    fs::path data = dir / "data";
    fs::path snapshotFile = data / "VigilorbCompanion" / "snapshot-v1.json";
    std::vector<store::CompanionSnapshot> sent;

    runtime::ProviderRuntimeOptions options(std::optional<std::string> path = std::nullopt) {
        test::qtApplication();
        runtime::ProviderRuntimeOptions o;
        o.environment = [this, path](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "XDG_DATA_HOME") return data.string();
            if (std::string(name) == "PATH") return path;
            return std::nullopt;
        };
        o.clock = [] { return now; };
        o.claudeCLIFallbackFolders = {};
        o.sides = {};
        o.executablePath = [] { return fs::path("/usr/bin/vigilorb-companion"); };
        o.claudeInboxPeriod = std::chrono::milliseconds(10);
        return o;
    }
    std::unique_ptr<runtime::ProviderRuntimeController> make(runtime::ProviderRuntimeOptions o) {
        auto c = std::make_unique<runtime::ProviderRuntimeController>(std::move(o));
        c->setPublishSink([this](const store::CompanionSnapshot& s) { sent.push_back(s); });
        return c;
    }
};

std::vector<std::string> ids(const runtime::ProviderRuntimeController& c) {
    std::vector<std::string> out;
    for (const auto& row : c.accountStatuses()) out.push_back(row.id);
    return out;
}

}  // namespace

TEST_F(Controller, InitialPublishedValues) {
    auto c = make(options());
    EXPECT_EQ(c->snapshot(), store::CompanionSnapshot{});
    EXPECT_TRUE(c->accountStatuses().empty());
    EXPECT_EQ(c->codexSummary(), "Waiting for local capture to start");
    EXPECT_FALSE(c->codexIsHealthy());
    EXPECT_EQ(c->claudeSummary(), "Detecting the local CLI…");
    EXPECT_FALSE(c->claudeDesktopObserverEnabled());
    EXPECT_EQ(c->claudeDesktopObserverStatus(), "Not enabled");
    EXPECT_EQ(c->property("claudeSummary").toString(), QString::fromUtf8("Detecting the local CLI…"));
}

TEST_F(Controller, StatusRowsAreSortedAndReplacedByID) {
    auto c = make(options());
    c->setAccountStatus("b", "one", true);
    c->setAccountStatus("Claude/a", "two", true);
    c->setAccountStatus("a", "three", true);
    EXPECT_EQ(ids(*c), (std::vector<std::string>{"Claude/a", "a", "b"}));
    c->setAccountStatus("a", "again", false);
    EXPECT_EQ(ids(*c), (std::vector<std::string>{"Claude/a", "a", "b"}));
    EXPECT_EQ(c->accountStatus("a")->detail, "again");
    EXPECT_FALSE(c->accountStatus("a")->isHealthy);
}

TEST_F(Controller, StartUpPublishesTheStoredSnapshotAndDetectsTheCLI) {
    store::CompanionSnapshot stored;
    stored.applyEvent(ProviderEventEnvelope::make(task("t0"), now));
    fs::create_directories(snapshotFile.parent_path());
    EXPECT_TRUE(files::writeAtomically(snapshotFile, store::encodeSnapshot(stored)));
    test::writeText(dir / "bin" / "claude", "#!/bin/sh\n");
    fs::permissions(dir / "bin" / "claude", fs::perms::owner_all);

    auto c = make(options((dir / "bin").string()));
    waitFor(*c, &runtime::ProviderRuntimeController::startedUp);
    EXPECT_EQ(c->snapshot(), stored);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), stored);
    EXPECT_EQ(c->claudeSummary(), "Claude CLI detected · Ready to prepare an isolated connector");

    auto without = make(options());
    waitFor(*without, &runtime::ProviderRuntimeController::startedUp);
    EXPECT_EQ(without->claudeSummary(), "Claude CLI not detected · You can prepare an isolated connector");
}

TEST_F(Controller, SnapshotThatCannotLoadIsMovedAsideAtStartAndSaid) {
    test::writeText(snapshotFile, "{broken");
    // Left by a process killed between writing and renaming, ten minutes ago.
    auto stale = snapshotFile.parent_path() / ".snapshot-v1.json.5E7F8A9B-0C1D-4F6A-9D1C-8C3D2A710B4E.tmp";
    test::writeText(stale, "{");
    fs::last_write_time(stale, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(
                                   std::chrono::seconds(static_cast<long long>(now.unix()) - 600))));
    auto c = make(options());
    waitFor(*c, &runtime::ProviderRuntimeController::startedUp);
    EXPECT_FALSE(fs::exists(stale));

    const std::string asideName = "snapshot-v1.json.unreadable-20260509T061320Z";  // the clock's time
    EXPECT_EQ(test::readText(snapshotFile.parent_path() / asideName), "{broken");
    ASSERT_NE(c->accountStatus(runtime::snapshotFileStatusID), nullptr);
    EXPECT_EQ(c->accountStatus(runtime::snapshotFileStatusID)->detail,
              "Unreadable snapshot moved aside as " + asideName + "; started empty");
    EXPECT_FALSE(c->accountStatus(runtime::snapshotFileStatusID)->isHealthy);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.front(), store::CompanionSnapshot{});

    c->recordEvents({task("t1")}, "Claude/work");
    EXPECT_EQ(c->accountStatus("Claude/work")->detail, "Read-only quota and task state updated");
    EXPECT_TRUE(store::decodeSnapshot(test::readText(snapshotFile)).value().tasksByID.contains("claude:work:t1"));
}

TEST_F(Controller, SnapshotThatMayYetLoadWaitsUntilMovedAsideOnRequest) {
    // A symbolic link to itself cannot be followed; like a file this user may not read, it is
    // not judged unusable, so the store waits and says so.
    fs::create_directories(snapshotFile.parent_path());
    fs::create_symlink(snapshotFile.filename(), snapshotFile);
    auto c = make(options());
    waitFor(*c, &runtime::ProviderRuntimeController::startedUp);
    EXPECT_TRUE(sent.empty());
    ASSERT_NE(c->accountStatus(runtime::snapshotFileStatusID), nullptr);
    EXPECT_EQ(c->accountStatus(runtime::snapshotFileStatusID)->detail,
              "Snapshot file cannot be read; events wait until it can be read or is moved aside");
    c->recordEvents({task("t1")}, "Claude/work");
    EXPECT_EQ(c->accountStatus("Claude/work")->detail, "Could not save the normalized snapshot");
    EXPECT_TRUE(fs::is_symlink(snapshotFile));

    EXPECT_TRUE(c->moveUnreadableSnapshotAside());
    EXPECT_EQ(sent.back(), store::CompanionSnapshot{});
    EXPECT_TRUE(c->accountStatus(runtime::snapshotFileStatusID)->detail.starts_with("Unreadable snapshot moved aside as "));
    c->recordEvents({task("t1")}, "Claude/work");
    EXPECT_TRUE(c->snapshot().tasksByID.contains("claude:work:t1"));
    EXPECT_FALSE(c->moveUnreadableSnapshotAside());  // the new file loads
}

TEST_F(Controller, RecordEventsPublishesEveryResultAndStopsAtTheFirstFailure) {
    auto c = make(options());
    c->recordEvents({task("t1"), task("t2")}, "Claude/work");
    EXPECT_EQ(c->snapshot().tasksByID.size(), 2u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.back(), c->snapshot());
    EXPECT_EQ(c->accountStatus("Claude/work")->detail, "Read-only quota and task state updated");
    EXPECT_TRUE(c->accountStatus("Claude/work")->isHealthy);

    // Unchanged results are published too.
    c->recordEvents({task("t1")}, "Claude/work");
    EXPECT_EQ(sent.size(), 2u);

    // The first event fails to save: the second is never applied.
    auto before = test::readText(snapshotFile);
    {
        test::FileSizeLimit limit(before.size());
        c->recordEvents({task("t3"), NormalizedProviderEvent::task(TaskSnapshot{
                                         "t4", std::nullopt, "work", AIProvider::claude, "x", TaskState::running, now})},
                        "Claude/work");
    }
    EXPECT_EQ(c->accountStatus("Claude/work")->detail, "Could not save the normalized snapshot");
    EXPECT_FALSE(c->accountStatus("Claude/work")->isHealthy);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(test::readText(snapshotFile), before);
    EXPECT_FALSE(c->store().snapshot().value().tasksByID.contains("claude:work:t4"));
}

TEST_F(Controller, InboxTaskDrainsRepeatedly) {
    auto c = make(options());
    waitFor(*c, &runtime::ProviderRuntimeController::claudeInboxDrained);
    auto inbox = cli::prepareInbox(data / "VigilorbCompanion" / "Profiles", "work").value();
    ASSERT_TRUE(cli::writeEvents(inbox, {task("t1")}, now));
    waitFor(*c, &runtime::ProviderRuntimeController::claudeInboxDrained);
    EXPECT_TRUE(fs::is_empty(inbox));
    EXPECT_TRUE(c->snapshot().tasksByID.contains("claude:work:t1"));
    EXPECT_EQ(c->accountStatus("Claude/work")->detail, "Read-only quota and task state updated");
    EXPECT_EQ(sent.back(), c->snapshot());
}

// A hook run is applied when its file lands, not a period later; accounts and inboxes that
// appear after start-up are watched too.
TEST_F(Controller, InboxIsDrainedWhenAFileLandsWithoutWaitingForThePeriod) {
    auto o = options();
    o.claudeInboxPeriod = std::chrono::hours(1);
    auto c = make(std::move(o));
    waitFor(*c, &runtime::ProviderRuntimeController::claudeInboxDrained);
    const auto profiles = data / "VigilorbCompanion" / "Profiles";
    for (const auto& [account, id] : {std::pair{"work", "claude:work:t1"}, std::pair{"home", "claude:home:t2"}}) {
        auto inbox = cli::prepareInbox(profiles, account).value();
        ASSERT_TRUE(cli::writeEvents(inbox, {NormalizedProviderEvent::task(TaskSnapshot{
                                                std::string(id).substr(std::string(id).rfind(':') + 1), std::nullopt,
                                                account, AIProvider::claude, "Claude task", TaskState::running, now})},
                                     now));
        QDeadlineTimer deadline(30000);
        while (!c->snapshot().tasksByID.contains(id) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        EXPECT_TRUE(c->snapshot().tasksByID.contains(id)) << account;
        EXPECT_TRUE(fs::is_empty(inbox)) << account;
    }
}

TEST_F(Controller, PrepareConnectorSetsRowAndSummary) {
    auto c = make(options());
    c->side<runtime::ClaudeCodeRuntimeSide>()->prepareConnector(" work ");
    EXPECT_EQ(c->accountStatus("Claude/work")->detail,
              "Local Status Line and Hooks installed. Launch Claude with this CLAUDE_CONFIG_DIR");
    EXPECT_EQ(c->claudeSummary(), "Isolated Claude connector is ready");
    auto settings = Json::parse(test::readText(data / "VigilorbCompanion" / "Profiles" / "claude" / "work" / "settings.json"));
    EXPECT_EQ(settings["statusLine"]["command"], "'/usr/bin/vigilorb-companion' --claude-statusline work");

    c->setClaudeSummary("unchanged");
    c->side<runtime::ClaudeCodeRuntimeSide>()->prepareConnector("a/b");
    EXPECT_EQ(c->accountStatus("Claude/a/b")->detail,
              "Account IDs may contain only letters, numbers, hyphens, and underscores");
    EXPECT_EQ(c->claudeSummary(), "unchanged");
}

namespace {
struct RecordingSide : runtime::ProviderRuntimeSide {
    std::vector<std::string>* log;
    explicit RecordingSide(std::vector<std::string>* l) : log(l) {}
    void startUp() override { log->push_back("startUp"); }
    bool handleRecordedEvents(const std::vector<NormalizedProviderEvent>&, const std::string& id) override {
        log->push_back("recorded " + id);
        return id == "codex-account";
    }
};
}  // namespace

TEST_F(Controller, SidesStartUpAndMayClaimRecordedBatches) {
    std::vector<std::string> log;
    auto o = options();
    o.sides = {[&](runtime::ProviderRuntimeController&) { return std::make_unique<RecordingSide>(&log); }};
    auto c = make(std::move(o));
    EXPECT_TRUE(c->side<RecordingSide>());
    waitFor(*c, &runtime::ProviderRuntimeController::startedUp);
    c->recordEvents({task("t1")}, "codex-account");
    c->recordEvents({task("t2")}, "Claude/work");
    EXPECT_EQ(log, (std::vector<std::string>{"startUp", "recorded codex-account", "recorded Claude/work"}));
    EXPECT_EQ(c->accountStatus("codex-account"), nullptr);
    EXPECT_NE(c->accountStatus("Claude/work"), nullptr);
}

#include "runtime/qsettings_preferences.hpp"

TEST(QSettingsPreferences, ValuesSurviveReopeningAndKeepTheirTypes) {
    test::TempDir dir;
    auto file = QString::fromStdString((dir / "prefs.conf").string());
    {
        runtime::QSettingsPreferences p(file);
        p.setString("provider.claudeDesktopAccount.v1", "work");
        p.setBoolean("provider.claudeDesktopEnabled.v1", true);
        p.setInteger("relay.sequence.v1.mac-x", 9007199254740993LL);  // beyond a double's precision
        p.setString("provider.codexAccounts.v1", R"([{"id":"a"}])");
        p.setString("gone", "x");
        p.remove("gone");
    }
    runtime::QSettingsPreferences p(file);
    EXPECT_EQ(p.string("provider.claudeDesktopAccount.v1"), "work");
    EXPECT_EQ(p.boolean("provider.claudeDesktopEnabled.v1"), true);
    EXPECT_EQ(p.integer("relay.sequence.v1.mac-x"), 9007199254740993LL);
    EXPECT_EQ(p.string("provider.codexAccounts.v1"), R"([{"id":"a"}])");
    EXPECT_FALSE(p.string("gone"));
    EXPECT_FALSE(p.boolean("provider.claudeDesktopAccount.v1"));
    EXPECT_FALSE(p.integer("provider.claudeDesktopAccount.v1"));
}
