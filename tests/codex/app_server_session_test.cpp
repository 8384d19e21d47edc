#include "codex/app_server_session.hpp"

#include <gtest/gtest.h>

#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using Kind = CodexConnectionFailure::Kind;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const Date now = Date::fromUnix(1'800'000'000);
const char* rateLimits101 =
    R"({"id":101,"result":{"rateLimits":{"limitId":"codex","primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1796888784}}}})" "\n";

template <class T>
std::vector<T> only(const SessionEffects& effects) {
    std::vector<T> out;
    for (const auto& e : effects)
        if (auto* v = std::get_if<T>(&e)) out.push_back(*v);
    return out;
}

std::vector<CodexConnectionPhase> phases(const SessionEffects& effects) {
    std::vector<CodexConnectionPhase> out;
    for (const auto& p : only<PhaseChanged>(effects)) out.push_back(p.phase);
    return out;
}

std::vector<std::string> lines(const SessionEffects& effects) {
    std::vector<std::string> out;
    for (const auto& w : only<WriteLine>(effects)) out.push_back(w.bytes);
    return out;
}

// A session started and brought to `connected` with one quota delivery.
struct Connected {
    CodexAppServerSession session{"work"};
    Connected() {
        session.willLaunch();
        session.sendInitialize();
        session.receive(R"({"id":1,"result":{"userAgent":"vigil-orb/0.171.0"}})" "\n", now);
        session.receive(R"({"id":2,"result":{"account":{"type":"chatgpt"}}})" "\n", now);
        session.receive(rateLimits101, now);
    }
};

TEST(CodexSession, HandshakeOnTheWire) {
    CodexAppServerSession s("work");
    EXPECT_EQ(phases(s.willLaunch()), std::vector{CodexConnectionPhase::starting()});
    auto init = s.sendInitialize();
    EXPECT_EQ(lines(init), std::vector<std::string>{
                               R"({"id":1,"method":"initialize","params":{"capabilities":{"experimentalApi":false},)"
                               R"("clientInfo":{"name":"vigil-orb","title":"Tallyloom","version":"1.9.1"}}})" "\n"});
    EXPECT_EQ(only<ArmTimeout>(init), (std::vector{ArmTimeout{1, 20}}));
    EXPECT_FALSE(only<WriteLine>(init)[0].onFailure);  // a launch failure, decided by the driver

    auto afterInit = s.receive(R"({"id":1,"result":{"userAgent":")" + std::string(200, 'u') + R"("}})" "\n", now);
    EXPECT_EQ(lines(afterInit), (std::vector<std::string>{R"({"method":"initialized","params":{}})" "\n",
                                                          R"({"id":2,"method":"account/read","params":{"refreshToken":false}})" "\n"}));
    EXPECT_EQ(phases(afterInit), std::vector{CodexConnectionPhase::checkingAccount()});
    EXPECT_EQ(s.serverVersion(), std::string(160, 'u'));

    auto afterAccount = s.receive(R"({"id":2,"result":{"account":{"type":"chatgpt"}}})" "\n", now);
    EXPECT_EQ(lines(afterAccount), std::vector<std::string>{R"({"id":101,"method":"account/rateLimits/read","params":null})" "\n"});
    EXPECT_EQ(s.pendingID(), 101);

    auto afterLimits = s.receive(rateLimits101, now);
    EXPECT_EQ(phases(afterLimits), std::vector{CodexConnectionPhase::connected()});
    auto delivered = only<DeliverEvents>(afterLimits);
    ASSERT_EQ(delivered.size(), 1u);
    ASSERT_EQ(delivered[0].events.size(), 1u);
    EXPECT_EQ(delivered[0].events[0].asQuota()->windows[0].usedPercentage, 42);
    EXPECT_FALSE(s.pendingID());

    auto refresh = s.refreshRateLimits(true);
    EXPECT_EQ(lines(refresh), std::vector<std::string>{R"({"id":102,"method":"account/rateLimits/read","params":null})" "\n"});
    EXPECT_TRUE(s.refreshRateLimits(true).empty());  // one request at a time
}

TEST(CodexSession, LinesAreReassembledAcrossChunks) {
    CodexAppServerSession s("work");
    s.willLaunch();
    s.sendInitialize();
    std::string both = R"({"id":1,"result":{}})" "\n" R"({"method":"configWarning","params":{}})" "\n";
    std::string partial = R"({"id":2,"result":{"acc)";
    EXPECT_TRUE(s.receive(both.substr(0, 7), now).empty());
    auto out = s.receive(both.substr(7) + partial, now);
    EXPECT_EQ(phases(out), std::vector{CodexConnectionPhase::checkingAccount()});
    EXPECT_EQ(s.bufferedBytes(), partial.size());
    out = s.receive(R"(ount":null}})" "\n", now);
    EXPECT_EQ(phases(out), std::vector{CodexConnectionPhase::failed(Kind::notLoggedIn)});
}

TEST(CodexSession, OutputLimitIs2MiBWithoutALineFeed) {
    CodexAppServerSession s("work");
    s.willLaunch();
    s.sendInitialize();
    std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 32; ++i) ASSERT_TRUE(s.receive(chunk, now).empty());
    EXPECT_EQ(s.bufferedBytes(), maxBufferedOutput);
    auto out = s.receive("y", now);
    EXPECT_EQ(phases(out), std::vector{CodexConnectionPhase::failed(Kind::initializationRejected)});
    EXPECT_EQ(s.bufferedBytes(), 0u);
    EXPECT_TRUE(s.receive(R"({"id":1,"result":{}})" "\n", now).empty());  // failed is final
}

TEST(CodexSession, ResponsesAndFailures) {
    struct Case {
        const char* what;
        std::vector<std::string> replies;  // after initialize
        std::optional<CodexConnectionPhase> last;
    };
    const auto failed = [](Kind k) { return std::optional(CodexConnectionPhase::failed(k)); };
    const std::string init = R"({"id":1,"result":{"userAgent":"x"}})" "\n";
    const std::string account = R"({"id":2,"result":{"account":{"type":"apiKey"}}})" "\n";
    const Case cases[] = {
        {"initialize error", {R"({"id":1,"error":{"code":-32600,"message":"no"}})" "\n"}, failed(Kind::initializationRejected)},
        {"initialize without result", {R"({"id":1})" "\n"}, failed(Kind::initializationRejected)},
        {"initialize with a list result", {R"({"id":1,"result":[]})" "\n"}, failed(Kind::initializationRejected)},
        {"account error", {init, R"({"id":2,"error":{}})" "\n"}, failed(Kind::accountReadFailed)},
        {"account empty", {init, R"({"id":2,"result":{}})" "\n"}, failed(Kind::notLoggedIn)},
        {"account null (real signed-out Codex)",
         {init, R"({"id":2,"result":{"account":null,"userId":null,"requiresOpenaiAuth":true,"workspaceRouting":null}})" "\n"},
         failed(Kind::notLoggedIn)},
        {"account a string", {init, R"({"id":2,"result":{"account":"me"}})" "\n"}, failed(Kind::notLoggedIn)},
        {"rate limits error",
         {init, account, R"({"error":{"code":-32600,"message":"chatgpt authentication required to read rate limits"},"id":101})" "\n"},
         failed(Kind::quotaReadFailed)},
        {"rate limits without usable window",
         {init, account, R"({"id":101,"result":{"rateLimits":{"primary":{"windowDurationMins":300}}}})" "\n"},
         failed(Kind::quotaReadFailed)},
        {"signed out by notification", {init, R"({"method":"account/updated","params":{"authMode":null,"planType":null}})" "\n"},
         failed(Kind::notLoggedIn)},
        {"account/updated with a mode is ignored",
         {init, R"({"method":"account/updated","params":{"authMode":"chatgpt"}})" "\n"}, std::nullopt},
        {"stale and unmatched ids are ignored",
         {init, account, R"({"id":2,"result":{"account":null}})" "\n", R"({"id":"101","result":{}})" "\n",
          R"({"id":101.0,"result":{}})" "\n", R"({"id":18446744073709551615,"result":{}})" "\n"},
         std::nullopt},
        {"garbage and non-objects are ignored", {"garbage\n", "[1,2]\n", "\n", "42\n", init}, std::nullopt},
        // nlohmann's lexer stops at a NUL as at the end of a C string.
        {"a reply followed by a NUL and garbage is ignored", {init, R"({"id":2,"error":{}})" "\0garbage\n"s},
         std::nullopt},
        {"rate-limit update while checking the account is ignored",
         {init, R"({"method":"account/rateLimits/updated","params":{"rateLimits":{"primary":{"usedPercent":1}}}})" "\n"},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CodexAppServerSession s("work");
        s.willLaunch();
        s.sendInitialize();
        std::optional<CodexConnectionPhase> last;
        bool delivered = false;
        for (const auto& r : c.replies) {
            auto out = s.receive(r, now);
            for (auto& p : phases(out)) last = p;
            delivered = delivered || !only<DeliverEvents>(out).empty();
        }
        if (c.last) {
            EXPECT_EQ(last, c.last);
        } else {
            EXPECT_FALSE(last && last->isFailed());
        }
        EXPECT_FALSE(delivered);
        if (c.last && c.last->isFailed()) {
            EXPECT_FALSE(s.pendingID());
            EXPECT_EQ(s.phase(), *c.last);
        }
    }
}

TEST(CodexSession, Timeouts) {
    CodexAppServerSession s("work", "1.9.1", 0.05);
    s.willLaunch();
    EXPECT_EQ(only<ArmTimeout>(s.sendInitialize()), (std::vector{ArmTimeout{1, 0.05}}));
    EXPECT_TRUE(s.timeoutFired(7).empty());  // not the pending request
    EXPECT_EQ(phases(s.timeoutFired(1)), std::vector{CodexConnectionPhase::failed(Kind::initializationTimeout)});

    CodexAppServerSession t("work");
    t.willLaunch();
    t.sendInitialize();
    auto out = t.receive(R"({"id":1,"result":{}})" "\n", now);
    EXPECT_EQ(only<ArmTimeout>(out), (std::vector{ArmTimeout{2, 20}}));
    EXPECT_TRUE(t.timeoutFired(1).empty());  // stale timer
    EXPECT_EQ(phases(t.timeoutFired(2)), std::vector{CodexConnectionPhase::failed(Kind::requestTimeout)});
    // A late answer after the timeout is ignored.
    EXPECT_TRUE(t.receive(R"({"id":2,"result":{"account":{}}})" "\n", now).empty());

    // The start-up allowance bounds initialize only; the requests after it get their own.
    CodexAppServerSession u("work", "1.9.1", 0.05, 30);
    u.willLaunch();
    EXPECT_EQ(only<ArmTimeout>(u.sendInitialize()), (std::vector{ArmTimeout{1, 30}}));
    EXPECT_EQ(only<ArmTimeout>(u.receive(R"({"id":1,"result":{}})" "\n", now)), (std::vector{ArmTimeout{2, 0.05}}));

    Connected c;
    c.session.refreshRateLimits(true);
    EXPECT_EQ(phases(c.session.timeoutFired(102)), std::vector{CodexConnectionPhase::failed(Kind::requestTimeout)});
}

TEST(CodexSession, UpdatesWhileConnected) {
    Connected c;
    auto out = c.session.receive(
        R"({"method":"account/rateLimits/updated","params":{"rateLimits":{"primary":{"usedPercent":50,"windowDurationMins":300}}}})" "\n",
        now);
    auto delivered = only<DeliverEvents>(out);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].events.size(), 1u);
    EXPECT_TRUE(phases(out).empty());
    // No usable window: an empty delivery, still connected.
    out = c.session.receive(R"({"method":"account/rateLimits/updated","params":{"rateLimits":{}}})" "\n", now);
    delivered = only<DeliverEvents>(out);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0].events.empty());
    EXPECT_EQ(c.session.phase(), CodexConnectionPhase::connected());
    // A refresh answered without windows fails the connection.
    c.session.refreshRateLimits(true);
    out = c.session.receive(R"({"id":102,"result":{"rateLimits":{}}})" "\n", now);
    EXPECT_EQ(phases(out), std::vector{CodexConnectionPhase::failed(Kind::quotaReadFailed)});
}

TEST(CodexSession, ExitStopAndRefreshPreconditions) {
    Connected c;
    EXPECT_FALSE(c.session.canRefresh(false));
    EXPECT_TRUE(c.session.refreshRateLimits(false).empty());
    EXPECT_EQ(phases(c.session.childExited(1)), std::vector{CodexConnectionPhase::failed(CodexConnectionFailure::serverExited(1))});
    EXPECT_FALSE(c.session.canRefresh(true));

    Connected d;
    auto stopped = d.session.stop();
    EXPECT_EQ(stopped, SessionEffects{CancelTimeout{}});
    EXPECT_TRUE(d.session.childExited(0).empty());
    EXPECT_TRUE(d.session.receive(R"({"method":"account/updated","params":{"authMode":null}})" "\n", now).empty());
    EXPECT_TRUE(d.session.fail(CodexConnectionFailure::of(Kind::quotaReadFailed)).empty());
    EXPECT_EQ(d.session.phase(), CodexConnectionPhase::connected());  // stop leaves the phase alone
}

TEST(CodexSession, WriteFailuresNameTheirFailure) {
    CodexAppServerSession s("work");
    s.willLaunch();
    s.sendInitialize();
    auto out = s.receive(R"({"id":1,"result":{}})" "\n", now);
    for (const auto& w : only<WriteLine>(out)) EXPECT_EQ(w.onFailure, CodexConnectionFailure::of(Kind::accountReadFailed));
    auto acc = s.receive(R"({"id":2,"result":{"account":{}}})" "\n", now);
    EXPECT_EQ(only<WriteLine>(acc)[0].onFailure, CodexConnectionFailure::of(Kind::accountReadFailed));
    s.receive(rateLimits101, now);
    EXPECT_EQ(only<WriteLine>(s.refreshRateLimits(true))[0].onFailure, CodexConnectionFailure::of(Kind::quotaReadFailed));
}

TEST(CodexStatusText, EveryPhase) {
    const std::pair<CodexConnectionPhase, const char*> cases[] = {
        {CodexConnectionPhase::idle(), "Waiting for local capture to start"},
        {CodexConnectionPhase::starting(), "Starting the local Codex App Server\u2026"},
        {CodexConnectionPhase::checkingAccount(), "Checking the local Codex account\u2026"},
        {CodexConnectionPhase::connected(), "Codex quota connected"},
        {CodexConnectionPhase::failed(CodexConnectionFailure::serverExited(-9)), "Codex App Server stopped (exit -9). Retry the connection."},
        {CodexConnectionPhase::failed(Kind::notLoggedIn), "This Codex profile is signed out. Sign in locally in Codex, then retry."},
        {CodexConnectionPhase::failed(Kind::requestTimeout), "Codex status request timed out. Last successful data is retained."},
    };
    for (const auto& [phase, text] : cases) EXPECT_EQ(statusText(phase), text);
}

TEST(CodexExecutableLookup, CandidatesAndChoice) {
    auto env = [](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "PATH") return "/a::rel/bin:/b:/a/";
        return std::nullopt;
    };
    EXPECT_EQ(executableDirectories(env),
              (std::vector<fs::path>{"/a", "/b", "/a/", "/opt/homebrew/bin", "/usr/local/bin", "/usr/bin"}));
    EXPECT_EQ(candidateExecutablePaths(env, {"/Applications/Codex.app", "/Applications/Codex.app/"}),
              (std::vector<fs::path>{"/Applications/Codex.app/Contents/Resources/codex-cli/CodexCLI.app/Contents/MacOS/codex",
                                     "/Applications/Codex.app/Contents/Resources/codex", "/a/codex", "/b/codex",
                                     "/opt/homebrew/bin/codex", "/usr/local/bin/codex", "/usr/bin/codex"}));
    auto only_b = [](const fs::path& p) { return p == "/b/codex"; };
    EXPECT_EQ(locateExecutable(env, only_b), fs::path("/b/codex"));
    EXPECT_FALSE(locateExecutable(env, [](const fs::path&) { return false; }));
    EXPECT_EQ(findExecutable("claude", env, [](const fs::path& p) { return p == "/usr/bin/claude"; }), fs::path("/usr/bin/claude"));

    // The real test: a directory named codex and a non-executable file do not count.
    vigilorb::test::TempDir dir;
    fs::create_directories(dir / "one/codex");
    vigilorb::test::writeText(dir / "two/codex", "#!/bin/sh\n");
    vigilorb::test::writeText(dir / "three/codex", "#!/bin/sh\n");
    fs::permissions(dir / "three/codex", fs::perms::owner_exec, fs::perm_options::add);
    auto real = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "PATH") return (dir / "one").string() + ":" + (dir / "two").string() + ":" + (dir / "three").string();
        return std::nullopt;
    };
    EXPECT_EQ(locateExecutable(real), dir / "three/codex");
}

}  // namespace
