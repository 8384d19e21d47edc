// Cost of merging a stream of envelopes, with the file rewrite that every change implies and
// without it (in-memory merge only), so that the write share is visible.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "store/store.hpp"

using namespace vigilorb;
namespace fs = std::filesystem;

namespace {

ProviderEventEnvelope nthEnvelope(long i) {
    TaskSnapshot t{"task-" + std::to_string(i % 40), std::nullopt, "work", AIProvider::claude,
                   "Refactor the parser", i % 3 ? TaskState::running : TaskState::waitingApproval,
                   Date::fromReference(static_cast<double>(i))};
    return ProviderEventEnvelope::make(NormalizedProviderEvent::task(t), Date::fromReference(static_cast<double>(i)));
}

void BM_ApplyInMemory(benchmark::State& state) {
    store::CompanionSnapshot s;
    long i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(s.applyEvent(nthEnvelope(i++)));
}
BENCHMARK(BM_ApplyInMemory);

void BM_ApplyPersisted(benchmark::State& state) {
    auto dir = fs::temp_directory_path() / ("vigilorb-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    store::CompanionSnapshotStore store(dir / "snapshot-v1.json", [] { return Date::fromReference(0); });
    long i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(store.apply(nthEnvelope(i++)));
    fs::remove_all(dir);
}
BENCHMARK(BM_ApplyPersisted);

// Per-event cost for a heavy user: the file holds `range(0)` finished tasks of the last three
// days when the app starts. Each event rewrites whatever the store keeps.
void BM_ApplyWithHistory(benchmark::State& state) {
    const Date now = Date::fromReference(800000000);
    auto dir = fs::temp_directory_path() / ("vigilorb-bench-history-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    store::CompanionSnapshot history;
    for (long i = 0; i < state.range(0); ++i) {
        TaskSnapshot t{"session-" + std::to_string(i), std::nullopt, "work", AIProvider::claude,
                       "Refactor the parser", TaskState::completed, now - 3 * 86400 + static_cast<double>(i)};
        history.tasksByID[store::CompanionSnapshot::taskKey(t)] = t;
    }
    std::ofstream(dir / "snapshot-v1.json") << store::encodeSnapshot(history);
    store::CompanionSnapshotStore store(dir / "snapshot-v1.json", [now] { return now; });
    state.counters["keptTasks"] = static_cast<double>(store.snapshot().value().tasksByID.size());
    long i = 0;
    for (auto _ : state) {
        TaskSnapshot t{"task-" + std::to_string(i++ % 40), std::nullopt, "work", AIProvider::claude,
                       "Refactor the parser", TaskState::running, now};
        benchmark::DoNotOptimize(store.apply(ProviderEventEnvelope::make(NormalizedProviderEvent::task(t), now)));
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_ApplyWithHistory)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
