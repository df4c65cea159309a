// The machine's two ways of doing its per-step work give the same console: one machine with
// reference_mode set (every step runs the timer, the sound unit and the LCD in full) and one
// without run the same cartridge side by side, and after every run slice, every single step the
// debugger takes and every state load their GbState, memory, noise generator, frame count, the
// frames they presented, the sound they handed over and their state files must be identical
// bytes. The cartridges: the demo, random programs from the assembler, and every ROM of the
// third-party folder when it is present.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "demo/demo_rom.h"
#include "machine/gbsys.h"
#include "machine/step_watch.h"
#include "support/random_program.h"
#include "support/recording_sound_output.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

// Sanitizer and unoptimised builds run the same cases over fewer slices.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr int kScale = 2;
#else
constexpr int kScale = 1;
#endif

// ---- the two machines ----

// The first byte at which two objects of the same type differ, or -1.
long FirstDifference(const void* a, const void* b, std::size_t size) {
    const auto* x = static_cast<const u8*>(a);
    const auto* d = std::mismatch(x, x + size, static_cast<const u8*>(b)).first;
    return d == x + size ? -1 : d - x;
}

std::uint64_t Fnv1a(const u8* data, std::size_t size) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
    return h;
}

// A hash of every picture handed over.
class FramePresenter : public VideoPresenter {
  public:
    void CopyFrameToSurface(const u8* frame_buffer) override {
        hashes.push_back(Fnv1a(frame_buffer, kScreenHeight * kLineBytes));
    }
    void PresentFrame() override {}

    std::vector<std::uint64_t> hashes;
};

struct Rig {
    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    FramePresenter presenter;
    RecordingSoundOutput sound;
};

class Twins {
  public:
    Twins(std::vector<u8> image, SystemType system, u32 noise_seed, bool exact = false) {
        ref_.gb->reference_mode = true;
        for (Rig* rig : {&ref_, &lazy_}) {
            TGBSYSF& gb = *rig->gb;
            gb.system_type = system;
            gb.system_exact_hardware = exact;
            gb.noise_seed_source = [noise_seed] { return noise_seed; };
            gb.presenter = &rig->presenter;
            gb.sound_output = &rig->sound;
            std::string error;
            EXPECT_TRUE(gb.OpenRomImage(image, "twin.gb", &error)) << error;
        }
    }

    TGBSYSF& ref() { return *ref_.gb; }
    TGBSYSF& lazy() { return *lazy_.gb; }
    template <class F>
    void Both(F f) {
        f(*ref_.gb);
        f(*lazy_.gb);
    }

    // Everything either machine shows the outside world, compared. The sound handed over is
    // compared and then forgotten, to keep long runs small.
    ::testing::AssertionResult Same() {
        const TGBSYSF& r = *ref_.gb;
        const TGBSYSF& z = *lazy_.gb;
        auto differs = [](const std::string& what) {
            return ::testing::AssertionFailure() << what << " differs";
        };
        if (long i = FirstDifference(&r.state, &z.state, sizeof(GbState)); i >= 0) {
            return differs("GbState at byte " + std::to_string(i))
                   << std::hex << "; PC reference " << r.state.PC << ", lazy " << z.state.PC;
        }
        if (long i = FirstDifference(&r.memory, &z.memory, sizeof(GbMemory)); i >= 0) {
            return differs("GbMemory") << " at byte " << std::hex << i;
        }
        if (r.noise_rng != z.noise_rng) return differs("noise_rng");
        if (r.frame_count != z.frame_count) return differs("frame_count");
        if (ref_.presenter.hashes != lazy_.presenter.hashes) {
            return differs("presented frames")
                   << " (reference presented " << ref_.presenter.hashes.size() << ", lazy "
                   << lazy_.presenter.hashes.size() << ")";
        }
        if (ref_.sound.bytes != lazy_.sound.bytes) return differs("sound handed over");
        ref_.sound.bytes.clear();
        lazy_.sound.bytes.clear();
        if (StateFileImage(r) != StateFileImage(z)) return differs("state file");
        return ::testing::AssertionSuccess();
    }

    std::size_t FramesPresented() const { return ref_.presenter.hashes.size(); }

  private:
    Rig ref_;
    Rig lazy_;
};

// ---- runs with things happening between the slices ----

// What happens between two slices: nothing, single steps as the debugger takes them, a state
// moved from one machine into both, each machine saving and reloading itself, a button pressed
// or released from outside, an option changed, a reset. Each is applied to both machines alike.
std::string Between(Twins& t, std::mt19937& rng, ::testing::AssertionResult* same) {
    *same = ::testing::AssertionSuccess();
    const int kind = static_cast<int>(rng() % 10);
    switch (kind) {
        case 0:
        case 1: {
            const int steps = 1 + static_cast<int>(rng() % 40);
            for (int i = 0; i < steps && *same; ++i) {
                t.Both([](TGBSYSF& gb) { gb.Step(); });
                *same = t.Same();
                if (!*same) *same << " (single step " << i << ")";
            }
            return std::to_string(steps) + " single steps";
        }
        case 2:
        case 3: {
            // A state moved from one machine into both, or each reloading its own.
            const int from = static_cast<int>(rng() % 3);
            const std::vector<u8> image = StateFileImage(from == 0 ? t.ref() : t.lazy());
            t.Both([&](TGBSYSF& gb) {
                EXPECT_TRUE(
                    LoadStateImage(gb, from == 2 ? StateFileImage(gb) : image, "", nullptr));
            });
            return "state loaded from " + std::string(from == 0 ? "reference" : "lazy") +
                   (from == 2 ? " (each its own)" : "");
        }
        case 4:
        case 5: {
            const int key = static_cast<int>(rng() % 8);
            const bool press = rng() % 2;
            t.Both([&](TGBSYSF& gb) { press ? gb.PressButton(key) : gb.ReleaseButton(key); });
            return (press ? "pressed key " : "released key ") + std::to_string(key);
        }
        case 6: {
            const u32 ratio = 1 + rng() % 3;
            t.Both([&](TGBSYSF& gb) {
                gb.Screen_refresh_ratio_index = ratio;
                gb.UpdateFrameRatio();
            });
            return "frame ratio " + std::to_string(ratio);
        }
        case 7: {
            const int which = static_cast<int>(rng() % 5);
            t.Both([&](TGBSYSF& gb) {
                bool* flags[] = {&gb.sound_enable, &gb.sound_select_CH1, &gb.sound_select_CH2,
                                 &gb.sound_select_CH3, &gb.sound_select_CH4};
                *flags[which] = !*flags[which];
            });
            return "sound option " + std::to_string(which) + " toggled";
        }
        case 8: {
            // The window's Reset and Hard Reset commands, rarely: they restart the program.
            if (rng() % 3) return "";
            const bool hard = rng() % 2;
            t.Both([&](TGBSYSF& gb) { hard ? gb.HardReset() : gb.Reset(); });
            return hard ? "hard reset" : "reset";
        }
        default: return "";
    }
}

// Runs both machines for `slices` run slices, comparing after each slice and after everything
// done between them. The events follow `seed`.
::testing::AssertionResult RunTwins(Twins& t, int slices, u32 seed, bool events = true) {
    std::mt19937 rng(seed);
    std::deque<std::string> history;  // the last things done, for the failure message
    auto note = [&](std::string what) {
        history.push_back(std::move(what));
        if (history.size() > 12) history.pop_front();
    };
    auto failure = [&](const ::testing::AssertionResult& same) {
        std::string done;
        for (const std::string& what : history) done += " " + what;
        return ::testing::AssertionFailure()
               << same.message() << "\n  after:" << done << " (event seed " << seed << ")";
    };
    for (int slice = 0; slice < slices; ++slice) {
        // One or two events between slices, so that a state load may follow single steps.
        for (int n = (events && slice > 0) ? 1 + (rng() % 3 == 0) : 0; n > 0; --n) {
            ::testing::AssertionResult same = ::testing::AssertionSuccess();
            const std::string what = Between(t, rng, &same);
            if (!what.empty()) note("[" + what + "]");
            if (same) same = t.Same();
            if (!same) return failure(same);
        }
        t.Both([](TGBSYSF& gb) { gb.RunSlice(); });
        note("slice" + std::to_string(slice));
        if (::testing::AssertionResult same = t.Same(); !same) return failure(same);
    }
    return ::testing::AssertionSuccess();
}

// ---- the cases ----

TEST(LazyEquivalence, DemoCartridge) {
    const auto rom = demo::DemoRom();
    for (u32 seed : {1u, 2u}) {
        Twins t(std::vector<u8>(rom.begin(), rom.end()), SYSTEM_CGB, seed);
        EXPECT_TRUE(RunTwins(t, 96 / kScale, seed)) << "event seed " << seed;
        EXPECT_GT(t.FramesPresented(), 0u);
    }
}

// 200 programs in ten groups; the failure message names the seed of the program (the events
// between slices follow the same seed). A seed's cartridge and console: a colour cartridge on the
// colour console, a monochrome one on the colour console, or a monochrome one on the monochrome
// console. Programs 2-5 of each group start from the sound set-ups in turn: the channels run on
// through halts (whose idle steps the sound unit replays event by event), polling loops and
// computation, and the handlers and blocks write sound registers as they wake.
class LazyEquivalenceRandom : public ::testing::TestWithParam<int> {};

TEST_P(LazyEquivalenceRandom, RunAlike) {
    int vblank = 0, stat = 0, timer = 0, double_speed = 0;
    for (int i = 0; i < 20; ++i) {
        const u32 seed = 1000 + static_cast<u32>(GetParam()) * 20 + static_cast<u32>(i);
        const int config = static_cast<int>(seed % 4);
        const bool colour = config < 2;
        const SystemType system = config == 3 ? SYSTEM_GB : SYSTEM_CGB;
        // The last program of each group meets an undefined opcode in its first pass.
        const bool bad_end = i == 19;
        // Two of each group by the console's rules (the HALT bug's double step, the timer's
        // several counts in one step, the renderer's), which defer alike.
        const bool exact = i % 10 == 5;
        test::RandomProgram program(seed, colour, bad_end);
        if (i >= 2 && i < 6) program.WithSound(static_cast<std::size_t>(i - 2));
        Twins t(program.Build(), system, seed, exact);
        ASSERT_TRUE(RunTwins(t, 12, seed)) << "program seed " << seed;
        const TGBSYSF& gb = t.ref();
        EXPECT_EQ(gb.state.BadOpCode, bad_end ? 1 : 0) << "program seed " << seed;
        vblank += gb.memory.wram[0] != 0;
        stat += gb.memory.wram[1] != 0;
        timer += gb.memory.wram[2] != 0;
        double_speed += gb.state.CGB_double_speed;
    }
    // The programs do what they are for: the handlers run, and the speed switches.
    EXPECT_GT(vblank, 5);
    EXPECT_GT(stat, 2);
    EXPECT_GT(timer, 2);
    EXPECT_GT(double_speed, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LazyEquivalenceRandom, ::testing::Range(0, 10));

// A watched slice keeps the deferred work deferred but takes every step: after every step, what a
// watch can read (the registers, and every register and high-RAM byte through the bus) is what the
// reference machine shows at that step.
class ViewRecorder final : public StepWatch {
  public:
    bool AfterStep(const TGBSYSF& gb, int opcode) override {
        std::uint64_t h = Fnv1a(reinterpret_cast<const u8*>(&gb.state), 12);  // AF-SP, PC
        for (u32 a = 0xFF00; a <= 0xFFFF; ++a) h = h * 31 + gb.BusRead(static_cast<u16>(a));
        views.push_back(h ^ static_cast<std::uint64_t>(opcode + 1) << 56);
        return false;
    }
    std::vector<std::uint64_t> views;
};

TEST(LazyEquivalence, AWatchSeesTheReferenceAtEveryStep) {
    for (u32 seed : {1003u, 1010u, 1021u}) {
        Twins t(test::RandomProgram(seed, true).Build(), SYSTEM_CGB, seed);
        ViewRecorder ref_views, lazy_views;
        for (int slice = 0; slice < 4; ++slice) {
            t.ref().RunSliceWatched(ref_views);
            t.lazy().RunSliceWatched(lazy_views);
            ASSERT_TRUE(t.Same()) << "program seed " << seed << ", slice " << slice;
        }
        ASSERT_EQ(ref_views.views.size(), lazy_views.views.size()) << "program seed " << seed;
        for (std::size_t i = 0; i < ref_views.views.size(); ++i) {
            ASSERT_EQ(ref_views.views[i], lazy_views.views[i])
                << "program seed " << seed << ", step " << i;
        }
    }
}

// Every cartridge of the third-party folder, its subfolders included.
TEST(LazyEquivalence, EveryTestRom) {
    const fs::path folder = KIVO_TEST_ROMS;
    if (!fs::is_directory(folder)) GTEST_SKIP() << folder << " is absent";
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const fs::path ext = entry.path().extension();
        if (!entry.is_regular_file() || (ext != ".gb" && ext != ".gbc")) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<u8> image((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(image.empty()) << entry.path();
        const u32 seed = static_cast<u32>(count++);
        Twins t(std::move(image), SYSTEM_CGB, seed);
        EXPECT_TRUE(RunTwins(t, 48 / kScale, seed)) << entry.path();
    }
    EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace kivo
