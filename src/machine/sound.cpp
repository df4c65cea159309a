// The sound unit: four channels that each hold a level 0-15, and a mixer that samples those levels
// 22050 times per console second into blocks of 2048 stereo frames for the sound output.
//
// SoundStep runs after every instruction, so the common path is a few additions per sounding
// channel; everything that happens at most a few hundred times per second (length, sweep and
// envelope ticks, the mixer) sits behind a single compare.
//
// Every accumulator here adds a step's cycles and, on reaching its threshold, subtracts the
// threshold once and does one unit of work, so the surplus of a long step carries over. A step
// can do at most one unit of work, so a threshold shorter than the steps would let the surplus
// grow for as long as it lasts; each accumulator therefore keeps at most one threshold of backlog
// after it fires. With the console's steps (4 to 24 cycles) only the waveform timer of a very
// short period ever reaches that bound; the channel still steps at every instruction while its
// period stays that short, and a period the program lengthens later takes effect at once instead
// of after a backlog has drained.
#include <bit>
#include <cstdint>
#include <cstring>

#include "machine/gbsys.h"

namespace kivo {

namespace {

constexpr u32 kSampleRate = 22050;
// The sample accumulator gains 22050 per clock cycle, so one frame per 4194304 / 22050 (about
// 190) cycles. In double speed the processor's cycles come twice as fast.
constexpr std::int64_t kSampleThreshold = 0x400000;
constexpr std::int64_t kSampleThresholdDouble = 0x800000;
constexpr u32 kLengthTick = 16384;    // 256 Hz
constexpr u32 kSweepTick = 32768;     // 128 Hz
constexpr u32 kEnvelopeTick = 65536;  // 64 Hz
constexpr u32 kMixScale = 16;

// The high part of each square duty pattern, bit k set when position k is high: 12.5 % low,
// 25 % low, 50 %, 25 % high.
constexpr u8 kDutyHigh[4] = {0xFE, 0xFC, 0xF0, 0xC0};
static_assert(std::popcount(kDutyHigh[0]) == 7 && std::popcount(kDutyHigh[1]) == 6);
static_assert(std::popcount(kDutyHigh[2]) == 4 && std::popcount(kDutyHigh[3]) == 2);

// NR32's output level as a right shift of the 4-bit wave sample: mute, 100 %, 50 %, 25 %.
constexpr u8 kWaveShift[4] = {4, 0, 1, 2};

// The level of a high square or noise step is the envelope's current volume, which the
// envelope keeps within 0..15 (the mask only matters for a volume a state file brought in).
inline u8 EnvelopeLevel(const SoundChannel& ch) {
    return static_cast<u8>(ch.env_volume & 15);
}

// The length counter switches the channel off when its count runs out. The rest of the step
// still runs for the channel; it falls silent from the next step on.
inline void StepLength(SoundChannel& ch, u32 op) {
    if (!ch.length_on) return;
    ch.length_cycles += op;
    if (ch.length_cycles < kLengthTick) return;
    ch.length_cycles -= kLengthTick;
    if (ch.length_cycles > kLengthTick) ch.length_cycles = kLengthTick;  // bound: one tick
    if (ch.length_count != 0) --ch.length_count;
    if (ch.length_count == 0) ch.ch_on = 0;
}

// Square 1's sweep works on the period rather than the frequency register: NR10 bit 3 shortens
// it (the pitch rises), bit 3 clear lengthens it. Nothing checks for overflow and the sweep never
// switches the channel off. A sweep time of 0 sweeps at every tick.
inline void StepSweep(SoundChannel& ch, u32 op) {
    if (!ch.sweep_on) return;
    ch.sweep_cycles += op;
    if (ch.sweep_cycles < kSweepTick) return;
    ch.sweep_cycles -= kSweepTick;
    if (ch.sweep_cycles > kSweepTick) ch.sweep_cycles = kSweepTick;  // bound: one tick
    // sweep_count stays within the four bits of the sweep time, whatever a state file held.
    if (++ch.sweep_count < (ch.sweep_time & 0x0F)) return;
    ch.sweep_count = 0;
    const u32 shift = ch.sweep_shift & 7;
    if (shift == 0) return;
    const u32 delta = ch.freq_period >> shift;  // never more than the period: no wrap below 0
    if (ch.sweep_dir) {
        ch.freq_period -= delta;
    } else {
        ch.freq_period += delta;
    }
}

// The envelope moves the volume one step towards 15 or 0 once every env_period ticks of 64 Hz,
// stopping at the bound. A period of 0 comes with env_on clear from every NRx2 write; a state
// file holding both set gets an envelope that steps at every instruction, with env_cycles 0.
inline void StepEnvelope(SoundChannel& ch, u32 op) {
    if (!ch.env_on) return;
    const u32 period_cycles = (ch.env_period & 7) * kEnvelopeTick;
    ch.env_cycles += op;
    if (ch.env_cycles < period_cycles) return;
    ch.env_cycles -= period_cycles;
    if (ch.env_cycles > period_cycles) ch.env_cycles = period_cycles;  // bound: one envelope step
    if (ch.env_dir) {
        if (ch.env_volume < 15) ++ch.env_volume;
    } else if (ch.env_volume != 0) {
        --ch.env_volume;
    }
}

// The waveform timer: true when the channel takes its (at most one) waveform step this step.
inline bool WaveformTimerFires(SoundChannel& ch, u32 op) {
    const u32 cycles = ch.freq_cycles + op;
    const u32 period = ch.freq_period;
    if (cycles < period) {
        ch.freq_cycles = cycles;
        return false;
    }
    const u32 rest = cycles - period;
    ch.freq_cycles = rest > period ? period : rest;  // bound: one period of backlog
    return true;
}

template <bool kHasSweep>
inline void StepSquare(SoundChannel& ch, u32 op) {
    StepLength(ch, op);
    if constexpr (kHasSweep) StepSweep(ch, op);
    StepEnvelope(ch, op);
    if (!WaveformTimerFires(ch, op)) return;
    const u32 step = ch.duty_step & 7;
    ch.output = ((kDutyHigh[ch.duty & 3] >> step) & 1) ? EnvelopeLevel(ch) : 0;
    ch.duty_step = (step + 1) & 7;
}

// The wave channel plays the 32 four-bit samples of wave RAM, high nibble first.
inline void StepWave(SoundChannel& ch, const u8* io_page, u32 op) {
    StepLength(ch, op);
    if (!WaveformTimerFires(ch, op)) return;
    const u32 pos = ch.wave_pos & 31u;
    const u8 byte = io_page[reg::WAVE_RAM + (pos >> 1)];
    const u32 sample = (pos & 1) ? (byte & 0x0Fu) : (byte >> 4);
    ch.output = static_cast<u8>(sample >> kWaveShift[ch.wave_level & 3]);
    ch.wave_pos = static_cast<u8>((pos + 1) & 31u);
}

// The noise channel is a coin toss per step rather than a shift register, so NR43's width bit
// changes nothing.
inline void StepNoise(TGBSYSF& gb, SoundChannel& ch, u32 op) {
    StepLength(ch, op);
    StepEnvelope(ch, op);
    if (!WaveformTimerFires(ch, op)) return;
    // An even draw is high. Multiplying rather than branching: the toss is unpredictable.
    ch.output = static_cast<u8>(EnvelopeLevel(ch) * (~gb.NoiseRand() & 1));
}

// One stereo frame: each terminal sums the levels NR51 routes to it and scales the sum by its
// NR50 volume; all samples are 0..6720. Terminal 1 is the left channel of the block.
[[gnu::noinline]] void MixFrame(TGBSYSF& gb, bool enabled) {
    GbState& s = gb.state;
    u32 sum1 = 0;
    u32 sum2 = 0;
    if (enabled) {
        const u32 nr51 = gb.memory.io_page[reg::NR51];
        const bool selected[4] = {gb.sound_select_CH1, gb.sound_select_CH2, gb.sound_select_CH3,
                                  gb.sound_select_CH4};
        for (u32 n = 0; n < 4; ++n) {
            const SoundChannel& ch = s.channels[n];
            if (!selected[n] || !ch.ch_on) continue;
            const u32 level = ch.output & 15u;
            if (nr51 & (1u << n)) sum1 += level;
            if (nr51 & (0x10u << n)) sum2 += level;
        }
    }
    const u32 left = s.so1_on ? sum1 * (s.so1_volume & 7u) * kMixScale : 0;
    const u32 right = s.so2_on ? sum2 * (s.so2_volume & 7u) * kMixScale : 0;

    // The write position is always 4 x snd_buffer_fill, whatever a state file put there.
    u32 fill = static_cast<u32>(s.snd_buffer_fill) & (kBlockFrames - 1);
    const u32 frame = left | right << 16;  // two little-endian i16, left first
    std::memcpy(gb.memory.sample_buffer + fill * 4, &frame, 4);
    fill = (fill + 1) & (kBlockFrames - 1);
    s.snd_buffer_fill = static_cast<i32>(fill);
    gb.memory.sample_write_ptr = fill * 4;
    if (fill == 0 && gb.sound_output) gb.sound_output->StreamSoundBlock(gb.memory.sample_buffer);
}

}  // namespace

void TGBSYSF::SoundStep() {
    GbState& s = state;
    const u32 op = s.op_cycles;
    const bool enabled = sound_enable && s.snd_master_on == 1;

    // Frames are produced, and blocks handed over, whether or not the sound is on: with it off
    // they are silence, so the output never replays stale sound.
    const std::int64_t threshold = s.CGB_double_speed ? kSampleThresholdDouble : kSampleThreshold;
    std::int64_t acc = std::int64_t{s.snd_rate_acc} + std::int64_t{op} * kSampleRate;
    if (acc >= threshold) {
        acc -= threshold;
        if (acc > threshold) acc = threshold;  // bound: one frame of backlog
        MixFrame(*this, enabled);
    }
    s.snd_rate_acc = static_cast<i32>(acc);

    // NR52 off or the sound option off: every channel stands still.
    if (!enabled) return;

    SoundChannel* const ch = s.channels;
    if (ch[0].ch_on) {
        StepSquare<true>(ch[0], op);
    } else {
        ch[0].output = 0;
    }
    if (ch[1].ch_on) {
        StepSquare<false>(ch[1], op);
    } else {
        ch[1].output = 0;
    }
    if (ch[2].ch_on) {
        StepWave(ch[2], memory.io_page, op);
    } else {
        ch[2].output = 0;
    }
    if (ch[3].ch_on) {
        StepNoise(*this, ch[3], op);
    } else {
        ch[3].output = 0;
    }
}

// A trigger restarts the waveform from its first position with the period last computed from
// the frequency registers (the noise channel's comes only from NR43, so zeroing it here would
// leave a retriggered noise stepping at every instruction). The envelope restarts from its
// initial volume and a fresh count, so a note retriggered without rewriting NRx2 sounds again.
// Length, duty position and sweep carry on from their registers' last writes.
void TGBSYSF::TriggerChannel(int n) {
    const int c = n & 3;
    SoundChannel& ch = state.channels[c];
    ch.ch_on = 1;
    ch.output = 0;
    ch.freq_cycles = 0;
    ch.wave_pos = 0;
    if (c != 2) {
        ch.env_volume = ch.env_initial;
        ch.env_cycles = 0;
    }
}

void TGBSYSF::StopChannel(int n) {
    SoundChannel& ch = state.channels[n & 3];
    ch.ch_on = 0;
    ch.output = 0;
}

// rand()'s classic linear congruential rule, private to the machine so that nothing else in the
// process disturbs the sequence and a fixed seed repeats a run's noise exactly.
u32 TGBSYSF::NoiseRand() {
    noise_rng = noise_rng * 214013u + 2531011u;
    return (noise_rng >> 16) & 0x7FFF;
}

}  // namespace kivo
