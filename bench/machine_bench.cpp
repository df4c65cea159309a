// Throughput of the emulated console: whole run slices (1/16 s of console time each) with the
// screen drawn and the sound mixed, on programs that compute and that poll (bench_programs.h), and
// on a real test ROM when present.
// The "console_s_per_s" counter is emulated seconds per real second (1 = real time); "fps" is
// presented frames per real second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "bench_programs.h"
#include "machine/gbsys.h"

namespace kivo {
namespace {

class DiscardPresenter : public VideoPresenter {
  public:
    void CopyFrameToSurface(const std::uint8_t*) override {}
    void PresentFrame() override {}
};

class DiscardSound : public SoundOutput {
  public:
    void StreamSoundBlock(const std::uint8_t*) override {}
};

void RunSlices(benchmark::State& bench, TGBSYSF& gb) {
    const u32 frames_before = gb.frame_count;
    for (auto _ : bench) gb.RunSlice();
    const double slices = static_cast<double>(bench.iterations());
    bench.counters["console_s_per_s"] =
        benchmark::Counter(slices / 16.0, benchmark::Counter::kIsRate);
    bench.counters["fps"] = benchmark::Counter(static_cast<double>(gb.frame_count - frames_before),
                                               benchmark::Counter::kIsRate);
}

// An assembled program from bench_programs.h.
void BM_ProgramSlice(benchmark::State& bench, std::vector<std::uint8_t> (*program)()) {
    auto gb = std::make_unique<TGBSYSF>();
    DiscardPresenter presenter;
    DiscardSound sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    test::OpenImage(*gb, program());
    RunSlices(bench, *gb);
}
BENCHMARK_CAPTURE(BM_ProgramSlice, Workload, &bench::WorkloadRom)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProgramSlice, BusyPoll, &bench::BusyPollRom)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProgramSlice, AudiblePoll, &bench::AudiblePollRom)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProgramSlice, HaltedSound, &bench::HaltedSoundRom)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ProgramSlice, Life, &bench::LifeRom)->Unit(benchmark::kMillisecond);

void BM_CpuInstrsSlice(benchmark::State& bench) {
    const std::string path = std::string(KIVO_TEST_ROMS) + "/blargg/cpu_instrs.gb";
    if (!std::filesystem::exists(path)) {
        bench.SkipWithError("cpu_instrs.gb not found");
        return;
    }
    auto gb = std::make_unique<TGBSYSF>();
    DiscardPresenter presenter;
    DiscardSound sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    gb->noise_seed_source = [] { return 0u; };
    gb->rom_file_name = path;
    if (!gb->OpenRom()) {
        bench.SkipWithError("cpu_instrs.gb cannot be opened");
        return;
    }
    RunSlices(bench, *gb);
}
BENCHMARK(BM_CpuInstrsSlice)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
