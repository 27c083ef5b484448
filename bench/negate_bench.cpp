// Throughput of the block kernel on a buffer that stays in cache.
#include "negate.hpp"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void negate_block_in_cache(benchmark::State &state) {
    std::vector<unsigned char> buf(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<unsigned char>(i * 31);
    }
    for (auto _ : state) {
        negate_block(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(negate_block_in_cache)->Arg(4 << 10)->Arg(128 << 10);

} // namespace

BENCHMARK_MAIN();
