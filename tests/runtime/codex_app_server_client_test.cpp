#include "runtime/codex_app_server_client.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <cerrno>

#include "codex_test_support.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace vigilorb::test;
using Kind = CodexConnectionFailure::Kind;
namespace fs = std::filesystem;

namespace {

struct Recorder {
    std::vector<CodexConnectionPhase> phases;
    std::vector<std::vector<NormalizedProviderEvent>> deliveries;
    runtime::CodexAppServerClient::EventHandler events() {
        return [this](const std::vector<NormalizedProviderEvent>& e) { deliveries.push_back(e); };
    }
    runtime::CodexAppServerClient::StatusHandler status() {
        return [this](const CodexConnectionPhase& p) { phases.push_back(p); };
    }
    bool settled() const {
        return !phases.empty() && (phases.back().isFailed() || phases.back().kind == CodexConnectionPhase::Kind::connected);
    }
};

bool processGone(qint64 pid) { return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

class CodexClient : public ::testing::Test {
protected:
    TempDir dir;
    fs::path exe = installFakeCodex(dir.path());
    fs::path log = dir / "received.jsonl";

    void SetUp() override {
        qtApplication();
        qputenv("FAKE_CODEX_LOG", QByteArray::fromStdString(log.string()));
        qputenv("FAKE_CODEX_PIDFILE", QByteArray::fromStdString((dir / "pid").string()));
    }
    void TearDown() override {
        qunsetenv("FAKE_CODEX_SCENARIO");
        qunsetenv("FAKE_CODEX_LOG");
        qunsetenv("FAKE_CODEX_PIDFILE");
    }
    std::unique_ptr<runtime::CodexAppServerClient> make(Recorder& r, const char* scenario,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                               std::optional<fs::path> home = std::nullopt,
                                               std::optional<std::chrono::milliseconds> startup = std::nullopt) {
        qputenv("FAKE_CODEX_SCENARIO", scenario);
        runtime::CodexAppServerClient::Options o;
        o.requestTimeout = timeout;
        o.startupTimeout = startup;
        return std::make_unique<runtime::CodexAppServerClient>("work", home, exe, r.events(), r.status(), o);
    }
};

TEST_F(CodexClient, ConnectsReadsQuotaAndRefreshes) {
    Recorder r;
    auto client = make(r, "signedIn", std::chrono::seconds(20), dir / "profile");
    EXPECT_TRUE(client->start());
    ASSERT_TRUE(runUntil([&] { return r.settled() && !r.deliveries.empty(); }));
    EXPECT_EQ(r.phases, (std::vector{CodexConnectionPhase::starting(), CodexConnectionPhase::checkingAccount(),
                                     CodexConnectionPhase::connected()}));
    ASSERT_EQ(r.deliveries.size(), 1u);
    ASSERT_EQ(r.deliveries[0].size(), 1u);
    const auto* quota = r.deliveries[0][0].asQuota();
    ASSERT_NE(quota, nullptr);
    EXPECT_EQ(quota->windows.size(), 2u);
    EXPECT_EQ(quota->windows[0].kind, QuotaWindowKind::fiveHour);
    EXPECT_EQ(quota->windows[0].usedPercentage, 43);
    EXPECT_EQ(client->serverVersion(), "vigil-orb/0.171.0 (Debian 12.0.0; x86_64) fake");

    client->refreshRateLimits();
    ASSERT_TRUE(runUntil([&] { return r.deliveries.size() == 2; }));
    EXPECT_EQ(r.deliveries[1][0].asQuota()->windows[0].usedPercentage, 44);

    EXPECT_EQ(readText(log),
              R"({"id":1,"method":"initialize","params":{"capabilities":{"experimentalApi":false},"clientInfo":{"name":"vigil-orb","title":"Tallyloom","version":"1.9.1"}}})" "\n"
              R"({"method":"initialized","params":{}})" "\n"
              R"({"id":2,"method":"account/read","params":{"refreshToken":false}})" "\n"
              R"({"id":101,"method":"account/rateLimits/read","params":null})" "\n"
              R"({"id":102,"method":"account/rateLimits/read","params":null})" "\n");

    auto pid = *client->processID();
    client->stop();
    EXPECT_TRUE(processGone(pid));
    EXPECT_FALSE(client->isRunning());
}

TEST_F(CodexClient, PhasesAndFailuresAgainstTheFakeServer) {
    using P = CodexConnectionPhase;
    // Only the cases that end in a timeout have a short one. The initialize request's timer
    // runs while the child starts (a Python interpreter here, which on a loaded machine may
    // take longer than the short timeout): so a case whose answer to initialize matters keeps
    // the full start-up allowance, or it would end in initializationTimeout instead.
    const std::chrono::milliseconds full(20000), shortTimeout(300);
    struct Case {
        const char* scenario;
        P last;
        std::size_t deliveries;
        std::chrono::milliseconds startup, request;
    };
    const Case cases[] = {
        {"splitJoined", P::connected(), 1, full, full},
        {"pushUpdates", P::connected(), 2, full, full},
        {"bigLine", P::failed(Kind::initializationRejected), 0, full, full},
        {"hang", P::failed(Kind::initializationTimeout), 0, shortTimeout, full},
        {"hangAccount", P::failed(Kind::requestTimeout), 0, full, shortTimeout},
        {"signOut", P::failed(Kind::notLoggedIn), 0, full, full},
        {"signedOut", P::failed(Kind::notLoggedIn), 0, full, full},
        {"exit", P::failed(CodexConnectionFailure::serverExited(3)), 0, full, full},
        {"rejectInit", P::failed(Kind::initializationRejected), 0, full, full},
        {"noQuota", P::failed(Kind::quotaReadFailed), 0, full, full},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        Recorder r;
        auto client = make(r, c.scenario, c.request, std::nullopt, c.startup);
        EXPECT_TRUE(client->start());
        ASSERT_TRUE(runUntil([&] { return r.settled() && r.deliveries.size() >= c.deliveries; }));
        runUntil([] { return false; }, std::chrono::milliseconds(50));  // let stray output arrive
        EXPECT_EQ(r.phases.front(), P::starting());
        EXPECT_EQ(r.phases.back(), c.last);
        EXPECT_EQ(r.deliveries.size(), c.deliveries);
        EXPECT_EQ(client->phase(), c.last);
        auto pid = client->processID();
        client->stop();
        if (pid) {
            EXPECT_TRUE(processGone(*pid));
        }
    }
}

TEST_F(CodexClient, ATimedOutRefreshKeepsTheChildButFails) {
    Recorder r;
    // The full start-up allowance, so that only the refresh can time out.
    auto client = make(r, "hangRefresh", std::chrono::milliseconds(300), std::nullopt, std::chrono::seconds(20));
    EXPECT_TRUE(client->start());
    ASSERT_TRUE(runUntil([&] { return r.settled() && !r.deliveries.empty(); }));
    client->refreshRateLimits();
    ASSERT_TRUE(runUntil([&] { return r.phases.back().isFailed(); }));
    EXPECT_EQ(r.phases.back(), CodexConnectionPhase::failed(Kind::requestTimeout));
    EXPECT_TRUE(client->isRunning());  // the controller decides what to do with it
    EXPECT_FALSE(client->canRefresh());
}

TEST_F(CodexClient, StopIsSilentAndReapsAChildThatIgnoresTerm) {
    Recorder r;
    auto client = make(r, "ignoreTerm");
    EXPECT_TRUE(client->start());
    ASSERT_TRUE(runUntil([&] { return fs::exists(dir / "pid") && !readText(dir / "pid").empty(); }));
    auto pid = *client->processID();
    client->stop();
    EXPECT_TRUE(processGone(pid));
    runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(r.phases, std::vector{CodexConnectionPhase::starting()});  // no exit reported
    EXPECT_TRUE(client->stopped());
}

TEST_F(CodexClient, ReleasingAClientEndsItsChild) {
    Recorder r;
    auto client = make(r, "signedIn");
    EXPECT_TRUE(client->start());
    ASSERT_TRUE(runUntil([&] { return r.settled(); }));
    auto pid = *client->processID();
    client.reset();
    EXPECT_TRUE(processGone(pid));
    runUntil([] { return false; }, std::chrono::milliseconds(50));
}

TEST_F(CodexClient, LaunchFailures) {
    Recorder r;
    auto nowhere = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "PATH") return (dir / "empty").string();
        return std::nullopt;
    };
    runtime::CodexAppServerClient::Options o;
    o.environment = nowhere;
    {
        runtime::CodexAppServerClient c("work", std::nullopt, std::nullopt, r.events(), r.status(), o);
        EXPECT_TRUE(c.executablePath().empty()) << "found " << c.executablePath();
        EXPECT_EQ(c.start(), std::unexpected(CodexConnectionFailure::of(Kind::executableMissing)));
        EXPECT_FALSE(c.isRunning());
    }

    writeText(dir / "not-executable", "#!/bin/sh\n");
    writeText(dir / "bad-format", "\x7f" "ELF garbage");
    fs::permissions(dir / "bad-format", fs::perms::owner_all);
    for (auto [file, kind] : {std::pair{dir / "not-executable", Kind::launchDenied}, std::pair{dir / "bad-format", Kind::launchFailed}}) {
        Recorder rec;
        runtime::CodexAppServerClient c("work", std::nullopt, file, rec.events(), rec.status());
        EXPECT_EQ(c.start(), std::unexpected(CodexConnectionFailure::of(kind))) << file;
        EXPECT_TRUE(c.stopped());
        EXPECT_FALSE(c.isRunning());
    }
}

TEST_F(CodexClient, ExecutableIsFoundOnThePath) {
    Recorder r;
    auto env = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "PATH") return "relative:" + dir.path().string();
        return std::nullopt;
    };
    runtime::CodexAppServerClient::Options o;
    o.environment = env;
    runtime::CodexAppServerClient c("work", std::nullopt, std::nullopt, r.events(), r.status(), o);
    EXPECT_EQ(c.executablePath(), exe);
}

}  // namespace
