// Cost of merging a stream of envelopes, with the file rewrite that every change implies and
// without it (in-memory merge only), so that the write share is visible.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

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
    CompanionSnapshot s;
    long i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(s.applyEvent(nthEnvelope(i++)));
}
BENCHMARK(BM_ApplyInMemory);

void BM_ApplyPersisted(benchmark::State& state) {
    auto dir = fs::temp_directory_path() / ("vigilorb-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    CompanionSnapshotStore store(dir / "snapshot-v1.json", [] { return Date::fromReference(0); });
    long i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(store.apply(nthEnvelope(i++)));
    fs::remove_all(dir);
}
BENCHMARK(BM_ApplyPersisted);

}  // namespace

BENCHMARK_MAIN();
