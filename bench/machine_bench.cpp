// Throughput of the emulated console: whole run slices (1/16 s of console time each) with the
// screen drawn and the sound mixed, on a synthetic workload and on a real test ROM when present.
// The "console_s_per_s" counter is emulated seconds per real second (1 = real time); "fps" is
// presented frames per real second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using namespace gbasm;

class DiscardPresenter : public VideoPresenter {
  public:
    void CopyFrameToSurface(const std::uint8_t*) override {}
    void PresentFrame() override {}
};

class DiscardSound : public SoundOutput {
  public:
    void StreamSoundBlock(const std::uint8_t*) override {}
};

// A loop of arithmetic, work-RAM traffic, calls and ROM bank switches on an MBC5 cartridge.
std::vector<std::uint8_t> WorkloadRom() {
    auto rom = test::MakeRom({.banks = 8, .type = 0x19, .size_code = 2});
    Asm a(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    a.ld(SP, 0xDFF0);
    a.label("outer");
    a.ld(HL, 0xC000);
    a.ld(B, 0);
    a.label("inner");
    a.ld(A, Mem(HL));
    a.add(A, B);
    a.xor_(0x5A);
    a.ld(Mem(HLI), A);
    a.ld(A, B);
    a.and_(7);
    a.ld(Mem(0x2000), A);  // select ROM bank B & 7
    a.ld(A, Mem(0x4000));
    a.call("mix");
    a.dec(B);
    a.jr(NZ, "inner");
    a.jr("outer");
    a.label("mix");
    a.push(BC);
    a.ld(C, A);
    a.swap(C);
    a.ld(A, C);
    a.adc(A, Mem(HL));
    a.daa();
    a.pop(BC);
    a.ret();
    PlaceInRom(rom, a);
    return rom;
}

void RunSlices(benchmark::State& bench, TGBSYSF& gb) {
    const u32 frames_before = gb.frame_count;
    for (auto _ : bench) gb.RunSlice();
    const double slices = static_cast<double>(bench.iterations());
    bench.counters["console_s_per_s"] =
        benchmark::Counter(slices / 16.0, benchmark::Counter::kIsRate);
    bench.counters["fps"] = benchmark::Counter(static_cast<double>(gb.frame_count - frames_before),
                                               benchmark::Counter::kIsRate);
}

void BM_WorkloadSlice(benchmark::State& bench) {
    auto gb = std::make_unique<TGBSYSF>();
    DiscardPresenter presenter;
    DiscardSound sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    test::OpenImage(*gb, WorkloadRom());
    RunSlices(bench, *gb);
}
BENCHMARK(BM_WorkloadSlice)->Unit(benchmark::kMillisecond);

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
