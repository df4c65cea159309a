// The sound unit: four channels that each hold a level 0-15, and a mixer that samples those levels
// 22050 times per console second into blocks of 2048 stereo frames for the sound output.
//
// The run slice calls the sound unit after every instruction, but nearly all of those steps only
// add cycles to accumulators; it therefore counts cycles and lets the accumulators catch up at
// the first step at which anything can happen (see "catching up" below).
//
// Every accumulator here adds a step's cycles and, on reaching its threshold, subtracts the
// threshold once and does one unit of work, so the surplus of a long step carries over. A step
// can do at most one unit of work, so a threshold shorter than the steps would let the surplus
// grow for as long as it lasts; each accumulator therefore keeps at most one threshold of backlog
// after it fires. With the console's steps (4 to 24 cycles) only the waveform timer of a very
// short period ever reaches that bound; the channel still steps at every instruction while its
// period stays that short, and a period the program lengthens later takes effect at once instead
// of after a backlog has drained.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "machine/cpu_tables.h"
#include "machine/gbsys.h"

namespace kivo {

namespace {

constexpr u32 kSampleRate = 22050;
// The sample accumulator gains 22050 per clock cycle, so one frame per 4194304 / 22050 (about
// 190) cycles. In double speed the processor's cycles come twice as fast, so the threshold
// doubles.
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

// A square's level at position pos (0-7) of its duty pattern.
inline u8 SquareLevel(const SoundChannel& ch, u32 pos) {
    return ((kDutyHigh[ch.duty & 3] >> pos) & 1) ? EnvelopeLevel(ch) : 0;
}

// The wave channel's level at position pos (0-31) of wave RAM, high nibble first.
inline u8 WaveLevel(const SoundChannel& ch, const u8* io_page, u32 pos) {
    const u8 byte = io_page[reg::WAVE_RAM + (pos >> 1)];
    const u32 sample = (pos & 1) ? (byte & 0x0Fu) : (byte >> 4);
    return static_cast<u8>(sample >> kWaveShift[ch.wave_level & 3]);
}

// The noise channel's level for a draw of the generator: an even draw is high. Multiplying
// rather than branching: the toss is unpredictable.
inline u8 NoiseLevel(const SoundChannel& ch, u32 draw) {
    return static_cast<u8>(EnvelopeLevel(ch) * (~draw & 1));
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
    ch.output = SquareLevel(ch, step);
    ch.duty_step = (step + 1) & 7;
}

// The wave channel plays the 32 four-bit samples of wave RAM, high nibble first.
inline void StepWave(SoundChannel& ch, const u8* io_page, u32 op) {
    StepLength(ch, op);
    if (!WaveformTimerFires(ch, op)) return;
    const u32 pos = ch.wave_pos & 31u;
    ch.output = WaveLevel(ch, io_page, pos);
    ch.wave_pos = static_cast<u8>((pos + 1) & 31u);
}

// The noise channel is a coin toss per step rather than a shift register, so NR43's width bit
// changes nothing.
inline void StepNoise(TGBSYSF& gb, SoundChannel& ch, u32 op) {
    StepLength(ch, op);
    StepEnvelope(ch, op);
    if (!WaveformTimerFires(ch, op)) return;
    ch.output = NoiseLevel(ch, gb.NoiseRand());
}

// Whether the options let channel n be heard.
inline bool ChannelSelected(const TGBSYSF& gb, u32 n) {
    switch (n) {
        case 0: return gb.sound_select_CH1;
        case 1: return gb.sound_select_CH2;
        case 2: return gb.sound_select_CH3;
        default: return gb.sound_select_CH4;
    }
}

// One stereo frame: each terminal sums the levels NR51 routes to it and scales the sum by its
// NR50 volume; all samples are 0..6720. Terminal 1 is the left channel of the block. Returned as
// it is stored: two little-endian i16, left first.
u32 MixLevels(const TGBSYSF& gb, bool enabled) {
    const GbState& s = gb.state;
    u32 sum1 = 0;
    u32 sum2 = 0;
    if (enabled) {
        const u32 nr51 = gb.memory.io_page[reg::NR51];
        for (u32 n = 0; n < 4; ++n) {
            const SoundChannel& ch = s.channels[n];
            if (!ChannelSelected(gb, n) || !ch.ch_on) continue;
            const u32 level = ch.output & 15u;
            if (nr51 & (1u << n)) sum1 += level;
            if (nr51 & (0x10u << n)) sum2 += level;
        }
    }
    const u32 left = s.so1_on ? sum1 * (s.so1_volume & 7u) * kMixScale : 0;
    const u32 right = s.so2_on ? sum2 * (s.so2_volume & 7u) * kMixScale : 0;
    return left | right << 16;
}

// Adds `count` copies of a frame to the block, handing each completed block to the output.
void AppendFrames(TGBSYSF& gb, u32 frame, u32 count) {
    GbState& s = gb.state;
    // The write position is always 4 x snd_buffer_fill, whatever a state file put there.
    u32 fill = static_cast<u32>(s.snd_buffer_fill) & (kBlockFrames - 1);
    for (; count != 0; --count) {
        std::memcpy(gb.memory.sample_buffer + fill * 4, &frame, 4);
        fill = (fill + 1) & (kBlockFrames - 1);
        if (fill == 0 && gb.sound_output) {
            gb.sound_output->StreamSoundBlock(gb.memory.sample_buffer);
        }
    }
    s.snd_buffer_fill = static_cast<i32>(fill);
    gb.memory.sample_write_ptr = fill * 4;
}

[[gnu::noinline]] void MixFrame(TGBSYSF& gb, bool enabled) {
    AppendFrames(gb, MixLevels(gb, enabled), 1);
}

inline bool SoundOn(const TGBSYSF& gb) {
    return gb.sound_enable && gb.state.snd_master_on == 1;
}

inline std::int64_t SampleThreshold(const GbState& s) {
    return s.CGB_double_speed ? kSampleThresholdDouble : kSampleThreshold;
}

// The channel timers count console time, not processor cycles: the sound unit does not speed up
// with the processor, so a tone, a note length and an envelope sound the same at either speed. In
// double speed a step's cycles are halved (they are always a multiple of 4, so nothing is lost,
// and a sum of halves is the half of the sum, which the catch-up relies on).
inline u32 ChannelCycles(const GbState& s, u32 processor_cycles) {
    return s.CGB_double_speed ? processor_cycles >> 1 : processor_cycles;
}

// The mixer's part of a step: at most one frame. Frames are produced, and blocks handed over,
// whether or not the sound is on: with it off they are silence, so the output never replays
// stale sound.
inline void SampleStep(TGBSYSF& gb, u32 op) {
    GbState& s = gb.state;
    const std::int64_t threshold = SampleThreshold(s);
    std::int64_t acc = std::int64_t{s.snd_rate_acc} + std::int64_t{op} * kSampleRate;
    if (acc >= threshold) {
        acc -= threshold;
        if (acc > threshold) acc = threshold;  // bound: one frame of backlog
        MixFrame(gb, SoundOn(gb));
    }
    s.snd_rate_acc = static_cast<i32>(acc);
}

// The channels' part of a step: every sounding channel advances by the step's console time.
void StepChannels(TGBSYSF& gb, u32 op_cycles) {
    // NR52 off or the sound option off: every channel stands still.
    if (!SoundOn(gb)) return;

    const u32 op = ChannelCycles(gb.state, op_cycles);
    SoundChannel* const ch = gb.state.channels;
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
        StepWave(ch[2], gb.memory.io_page, op);
    } else {
        ch[2].output = 0;
    }
    if (ch[3].ch_on) {
        StepNoise(gb, ch[3], op);
    } else {
        ch[3].output = 0;
    }
}

// One instruction step exactly as the console takes it: at most one frame, then every sounding
// channel advances by the step's console time.
void StepOnce(TGBSYSF& gb, u32 op_cycles) {
    SampleStep(gb, op_cycles);
    StepChannels(gb, op_cycles);
}

// ---- catching up ----
//
// Most steps change nothing in the sound unit but its accumulators, so the run slice only counts
// its steps and their cycles (snd_pending) while the cycles stay below a budget: the fewest after
// which anything could happen that needs a step of its own. At the step that reaches the budget
// the earlier steps are replayed in one go, and that step runs in full.
//
// Replaying is exact because the budget leaves out only what can be replayed: a quiet step adds
// its cycles to each accumulator and nothing else, and a waveform timer whose period is at least
// a step's longest cycles fires at most once per step with no backlog, so its position and level
// after any run of steps follow from the cycles alone (the level from the last position played).
// A noise channel of period 0 draws at every step: the draws are replayed by count. The budget
// keeps everything else: frames, length, sweep and envelope ticks, waveform timers of shorter
// periods or with a backlog, and a stopped channel that still has to drop its level.
//
// A frame needs the channels' levels but changes nothing in them: at a step where only the mixer
// acts, the earlier steps are replayed, the frame is mixed, and the step's own channel work joins
// the next run of quiet steps (its cycles already counted in snd_rate_acc: snd_rate_applied).
// While no level the mixer hears can change (silence, a muted voice, or until a waveform step),
// frames do not end a run either: all of them mix the same levels, and the replay produces them.
// Nor do frames whose levels change: the replay steps the heard channels' levels frame by frame
// (MixChangingFrames), and where a frame's levels depend on where its step began, that step
// notes it (QuietMixerCycles).
//
// Whatever could move a threshold (a sound register or wave RAM write, the speed switch) first
// calls SoundSync, which replays the pending steps and has the next step plan afresh.

// A channel budget when no channel can act: more than any run slice holds.
constexpr u32 kNoChannelEvent = TGBSYSF::HeardTimers::kNone;

inline u32 CyclesUntil(u32 acc, u32 threshold) {
    return acc < threshold ? threshold - acc : 0;
}

// True when the waveform timer can be replayed: it fires at most once per step and has no
// backlog, so after c more cycles it has fired (freq_cycles + c) / freq_period times.
inline bool ReplayableTimer(const SoundChannel& ch) {
    return ch.freq_period >= kLongestStep && ch.freq_cycles < ch.freq_period;
}

// Processor cycles from the last replay until a channel could need a step of its own. 0 makes
// the next step run in full, which is also how an accumulator outside its range (from a state
// file) is handled.
u32 QuietChannelCycles(const TGBSYSF& gb) {
    if (!SoundOn(gb)) return kNoChannelEvent;
    u32 budget = kNoChannelEvent;
    for (u32 n = 0; n < 4; ++n) {
        const SoundChannel& ch = gb.state.channels[n];
        if (!ch.ch_on) {
            if (ch.output != 0) return 0;  // the next step drops the level
            continue;
        }
        if (ch.length_on) budget = std::min(budget, CyclesUntil(ch.length_cycles, kLengthTick));
        if (n == 0 && ch.sweep_on) {
            budget = std::min(budget, CyclesUntil(ch.sweep_cycles, kSweepTick));
        }
        if (n != 2 && ch.env_on) {
            const u32 period_cycles = (ch.env_period & 7) * kEnvelopeTick;
            budget = std::min(budget, CyclesUntil(ch.env_cycles, period_cycles));
        }
        const bool replayable = ReplayableTimer(ch) || (n == 3 && ch.freq_period == 0);
        if (!replayable) budget = std::min(budget, CyclesUntil(ch.freq_cycles, ch.freq_period));
    }
    // The channels count half the processor's cycles in double speed. The budget is at most
    // kNoChannelEvent, so doubling it cannot overflow.
    return gb.state.CGB_double_speed ? budget << 1 : budget;
}

using HeardTimers = TGBSYSF::HeardTimers;
HeardTimers FindHeardTimers(const TGBSYSF& gb) {
    HeardTimers t;
    const GbState& s = gb.state;
    const u32 nr51 = gb.memory.io_page[reg::NR51];
    const u32 routed = ((s.so1_on && (s.so1_volume & 7u)) ? nr51 & 0x0Fu : 0u) |
                       ((s.so2_on && (s.so2_volume & 7u)) ? nr51 >> 4 : 0u);
    const u32 selected = (gb.sound_select_CH1 ? 1u : 0u) | (gb.sound_select_CH2 ? 2u : 0u) |
                         (gb.sound_select_CH3 ? 4u : 0u) | (gb.sound_select_CH4 ? 8u : 0u);
    const u32 heard = routed & selected;
    if (heard == 0) return t;
    const u32 scale = s.CGB_double_speed ? 2 : 1;
    for (u32 n = 0; n < 4; ++n) {
        const SoundChannel& ch = s.channels[n];
        if (!(heard & (1u << n)) || !ch.ch_on) continue;
        // A silent voice (volume 0, or the wave channel muted) stays at level 0 at every position.
        const bool silent = n == 2 ? (ch.wave_level & 3) == 0 : EnvelopeLevel(ch) == 0;
        if (silent && ch.output == 0) continue;
        if (ch.freq_period == 0) {
            t.every_step = true;
            continue;
        }
        t.channel[t.count] = n;
        t.next[t.count] = CyclesUntil(ch.freq_cycles, ch.freq_period) * scale;
        t.period[t.count] = ch.freq_period * scale;
        ++t.count;
    }
    return t;
}

// The heard timers' channels' levels and waveform positions, and the noise generator, as
// GbState holds them: where the mixer's look-ahead and the replay start stepping them.
void CopyHeardLevels(const TGBSYSF& gb, HeardTimers& t) {
    for (u32 i = 0; i < t.count; ++i) {
        const u32 n = t.channel[i];
        const SoundChannel& ch = gb.state.channels[n];
        t.level[i] = ch.output & 15u;
        t.position[i] = n == 2 ? ch.wave_pos & 31u : ch.duty_step & 7u;
    }
    t.noise = gb.noise_rng;
}

// The generator after k draws is x -> mul x + add: the rule composed with itself k times, all
// modulo 2^32 like the generator.
struct LcgJump {
    u32 mul;
    u32 add;
};
constexpr LcgJump Compose(LcgJump first, LcgJump then) {
    return {then.mul * first.mul, then.mul * first.add + then.add};
}
constexpr LcgJump kDraw = {214013u, 2531011u};

// One waveform step of channel n on a copy of its level and position (and of the noise
// generator).
inline void StepLevel(const TGBSYSF& gb, u32 n, u32& level, u32& position, u32& noise) {
    const SoundChannel& ch = gb.state.channels[n];
    if (n == 3) {
        noise = noise * kDraw.mul + kDraw.add;
        level = NoiseLevel(ch, noise >> 16);
    } else if (n == 2) {
        level = WaveLevel(ch, gb.memory.io_page, position);
        position = (position + 1) & 31u;
    } else {
        level = SquareLevel(ch, position);
        position = (position + 1) & 7u;
    }
}

// Processor cycles from the last replay until the mix could change (HeardTimers::FirstStep);
// with the sound off every frame is silence.
u32 SteadyMixCycles(const TGBSYSF& gb) {
    return SoundOn(gb) ? FindHeardTimers(gb).FirstStep() : kNoChannelEvent;
}

// Cycles from now until the mixer's next frame. (2^23 + 2^31) / 22050 at most: no pending count
// can overflow.
u32 QuietSampleCycles(const GbState& s) {
    const std::int64_t missing = SampleThreshold(s) - s.snd_rate_acc;
    if (missing <= 0) return 0;
    return static_cast<u32>((missing + kSampleRate - 1) / kSampleRate);
}

// The mixer's frames one after another: Next gives the cycles from a point where the mixer's
// accumulator is `acc` to the next frame, and leaves in `acc` what is left after that frame.
// What a frame leaves is below one cycle's gain, and from there the next frame comes
// threshold / kSampleRate cycles on, or one more; only a run's first frame needs a division.
class FrameClock {
  public:
    explicit FrameClock(std::int64_t threshold)
        : threshold_(threshold), whole_(threshold / kSampleRate), part_(threshold % kSampleRate) {}

    u32 Next(std::int64_t& acc) const {
        if (acc >= 0 && acc < kSampleRate) [[likely]] {
            const bool longer = acc < part_;
            acc += (longer ? kSampleRate : 0) - part_;
            return static_cast<u32>(whole_ + longer);
        }
        const std::int64_t d = (threshold_ - acc + kSampleRate - 1) / kSampleRate;
        acc += d * kSampleRate - threshold_;
        return static_cast<u32>(d);
    }

  private:
    std::int64_t threshold_, whole_, part_;
};

// A frame takes the levels as the step before its own leaves them. That step ends less than a
// step's longest cycles before the frame's time, so a waveform step of a heard channel that comes
// at least that long before the frame is in its levels, and one at or after the frame's time is
// not; only one in between that changes its channel's level depends on where the steps fall
// (the look-ahead steps copies of the heard levels to tell). A frame with none there can be
// replayed with the rest (ReplayRun), its levels those of the channels replayed to just before
// its time. For one with such a step the plan makes the frame due: the step that reaches it
// notes where it began (SoundCatchUp), and the replay takes the waveform steps up to there. The
// look-ahead also makes every kClearFrames-th frame due, so that it is never long.
constexpr u32 kClearFrames = 32;

// Looks ahead from the frame at `frame` (the mixer's accumulator `acc` after it) for the next
// frame whose step must be found: one whose levels depend on where the steps fall, or the
// kClearFrames-th. It becomes the plan's due frame; returns its time.
u32 FindDueFrame(const TGBSYSF& gb, TGBSYSF::SoundPlan& plan, std::int64_t acc, u32 frame) {
    HeardTimers& heard = plan.heard;
    const FrameClock clock(SampleThreshold(gb.state));
    for (u32 m = 1;; ++m) {
        frame += clock.Next(acc);
        // A waveform step of a heard channel since the last frame that changes its level, too
        // close before this one's time. (One before the last frame was checked there, and is
        // farther away now; a timer's steps are farther apart than the window.)
        bool unsure = false;
        for (u32 i = 0; i < heard.count; ++i) {
            if (heard.next[i] > frame - 1) continue;
            u32 last, was;
            do {
                last = heard.next[i];
                was = heard.level[i];
                heard.next[i] += heard.period[i];
                StepLevel(gb, heard.channel[i], heard.level[i], heard.position[i], heard.noise);
            } while (heard.next[i] <= frame - 1);
            unsure |= frame - 1 - last < kLongestStep - 1 && heard.level[i] != was;
        }
        if (unsure || m == kClearFrames) {
            plan.frame_due = true;
            plan.frame = frame;
            plan.acc_after = acc;
            return frame;
        }
    }
}

// Pending cycles (`pending` of them counted already) until a step needs the mixer: the next
// frame, the next change of a level it hears while the mix stays the same, or a due frame. A
// backlog of frames (from a state file) is worked off one frame per step.
u32 QuietMixerCycles(TGBSYSF& gb, u32 pending) {
    TGBSYSF::SoundPlan& plan = gb.snd_plan;
    plan.frame_due = false;
    const u32 sample = QuietSampleCycles(gb.state);
    if (sample == 0) return pending;
    if (!SoundOn(gb)) return kNoChannelEvent;  // every frame is silence
    plan.heard = FindHeardTimers(gb);
    const u32 steady = plan.heard.FirstStep();
    if (steady >= pending + sample) return steady;
    if (plan.heard.every_step) return pending + sample;
    CopyHeardLevels(gb, plan.heard);
    return FindDueFrame(gb, plan, gb.state.snd_rate_acc, pending);
}

// The jumps for the draw counts of a usual catch-up (up to a frame's worth of short steps).
constexpr u32 kJumpTableSize = 64;
constexpr auto kJumps = [] {
    std::array<LcgJump, kJumpTableSize> t{};
    t[0] = {1, 0};
    for (u32 k = 1; k < kJumpTableSize; ++k) t[k] = Compose(t[k - 1], kDraw);
    return t;
}();
static_assert(kJumps[1].mul == kDraw.mul && kJumps[1].add == kDraw.add);

// The generator's state after `draws` more draws: from the table, or by squaring for more.
u32 AdvanceNoiseRng(u32 x, u32 draws) {
    if (draws < kJumpTableSize) return kJumps[draws].mul * x + kJumps[draws].add;
    LcgJump total = {1, 0};
    for (LcgJump power = kDraw; draws != 0; draws >>= 1, power = Compose(power, power)) {
        if (draws & 1) total = Compose(total, power);
    }
    return total.mul * x + total.add;
}

// Replays `cycles` of quiet steps on a channel's waveform timer; returns the number of
// waveform steps taken.
inline u32 ReplayTimer(SoundChannel& ch, u32 cycles) {
    const u32 period = ch.freq_period;
    u32 c = ch.freq_cycles + cycles;
    if (c < period) {
        ch.freq_cycles = c;
        return 0;
    }
    c -= period;
    u32 fires = 1;
    if (c >= period && period != 0) {  // (a period of 0 never has quiet cycles to replay)
        fires += c / period;
        c %= period;
    }
    ch.freq_cycles = c;
    return fires;
}

template <u32 n>
inline void ReplayChannel(TGBSYSF& gb, u32 cycles, u32 steps) {
    SoundChannel& ch = gb.state.channels[n];
    if (!ch.ch_on) return;  // its level is 0 already, or the budget was 0
    if (ch.length_on) ch.length_cycles += cycles;
    if (n == 0 && ch.sweep_on) ch.sweep_cycles += cycles;
    if (n != 2 && ch.env_on) ch.env_cycles += cycles;
    if constexpr (n == 3) {
        if (ch.freq_period == 0) {
            // Every step drew once and left the timer at 0.
            ch.freq_cycles = 0;
        } else {
            steps = ReplayTimer(ch, cycles);
            if (steps == 0) return;
        }
        gb.noise_rng = AdvanceNoiseRng(gb.noise_rng, steps);
        ch.output = NoiseLevel(ch, gb.noise_rng >> 16);
    } else {
        const u32 fires = ReplayTimer(ch, cycles);
        if (fires == 0) return;
        // The level is the one of the last position played.
        if constexpr (n == 2) {
            ch.output = WaveLevel(ch, gb.memory.io_page, (ch.wave_pos + fires - 1) & 31u);
            ch.wave_pos = static_cast<u8>((ch.wave_pos + fires) & 31u);
        } else {
            ch.output = SquareLevel(ch, (ch.duty_step + fires - 1) & 7);
            ch.duty_step = (ch.duty_step + fires) & 7;
        }
    }
}

// The frames of a run in which levels the mixer hears change, at no frame's step
// (QuietMixerCycles): each frame mixes the levels as the channels' waveform steps up to just
// before its time leave them. Those steps are taken on copies of the heard channels' positions
// and levels, frame by frame; the channels themselves are replayed afterwards, in one go. The
// other channels' levels hold through the run, a noise channel drawing at every step included
// (its draws are replayed at the end, by count). Runs of equal frames are appended at once.
// Returns the mixer's accumulator as of the run's end.
std::int64_t MixChangingFrames(TGBSYSF& gb, HeardTimers heard, u32 cycles, u32 applied, u32 marks) {
    const TGBSYSF::SoundPlan& plan = gb.snd_plan;
    u32 mark = 0;
    GbState& s = gb.state;
    // The mix is linear in the levels: each heard channel adds its level times its weight, the
    // volume of each terminal it is routed to (left | right << 16, neither half overflowing).
    const u32 nr51 = gb.memory.io_page[reg::NR51];
    const u32 left = s.so1_on ? (s.so1_volume & 7u) * kMixScale : 0;
    const u32 right = s.so2_on ? (s.so2_volume & 7u) * kMixScale : 0;
    CopyHeardLevels(gb, heard);
    u32 now = MixLevels(gb, true);
    u32 weight[4] = {};
    u32 level[4] = {};
    u32 position[4] = {};
    u32 noise = heard.noise;
    for (u32 i = 0; i < heard.count; ++i) {
        const u32 n = heard.channel[i];
        weight[i] = ((nr51 >> n) & 1 ? left : 0) | ((nr51 >> (n + 4)) & 1 ? right : 0) << 16;
        level[i] = heard.level[i];
        position[i] = heard.position[i];
    }
    const FrameClock clock(SampleThreshold(s));
    std::int64_t acc = s.snd_rate_acc;  // as of `applied` cycles into the run
    u32 at = applied;
    // The frames go straight into the block (as AppendFrames puts them).
    u8* const block = gb.memory.sample_buffer;
    u32 fill = static_cast<u32>(s.snd_buffer_fill) & (kBlockFrames - 1);
    for (;;) {
        std::int64_t after = acc;
        const u32 d = clock.Next(after);
        if (d > cycles - at) break;
        const u32 frame = at + d;
        // The step before the frame's own ends before its time; where, the frame's mark tells
        // when the plan could not be sure.
        u32 before = frame - 1;
        if (mark < marks && plan.mark_frame[mark] == frame) before = plan.mark_start[mark++];
        for (u32 i = 0; i < heard.count; ++i) {
            if (heard.next[i] > before) continue;
            const u32 n = heard.channel[i];
            const u32 was = level[i];
            do {
                heard.next[i] += heard.period[i];
                StepLevel(gb, n, level[i], position[i], noise);
            } while (heard.next[i] <= before);
            now += (level[i] - was) * weight[i];  // modulo 2^32, as the sum it keeps
        }
        std::memcpy(block + fill * 4, &now, 4);
        fill = (fill + 1) & (kBlockFrames - 1);
        if (fill == 0 && gb.sound_output) gb.sound_output->StreamSoundBlock(block);
        acc = after;
        at = frame;
    }
    s.snd_buffer_fill = static_cast<i32>(fill);
    gb.memory.sample_write_ptr = fill * 4;
    return acc + std::int64_t{cycles - at} * kSampleRate;
}

// Replays the channels' part of a run; `steps` only counts for a noise channel of period 0.
void ReplayChannels(TGBSYSF& gb, u32 channel_cycles, u32 steps) {
    ReplayChannel<0>(gb, channel_cycles, steps);
    ReplayChannel<1>(gb, channel_cycles, steps);
    ReplayChannel<2>(gb, channel_cycles, steps);
    ReplayChannel<3>(gb, channel_cycles, steps);
}

// Replays `steps` quiet steps of `cycles` in all, the first `applied` of which the mixer has
// counted already: GbState is then exact as of the end of the last of them.
void ReplayRun(TGBSYSF& gb, u32 cycles, u32 steps, u32 applied, u32 marks = 0) {
    GbState& s = gb.state;
    const bool on = SoundOn(gb);
    const std::int64_t threshold = SampleThreshold(s);
    std::int64_t acc = std::int64_t{s.snd_rate_acc} + std::int64_t{cycles - applied} * kSampleRate;
    if (acc >= threshold) {
        const HeardTimers heard = on ? FindHeardTimers(gb) : HeardTimers{};
        if (on && heard.FirstStep() < cycles && s.snd_rate_acc < threshold) {
            acc = MixChangingFrames(gb, heard, cycles, applied, marks);
        } else {
            // The frames of the quiet steps, all alike: every step adds less than a threshold,
            // so each one that crosses it gives one frame, and no backlog builds up.
            AppendFrames(gb, MixLevels(gb, on), static_cast<u32>(acc / threshold));
            acc %= threshold;
        }
    }
    s.snd_rate_acc = static_cast<i32>(acc);
    if (on) ReplayChannels(gb, ChannelCycles(s, cycles), steps);
}

// ---- idle steps ----
//
// A halted or stopped processor takes steps of 4 cycles, nothing but steps of 4 cycles, until it
// wakes. A run of pending steps whose cycles are 4 times their count is such a run (no step is
// shorter), and the position of every one of its steps is known: it is replayed event by event
// (a frame, a length, sweep or envelope tick, a waveform step of a timer that a step could
// overrun), each event step taken in full and the quiet steps between two events in one go. The
// cost is per event, not per step, and the planning leaves a halted processor's steps pending up
// to the wake-up, which syncs (cpu.cpp).

constexpr u32 kIdleStep = 4;

// Steps of `per_step` each, from `acc`, before the one that reaches `threshold`; at most `limit`.
inline u32 StepsBefore(std::int64_t acc, std::int64_t threshold, std::int64_t per_step, u32 limit) {
    if (acc >= threshold) return 0;
    const std::int64_t k = (threshold - 1 - acc) / per_step;
    return k < limit ? static_cast<u32>(k) : limit;
}

// Idle steps, at most `limit`, that add cycles to the accumulators and nothing else, or that a
// waveform timer of a period no shorter than a step follows by division (ReplayTimer).
u32 QuietIdleSteps(const TGBSYSF& gb, u32 limit) {
    const GbState& s = gb.state;
    const std::int64_t threshold = SampleThreshold(s);
    if (s.snd_rate_acc >= threshold) return 0;  // a backlog from a state file: one per step
    // With the sound off every frame is silence and the channels stand still.
    if (!SoundOn(gb)) return limit;
    u32 k = StepsBefore(s.snd_rate_acc, threshold, std::int64_t{kIdleStep} * kSampleRate, limit);
    // Frames before the next change of a level the mixer hears are alike (ReplayRun).
    k = std::max(k, std::min(SteadyMixCycles(gb) / kIdleStep, limit));
    const u32 op = ChannelCycles(s, kIdleStep);
    for (u32 n = 0; n < 4 && k != 0; ++n) {
        const SoundChannel& ch = s.channels[n];
        if (!ch.ch_on) {
            if (ch.output != 0) return 0;  // the next step drops the level
            continue;
        }
        if (ch.length_on) k = StepsBefore(ch.length_cycles, kLengthTick, op, k);
        if (n == 0 && ch.sweep_on) k = StepsBefore(ch.sweep_cycles, kSweepTick, op, k);
        if (n != 2 && ch.env_on) {
            k = StepsBefore(ch.env_cycles, (ch.env_period & 7) * kEnvelopeTick, op, k);
        }
        const bool divisible = ch.freq_period >= op && ch.freq_cycles < ch.freq_period;
        if (!divisible && !(n == 3 && ch.freq_period == 0)) {
            k = StepsBefore(ch.freq_cycles, ch.freq_period, op, k);
        }
    }
    return k;
}

// Replays `steps` idle steps, the first of which the mixer has taken already when `applied`.
void ReplayIdleSteps(TGBSYSF& gb, u32 steps, bool applied) {
    if (applied) {
        StepChannels(gb, kIdleStep);
        --steps;
    }
    while (steps != 0) {
        const u32 quiet = QuietIdleSteps(gb, steps);
        if (quiet != 0) ReplayRun(gb, quiet * kIdleStep, quiet, 0);
        if (quiet == steps) return;
        StepOnce(gb, kIdleStep);
        steps -= quiet + 1;
    }
}

// Replays the pending steps: GbState is then exact as of the end of the last of them.
void ReplayQuietSteps(TGBSYSF& gb) {
    const u32 cycles = gb.snd_pending;
    const u32 steps = gb.snd_pending_steps;
    const u32 applied = gb.snd_rate_applied;
    const u32 marks = gb.snd_plan.marks;
    gb.snd_pending = 0;
    gb.snd_pending_steps = 0;
    gb.snd_rate_applied = 0;
    gb.snd_plan.marks = 0;
    gb.snd_plan.frame_due = false;
    if (steps == 0) return;
    // Idle steps are replayed event by event, where the marks are not needed.
    if (cycles == steps * kIdleStep && (applied == 0 || applied == kIdleStep)) {
        ReplayIdleSteps(gb, steps, applied != 0);
    } else {
        ReplayRun(gb, cycles, steps, applied, marks);
    }
}

}  // namespace

void TGBSYSF::SoundStep() {
    ReplayQuietSteps(*this);
    StepOnce(*this, state.op_cycles);
    snd_budget = 0;
    snd_channel_budget = 0;
}

void TGBSYSF::SoundCatchUp() {
    const u32 op = state.op_cycles;
    const u32 earlier = snd_pending;
    SoundPlan& plan = snd_plan;
    if (plan.frame_due && earlier + op < snd_channel_budget && plan.marks < SoundPlan::kMaxMarks &&
        !(state.flag_halt | state.flag_stop)) {
        // The plan's frame falls in this step, and nothing else happens in it: where the step
        // began is noted for the replay, and the look-ahead goes on. (A halted processor's steps
        // are left pending below in a run of idle steps, which needs no marks.)
        plan.mark_frame[plan.marks] = plan.frame;
        plan.mark_start[plan.marks] = earlier;
        ++plan.marks;
        snd_pending = earlier + op;
        ++snd_pending_steps;
        snd_budget =
            std::min(snd_channel_budget, FindDueFrame(*this, plan, plan.acc_after, plan.frame));
        return;
    }
    ReplayQuietSteps(*this);
    if (earlier + op >= snd_channel_budget || reference_mode) {
        StepOnce(*this, op);
        snd_channel_budget = reference_mode ? 0 : QuietChannelCycles(*this);
        snd_budget = std::min(snd_channel_budget, QuietMixerCycles(*this, 0));
    } else {
        // Only the mixer acts in this step.
        SampleStep(*this, op);
        snd_channel_budget -= earlier;
        snd_pending = op;
        snd_pending_steps = 1;
        snd_rate_applied = op;
        snd_budget = std::min(snd_channel_budget, QuietMixerCycles(*this, op));
    }
    if ((state.flag_halt | state.flag_stop) && op == kIdleStep && !reference_mode && skip_idle) {
        // Every step up to the wake-up is an idle step, and the wake-up syncs. (A watched slice
        // shows every step: there the channels still act at their own steps, so that NR52 reads
        // right while the processor is halted.)
        snd_channel_budget = kNoChannelEvent;
        snd_budget = kNoChannelEvent;
    }
}

void TGBSYSF::SoundSync() {
    ReplayQuietSteps(*this);
    snd_budget = 0;
    snd_channel_budget = 0;
}

void TGBSYSF::SoundDropPending() {
    snd_plan.marks = 0;
    snd_plan.frame_due = false;
    snd_pending = 0;
    snd_pending_steps = 0;
    snd_rate_applied = 0;
    snd_budget = 0;
    snd_channel_budget = 0;
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
