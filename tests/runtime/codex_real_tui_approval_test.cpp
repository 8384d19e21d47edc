// The real Codex TUI (npm @openai/codex) under tmux, offline: its own network, PID and mount
// namespaces, a fake model API on that loopback which asks to run a command needing approval.
// The running Codex side of the companion must show the approval wait it broadcasts, and drop
// it when the prompt is answered in the TUI, and when the TUI is killed and its daemon stopped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <chrono>
#include <cstdio>

#include "codex/saved_accounts.hpp"
#include "codex_test_support.hpp"
#include "model/files.hpp"
#include "runtime/codex_runtime_side.hpp"

using namespace vigilorb;
using namespace vigilorb::test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path realCodex = fs::path(CODEX_AGENTS_DIR) /
                           "node_modules/@openai/codex-linux-x64/vendor/x86_64-unknown-linux-musl/bin/codex";
const std::string probePrompt = "please create the probe file";
const std::string approvalQuestion = "Would you like to run the following command?";

// The namespaces with Codex in them; ending them ends every process inside.
class TuiNamespace {
public:
    explicit TuiNamespace(fs::path base) : base_(std::move(base)) {
        ns_.setProgram("unshare");
        ns_.setArguments({"--net", "--pid", "--mount", "--fork", "--kill-child", "--mount-proc", "--", "/bin/bash",
                          CODEX_TUI_NAMESPACE, QString::fromStdString(base_.string()),
                          QString::fromStdString(realCodex.string()), CODEX_FAKE_RESPONSES_API});
        ns_.setProcessChannelMode(QProcess::ForwardedChannels);
        ns_.start();
    }
    ~TuiNamespace() {
        tmux({"kill-server"});
        ns_.kill();
        ns_.waitForFinished(-1);
        // The daemon's socket lives under /tmp; a daemon ended by SIGKILL leaves it behind.
        std::error_code ec;
        auto target = fs::read_symlink(daemonSocketLink(), ec);
        if (!ec && target.is_absolute()) fs::remove(target, ec);
    }
    bool running() const { return ns_.state() != QProcess::NotRunning; }

    std::string tmux(const QStringList& args) const {
        QProcess p;
        p.setProgram("tmux");
        p.setArguments(QStringList{"-S", QString::fromStdString((base_ / "tmux.sock").string())} + args);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start();
        p.waitForFinished(-1);
        return p.readAll().toStdString();
    }
    std::string pane() const { return tmux({"capture-pane", "-p", "-t", "codex:tui"}); }
    bool paneShows(const std::string& text) const { return pane().find(text) != std::string::npos; }
    void type(const std::string& text) const { tmux({"send-keys", "-t", "codex:tui", "-l", QString::fromStdString(text)}); }
    void key(const char* name) const { tmux({"send-keys", "-t", "codex:tui", name}); }
    std::size_t commandRequests() const {
        std::size_t n = 0;
        std::error_code ec;
        if (!fs::exists(base_ / "api.log", ec)) return 0;
        auto log = files::read(base_ / "api.log").value();
        for (std::size_t at = 0; (at = log.find("\"command\": true", at)) != std::string::npos; ++at) ++n;
        return n;
    }

    fs::path codexHome() const { return base_ / "codex-home"; }
    fs::path daemonSocketLink() const { return runtime::CodexApprovalObserver::socketPath(codexHome()); }
    const fs::path& base() const { return base_; }

private:
    fs::path base_;
    QProcess ns_;
};

const PendingAction* approvalOf(const store::CompanionSnapshot& s) {
    for (const auto& [key, a] : s.pendingActionsByID)
        if (a.provider == AIProvider::codex && a.id.starts_with("approval-")) return &a;
    return nullptr;
}

// Submits the probe prompt and waits for the TUI's approval question; returns the companion's
// delay (negative: the companion had it before the test saw the TUI draw it).
struct Shown {
    bool ok = false;
    double companionAfterTuiMs = 0;
};
Shown askForTheProbe(const TuiNamespace& tui, runtime::ProviderRuntimeController& c) {
    auto before = tui.commandRequests();
    tui.type(probePrompt);
    if (!runUntil([&] { return tui.paneShows(probePrompt); }, std::chrono::seconds(60))) return {};
    // Keys sent in one burst count as a paste, whose Enter may land in the composer instead of
    // submitting it: press Enter until the model API has been asked.
    for (int attempt = 0; attempt < 5 && tui.commandRequests() == before; ++attempt) {
        tui.key("Enter");
        runUntil([&] { return tui.commandRequests() > before; }, std::chrono::seconds(10));
    }
    std::optional<Clock::time_point> tuiAt, companionAt;
    runUntil(
        [&] {
            auto now = Clock::now();
            if (!tuiAt && tui.paneShows(approvalQuestion)) tuiAt = now;
            if (!companionAt && approvalOf(c.snapshot())) companionAt = now;
            return tuiAt && companionAt;
        },
        std::chrono::seconds(120));
    if (!tuiAt || !companionAt) return {};
    return {true, std::chrono::duration<double, std::milli>(*companionAt - *tuiAt).count()};
}

TEST(RealCodexTui, ApprovalWaitsReachTheSnapshotAndLeaveIt) {
    if (!fs::exists(realCodex)) GTEST_SKIP() << "run scripts/install-agents.sh to install Codex";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for private network and PID namespaces";
    qtApplication();
    TempDir dir;
    fs::create_directories(dir / "bin");
    installFakeCodex(dir / "bin");  // quota from the fake app-server; tasks and approvals from the real Codex
    qputenv("FAKE_CODEX_SCENARIO", "signedIn");

    TuiNamespace tui(dir / "tui");
    ASSERT_TRUE(runUntil([&] { return !tui.running() || tui.paneShows("Ask Codex to do anything"); },
                         std::chrono::seconds(180)))
        << tui.pane();
    ASSERT_TRUE(tui.running());

    MemoryPreferences preferences;
    codex::upsertSavedCodexAccount(preferences, "codex-default", false);
    runtime::ProviderRuntimeOptions o;
    o.environment = [&](const char* name) -> std::optional<std::string> {
        std::string n = name;
        if (n == "XDG_DATA_HOME") return (dir / "data").string();
        if (n == "HOME") return (dir / "home").string();
        if (n == "PATH") return (dir / "bin").string();
        if (n == "CODEX_HOME") return tui.codexHome().string();
        return std::nullopt;
    };
    o.preferences = &preferences;
    o.claudeCLIFallbackFolders = {};
    o.executablePath = [] { return fs::path("/usr/bin/vigilorb-companion"); };
    o.sides = {[](runtime::ProviderRuntimeController& c) { return std::make_unique<runtime::CodexRuntimeSide>(c); }};
    o.codexLocalPollPeriod = std::chrono::milliseconds(500);
    runtime::ProviderRuntimeController c(std::move(o));
    const std::string row = "Codex Approvals/codex-default";
    ASSERT_TRUE(runUntil([&] { return c.accountStatus(row) && c.accountStatus(row)->isHealthy; },
                         std::chrono::seconds(120)));

    // First case: asked, shown, answered in the TUI.
    auto shown = askForTheProbe(tui, c);
    ASSERT_TRUE(shown.ok) << tui.pane();
    std::printf("approval in the snapshot %.0f ms after the TUI showed it\n", shown.companionAfterTuiMs);
    RecordProperty("companionAfterTuiMs", static_cast<int>(shown.companionAfterTuiMs));
    auto approval = *approvalOf(c.snapshot());
    EXPECT_EQ(approval.kind, PendingActionKind::command);
    EXPECT_EQ(approval.id, "approval-" + approval.taskID);
    const auto taskKey = store::CompanionSnapshot::taskKey(AIProvider::codex, "codex-default", approval.taskID);
    ASSERT_TRUE(c.snapshot().tasksByID.contains(taskKey));
    EXPECT_EQ(c.snapshot().tasksByID.at(taskKey).state, TaskState::waitingApproval);
    EXPECT_TRUE(tui.paneShows(approvalQuestion));  // the TUI still asks while the companion watches

    tui.key("y");
    ASSERT_TRUE(runUntil([&] { return !approvalOf(c.snapshot()); }, std::chrono::seconds(60))) << tui.pane();
    EXPECT_TRUE(runUntil([&] { return fs::exists(tui.base() / "work/probe-file"); }, std::chrono::seconds(60)))
        << tui.pane();
    // The local task observer knows the same thread under the same task ID.
    EXPECT_TRUE(runUntil(
        [&] {
            auto it = c.snapshot().tasksByID.find(taskKey);
            return it != c.snapshot().tasksByID.end() && it->second.state != TaskState::waitingApproval;
        },
        std::chrono::seconds(60)));

    // Second case: asked again, then the TUI is killed and its daemon stopped.
    fs::remove(tui.base() / "work/probe-file");
    shown = askForTheProbe(tui, c);
    ASSERT_TRUE(shown.ok) << tui.pane();
    std::printf("again: approval in the snapshot %.0f ms after the TUI showed it\n", shown.companionAfterTuiMs);
    tui.tmux({"kill-window", "-t", "codex:tui"});
    tui.tmux({"run-shell", QString::fromStdString("'" + realCodex.string() + "' app-server daemon stop >/dev/null 2>&1")});
    ASSERT_TRUE(runUntil([&] { return !approvalOf(c.snapshot()); }, std::chrono::seconds(60)));
    EXPECT_FALSE(files::read(dir / "data/VigilorbCompanion/snapshot-v1.json").value().find("approval-") != std::string::npos);
    ASSERT_TRUE(runUntil([&] { return !c.accountStatus(row)->isHealthy; }, std::chrono::seconds(60)));
    EXPECT_EQ(c.accountStatus(row)->detail,
              "Codex session ended; its approval waits were cleared until a Codex session runs again");
    qunsetenv("FAKE_CODEX_SCENARIO");
}

}  // namespace
