// The approval observer's WebSocket client against a fake shared app-server on a Unix socket:
// no daemon, a daemon that appears, live waits, requests to us, oversized messages, a connection
// dropped in the middle of a snapshot.
#include "runtime/codex_approval_observer.hpp"

#include <gtest/gtest.h>

#include <set>

#include "codex_fake_daemon.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

struct Observed {
    std::vector<ApprovalWatchStatus> statuses;
    int waitsCalls = 0;
    std::unique_ptr<runtime::CodexApprovalObserver> observer;

    Observed(const fs::path& codexHome, double timeScale) {
        runtime::CodexApprovalObserver::Options o;
        o.timeScale = timeScale;
        observer = std::make_unique<runtime::CodexApprovalObserver>(codexHome, o);
        observer->start([this] { ++waitsCalls; }, [this](ApprovalWatchStatus s) { statuses.push_back(s); });
    }
    std::set<std::string> waitIDs() const {
        std::set<std::string> out;
        for (const auto& [id, w] : observer->waits()) out.insert(id);
        return out;
    }
    bool is(ApprovalWatchStatus s) const { return observer->status() == s; }
};

// Everything the observer ever sent must be an allowed request or `initialized`; nothing it sent
// may answer one of the daemon's requests.
void expectOnlyReadOnlyTraffic(const std::vector<Json>& received) {
    ASSERT_FALSE(received.empty());
    for (const auto& m : received) {
        SCOPED_TRACE(m.dump());
        ASSERT_TRUE(m.contains("method") && m["method"].is_string());
        auto method = m["method"].get<std::string>();
        EXPECT_TRUE(ReadOnlyAppServerMessage::isAllowedRequest(method) ||
                    ReadOnlyAppServerMessage::isAllowedNotification(method));
        EXPECT_FALSE(m.contains("result") || m.contains("error"));
    }
}

struct ApprovalObserverShell : ::testing::Test {
    TempDir dir;
    fs::path codexHome = dir / "codex-home";
    void SetUp() override {
        qtApplication();
        fs::create_directories(codexHome);
    }
    fs::path link() const { return runtime::CodexApprovalObserver::socketPath(codexHome); }
};

TEST_F(ApprovalObserverShell, QuietWithoutADaemonThenPicksUpOneBehindALongPath) {
    // A CODEX_HOME deeper than a socket address can hold.
    codexHome = dir / std::string(60, 'h') / std::string(60, 'o') / "codex";
    fs::create_directories(codexHome);
    ASSERT_GT(link().native().size(), 108u);
    Observed o(codexHome, 0.02);
    ASSERT_TRUE(runUntil([&] { return o.observer->status().has_value(); }));
    EXPECT_EQ(o.statuses, std::vector{ApprovalWatchStatus::notRunning});
    EXPECT_TRUE(o.observer->settled());
    EXPECT_TRUE(o.observer->waits().empty());

    FakeCodexDaemon daemon(dir / "daemon.sock", link());
    ASSERT_TRUE(daemon.listening());
    daemon.setThread(codexThread("t-1", waitingOnApproval, false, "Deploy the site"));
    daemon.setThread(codexThread("t-title", waitingOnApproval, /*ephemeral=*/true));
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::watching) && o.observer->settled(); }));
    EXPECT_EQ(o.waitIDs(), std::set<std::string>{"t-1"});
    EXPECT_EQ(o.observer->waits().at("t-1").title, "Deploy the site");
    // Still one row for all the failed attempts before.
    EXPECT_EQ(o.statuses, (std::vector{ApprovalWatchStatus::notRunning, ApprovalWatchStatus::watching}));
}

TEST_F(ApprovalObserverShell, LiveWaitsAndRequestsToUsNeverAnswered) {
    FakeCodexDaemon daemon(dir / "daemon.sock", link());
    daemon.setThread(codexThread("t-1", idleStatus));
    daemon.setThread(codexThread("t-eph", idleStatus, true));
    Observed o(codexHome, 1.0);
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::watching) && o.observer->settled(); }));
    EXPECT_TRUE(o.observer->waits().empty());

    daemon.send(statusChanged("t-1", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return o.waitIDs() == std::set<std::string>{"t-1"}; }));

    // What Codex sends a responder; with both an id and a method, it is a request to us.
    daemon.send({{"id", 0},
                 {"method", "item/commandExecution/requestApproval"},
                 {"params", {{"threadId", "t-1"}, {"itemId", "call-1"}, {"command", "rm -rf build"}}}});
    daemon.send({{"id", "srv-2"}, {"method", "thread/status/changed"}, {"params", {{"threadId", "t-1"}, {"status", idleStatus}}}});
    daemon.send(statusChanged("t-eph", waitingOnApproval));
    daemon.send({{"method", "thread/started"}, {"params", {{"thread", codexThread("t-2", activeNoFlags)}}}});
    daemon.send(statusChanged("t-2", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return o.waitIDs() == std::set<std::string>{"t-1", "t-2"}; }));

    daemon.send(statusChanged("t-1", activeNoFlags));
    daemon.send({{"method", "thread/closed"}, {"params", {{"threadId", "t-2"}}}});
    ASSERT_TRUE(runUntil([&] { return o.observer->waits().empty(); }));

    // Round trip once more, so anything the observer might have sent in reply has arrived.
    daemon.send(statusChanged("t-1", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return o.waitIDs() == std::set<std::string>{"t-1"}; }));
    expectOnlyReadOnlyTraffic(daemon.received());
    std::vector<std::string> methods;
    for (const auto& m : daemon.received()) methods.push_back(m["method"]);
    EXPECT_EQ(methods, (std::vector<std::string>{"initialize", "initialized", "thread/loaded/list", "thread/read",
                                                 "thread/read"}));

    // The daemon goes away: what it reported goes with it.
    daemon.stop();
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::sessionEnded); }));
    EXPECT_TRUE(o.observer->waits().empty());
    EXPECT_TRUE(o.observer->settled());
}

TEST_F(ApprovalObserverShell, AMessageOverTheAnnouncedSizeClosesTheConnection) {
    FakeCodexDaemon daemon(dir / "daemon.sock", link(), /*maxBytes=*/4096);
    daemon.setThread(codexThread("t-1", waitingOnApproval));
    Observed o(codexHome, 0.02);
    ASSERT_TRUE(runUntil([&] { return o.waitIDs() == std::set<std::string>{"t-1"} && o.observer->settled(); }));

    daemon.command({{"cmd", "sendBig"}, {"size", 4096}});  // exactly the limit: fine
    daemon.send(statusChanged("t-1", idleStatus));
    ASSERT_TRUE(runUntil([&] { return o.observer->waits().empty(); }));
    EXPECT_EQ(daemon.count("connected"), 1u);

    daemon.send(statusChanged("t-1", waitingOnApproval));
    ASSERT_TRUE(runUntil([&] { return !o.observer->waits().empty(); }));
    daemon.command({{"cmd", "sendBig"}, {"size", 4097}});
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::tooLarge); }));
    EXPECT_TRUE(o.observer->waits().empty());
    ASSERT_TRUE(runUntil([&] { return daemon.count("disconnected") >= 1; }));
    // It comes back, and the snapshot finds the wait again.
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::watching) && !o.observer->waits().empty(); }));
    EXPECT_EQ(daemon.count("connected"), 2u);
}

TEST_F(ApprovalObserverShell, AConnectionDroppedMidSnapshotIsRetried) {
    FakeCodexDaemon daemon(dir / "daemon.sock", link());
    daemon.setThread(codexThread("t-1", waitingOnApproval));
    daemon.command({{"cmd", "closeOn"}, {"method", "thread/read"}});
    Observed o(codexHome, 0.02);
    ASSERT_TRUE(runUntil([&] { return daemon.count("disconnected") >= 1; }));
    ASSERT_TRUE(runUntil([&] { return o.is(ApprovalWatchStatus::watching) && o.observer->settled() &&
                                      !o.observer->waits().empty(); }));
    EXPECT_EQ(daemon.count("connected"), 2u);
    EXPECT_NE(std::find(o.statuses.begin(), o.statuses.end(), ApprovalWatchStatus::sessionEnded), o.statuses.end());
    expectOnlyReadOnlyTraffic(daemon.received());
}

TEST_F(ApprovalObserverShell, ARefusedHandshakeIsShown) {
    FakeCodexDaemon daemon(dir / "daemon.sock", link());
    daemon.command({{"cmd", "rejectInitialize"}});
    Observed o(codexHome, 1.0);
    ASSERT_TRUE(runUntil([&] { return o.observer->status().has_value(); }));
    EXPECT_EQ(o.statuses, std::vector{ApprovalWatchStatus::refused});
    o.observer->stop();  // silent, and the I/O thread is gone
    EXPECT_EQ(o.statuses, std::vector{ApprovalWatchStatus::refused});
}

}  // namespace
