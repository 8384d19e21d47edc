#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "claude_desktop_fixtures.hpp"
#include "runtime/claude_desktop_observers.hpp"
#include "qt.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test::desktop;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr double t0 = 1'765'000'000;

// Runs the event loop until `object` has emitted passCompleted `count` more times (the limit
// only guards against a hang).
template <class Observer>
bool passes(Observer& object, int count) {
    int seen = 0;
    QEventLoop loop;
    auto connection = QObject::connect(&object, &Observer::passCompleted, &loop, [&] {
        if (++seen == count) loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    return seen >= count;
}

}  // namespace

TEST(ClaudeDesktopUsageObserver, HandsEachCaptureOverOnceAndRefreshesTheStatusEveryPass) {
    test::qtApplication();
    test::TempDir home;
    auto file = home / "plan-usage-history.json";
    writeHistory(file, {{t0, 40, 10}});
    runtime::ClaudeDesktopUsageObserver observer(file, 1ms);
    std::vector<AccountQuotaSnapshot> handed;
    std::vector<std::pair<std::string, bool>> statuses;
    auto start = [&] {
        observer.start("a", [&](const AccountQuotaSnapshot& q) { handed.push_back(q); },
                       [&](const std::string& text, bool healthy) { statuses.emplace_back(text, healthy); });
    };
    start();
    EXPECT_TRUE(statuses.empty()) << "no status before the first capture completes";
    ASSERT_TRUE(passes(observer, 3));
    EXPECT_EQ(handed.size(), 1u);
    EXPECT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses.back(), std::make_pair(std::string("Claude Desktop quota connected · 5h 40% · 7d 10%"), true));

    // A restart forgets what was handed over.
    start();
    ASSERT_TRUE(passes(observer, 1));
    EXPECT_EQ(handed.size(), 2u);

    fs::remove(file);
    ASSERT_TRUE(passes(observer, 1));
    EXPECT_EQ(statuses.back(),
              std::make_pair(std::string("Waiting for Claude Desktop to create local quota history"), false));
    EXPECT_EQ(handed.size(), 2u);
}

// While nothing changed, a pass hands nothing over, until a running task's freshness runs out
// or the handler asked for another handover.
TEST(ClaudeDesktopLocalObserver, QuietWhileNothingChangedUntilAFreshnessEdgeOrARequest) {
    test::qtApplication();
    test::TempDir home;
    auto root = home / "local-agent-mode-sessions";
    writeSession(root / "org", "run", "run", "Run", t0 - 10,
                 auditLine(R"("type":"command_lifecycle","state":"started")", t0 - 10));
    Date now = Date::fromUnix(t0);
    runtime::ClaudeDesktopLocalObserver observer(root, 1ms, [&] { return now; });
    std::vector<std::size_t> handovers;  // tasks in each
    int askAgain = 0;
    observer.start(
        "a",
        [&](const std::vector<TaskSnapshot>& tasks, const std::set<std::string>&) {
            handovers.push_back(tasks.size());
            if (askAgain > 0) {
                --askAgain;
                observer.handOverAgain();
            }
        },
        [] {}, [](const std::string&, bool) {});
    // The capture, then once more while the observer takes the running task in; then nothing.
    ASSERT_TRUE(passes(observer, 12));
    EXPECT_EQ(handovers, (std::vector<std::size_t>{1, 1}));

    // 15 minutes after its activity the task is no longer fresh: the same capture again, without
    // it. The handler asks twice for more.
    askAgain = 2;
    now = Date::fromUnix(t0 - 10 + 901);
    ASSERT_TRUE(passes(observer, 12));
    EXPECT_EQ(handovers, (std::vector<std::size_t>{1, 1, 0, 0, 0}));
}

TEST(ClaudeDesktopLocalObserver, UnavailableOncePerRunOfFailuresAndAStopInsideAHandlerEndsThePass) {
    test::qtApplication();
    test::TempDir home;
    auto root = home / "local-agent-mode-sessions";
    runtime::ClaudeDesktopLocalObserver observer(root, 1ms, [] { return Date::fromUnix(t0); });
    int unavailable = 0, reports = 0;
    std::vector<std::string> statuses;
    std::function<void()> onReport;
    observer.start(
        "a",
        [&](const std::vector<TaskSnapshot>&, const std::set<std::string>&) {
            ++reports;
            if (onReport) onReport();
        },
        [&] { ++unavailable; }, [&](const std::string& text, bool) { statuses.push_back(text); });
    ASSERT_TRUE(passes(observer, 4));
    EXPECT_EQ(unavailable, 1);
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(statuses.at(0),
              "Claude Cowork's local session library was not found; it will connect after you start a Cowork task");

    // The library appears: the next pass reports, then a stop from inside the handler ends the
    // pass before its status, and no pass follows.
    writeSession(root / "org", "x", "x", "X", t0 - 5);
    bool stoppedInHandler = false;
    onReport = [&] {
        observer.stop();
        stoppedInHandler = true;
    };
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (stoppedInHandler) loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(stoppedInHandler);
    test::settle(50ms);
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(observer.isPolling());
    EXPECT_EQ(statuses.back(),
              "Claude Cowork's local session library was not found; it will connect after you start a Cowork task")
        << "the reporting pass ended before its status";
}
