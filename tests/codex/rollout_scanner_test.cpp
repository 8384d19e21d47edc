#include "codex/rollout_scanner.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "codex/task_title.hpp"
#include "temp_dir.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
using namespace std::string_literals;
using vigilorb::test::TempDir;
namespace fs = std::filesystem;

namespace {

const Date fallback = Date::fromUnix(1'700'000'000);

std::string event(const std::string& type, const std::string& timestamp = "2026-12-10T06:28:05.215Z") {
    return R"({"timestamp":")" + timestamp + R"(","type":"event_msg","payload":{"type":")" + type + "\"}}\n";
}

Date at(const char* ts) { return *parseInternetDateTime(ts); }

void append(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << bytes;
}

// A line of exactly `length` bytes (line feed not counted) that is a valid lifecycle record.
std::string paddedEvent(const std::string& type, const char* ts, std::size_t length) {
    std::string head = R"({"timestamp":")" + std::string(ts) + R"(","type":"event_msg","payload":{"type":")" + type +
                       R"("},"pad":")";
    std::string tail = "\"}";
    return head + std::string(length - head.size() - tail.size(), 'x') + tail + "\n";
}

CodexRolloutLifecycleCursor feed(std::string_view bytes) {
    CodexRolloutLifecycleCursor c;
    feedRolloutBytes(c, bytes, fallback);
    return c;
}

TEST(CodexRolloutFeed, RecordsTheLatestTimeOfEachEvent) {
    auto c = feed(event("task_started", "2026-12-10T06:00:00Z") + event("task_complete", "2026-12-10T06:05:00Z") +
                  event("task_complete", "2026-12-10T06:01:00Z") + event("turn_aborted", "2026-12-10T06:02:00.5Z") +
                  event("task_failed", "2026-12-10T06:03:00Z") + event("exec_approval_request", "2026-12-10T06:04:00Z") +
                  event("apply_patch_approval_request", "2026-12-10T06:04:30Z") +
                  event("request_user_input", "2026-12-10 06:06:00Z") +  // unparsable time → fallback
                  event("token_count") + R"({"type":"response_item","payload":{"type":"task_started"}})" "\n" +
                  "garbage\n\n[1]\n" +
                  // nlohmann's lexer stops at a NUL as at the end of a C string.
                  R"({"timestamp":"2026-12-10T07:00:00Z","type":"event_msg","payload":{"type":"task_started"}})" "\0x\n"s);
    const auto& l = c.lifecycle;
    EXPECT_EQ(l.lastStartedAt, at("2026-12-10T06:00:00Z"));
    EXPECT_EQ(l.lastCompletedAt, at("2026-12-10T06:05:00Z"));
    EXPECT_EQ(l.lastCancelledAt, at("2026-12-10T06:02:00.5Z"));
    EXPECT_EQ(l.lastFailedAt, at("2026-12-10T06:03:00Z"));
    EXPECT_EQ(l.lastApprovalAt, at("2026-12-10T06:04:30Z"));
    EXPECT_EQ(l.lastUserInputAt, fallback);
    EXPECT_TRUE(c.bufferedLine.empty());
}

// Any writer's JSON counts, not only Codex's own spelling: spaces around the punctuation and
// \u escapes in the names must not make the scanner pass a lifecycle record by.
TEST(CodexRolloutFeed, RecordsSpelledDifferentlyStillCount) {
    struct Case {
        const char* name;
        std::string line;
        bool counts;
    };
    const Case cases[] = {
        {"spaces", R"({ "timestamp" : "2026-12-10T06:00:00Z", "type" : "event_msg", "payload" : { "type" : "task_started" } })", true},
        {"escaped record type", R"({"timestamp":"2026-12-10T06:00:00Z","type":"event\u005fmsg","payload":{"type":"task_started"}})", true},
        {"escaped payload type", R"({"timestamp":"2026-12-10T06:00:00Z","type":"event_msg","payload":{"type":"t\u0061sk_started"}})", true},
        {"both escaped", R"({"timestamp":"2026-12-10T06:00:00Z","type":"\u0065vent_msg","payload":{"type":"task\u005Fstarted"}})", true},
        {"escape elsewhere only", R"({"timestamp":"2026-12-10T06:00:00Z","type":"response_item","payload":{"type":"task_started","text":"\u001b[1m\u0041"}})", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Whole, and in pieces so the line is also completed from the cursor's buffer.
        std::string bytes = event("token_count") + c.line + "\n" + event("token_count");
        for (std::size_t piece : {std::size_t{1}, std::size_t{100}, bytes.size()}) {
            CodexRolloutLifecycleCursor cursor;
            for (std::size_t i = 0; i < bytes.size(); i += piece)
                feedRolloutBytes(cursor, std::string_view(bytes).substr(i, piece), fallback);
            EXPECT_EQ(cursor.lifecycle.lastStartedAt, c.counts ? std::optional(at("2026-12-10T06:00:00Z")) : std::nullopt)
                << "piece " << piece;
        }
    }
}

TEST(CodexRolloutFeed, LineLimitIs64KiB) {
    auto exact = paddedEvent("task_started", "2026-12-10T06:00:00Z", rolloutMaxLine);
    auto over = paddedEvent("task_complete", "2026-12-10T06:01:00Z", 70000);
    // Fed whole, and fed in small pieces so the limit is enforced on buffered bytes too.
    std::string all = over + exact + event("task_failed", "2026-12-10T06:02:00Z");
    for (std::size_t piece : {all.size(), std::size_t{1000}, std::size_t{7}}) {
        CodexRolloutLifecycleCursor c;
        for (std::size_t i = 0; i < all.size(); i += piece)
            feedRolloutBytes(c, std::string_view(all).substr(i, piece), fallback);
        SCOPED_TRACE(piece);
        EXPECT_EQ(c.lifecycle.lastStartedAt, at("2026-12-10T06:00:00Z"));
        EXPECT_FALSE(c.lifecycle.lastCompletedAt);
        EXPECT_EQ(c.lifecycle.lastFailedAt, at("2026-12-10T06:02:00Z"));
        EXPECT_FALSE(c.isDiscardingOversizedLine);
    }
}

TEST(CodexRolloutScan, ResumesAcrossPollsAndKeepsAnUnfinishedLine) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    append(file, event("task_started", "2026-12-10T06:00:00Z"));
    auto line = event("task_complete", "2026-12-10T06:09:00Z");
    append(file, line.substr(0, 30));

    auto first = scanRollout(file, "t1", fallback, std::nullopt).value();
    ASSERT_TRUE(first.activity);
    EXPECT_EQ(first.activity->threadID, "t1");
    EXPECT_EQ(first.activity->lastTaskStartedAt, at("2026-12-10T06:00:00Z"));
    EXPECT_FALSE(first.activity->lastTaskCompletedAt);
    EXPECT_EQ(first.cursor.bufferedLine, line.substr(0, 30));
    EXPECT_EQ(first.cursor.byteOffset, fs::file_size(file));

    append(file, line.substr(30));
    auto second = scanRollout(file, "t1", fallback, first.cursor).value();
    EXPECT_EQ(second.activity->lastTaskCompletedAt, at("2026-12-10T06:09:00Z"));
    EXPECT_EQ(second.activity->lastActivityAt, at("2026-12-10T06:09:00Z"));
    EXPECT_TRUE(second.cursor.bufferedLine.empty());

    // Nothing new: same result.
    EXPECT_EQ(scanRollout(file, "t1", fallback, second.cursor).value(), second);
}

TEST(CodexRolloutScan, AFileThatShrankIsReadAgainFromItsTail) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    append(file, event("task_started", "2026-12-10T06:00:00Z") + event("task_complete", "2026-12-10T06:01:00Z"));
    auto first = scanRollout(file, "t1", fallback, std::nullopt).value();
    fs::resize_file(file, 0);
    append(file, event("task_failed", "2026-12-10T05:00:00Z"));
    auto second = scanRollout(file, "t1", fallback, first.cursor).value();
    EXPECT_FALSE(second.cursor.lifecycle.lastCompletedAt);
    EXPECT_EQ(second.cursor.lifecycle.lastFailedAt, at("2026-12-10T05:00:00Z"));
}

TEST(CodexRolloutScan, OtherRecordsGiveNoActivityButAdvance) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    append(file, event("token_count") + R"({"type":"session_meta","payload":{}})" "\n");
    auto r = scanRollout(file, "t1", fallback, std::nullopt).value();
    EXPECT_FALSE(r.activity);
    EXPECT_EQ(r.cursor.byteOffset, fs::file_size(file));
}

TEST(CodexRolloutScan, ActivityIsNeverOlderThanTheFallback) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    append(file, event("task_started", "2020-01-01T00:00:00Z"));
    auto r = scanRollout(file, "t1", fallback, std::nullopt).value();
    EXPECT_EQ(r.activity->lastActivityAt, fallback);
    EXPECT_EQ(r.activity->lastTaskStartedAt, at("2020-01-01T00:00:00Z"));
}

TEST(CodexRolloutScan, MissingFileIsOpenFailed) {
    TempDir dir;
    auto r = scanRollout(dir / "gone.jsonl", "t1", fallback, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, RolloutReadError::openFailed);
    EXPECT_EQ(r.error().detail, (dir / "gone.jsonl").string());
}

// Filler made of records that never count, in lines of about 1 KiB.
std::string filler(std::size_t bytes) {
    std::string line = R"({"type":"response_item","payload":{"type":"message","content":")" + std::string(950, 'a') + "\"}}\n";
    std::string out;
    out.reserve(bytes + line.size());
    while (out.size() < bytes) out += line;
    return out;
}

TEST(CodexRolloutScan, BootstrapReadsOnlyTheTailWhenItHoldsALifecycleEvent) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    // An early start that the tail window must not reach, then 1.5 MiB, then a completion.
    append(file, event("task_started", "2026-12-10T05:00:00Z") + filler(1'500'000) +
                     event("task_complete", "2026-12-10T06:00:00Z") + filler(100'000));
    auto r = scanRollout(file, "t1", fallback, std::nullopt).value();
    EXPECT_FALSE(r.cursor.lifecycle.lastStartedAt);
    EXPECT_EQ(r.cursor.lifecycle.lastCompletedAt, at("2026-12-10T06:00:00Z"));
    EXPECT_EQ(r.cursor.byteOffset, fs::file_size(file));
}

TEST(CodexRolloutScan, BootstrapWidensUntilItFindsATaskEvent) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    // Approvals alone do not stop the widening; the start 3 MiB before the end is found.
    append(file, filler(200'000) + event("task_started", "2026-12-10T05:00:00Z") + filler(3'000'000) +
                     event("exec_approval_request", "2026-12-10T06:00:00Z"));
    auto r = scanRollout(file, "t1", fallback, std::nullopt).value();
    EXPECT_EQ(r.cursor.lifecycle.lastStartedAt, at("2026-12-10T05:00:00Z"));
    EXPECT_EQ(r.cursor.lifecycle.lastApprovalAt, at("2026-12-10T06:00:00Z"));
}

TEST(CodexRolloutScan, LargeFileWithoutTaskEventsInItsLast32MiBIsReadWhole) {
    TempDir dir;
    auto file = dir / "rollout.jsonl";
    append(file, event("task_started", "2026-12-10T05:00:00Z"));
    append(file, filler(34 * 1024 * 1024));
    append(file, event("permissions_request", "2026-12-10T06:00:00Z"));
    auto r = scanRollout(file, "t1", fallback, std::nullopt).value();
    EXPECT_EQ(r.cursor.lifecycle.lastStartedAt, at("2026-12-10T05:00:00Z"));
    EXPECT_EQ(r.cursor.lifecycle.lastApprovalAt, at("2026-12-10T06:00:00Z"));
    EXPECT_EQ(r.cursor.byteOffset, fs::file_size(file));
}

}  // namespace

namespace {

// The first read as the simplest reading of the rules: every window read afresh; the whole
// file from offset 0 once 32 MiB of a larger file hold no task event.
CodexRolloutLifecycleCursor referenceBootstrap(const std::string& content) {
    std::uint64_t size = content.size();
    CodexRolloutLifecycleCursor fresh;
    if (size == 0) return fresh;
    std::uint64_t window = std::min<std::uint64_t>(size, rolloutReadChunk);
    for (;;) {
        std::uint64_t start = size - window;
        CodexRolloutLifecycleCursor c;
        c.isDiscardingOversizedLine = start > 0;
        feedRolloutBytes(c, std::string_view(content).substr(start), fallback);
        const auto& l = c.lifecycle;
        if (l.lastStartedAt || l.lastCompletedAt || l.lastFailedAt || l.lastCancelledAt || start == 0) {
            c.byteOffset = size;
            return c;
        }
        if (size <= rolloutMaxTailWindow) {
            window = std::min<std::uint64_t>(window * 2, size);
        } else if (window >= rolloutMaxTailWindow) {
            feedRolloutBytes(fresh, content, fallback);
            fresh.byteOffset = size;
            return fresh;
        } else {
            window = std::min<std::uint64_t>(window * 2, rolloutMaxTailWindow);
        }
    }
}

TEST(CodexRolloutScan, BootstrapMatchesReadingEachWindowAfresh) {
    TempDir dir;
    std::mt19937 rng(7);
    const char* kinds[] = {"task_started", "task_complete", "turn_aborted", "exec_approval_request", "request_user_input"};
    for (int round = 0; round < 40; ++round) {
        std::string content;
        std::size_t target = 1 + rng() % (3 * 1024 * 1024);
        // Task events only early in some files, so the window has to widen across cut lines.
        std::size_t taskEventsUntil = rng() % 2 ? target : target / (2 + rng() % 8);
        while (content.size() < target) {
            auto r = rng() % 100;
            char ts[32];
            std::snprintf(ts, sizeof ts, "2026-12-10T06:%02u:%02uZ", static_cast<unsigned>(rng() % 60),
                          static_cast<unsigned>(rng() % 60));
            if (r < 3) {
                const char* kind = kinds[rng() % 5];
                bool task = std::string(kind).find("request") == std::string::npos;
                if (!task || content.size() < taskEventsUntil) content += paddedEvent(kind, ts, 120 + rng() % 70000);
            } else if (r < 8) {
                content += event(kinds[3 + rng() % 2], ts);
            } else {
                content += std::string(1 + rng() % 20000, 'f') + "\n";
            }
        }
        if (rng() % 2) content += paddedEvent("task_complete", "2026-12-10T07:00:00Z", 200 + rng() % 70000).substr(0, 150);
        auto file = dir / ("rollout-" + std::to_string(round) + ".jsonl");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        SCOPED_TRACE(round);
        EXPECT_EQ(scanRollout(file, "t", fallback, std::nullopt).value().cursor, referenceBootstrap(content));
    }
}

}  // namespace
