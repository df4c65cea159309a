// The sound unit: the 22050 Hz mixer and its blocks, and the four channels' length, sweep,
// envelope and waveform timers. Each test starts from a power-on reset, so every accumulator is
// fresh, and drives the channels through their registers where a program would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/recording_sound_output.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

constexpr i32 kThreshold = 0x400000;

class SoundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gb->noise_seed_source = [] { return 1u; };
        gb->sound_output = &out;
        gb->HardReset();
    }

    void Write(u8 r, u8 value) { gb->IoWrite(0xFF00 | r, value); }
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
    // A channel that sounds `level` and never changes it by itself.
    void Hold(int n, u8 level) {
        SoundChannel& ch = Ch(n);
        ch = SoundChannel{};
        ch.ch_on = 1;
        ch.output = level;
        ch.freq_period = 0xFFFFFFFF;
    }
    u8 HighestLevelOver(int n, int steps, u32 op = 4) {
        u8 top = 0;
        for (int i = 0; i < steps; ++i) {
            Step(op);
            top = std::max(top, Ch(n).output);
        }
        return top;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    RecordingSoundOutput out;
};

// ---- sample rate ----

TEST_F(SoundTest, FramesComeAt22050HzOneAtMostPerStep) {
    Step(24);
    EXPECT_EQ(gb->state.snd_rate_acc, 529200);
    EXPECT_EQ(gb->state.snd_buffer_fill, 0);

    gb->state.snd_rate_acc = 3 * kThreshold;
    Step(4);
    EXPECT_EQ(gb->state.snd_buffer_fill, 1);
    EXPECT_LE(gb->state.snd_rate_acc, kThreshold);  // the backlog keeps at most one frame

    gb->HardReset();
    Run(4194304);  // one console second
    EXPECT_EQ(out.BlockCount() * kBlockFrames + gb->state.snd_buffer_fill, 22050u);
}

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
};

constexpr u32 kConsoleSecond = 4194304;

TEST_P(SpeedTest, FramesAndTonesKeepTheirRate) {
    // Square 1, frequency register 0x400: a period of 8 x 4096 cycles, 128 Hz, two level
    // changes per period (the last one falls just after the second).
    Write(reg::NR51, 0xFF);
    Write(reg::NR11, 0x80);
    Write(reg::NR12, 0xF0);
    Write(reg::NR13, 0x00);
    Write(reg::NR14, 0x84);
    EXPECT_EQ(RunConsole(kConsoleSecond), 2 * 128 - 1);
    EXPECT_EQ(out.BlockCount() * kBlockFrames + gb->state.snd_buffer_fill, 22050u);
    StopAll();

    // The wave channel at 8192 samples per second, alternating 15 and 0.
    for (int i = 0; i < 16; ++i) Write(static_cast<u8>(reg::WAVE_RAM + i), 0xF0);
    Write(reg::NR30, 0x80);
    Write(reg::NR32, 0x20);
    Write(reg::NR33, 0x00);
    Write(reg::NR34, 0x87);
    EXPECT_EQ(RunConsole(kConsoleSecond / 4, 2), 8192 / 4);
    StopAll();

    // Noise at 65536 draws per second from the same seed: the same draws at either speed, so the
    // same count of changes (that of seed 1).
    gb->state.CGB_double_speed = 0;
    gb->HardReset();
    gb->state.CGB_double_speed = GetParam();
    StopAll();
    Write(reg::NR42, 0xF0);
    Write(reg::NR43, 0x21);
    Write(reg::NR44, 0x80);
    EXPECT_EQ(RunConsole(kConsoleSecond / 8, 3), 4154);
}

TEST_P(SpeedTest, LengthEnvelopeAndSweepTicksKeepConsoleTime) {
    Write(reg::NR11, 0x00);  // 64 length ticks of 16384 cycles
    Write(reg::NR12, 0xF1);  // 15, falling one step per envelope tick
    Write(reg::NR13, 0x00);
    Write(reg::NR10, 0x11);  // one sweep tick: period + period / 2
    Write(reg::NR14, 0xC7);  // period 1024, length on
    RunConsole(32768 - 4);
    EXPECT_EQ(Ch(0).freq_period, 1024u);
    RunConsole(4);
    EXPECT_EQ(Ch(0).freq_period, 1536u);
    Write(reg::NR10, 0x00);

    RunConsole(64 * 16384 - 32768 - 4);
    EXPECT_EQ(Ch(0).ch_on, 1u);
    EXPECT_EQ(Ch(0).env_volume, 15u - 64 * 16384 / 65536 + 1);
    RunConsole(4);
    EXPECT_EQ(Ch(0).ch_on, 0u);

    Write(reg::NR14, 0x87);  // again, without the length: the envelope fades out
    RunConsole(15 * 65536 - 4);
    EXPECT_EQ(Ch(0).env_volume, 1u);
    RunConsole(4);
    EXPECT_EQ(Ch(0).env_volume, 0u);
}

INSTANTIATE_TEST_SUITE_P(NormalAndDoubleSpeed, SpeedTest, ::testing::Values(0, 1));

// A speed switch in the middle of a note changes nothing that can be heard: half a second at
// each speed plays the 128 Hz tone 128 times.
TEST_F(SoundTest, SpeedSwitchInTheMiddleOfANoteKeepsItsPitch) {
    StopAll();
    Write(reg::NR11, 0x80);
    Write(reg::NR12, 0xF0);
    Write(reg::NR13, 0x00);
    Write(reg::NR14, 0x84);
    int changes = 0;
    for (const u8 double_speed : {0, 1}) {
        gb->state.CGB_double_speed = double_speed;
        const u32 processor_cycles = (kConsoleSecond / 2) << double_speed;
        for (u32 done = 0; done < processor_cycles; done += 4) {
            const u8 before = Ch(0).output;
            Step(4);
            changes += Ch(0).output != before;
        }
    }
    EXPECT_EQ(changes, 2 * 128 - 1);
}

// ---- mixing ----

// Each channel routed by NR51 adds its level times (terminal volume + 1) times 16.
TEST_F(SoundTest, MixerAddsEachRoutedChannelScaledByItsTerminalVolume) {
    for (int n = 0; n < 4; ++n) Hold(n, 15);
    Write(reg::NR51, 0x0F);
    Write(reg::NR50, 0x07);
    EXPECT_EQ(NextFrame(), std::pair(6720, 0));  // four full channels on terminal 1 alone
    for (int n = 0; n < 4; ++n) Ch(n).output = static_cast<u8>(1 << n);
    const std::tuple<u8, u8, std::pair<int, int>> cases[] = {
        {0x77, 0x5A, {(2 + 8) * 112, (1 + 4) * 112}},  // terminal 1: channels 2 and 4
        {0x77, 0x00, {0, 0}},
        {0x70, 0x11, {0, 112}},
        {0x07, 0x11, {112, 0}}};
    for (const auto& [nr50, nr51, samples] : cases) {
        Write(reg::NR50, nr50);
        Write(reg::NR51, nr51);
        EXPECT_EQ(NextFrame(), samples) << int{nr50} << " " << int{nr51};
    }
    gb->state.so1_on = 0;
    EXPECT_EQ(NextFrame(), std::pair(0, 0));
}

TEST_F(SoundTest, ChannelOptionOffMutesTheChannelWhileItKeepsRunning) {
    StopAll();
    gb->sound_select_CH2 = false;
    Write(reg::NR51, 0x02);
    Write(reg::NR21, 0x00);  // 64 length ticks
    Write(reg::NR22, 0xF0);
    Write(reg::NR23, 0xFF);  // period 4: a waveform step at every instruction
    Write(reg::NR24, 0xC7);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(NextFrame(), std::pair(0, 0));
    EXPECT_LT(Ch(1).length_count, 64u);

    gb->sound_select_CH2 = true;
    int loud = 0;
    for (int i = 0; i < 50; ++i) loud += NextFrame().first != 0;
    EXPECT_GT(loud, 0);
}

// ---- sound off ----

TEST_F(SoundTest, SoundOffStillDeliversSilentBlocksAndFreezesEveryChannel) {
    // After power-on square 1 plays a 512 Hz tone on both terminals.
    for (int way = 0; way < 2; ++way) {
        gb->HardReset();
        out.bytes.clear();
        if (way == 0) {
            gb->sound_enable = false;
        } else {
            Write(reg::NR52, 0x00);
        }
        GbState before = gb->state;
        Run(kBlockFrames * 200);
        ASSERT_EQ(out.BlockCount(), 1u);
        for (std::size_t f = 0; f < kBlockFrames; ++f) {
            ASSERT_EQ(out.Sample(f, 0), 0);
            ASSERT_EQ(out.Sample(f, 1), 0);
        }
        EXPECT_EQ(std::memcmp(before.channels, gb->state.channels, sizeof before.channels), 0);

        gb->sound_enable = true;
        Write(reg::NR52, 0x80);
        Run(kBlockFrames * 200);
        EXPECT_NE(std::memcmp(before.channels, gb->state.channels, sizeof before.channels), 0);
    }
}

// ---- blocks ----

TEST_F(SoundTest, BlocksGoToTheOutputEvery2048FramesInTheOrderWritten) {
    Hold(0, 0);
    Write(reg::NR51, 0x01);
    Write(reg::NR50, 0x07);
    for (int f = 0; f < kBlockFrames - 1; ++f) {
        Ch(0).output = static_cast<u8>(f & 15);
        NextFrame();
    }
    EXPECT_EQ(out.BlockCount(), 0u);
    EXPECT_EQ(gb->state.snd_buffer_fill, kBlockFrames - 1);
    EXPECT_EQ(gb->memory.sample_write_ptr, 4u * (kBlockFrames - 1));

    Ch(0).output = 15;
    NextFrame();
    ASSERT_EQ(out.BlockCount(), 1u);
    EXPECT_EQ(gb->state.snd_buffer_fill, 0);
    EXPECT_EQ(gb->memory.sample_write_ptr, 0u);
    for (std::size_t f = 0; f < kBlockFrames; ++f) {
        ASSERT_EQ(out.Sample(f, 0), static_cast<int>(f & 15) * 7 * 16) << "frame " << f;
    }

    gb->sound_output = nullptr;  // no output at all: blocks are simply not delivered
    for (int f = 0; f < kBlockFrames; ++f) NextFrame();
    EXPECT_EQ(out.BlockCount(), 1u);
}

// ---- length ----

TEST_F(SoundTest, Nr11Of0x3FStopsTheSquareAfterOneLengthTick) {
    Write(reg::NR11, 0x3F);
    Write(reg::NR14, 0xC7);
    Run(16380);
    EXPECT_EQ(gb->IoRead(0xFF00 | reg::NR52) & 0x01, 0x01);
    Step(4);
    EXPECT_EQ(gb->IoRead(0xFF00 | reg::NR52) & 0x01, 0x00);

    Write(reg::NR14, 0x87);  // without the length enable the tone lasts
    Run(10 * 16384);
    EXPECT_EQ(Ch(0).ch_on, 1u);
}

TEST_F(SoundTest, Nr31OfZeroLetsTheWaveChannelRun256LengthTicks) {
    Write(reg::NR30, 0x80);
    Write(reg::NR31, 0x00);
    Write(reg::NR34, 0xC7);
    Run(256 * 16384 - 4);
    EXPECT_EQ(Ch(2).ch_on, 1u);
    Step(4);
    EXPECT_EQ(Ch(2).ch_on, 0u);
}

// ---- sweep ----

TEST_F(SoundTest, SweepLengthensThePeriodWithBit3ClearAndShortensItWithBit3Set) {
    Write(reg::NR13, 0x00);
    Write(reg::NR14, 0x87);  // period 1024
    Write(reg::NR10, 0x11);  // one tick per step, period + period / 2
    Run(32764);
    EXPECT_EQ(Ch(0).freq_period, 1024u);
    Step(4);
    EXPECT_EQ(Ch(0).freq_period, 1536u);

    Write(reg::NR14, 0x87);
    Write(reg::NR10, 0x19);  // period - period / 2
    Run(32768);
    EXPECT_EQ(Ch(0).freq_period, 512u);

    Write(reg::NR10, 0x29);  // a step every second tick
    Run(32768);
    EXPECT_EQ(Ch(0).freq_period, 512u);
    Run(32768);
    EXPECT_EQ(Ch(0).freq_period, 256u);
}

// ---- envelope ----

TEST_F(SoundTest, EnvelopeStepsOnceEveryEnvPeriodTicksAndTheSquareSoundsItsVolume) {
    Write(reg::NR21, 0x80);
    Write(reg::NR22, 0xF3);  // 15, down, every 3 ticks of 64 Hz
    Write(reg::NR23, 0xFF);  // period 4
    Write(reg::NR24, 0x87);
    EXPECT_EQ(HighestLevelOver(1, 8), 15);
    Run(3 * 65536 - 4 - 8 * 4);
    EXPECT_EQ(Ch(1).env_volume, 15u);
    Step(4);
    EXPECT_EQ(Ch(1).env_volume, 14u);
    EXPECT_EQ(HighestLevelOver(1, 8), 14);
    Run(3 * 65536);
    EXPECT_EQ(HighestLevelOver(1, 8), 13);
    Run(20 * 3 * 65536);
    EXPECT_EQ(Ch(1).env_volume, 0u);
    EXPECT_EQ(HighestLevelOver(1, 8), 0);
}

// NRx2 = 0x09 is initial volume 0 rising by one step per tick. With the level taken from the
// envelope, the note fades in over 15 ticks and then holds at full volume; it is no longer held
// silent until the register is rewritten.
TEST_F(SoundTest, InitialVolumeZeroWithARisingEnvelopeFadesIn) {
    Write(reg::NR21, 0x80);
    Write(reg::NR22, 0x09);
    Write(reg::NR23, 0xFF);
    Write(reg::NR24, 0x87);
    EXPECT_EQ(HighestLevelOver(1, 8), 0);
    Run(65536);
    EXPECT_EQ(HighestLevelOver(1, 8), 1);
    Run(14 * 65536);
    EXPECT_EQ(HighestLevelOver(1, 8), 15);
    Run(10 * 65536);
    EXPECT_EQ(Ch(1).env_volume, 15u);
    EXPECT_EQ(HighestLevelOver(1, 8), 15);
}

// ---- trigger ----

TEST_F(SoundTest, TriggerRestartsWaveformAndEnvelopeButKeepsPeriodAndOtherCounters) {
    Write(reg::NR42, 0xF1);
    Write(reg::NR43, 0x27);  // period 192, which only NR43 sets
    SoundChannel& noise = Ch(3);
    noise.env_volume = 3;
    noise.env_cycles = 1234;
    noise.freq_cycles = 100;
    noise.length_cycles = 777;
    noise.output = 15;
    Write(reg::NR44, 0x80);
    EXPECT_EQ(noise.ch_on, 1u);
    EXPECT_EQ(noise.freq_period, 192u);
    EXPECT_EQ(noise.freq_cycles, 0u);
    EXPECT_EQ(noise.env_volume, 15u);
    EXPECT_EQ(noise.env_cycles, 0u);
    EXPECT_EQ(noise.output, 0);
    EXPECT_EQ(noise.length_cycles, 777u);

    Ch(1).duty_step = 5;
    Write(reg::NR24, 0x80);
    EXPECT_EQ(Ch(1).duty_step, 5u);

    Write(reg::NR33, 0xF0);
    Write(reg::NR34, 0x07);  // period 32, no trigger
    Ch(2).wave_pos = 9;
    Write(reg::NR30, 0x00);
    Write(reg::NR30, 0x80);  // restarted through NR30 alone
    EXPECT_EQ(Ch(2).freq_period, 32u);
    EXPECT_EQ(Ch(2).wave_pos, 0);
}

// ---- wave ----

TEST_F(SoundTest, WaveChannelPlaysHighNibbleFirstScaledByNr32) {
    Write(reg::WAVE_RAM, 0x9C);
    Write(reg::NR30, 0x80);
    Write(reg::NR33, 0xF0);
    Write(reg::NR34, 0x87);  // period 32
    const std::pair<u8, std::pair<int, int>> cases[] = {
        {0x20, {9, 12}}, {0x40, {4, 6}}, {0x60, {2, 3}}, {0x00, {0, 0}}};
    for (const auto& [nr32, samples] : cases) {
        Write(reg::NR32, nr32);
        Write(reg::NR30, 0x80);  // back to sample 0
        Step(32);
        const int first = Ch(2).output;
        Step(32);
        EXPECT_EQ(std::pair(first, static_cast<int>(Ch(2).output)), samples) << int{nr32};
    }
}

// ---- noise ----

TEST_F(SoundTest, NoiseIsHighOnEvenDrawsForAFixedSeed) {
    Write(reg::NR42, 0xF0);
    Write(reg::NR43, 0x00);  // period 0: a draw at every instruction
    Write(reg::NR44, 0x80);
    gb->noise_rng = 12345;
    u32 x = 12345;
    int high = 0;
    for (int i = 0; i < 256; ++i) {
        Step(4);
        x = x * 214013u + 2531011u;
        const bool even = ((x >> 16) & 1) == 0;
        ASSERT_EQ(Ch(3).output, even ? 15 : 0) << "draw " << i;
        high += even;
    }
    EXPECT_GT(high, 64);
    EXPECT_LT(high, 192);
}

// ---- bounds ----

TEST_F(SoundTest, AccumulatorsStayBoundedUnderTinyPeriods) {
    Write(reg::NR13, 0xFF);
    Write(reg::NR14, 0x87);  // period 4
    Write(reg::NR43, 0x00);  // period 0
    Write(reg::NR44, 0x80);
    for (int i = 0; i < 1000000; ++i) Step(24);
    EXPECT_LE(Ch(0).freq_cycles, 4u);
    EXPECT_EQ(Ch(3).freq_cycles, 0u);

    // A longer period takes effect at once: no backlog keeps the square stepping every time.
    Write(reg::NR13, 0x00);
    Write(reg::NR14, 0x07);  // period 1024
    Step(24);
    Step(24);
    const u32 position = Ch(0).duty_step;
    Run(960, 24);
    EXPECT_EQ(Ch(0).duty_step, position);
}

// ---- catching up ----
//
// The run slice lets steps at which nothing can happen only count their cycles, and replays them
// when something can. These tests hold that against the reference, every step taken in full,
// comparing everything anyone outside the sound unit can see.

// Two machines side by side: `fast` stepped as the run slice steps the sound unit, `ref` taking
// every step in full.
class CatchUpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (TGBSYSF* gb : {fast.get(), ref.get()}) {
            gb->noise_seed_source = [] { return 99u; };
            gb->HardReset();
        }
        fast->sound_output = &fast_out;
        ref->sound_output = &ref_out;
    }
    void Step(u32 op) {
        fast->state.op_cycles = op;
        // A quiet step only counts itself; any other outcome is a catch-up.
        const u32 steps_before = fast->snd_pending_steps;
        const u32 applied_before = fast->snd_rate_applied;
        fast->SoundAdvance();
        catch_ups +=
            fast->snd_pending_steps != steps_before + 1 || fast->snd_rate_applied != applied_before;
        ref->state.op_cycles = op;
        ref->SoundStep();
        // A program can read NR52 at any step.
        ASSERT_EQ(fast->IoRead(0xFF00 | reg::NR52), ref->IoRead(0xFF00 | reg::NR52));
    }
    // What the run slice leaves when it hands the machine back.
    void ExpectSameAfterSync(int at) {
        fast->SoundSync();
        const bool same = std::memcmp(&fast->state, &ref->state, sizeof(GbState)) == 0 &&
                          fast->noise_rng == ref->noise_rng &&
                          std::memcmp(fast->memory.sample_buffer, ref->memory.sample_buffer,
                                      sizeof fast->memory.sample_buffer) == 0 &&
                          fast->memory.sample_write_ptr == ref->memory.sample_write_ptr &&
                          fast_out.bytes == ref_out.bytes;
        ASSERT_TRUE(same) << "at " << at;
    }
    // A step's cycles as programs spend them, now and then a step of none (an undefined opcode).
    u32 RandomOp() {
        static constexpr u32 kOps[] = {4, 4, 4, 8, 8, 8, 12, 12, 16, 20, 24, 0};
        return kOps[rng() % std::size(kOps)];
    }

    std::unique_ptr<TGBSYSF> fast = std::make_unique<TGBSYSF>();
    std::unique_ptr<TGBSYSF> ref = std::make_unique<TGBSYSF>();
    RecordingSoundOutput fast_out;
    RecordingSoundOutput ref_out;
    std::mt19937 rng{2024};
    int catch_ups = 0;
};

// After power-on all four channels run, the noise channel (period 0) drawing at every step. The
// tone and wave timers and the draws are replayed. Only square 1 is heard (the others are at
// volume 0), so its waveform steps, its two envelope ticks and any frame between two of its
// steps take a step of their own; the other frames are replayed, all alike. With nothing heard,
// only the ticks do.
TEST_F(CatchUpTest, OnlyHeardLevelChangesFramesAndTicksInterruptTheQuietSteps) {
    constexpr int kSteps = 100000;
    const int frames = static_cast<int>(std::int64_t{kSteps} * 4 * 22050 / 0x400000);
    for (int i = 0; i < kSteps && !HasFatalFailure(); ++i) Step(4);
    ExpectSameAfterSync(kSteps);
    EXPECT_EQ(fast_out.bytes.size(), static_cast<std::size_t>(frames / kBlockFrames * kBlockBytes));
    EXPECT_LE(catch_ups, frames + 4);
    EXPECT_EQ(fast->state.channels[0].env_volume, 13u);

    for (TGBSYSF* gb : {fast.get(), ref.get()}) gb->IoWrite(0xFF00 | reg::NR51, 0x00);
    catch_ups = 0;
    for (int i = 0; i < kSteps && !HasFatalFailure(); ++i) Step(4);
    ExpectSameAfterSync(2 * kSteps);
    EXPECT_LE(catch_ups, 4);
}

TEST_F(CatchUpTest, AnyChannelBytesFromAStateFileGiveTheReferenceAndInRangeSamples) {
    for (int round = 0; round < 40; ++round) {
        auto* bytes = reinterpret_cast<u8*>(&ref->state.so1_on);
        const auto* end = reinterpret_cast<u8*>(&ref->state + 1);
        for (u8* b = bytes; b < end; ++b) *b = static_cast<u8>(rng());
        ref->state.snd_master_on = 1;
        ref->state.CGB_double_speed = rng() % 2;
        if (round % 4 == 0) {
            // Sensible accumulators, so that the quiet stretches are long.
            for (SoundChannel& ch : ref->state.channels) {
                ch.length_cycles %= 16384;
                ch.sweep_cycles %= 32768;
                ch.env_cycles %= 65536;
                ch.freq_period %= 8192;
                ch.freq_cycles = ch.freq_period ? ch.freq_cycles % ch.freq_period : 0;
            }
            ref->state.snd_rate_acc &= 0x3FFFFF;
        }
        // As a state load does.
        fast->state = ref->state;
        fast->SoundDropPending();
        for (int i = 0; i < 20000; ++i) {
            Step(RandomOp());
            if (HasFatalFailure()) return;
        }
        ExpectSameAfterSync(round);
        if (HasFatalFailure()) return;
    }
    // Whatever the bytes, every sample stays within four full channels at full volume.
    for (std::size_t f = 0; f < ref_out.BlockCount() * kBlockFrames; ++f) {
        for (int t = 0; t < 2; ++t) {
            ASSERT_GE(ref_out.Sample(f, t), 0);
            ASSERT_LE(ref_out.Sample(f, t), 6720);
        }
    }
}

// A program that plays a script of sound register and wave RAM writes with pauses between them,
// reading NR52 into work RAM while it waits, and now and then switches the speed or halts until
// the next V-blank. Script entries are (register, value, pause); register 0xFE switches the
// speed, 0xFD halts, 0xFF restarts the script.
std::vector<u8> ScriptedSoundRom() {
    using namespace gbasm;
    std::mt19937 rng(77);
    std::vector<u8> script;
    for (int i = 0; i < 700; ++i) {
        u8 r = static_cast<u8>(reg::NR10 + rng() % 0x17);
        u8 value = static_cast<u8>(rng());
        if (rng() % 6 == 0) r = static_cast<u8>(reg::WAVE_RAM + rng() % 16);
        if (r == reg::NR14 || r == reg::NR24 || r == reg::NR34 || r == reg::NR44) value |= 0x80;
        if (r == reg::NR11 || r == reg::NR21 || r == reg::NR41) value |= 0x30;  // short lengths
        if (r == reg::NR31) value |= 0xC0;
        if (r == reg::NR52) value = (rng() % 3 != 0) ? 0x80 : 0x00;
        if (rng() % 40 == 0) r = 0xFE;
        if (rng() % 30 == 0) r = 0xFD;
        const u32 kind = rng() % 100;
        const u8 pause = static_cast<u8>(kind < 70   ? 0
                                         : kind < 90 ? 1 + rng() % 4
                                         : kind < 98 ? 5 + rng() % 40
                                                     : 40 + rng() % 200);
        script.insert(script.end(), {r, value, pause});
    }
    script.push_back(0xFF);

    Asm vblank(0x0040);
    vblank.reti();
    Asm a(0x0150);
    a.ld(SP, 0xE000), a.ld(HL, 0xC000);  // the stack above the NR52 log
    a.ld(A, irq::VBLANK), a.ldh(reg::IE, A);
    a.label("restart"), a.ld(DE, "script");
    a.label("next"), a.ld(A, Mem(DE)), a.inc(DE), a.cp(0xFF), a.jr(Z, "restart");
    a.ld(C, A), a.ld(A, Mem(DE)), a.inc(DE), a.ld(B, A), a.ld(A, Mem(DE)), a.inc(DE), a.push(DE);
    a.or_(A), a.jr(Z, "act"), a.ld(E, A);  // pauses of about 1900 cycles each
    a.label("outer"), a.ld(D, 32);
    a.label("inner"), a.ldh(A, reg::NR52), a.ld(Mem(HLI), A);
    a.ld(A, H), a.and_(0x0F), a.or_(0xC0), a.ld(H, A);  // the log wraps within 0xC000-0xCFFF
    a.dec(D), a.jr(NZ, "inner"), a.dec(E), a.jr(NZ, "outer");
    a.label("act"), a.pop(DE), a.ld(A, C);
    a.cp(0xFE), a.jr(Z, "speed"), a.cp(0xFD), a.jr(Z, "wait");
    a.ld(A, B), a.ld(Mem(C), A), a.jr("next");
    a.label("speed"), a.ld(A, 0x01), a.ldh(reg::KEY1, A), a.stop(), a.jr("next");
    a.label("wait"), a.ei(), a.halt(), a.di(), a.jr("next");
    a.label("script"), a.db(script);

    std::vector<u8> rom = test::MakeRom({.cgb_flag = 0x80});
    PlaceInRom(rom, vblank);
    PlaceInRom(rom, a);
    return rom;
}

TEST_F(CatchUpTest, RunSlicesOfAProgramGiveTheReferenceMachine) {
    const std::vector<u8> rom = ScriptedSoundRom();
    ref->reference_mode = true;
    for (TGBSYSF* gb : {fast.get(), ref.get()}) {
        test::OpenImage(*gb, rom);
        gb->noise_seed_source = [] { return 5u; };
        gb->HardReset();
        ASSERT_EQ(gb->state.CGB_MODE, 1);
    }
    bool went_double = false;
    bool came_back = false;
    u8 channels_seen_on = 0;
    u8 channels_seen_off = 0;
    for (int slice = 0; slice < 64; ++slice) {
        if (slice % 11 == 5) fast->sound_enable = ref->sound_enable = false;
        if (slice % 11 == 7) fast->sound_enable = ref->sound_enable = true;
        if (slice % 9 == 4) fast->sound_select_CH4 = ref->sound_select_CH4 = !ref->sound_select_CH4;
        fast->RunSlice();
        ref->RunSlice();
        const bool same = std::memcmp(&fast->state, &ref->state, sizeof(GbState)) == 0 &&
                          std::memcmp(&fast->memory, &ref->memory, sizeof(GbMemory)) == 0 &&
                          fast->noise_rng == ref->noise_rng && fast_out.bytes == ref_out.bytes;
        ASSERT_TRUE(same) << "slice " << slice;
        went_double |= ref->state.CGB_double_speed != 0;
        came_back |= went_double && ref->state.CGB_double_speed == 0;
        for (u32 i = 0; i < 0x1000; ++i) {
            channels_seen_on |= ref->memory.wram[i] & 0x0F;
            channels_seen_off |= ~ref->memory.wram[i] & 0x0F;
        }
    }
    EXPECT_FALSE(ref->state.BadOpCode);
    EXPECT_TRUE(went_double && came_back);
    EXPECT_EQ(channels_seen_on, 0x0F);
    EXPECT_EQ(channels_seen_off, 0x0F);
    EXPECT_GT(ref_out.BlockCount(), 30u);
}

}  // namespace
}  // namespace kivo
