// The rewind ring's cost: one snapshot (the state file's bytes and the picture) as the worker
// takes it after every fourth run slice. Four of them are taken per console second; compare with
// the slice benchmarks (16 slices per console second) for the share of the emulation's time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ui/rewind_ring.h"

namespace kivo {
namespace {

void BM_RewindSnapshot(benchmark::State& bench) {
    auto gb = std::make_unique<TGBSYSF>();
    RewindRing ring;
    const std::vector<u8> picture(RewindRing::kPictureBytes, 0x5A);
    for (auto _ : bench) {
        for (int i = 0; i < RewindRing::kSlicesPerSnapshot; ++i) {
            if (u8* slot = ring.AfterSlice(*gb)) {
                std::memcpy(slot, picture.data(), picture.size());
            }
        }
        benchmark::ClobberMemory();
    }
    bench.counters["ring_MB"] = static_cast<double>(ring.bytes()) / (1 << 20);
}
BENCHMARK(BM_RewindSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kivo
