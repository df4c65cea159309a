#include "host/sound_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kivo {

namespace {

std::int32_t Sample(const std::uint8_t* at) {
    std::int16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint32_t Frame(std::int32_t left, std::int32_t right) {
    return static_cast<std::uint16_t>(left) | static_cast<std::uint32_t>(right) << 16;
}

double Clamp(double value, double limit) {
    return std::fmax(-limit, std::fmin(limit, value));
}

}  // namespace

void SoundStream::Put(std::uint64_t position, std::uint32_t frame) {
    const std::uint64_t tag = position & 0xFFFFFFFFu;
    slots_[position % kFrames].store(tag << 32 | frame, std::memory_order_release);
}

double SoundStream::Playing(double now) const {
    const std::uint64_t read = read_position();
    const double since = now - pull_time_.load(std::memory_order_acquire);
    const double pulled = pull_frames_.load(std::memory_order_acquire);
    // The frames of the last pull play out over the pull's length after it.
    return static_cast<double>(read) - pulled + std::fmin(pulled, std::fmax(0.0, since * kRate));
}

void SoundStream::StreamBlock(const std::uint8_t* block, double now) {
    if (!playing()) return;
    ++stats_.blocks;
    const std::uint64_t read = read_position();
    std::uint64_t write = write_.load(std::memory_order_relaxed);
    double fill = static_cast<double>(write) - Playing(now);
    if (fill > target_ + kBlockFrames) {
        ++stats_.dropped;
        return;
    }
    if (write <= read) {
        // Playback has caught up with the writer (or the stream starts): begin again one target
        // fill ahead of it. The clocks' difference learnt so far stays.
        if (write > 0) target_ = std::min(kMaxTargetFrames, target_ + kRiseFrames);
        ++stats_.resyncs;
        const double restart = Playing(now) + target_;
        write = std::max(read, static_cast<std::uint64_t>(std::max(0.0, restart)));
        fill = static_cast<double>(write) - Playing(now);
        write_.store(write, std::memory_order_release);
        smoothed_fill_ = target_;
        ratio_ = 1;
    } else {
        const double pull = pull_frames_.load(std::memory_order_relaxed);
        if (fill < pull + kNearMissFrames) {
            target_ = std::min(kMaxTargetFrames, target_ + kRiseFrames);
        } else {
            target_ = std::max(kTargetFrames, target_ - kSinkFrames);
        }
        Steer(fill);
    }
    stats_.max_fill = std::max(stats_.max_fill, fill);
    stats_.fill_sum += fill;
    if (ratio_ != 1) ++stats_.stretched;
    last_block_ = write;
    const std::uint32_t written = WriteFrames(block, write);
    write_.store(write + written, std::memory_order_release);
}

// The fill seen at each block moves with the blocks' arrival on the display's frame grid: it is
// smoothed over about three quarters of a second before it steers.
void SoundStream::Steer(double fill) {
    smoothed_fill_ += (fill - smoothed_fill_) / 8;
    const double error = target_ - smoothed_fill_;
    if (std::fabs(error) < kLearnFrames) drift_ = Clamp(drift_ + kIntegral * error, kMaxStretch);
    ratio_ = 1 + Clamp(kProportional * error + drift_, kMaxStretch);
}

// Linear interpolation between the held input frame and the next one; at a ratio of 1 the phase
// stays 0 and each output frame is the input frame one place earlier, exactly.
std::uint32_t SoundStream::WriteFrames(const std::uint8_t* block, std::uint64_t position) {
    const double step = 1 / ratio_;
    if (ratio_ == 1) phase_ = 0;  // a fraction of a frame, and the copy is exact again
    const std::uint64_t start = position;
    for (std::uint32_t i = 0; i < kBlockFrames; ++i) {
        const std::uint8_t* in = block + i * kFrameBytes;
        const std::int32_t left = Sample(in), right = Sample(in + 2);
        for (; phase_ < 1; phase_ += step) {
            const auto mix = [this](std::int32_t from, std::int32_t to) {
                return static_cast<std::int32_t>(std::lrint(from + (to - from) * phase_));
            };
            Put(position++, Frame(mix(held_[0], left), mix(held_[1], right)));
        }
        phase_ -= 1;
        held_[0] = left;
        held_[1] = right;
    }
    return static_cast<std::uint32_t>(position - start);
}

void SoundStream::Play(std::uint8_t* out, std::uint32_t size, double now) {
    const std::uint32_t frames = size / kFrameBytes;
    const std::uint64_t read = read_.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint64_t position = read + i;
        const std::uint64_t slot =
            slots_[position % kFrames].exchange(0, std::memory_order_acq_rel);
        const std::uint32_t frame =
            (slot >> 32) == (position & 0xFFFFFFFFu) ? static_cast<std::uint32_t>(slot) : 0;
        std::memcpy(out + i * kFrameBytes, &frame, kFrameBytes);
    }
    if (frames * kFrameBytes < size) std::memset(out + frames * kFrameBytes, 0, size % kFrameBytes);
    pull_time_.store(now, std::memory_order_relaxed);
    pull_frames_.store(frames, std::memory_order_relaxed);
    read_.store(read + frames, std::memory_order_release);
}

}  // namespace kivo
