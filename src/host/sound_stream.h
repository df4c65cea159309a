// The stream between the machine's sample blocks and the audio device, without any audio
// library: a ring of 32768 stereo frames (22050 Hz, about 1.49 s) that the emulation thread fills
// and the device's callback drains, each frame played once and in the order written.
//
// - Each block goes directly after the one before. Only two events move the writer elsewhere:
//   when playback has caught up with it (an underrun: the machine was held, stalled or slow) the
//   next block starts one target fill ahead of playback, so silence fills the gap; and a block
//   that comes while more than a block beyond the target waits unplayed (faster than real time,
//   fast-forward) is dropped whole, so sound never falls behind the picture.
// - Between those, the console's clock and the device's drift apart by a fraction of a percent.
//   The writer holds the fill level near the target by resampling each block by at most
//   `kMaxStretch`: a proportional and integral steering on the smoothed fill level, whose
//   integral settles at the two clocks' difference.
// - The target is `kTargetFrames` while blocks come steadily. On a loaded host, where the
//   emulation thread hands blocks over late and in bursts, an underrun or a near miss raises it
//   (up to `kMaxTargetFrames`), and it sinks back slowly once the blocks come steadily again:
//   a little more latency rather than holes in the sound.
// - The fill level is measured against where playback really is: the device takes 512 frames at
//   a time, so the callback notes when it last pulled and the writer counts on from there.
// - The callback clears every slot it plays, and each slot carries the stream position it was
//   written for: a slot that was not written for the position being played (an underrun, or a
//   write that lost the race against playback) sounds as silence, never as sound one lap old.
//
// One thread writes (StreamBlock) and one reads (Play), without a lock: slots and positions are
// atomics. Positions count frames since the stream began; times are seconds on any steady clock,
// the same for both sides.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kivo {

class SoundStream {
  public:
    static constexpr std::uint32_t kFrameBytes = 4;
    static constexpr std::uint32_t kFrames = 32768;  // the ring: 131072 bytes of frames
    static constexpr std::uint32_t kBlockFrames = 2048;
    static constexpr std::uint32_t kBlockBytes = kBlockFrames * kFrameBytes;
    static constexpr double kRate = 22050;
    // Frames waiting ahead of playback when a block is written, about 43 ms: a device pull of
    // 512 frames (23 ms) and the blocks' arrival on the display's 60 Hz frame grid. The block's
    // first frame reaches the device one pull before playback reaches it.
    static constexpr double kTargetFrames = 950;
    // The most the target rises to on a loaded host (about 93 ms), what a near miss (less than
    // a pull and this margin left) and an underrun add to it, and what it sinks by per block.
    static constexpr double kMaxTargetFrames = 2048;
    static constexpr double kNearMissFrames = 64;
    static constexpr double kRiseFrames = 128;
    static constexpr double kSinkFrames = 0.5;
    // The largest resampling, either way. A sound card's clock is within 0.1% of the console's;
    // SDL's disk driver, which sleeps between pulls, lags by 0.7% on a loaded machine.
    static constexpr double kMaxStretch = 0.01;
    // The steering: stretch per frame of fill error, and the integral's share of it per block.
    static constexpr double kProportional = 0.01 / 512;
    static constexpr double kIntegral = kProportional / 64;
    // The integral learns only while the smoothed fill is this close to the target, so that the
    // start of the stream or a stall does not wind it up.
    static constexpr double kLearnFrames = 256;

    struct Stats {
        std::uint64_t blocks = 0;     // blocks handed over while playing
        std::uint64_t dropped = 0;    // blocks dropped: a block beyond the target waited
        std::uint64_t resyncs = 0;    // blocks that found playback caught up with the writer
        std::uint64_t stretched = 0;  // blocks written resampled
        // Frames waiting ahead of each written block, the most and the sum: the delay from
        // StreamBlock to playback.
        double max_fill = 0;
        double fill_sum = 0;
    };

    bool playing() const { return playing_.load(std::memory_order_acquire); }
    void SetPlaying(bool on) { playing_.store(on, std::memory_order_release); }

    // The emulation thread's side, at time now: one block of kBlockFrames frames (two signed
    // 16-bit samples, left first). Dropped while stopped: playback does not move then.
    void StreamBlock(const std::uint8_t* block, double now);
    // The device callback's side, at time now: the next size bytes of playback. What was not
    // written for them is silence, and every slot played is cleared.
    void Play(std::uint8_t* out, std::uint32_t size, double now);

    // Frames handed to the device so far, and the position the next block will be written at.
    std::uint64_t read_position() const { return read_.load(std::memory_order_acquire); }
    std::uint64_t write_position() const { return write_.load(std::memory_order_acquire); }
    // Where the last block written began, and the ratio of frames written to frames received
    // for it (1 when copied exactly). The writer's thread.
    std::uint64_t last_block_position() const { return last_block_; }
    double last_ratio() const { return ratio_; }
    double target() const { return target_; }
    // The writer's figures; read on the writer's thread or once it has stopped.
    const Stats& stats() const { return stats_; }

  private:
    // Where playback is at time now, in frames: the last pull's start plus the time since.
    double Playing(double now) const;
    void Steer(double fill);
    // Writes the block from position at the ratio chosen; returns the frames written.
    std::uint32_t WriteFrames(const std::uint8_t* block, std::uint64_t position);
    void Put(std::uint64_t position, std::uint32_t frame);

    // Each slot: the low 32 bits of the stream position it was written for, then the frame.
    std::array<std::atomic<std::uint64_t>, kFrames> slots_{};
    std::atomic<std::uint64_t> read_{0};
    std::atomic<double> pull_time_{0};           // when the device last pulled
    std::atomic<std::uint32_t> pull_frames_{0};  // how many frames it took then
    std::atomic<std::uint64_t> write_{0};
    std::atomic<bool> playing_{false};

    // The writer's own state.
    double target_ = kTargetFrames;
    double smoothed_fill_ = kTargetFrames;
    double drift_ = 0;  // the steering's integral: the clocks' difference, as a stretch
    double phase_ = 0;  // where the next output frame falls between held_ and the next input
    std::int32_t held_[2] = {0, 0};  // the last input frame, left and right
    double ratio_ = 1;
    std::uint64_t last_block_ = 0;
    Stats stats_;
};

}  // namespace kivo
