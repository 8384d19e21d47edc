#include <gtest/gtest.h>

#include <unistd.h>

#include "claude/claude_desktop_files.hpp"
#include "claude/claude_desktop_usage.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::claude;
namespace fs = std::filesystem;

namespace {

constexpr double t0 = 1'765'000'000;  // Unix seconds

std::string sample(double unixSeconds, std::string usage, std::string org = "") {
    std::string s = "{\"t\":" + std::to_string(static_cast<long long>(unixSeconds * 1000)) + ",\"u\":{" + usage + "}";
    if (!org.empty()) s += ",\"org\":" + org;
    return s + "}";
}

std::string history(std::initializer_list<std::string> samples) {
    std::string s = "{\"samples\":[";
    bool first = true;
    for (const auto& x : samples) {
        if (!first) s += ",";
        s += x;
        first = false;
    }
    return s + "]}";
}

std::optional<Date> fiveHourReset(const std::string& bytes) {
    auto q = ClaudeDesktopUsageHistoryParser::parse(bytes, "work").value();
    if (!q) throw std::runtime_error("no snapshot");
    return q->windows.at(0).resetsAt;
}

}  // namespace

TEST(ClaudeDesktopUsageHistoryParser, NewestSampleBecomesTheSnapshot) {
    auto q = ClaudeDesktopUsageHistoryParser::parse(
        history({sample(t0, "\"fh\":10,\"sd\":3"), sample(t0 + 60, "\"sd\":13.4,\"fh\":42.5,\"x\":1"),
                 sample(t0 + 30, "\"fh\":99")}),
        "work").value();
    ASSERT_TRUE(q);
    EXPECT_EQ(q->accountID, "work");
    EXPECT_EQ(q->provider, AIProvider::claude);
    EXPECT_FALSE(q->sourceID);
    EXPECT_EQ(q->capturedAt, Date::fromUnix(t0 + 60));
    ASSERT_EQ(q->windows.size(), 2u);
    EXPECT_EQ(q->windows[0].kind, QuotaWindowKind::fiveHour);
    EXPECT_EQ(q->windows[0].usedPercentage, 42.5);
    EXPECT_EQ(q->windows[0].durationMinutes, 300);
    EXPECT_EQ(q->windows[1].kind, QuotaWindowKind::sevenDay);
    EXPECT_EQ(q->windows[1].durationMinutes, 10080);
    EXPECT_EQ(usageStatusText(*q), "Claude Desktop quota connected · 5h 43% · 7d 13%");
}

TEST(ClaudeDesktopUsageHistoryParser, PercentagesAreClamped) {
    auto high = ClaudeDesktopUsageHistoryParser::parse(history({sample(t0, "\"fh\":120")}), "a").value();
    auto low = ClaudeDesktopUsageHistoryParser::parse(history({sample(t0, "\"fh\":-3")}), "a").value();
    EXPECT_EQ(high->windows.at(0).usedPercentage, 100);
    EXPECT_EQ(low->windows.at(0).usedPercentage, 0);
    EXPECT_EQ(usageStatusText(*high), "Claude Desktop quota connected · 5h 100%");
    EXPECT_EQ(usageStatusText(*low), "Claude Desktop quota connected · 5h 0%");
}

TEST(ClaudeDesktopUsageHistoryParser, NothingToReport) {
    EXPECT_FALSE(ClaudeDesktopUsageHistoryParser::parse(R"({"samples":[]})", "a").value());
    // The newest sample decides, even when older ones had windows.
    EXPECT_FALSE(ClaudeDesktopUsageHistoryParser::parse(
        history({sample(t0, "\"fh\":10,\"sd\":4"), sample(t0 + 10, "\"other\":5")}), "a").value());
}

TEST(ClaudeDesktopUsageHistoryParser, MalformedHistoriesAreInvalidJSON) {
    const std::string cases[] = {
        "",
        "{\"samples\":[{\"t\":1,\"u\":{\"fh\":1}}",  // truncated
        "[]",
        "{}",
        "{\"samples\":null}",
        "{\"samples\":{}}",
        "{\"samples\":[1]}",
        "{\"samples\":[{\"u\":{\"fh\":1}}]}",
        "{\"samples\":[{\"t\":\"1\",\"u\":{\"fh\":1}}]}",
        "{\"samples\":[{\"t\":1}]}",
        "{\"samples\":[{\"t\":1,\"u\":[]}]}",
        "{\"samples\":[{\"t\":1,\"u\":{\"fh\":\"10\"}}]}",
        "{\"samples\":[{\"t\":1,\"u\":{\"fh\":1,\"other\":true}}]}",
        "{\"samples\":[{\"t\":1,\"u\":{\"fh\":1},\"org\":5}]}",
        "{\"samples\":[{\"t\":true,\"u\":{\"fh\":1}}]}",
        // nlohmann's lexer stops at a NUL as at the end of a C string.
        history({sample(t0, "\"fh\":1")}) + std::string("\0garbage", 8),
    };
    for (const std::string& bytes : cases) {
        EXPECT_EQ(ClaudeDesktopUsageHistoryParser::parse(bytes, "a"), std::unexpected(ProviderMessageParsingError::invalidJSON))
            << bytes;
    }
    // Null organisation and unknown keys are fine.
    EXPECT_TRUE(ClaudeDesktopUsageHistoryParser::parse(
        R"({"v":2,"samples":[{"t":1,"u":{"fh":1},"org":null,"extra":[1]}]})", "a").value());
}

TEST(ClaudeDesktopUsageHistoryParser, ResetTimeWalk) {
    const double fiveHours = 18000;
    struct Case {
        const char* name;
        std::string bytes;
        std::optional<Date> reset;
    };
    Case cases[] = {
        {"single sample", history({sample(t0, "\"fh\":10")}), std::nullopt},
        {"steady rise never shows the start",
         history({sample(t0, "\"fh\":10"), sample(t0 + 300, "\"fh\":20"), sample(t0 + 900, "\"fh\":30")}),
         std::nullopt},
        {"rise from zero", history({sample(t0, "\"fh\":0"), sample(t0 + 300, "\"fh\":5"), sample(t0 + 900, "\"fh\":9")}),
         Date::fromUnix(t0 + 300 + fiveHours)},
        {"drop marks a new window",
         history({sample(t0, "\"fh\":80"), sample(t0 + 60, "\"fh\":3"), sample(t0 + 120, "\"fh\":4")}),
         Date::fromUnix(t0 + 60 + fiveHours)},
        {"gap of exactly 600 s is continuous", history({sample(t0, "\"fh\":0"), sample(t0 + 600, "\"fh\":5")}),
         Date::fromUnix(t0 + 600 + fiveHours)},
        {"gap of 601 s breaks the walk", history({sample(t0, "\"fh\":0"), sample(t0 + 601, "\"fh\":5")}),
         std::nullopt},
        {"newest at zero has no reset", history({sample(t0, "\"fh\":5"), sample(t0 + 60, "\"fh\":0")}), std::nullopt},
        {"older sample without the key stops the walk",
         history({sample(t0, "\"fh\":0"), sample(t0 + 60, "\"sd\":5"), sample(t0 + 120, "\"fh\":5")}), std::nullopt},
        {"file order does not matter, time does",
         history({sample(t0 + 120, "\"fh\":7"), sample(t0, "\"fh\":0"), sample(t0 + 60, "\"fh\":2")}),
         Date::fromUnix(t0 + 60 + fiveHours)},
        {"another organisation between ours is filtered out",
         history({sample(t0, "\"fh\":0", "\"a\""), sample(t0 + 300, "\"fh\":90", "\"b\""),
                  sample(t0 + 500, "\"fh\":5", "\"a\"")}),
         Date::fromUnix(t0 + 500 + fiveHours)},
        {"absent organisation never matches a present one",
         history({sample(t0, "\"fh\":0", "\"a\""), sample(t0 + 60, "\"fh\":5")}), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(fiveHourReset(c.bytes), c.reset) << c.name;

    auto both = ClaudeDesktopUsageHistoryParser::parse(
        history({sample(t0, "\"fh\":0,\"sd\":0"), sample(t0 + 60, "\"fh\":1,\"sd\":2")}), "a").value();
    EXPECT_EQ(both->windows[1].resetsAt, Date::fromUnix(t0 + 60 + 604800));
}

TEST(ClaudeDesktopUsageHistoryParser, TieOnNewestTimestampTakesTheEarlierSampleInFile) {
    auto q = ClaudeDesktopUsageHistoryParser::parse(
        history({sample(t0 - 60, "\"fh\":0", "\"b\""), sample(t0, "\"fh\":11", "\"b\""),
                 sample(t0, "\"fh\":77", "\"a\""), sample(t0 - 60, "\"fh\":0", "\"a\"")}),
        "x").value();
    EXPECT_EQ(q->windows.at(0).usedPercentage, 11);
    EXPECT_EQ(q->windows.at(0).resetsAt, Date::fromUnix(t0 + 18000));
}

TEST(ClaudeDesktopUsageMerge, KeepsAFutureResetTimeOnlyWhenTheCaptureHasNone) {
    Date now = Date::fromUnix(t0);
    auto quota = [](double captured, std::vector<QuotaWindow> windows, std::string account = "work") {
        return AccountQuotaSnapshot{std::nullopt, account, AIProvider::claude, std::move(windows),
                                    Date::fromUnix(captured)};
    };
    QuotaWindow fhWithReset{QuotaWindowKind::fiveHour, 30, Date::fromUnix(t0 + 100), 300};
    QuotaWindow sdWithPastReset{QuotaWindowKind::sevenDay, 5, Date::fromUnix(t0 - 1), 10080};
    auto stored = quota(t0 - 60, {fhWithReset, sdWithPastReset});
    stored.sourceID = "elsewhere";

    auto fresh = quota(t0, {{QuotaWindowKind::fiveHour, 45, std::nullopt, 300},
                            {QuotaWindowKind::sevenDay, 6, std::nullopt, 10080}});
    auto merged = mergeUsageQuota(fresh, stored, now);
    EXPECT_EQ(merged.capturedAt, fresh.capturedAt);
    EXPECT_FALSE(merged.sourceID);
    EXPECT_EQ(merged.windows[0], (QuotaWindow{QuotaWindowKind::fiveHour, 45, Date::fromUnix(t0 + 100), 300}));
    EXPECT_EQ(merged.windows[1], fresh.windows[1]) << "a past reset time is not carried over";

    // A capture with its own reset time keeps it.
    auto own = quota(t0, {{QuotaWindowKind::fiveHour, 45, Date::fromUnix(t0 + 9000), 300}});
    EXPECT_EQ(mergeUsageQuota(own, stored, now), own);
    // Not newer: the stored snapshot stays.
    EXPECT_EQ(mergeUsageQuota(quota(t0 - 60, fresh.windows), stored, now), stored);
    // Nothing stored, or a different account: the capture as it is.
    EXPECT_EQ(mergeUsageQuota(fresh, std::nullopt, now), fresh);
    EXPECT_EQ(mergeUsageQuota(fresh, quota(t0 - 60, {fhWithReset}, "other"), now), fresh);
    // The first stored window of a kind wins.
    auto twice = quota(t0 - 60, {fhWithReset, {QuotaWindowKind::fiveHour, 1, Date::fromUnix(t0 + 500), 300}});
    EXPECT_EQ(mergeUsageQuota(fresh, twice, now).windows[0].resetsAt, Date::fromUnix(t0 + 100));
}

TEST(ClaudeDesktopUsageCapture, FileOutcomes) {
    test::TempDir home;
    auto env = [&](const char* name) -> std::optional<std::string> {
        if (std::string_view(name) == "HOME") return home.path().string();
        return std::nullopt;
    };
    auto file = desktop::usageHistoryFile(env);
    ASSERT_EQ(*file, home / ".config/Claude/plan-usage-history.json");

    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyMissing);
    EXPECT_EQ(captureUsage(std::nullopt, "a").error(), UsageObserverError::historyMissing);

    fs::create_directories(file->parent_path());
    test::writeText(*file, "{\"samples\":[{\"t\":1");
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyUnreadable);
    test::writeText(*file, "{\"samples\":[]}");
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::usageUnavailable);
    test::writeText(*file, history({sample(t0, "\"fh\":42")}));
    EXPECT_EQ(captureUsage(file, "a")->windows.at(0).usedPercentage, 42);

    // A folder, a FIFO or a huge file in its place is unreadable, without hanging or loading it.
    fs::remove(*file);
    fs::create_directory(*file);
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyUnreadable);
    fs::remove(*file);
    ASSERT_EQ(::mkfifo(file->c_str(), 0600), 0);
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyUnreadable);
    fs::remove(*file);
    test::writeText(*file, "{}");
    fs::resize_file(*file, 2ull * 1024 * 1024 * 1024);  // sparse
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyUnreadable);

    // Gone after having existed: waiting again.
    fs::remove(*file);
    EXPECT_EQ(captureUsage(file, "a").error(), UsageObserverError::historyMissing);
}

TEST(ClaudeDesktopUsagePolling, HandsOverOnlyNewerCapturesButAlwaysRefreshesTheStatus) {
    UsagePollingState state;
    auto q = [](double t, double used) {
        return AccountQuotaSnapshot{std::nullopt, "a", AIProvider::claude, {{QuotaWindowKind::sevenDay, used, {}, 10080}},
                                    Date::fromUnix(t)};
    };
    auto first = state.onCapture(q(t0, 13));
    EXPECT_TRUE(first.handOver);
    EXPECT_EQ(first.status, "Claude Desktop quota connected · 7d 13%");
    EXPECT_TRUE(first.healthy);

    auto same = state.onCapture(q(t0, 14));
    EXPECT_FALSE(same.handOver);
    EXPECT_EQ(same.status, "Claude Desktop quota connected · 7d 14%");

    auto failed = state.onCapture(std::unexpected(UsageObserverError::usageUnavailable));
    EXPECT_FALSE(failed.handOver);
    EXPECT_FALSE(failed.healthy);
    EXPECT_EQ(failed.status, "Claude Desktop has not reported a five-hour or weekly quota yet");
    EXPECT_EQ(state.onCapture(std::unexpected(UsageObserverError::historyMissing)).status,
              "Waiting for Claude Desktop to create local quota history");
    EXPECT_EQ(state.onCapture(std::unexpected(UsageObserverError::historyUnreadable)).status,
              "Claude Desktop local quota history is temporarily unavailable");

    EXPECT_TRUE(state.onCapture(q(t0 + 1, 14)).handOver);
    state.reset();
    EXPECT_TRUE(state.onCapture(q(t0 + 1, 14)).handOver) << "a restart hands the next capture over again";
}
