// The Claude Desktop status rules: rows, observer line and summary for sequences of starts,
// stops, observer statuses and store failures.
#include "claude/desktop_board.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace vigilorb;
using namespace vigilorb::claude;

namespace vigilorb {
void PrintTo(const StatusRow& r, std::ostream* os) { *os << r.id << " | " << r.detail << " | " << r.isHealthy; }
}  // namespace vigilorb

namespace {

using Step = std::function<DesktopEffects(DesktopBoard&)>;

// What the window would show after applying every change in order.
struct Screen {
    std::map<std::string, StatusRow> rows;
    SetObserverLine observer{false, "Not enabled"};
    std::optional<std::string> summary;

    void apply(const DesktopEffects& effects) {
        for (const auto& e : effects) {
            if (const auto* set = std::get_if<SetRow>(&e)) rows[set->row.id] = set->row;
            if (const auto* remove = std::get_if<RemoveRow>(&e)) rows.erase(remove->id);
            if (const auto* line = std::get_if<SetObserverLine>(&e)) observer = *line;
            if (const auto* s = std::get_if<SetClaudeSummary>(&e)) summary = s->text;
        }
    }
    std::vector<StatusRow> list() const {
        std::vector<StatusRow> out;
        for (const auto& [id, row] : rows) out.push_back(row);
        return out;
    }
};

Step start(std::string raw) {
    return [=](DesktopBoard& b) { return b.start(raw).effects; };
}
Step stop() {
    return [](DesktopBoard& b) { return b.stop(); };
}
Step cowork(std::string text, bool healthy = true) {
    return [=](DesktopBoard& b) { return b.coworkStatus(text, healthy); };
}
Step usage(std::string text, bool healthy = true) {
    return [=](DesktopBoard& b) { return b.usageStatus(text, healthy); };
}
Step clearFailed() {
    return [](DesktopBoard& b) { return b.clearFailed(); };
}

const std::string scanning = "Scanning local Cowork sessions";
const std::string connecting = "Connecting to local Claude Cowork session events…";
const std::string refused = "Account IDs may contain only letters, numbers, hyphens, and underscores";
const std::string synced = "Synced 3 local Cowork sessions";
const std::string noLibrary = "Claude Desktop Cowork library not found";
const std::string plan = "Plan usage read";
const std::string notCleared = "Could not clear an unavailable local task observation";

}  // namespace

TEST(ClaudeDesktopBoard, RowsObserverLineAndSummaryFollowStartsStopsAndPasses) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<StatusRow> rows;
        SetObserverLine observer;
        std::optional<std::string> summary;
        std::optional<std::string> account;
    };
    const Case cases[] = {
        {"a start scans the trimmed account",
         {start("  desk ")},
         {{"Claude Desktop/desk", scanning, true}},
         {true, connecting},
         std::nullopt,
         "desk"},
        {"the first pass replaces Connecting on the observer line",
         {start("a"), cowork(synced), usage(plan)},
         {{"Claude Desktop/a", synced, true}, {"Claude Usage/a", plan, true}},
         {true, synced},
         std::nullopt,
         "a"},
        {"a refused ID before any start", {start("a/b")}, {}, {false, refused}, std::nullopt, std::nullopt},
        {"a refusal keeps the running account and outlasts its passes",
         {start("a"), start(" "), cowork(noLibrary, false)},
         {{"Claude Desktop/a", noLibrary, false}},
         {true, refused},
         std::nullopt,
         "a"},
        {"a new start ends the refusal",
         {start("a"), start("a/b"), start("a"), cowork(synced)},
         {{"Claude Desktop/a", synced, true}},
         {true, synced},
         std::nullopt,
         "a"},
        {"another account takes the previous rows away",
         {start("a"), cowork(synced), usage(plan), start("b")},
         {{"Claude Desktop/b", scanning, true}},
         {true, connecting},
         std::nullopt,
         "b"},
        {"the same account again keeps its usage row",
         {start("a"), cowork(synced), usage(plan), start("a")},
         {{"Claude Desktop/a", scanning, true}, {"Claude Usage/a", plan, true}},
         {true, connecting},
         std::nullopt,
         "a"},
        {"a failed clear outlasts the status of its own pass only",
         {start("a"), clearFailed(), cowork(noLibrary, false)},
         {{"Claude Desktop/a", notCleared, false}},
         {true, noLibrary},
         std::nullopt,
         "a"},
        {"the next pass shows its status again",
         {start("a"), clearFailed(), cowork(noLibrary, false), cowork(noLibrary, false)},
         {{"Claude Desktop/a", noLibrary, false}},
         {true, noLibrary},
         std::nullopt,
         "a"},
        {"a restart forgets a pending clear failure",
         {start("a"), clearFailed(), start("a"), cowork(synced)},
         {{"Claude Desktop/a", synced, true}},
         {true, synced},
         std::nullopt,
         "a"},
        {"stop says so on the row, the line and the summary",
         {start("a"), cowork(synced), usage(plan), stop()},
         {{"Claude Desktop/a", "Local observer stopped", false}, {"Claude Usage/a", plan, true}},
         {false, "Stopped; Claude Desktop will no longer be read"},
         "Claude Desktop observer is not enabled",
         std::nullopt},
        {"stop ends a refusal and passes after it change nothing",
         {start("a"), start("a/b"), stop(), cowork(synced), usage(plan), clearFailed()},
         {{"Claude Desktop/a", "Local observer stopped", false}},
         {false, "Stopped; Claude Desktop will no longer be read"},
         "Claude Desktop observer is not enabled",
         std::nullopt},
        {"a refusal after stop keeps observing off",
         {start("a"), stop(), start("?")},
         {{"Claude Desktop/a", "Local observer stopped", false}},
         {false, refused},
         "Claude Desktop observer is not enabled",
         std::nullopt},
        {"stop with nothing observed", {stop()}, {}, {false, "Stopped; Claude Desktop will no longer be read"},
         "Claude Desktop observer is not enabled", std::nullopt},
        {"store failures land on their rows",
         {start("a"), cowork(synced), usage(plan), [](DesktopBoard& b) { return b.coworkNotStored(); },
          [](DesktopBoard& b) { return b.usageNotStored(); }},
         {{"Claude Desktop/a", "Could not save the normalized snapshot", false},
          {"Claude Usage/a", "Could not save the normalized snapshot", false}},
         {true, synced},
         std::nullopt,
         "a"},
        {"the stopped account's cleanup failure",
         {start("a"), stop(), [](DesktopBoard& b) { return b.cleanupFailed("a"); }},
         {{"Claude Desktop/a", "Could not clean up the stopped observation task", false}},
         {false, "Stopped; Claude Desktop will no longer be read"},
         "Claude Desktop observer is not enabled",
         std::nullopt},
    };
    for (const auto& c : cases) {
        DesktopBoard board;
        Screen screen;
        for (const auto& step : c.steps) screen.apply(step(board));
        EXPECT_EQ(screen.list(), c.rows) << c.name;
        EXPECT_EQ(screen.observer, c.observer) << c.name << ": " << screen.observer.status;
        EXPECT_EQ(screen.summary, c.summary) << c.name;
        EXPECT_EQ(board.account(), c.account) << c.name;
    }
}

TEST(ClaudeDesktopBoard, StartSaysWhichAccountWasAccepted) {
    DesktopBoard board;
    EXPECT_EQ(board.start("\u00A0work\t").account, "work");
    EXPECT_TRUE(board.isActive("work"));
    EXPECT_FALSE(board.start("").account);
    EXPECT_FALSE(board.start("a b").account);
    EXPECT_TRUE(board.isActive("work"));  // a refusal leaves the running account observed
}
