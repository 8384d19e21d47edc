// Benchmarks of the Codex readers (run by bench/codex_bench.sh, never by the test suite).
//   codex_bench rollout FILE MIB tail|worst   generate a rollout
//   codex_bench scan FILE REPEAT              first scan (no cursor), best of REPEAT
//   codex_bench incremental FILE MIB          scan, append MIB, time the next poll
//   codex_bench home DIR THREADS              generate a Codex home (rollouts, 8 MiB index)
//   codex_bench capture DIR POLLS             first capture and steady-state polls
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "codex/local_observer.hpp"
#include "codex/rollout_scanner.hpp"
#include "codex/session_index.hpp"
#include "../tests/codex/codex_home_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::codex;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string iso(std::time_t t, int millis) {
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::gmtime(&t));
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, millis);
    return out;
}

// Lines shaped like Codex 0.171.0's: most bytes are response items, every turn has a start,
// token counts, messages and a completion.
struct RolloutWriter {
    std::mt19937 rng{42};
    std::time_t t = 1796883485;
    int ordinal = 0;
    std::string text(std::size_t n) {
        static const char words[] = "the build fails because the cache key ignores the lock file ";
        std::string s;
        s.reserve(n);
        while (s.size() < n) s += words[rng() % (sizeof words - 1)];
        return s;
    }
    std::string line(const std::string& type, const std::string& payload) {
        ++ordinal;
        return R"({"timestamp":")" + iso(t, ordinal % 1000) + R"(","ordinal":)" + std::to_string(ordinal) +
               R"(,"type":")" + type + R"(","payload":)" + payload + "}\n";
    }
    std::string turn(bool lifecycle) {
        std::string out;
        t += 7;
        if (lifecycle) out += line("event_msg", R"({"type":"task_started","turn_id":"t)" + std::to_string(ordinal) + R"("})");
        out += line("turn_context", R"({"cwd":"/home/dev/project","model":"gpt-5","approval_policy":"on-request"})");
        for (int i = 0; i < 6; ++i) {
            out += line("response_item", R"({"type":"message","role":"assistant","content":[{"type":"output_text","text":")" +
                                             text(1500 + rng() % 5000) + R"("}]})");
            out += line("event_msg", R"({"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
                                         std::to_string(rng() % 100000) + R"(,"output_tokens":812},"model_context_window":272000}})");
            out += line("event_msg", R"({"type":"agent_message","message":")" + text(200) + R"("})");
        }
        if (lifecycle) out += line("event_msg", R"({"type":"task_complete","last_agent_message":")" + text(120) + R"("})");
        return out;
    }
};

int generateRollout(const fs::path& file, double mib, bool worst) {
    RolloutWriter w;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    auto total = static_cast<std::size_t>(mib * 1024 * 1024);
    std::size_t written = 0;
    // Worst case: lifecycle events only in the first 10 % — the last 32 MiB hold none, so the
    // first scan has to read the whole file.
    while (written < total) {
        bool lifecycle = !worst || written < total / 10;
        auto chunk = w.turn(lifecycle);
        if (worst && lifecycle && written == 0) chunk += w.line("event_msg", R"({"type":"exec_approval_request"})");
        out << chunk;
        written += chunk.size();
    }
    return 0;
}

int scan(const fs::path& file, int repeat) {
    double best = 1e9;
    CodexRolloutLifecycleScanResult result;
    for (int i = 0; i < repeat; ++i) {
        auto a = Clock::now();
        result = scanRollout(file, "bench", Date::fromUnix(0), std::nullopt).value();
        best = std::min(best, seconds(a, Clock::now()));
    }
    std::printf("scan_seconds %.6f\nscan_activity %d\n", best, result.activity ? 1 : 0);
    return 0;
}

int incremental(const fs::path& file, double mib) {
    auto first = scanRollout(file, "bench", Date::fromUnix(0), std::nullopt).value();
    RolloutWriter w;
    w.t = 1796983485;
    std::string more;
    while (more.size() < mib * 1024 * 1024) more += w.turn(true);
    std::ofstream(file, std::ios::binary | std::ios::app) << more;
    auto a = Clock::now();
    auto next = scanRollout(file, "bench", Date::fromUnix(0), first.cursor).value();
    auto s = seconds(a, Clock::now());
    auto idle = Clock::now();
    (void)scanRollout(file, "bench", Date::fromUnix(0), next.cursor).value();
    std::printf("incremental_bytes %zu\nincremental_seconds %.6f\nidle_poll_seconds %.6f\n", more.size(), s,
                seconds(idle, Clock::now()));
    return 0;
}

int generateHome(const fs::path& home, int threads) {
    fs::create_directories(home);
    test::SqliteWriter db(home / "state_5.sqlite");
    db.exec("PRAGMA journal_mode=WAL;");
    db.exec(test::codexThreadsTable);
    db.exec("BEGIN;");
    auto now = static_cast<long long>(std::time(nullptr));
    RolloutWriter w;
    w.t = static_cast<std::time_t>(now - 3600);
    for (int i = 0; i < threads; ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "019b%04x-7c2e-7d11-9a3b-%012d", i, i);
        auto rollout = home / "sessions/2026/12/10" / (std::string("rollout-2026-12-10T06-00-00-") + id + ".jsonl");
        fs::create_directories(rollout.parent_path());
        std::ofstream out(rollout, std::ios::binary);
        for (int turn = 0; turn < 3; ++turn) out << w.turn(true);
        db.exec(test::insertThread({.id = id, .rolloutPath = rollout.string(), .updatedAt = now - i * 10}));
    }
    db.exec("COMMIT;");
    // An 8 MiB session index: many renames of the same threads.
    std::ofstream index(home / "session_index.jsonl", std::ios::binary);
    std::size_t size = 0;
    for (int n = 0; size < 8 * 1024 * 1024; ++n) {
        char id[64];
        std::snprintf(id, sizeof id, "019b%04x-7c2e-7d11-9a3b-%012d", n % threads, n % threads);
        std::string line = R"({"id":")" + std::string(id) + R"(","thread_name":"rename )" + std::to_string(n) +
                           R"( of the task that fixes the cache key","updated_at":")" + iso(now - 100000 + n, 0) + "\"}\n";
        index << line;
        size += line.size();
    }
    return 0;
}

int captureHome(const fs::path& home, int polls) {
    CaptureState state;
    auto c0 = cpuSeconds();
    auto a = Clock::now();
    auto first = capture("bench", home, state, Date::now());
    auto firstSeconds = seconds(a, Clock::now());
    auto firstCPU = cpuSeconds() - c0;
    if (!first) {
        std::fprintf(stderr, "capture failed\n");
        return 1;
    }
    c0 = cpuSeconds();
    a = Clock::now();
    for (int i = 0; i < polls; ++i) capture("bench", home, state, Date::now());
    auto steady = seconds(a, Clock::now()) / polls;
    auto steadyCPU = (cpuSeconds() - c0) / polls;
    // The same polls when the index is read and parsed every time.
    c0 = cpuSeconds();
    for (int i = 0; i < polls; ++i) {
        CaptureState fresh;
        fresh.cursors = state.cursors;
        capture("bench", home, fresh, Date::now());
    }
    auto uncachedCPU = (cpuSeconds() - c0) / polls;
    std::printf("threads %zu\ntasks %zu\nfirst_seconds %.6f\nfirst_cpu_seconds %.6f\nsteady_seconds %.6f\n"
                "steady_cpu_seconds %.6f\nsteady_core_share_at_3s %.5f%%\nuncached_index_cpu_seconds %.6f\n",
                first->indexedIDs.size(), first->tasks.size(), firstSeconds, firstCPU, steady, steadyCPU,
                steadyCPU / 3.0 * 100, uncachedCPU);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "rollout" && argc == 5) return generateRollout(argv[2], std::atof(argv[3]), std::string(argv[4]) == "worst");
    if (cmd == "scan" && argc == 4) return scan(argv[2], std::atoi(argv[3]));
    if (cmd == "incremental" && argc == 4) return incremental(argv[2], std::atof(argv[3]));
    if (cmd == "home" && argc == 4) return generateHome(argv[2], std::atoi(argv[3]));
    if (cmd == "capture" && argc == 4) return captureHome(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: see the top of codex_bench.cpp\n");
    return 2;
}
