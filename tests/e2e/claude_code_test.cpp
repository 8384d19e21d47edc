#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "child_process.hpp"
#include "claude/claude_connector.hpp"
#include "model/files.hpp"
#include "store/snapshot.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;

// The real Claude Code (installed by scripts/install-agents.sh), signed out and inside a private
// network namespace, started with the CLAUDE_CONFIG_DIR the connector prepared: its hooks run
// the companion's hook mode, and the running app drains the events into the snapshot. Signed
// out, a prompt starts the session (SessionStart, UserPromptSubmit), fails (StopFailure) and
// ends it (SessionEnd).
TEST(RealClaudeCode, SignedOutRunReachesTheSnapshot) {
    auto claudeBinary = sourceDir() / "tools" / "agents" / "node_modules" / ".bin" / "claude";
    if (!fs::exists(claudeBinary))
        GTEST_SKIP() << "Claude Code is not installed at " << claudeBinary << "; run bash scripts/install-agents.sh";

    TempDir dir;
    auto data = dir / "data";
    auto profiles = data / "VigilorbCompanion" / "Profiles";
    auto configDir = profiles / "claude" / "work";
    auto snapshotFile = data / "VigilorbCompanion" / "snapshot-v1.json";

    auto outcome = claude::prepareClaudeConnector("work", profiles, binDir() / "vigilorb-companion");
    ASSERT_TRUE(outcome.ready) << outcome.detail;
    ASSERT_EQ(outcome.detail, claude::connectorInstalledText);
    // Past onboarding, so that a non-interactive run gets as far as starting a session.
    writeText(configDir / ".claude.json", R"({"hasCompletedOnboarding":true})");

    auto env = baseEnvironment();
    env["HOME"] = (dir / "home").string();
    env["XDG_DATA_HOME"] = data.string();
    env["XDG_CONFIG_HOME"] = (dir / "config").string();
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "work");

    ChildProcess app({(binDir() / "vigilorb-companion").string()}, env);

    auto claudeEnv = env;
    claudeEnv["CLAUDE_CONFIG_DIR"] = configDir.string();
    for (const char* name : {"DISABLE_TELEMETRY", "DISABLE_AUTOUPDATER", "DISABLE_ERROR_REPORTING",
                             "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"})
        claudeEnv[name] = "1";
    auto claudeRun = run({"/usr/bin/unshare", "--net", "--fork", "--", "/bin/bash", "-c",
                          "ip link set lo up; cd \"$0\" && exec \"$@\"", (dir / "work").string(), claudeBinary.string(),
                          "-p", "hi"},
                         claudeEnv);
    // Signed out: Claude Code refuses the prompt, but the session has started by then.
    EXPECT_NE(claudeRun.status, 0);
    EXPECT_NE(claudeRun.out.find("Not logged in"), std::string::npos) << claudeRun.out << claudeRun.err;

    // Claude Code starts the StopFailure hook without waiting for it and the SessionEnd hook
    // about 16 ms later, so the two runs race: whichever reads the clock last decides whether
    // the ended session shows completed or failed. Both are terminal, and both mean every hook
    // run reached the snapshot.
    std::optional<TaskSnapshot> task;
    bool arrived = eventually([&] {
        task.reset();
        try {
            auto s = store::decodeSnapshot(files::read(snapshotFile).value()).value();
            for (const auto& [key, t] : s.tasksByID)
                if (t.provider == AIProvider::claude && t.accountID == "work") task = t;
        } catch (...) {
        }
        return task.has_value() && (task->state == TaskState::completed || task->state == TaskState::failed) &&
               fs::is_empty(configDir / "inbox");
    });
    ASSERT_TRUE(arrived) << "no ended Claude task in the snapshot (last state: "
                         << (task ? std::string(rawValue(task->state)) : std::string("none")) << "); Claude Code said: "
                         << claudeRun.out << claudeRun.err;
    EXPECT_EQ(task->title, "Claude task");
    EXPECT_EQ(task->id.size(), 36u);  // Claude Code's session UUID

    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0) << app.err();
}

namespace {

// The real Claude Code, interactive on a tmux screen, in a private network and PID namespace
// with a small fake of the Anthropic API on loopback (tests/e2e/fake_anthropic_api.py; the real
// service cannot be reached here). It runs with the CLAUDE_CONFIG_DIR the connector prepared,
// so every hook and status-line refresh runs the companion's command-line modes, and the
// running app drains them into the snapshot the test reads.
class InteractiveClaude : public ::testing::Test {
protected:
    fs::path claudeBinary = sourceDir() / "tools" / "agents" / "node_modules" / ".bin" / "claude";
    TempDir dir;
    fs::path data = dir / "data";
    fs::path profiles = data / "VigilorbCompanion" / "Profiles";
    fs::path configDir = profiles / "claude" / "work";
    fs::path snapshotFile = data / "VigilorbCompanion" / "snapshot-v1.json";
    fs::path control = dir / "control";
    fs::path work = dir / "work";
    std::map<std::string, std::string> env = baseEnvironment();
    std::unique_ptr<ChildProcess> app;
    std::unique_ptr<ChildProcess> session;

    void SetUp() override {
        if (!fs::exists(claudeBinary))
            GTEST_SKIP() << "Claude Code is not installed at " << claudeBinary << "; run bash scripts/install-agents.sh";
        if (!fs::exists("/usr/bin/tmux")) GTEST_SKIP() << "tmux is not installed; run bash scripts/setup.sh";
        auto outcome = claude::prepareClaudeConnector("work", profiles, binDir() / "vigilorb-companion");
        ASSERT_TRUE(outcome.ready) << outcome.detail;
        fs::create_directories(dir / "home");
        fs::create_directories(work);
        fs::create_directories(control);
        // Past onboarding and the question whether to trust the working folder.
        Json state = {{"hasCompletedOnboarding", true},
                      {"projects", {{work.string(), {{"hasTrustDialogAccepted", true}}}}}};
        writeText(configDir / ".claude.json", state.dump());

        env["HOME"] = (dir / "home").string();
        env["XDG_DATA_HOME"] = data.string();
        env["XDG_CONFIG_HOME"] = (dir / "config").string();
        app = std::make_unique<ChildProcess>(std::vector<std::string>{(binDir() / "vigilorb-companion").string()}, env);

        auto claudeEnv = env;
        claudeEnv["CLAUDE_CONFIG_DIR"] = configDir.string();
        claudeEnv["ANTHROPIC_BASE_URL"] = "http://127.0.0.1:8765";
        claudeEnv["CLAUDE_CODE_OAUTH_TOKEN"] = "fake-subscriber-token";  // a subscriber sees rate limits
        claudeEnv["TERM"] = "xterm-256color";
        for (const char* name : {"DISABLE_TELEMETRY", "DISABLE_AUTOUPDATER", "DISABLE_ERROR_REPORTING",
                                 "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"})
            claudeEnv[name] = "1";
        auto script = sourceDir() / "tests" / "e2e" / "claude_in_namespace.sh";
        auto fake = sourceDir() / "tests" / "e2e" / "fake_anthropic_api.py";
        session = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/unshare", "--net", "--pid", "--fork", "--kill-child", "--",
                                     "/bin/bash", script.string(), control.string(), claudeBinary.string(),
                                     fake.string(), work.string()},
            claudeEnv);
        ASSERT_TRUE(eventually([&] { return screen().find("❯") != std::string::npos; }, std::chrono::seconds(180)))
            << diagnostics();
    }

    void TearDown() override {
        if (session) tmux({"kill-server"});
        session.reset();  // the namespace and all in it go with its first process
        if (app) {
            app->signal(SIGTERM);
            EXPECT_EQ(app->wait(), 0) << app->err();
        }
    }

    Finished tmux(std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/tmux", "-S", (control / "tmux.sock").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env);
    }
    std::string screen() { return tmux({"capture-pane", "-p"}).out; }
    std::string diagnostics() {
        std::string api;
        try {
            api = readText(control / "api.log");
        } catch (...) {
        }
        return "screen:\n" + screen() + "\nfake API:\n" + api;
    }

    // What follows the prompt mark on its last line (a dialog's selection mark is also one),
    // without the spaces around it (Claude Code draws some as no-break spaces).
    std::string inputLine() {
        auto text = screen();
        const std::string mark = "❯";
        auto at = text.rfind(mark);
        if (at == std::string::npos) return {};
        auto end = text.find('\n', at);
        auto line = text.substr(at + mark.size(), end == std::string::npos ? std::string::npos : end - at - mark.size());
        auto trim = [&](bool front) {
            for (;;) {
                std::string_view v = line;
                if (front && v.starts_with(' ')) line.erase(0, 1);
                else if (front && v.starts_with("\u00a0")) line.erase(0, 2);
                else if (!front && v.ends_with(' ')) line.pop_back();
                else if (!front && v.ends_with("\u00a0")) line.resize(line.size() - 2);
                else return;
            }
        };
        trim(true);
        trim(false);
        return line;
    }

    // Types a prompt and submits it. Claude Code drops keys while it is busy (starting, running
    // hooks, closing a dialog), so typing is repeated until the input line shows the prompt
    // (clearing what arrived of an earlier attempt), and Enter until the prompt has left it.
    [[nodiscard]] bool submit(const std::string& text) {
        for (int attempt = 0; attempt < 12 && inputLine() != text; ++attempt) {
            auto line = inputLine();
            if (line.empty()) {
                tmux({"send-keys", "-l", text});
            } else {
                auto scalars = std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
                for (long i = 0; i < scalars; ++i) tmux({"send-keys", "BSpace"});
            }
            eventually([&] { return inputLine() == text; }, std::chrono::seconds(10));
        }
        if (inputLine() != text) {
            ADD_FAILURE() << "typed " << text << ", input line " << inputLine() << "\n" << diagnostics();
            return false;
        }
        for (int attempt = 0; attempt < 24; ++attempt) {
            tmux({"send-keys", "Enter"});
            if (eventually([&] { return inputLine() != text; }, std::chrono::seconds(5))) return true;
        }
        ADD_FAILURE() << "submitting " << text << "\n" << diagnostics();
        return false;
    }
    void press(const std::string& key) { tmux({"send-keys", key}); }
    // Presses Escape until `text` has left the screen (a key pressed while a dialog is still
    // being drawn can be lost).
    [[nodiscard]] bool dismiss(const std::string& text) {
        for (int attempt = 0; attempt < 24; ++attempt) {
            press("Escape");
            if (eventually([&] { return screen().find(text) == std::string::npos; }, std::chrono::seconds(5)))
                return true;
        }
        ADD_FAILURE() << "dismissing " << text << "\n" << diagnostics();
        return false;
    }
    [[nodiscard]] bool awaitScreen(const std::string& text) {
        if (eventually([&] { return screen().find(text) != std::string::npos; }, std::chrono::seconds(120)))
            return true;
        ADD_FAILURE() << "waiting for " << text << "\n" << diagnostics();
        return false;
    }
    // Lets the fake answer the turn after a tool result.
    void releaseTurn() { writeText(control / "release", ""); }

    store::CompanionSnapshot snapshot() {
        try {
            return store::decodeSnapshot(files::read(snapshotFile).value()).value();
        } catch (...) {
            return {};
        }
    }
    // The state of the session's task and the kinds of the approvals standing for it.
    struct SessionView {
        std::optional<TaskState> state;
        std::vector<PendingActionKind> approvals;
        bool operator==(const SessionView&) const = default;
    };
    SessionView sessionView(const store::CompanionSnapshot& s) {
        SessionView view;
        for (const auto& [key, t] : s.tasksByID)
            if (t.provider == AIProvider::claude && t.accountID == "work" && t.id.size() == 36) view.state = t.state;
        for (const auto& [key, a] : s.pendingActionsByID) view.approvals.push_back(a.kind);
        return view;
    }
    [[nodiscard]] bool awaitSession(SessionView expected, const std::string& step) {
        SessionView last;
        bool reached = eventually(
            [&] {
                last = sessionView(snapshot());
                return last == expected;
            },
            std::chrono::seconds(120));
        if (!reached)
            ADD_FAILURE() << step << ": state " << (last.state ? std::string(rawValue(*last.state)) : "none") << ", "
                          << last.approvals.size() << " approvals\n"
                          << diagnostics();
        return reached;
    }
};

}  // namespace

TEST_F(InteractiveClaude, ApprovalsQuestionsToDoItemsAndFailuresFollowTheUser) {
    ASSERT_TRUE(awaitSession({TaskState::waitingInput, {}}, "session start"));

    // A command asks for permission; approved, the tool runs and the turn goes on, then ends.
    ASSERT_TRUE(submit("please make the file"));
    ASSERT_TRUE(awaitScreen("Do you want to proceed?"));
    ASSERT_TRUE(awaitSession({TaskState::waitingApproval, {PendingActionKind::command}}, "permission request"));
    press("1");
    ASSERT_TRUE(awaitSession({TaskState::running, {}}, "approved tool ran"));
    EXPECT_TRUE(fs::exists(work / "approved-by-user.txt"));
    releaseTurn();
    ASSERT_TRUE(awaitSession({TaskState::completed, {}}, "turn ended"));

    // The plan's rate limits, as the status line saw them in the fake's headers.
    std::optional<AccountQuotaSnapshot> quota;
    ASSERT_TRUE(eventually([&] {
        auto s = snapshot();
        if (auto it = s.quotasByAccount.find("claude:work"); it != s.quotasByAccount.end()) quota = it->second;
        return quota.has_value();
    })) << diagnostics();
    ASSERT_EQ(quota->windows.size(), 2u);
    EXPECT_EQ(quota->windows[0].kind, QuotaWindowKind::fiveHour);
    EXPECT_EQ(quota->windows[0].usedPercentage, 37);
    EXPECT_EQ(quota->windows[0].resetsAt, Date::fromUnix(1796888558));
    EXPECT_EQ(quota->windows[1].kind, QuotaWindowKind::sevenDay);
    EXPECT_EQ(quota->windows[1].usedPercentage, 12);

    // A to-do item of the model is a task of its own, keyed by the session it belongs to.
    std::string sessionID;
    for (const auto& [key, t] : snapshot().tasksByID)
        if (t.id.size() == 36) sessionID = t.id;
    ASSERT_TRUE(submit("plan it"));
    std::optional<TaskSnapshot> item;
    ASSERT_TRUE(eventually(
        [&] {
            auto s = snapshot();
            if (auto it = s.tasksByID.find("claude:work:" + sessionID + "/1"); it != s.tasksByID.end()) item = it->second;
            return item.has_value();
        },
        std::chrono::seconds(120)))
        << diagnostics();
    EXPECT_EQ(item->title, "Write the tests");
    EXPECT_EQ(item->state, TaskState::running);
    releaseTurn();
    ASSERT_TRUE(awaitSession({TaskState::completed, {}}, "turn with the to-do item ended"));

    // A question the model asks is the user's input, not a permission.
    ASSERT_TRUE(submit("please ask me"));
    ASSERT_TRUE(awaitScreen("Enter to select"));
    ASSERT_TRUE(awaitSession({TaskState::waitingApproval, {PendingActionKind::userInput}}, "question"));
    press("Enter");
    ASSERT_TRUE(awaitSession({TaskState::running, {}}, "question answered"));
    releaseTurn();
    ASSERT_TRUE(awaitSession({TaskState::completed, {}}, "turn after the answer ended"));

    // Denied with Esc: no hook fires, so the approval stands until the next prompt.
    ASSERT_TRUE(submit("please do it again"));
    ASSERT_TRUE(awaitScreen("Do you want to proceed?"));
    ASSERT_TRUE(awaitSession({TaskState::waitingApproval, {PendingActionKind::command}}, "second permission request"));
    // Escape until the dialog is gone: "Interrupted" may already be on screen from an earlier
    // denial, so it cannot tell that this one was received.
    ASSERT_TRUE(dismiss("Do you want to proceed?"));
    ASSERT_TRUE(awaitScreen("Interrupted"));
    ASSERT_TRUE(submit("hello"));
    ASSERT_TRUE(awaitSession({TaskState::completed, {}}, "next prompt after the denial"));

    // A turn the API refuses (the plan's limit) fails.
    ASSERT_TRUE(submit("now fail"));
    ASSERT_TRUE(awaitSession({TaskState::failed, {}}, "failed turn"));
    ASSERT_TRUE(awaitScreen("What do you want to do?"));
    ASSERT_TRUE(dismiss("What do you want to do?"));

    // Denied, then Claude Code left: the end of the session takes the approval with it.
    ASSERT_TRUE(submit("please do it once more"));
    ASSERT_TRUE(awaitScreen("Do you want to proceed?"));
    ASSERT_TRUE(awaitSession({TaskState::waitingApproval, {PendingActionKind::command}}, "third permission request"));
    // Escape until the dialog is gone: "Interrupted" may already be on screen from an earlier
    // denial, so it cannot tell that this one was received.
    ASSERT_TRUE(dismiss("Do you want to proceed?"));
    ASSERT_TRUE(awaitScreen("Interrupted"));
    ASSERT_TRUE(submit("/exit"));
    ASSERT_TRUE(awaitSession({TaskState::completed, {}}, "session ended"));
}
