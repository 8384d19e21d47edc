// The Codex status rules: which row each account shows and what the summary says, for the
// sequences of reports the quota client, the task observer and the store produce.
#include "codex/account_board.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace vigilorb;
using namespace vigilorb::codex;

namespace vigilorb {
void PrintTo(const StatusRow& r, std::ostream* os) { *os << r.id << " | " << r.detail << " | " << r.isHealthy; }
void PrintTo(const SetSummary& s, std::ostream* os) { *os << s.text << " | " << s.isHealthy; }
}  // namespace vigilorb

namespace {

using Kind = CodexConnectionFailure::Kind;
using Step = std::function<BoardEffects(AccountBoard&)>;

// What the window would show after applying every change in order.
struct Screen {
    std::map<std::string, StatusRow> rows;
    SetSummary summary{"Waiting for local capture to start", false};

    void apply(const BoardEffects& effects) {
        for (const auto& e : effects) {
            if (const auto* set = std::get_if<SetRow>(&e)) rows[set->row.id] = set->row;
            if (const auto* remove = std::get_if<RemoveRow>(&e)) rows.erase(remove->id);
            if (const auto* summary = std::get_if<SetSummary>(&e)) this->summary = *summary;
        }
    }
    std::vector<StatusRow> list() const {
        std::vector<StatusRow> out;
        for (const auto& [id, row] : rows) out.push_back(row);
        return out;
    }
};

Step phase(std::string id, CodexConnectionPhase p) {
    return [=](AccountBoard& b) { return b.phaseChanged(id, p); };
}
Step connected(std::string id) { return phase(std::move(id), CodexConnectionPhase::connected()); }
Step tasks(std::string id, std::string detail, bool healthy) {
    return [=](AccountBoard& b) { return b.taskObserverStatus(id, detail, healthy); };
}
Step notStored(std::string id) {
    return [=](AccountBoard& b) { return b.tasksNotStored(id); };
}
Step stored(std::string id) {
    return [=](AccountBoard& b) {
        b.tasksStored(id);
        return BoardEffects{};
    };
}
Step reconnecting(std::string id) {
    return [=](AccountBoard& b) {
        b.connecting(id);
        return BoardEffects{};
    };
}
Step removed(std::string id) {
    return [=](AccountBoard& b) { return b.removed(id); };
}

const std::string waiting = "Codex quota connected \u00B7 Waiting for local task capture";
const std::string synced = "Synced 2 local tasks";
const std::string notSaved = "Could not save the normalized task observation";
const std::string signedOut = "This Codex profile is signed out. Sign in locally in Codex, then retry.";
const std::string starting = "Starting the local Codex App Server\u2026";

}  // namespace

TEST(CodexAccountBoard, RowsAndSummaryFollowPhasesTaskStatusesAndStoreFailures) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<StatusRow> rows;
        SetSummary summary;
    };
    const Case cases[] = {
        {"no account", {}, {}, {"Waiting for local capture to start", false}},
        {"connected, no task capture yet", {connected("a")}, {{"a", waiting, true}}, {"1 local account connected", true}},
        {"connected with tasks", {connected("a"), tasks("a", synced, true)}, {{"a", synced, true}},
         {"1 local account connected", true}},
        {"task status before the quota client connects",
         {tasks("a", synced, true), phase("a", CodexConnectionPhase::starting())},
         {{"a", starting, false}},
         {"a: " + starting, false}},
        {"task status without any phase counts no account",
         {tasks("a", "Codex home not found", false)},
         {{"a", "Waiting for local capture to start", false}},
         {"Waiting for local capture to start", false}},
        {"a failed phase hides the task status",
         {connected("a"), tasks("a", synced, true), phase("a", CodexConnectionPhase::failed(Kind::notLoggedIn))},
         {{"a", signedOut, false}},
         {"a: " + signedOut, false}},
        {"server exit names its status",
         {phase("a", CodexConnectionPhase::failed(CodexConnectionFailure::serverExited(3)))},
         {{"a", "Codex App Server stopped (exit 3). Retry the connection.", false}},
         {"a: Codex App Server stopped (exit 3). Retry the connection.", false}},
        {"plural, all healthy", {connected("b"), connected("a"), tasks("b", synced, true)},
         {{"a", waiting, true}, {"b", synced, true}},
         {"2 local accounts connected", true}},
        {"a phase problem outranks an earlier account's task problem",
         {connected("a"), tasks("a", "Codex home not found", false), phase("b", CodexConnectionPhase::starting())},
         {{"a", "Codex home not found", false}, {"b", starting, false}},
         {"b: " + starting, false}},
        {"the first account by ID is named",
         {phase("b", CodexConnectionPhase::failed(Kind::notLoggedIn)), phase("a", CodexConnectionPhase::starting())},
         {{"a", starting, false}, {"b", signedOut, false}},
         {"a: " + starting, false}},
        {"a store failure stays through healthy statuses",
         {connected("a"), tasks("a", synced, true), notStored("a"), tasks("a", synced, true)},
         {{"a", notSaved, false}},
         {"a: " + notSaved, false}},
        {"an unhealthy status replaces the store failure",
         {connected("a"), notStored("a"), tasks("a", "Codex home not found", false)},
         {{"a", "Codex home not found", false}},
         {"a: Codex home not found", false}},
        {"a later stored capture lets healthy statuses through again",
         {connected("a"), notStored("a"), stored("a"), tasks("a", synced, true)},
         {{"a", synced, true}},
         {"1 local account connected", true}},
        {"a reconnect forgets the store failure and the task status",
         {connected("a"), notStored("a"), reconnecting("a"), connected("a")},
         {{"a", waiting, true}},
         {"1 local account connected", true}},
        {"a reconnect keeps the last phase until the client reports",
         {phase("a", CodexConnectionPhase::failed(Kind::notLoggedIn)), reconnecting("a"), tasks("a", synced, true)},
         {{"a", signedOut, false}},
         {"a: " + signedOut, false}},
        {"a removed account leaves rows and summary",
         {connected("a"), phase("b", CodexConnectionPhase::failed(Kind::notLoggedIn)),
          [](AccountBoard& b) { return b.approvalStatus("b", ApprovalWatchStatus::watching); }, removed("b")},
         {{"a", waiting, true}},
         {"1 local account connected", true}},
        {"the last account removed", {connected("a"), removed("a")}, {}, {"Waiting for local capture to start", false}},
    };
    for (const auto& c : cases) {
        AccountBoard board;
        Screen screen;
        for (const auto& step : c.steps) screen.apply(step(board));
        EXPECT_EQ(screen.list(), c.rows) << c.name;
        EXPECT_EQ(screen.summary, c.summary) << c.name;
    }
}

TEST(CodexAccountBoard, OnlyCodexQuotasClaimARecordedRow) {
    AccountQuotaSnapshot codexQuota{std::nullopt, "a", AIProvider::codex, {}, Date::fromUnix(1'800'000'000)};
    auto claudeQuota = codexQuota;
    claudeQuota.provider = AIProvider::claude;
    TaskSnapshot task{"t1", std::nullopt, "a", AIProvider::codex, "Fix", TaskState::running, Date::fromUnix(1'800'000'000)};

    AccountBoard board;
    board.phaseChanged("a", CodexConnectionPhase::connected());
    board.taskObserverStatus("a", synced, true);
    EXPECT_FALSE(board.recorded({NormalizedProviderEvent::task(task)}, "a"));
    EXPECT_FALSE(board.recorded({NormalizedProviderEvent::quota(claudeQuota)}, "a"));
    // The quota's row shows what the account shows, not the generic "updated" text.
    auto claimed = board.recorded({NormalizedProviderEvent::task(task), NormalizedProviderEvent::quota(codexQuota)}, "a");
    ASSERT_TRUE(claimed);
    EXPECT_EQ(*claimed, (BoardEffects{SetRow{{"a", synced, true}}, SetSummary{"1 local account connected", true}}));
}

TEST(CodexAccountBoard, RowsOutsideTheAccountsLeaveTheSummaryAlone) {
    AccountBoard board;
    EXPECT_EQ(board.refused(""),
              (BoardEffects{SetRow{{"Invalid account", "Account IDs may contain only letters, numbers, hyphens, and underscores", false}}}));
    EXPECT_EQ(board.refused("a/b"),
              (BoardEffects{SetRow{{"a/b", "Account IDs may contain only letters, numbers, hyphens, and underscores", false}}}));
    EXPECT_EQ(board.removeFailed("a"), (BoardEffects{SetRow{{"a", "Could not remove account. Try again.", false}}}));
    EXPECT_EQ(board.approvalStatus("a", ApprovalWatchStatus::watching),
              (BoardEffects{SetRow{{"Codex Approvals/a", "Watching Codex approval waits (read-only)", true}}}));
    EXPECT_EQ(board.approvalStatus("a", ApprovalWatchStatus::notRunning),
              (BoardEffects{SetRow{{"Codex Approvals/a", "Codex approval waits are not visible until a Codex session runs", false}}}));
    EXPECT_EQ(board.approvalsNotStored("a"),
              (BoardEffects{SetRow{{"Codex Approvals/a", "Could not save the normalized snapshot", false}}}));
    // Removal takes the approval row too, and the summary is said again.
    EXPECT_EQ(board.removed("a"), (BoardEffects{RemoveRow{"a"}, RemoveRow{"Codex Approvals/a"},
                                                SetSummary{"Waiting for local capture to start", false}}));
}

TEST(CodexAccountBoard, DiagnosticsNameTheCLIAndTheServerOnceItAnswers) {
    EXPECT_EQ(diagnosticsText("/usr/bin/codex", std::nullopt), "CLI: /usr/bin/codex\nWaiting for server version");
    EXPECT_EQ(diagnosticsText("/usr/bin/codex", "codex/0.171.0"), "CLI: /usr/bin/codex\ncodex/0.171.0");
}
