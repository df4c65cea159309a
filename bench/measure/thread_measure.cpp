// kivo_thread_measure: measures the worker and the sound output in real time.
//
//   ThreadPause1  median and worst time to return, over N pauses of a worker running the demo
//                 cartridge, unpaced (as fast as the host allows) and paced (a 60 Hz display,
//                 Normal Speed: a slice then takes 1/16 s of real time)
//   held worker   the processor time the whole process uses while the worker is held
//   sound         the device buffer SDL opened and the time a block written at the write cursor
//                 takes to reach the device
//
// Usage: kivo_thread_measure [PAUSES]   (default 1000; SDL_AUDIODRIVER picks the sound driver)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "demo/demo_rom.h"
#include "host/null_presenter.h"
#include "host/sdl_sound_output.h"
#include "machine/clock.h"
#include "machine/gbsys.h"
#include "machine/pacer.h"
#include "machine/thread.h"

namespace kivo {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::unique_ptr<TGBSYSF> DemoMachine() {
    auto gb = std::make_unique<TGBSYSF>();
    const auto rom = demo::DemoRom();
    gb->noise_seed_source = [] { return 0u; };
    gb->OpenRomImage(std::vector<u8>(rom.begin(), rom.end()), "kivo-demo.gb");
    return gb;
}

class PacedPresenter : public NullPresenter {
  public:
    PacedPresenter(Pacer& pacer, const TGBSYSF& gb) : pacer_(pacer), gb_(gb) {}
    void CopyFrameToSurface(const u8* frame_buffer) override {
        NullPresenter::CopyFrameToSurface(frame_buffer);
        pacer_.NoteNewFrame();
    }
    void PresentFrame() override { pacer_.WaitToPresent(gb_); }

  private:
    Pacer& pacer_;
    const TGBSYSF& gb_;
};

void MeasurePauses(const char* name, bool paced, int count) {
    auto gb = DemoMachine();
    SteadyClock clock;
    Pacer pacer(clock, 60);
    PacedPresenter presenter(pacer, *gb);
    NullPresenter unpaced;
    gb->presenter = paced ? static_cast<VideoPresenter*>(&presenter) : &unpaced;
    gb->system_speed_restriction = paced ? 1 : 0;
    TSystemThread worker(*gb, clock);
    worker.Start();
    worker.ThreadContinue1();

    std::mt19937 random(7);
    std::vector<double> took;
    took.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        // Let the worker run into a slice, at a moment that has nothing to do with its rhythm.
        while (!worker.running) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (paced ? 60000 : 2000)));
        const auto start = Clock::now();
        worker.ThreadPause1();
        took.push_back(Ms(Clock::now() - start));
        worker.ThreadContinue1();
    }
    worker.ThreadExit();
    std::sort(took.begin(), took.end());
    std::printf("ThreadPause1 %-8s over %d: median %.3f ms, worst %.3f ms\n", name, count,
                took[took.size() / 2], took.back());
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void MeasureHeldWorker() {
    auto gb = DemoMachine();
    SteadyClock clock;
    NullPresenter presenter;
    gb->presenter = &presenter;
    TSystemThread worker(*gb, clock);
    worker.Start();  // held: paused until the first continue
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double used = ProcessCpuSeconds() - cpu;
    std::printf(
        "held worker: %.4f%% of one core (%.2f ms of processor time in %.1f s, %llu "
        "repaints)\n",
        used / wall * 100, used * 1000, wall,
        static_cast<unsigned long long>(presenter.frames_presented()));
    worker.ThreadExit();
}

void MeasureSound() {
    auto gb = std::make_unique<TGBSYSF>();
    gb->ShowErrorMessage = [](const std::string& m) { std::printf("sound: %s\n", m.c_str()); };
    SdlSoundOutput output(*gb);
    if (!output.InitSound()) return;
    const double device_ms = output.device_buffer_bytes() / 4 * 1000.0 / 22050;
    output.PlaySound();
    std::vector<u8> block(SoundStream::kBlockBytes, 0);
    // Blocks at real-time pace (one every 92.9 ms), each up to 8 ms late; after each, the time
    // until the callback hands the block's first frame to the device.
    std::vector<double> took;
    const auto start = Clock::now();
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(92880 * i + 1000 * (i % 9)));
        const auto handed = Clock::now();
        output.StreamSoundBlock(block.data());
        const std::uint64_t first = output.stream().last_block_position();
        while (output.stream().read_position() <= first) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (i >= 10) took.push_back(Ms(Clock::now() - handed));  // once the steering settled
    }
    output.StopSound();
    std::sort(took.begin(), took.end());
    const SoundStream::Stats& s = output.stream().stats();
    std::printf(
        "sound: device buffer %u bytes (%.1f ms); a block reaches the device after median %.1f "
        "ms, worst %.1f ms; %llu resyncs, %llu dropped; target %.0f frames\n",
        output.device_buffer_bytes(), device_ms, took[took.size() / 2], took.back(),
        static_cast<unsigned long long>(s.resyncs), static_cast<unsigned long long>(s.dropped),
        output.stream().target());
}

}  // namespace
}  // namespace kivo

int main(int argc, char** argv) {
    const int pauses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    kivo::MeasurePauses("unpaced", false, pauses);
    kivo::MeasurePauses("paced", true, pauses);
    kivo::MeasureHeldWorker();
    kivo::MeasureSound();
    return 0;
}
