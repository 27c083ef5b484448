// Throughput of the block kernel on a buffer that stays in cache: as the tool
// runs it, and each variant this CPU runs on its own.
#include "negate.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void in_cache(benchmark::State &state, void (*negate)(unsigned char *, std::size_t) noexcept) {
    std::vector<unsigned char> buf(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<unsigned char>(i * 31);
    }
    for (auto _ : state) {
        negate(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

int main(int argc, char *argv[]) {
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("negate_block_in_cache", in_cache, negate_block)
        ->Arg(4 << 10)
        ->Arg(128 << 10);
    for (const auto &variant : negate_variants()) {
        const std::string name = std::string("negate_block_in_cache/") + variant.name;
        benchmark::RegisterBenchmark(name.c_str(), in_cache, variant.negate)
            ->Arg(4 << 10)
            ->Arg(128 << 10);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
