// The sound output: the stream between the machine's blocks and the device, driven by a
// simulated device that pulls 512 frames at a time with jitter and a clock of its own, then the
// SDL2 device itself through SDL's dummy driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/sdl_sound_output.h"
#include "host/sound_stream.h"
#include "machine/gbsys.h"

namespace kivo {
namespace {

using Stream = SoundStream;

// The machine's sound as the test sends it: the right channel counts up by one every 16 frames
// from 1, so the played stream shows whether every frame came once and in order (a staircase
// with steps of 16, stretched by at most the resampling), and silence (0) is told apart.
constexpr int kStair = 16;

struct Scenario {
    const char* name;
    double seconds;
    double device_drift;    // the device's clock against the console's: +0.002 is 0.2% fast
    double block_interval;  // real seconds between blocks: 1 at real-time speed, 0.5 at double
    double stall_at;        // the writer stops for stall_seconds from here (0: never)
    double stall_seconds;
    double late = 0;  // blocks come up to this much later still, at random: a loaded host
};

struct Heard {
    std::vector<std::int16_t> right;  // every frame played, right channel
    Stream::Stats stats;
    double max_latency = 0;  // seconds from a block's hand-over to the pull that takes its start
};

// Blocks are due every block_interval x 2048 frames of real time, and arrive with the frame
// presented after that (the display's 60 Hz grid); the device pulls 512 frames per callback,
// jittered by up to 5 ms either way. Events run in time order.
Heard Simulate(const Scenario& run) {
    auto stream = std::make_unique<Stream>();
    stream->SetPlaying(true);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-0.005, 0.005);
    const double block_seconds = Stream::kBlockFrames / Stream::kRate * run.block_interval;
    const double pull_seconds = 512 / Stream::kRate / (1 + run.device_drift);
    // Left and right samples; a stream's bytes may be read and written through u8.
    std::vector<std::int16_t> block(2 * Stream::kBlockFrames, 0x1111), pulled(2 * 512);
    Heard heard;
    std::int64_t frame = 0;
    int blocks = 0, pulls = 0;
    double next_block = 0.003, next_pull = 0.010, stalled = 0;
    std::vector<std::pair<std::uint64_t, double>> waiting;  // blocks' starts and hand-over times
    while (std::min(next_block, next_pull) < run.seconds) {
        if (next_block <= next_pull) {
            for (std::uint32_t i = 0; i < Stream::kBlockFrames; ++i, ++frame) {
                block[2 * i + 1] = static_cast<std::int16_t>(1 + frame / kStair);
            }
            const std::uint64_t before = stream->stats().dropped;
            stream->StreamBlock(reinterpret_cast<const u8*>(block.data()), next_block);
            if (stream->stats().dropped == before) {
                waiting.emplace_back(stream->last_block_position(), next_block);
            }
            ++blocks;
            if (run.stall_at > 0 && stalled == 0 && blocks * block_seconds >= run.stall_at) {
                stalled = run.stall_seconds;  // the machine held, then paced on from there
            }
            const double due = blocks * block_seconds + stalled;
            next_block = std::ceil(due * 60) / 60 +
                         run.late * std::uniform_real_distribution<double>(0, 1)(random);
        } else {
            stream->Play(reinterpret_cast<u8*>(pulled.data()), 512 * Stream::kFrameBytes,
                         next_pull);
            while (!waiting.empty() && waiting.front().first < stream->read_position()) {
                heard.max_latency = std::max(heard.max_latency, next_pull - waiting.front().second);
                waiting.erase(waiting.begin());
            }
            for (std::size_t i = 0; i < 512; ++i) heard.right.push_back(pulled[2 * i + 1]);
            ++pulls;
            next_pull = std::max(next_pull, pulls * pull_seconds + jitter(random));
        }
    }
    heard.stats = stream->stats();
    return heard;
}

// Against a drifting device, late blocks, a stall and blocks coming at double speed: from the
// first sound on, nothing but the staircase, within the latency. A stall plays silence (never the
// ring's older contents) and resumes in order; blocks beyond what can be played are dropped whole,
// and a dropped run of blocks leaves one step, which the resampler's held frame may split in two.
TEST(SoundStreamTest, EveryFrameOnceInOrderOrDroppedWholeWithinTheLatency) {
    const struct {
        Scenario run;
        double max_latency;
        std::uint64_t resyncs;  // the start, a stall, what a loaded host takes to learn it
        double dropped_share;   // of the blocks
    } cases[] = {
        {{"device 0.2% fast", 20, 0.002, 1, 0, 0}, 0.060, 1, 0},
        // Far beyond a sound card's drift: the steering holds it, a little above the target.
        {{"SDL's disk driver on a loaded machine, 0.7% slow", 20, -0.007, 1, 0, 0}, 0.080, 1, 0},
        // Blocks up to 40 ms late: the target rises rather than the sound breaking up.
        {{"blocks late on a loaded host", 20, 0, 1, 0, 0, 0.040}, 0.120, 2, 0},
        {{"the writer stalls for a second", 6, 0, 1, 2.0, 1.0}, 0.060, 2, 0},
        // What waits stays within a block of the target, so the sound never falls behind.
        {{"double speed", 6, 0, 0.5, 0, 0}, 0.150, 1, 0.5},
    };
    for (const auto& [run, max_latency, resyncs, dropped_share] : cases) {
        SCOPED_TRACE(run.name);
        const Heard heard = Simulate(run);
        EXPECT_LE(heard.stats.resyncs, resyncs);
        EXPECT_LE(heard.max_latency, max_latency) << "from a block's hand-over to the device";
        const auto blocks = static_cast<double>(heard.stats.blocks);
        EXPECT_NEAR(static_cast<double>(heard.stats.dropped), blocks * dropped_share,
                    blocks * dropped_share / 5);
        // From the first sound to the last, the staircase: a level that goes down or is held too
        // long is a frame replayed or repeated, a skipped level a frame lost.
        std::size_t start = 0, end = heard.right.size(), held = 0;
        while (heard.right[start] == 0) ++start;
        while (heard.right[end - 1] == 0) --end;  // the writer's last block played out
        int backwards = 0, skips = 0, long_steps = 0, silent = 0;
        for (std::size_t i = start + 1; i < end; ++i) {
            const int level = heard.right[i], step = level - heard.right[i - 1];
            if (level == 0 || step == level) {  // silence, or the first level after it
                silent += level == 0;
                held = 0;
            } else if (step == 0) {
                ++held;
            } else {
                backwards += step < 0;
                skips += step > 1;
                // A level between two others is heard 16 frames, give or take the stretch.
                long_steps += held > kStair;
                held = 0;
            }
        }
        // No dropout but the stall's, and the silence an underrun on the loaded host leaves.
        EXPECT_NEAR(silent, run.stall_seconds * Stream::kRate,
                    run.stall_seconds * Stream::kRate * 0.15 +
                        static_cast<double>(heard.stats.resyncs - 1) * Stream::kBlockFrames);
        EXPECT_EQ(backwards + long_steps, 0)
            << backwards << " backwards, " << long_steps << " levels held too long";
        EXPECT_LE(skips, 2 * static_cast<int>(heard.stats.dropped)) << "skips where blocks went";
        EXPECT_GT(heard.right[end - 1] * kStair, (blocks - 4) * Stream::kBlockFrames)
            << "the whole sound came";
    }
}

// ---- the SDL2 device (SDL_AUDIODRIVER=dummy from CTest) ----

// SDL's dummy driver needs no sound card: the callback drains the stream while playing and never
// runs once StopSound has returned. Without a sound device there is one message, and every
// operation returns at once.
TEST(SdlSoundOutputTest, PlaysAndStopsOrWithoutADeviceRunsSilently) {
    auto gb = std::make_unique<TGBSYSF>();
    std::vector<std::string> messages;
    gb->ShowErrorMessage = [&](const std::string& m) { messages.push_back(m); };
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    auto output = std::make_unique<SdlSoundOutput>(*gb);
    ASSERT_TRUE(output->InitSound());
    EXPECT_TRUE(gb->sound_ready);
    const std::vector<u8> block(SoundStream::kBlockBytes, 0x33);
    output->StreamSoundBlock(block.data());
    EXPECT_EQ(output->stream().stats().blocks, 0u) << "a stopped device takes no blocks";
    output->PlaySound();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output->stream().read_position() == 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the device never pulled";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    output->StopSound();
    const std::uint64_t stopped_at = output->stream().read_position();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(output->stream().read_position(), stopped_at);
    output->ReleaseSound();
    EXPECT_FALSE(gb->sound_ready);

    setenv("SDL_AUDIODRIVER", "kivo-no-such-driver", 1);
    output = std::make_unique<SdlSoundOutput>(*gb);
    EXPECT_FALSE(output->InitSound());
    EXPECT_FALSE(gb->sound_ready);
    output->PlaySound();
    output->StreamSoundBlock(block.data());  // dropped
    output->StopSound();
    // One message, for the missing device: none from the dummy's, none from run-time calls.
    EXPECT_EQ(messages, std::vector<std::string>{kSdlInitMessage});
}

}  // namespace
}  // namespace kivo
