#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <set>
#include <thread>
#include <tuple>

#include "child_process.hpp"
#include "model/events.hpp"
#include "model/files.hpp"
#include "cli/claude_inbox.hpp"
#include "cli/process.hpp"
#include "store/snapshot.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

namespace {

struct Companion : ::testing::Test {
    TempDir dir;
    fs::path exe = binDir() / "vigilorb-companion";
    fs::path data = dir / "data";
    fs::path snapshotFile = data / "VigilorbCompanion" / "snapshot-v1.json";
    fs::path inbox(const std::string& account) {
        return data / "VigilorbCompanion" / "Profiles" / "claude" / account / "inbox";
    }

    std::map<std::string, std::string> env() {
        auto e = baseEnvironment();
        e["HOME"] = (dir / "home").string();
        e["XDG_DATA_HOME"] = data.string();
        e["XDG_CONFIG_HOME"] = (dir / "config").string();
        return e;
    }
    Finished mode(const std::string& flag, const std::string& account, std::string input,
                  std::map<std::string, std::string> extra = {}) {
        auto e = env();
        e.insert(extra.begin(), extra.end());
        return run({exe.string(), flag, account}, e, std::move(input));
    }
    std::unique_ptr<ChildProcess> startApp() {
        return std::make_unique<ChildProcess>(std::vector<std::string>{exe.string()}, env());
    }
    std::size_t inboxCount(const std::string& account) {
        std::error_code ec;
        std::size_t n = 0;
        for (fs::directory_iterator it(inbox(account), ec), end; !ec && it != end; it.increment(ec)) ++n;
        return n;
    }
    bool lockIsHeld() {
        auto probe = cli::InstanceLock::acquire(data / "VigilorbCompanion" / "companion.lock");
        return !probe && probe.error() == cli::InstanceLockError::alreadyRunning;
    }
    std::optional<store::CompanionSnapshot> snapshot() {
        try {
            return store::decodeSnapshot(files::read(snapshotFile).value()).value();
        } catch (...) {
            return std::nullopt;
        }
    }
};

const std::string rateLimits =
    R"({"session_id":"s","model":{"id":"m"},"rate_limits":{"five_hour":{"used_percentage":37,"resets_at":1796888558},"seven_day":{"used_percentage":12.5,"resets_at":1797316958}}})";

}  // namespace

TEST_F(Companion, CommandLineModesFillTheInboxAndTheAppDrainsIt) {
    auto status = mode("--claude-statusline", "work", rateLimits);
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "Tallyloom · local only\n");
    EXPECT_EQ(status.err, "");
    auto hook = mode("--claude-hook", "work", R"({"session_id":"s1","hook_event_name":"PermissionRequest"})");
    EXPECT_EQ(hook.status, 0);
    EXPECT_EQ(hook.out, "");
    EXPECT_EQ(hook.err, "");
    ASSERT_EQ(inboxCount("work"), 2u);  // one file per run: the task and its approval travel together
    for (const auto& e : fs::directory_iterator(inbox("work"))) {
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_FALSE(fs::exists(snapshotFile));  // the command-line role never touches it

    auto app = startApp();
    ASSERT_TRUE(eventually([&] {
        auto s = snapshot();
        return s && s->tasksByID.size() == 1 && s->pendingActionsByID.size() == 1 && s->quotasByAccount.size() == 1 &&
               inboxCount("work") == 0;
    })) << app->err();
    auto s = *snapshot();
    EXPECT_EQ(s.tasksByID.at("claude:work:s1").state, TaskState::waitingApproval);
    EXPECT_EQ(s.quotasByAccount.begin()->second.windows.size(), 2u);

    // While it runs, a new hook event arrives through the inbox.
    EXPECT_EQ(mode("--claude-hook", "work", R"({"session_id":"s1","hook_event_name":"Stop"})").status, 0);
    ASSERT_TRUE(eventually([&] {
        auto s = snapshot();
        return s && s->tasksByID.at("claude:work:s1").state == TaskState::completed && s->pendingActionsByID.empty();
    }));

    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(), 0) << app->err();
    EXPECT_EQ(app->out(), "");
}

TEST_F(Companion, BadInputStillPrintsTheStatusLineAndWritesNothing) {
    for (std::string input : {std::string(), std::string("not json"), std::string(R"({"rate_limits":{"five_hour":{}}})"),
                              std::string(4 << 20, '{')}) {
        auto r = mode("--claude-statusline", "work", input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Tallyloom · local only\n");
        EXPECT_EQ(r.err, "");
    }
    auto r = mode("--claude-hook", "work", R"({"session_id":"s1","hook_event_name":"MessageDisplay"})");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_directory(inbox("work")));
    EXPECT_EQ(inboxCount("work"), 0u);
}

TEST_F(Companion, HostileHookInputIsRefusedOrBoundedAndTheRestArrives) {
    // An endless writer: the run stops reading at its cap and says the event was lost; the
    // status line still prints its line.
    for (auto [flag, status, out] : {std::tuple{"--claude-hook", 1, ""},
                                     std::tuple{"--claude-statusline", 0, "Tallyloom · local only\n"}}) {
        auto r = run({"/bin/sh", "-c", "head -c 1073741824 /dev/zero 2>/dev/null | \"$0\" \"$1\" work", exe.string(), flag}, env());
        EXPECT_EQ(r.status, status) << flag;
        EXPECT_EQ(r.out, out) << flag;
        EXPECT_EQ(r.err, "") << flag;
    }
    struct Case {
        const char* name;
        std::string input;
        int status;
    } cases[] = {
        {"2 MiB session ID", R"({"hook_event_name":"Stop","session_id":")" + std::string(2 << 20, 's') + "\"}", 1},
        // Not one JSON document: nothing to deliver, as for any input that is not a hook's.
        {"NUL and garbage after the document", std::string(R"({"session_id":"s9","hook_event_name":"Stop"})") +
                                                   std::string("\0garbage", 8), 0},
    };
    for (const auto& c : cases) {
        auto r = mode("--claude-hook", "work", c.input);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(inboxCount("work"), 0u) << c.name;
    }

    // A title of one 1.2 MB character once made a file the drain deleted unread.
    std::string zalgo = "Z";
    for (int i = 0; i < 600000; ++i) zalgo += "\u0301";
    auto r = mode("--claude-hook", "work",
                  Json{{"session_id", "s1"}, {"hook_event_name", "TaskCreated"}, {"task_id", "1"}, {"task_subject", zalgo}}
                      .dump());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(inboxCount("work"), 1u);
    auto app = startApp();
    ASSERT_TRUE(eventually([&] {
        auto s = snapshot();
        return s && s->tasksByID.contains("claude:work:s1/1") && inboxCount("work") == 0;
    })) << app->err();
    auto title = snapshot()->tasksByID.at("claude:work:s1/1").title;
    EXPECT_TRUE(title.starts_with("Z\u0301"));
    EXPECT_LE(title.size(), maxTitleBytes);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(), 0) << app->err();
}

TEST_F(Companion, StopRequestEndsADrainPassBetweenFilesAndTheNextStartTakesUpTheRest) {
    // A backlog of updates to one task, in the order they happened: after any stop, the task
    // shows update k - 1 exactly when updates k and later still wait in the inbox.
    const int total = 200;
    const Date base = Date::fromUnix(std::floor(Date::now().unix()) - 2 * total);
    auto folder = cli::prepareInbox(data / "VigilorbCompanion" / "Profiles", "work").value();
    std::map<std::string, int> order;
    for (int i = 0; i < total; ++i) {
        auto at = base + i;
        auto envelope = ProviderEventEnvelope::make(
            NormalizedProviderEvent::task(TaskSnapshot{"s1", std::nullopt, "work", AIProvider::claude, "Claude task",
                                                       TaskState::running, at}),
            at);
        ASSERT_TRUE(files::writeAtomically(folder / (envelope.id + ".json"), cli::encodeEventFile({envelope}), 0600,
                                           files::Durability::visibleOnly));
        order[envelope.id + ".json"] = i;
    }
    auto applied = [&]() -> int {
        auto s = snapshot();
        if (!s || !s->tasksByID.contains("claude:work:s1")) return 0;
        return static_cast<int>(s->tasksByID.at("claude:work:s1").updatedAt.sinceReference - base.sinceReference) + 1;
    };
    auto waitingFrom = [&]() {
        int first = total;
        std::size_t count = 0;
        for (const auto& e : fs::directory_iterator(folder)) {
            first = std::min(first, order.at(e.path().filename().string()));
            ++count;
        }
        return std::pair{first, count};
    };

    auto app = startApp();
    // Polls the file (not a deadline): the stop is asked for as soon as the pass has begun.
    while (applied() == 0 && app->running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(), 0) << app->err();
    const int done = applied();
    auto [first, count] = waitingFrom();
    EXPECT_GT(count, 0u) << "the pass ran to its end before the stop was seen";
    EXPECT_EQ(first, done);
    EXPECT_EQ(count, static_cast<std::size_t>(total - done));

    auto next = startApp();
    ASSERT_TRUE(eventually([&] { return lockIsHeld(); })) << next->err();
    // The file goes right after its event is in the snapshot.
    ASSERT_TRUE(eventually([&] { return applied() == total && waitingFrom().second == 0; })) << next->err();
    next->signal(SIGTERM);
    EXPECT_EQ(next->wait(), 0) << next->err();
}

TEST_F(Companion, InboxThatCannotBeCreatedExitsWithOne) {
    writeText(data, "a file where the data folder should be");
    auto r = mode("--claude-statusline", "work", rateLimits);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Tallyloom · local only\n");
    EXPECT_EQ(r.err, "");
    r = mode("--claude-hook", "work", R"({"session_id":"s1","hook_event_name":"Stop"})");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(Companion, CommandLineRunsNeverLoadQt) {
    // The dynamic loader reports every library it maps; the command-line role must map no Qt.
    auto r = mode("--claude-statusline", "work", rateLimits, {{"LD_DEBUG", "libs"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("libc.so"), std::string::npos) << "LD_DEBUG had no effect";
    EXPECT_EQ(r.err.find("libQt6"), std::string::npos);
    EXPECT_EQ(r.err.find("libvigilorb_app"), std::string::npos);

    auto ldd = run({"/usr/bin/ldd", exe.string()}, baseEnvironment());
    EXPECT_EQ(ldd.status, 0);
    EXPECT_EQ(ldd.out.find("Qt"), std::string::npos) << ldd.out;
}

TEST_F(Companion, OnlyOneAppPerUser) {
    auto first = startApp();
    // The first app is up once it holds the lock; a second start sees it and leaves at once.
    ASSERT_TRUE(eventually([&] { return lockIsHeld(); })) << first->err();
    auto second = run({exe.string()}, env());
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "Tallyloom Companion is already running for this user.\n");
    EXPECT_EQ(second.out, "");
    EXPECT_TRUE(first->running());

    // A refused account ID or a fourth argument also means the app role: stdin is not read,
    // nothing reaches the inbox, and the instance lock sends it away.
    for (auto argv : std::vector<std::vector<std::string>>{{exe.string(), "--claude-hook", "a/b"},
                                                           {exe.string(), "--claude-hook", "work", "x"}}) {
        auto r = run(argv, env(), R"({"session_id":"s1","hook_event_name":"Stop"})");
        EXPECT_EQ(r.err, "Tallyloom Companion is already running for this user.\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(inboxCount("work"), 0u);
    EXPECT_FALSE(fs::exists(data / "VigilorbCompanion" / "Profiles" / "claude" / "a"));

    first->signal(SIGINT);
    EXPECT_EQ(first->wait(), 0) << first->err();
    // Once it is gone, the next start is the app again.
    EXPECT_FALSE(lockIsHeld());
    auto next = startApp();
    ASSERT_TRUE(eventually([&] { return lockIsHeld(); })) << next->err();
    next->signal(SIGTERM);
    EXPECT_EQ(next->wait(), 0) << next->err();
}

TEST_F(Companion, ConcurrentRunsNeverCollide) {
    // Claude Code starts one process per hook and per refresh; they write side by side.
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int i = 0; i < 16; ++i)
        runs.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{exe.string(), "--claude-hook", "work"}, env(),
            R"({"session_id":"s)" + std::to_string(i) + R"(","hook_event_name":"PermissionRequest"})"));
    for (auto& r : runs) EXPECT_EQ(r->wait(), 0) << r->err();
    std::set<std::string> tasks;
    std::size_t count = 0;
    for (const auto& e : fs::directory_iterator(inbox("work"))) {
        ++count;
        auto envelopes = cli::decodeEventFile(files::read(e.path()).value()).value();
        ASSERT_EQ(envelopes.size(), 2u);
        EXPECT_EQ(e.path().filename().string(), envelopes[0].id + ".json");
        auto* t = envelopes[0].event.asTask();
        auto* a = envelopes[1].event.asPendingAction();
        ASSERT_TRUE(t && a);
        EXPECT_EQ(a->taskID, t->id);
        tasks.insert(t->id);
    }
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(tasks.size(), 16u);
}

TEST_F(Companion, HelpAndVersionAnswerWithoutStartingTheApp) {
    // Even while an app runs (the instance lock is not asked), and without loading Qt.
    auto app = startApp();
    ASSERT_TRUE(eventually([&] { return lockIsHeld(); })) << app->err();
    struct Case {
        std::vector<std::string> arguments;
        std::string outStart;
    } cases[] = {
        {{"--version"}, std::string("Tallyloom Companion ") + VIGILORB_EXPECTED_VERSION + "\n"},
        {{"--help"}, "Usage: vigilorb-companion [--headless] [--hidden]\n"},
        {{"--headless", "--help"}, "Usage: vigilorb-companion"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{exe.string()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        auto e = env();
        e["LD_DEBUG"] = "libs";
        auto r = run(argv, e);
        EXPECT_EQ(r.status, 0) << c.arguments[0];
        EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
        EXPECT_EQ(r.err.find("libQt6"), std::string::npos) << c.arguments[0];
        EXPECT_EQ(r.err.find("already running"), std::string::npos);
    }
    // The Claude modes keep their exact three-argument form.
    auto statusLine = mode("--claude-statusline", "--version", rateLimits);
    EXPECT_EQ(statusLine.out.find("Tallyloom Companion "), std::string::npos);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(), 0) << app->err();
}
