// The sound output: the stream between the machine's blocks and the device, driven by a
// simulated device that pulls 512 frames at a time with jitter and a clock of its own, then the
// SDL2 device itself through SDL's dummy driver.
#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/sdl_sound_output.h"
#include "host/sound_stream.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using Stream = SoundStream;
constexpr double kFrameSeconds = 1.0 / Stream::kRate;

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
    double target = 0;       // the stream's target fill at the end
};

// Blocks are due every block_interval x 2048 frames of real time, and arrive with the frame
// presented after that (the display's 60 Hz grid); the device pulls 512 frames per callback,
// jittered by up to 5 ms either way. Events run in time order.
Heard Simulate(const Scenario& run) {
    auto stream = std::make_unique<Stream>();
    stream->SetPlaying(true);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-0.005, 0.005);
    const double block_seconds = Stream::kBlockFrames * kFrameSeconds * run.block_interval;
    const double pull_seconds = 512 * kFrameSeconds / (1 + run.device_drift);
    std::vector<u8> block(Stream::kBlockBytes);
    std::vector<u8> pulled(512 * Stream::kFrameBytes);
    Heard heard;
    std::int64_t frame = 0;
    int blocks = 0, pulls = 0;
    double next_block = 0.003, next_pull = 0.010, stalled = 0;
    std::vector<std::pair<std::uint64_t, double>> waiting;  // blocks' starts and hand-over times
    while (std::min(next_block, next_pull) < run.seconds) {
        if (next_block <= next_pull) {
            for (std::uint32_t i = 0; i < Stream::kBlockFrames; ++i, ++frame) {
                const auto level = static_cast<std::int16_t>(1 + frame / kStair);
                std::memset(&block[i * 4], 0x11, 2);
                std::memcpy(&block[i * 4 + 2], &level, 2);
            }
            const std::uint64_t before = stream->stats().dropped;
            stream->StreamBlock(block.data(), next_block);
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
            stream->Play(pulled.data(), static_cast<std::uint32_t>(pulled.size()), next_pull);
            while (!waiting.empty() && waiting.front().first < stream->read_position()) {
                heard.max_latency = std::max(heard.max_latency, next_pull - waiting.front().second);
                waiting.erase(waiting.begin());
            }
            for (std::size_t i = 0; i < 512; ++i) {
                std::int16_t value;
                std::memcpy(&value, &pulled[i * 4 + 2], 2);
                heard.right.push_back(value);
            }
            ++pulls;
            next_pull = std::max(next_pull, pulls * pull_seconds + jitter(random));
        }
    }
    heard.stats = stream->stats();
    heard.target = stream->target();
    return heard;
}

// Steps of the staircase where it goes down or skips a level, and levels held too long, from
// `from` on: each is a frame lost, repeated or replayed. Silence is left to the caller.
struct StairFaults {
    int backwards = 0, skips = 0, long_steps = 0, short_steps = 0;
};

StairFaults CheckStairs(const std::vector<std::int16_t>& right, std::size_t from) {
    StairFaults faults;
    std::size_t held = 0;
    for (std::size_t i = from + 1; i < right.size(); ++i) {
        const int step = right[i] - right[i - 1];
        if (right[i] == 0 || right[i - 1] == 0) {
            held = 0;
            continue;
        }
        if (step < 0) ++faults.backwards;
        if (step > 1) ++faults.skips;
        if (step == 0) {
            ++held;
            continue;
        }
        // A level between two others is heard 16 frames, give or take the stretch.
        if (held + 1 > kStair + 1) ++faults.long_steps;
        held = 0;
    }
    return faults;
}

TEST(SoundStreamTest, EveryFrameOnceInOrderWithinTheLatencyAgainstADriftingDevice) {
    const struct {
        Scenario run;
        double max_latency;
        std::uint64_t resyncs;  // the start, and on a loaded host what it takes to learn it
    } cases[] = {
        {{"device 0.2% fast", 20, 0.002, 1, 0, 0}, 0.060, 1},
        {{"device 0.2% slow", 20, -0.002, 1, 0, 0}, 0.060, 1},
        // Far beyond a sound card's drift: the steering holds it, a little above the target.
        {{"SDL's disk driver on a loaded machine, 0.7% slow", 20, -0.007, 1, 0, 0}, 0.080, 1},
        // Blocks up to 40 ms late: the target rises rather than the sound breaking up.
        {{"blocks late on a loaded host", 20, 0, 1, 0, 0, 0.040}, 0.120, 2},
    };
    for (const auto& [run, max_latency, resyncs] : cases) {
        SCOPED_TRACE(run.name);
        const Heard heard = Simulate(run);
        EXPECT_LE(heard.stats.resyncs, resyncs);
        EXPECT_LE(heard.max_latency, max_latency) << "from a block's hand-over to the device";
        EXPECT_EQ(heard.stats.dropped, 0u);
        // From the first sound on, nothing but the staircase: no gap, skip, repeat or replay.
        std::size_t start = 0;
        while (heard.right[start] == 0) ++start;
        std::size_t end = heard.right.size();
        while (heard.right[end - 1] == 0) --end;  // the writer's last block played out
        const std::vector<std::int16_t> sound(heard.right.begin(), heard.right.begin() + end);
        // No dropout, but for the silence an underrun on the loaded host leaves.
        EXPECT_LE(std::count(sound.begin() + start, sound.end(), 0),
                  static_cast<long>(heard.stats.resyncs - 1) * Stream::kBlockFrames);
        const StairFaults f = CheckStairs(sound, start);
        EXPECT_EQ(f.backwards + f.skips + f.long_steps, 0)
            << f.backwards << " backwards, " << f.skips << " skips, " << f.long_steps
            << " levels held too long";
        EXPECT_GT(sound.back(), 20 * Stream::kRate / kStair - 200) << "the whole sound came";
    }
}

TEST(SoundStreamTest, AStallPlaysSilenceThenResumesWhileFasterThanRealTimeDropsWholeBlocks) {
    // The writer stops for a second: the unplayed rest drains, then silence, never the ring's
    // older contents; the next block starts one target fill ahead of playback.
    const Heard stalled = Simulate({"stall", 6, 0, 1, 2.0, 1.0});
    EXPECT_EQ(stalled.stats.resyncs, 2u);
    std::size_t start = 0;
    while (stalled.right[start] == 0) ++start;
    StairFaults f = CheckStairs(stalled.right, start);
    EXPECT_EQ(f.backwards + f.long_steps, 0) << "nothing older comes back";
    EXPECT_EQ(f.skips, 0) << "silence in the gap, then the next block in order";
    const auto silent = std::count(stalled.right.begin() + start, stalled.right.end(), 0);
    EXPECT_NEAR(static_cast<double>(silent), Stream::kRate * 1.0, Stream::kRate * 0.15);

    // At double speed half the blocks cannot be played: they are dropped whole, and what waits
    // stays bounded so the sound never falls behind.
    const Heard fast = Simulate({"double speed", 6, 0, 0.5, 0, 0});
    EXPECT_NEAR(static_cast<double>(fast.stats.dropped), fast.stats.blocks / 2.0,
                fast.stats.blocks / 10.0);
    EXPECT_LE(fast.stats.max_fill, Stream::kTargetFrames + Stream::kBlockFrames);
    f = CheckStairs(fast.right, 0);
    EXPECT_EQ(f.backwards + f.long_steps, 0);
    EXPECT_GT(f.skips, 0);
    // A dropped run of blocks leaves one step between the blocks on either side, which the
    // resampler's held frame may split in two.
    EXPECT_LE(f.skips, 2 * static_cast<int>(fast.stats.dropped)) << "skips only where blocks went";
}

TEST(SoundStreamTest, CopiesExactlyAtTheTargetFillAndClearsWhatItPlays) {
    auto stream = std::make_unique<Stream>();
    stream->SetPlaying(true);
    std::vector<u8> block(Stream::kBlockBytes), out(Stream::kBlockBytes + 8);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<u8>(i * 13 + 5);
    stream->StreamBlock(block.data(), 0);
    EXPECT_EQ(stream->last_ratio(), 1);
    const auto lead = static_cast<std::uint32_t>(Stream::kTargetFrames);
    EXPECT_EQ(stream->write_position(), lead + Stream::kBlockFrames);
    // The target fill of silence, then the block one frame late (the resampler's held frame).
    std::vector<u8> silence(lead * 4);
    stream->Play(silence.data(), lead * 4, 0);
    EXPECT_EQ(std::count(silence.begin(), silence.end(), 0), static_cast<long>(silence.size()));
    stream->Play(out.data(), static_cast<std::uint32_t>(out.size()), 0);
    EXPECT_TRUE(std::equal(block.begin(), block.end() - 4, out.begin() + 4));
    // A lap later the same slots play silence: the callback cleared them.
    std::vector<u8> lap((Stream::kFrames - lead) * 4);
    stream->Play(lap.data(), static_cast<std::uint32_t>(lap.size()), 0);
    stream->Play(out.data(), static_cast<std::uint32_t>(out.size()), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), static_cast<long>(out.size()));
}

// ---- the SDL2 device (SDL_AUDIODRIVER=dummy from CTest) ----

template <typename Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class SdlSoundOutputTest : public ::testing::Test {
  protected:
    SdlSoundOutputTest() {
        setenv("SDL_AUDIODRIVER", "dummy", 1);  // no sound card needed; a test may change it
        gb.ShowErrorMessage = [this](const std::string& m) { messages.push_back(m); };
    }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
    std::vector<std::string> messages;
};

TEST_F(SdlSoundOutputTest, PlaysTheStreamAndStopsWhereItStopped) {
    auto output = std::make_unique<SdlSoundOutput>(gb);
    ASSERT_TRUE(output->InitSound());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(gb.sound_ready);

    const std::vector<u8> block(SoundStream::kBlockBytes, 0x33);
    output->StreamSoundBlock(block.data());
    EXPECT_EQ(output->stream().read_position(), 0u) << "a stopped device does not play";
    EXPECT_EQ(output->stream().stats().blocks, 0u) << "nor takes blocks";

    output->PlaySound();
    ASSERT_TRUE(Eventually([&] { return output->stream().read_position() != 0; }))
        << "the audio callback drains the stream";
    output->StopSound();
    const std::uint64_t stopped_at = output->stream().read_position();
    // Once StopSound has returned the callback no longer runs: the position stays put.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(output->stream().read_position(), stopped_at);

    output->ReleaseSound();
    EXPECT_FALSE(gb.sound_ready);
    output->PlaySound();  // released: every operation returns at once
    output->StreamSoundBlock(block.data());
}

TEST_F(SdlSoundOutputTest, WithoutASoundDeviceOneMessageAndTheMachineRunsSilently) {
    setenv("SDL_AUDIODRIVER", "kivo-no-such-driver", 1);
    auto output = std::make_unique<SdlSoundOutput>(gb);
    EXPECT_FALSE(output->InitSound());
    EXPECT_EQ(messages, std::vector<std::string>{kSdlInitMessage});
    EXPECT_FALSE(gb.sound_ready);

    test::OpenImage(gb, test::MakeRom());
    gb.sound_output = output.get();
    output->PlaySound();
    for (int i = 0; i < 16; ++i) gb.RunSlice();  // blocks are handed over and dropped
    output->StopSound();
    EXPECT_GT(gb.frame_count, 50u);
    EXPECT_EQ(messages.size(), 1u) << "run-time calls stay silent";
}

}  // namespace
}  // namespace kivo
