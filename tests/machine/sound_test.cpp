// The sound unit: the 22050 Hz mixer, and the four channels' length, sweep, envelope and waveform
// timers at either processor speed. Each test starts from a power-on reset, so every accumulator
// is fresh, and drives the channels through their registers where a program would. The demo's
// jingle, pinned byte for byte by the runner's tests, holds the blocks and their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "machine/gbsys.h"
#include "support/recording_sound_output.h"

namespace kivo {
namespace {

constexpr u32 kConsoleSecond = 4194304;

class SoundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gb->noise_seed_source = [] { return 1u; };
        gb->sound_output = &out;
        gb->HardReset();
    }

    void Write(u8 r, u8 value) { gb->IoWrite(0xFF00 | r, value); }
    void Writes(std::initializer_list<std::pair<u8, u8>> writes) {
        for (const auto& [r, value] : writes) Write(r, value);
    }
    SoundChannel& Ch(int n) { return gb->state.channels[n]; }
    void Step(u32 op) {
        gb->state.op_cycles = op;
        gb->SoundStep();
    }
    void Run(u32 cycles, u32 op = 4) {
        for (u32 done = 0; done < cycles; done += op) Step(op);
    }
    // Runs until the mixer writes a frame and returns its (left, right) samples.
    std::pair<int, int> NextFrame() {
        const i32 slot = gb->state.snd_buffer_fill & (kBlockFrames - 1);
        while ((gb->state.snd_buffer_fill & (kBlockFrames - 1)) == slot) Step(4);
        std::int16_t samples[2];
        std::memcpy(samples, gb->memory.sample_buffer + slot * 4, 4);
        return {samples[0], samples[1]};
    }
    // Only the channels a test sets up sound.
    void StopAll() {
        for (int n = 0; n < 4; ++n) gb->StopChannel(n);
    }
    // Runs `cycles` of console time (cycles of the normal-speed clock) in 4-cycle steps, and
    // counts how often the channel's level changes.
    int RunConsole(u32 cycles, int n = 0) {
        const u32 processor_cycles = gb->state.CGB_double_speed ? 2 * cycles : cycles;
        int changes = 0;
        for (u32 done = 0; done < processor_cycles; done += 4) {
            const u8 before = Ch(n).output;
            Step(4);
            changes += Ch(n).output != before;
        }
        return changes;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    RecordingSoundOutput out;
};

// ---- console time at either processor speed ----

// The sound unit keeps console time when the processor runs at double speed: frames still come
// 22050 times per console second, and every channel timer advances by half a step's cycles.
class SpeedTest : public SoundTest, public ::testing::WithParamInterface<u8> {
  protected:
    void SetUp() override {
        SoundTest::SetUp();
        gb->state.CGB_double_speed = GetParam();
        StopAll();
    }
};

TEST_P(SpeedTest, FramesAndTonesKeepTheirRate) {
    // Square 1, frequency register 0x400: a period of 8 x 4096 cycles, 128 Hz, two level
    // changes per period (the last one falls just after the second).
    Writes({{reg::NR51, 0xFF}, {reg::NR11, 0x80}, {reg::NR12, 0xF0}});
    Writes({{reg::NR13, 0}, {reg::NR14, 0x84}});
    // A speed switch in the middle of the note changes nothing that can be heard.
    int changes = RunConsole(kConsoleSecond / 2);
    gb->state.CGB_double_speed ^= 1;
    changes += RunConsole(kConsoleSecond / 2);
    EXPECT_EQ(changes, 2 * 128 - 1);
    EXPECT_EQ(out.BlockCount() * kBlockFrames + gb->state.snd_buffer_fill, 22050u);

    // Noise at 65536 draws per second from the same seed: the same draws at either speed, so the
    // same count of changes (that of seed 1).
    SetUp();
    Writes({{reg::NR42, 0xF0}, {reg::NR43, 0x21}, {reg::NR44, 0x80}});
    EXPECT_EQ(RunConsole(kConsoleSecond / 8, 3), 4154);
}

// Each row starts from a power-on reset with every channel stopped, writes registers, runs the
// given console cycles and reads one value of one channel (the level it sounds when no field is
// named): the sweep, length, envelope and waveform timers in console time at either speed.
TEST_P(SpeedTest, RegisterWritesDriveTheTimersInConsoleTime) {
    using C = SoundChannel;
    using W = std::vector<std::pair<u8, u8>>;
    using namespace reg;
    const W sweep_up = {{NR13, 0}, {NR10, 0x11}, {NR14, 0x87}};  // period 1024, + 1024 / 2
    const W sweep_down = {{NR13, 0}, {NR14, 0x87}, {NR10, 0x19}};
    const W sweep_every_second_tick = {{NR13, 0}, {NR14, 0x87}, {NR10, 0x29}};
    const W length = {{NR11, 0x00}, {NR12, 0xF1}, {NR14, 0xC7}};  // 64 ticks of 16384 cycles
    const W falling = {{NR12, 0xF1}, {NR14, 0x87}};               // 15, one step per 65536 cycles
    const W wave_length = {{NR30, 0x80}, {NR31, 0x00}, {NR34, 0xC0}};   // 256 ticks
    const W noise_length = {{NR41, 0xC0}, {NR42, 0xF0}, {NR44, 0xC0}};  // 64 ticks
    const W falling_by_3 = {{NR22, 0xF3}, {NR24, 0x87}};
    const W rising_from_0 = {{NR22, 0x09}, {NR24, 0x87}};
    // The wave channel, period 32: sample 0 (9) after one period, sample 1 (12) after two, scaled
    // by NR32.
    auto wave = [](u8 nr32) {
        return W{{WAVE_RAM, 0x9C}, {NR30, 0x80}, {NR33, 0xF0}, {NR34, 0x87}, {NR32, nr32}};
    };
    const struct {
        W writes;
        u32 cycles;
        int channel;
        u32 C::*field;
        u32 want;
    } rows[] = {
        {sweep_up, 32768 - 4, 0, &C::freq_period, 1024},
        {sweep_up, 32768, 0, &C::freq_period, 1536},
        {sweep_down, 32768, 0, &C::freq_period, 512},
        {sweep_every_second_tick, 32768, 0, &C::freq_period, 1024},
        {sweep_every_second_tick, 65536, 0, &C::freq_period, 512},
        {length, 64 * 16384 - 4, 0, &C::ch_on, 1},
        {length, 64 * 16384, 0, &C::ch_on, 0},
        {wave_length, 256 * 16384 - 4, 2, &C::ch_on, 1},
        {wave_length, 256 * 16384, 2, &C::ch_on, 0},
        {noise_length, 64 * 16384 - 4, 3, &C::ch_on, 1},
        {noise_length, 64 * 16384, 3, &C::ch_on, 0},
        {falling, 15 * 65536 - 4, 0, &C::env_volume, 1},
        {falling, 15 * 65536, 0, &C::env_volume, 0},
        {falling_by_3, 3 * 65536 - 4, 1, &C::env_volume, 15},
        {falling_by_3, 3 * 65536, 1, &C::env_volume, 14},
        {falling_by_3, 60 * 65536, 1, &C::env_volume, 0},
        {rising_from_0, 65536, 1, &C::env_volume, 1},
        {rising_from_0, 25 * 65536, 1, &C::env_volume, 15},
        {wave(0x20), 32, 2, nullptr, 9},
        {wave(0x20), 64, 2, nullptr, 12},
        {wave(0x40), 64, 2, nullptr, 6},
        {wave(0x60), 32, 2, nullptr, 2},
        {wave(0x00), 32, 2, nullptr, 0},
    };
    for (const auto& r : rows) {
        SetUp();
        for (const auto& [at, value] : r.writes) Write(at, value);
        RunConsole(r.cycles);
        const SoundChannel& ch = Ch(r.channel);
        EXPECT_EQ(r.field ? ch.*r.field : ch.output, r.want)
            << "row " << (&r - rows) << " after " << r.cycles << " cycles";
    }
}

INSTANTIATE_TEST_SUITE_P(NormalAndDoubleSpeed, SpeedTest, ::testing::Values(0, 1));

// ---- mixing ----

// Each channel routed by NR51 adds its level times (terminal volume + 1) times 16.
TEST_F(SoundTest, MixerAddsEachRoutedChannelScaledByItsTerminalVolume) {
    for (int n = 0; n < 4; ++n) {
        Ch(n) = SoundChannel{};
        Ch(n).ch_on = 1, Ch(n).output = 15, Ch(n).freq_period = 0xFFFFFFFF;  // held at 15
    }
    Writes({{reg::NR51, 0x0F}, {reg::NR50, 0x07}});
    EXPECT_EQ(NextFrame(), std::pair(6720, 0));  // four full channels on terminal 1 alone
    for (int n = 0; n < 4; ++n) Ch(n).output = static_cast<u8>(1 << n);
    const std::tuple<u8, u8, std::pair<int, int>> cases[] = {
        {0x77, 0x5A, {(2 + 8) * 112, (1 + 4) * 112}},  // terminal 1: channels 2 and 4
        {0x77, 0x00, {0, 0}},
        {0x70, 0x11, {0, 112}},
        {0x07, 0x11, {112, 0}}};
    for (const auto& [nr50, nr51, samples] : cases) {
        Writes({{reg::NR50, nr50}, {reg::NR51, nr51}});
        EXPECT_EQ(NextFrame(), samples) << int{nr50} << " " << int{nr51};
    }
    gb->state.so1_on = 0;
    EXPECT_EQ(NextFrame(), std::pair(0, 0));
}

// A channel switched off in the options is muted while it keeps running; sound switched off,
// by the option or by NR52, still delivers silent blocks and freezes every channel (after
// power-on square 1 plays a 512 Hz tone on both terminals).
TEST_F(SoundTest, MutedChannelsRunOnAndSoundOffFreezesEveryChannel) {
    StopAll();
    gb->sound_select_CH2 = false;
    Writes({{reg::NR51, 0x02}, {reg::NR21, 0}, {reg::NR22, 0xF0}});
    Writes({{reg::NR23, 0xFF}, {reg::NR24, 0xC7}});
    for (int i = 0; i < 200; ++i) EXPECT_EQ(NextFrame(), std::pair(0, 0));
    EXPECT_LT(Ch(1).length_count, 64u);
    gb->sound_select_CH2 = true;
    int loud = 0;
    for (int i = 0; i < 50; ++i) loud += NextFrame().first != 0;
    EXPECT_GT(loud, 0);

    for (int way = 0; way < 2; ++way) {
        gb->HardReset();
        out.bytes.clear();
        if (way == 0) gb->sound_enable = false;
        if (way == 1) Write(reg::NR52, 0x00);
        GbState before = gb->state;
        Run(kBlockFrames * 200);
        ASSERT_EQ(out.BlockCount(), 1u);
        EXPECT_EQ(out.bytes, std::vector<u8>(kBlockBytes, 0));
        EXPECT_EQ(std::memcmp(before.channels, gb->state.channels, sizeof before.channels), 0);
        gb->sound_enable = true;
        Write(reg::NR52, 0x80);
        Run(kBlockFrames * 200);
        EXPECT_NE(std::memcmp(before.channels, gb->state.channels, sizeof before.channels), 0);
    }
}

// ---- trigger and waveforms ----

TEST_F(SoundTest, TriggerRestartsWaveformAndEnvelopeButKeepsPeriodAndOtherCounters) {
    Writes({{reg::NR42, 0xF1}, {reg::NR43, 0x27}});  // period 192, which only NR43 sets
    SoundChannel& noise = Ch(3);
    noise.env_volume = 3, noise.env_cycles = 1234, noise.freq_cycles = 100;
    noise.length_cycles = 777, noise.output = 15;
    Write(reg::NR44, 0x80);
    EXPECT_EQ(std::vector<u32>({noise.ch_on, noise.freq_period, noise.freq_cycles, noise.env_volume,
                                noise.env_cycles, noise.output, noise.length_cycles}),
              std::vector<u32>({1, 192, 0, 15, 0, 0, 777}));
    Ch(1).duty_step = 5;
    Write(reg::NR24, 0x80);
    EXPECT_EQ(Ch(1).duty_step, 5u);
    Writes({{reg::NR33, 0xF0}, {reg::NR34, 0x07}});  // period 32, no trigger
    Ch(2).wave_pos = 9;
    Writes({{reg::NR30, 0x00}, {reg::NR30, 0x80}});  // restarted through NR30 alone
    EXPECT_EQ(Ch(2).freq_period, 32u);
    EXPECT_EQ(Ch(2).wave_pos, 0);
}

// Tiny periods leave no backlog: a longer period takes effect at once. Likewise the mixer writes
// one frame at most per step, whatever backlog its accumulator holds.
TEST_F(SoundTest, AccumulatorsStayBoundedUnderTinyPeriodsAndFramesComeOneAtMostPerStep) {
    gb->state.snd_rate_acc = 3 * 0x400000;
    Step(4);
    EXPECT_EQ(gb->state.snd_buffer_fill, 1);
    EXPECT_LE(gb->state.snd_rate_acc, 0x400000);
    Writes({{reg::NR13, 0xFF}, {reg::NR14, 0x87}, {reg::NR43, 0x00}, {reg::NR44, 0x80}});
    for (int i = 0; i < 1000000; ++i) Step(24);
    EXPECT_LE(Ch(0).freq_cycles, 4u);
    EXPECT_EQ(Ch(3).freq_cycles, 0u);
    Writes({{reg::NR13, 0x00}, {reg::NR14, 0x07}});  // period 1024
    Step(24), Step(24);
    const u32 position = Ch(0).duty_step;
    Run(960, 24);
    EXPECT_EQ(Ch(0).duty_step, position);
}

}  // namespace
}  // namespace kivo
