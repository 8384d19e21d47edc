// Cost of one Cowork library scan over 1,000 generated sessions: the first scan (every
// metadata file and audit tail read and parsed) and the steady state where nothing changed
// (a directory walk and one stat per metadata file and audit log; no file is read). The
// steady-state CPU time divided by the 2-second scan period is the share of one core the
// observer uses while idle.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "claude/cowork_capture.hpp"

using namespace vigilorb;
using namespace vigilorb::claude::cowork;
namespace fs = std::filesystem;

namespace {

constexpr int sessionCount = 1000;
const Date now = Date::fromUnix(1'765'000'000);

struct GeneratedLibrary {
    fs::path root;

    GeneratedLibrary() {
        root = fs::temp_directory_path() / ("vigilorb-cowork-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        for (int i = 0; i < sessionCount; ++i) {
            // Sessions spread over a few organisation/workspace folders, as Claude Desktop nests them.
            auto folder = root / ("org-" + std::to_string(i % 4)) / ("workspace-" + std::to_string(i % 25));
            auto name = "local_" + std::to_string(100000 + i);
            fs::create_directories(folder / name);
            std::ofstream(folder / (name + ".json"))
                << R"({"sessionId":"session-)" << i << R"(","title":"Generated task )" << i
                << R"(","lastActivityAt":)" << static_cast<long long>(now.unix() * 1000 - i * 1000)
                << R"(,"isArchived":)" << (i % 10 == 0 ? "true" : "false") << R"(,"model":"x","cwd":"/tmp"})";
            // A few dozen events per session (about 8 KiB), ending in one of the states.
            std::ofstream audit(folder / name / "audit.jsonl");
            for (int line = 0; line < 40; ++line)
                audit << R"({"type":")" << (line % 2 ? "assistant" : "user")
                      << R"(","_audit_timestamp":"2025-12-06T05:)" << (10 + line) << R"(:00Z","message":{"content":")"
                      << std::string(150, 'x') << "\"}}\n";
            const char* endings[] = {R"({"type":"result","subtype":"success"})",
                                     R"({"type":"system","subtype":"permission_request","tool_name":"Bash"})",
                                     R"({"type":"command_lifecycle","state":"started"})"};
            audit << endings[i % 3] << "\n";
        }
    }
    ~GeneratedLibrary() { fs::remove_all(root); }
};

GeneratedLibrary& library() {
    static GeneratedLibrary lib;
    return lib;
}

void BM_CoworkFirstScan(benchmark::State& state) {
    auto& lib = library();
    std::size_t parsed = 0;
    for (auto _ : state) {
        auto result = captureSessions(lib.root, "work", ObservationCache{}, now);
        parsed = result->parsedCount;
        benchmark::DoNotOptimize(result);
    }
    state.counters["parsed"] = static_cast<double>(parsed);
}
BENCHMARK(BM_CoworkFirstScan)->Unit(benchmark::kMillisecond);

void BM_CoworkSteadyScan(benchmark::State& state) {
    auto& lib = library();
    auto warm = captureSessions(lib.root, "work", {}, now);
    std::size_t parsed = 0, reads = 0;
    for (auto _ : state) {
        auto result = captureSessions(lib.root, "work", warm->cache, now);
        parsed = result->parsedCount;
        reads = result->metadataReadCount;
        benchmark::DoNotOptimize(result);
    }
    state.counters["parsed"] = static_cast<double>(parsed);
    state.counters["metadataReads"] = static_cast<double>(reads);
}
BENCHMARK(BM_CoworkSteadyScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
